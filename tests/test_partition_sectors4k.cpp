// Disks of 4096-byte logical sectors (4Kn disks, many USB bridges, and their images): read,
// searched, repaired and undone in their own sectors, on the disks made by
// tests/fixtures/make_table_disks.sh and through loop devices of 4096-byte sectors.
#include "loop_device.h"
#include "test_support.h"

#include "device/platform/sector_write.h"
#include "partition/gpt_table.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

// "fs:first:last" of every partition that `orvane partitions --json` listed from the table
// (from_table) or found outside it, each in 4096-byte sectors or marked otherwise.
QString listing(const QByteArray& json, bool from_table) {
    QStringList items;
    for (const QByteArray& line : json.trimmed().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.contains("fs_name") || o.value("from_table").toBool() != from_table) {
            continue;
        }
        QString item = QStringLiteral("%1:%2:%3")
                           .arg(o.value("fs_name").toString())
                           .arg(o.value("start_sector").toInteger())
                           .arg(o.value("end_sector").toInteger());
        if (o.value("sector_bytes").toInt() != 4096) {
            item += QStringLiteral("(%1-byte sectors)").arg(o.value("sector_bytes").toInt());
        }
        if (from_table && !o.value("confirmed").toBool()) {
            item += QStringLiteral("(not confirmed)");
        }
        items << item;
    }
    return items.join(' ');
}

// A sparse copy of a fixture disk in `dir`.
QString copy_of(const QString& fixture, const QTemporaryDir& dir, const QString& name) {
    return sparse_fixture_copy("tables/" + fixture, dir.filePath(name));
}

}  // namespace

class test_partition_sectors4k : public QObject {
    Q_OBJECT

    QTemporaryDir state;  // the backups the repairs save

  private slots:
    void initTestCase() { qputenv("XDG_STATE_HOME", QFile::encodeName(state.path())); }

    // A disk of 4096-byte logical sectors is read in them, told by its layout when it is an
    // image file: every entry found exactly where its table says, in 4096-byte sectors.
    void table_of_4096_byte_sectors_is_found_exactly_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("expected");
        QTest::newRow("GPT") << "gpt4k.img"
                             << "ext4:256:8447";
        QTest::newRow("GPT, backup only") << "gpt4k-primary.img"
                                          << "ext4:256:8447";
        QTest::newRow("GPT, six file systems")
            << "mix4k.img"
            << "NTFS:256:8447 FAT32:8448:85247 exFAT:85248:93439 XFS:93440:175359 "
               "btrfs:175360:208127 ext4:208128:216319";
        QTest::newRow("MBR") << "mbr4k.img"
                             << "NTFS:256:4351 ext4:4352:12543";
    }
    void table_of_4096_byte_sectors_is_found_exactly() {
        QFETCH(QString, fixture);
        QFETCH(QString, expected);
        if (!fixture_exists("tables/" + fixture)) {
            QSKIP("no 4096-byte-sector disk was made here");
        }
        QByteArray out, err;
        QCOMPARE(
            run_orvane({"partitions", "--json", fixture_path("tables/" + fixture)}, &out, &err), 0);
        QCOMPARE(listing(out, true), expected);
        QCOMPARE(listing(out, false), QString());  // nothing else found
    }

    // Its primary GPT zeroed, a disk of 4096-byte sectors gets the table back from its
    // backup in 4096-byte sectors: the very sectors sgdisk wrote (GUIDs and all), clean for
    // sgdisk on a loop device of 4096-byte sectors; the undo puts the zeros back, and a
    // device of 512-byte sectors over the same image is refused the backup.
    void gpt_of_4096_byte_sectors_comes_back_from_its_backup() {
        if (!fixture_exists("tables/gpt4k-primary.img")) {
            QSKIP("no 4096-byte-sector disk was made here");
        }
        QTemporaryDir dir;
        const QString path = copy_of("gpt4k-primary.img", dir, "gpt4k.img");
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 0);
        QVERIFY2(out.contains("table: GPT in 4096-byte sectors"), out.constData());
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/gpt4k.img")));
        const QRegularExpressionMatch saved =
            QRegularExpression("saved to (\\S+);").match(QString::fromUtf8(err));
        QVERIFY2(saved.hasMatch(), err.constData());
        loop_device_c loop;
        QString why;
        if (const QString device = loop.attach(path, &why, {"-b", "4096"}); !device.isEmpty()) {
            QString verify;
            QVERIFY(run_quietly(system_tool("sgdisk"), {"-v", device}, &verify));
            QVERIFY2(verify.contains("No problems found"), qPrintable(verify));
            loop.detach();
            const QString small = loop.attach(path, &why);
            QVERIFY2(!small.isEmpty(), qPrintable(why));
            QCOMPARE(
                run_orvane({"partitions", "--undo", saved.captured(1), "--yes", "--force", small},
                           &out, &err),
                1);
            QVERIFY2(err.contains("another drive"), err.constData());
            loop.detach();
            QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/gpt4k.img")));
        } else {
            qWarning("not checked on a loop device: %s", qPrintable(why));
        }
        QCOMPARE(run_orvane({"partitions", "--undo", saved.captured(1), "--yes", path}, &out, &err),
                 0);
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/gpt4k-primary.img")));
    }

    // A loop device of 4096-byte sectors whose tables are all gone: the search finds each of
    // the six file systems in the device's own sectors, the repair writes a GPT in them
    // that sgdisk reads clean, and the undo takes it back off the device.
    void lost_gpt_on_a_device_of_4096_byte_sectors() {
        if (!fixture_exists("tables/mix4k-lost.img")) {
            QSKIP("no 4096-byte-sector disk was made here");
        }
        QTemporaryDir dir;
        const QString path = copy_of("mix4k-lost.img", dir, "lost.img");
        loop_device_c loop;
        QString why;
        const QString device = loop.attach(path, &why, {"-b", "4096"});
        if (device.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        const QString six =
            "NTFS:256:8447 FAT32:8448:85247 exFAT:85248:93439 XFS:93440:175359 "
            "btrfs:175360:208127 ext4:208128:216319";
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--json", device}, &out, &err), 0);
        QCOMPARE(listing(out, false), six);
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", device}, &out, &err), 0);
        const QRegularExpressionMatch saved =
            QRegularExpression("saved to (\\S+);").match(QString::fromUtf8(err));
        QVERIFY2(saved.hasMatch(), err.constData());
        QString verify;
        QVERIFY(run_quietly(system_tool("sgdisk"), {"-v", device}, &verify));
        QVERIFY2(verify.contains("No problems found"), qPrintable(verify));
        QCOMPARE(run_orvane({"partitions", "--json", device}, &out, &err), 0);
        QCOMPARE(listing(out, true), six);
        QCOMPARE(
            run_orvane({"partitions", "--undo", saved.captured(1), "--yes", device}, &out, &err),
            0);
        loop.detach();
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/mix4k-lost.img")));
    }

    // An image of a disk of 4096-byte sectors whose tables are all gone: its file systems
    // tell the sector size, so the search lists them in it and the repair writes a GPT in
    // it (its header at byte 4096), which the search then reads as the table.
    void lost_image_of_4096_byte_sectors_is_counted_in_them() {
        if (!fixture_exists("tables/mix4k-lost.img")) {
            QSKIP("no 4096-byte-sector disk was made here");
        }
        QTemporaryDir dir;
        const QString path = copy_of("mix4k-lost.img", dir, "lost.img");
        const QString six =
            "NTFS:256:8447 FAT32:8448:85247 exFAT:85248:93439 XFS:93440:175359 "
            "btrfs:175360:208127 ext4:208128:216319";
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--json", path}, &out, &err), 0);
        QCOMPARE(listing(out, false), six);
        QCOMPARE(run_orvane({"partitions", path}, &out, &err), 0);
        QVERIFY2(out.contains("table: GPT in 4096-byte sectors"), out.constData());
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 0);
        QCOMPARE(read_bytes(path, 4096, 8), QByteArray("EFI PART"));
        QCOMPARE(run_orvane({"partitions", "--json", path}, &out, &err), 0);
        QCOMPARE(listing(out, true), six);
    }

    // The writer's own check in 4096-byte sectors: a whole GPT at its places is taken, a
    // header with a bad CRC, a sector inside a partition and a sector of the wrong size are
    // not, and the request travels to the helper with its sector size.
    void writer_checks_tables_of_4096_byte_sectors() {
        constexpr std::uint64_t sectors = 4096;  // 16 MiB
        QByteArray disk(qsizetype(sectors * 4096), '\0');
        QByteArray array(128 * 128, '\0');
        array.replace(
            0, 128,
            gpt_entry_bytes(guid_bytes(gpt_type_linux_fs), random_guid_bytes(), 256, 2047, 0, "a"));
        const QList<table_write_s> table =
            build_gpt(sectors, random_guid_bytes(), 6, sectors - 6, 128, 128, array, 4096);
        QCOMPARE(table.size(), 3);
        QCOMPARE(table[1].bytes.size(), 5 * 4096);  // header and a 16 KiB array
        std::vector<platform::sector_write_s> writes;
        for (const table_write_s& w : table) {
            for (qsizetype at = 0; at < w.bytes.size(); at += 4096) {
                platform::sector_write_s s;
                s.lba = w.lba + std::uint64_t(at / 4096);
                s.bytes.assign(w.bytes.constData() + at, w.bytes.constData() + at + 4096);
                writes.push_back(s);
            }
        }
        const platform::old_sector_f old = [&disk](std::uint64_t lba, std::uint8_t* out) {
            std::memcpy(out, disk.constData() + lba * 4096, 4096);
            return true;
        };
        using platform::check_table_writes;
        using platform::write_kind_e;
        QCOMPARE(check_table_writes(writes, write_kind_e::table, sectors, old, 4096), "");
        // In 512-byte sectors the same request is no table.
        QVERIFY(!check_table_writes(writes, write_kind_e::table, sectors * 8, old, 512).empty());
        std::vector<platform::sector_write_s> bad = writes;
        bad[1].bytes[40] ^= 1;  // the first usable sector, under the header's CRC
        QVERIFY(!check_table_writes(bad, write_kind_e::table, sectors, old, 4096).empty());
        bad = writes;
        bad.push_back(writes.back());
        bad.back().lba = 300;  // inside the partition
        QVERIFY(!check_table_writes(bad, write_kind_e::table, sectors, old, 4096).empty());
        bad = writes;
        bad[0].bytes.resize(512);
        QVERIFY(!check_table_writes(bad, write_kind_e::table, sectors, old, 4096).empty());

        platform::write_request_s request;
        request.device = "/tmp/disk.img";
        request.identity.sectors = sectors;
        request.identity.sector_bytes = 4096;
        request.writes = writes;
        platform::write_request_s back;
        std::string error;
        QVERIFY2(platform::decode_request(platform::encode_request(request), &back, &error),
                 error.c_str());
        QCOMPARE(back.identity.sector_bytes, 4096u);
        QCOMPARE(back.writes.size(), writes.size());
        QVERIFY(back.writes[1].bytes == writes[1].bytes);
        // A 512-byte request reads as before: no sector size on its identity line.
        request.identity.sector_bytes = 512;
        request.writes = {platform::sector_write_s{}};
        const std::string text = platform::encode_request(request);
        QVERIFY(text.find(" 4096\n") == std::string::npos);
        QVERIFY(platform::decode_request(text, &back, &error));
        QCOMPARE(back.identity.sector_bytes, 512u);
        QCOMPARE(back.writes[0].bytes.size(), std::size_t(512));
    }
};

QTEST_GUILESS_MAIN(test_partition_sectors4k)
#include "test_partition_sectors4k.moc"
