// The partition search: signatures, block boundaries, jumps, unreadable areas, hostile
// input and a 6 GiB disk made with sfdisk, mkntfs and mkfs.fat.
#include "loop_device.h"
#include "partition_image.h"
#include "test_support.h"

#include "device/platform/platform_device.h"
#include "partition/partition_repair.h"
#include "partition/partition_search.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

// A drive in memory that logs every read and fails reads touching the bad sectors.
class test_source_c final : public platform::device_source_c {
  public:
    explicit test_source_c(QByteArray bytes) : bytes_(std::move(bytes)) {}
    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
        reads << offset;
        if (stop_after > 0 && reads.size() >= stop_after && stop) {
            stop->store(1);
        }
        for (std::uint64_t s = offset / 512; s < (offset + len + 511) / 512; ++s) {
            if (s >= bad_first && s <= bad_last) {
                return -1;
            }
        }
        if (offset + len > std::uint64_t(bytes_.size())) {
            return -1;
        }
        std::memcpy(buffer, bytes_.constData() + offset, len);
        return 0;
    }
    std::uint64_t byte_size() const override { return std::uint64_t(bytes_.size()); }
    std::uint32_t sector_size() const override { return 512; }
    bool check_verify() override { return true; }
    bool is_writable() override { return false; }

    QList<std::uint64_t> reads;
    std::uint64_t bad_first = UINT64_MAX, bad_last = 0;
    qsizetype stop_after = 0;
    std::atomic<int>* stop = nullptr;

  private:
    QByteArray bytes_;
};

// A drive read through the device layer whose reads are logged.
class logging_source_c final : public platform::device_source_c {
  public:
    explicit logging_source_c(std::unique_ptr<platform::device_source_c> inner)
        : inner_(std::move(inner)) {}
    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
        if (len > 512) {
            reads << offset;  // the block reads; a probe reads single sectors
        }
        return inner_->read_at(offset, buffer, len);
    }
    std::uint64_t byte_size() const override { return inner_->byte_size(); }
    std::uint32_t sector_size() const override { return 512; }
    bool check_verify() override { return true; }
    bool is_writable() override { return false; }
    QList<std::uint64_t> reads;

  private:
    std::unique_ptr<platform::device_source_c> inner_;
};

QString describe(const QList<partition_item_s>& items) {
    QStringList parts;
    for (const auto& item : items) {
        parts << QStringLiteral("%1:%2:%3:%4")
                     .arg(item.fs_name)
                     .arg(item.partition_type)
                     .arg(item.start_sector)
                     .arg(item.end_sector);
    }
    return parts.join(QLatin1Char(' '));
}

QList<partition_item_s> search(platform::device_source_c& source, std::atomic<double>* progress,
                               std::atomic<std::uint64_t>* unreadable = nullptr,
                               std::atomic<int>* stop = nullptr, search_end_e* end = nullptr) {
    QList<partition_item_s> found;
    partition_search_hooks_s hooks;
    hooks.found = [&](const partition_item_s& item) { found << item; };
    hooks.progress = progress;
    hooks.unreadable = unreadable;
    hooks.stop = stop;
    const search_end_e result = search_partitions(source, hooks);
    if (end) {
        *end = result;
    }
    return found;
}

QByteArray disk_of(int sectors) {
    return QByteArray(sectors * 512, '\0');
}

}  // namespace

class test_partition_search : public QObject {
    Q_OBJECT

  private slots:
    void finds_what_the_sectors_declare_data() {
        QTest::addColumn<QByteArray>("disk");
        QTest::addColumn<QString>("expected");
        auto with = [](int sectors, std::initializer_list<std::pair<int, QByteArray>> put) {
            QByteArray d = disk_of(sectors);
            for (const auto& [at, bytes] : put) {
                put_sector(d, at, bytes);
            }
            return d;
        };
        auto ntfs_at = [](int sectors, std::initializer_list<std::pair<int, int>> volumes) {
            QByteArray d = disk_of(sectors);
            for (const auto& [at, total] : volumes) {
                put_ntfs(d, at, total);
            }
            return d;
        };
        auto fat32_at = [](int sectors, int at, std::uint32_t total, const char* oem) {
            QByteArray d = disk_of(sectors);
            put_fat32(d, at, total, oem);
            return d;
        };
        const QByteArray info = fsinfo_sector();
        const QByteArray table = fat32_table();
        QTest::newRow("FAT32 in the last tested sector of a block")
            << fat32_at(1024, 254, 100, "MSDOS5.0") << "FAT32:12:254:353";
        QTest::newRow("FAT32 in sector 255, found in the next block")
            << fat32_at(1024, 255, 100, "MSWIN4.1") << "FAT32:12:255:354";
        QTest::newRow("FAT32 whose next sector lacks 0x55 0xAA")
            << with(1024, {{254, fat32_boot("MSDOS5.0", 100)}, {262, table}}) << "";
        QTest::newRow("OEM MSDOS without a parameter block is no FAT32")
            << with(600, {{7, fat32_boot("MSDOS5.0", 30, false)}, {8, info}, {15, table}}) << "";
        QTest::newRow("OEM MSWIN without a parameter block is no FAT32")
            << with(600, {{7, fat32_boot("MSWIN4.1", 30, false)}, {8, info}, {15, table}}) << "";
        QTest::newRow("mkfs.fat with a FAT32 parameter block")
            << fat32_at(600, 7, 30, "mkfs.fat") << "FAT32:12:7:36";
        QTest::newRow("FAT32 whose FAT is not there")
            << with(600, {{7, fat32_boot("mkfs.fat", 30)}, {8, info}}) << "";
        auto broken_bpb = [&](int offset, char value) {
            QByteArray d = fat32_at(600, 7, 30, "BSD  4.4");
            d[7 * 512 + offset] = value;
            d[13 * 512 + offset] = value;  // the backup copy alike
            return d;
        };
        QTest::newRow("parameter block with 4096-byte sectors") << broken_bpb(12, 0x10) << "";
        QTest::newRow("parameter block with 3 sectors per cluster") << broken_bpb(13, 3) << "";
        QTest::newRow("parameter block with no reserved sectors") << broken_bpb(14, 0) << "";
        QTest::newRow("parameter block with 3 FATs") << broken_bpb(16, 3) << "";
        QTest::newRow("parameter block with a fixed root directory") << broken_bpb(17, 0x20) << "";
        QTest::newRow("parameter block without a jump") << broken_bpb(0, 0) << "";
        QTest::newRow("parameter block with media byte 0x12") << broken_bpb(21, 0x12) << "";
        {
            // The primary boot sector zeroed: the backup at sector 6 names the start.
            QByteArray d = fat32_at(600, 100, 300, "mkfs.fat");
            put_sector(d, 100, QByteArray(512, '\0'));
            QTest::newRow("FAT32 found by its backup boot sector") << d << "FAT32:12:100:399";
            put_sector(d, 101, QByteArray(512, '\0'));
            QTest::newRow("FAT32 backup without the primary FSInfo") << d << "FAT32:12:100:399";
        }
        QTest::newRow("NTFS at 2048: total + 1 sectors")
            << ntfs_at(4200, {{2048, 1000}}) << "NTFS:7:2048:3048";
        {
            QByteArray d = ntfs_at(4200, {{2048, 1000}});
            put_sector(d, 2048, QByteArray(512, '\0'));
            QTest::newRow("NTFS found by its backup boot sector, once") << d << "NTFS:7:2048:3048";
            put_sector(d, 2048 + test_ntfs_mft, QByteArray(512, '\0'));
            QTest::newRow("NTFS backup with neither $MFT nor $MFTMirr") << d << "";
        }
        {
            QByteArray d = ntfs_at(4200, {{2048, 1000}});
            put_sector(d, 2048 + test_ntfs_mft, QByteArray(512, '\0'));
            put_sector(d, 2049, mft_record());
            QTest::newRow("NTFS confirmed by $MFTMirr") << d << "NTFS:7:2048:3048";
        }
        QTest::newRow("NTFS without an MFT record") << with(4200, {{2048, ntfs_boot(1000)}}) << "";
        {
            QByteArray boot = ntfs_boot(1000);
            boot[48] = char(0xE8);  // $MFT at cluster 1000: past the volume
            boot[49] = 0x03;
            QTest::newRow("NTFS whose $MFT lies outside the volume")
                << with(4200, {{2048, boot}, {3048, mft_record()}}) << "";
            boot = ntfs_boot(1000);
            boot[14] = 1;  // reserved sectors, which NTFS keeps zero
            QTest::newRow("NTFS with reserved sectors")
                << with(4200, {{2048, boot}, {2050, mft_record()}}) << "";
            boot = ntfs_boot(1000);
            boot[13] = 3;
            QTest::newRow("NTFS with 3 sectors per cluster")
                << with(4200, {{2048, boot}, {2050, mft_record()}}) << "";
        }
        QTest::newRow("nothing inside a found partition is examined")
            << ntfs_at(1024, {{0, 99}, {50, 5}, {100, 5}}) << "NTFS:7:0:99 NTFS:7:100:105";
        QTest::newRow("a FAT32 boot sector of 0 sectors is passed by one sector") << [&] {
            QByteArray d = ntfs_at(600, {{11, 3}});
            put_sector(d, 10, fat32_boot("MSDOS5.0", 0));
            return d;
        }() << "NTFS:7:11:14";
        QTest::newRow("a drive smaller than one block") << ntfs_at(5, {{0, 3}}) << "NTFS:7:0:3";
        {
            QByteArray d = disk_of(300);
            put_sector(d, 299, ntfs_boot(290));
            put_sector(d, 9 + test_ntfs_mft, mft_record());
            QTest::newRow("NTFS backup in the drive's last sector") << d << "NTFS:7:9:299";
        }
        QTest::newRow("a partition past the end of the drive")
            << with(400, {{10, ntfs_boot(1000000)}, {12, mft_record()}}) << "";
        {
            // A planted sector claiming 2^40 sectors, with an MFT record where it says,
            // hides nothing behind it.
            QByteArray d = ntfs_at(4096, {{300, 100}});
            put_sector(d, 10, ntfs_boot(1ULL << 40));
            put_sector(d, 12, mft_record());
            QTest::newRow("2^40 sectors claimed") << d << "NTFS:7:300:400";
            put_sector(d, 20, fat32_boot("MSDOS5.0", 0xFFFFFFFF));
            put_sector(d, 21, info);
            put_sector(d, 28, table);
            QTest::newRow("largest FAT32 size") << d << "NTFS:7:300:400";
            put_sector(d, 30, ntfs_boot(UINT64_MAX));
            QTest::newRow("absurd NTFS size") << d << "NTFS:7:300:400";
        }
        QTest::newRow("one sector") << with(1, {}) << "";
        QTest::newRow("empty drive") << QByteArray() << "";
    }
    void finds_what_the_sectors_declare() {
        QFETCH(QByteArray, disk);
        QFETCH(QString, expected);
        test_source_c source(disk);
        std::atomic<double> progress{0.0};
        QCOMPARE(describe(search(source, &progress)), expected);
        QCOMPARE(progress.load(), 1.0);
    }

    // Random bytes sprinkled with boot signatures never crash the search, and every found
    // partition starts after the one before it ends.
    void random_drives_are_searched_safely() {
        QRandomGenerator random(9);
        for (int round = 0; round < 20; ++round) {
            QByteArray disk(int(random.bounded(1, 700)) * 512, '\0');
            random.fillRange(reinterpret_cast<quint32*>(disk.data()), disk.size() / 4);
            for (int k = 0; k < 30; ++k) {
                const int at = int(random.bounded(disk.size() / 512));
                QByteArray s = random.bounded(2)
                                   ? ntfs_boot(random.generate64() >> random.bounded(64))
                                   : fat32_boot("MSDOS5.0", random.generate());
                std::memcpy(s.data() + 40, disk.constData() + at * 512 + 40, random.bounded(2) * 8);
                put_sector(disk, at, s);
            }
            test_source_c source(disk);
            std::atomic<double> progress{0.0};
            const auto found = search(source, &progress);
            for (qsizetype i = 1; i < found.size(); ++i) {
                QVERIFY(found[i].start_sector > found[i - 1].end_sector);
            }
            QCOMPARE(progress.load(), 1.0);
        }
    }

    // A read error in the middle hides nothing behind it: the area is read again in smaller
    // pieces, the sectors that stay unreadable are counted and skipped.
    void unreadable_areas_are_skipped() {
        QByteArray disk = disk_of(2048);
        put_fat32(disk, 270, 20);  // inside the bad area
        put_ntfs(disk, 311, 9);    // right behind it
        put_ntfs(disk, 1500, 9);
        test_source_c source(disk);
        source.bad_first = 265;
        source.bad_last = 310;
        std::atomic<double> progress{0.0};
        std::atomic<std::uint64_t> unreadable{0};
        QCOMPARE(describe(search(source, &progress, &unreadable)),
                 QStringLiteral("NTFS:7:311:320 NTFS:7:1500:1509"));
        QCOMPARE(unreadable.load(), 46u);
        QCOMPARE(progress.load(), 1.0);
    }

    void stop_ends_before_the_next_block() {
        test_source_c source(disk_of(4096));
        std::atomic<int> stop{0};
        source.stop = &stop;
        // Before the first block, the sector size of a drive that does not tell it: where
        // a GPT header would name itself in 512-byte and in 4096-byte sectors (sector 1, the
        // last, sector 8, the last 4 KiB) and sector 0. Then the table on the drive: sector
        // 0, both GPT headers, sector 0 again as a master boot record, and where a GPT of
        // 4096-byte sectors keeps its headers.
        source.stop_after = 11;
        std::atomic<double> progress{0.0};
        search_end_e end = search_end_e::complete;
        search(source, &progress, nullptr, &stop, &end);
        QCOMPARE(end, search_end_e::stopped);
        QCOMPARE(source.reads.size(), 11);
        QVERIFY(progress.load() < 1.0);
    }

    // The worker thread: items arrive one signal each, in order, through the device layer.
    void worker_thread_reports_each_partition() {
        QByteArray disk = disk_of(3000);
        put_ntfs(disk, 2048, 99);
        put_fat32(disk, 2148, 500);
        platform::clear_memory_drives();
        platform::add_memory_drive("parts", std::make_shared<const QByteArray>(disk));
        partition_repair_c worker;
        QSignalSpy spy(&worker, &partition_repair_c::partition_found);
        drive_item_s drive;
        drive.name = "mem:parts";
        drive.size = std::uint64_t(disk.size());
        QCOMPARE(worker.set_drive(drive), 0);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(spy.count(), 2);
        QCOMPARE(describe(worker.partitions()),
                 QStringLiteral("NTFS:7:2048:2147 FAT32:12:2148:2647"));
        QCOMPARE(worker.search_progress.load(), 1.0);
        QVERIFY(worker.search_error().isEmpty());

        drive.name = "mem:missing";
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        QVERIFY(worker.partitions().isEmpty());
        QVERIFY(!worker.search_error().isEmpty());
        QCOMPARE(worker.search_progress.load(), 0.0);
    }

    // Volumes made by mkntfs and mkfs.fat whose primary boot sectors were zeroed are found
    // at their true starts by their backup boot sectors, behind a planted sector that claims
    // 2^40 sectors; searched through a loop device where the machine has one.
    void real_volumes_found_by_their_backups() {
        const QString mkntfs = system_tool("mkntfs");
        const QString mkfs_fat = system_tool("mkfs.fat");
        if (mkntfs.isEmpty() || mkfs_fat.isEmpty()) {
            QSKIP("mkntfs (ntfs-3g) and mkfs.fat (dosfstools) are needed");
        }
        QTemporaryDir dir;
        const QString image = dir.filePath("disk.img");
        const QString scratch = dir.filePath("ntfs.part");
        const qint64 ntfs_start = 2048, ntfs_sectors = 32768, fat_start = 40960;
        QVERIFY(make_sparse(image, 131072 * 512LL));
        QVERIFY(make_sparse(scratch, ntfs_sectors * 512));
        QVERIFY(
            run_quietly(mkntfs, {"-q", "-F", "-f", "-p", QString::number(ntfs_start), "-H", "255",
                                 "-S", "63", "-s", "512", scratch, QString::number(ntfs_sectors)}));
        QVERIFY(copy_into(scratch, image, ntfs_start * 512));
        QVERIFY(run_quietly(
            mkfs_fat, {"-F", "32", "-S", "512", "-s", "1", "--offset", QString::number(fat_start),
                       "-h", QString::number(fat_start), image, "40960"}));
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(ntfs_start * 512));
        const QByteArray ntfs = file.read(512);
        QVERIFY(file.seek(fat_start * 512));
        const QByteArray fat = file.read(512);
        const auto ntfs_total = qFromLittleEndian<quint64>(ntfs.constData() + 40);
        const auto fat_total = qFromLittleEndian<quint32>(fat.constData() + 32);
        for (qint64 at : {ntfs_start, fat_start}) {
            QVERIFY(file.seek(at * 512));
            file.write(QByteArray(512, '\0'));
        }
        QByteArray planted = ntfs_boot(1ULL << 40);
        QVERIFY(file.seek(100 * 512));
        file.write(planted);
        QVERIFY(file.seek((100 + test_ntfs_mft) * 512));
        file.write(mft_record());
        file.close();
        const QString expected = QStringLiteral("NTFS:7:%1:%2 FAT32:12:%3:%4")
                                     .arg(ntfs_start)
                                     .arg(ntfs_start + ntfs_total)
                                     .arg(fat_start)
                                     .arg(fat_start + fat_total - 1);

        loop_device_c loop;
        QString why;
        const QString device = loop.attach(image, &why, {"--read-only"});
        if (device.isEmpty()) {
            qWarning("searching the image itself: %s", qPrintable(why));
        }
        partition_repair_c worker;
        drive_item_s drive;
        drive.name = device.isEmpty() ? image : device;
        drive.size = 131072 * 512ULL;
        QCOMPARE(worker.set_drive(drive), 0);
        worker.start();
        QVERIFY(worker.wait(120000));
        QVERIFY2(worker.search_error().isEmpty(), qPrintable(worker.search_error()));
        QCOMPARE(describe(worker.partitions()), expected);
    }

    // The 6 GiB disk: exactly the sectors the boot sectors declare, beyond 4 GiB too, and the
    // read after each hit starts right behind the partition.
    void six_gib_disk_made_by_real_tools() {
        if (!fixture_exists("lost/lost.img")) {
            QSKIP("the lost-partition fixture was not made");
        }
        QFile expected_file(fixture_path("lost/lost.expected"));
        QVERIFY(expected_file.open(QIODevice::ReadOnly));
        QStringList expected;
        for (const QByteArray& line : expected_file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                expected << QString::fromLatin1(line).replace(QLatin1Char(' '), QLatin1Char(':'));
            }
        }
        QCOMPARE(expected.size(), 3);
        QString error;
        auto inner = platform::open_drive(
            {fixture_path("lost/lost.img"), platform::drive_kind_e::image}, &error);
        QVERIFY2(inner, qPrintable(error));
        QVERIFY(inner->byte_size() >= 6ULL << 30);
        logging_source_c source(std::move(inner));
        std::atomic<double> progress{0.0};
        const auto found = search(source, &progress);
        QCOMPARE(describe(found), expected.join(QLatin1Char(' ')));
        QVERIFY(found[2].start_sector * 512 > (4ULL << 30));
        for (const auto& item : found) {
            const std::uint64_t hit = item.start_sector * 512;
            const qsizetype i =
                std::find_if(source.reads.begin(), source.reads.end(),
                             [&](std::uint64_t r) { return r <= hit && hit < r + 131072; }) -
                source.reads.begin();
            QVERIFY(i + 1 < source.reads.size());
            QCOMPARE(source.reads[i + 1], (item.end_sector + 1) * 512);
        }
    }
};

QTEST_GUILESS_MAIN(test_partition_search)
#include "test_partition_search.moc"
