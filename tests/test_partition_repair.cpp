// The master boot record repair: entry encoding, what is kept and cleared, refusals, the
// backup of the old sector, and orvane partitions --repair read back by sfdisk.
#include "loop_device.h"
#include "partition_image.h"
#include "test_support.h"

#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"
#include "partition/master_boot_record.h"
#include "partition/mbr_boot_code.h"
#include "partition/partition_repair.h"
#include "partition/repair_undo.h"
#include "partition/sector_backup.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// A 2 MiB image with an NTFS boot sector at 2048 and junk in sector 0.
QString small_disk(const QTemporaryDir& dir) {
    QByteArray disk(4096 * 512, '\0');
    put_ntfs(disk, 2048, 1023);
    for (int i = 0; i < 512; ++i) {
        disk[i] = char(i * 7 + 1);
    }
    const QString path = dir.filePath("small.img");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(disk);
    return path;
}

drive_item_s image_drive(const QString& path) {
    drive_item_s drive;
    drive.name = path;
    drive.size = std::uint64_t(QFileInfo(path).size());
    return drive;
}

partition_item_s item(std::uint64_t start, std::uint64_t end, int type = partition_type_ntfs) {
    return {type == partition_type_ntfs ? "NTFS" : "FAT32", type, start, end};
}

}  // namespace

class test_partition_repair : public QObject {
    Q_OBJECT

    QTemporaryDir state;

  private slots:
    void initTestCase() {
        register_partition_meta_types();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    }

    void chs_encoding_data() {
        QTest::addColumn<quint64>("sector");
        QTest::addColumn<quint32>("heads");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("sector 2048") << quint64(2048) << 255u << QByteArray("\x20\x21\x00", 3);
        QTest::newRow("no geometry counts as 255/63")
            << quint64(2048) << 0u << QByteArray("\x20\x21\x00", 3);
        QTest::newRow("cylinder 1024 keeps its low 10 bits")
            << quint64(1024ULL * 255 * 63) << 255u << QByteArray("\x00\x01\x00", 3);
        QTest::newRow("cylinder bits 8-9 in the sector byte")
            << quint64(2147483648ULL) << 255u << QByteArray("\xAC\x83\x2A", 3);
        QTest::newRow("only the low 32 bits count")
            << quint64((1ULL << 32) + 2048) << 255u << QByteArray("\x20\x21\x00", 3);
        QTest::newRow("16 heads") << quint64(1008) << 16u << QByteArray("\x00\x01\x01", 3);
    }
    void chs_encoding() {
        QFETCH(quint64, sector);
        QFETCH(quint32, heads);
        QFETCH(QByteArray, expected);
        std::uint8_t out[3];
        encode_chs(sector, heads, heads ? 63 : 0, out);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(out), 3), expected);
    }

    // Our loader, the disk signature kept, the first four describable partitions in order,
    // only entry 0 active, the rest of the table cleared.
    void record_from_found_partitions() {
        QByteArray old(512, char(0x80));
        const QByteArray signature("ORVN\x12\x34", 6);
        old.replace(440, 6, signature);
        QByteArray record = old;
        auto* bytes = reinterpret_cast<std::uint8_t*>(record.data());
        QList<partition_item_s> left_out;
        QCOMPARE(build_master_boot_record(bytes, {item(2048, 4095), item(4096, 9999, 12)}, 255, 63,
                                          &left_out),
                 2);
        QVERIFY(left_out.isEmpty());
        QCOMPARE(QByteArray(record.constData(), 440),
                 QByteArray(reinterpret_cast<const char*>(mbr_boot_code), 440));
        QCOMPARE(record.mid(440, 6), signature);
        QCOMPARE(record.mid(446, 16).toHex(), QByteArray("80202100074101000008000000080000"));
        QCOMPARE(uint8_t(record[462]), 0x00);
        QCOMPARE(uint8_t(record[466]), 0x0C);
        QCOMPARE(qFromLittleEndian<quint32>(record.constData() + 470), 4096u);
        QCOMPARE(qFromLittleEndian<quint32>(record.constData() + 474), 5904u);
        QCOMPARE(record.mid(478, 32), QByteArray(32, '\0'));
        QCOMPARE(record.right(2), QByteArray("\x55\xAA"));

        record = old;
        QList<partition_item_s> found{item(1, 9),   item(1ULL << 32, (1ULL << 32) + 9),
                                      item(10, 19), item(20, 20 + (1ULL << 32)),
                                      item(30, 39), item(40, 49),
                                      item(50, 59)};
        bytes = reinterpret_cast<std::uint8_t*>(record.data());
        QCOMPARE(build_master_boot_record(bytes, found, 255, 63, &left_out), 4);
        QCOMPARE(left_out.size(), 2);
        QCOMPARE(qFromLittleEndian<quint32>(record.constData() + 446 + 3 * 16 + 8), 40u);
    }

    void refusals_write_nothing() {
        QTemporaryDir dir;
        const QString path = small_disk(dir);
        const QByteArray before = read_bytes(path, 0, 512);
        partition_repair_c worker;
        QCOMPARE(worker.repair_mbr(), -1);  // no drive
        worker.set_drive(image_drive(path));
        QCOMPARE(worker.repair_mbr(), -1);  // nothing searched, nothing found

        // While the search runs: hold the worker inside its first partition_found().
        QSemaphore reached, release;
        auto hold = connect(
            &worker, &partition_repair_c::partition_found, &worker,
            [&] {
                reached.release();
                release.acquire();
            },
            Qt::DirectConnection);
        worker.start();
        QVERIFY(reached.tryAcquire(1, 60000));
        QCOMPARE(worker.repair_mbr(), -1);
        QCOMPARE(worker.set_drive(image_drive(path)), -1);
        release.release();
        QVERIFY(worker.wait(60000));
        disconnect(hold);
        QCOMPARE(read_bytes(path, 0, 512), before);

        // No backup, no write: the state folder cannot be made.
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        qputenv("XDG_STATE_HOME", QFile::encodeName(blocker.fileName()));
        QCOMPARE(worker.repair_mbr(), -1);
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        QCOMPARE(read_bytes(path, 0, 512), before);

        // A memory drive cannot be written.
        QByteArray memory(4096 * 512, '\0');
        put_ntfs(memory, 2048, 1023);
        platform::clear_memory_drives();
        platform::add_memory_drive("ro", std::make_shared<const QByteArray>(memory));
        drive_item_s mem;
        mem.name = "mem:ro";
        worker.set_drive(mem);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.partition_count(), 1);
        QCOMPARE(worker.repair_mbr(), -1);
    }

    // A drive formatted whole (the file system starts at sector 0) is refused and left
    // exactly as it was, on a loop device where the machine has one.
    void whole_volume_is_not_repaired_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("file_system");
        QTest::addColumn<bool>("main_zeroed");  // only the backup boot region is left
        QTest::newRow("FAT32") << "mkfs.fat" << QStringList{"-F", "32", "-S", "512", "-s", "1"}
                               << "FAT32" << false;
        QTest::newRow("FAT16") << "mkfs.fat" << QStringList{"-F", "16"} << "FAT16" << false;
        QTest::newRow("NTFS") << "mkntfs" << QStringList{"-q", "-F", "-f"} << "NTFS" << false;
        QTest::newRow("exFAT") << "mkfs.exfat" << QStringList{} << "exFAT" << false;
        QTest::newRow("exFAT, main boot region zeroed")
            << "mkfs.exfat" << QStringList{} << "exFAT" << true;
    }
    void whole_volume_is_not_repaired() {
        QFETCH(QString, tool);
        QFETCH(QStringList, options);
        QFETCH(QString, file_system);
        QFETCH(bool, main_zeroed);
        const QString program = system_tool(tool);
        if (program.isEmpty()) {
            QSKIP(qPrintable(tool + " is not installed"));
        }
        QTemporaryDir dir;
        const QString image = dir.filePath("whole.img");
        QVERIFY(make_sparse(image, 40LL << 20));
        QVERIFY(run_quietly(program, options + QStringList{image}));
        if (main_zeroed) {
            QFile file(image);
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.write(QByteArray(12 * 512, 0)) == 12 * 512);
        }
        auto digest = [&] {
            QFile file(image);
            QCryptographicHash hash(QCryptographicHash::Sha256);
            return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result()
                                                                         : QByteArray();
        };
        const QByteArray before = digest();
        loop_device_c loop;
        QString why;
        const QString device = loop.attach(image, &why);
        if (device.isEmpty()) {
            qWarning("repairing the image itself: %s", qPrintable(why));
        }
        partition_repair_c worker;
        drive_item_s drive = image_drive(image);
        if (!device.isEmpty()) {
            drive.name = device;
        }
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        const QString refusal = worker.repair_refusal();
        QVERIFY2(refusal.contains("file system (" + file_system + ") without a partition table"),
                 qPrintable(refusal));
        // Said as it is: the damage is in the boot sector, which the quick scan goes around.
        QCOMPARE(refusal.contains("reads it from its backup boot region"), main_zeroed);
        QCOMPARE(worker.repair_mbr(), -1);
        QCOMPARE(worker.repair_error(), refusal);
        QVERIFY(worker.backup_path().isEmpty());
        loop.detach();
        QCOMPARE(digest(), before);
    }

    // The image under a loop device is swapped for another while the question waits: the
    // repair sees another medium and writes nothing, even where sector 0 reads the same.
    void reattached_image_is_refused() {
        QTemporaryDir dir;
        const QString a = small_disk(dir);
        const QString b = dir.filePath("other.img");
        QVERIFY(QFile::copy(a, b));
        QVERIFY(write_bytes(b, 600 * 512, QByteArray(512, 'B')));  // same sector 0
        loop_device_c loop;
        QString why;
        const QString device = loop.attach(a, &why);
        if (device.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        partition_repair_c worker;
        drive_item_s drive = image_drive(a);
        drive.name = device;
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.partition_count(), 1);
        const QString sequence = QStringLiteral("/sys/block/%1/diskseq").arg(device.mid(5));
        if (!QFile::exists(sequence)) {
            // without disk sequence numbers only sector 0 can tell the media apart
            QVERIFY(write_bytes(b, 0, QByteArray(440, 'O')));
        }
        const QByteArray before_b = read_bytes(b, 0, 4096 * 512);
        QVERIFY(run_quietly(system_tool("losetup"), {"-d", device}));
        QVERIFY(run_quietly(system_tool("losetup"), {device, b}));
        QCOMPARE(worker.repair_mbr(), -1);
        QVERIFY2(worker.repair_error().contains("changed since the search"),
                 qPrintable(worker.repair_error()));
        QVERIFY(worker.backup_path().isEmpty());
        loop.detach();
        QCOMPARE(read_bytes(b, 0, 4096 * 512), before_b);
    }

    // Repair, then undo: the drive byte for byte as before, on a loop device where there is
    // one. A second undo finds sector 0 no longer the repair's and refuses unless forced;
    // a plain 512-byte backup of an earlier version undoes too.
    void repair_then_undo_gives_the_drive_back() {
        QTemporaryDir dir;
        const QString path = small_disk(dir);
        const QByteArray before = read_bytes(path, 0, 4096 * 512);
        loop_device_c loop;
        QString why;
        const QString device = loop.attach(path, &why);
        if (device.isEmpty()) {
            qWarning("repairing the image itself: %s", qPrintable(why));
        }
        const QString name = device.isEmpty() ? path : device;
        partition_repair_c worker;
        drive_item_s drive = image_drive(path);
        drive.name = name;
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.repair_mbr(), 0);
        const QByteArray repaired = read_bytes(path, 0, 512);
        QVERIFY(repaired != before.left(512));
        const platform::drive_desc_s desc = platform::drive_by_name(name);
        undo_report_s report;
        QCOMPARE(undo_repair(worker.backup_path(), desc, false, &report), 0);
        QVERIFY2(report.error.isEmpty(), qPrintable(report.error));
        QCOMPARE(report.sectors, 1);
        QCOMPARE(read_bytes(path, 0, 4096 * 512), before);

        QCOMPARE(undo_repair(worker.backup_path(), desc, false, &report), -1);
        QVERIFY2(report.error.contains("is not what the repair wrote"), qPrintable(report.error));
        QCOMPARE(read_bytes(path, 0, 4096 * 512), before);
        // the undo's own backup puts the repair back, and forced, the first backup undoes it
        sector_backup_s own;
        QString error;
        QCOMPARE(undo_repair(worker.backup_path(), desc, true, &report), 0);
        QVERIFY(load_sector_backup(report.backup_path, &own, &error));
        QCOMPARE(own.ranges.at(0).old_bytes, before.left(512));
        QCOMPARE(read_bytes(path, 0, 4096 * 512), before);

        // an earlier version's backup: the bare old sector 0
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.repair_mbr(), 0);
        const QString plain = dir.filePath("mbr-plain.bin");
        QVERIFY(write_bytes(plain, 0, before.left(512)));
        QCOMPARE(undo_repair(plain, desc, false, &report), 0);
        QCOMPARE(read_bytes(path, 0, 4096 * 512), before);
    }

    // orvane partitions --undo: refused without --yes off a terminal, done with it; the
    // repair's message names the backup and the command.
    void orvane_undoes_its_repair() {
        QTemporaryDir dir;
        const QString path = small_disk(dir);
        const QByteArray before = read_bytes(path, 0, 4096 * 512);
        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", path}, &out, &err), 0);
        const QRegularExpression said(
            "saved to (\\S+); to put it back: orvane partitions --undo "
            "(\\S+) (\\S+)");
        const QRegularExpressionMatch match = said.match(QString::fromUtf8(err));
        QVERIFY2(match.hasMatch(), err.constData());
        QCOMPARE(match.captured(2), match.captured(1));
        QCOMPARE(match.captured(3), path);
        QCOMPARE(run_orvane({"partitions", "--undo", match.captured(1), path}, &out, &err), 2);
        QVERIFY(read_bytes(path, 0, 4096 * 512) != before);
        QCOMPARE(run_orvane({"partitions", "--undo", match.captured(1), "--yes", path}, &out, &err),
                 0);
        QVERIFY2(out.contains("put back 1 sector"), out.constData());
        QCOMPARE(read_bytes(path, 0, 4096 * 512), before);
        QCOMPARE(run_orvane({"partitions", "--undo", match.captured(1), "--yes", path}, &out, &err),
                 1);
        QVERIFY2(err.contains("--force"), err.constData());
        QCOMPARE(run_orvane({"partitions", "--force", path}, &out, &err), 2);
    }

    void repair_saves_the_old_sector_first() {
        QTemporaryDir dir;
        const QString path = small_disk(dir);
        const QByteArray before = read_bytes(path, 0, 512);
        partition_repair_c worker;
        worker.set_drive(image_drive(path));
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.repair_mbr(), 0);
        QVERIFY(
            worker.backup_path().startsWith(state.path() + "/OrvaneRecovery/sectors-small.img-"));
        sector_backup_s backup;
        QString error;
        QVERIFY2(load_sector_backup(worker.backup_path(), &backup, &error), qPrintable(error));
        QCOMPARE(backup.ranges.size(), 1);
        QCOMPARE(backup.ranges[0].lba, 0u);
        QCOMPARE(backup.ranges[0].old_bytes, before);
        QCOMPARE(backup.drive_sectors, 4096u);
        QByteArray expected = before;
        build_master_boot_record(reinterpret_cast<std::uint8_t*>(expected.data()),
                                 worker.partitions(), 255, 63, nullptr);
        QCOMPARE(backup.ranges[0].written_hash,
                 QCryptographicHash::hash(expected, QCryptographicHash::Sha256));
        QCOMPARE(read_bytes(path, 0, 512), expected);
        QCOMPARE(QFileInfo(path).size(), 4096 * 512);
    }

    // A real block device: the repair writes through a loop device and asks the kernel to
    // read the new table; where the kernel parses MBR tables, its partition shows in sysfs.
    void repair_through_a_loop_device() {
        const QString losetup = QStandardPaths::findExecutable("losetup", {"/usr/sbin", "/sbin"});
        if (losetup.isEmpty() || ::geteuid() != 0) {
            QSKIP("attaching a loop device needs root and losetup");
        }
        QTemporaryDir dir;
        QByteArray disk(16384 * 512, '\0');
        put_ntfs(disk, 2048, 4095);
        QFile file(dir.filePath("loop.img"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(disk);
        file.close();
        QProcess attach;
        attach.start(losetup, {"--find", "--show", "--partscan", file.fileName()});
        QVERIFY(attach.waitForFinished(30000));
        const QString device = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
        if (attach.exitCode() != 0 || !device.startsWith("/dev/loop")) {
            QSKIP("no loop device could be attached here");
        }
        auto detach = qScopeGuard([&] { QProcess::execute(losetup, {"-d", device}); });
        partition_repair_c worker;
        drive_item_s drive = image_drive(device);
        drive.size = std::uint64_t(disk.size());
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.partition_count(), 1);
        QCOMPARE(worker.repair_mbr(), 0);
        QVERIFY(worker.table_reread());
        const QString part =
            QStringLiteral("/sys/block/%1/%1p1/").arg(QFileInfo(device).fileName());
        if (QFile::exists(part)) {
            QCOMPARE(read_bytes(part + "start", 0, 64).trimmed(), QByteArray("2048"));
            QCOMPARE(read_bytes(part + "size", 0, 64).trimmed(), QByteArray("4096"));
        } else {
            qWarning("this kernel shows no partitions of %s", qPrintable(device));
        }
        detach.dismiss();
        QProcess::execute(losetup, {"-d", device});
        QByteArray expected = disk.left(512);
        build_master_boot_record(reinterpret_cast<std::uint8_t*>(expected.data()),
                                 worker.partitions(), 255, 63, nullptr);
        QCOMPARE(read_bytes(file.fileName(), 0, 512), expected);

        // A device with 4096-byte logical sectors is read in them: the table written for
        // 512-byte ones runs past its end there, and the NTFS at byte 1 MiB is found at its
        // sector 256, 4096 units of 512 bytes long.
        attach.start(losetup, {"--find", "--show", "--sector-size", "4096", file.fileName()});
        QVERIFY(attach.waitForFinished(30000));
        const QString big = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
        if (attach.exitCode() == 0 && big.startsWith("/dev/loop")) {
            auto detach_big = qScopeGuard([&] { QProcess::execute(losetup, {"-d", big}); });
            worker.set_drive(image_drive(big));
            worker.start();
            QVERIFY(worker.wait(60000));
            QVERIFY2(worker.search_error().isEmpty(), qPrintable(worker.search_error()));
            QCOMPARE(worker.partition_count(), 1);
            const partition_item_s found = worker.partition_at(0);
            QCOMPARE(found.fs_name, QString("NTFS"));
            QCOMPARE(found.start_sector, 256u);
            QCOMPARE(found.end_sector, 767u);
            QCOMPARE(found.sector_bytes, 4096u);
            QVERIFY(!found.from_table);
        }
    }

    // The 6 GiB disk with its table lost: listed read-only, refused without a terminal or
    // --yes, repaired with --yes into a table sfdisk reads back.
    void orvane_repairs_the_lost_table() {
        if (!fixture_exists("lost/lost.img")) {
            QSKIP("the lost-partition fixture was not made");
        }
        const QString sfdisk = QStandardPaths::findExecutable("sfdisk", {"/usr/sbin", "/sbin"});
        if (sfdisk.isEmpty()) {
            QSKIP("sfdisk is not installed (Debian package fdisk)");
        }
        QTemporaryDir dir;
        const QString image = dir.filePath("lost.img");
        QCOMPARE(QProcess::execute("cp", {"--sparse=always", fixture_path("lost/lost.img"), image}),
                 0);
        const QByteArray signature("\x4e\x56\x52\x4f\x00\x00", 6);
        QVERIFY(write_bytes(image, 440, signature));
        const QByteArray before = read_bytes(image, 0, 512);

        QByteArray out, err;
        QCOMPARE(run_orvane({"partitions", "--json", image}, &out, &err), 0);
        QStringList listed;
        for (const QByteArray& line : out.trimmed().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            listed << QStringLiteral("%1 %2 %3 %4")
                          .arg(o["fs_name"].toString())
                          .arg(o["partition_type"].toInt())
                          .arg(o["start_sector"].toInteger())
                          .arg(o["end_sector"].toInteger());
        }
        const QString expected =
            QString::fromLatin1(read_bytes(fixture_path("lost/lost.expected"), 0, 4096));
        QCOMPARE(listed.join('\n') + '\n', expected);
        QCOMPARE(run_orvane({"partitions", "--repair", image}, &out, &err), 2);
        QVERIFY(err.contains("--yes"));
        QCOMPARE(read_bytes(image, 0, 512), before);

        QCOMPARE(run_orvane({"partitions", "--repair", "--yes", image}, &out, &err), 0);
        QVERIFY2(err.contains("saved to " + state.path().toUtf8()), err.constData());
        QCOMPARE(read_bytes(image, 440, 6), signature);
        QProcess dump;
        dump.start(sfdisk, {"--dump", image});
        QVERIFY(dump.waitForFinished(30000));
        QString table = QString::fromUtf8(dump.readAllStandardOutput());
        table.replace(QRegularExpression(" +"), " ");
        QVERIFY2(table.contains("label-id: 0x4f52564e"), qPrintable(table));
        int n = 0;
        for (const QString& line : expected.split('\n', Qt::SkipEmptyParts)) {
            const QStringList f = line.split(' ');
            const quint64 start = f[2].toULongLong();
            const quint64 size = f[3].toULongLong() - start + 1;
            ++n;
            const QString entry = QStringLiteral("%1%2 : start= %3, size= %4, type=%5%6")
                                      .arg(image)
                                      .arg(n)
                                      .arg(start)
                                      .arg(size)
                                      .arg(f[1] == "7" ? "7" : "c")
                                      .arg(n == 1 ? ", bootable" : "");
            QVERIFY2(table.contains(entry + '\n'), qPrintable(entry + "\n" + table));
        }
        QCOMPARE(n, 3);
    }
};

QTEST_GUILESS_MAIN(test_partition_repair)
#include "test_partition_repair.moc"
