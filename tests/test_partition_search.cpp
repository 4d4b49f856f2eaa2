// The partition search: signatures, block boundaries, jumps, unreadable areas, hostile
// input and a 6 GiB disk made with sfdisk, mkntfs and mkfs.fat.
#include "partition_image.h"
#include "test_support.h"

#include "device/platform/platform_device.h"
#include "partition/partition_repair.h"
#include "partition/partition_search.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
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
        reads << offset;
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
        const QByteArray info = fsinfo_sector();
        QTest::newRow("FAT32 in the last tested sector of a block")
            << with(1024, {{254, fat32_boot("MSDOS5.0", 100)}, {255, info}}) << "FAT32:12:254:353";
        QTest::newRow("FAT32 in sector 255, found in the next block")
            << with(1024, {{255, fat32_boot("MSWIN4.1", 100)}, {256, info}}) << "FAT32:12:255:354";
        QTest::newRow("FAT32 whose next sector lacks 0x55 0xAA")
            << with(1024, {{254, fat32_boot("MSDOS5.0", 100)}}) << "";
        QTest::newRow("OEM MSDOS without a parameter block")
            << with(600, {{7, fat32_boot("MSDOS5.0", 10, false)}, {8, info}}) << "FAT32:12:7:16";
        QTest::newRow("OEM MSWIN without a parameter block")
            << with(600, {{7, fat32_boot("MSWIN4.1", 10, false)}, {8, info}}) << "FAT32:12:7:16";
        QTest::newRow("mkfs.fat with a FAT32 parameter block")
            << with(600, {{7, fat32_boot("mkfs.fat", 10)}, {8, info}}) << "FAT32:12:7:16";
        QTest::newRow("other OEM name, no parameter block")
            << with(600, {{7, fat32_boot("mkfs.fat", 10, false)}, {8, info}}) << "";
        auto broken_bpb = [](int offset, char value) {
            QByteArray s = fat32_boot("BSD  4.4", 10);
            s[offset] = value;
            return s;
        };
        QTest::newRow("parameter block with 4096-byte sectors")
            << with(600, {{7, broken_bpb(12, 0x10)}, {8, info}}) << "";
        QTest::newRow("parameter block with 3 sectors per cluster")
            << with(600, {{7, broken_bpb(13, 3)}, {8, info}}) << "";
        QTest::newRow("parameter block with no reserved sectors")
            << with(600, {{7, broken_bpb(14, 0)}, {8, info}}) << "";
        QTest::newRow("parameter block with 3 FATs")
            << with(600, {{7, broken_bpb(16, 3)}, {8, info}}) << "";
        QTest::newRow("parameter block with a fixed root directory")
            << with(600, {{7, broken_bpb(17, 0x20)}, {8, info}}) << "";
        QTest::newRow("NTFS at 2048: total + 1 sectors")
            << with(4200, {{2048, ntfs_boot(1000)}}) << "NTFS:7:2048:3048";
        QTest::newRow("nothing inside a found partition is examined")
            << with(1024, {{0, ntfs_boot(99)}, {50, ntfs_boot(5)}, {100, ntfs_boot(5)}})
            << "NTFS:7:0:99 NTFS:7:100:105";
        QTest::newRow("a FAT32 hit of 0 sectors moves on by one sector")
            << with(600, {{10, fat32_boot("MSDOS5.0", 0, false)}, {11, ntfs_boot(3)}})
            << "NTFS:7:11:14";
        QTest::newRow("a drive smaller than one block")
            << with(3, {{0, fat32_boot("mkfs.fat", 3)}, {1, info}}) << "FAT32:12:0:2";
        QTest::newRow("NTFS in the drive's last sector")
            << with(300, {{299, ntfs_boot(0)}}) << "NTFS:7:299:299";
        QTest::newRow("a partition past the end of the drive")
            << with(400, {{10, ntfs_boot(1000000)}}) << "NTFS:7:10:1000010";
        QTest::newRow("absurd NTFS size")
            << with(400, {{5, ntfs_boot(UINT64_MAX)}, {300, ntfs_boot(1)}})
            << "NTFS:7:5:18446744073709551615";
        QTest::newRow("largest FAT32 size")
            << with(400, {{5, fat32_boot("MSDOS5.0", 0xFFFFFFFF)}, {6, info}})
            << "FAT32:12:5:4294967299";
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
        put_sector(disk, 270, fat32_boot("MSDOS5.0", 20));  // inside the bad area
        put_sector(disk, 271, fsinfo_sector());
        put_sector(disk, 311, ntfs_boot(9));  // right behind it
        put_sector(disk, 1500, ntfs_boot(9));
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
        source.stop_after = 3;
        std::atomic<double> progress{0.0};
        search_end_e end = search_end_e::complete;
        search(source, &progress, nullptr, &stop, &end);
        QCOMPARE(end, search_end_e::stopped);
        QCOMPARE(source.reads.size(), 3);
        QVERIFY(progress.load() < 1.0);
    }

    // The worker thread: items arrive one signal each, in order, through the device layer.
    void worker_thread_reports_each_partition() {
        QByteArray disk = disk_of(3000);
        put_sector(disk, 2048, ntfs_boot(99));
        put_sector(disk, 2148, fat32_boot("mkfs.fat", 500));
        put_sector(disk, 2149, fsinfo_sector());
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
