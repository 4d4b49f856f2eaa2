// The table on the drive comes first: what holds is never rewritten, a repair keeps every
// entry that holds and adds only what is missing, and the sector writer accepts nothing but
// partition tables at their places, on storage nothing else holds, and undoes a repair
// only on the drive it was made of. On disks made by tests/fixtures/make_table_disks.sh.
#include "loop_device.h"
#include "test_support.h"

#include "device/platform/disk_crc.h"
#include "device/platform/platform_write.h"
#include "device/platform/sector_write.h"
#include "partition/gpt_table.h"
#include "partition/partition_repair.h"
#include "partition/repair_undo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

// A sparse copy of a fixture disk in `dir`.
QString copy_of(const QString& fixture, const QTemporaryDir& dir, const QString& name) {
    return sparse_fixture_copy("tables/" + fixture, dir.filePath(name));
}

void search(partition_repair_c& worker, const QString& name, std::uint64_t size) {
    drive_item_s drive;
    drive.name = name;
    drive.size = size;
    worker.set_drive(drive);
    worker.start();
    worker.wait();
}

// A request that writes `sectors` (lba, 512 bytes) over what the drive holds now.
platform::write_request_s request_for(const QString& name,
                                      const QList<std::pair<std::uint64_t, QByteArray>>& sectors,
                                      platform::write_kind_e kind = platform::write_kind_e::table) {
    platform::write_request_s request;
    request.device = QFile::encodeName(name).toStdString();
    request.kind = kind;
    QString error;
    platform::current_identity(platform::drive_by_name(name), &request.identity, &error);
    for (const auto& [lba, bytes] : sectors) {
        platform::sector_write_s w;
        w.lba = lba;
        const QByteArray old = read_bytes(name, qint64(lba) * 512, 512);
        w.replaces = platform::sha256(old.constData(), 512);
        std::memcpy(w.bytes.data(), bytes.constData(), 512);
        request.writes.push_back(w);
    }
    return request;
}

platform::write_result_s write_image(const platform::write_request_s& request) {
    return platform::apply_sector_writes(request, platform::write_target_e::disk_or_image_file);
}

QByteArray mbr_with(
    std::initializer_list<std::tuple<int, std::uint8_t, std::uint32_t, std::uint32_t>> entries) {
    QByteArray s(512, '\0');
    for (const auto& [slot, type, first, count] : entries) {
        char* e = s.data() + 446 + 16 * slot;
        e[4] = char(type);
        qToLittleEndian<std::uint32_t>(first, e + 8);
        qToLittleEndian<std::uint32_t>(count, e + 12);
    }
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

}  // namespace

class test_partition_table : public QObject {
    Q_OBJECT

    QTemporaryDir state;

  private slots:
    void initTestCase() {
        register_partition_meta_types();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        if (!fixture_exists("tables/overlap.img")) {
            QSKIP("make_table_disks.sh made no images (it needs root and losetup)");
        }
    }

    // A live NTFS entry over an older ext4: the entry is listed and confirmed, the ext4 is
    // an earlier file system, and nothing is offered for repair or written.
    void live_entry_is_kept_over_an_earlier_file_system() {
        QTemporaryDir dir;
        const QString path = copy_of("overlap.img", dir, "overlap.img");
        const QByteArray before = sha256_of_file(path);
        partition_repair_c worker;
        search(worker, path, QFileInfo(path).size());
        const QList<partition_item_s> found = worker.partitions();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].fs_name, QString("NTFS"));
        QCOMPARE(found[0].start_sector, 40960u);
        QVERIFY(found[0].from_table && found[0].confirmed && !found[0].earlier);
        QCOMPARE(found[1].fs_name, QString("ext4"));
        QCOMPARE(found[1].start_sector, 2048u);
        QVERIFY(found[1].earlier && !found[1].from_table);
        QVERIFY(!worker.table_holds().isEmpty());
        QCOMPARE(worker.repair_table(), -1);
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 3);
        QVERIFY2(out.contains("the partition table holds: 1 entry"), out.constData());
        QVERIFY2(out.contains("earlier"), out.constData());
        QCOMPARE(sha256_of_file(path), before);
    }

    void intact_table_is_not_repaired_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("shown");
        QTest::newRow("MBR with boot code") << "mbr4code.img"
                                            << "holds: 4 entries (MBR, 4 confirmed)";
        QTest::newRow("hybrid MBR") << "hybrid.img"
                                    << "holds: 2 entries (GPT with a hybrid MBR, 2 confirmed)";
        QTest::newRow("GPT of 4096-byte sectors") << "gpt4k.img"
                                                  << "holds: 1 entry (GPT, 1 confirmed)";
        QTest::newRow("MBR of 4096-byte sectors") << "mbr4k.img"
                                                  << "holds: 2 entries (MBR, 2 confirmed)";
    }
    void intact_table_is_not_repaired() {
        QFETCH(QString, fixture);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        const QString path = copy_of(fixture, dir, fixture);
        const QByteArray before = sha256_of_file(path);
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 3);
        QVERIFY2(out.contains(shown.toUtf8()), out.constData());
        QVERIFY2(err.contains("nothing to repair"), err.constData());
        QCOMPARE(sha256_of_file(path), before);
    }

    // What is broken is mended and the rest kept byte for byte: two zeroed entries of four
    // come back beside the two that held (boot code untouched), and a hybrid disk's lost
    // primary GPT is written back from its backup with the hybrid record as it was.
    void repair_changes_only_what_is_broken_data() {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QString>("intact");
        QTest::addColumn<QString>("said");
        QTest::newRow("two of four entries") << "mbr4gap.img"
                                             << "mbr4code.img"
                                             << "added: FAT32, sectors 104448";
        QTest::newRow("primary GPT of a hybrid disk") << "hybrid-primary.img"
                                                      << "hybrid.img"
                                                      << "Write the GPT back";
    }
    void repair_changes_only_what_is_broken() {
        QFETCH(QString, broken);
        QFETCH(QString, intact);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString path = copy_of(broken, dir, broken);
        partition_repair_c worker;
        search(worker, path, QFileInfo(path).size());
        const table_plan_s plan = worker.plan_repair();
        QVERIFY2(!plan.writes.isEmpty(), qPrintable(plan.error));
        QVERIFY(plan.removed.isEmpty());
        QString question;
        for (const partition_item_s& item : plan.added) {
            question +=
                QStringLiteral("added: %1, sectors %2\n").arg(item.fs_name).arg(item.start_sector);
        }
        QVERIFY2(plan.restored || question.contains(said), qPrintable(question));
        QCOMPARE(worker.repair_table(), 0);
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/" + intact)));
        if (const QString sgdisk = system_tool("sgdisk");
            !sgdisk.isEmpty() && plan.scheme == "gpt") {
            QString verify;
            QVERIFY(run_quietly(sgdisk, {"-v", path}, &verify));
            QVERIFY2(verify.contains("No problems found"), qPrintable(verify));
        }
    }

    // An entry that overlaps another is refused: the repair removes it, says so, and puts
    // the partition found in its place back into the freed slot.
    void overlapping_entry_is_removed_and_replaced() {
        QTemporaryDir dir;
        const QString path = copy_of("mbr4code.img", dir, "bad.img");
        QByteArray start(4, '\0');
        qToLittleEndian<std::uint32_t>(150000, start.data());  // inside the FAT32 entry
        QVERIFY(write_bytes(path, 446 + 2 * 16 + 8, start));
        partition_repair_c worker;
        search(worker, path, QFileInfo(path).size());
        QVERIFY(worker.table_holds().isEmpty());
        const table_plan_s plan = worker.plan_repair();
        QVERIFY2(!plan.writes.isEmpty(), qPrintable(plan.error));
        QCOMPARE(plan.kept.size(), 3);
        QCOMPARE(plan.removed.size(), 1);
        QCOMPARE(plan.removed[0].start_sector, 150000u);
        QCOMPARE(plan.added.size(), 1);
        QCOMPARE(plan.added[0].fs_name, QString("NTFS"));
        QCOMPARE(plan.added[0].start_sector, 206848u);
        QCOMPARE(worker.repair_table(), 0);
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/mbr4code.img")));
    }

    // A chain of extended boot records that breaks after its first logical partition: the
    // two behind the break are found in the extended partition's free space (not as earlier
    // file systems), and the repair links them in again where sfdisk had their records, the
    // first logical entry kept byte for byte. The intact chain is left alone.
    void broken_chain_of_logical_partitions_is_mended() {
        if (!fixture_exists("tables/logical-broken.img")) {
            QSKIP("the disks with logical partitions were not made here");
        }
        QTemporaryDir dir;
        const QString intact = copy_of("logical.img", dir, "intact.img");
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", intact}, &out, &err), 3);
        const QString path = copy_of("logical-broken.img", dir, "broken.img");
        QCOMPARE(run_orvane({"partitions", "--json", path}, &out, &err), 0);
        QVERIFY2(!out.contains("earlier"), out.constData());
        // the first logical partition from the table, the two others found as logical ones
        QCOMPARE(out.count("\"logical\":true"), 3);
        QVERIFY2(out.contains("\"fs_name\":\"NTFS\",\"logical\":true,\"partition_type\":7,"
                              "\"scheme\":\"mbr\",\"sector_bytes\":512,\"start_sector\":47104"),
                 out.constData());
        const QByteArray first_record = read_bytes(path, 2048LL * 512 + 446, 16);
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 0);
        QCOMPARE(read_bytes(path, 2048LL * 512 + 446, 16), first_record);
        QString listed;
        QVERIFY(run_quietly(system_tool("sfdisk"), {"-d", path}, &listed));
        for (const char* entry : {"start=        4096, size=       40960, type=83",
                                  "start=       47104, size=       40960, type=7",
                                  "start=       90112, size=       40960, type=83"}) {
            QVERIFY2(listed.contains(entry), qPrintable(listed));
        }
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/logical.img")));
    }

    // A partition wiped between the search and the write: nothing is written.
    void changed_partition_start_stops_the_repair() {
        QTemporaryDir dir;
        const QString path = copy_of("mbr4gap.img", dir, "gap.img");
        partition_repair_c worker;
        search(worker, path, QFileInfo(path).size());
        QVERIFY(!worker.plan_repair().writes.isEmpty());
        QVERIFY(write_bytes(path, 104448LL * 512, QByteArray(8 * 512, '\0')));
        const QByteArray wiped = sha256_of_file(path);
        QCOMPARE(worker.repair_table(), -1);
        QVERIFY2(worker.repair_error().contains("the disk changed since the search; search again"),
                 qPrintable(worker.repair_error()));
        QCOMPARE(sha256_of_file(path), wiped);
    }

    // The writer takes partition tables at their places and nothing else, whatever hashes
    // and identity the caller sends along.
    void writer_writes_only_tables() {
        QTemporaryDir dir;
        const QString gap = copy_of("mbr4gap.img", dir, "gap.img");
        const QByteArray gap_hash = sha256_of_file(gap);
        auto refused = [](const platform::write_result_s& r, const char* why) {
            if (r.status != platform::write_status_e::refused ||
                r.message.find(why) == std::string::npos) {
                qWarning("%s", r.message.c_str());
                return false;
            }
            return true;
        };
        // a sector inside a file system (FAT32's root folder) and a non-table sector 0
        QVERIFY(refused(write_image(request_for(gap, {{104448 + 1000, QByteArray(512, 'x')}})),
                        "not a sector of a valid partition table"));
        QVERIFY(refused(write_image(request_for(gap, {{0, read_bytes(gap, 104448LL * 512, 512)}})),
                        "sector 0 would not be a master boot record"));
        // an entry over another, and one outside the drive
        QVERIFY(refused(write_image(request_for(
                            gap, {{0, mbr_with({{0, 0x83, 2048, 102400}, {1, 0x83, 4096, 10}})}})),
                        "overlap"));
        QVERIFY(refused(write_image(request_for(gap, {{0, mbr_with({{0, 0x83, 2048, 1u << 30}})}})),
                        "outside the drive"));
        QCOMPARE(sha256_of_file(gap), gap_hash);
        // the intact table's sector 0 is a valid master boot record
        const QByteArray intact = read_bytes(fixture_path("tables/mbr4code.img"), 0, 512);
        QCOMPARE(write_image(request_for(gap, {{0, intact}})).status,
                 platform::write_status_e::written);
        QCOMPARE(sha256_of_file(gap), sha256_of_file(fixture_path("tables/mbr4code.img")));

        // An empty 8 MiB disk: a chain of extended boot records where sector 0 says, and a
        // whole GPT; a GPT with a bad CRC and a record off the chain are refused.
        const QString blank = dir.filePath("blank.img");
        QVERIFY(write_bytes(blank, 16384LL * 512 - 1, QByteArray(1, '\0')));
        const QByteArray ebr = mbr_with({{0, 0x83, 63, 1000}, {1, 0x05, 2048, 2000}});
        const QByteArray last_ebr = mbr_with({{0, 0x83, 63, 1000}});
        QVERIFY(refused(write_image(request_for(blank, {{0, mbr_with({{0, 0x0F, 2048, 8192}})},
                                                        {2048, last_ebr},
                                                        {3000, last_ebr}})),
                        "sector 3000 is not a sector of a valid partition table"));
        QCOMPARE(write_image(request_for(blank, {{0, mbr_with({{0, 0x0F, 2048, 8192}})},
                                                 {2048, ebr},
                                                 {4096, mbr_with({{0, 0x83, 63, 1000}})}}))
                     .status,
                 platform::write_status_e::written);
        const QString gpt = dir.filePath("gpt.img");
        QVERIFY(write_bytes(gpt, 16384LL * 512 - 1, QByteArray(1, '\0')));
        QByteArray array(128 * 128, '\0');
        array.replace(0, 128,
                      gpt_entry_bytes(guid_bytes(gpt_type_linux_fs), random_guid_bytes(), 2048,
                                      8191, 0, "a"));
        const QList<table_write_s> table =
            build_gpt(16384, random_guid_bytes(), 34, 16384 - 34, 128, 128, array);
        QList<std::pair<std::uint64_t, QByteArray>> sectors;
        for (const table_write_s& w : table) {
            for (qsizetype at = 0; at < w.bytes.size(); at += 512) {
                sectors << std::pair{w.lba + std::uint64_t(at / 512), w.bytes.mid(at, 512)};
            }
        }
        QList<std::pair<std::uint64_t, QByteArray>> bad = sectors;
        bad[1].second[40] = char(bad[1].second.at(40) ^ 1);  // first usable sector, under the CRC
        QVERIFY(refused(write_image(request_for(gpt, bad)), "sector 1"));
        QCOMPARE(write_image(request_for(gpt, sectors)).status, platform::write_status_e::written);
        QString verify;
        QVERIFY(run_quietly(system_tool("sgdisk"), {"-v", gpt}, &verify));
        QVERIFY2(verify.contains("No problems found"), qPrintable(verify));
        // An undo writes back only sectors of the table now on the drive.
        QVERIFY(refused(write_image(request_for(gpt, {{40, QByteArray(512, 'x')}},
                                                platform::write_kind_e::undo)),
                        "not a sector of the partition table now on the drive"));
        QCOMPARE(write_image(
                     request_for(gpt, {{1, QByteArray(512, '\0')}}, platform::write_kind_e::undo))
                     .status,
                 platform::write_status_e::written);

        // An ext4 made on the whole disk: its superblock (sector 2) is never written, even
        // behind a valid sector 0 and GPT header.
        const QString whole = dir.filePath("whole.img");
        QVERIFY(write_bytes(whole, 16384LL * 512 - 1, QByteArray(1, '\0')));
        QVERIFY(run_quietly(system_tool("mkfs.ext4"), {"-q", "-F", whole}));
        const QByteArray whole_hash = sha256_of_file(whole);
        QVERIFY(refused(write_image(request_for(whole, sectors)),
                        "sector 2 holds data that is not a partition table"));
        QCOMPARE(sha256_of_file(whole), whole_hash);
    }

    // A second loop device with an offset over the same image, with its ext4 mounted: the
    // first loop device and the image file are held, and the writer names the holder.
    void writer_sees_an_aliased_mount() {
        QTemporaryDir dir;
        const QString path = copy_of("mbr4gap.img", dir, "alias.img");
        loop_device_c whole;
        loop_device_c part;
        QString why;
        const QString disk = whole.attach(path, &why);
        if (disk.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        const QString alias = part.attach(
            path, &why,
            {"-o", QString::number(2048LL * 512), "--sizelimit", QString::number(102400LL * 512)});
        QVERIFY2(!alias.isEmpty(), qPrintable(why));
        const QString point = dir.filePath("mnt");
        QDir().mkpath(point);
        if (!run_quietly(system_tool("mount"), {"-t", "ext4", alias, point})) {
            QSKIP("the ext4 could not be mounted here");
        }
        const QByteArray intact = read_bytes(fixture_path("tables/mbr4code.img"), 0, 512);
        const platform::write_result_s through_disk = platform::apply_sector_writes(
            request_for(disk, {{0, intact}}), platform::write_target_e::whole_disk);
        const platform::write_result_s through_file = write_image(request_for(path, {{0, intact}}));
        run_quietly(system_tool("umount"), {point});
        QCOMPARE(through_disk.status, platform::write_status_e::busy);
        QVERIFY2(through_disk.message.find(alias.toStdString()) != std::string::npos,
                 through_disk.message.c_str());
        QCOMPARE(through_file.status, platform::write_status_e::busy);
        QVERIFY(read_bytes(path, 0, 512) != intact);
    }

    // --undo belongs to its drive: another one is refused even with --force.
    void undo_is_bound_to_its_drive() {
        QTemporaryDir dir;
        const QString path = copy_of("mbr4gap.img", dir, "one.img");
        const QString other = copy_of("mbr4gap.img", dir, "other.img");
        const QString larger = dir.filePath("larger.img");
        QVERIFY(write_bytes(larger, 2 * QFileInfo(path).size() - 1, QByteArray(1, '\0')));
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 0);
        const QRegularExpressionMatch saved =
            QRegularExpression("saved to (\\S+);").match(QString::fromUtf8(err));
        QVERIFY2(saved.hasMatch(), err.constData());
        const QByteArray other_hash = sha256_of_file(other);
        const QByteArray larger_hash = sha256_of_file(larger);
        QCOMPARE(run_orvane({"partitions", "--undo", saved.captured(1), "--yes", "--force", other},
                            &out, &err),
                 1);
        QVERIFY2(err.contains("another drive"), err.constData());
        QCOMPARE(run_orvane({"partitions", "--undo", saved.captured(1), "--yes", "--force", larger},
                            &out, &err),
                 1);
        QVERIFY2(err.contains("another drive"), err.constData());
        QCOMPARE(sha256_of_file(other), other_hash);
        QCOMPARE(sha256_of_file(larger), larger_hash);
        QCOMPARE(run_orvane({"partitions", "--undo", saved.captured(1), "--yes", path}, &out, &err),
                 0);
        QCOMPARE(sha256_of_file(path), sha256_of_file(fixture_path("tables/mbr4gap.img")));
    }
};

QTEST_GUILESS_MAIN(test_partition_table)
#include "test_partition_table.moc"
