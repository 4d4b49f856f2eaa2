// GPT and Linux partitions: the table reader against hostile headers, the table builders
// read back by sgdisk and sfdisk, the file-system probes on volumes made by the real mkfs
// tools (and refusing the same superblocks with absurd sizes), and the search over sparse
// GPT and MBR disks whose tables were zeroed.
#include "test_support.h"

#include "device/platform/disk_crc.h"
#include "device/platform/platform_device.h"
#include "partition/disk_layout.h"
#include "partition/fs_probe.h"
#include "partition/gpt_table.h"
#include "partition/partition_search.h"
#include "partition/table_builder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

namespace {

probe_read_f memory_reader(const QByteArray& disk) {
    return [&disk](std::uint64_t first, std::uint32_t count, std::uint8_t* out) {
        const std::uint64_t end = (first + count) * 512;
        if (first > UINT64_MAX / 1024 || end > std::uint64_t(disk.size())) {
            return -1;
        }
        std::memcpy(out, disk.constData() + first * 512, std::size_t(count) * 512);
        return 0;
    };
}

void apply(QByteArray& disk, const QList<table_write_s>& writes) {
    for (const table_write_s& w : writes) {
        std::memcpy(disk.data() + w.lba * 512, w.bytes.constData(), std::size_t(w.bytes.size()));
    }
}

bool apply_to_file(const QString& path, const QList<table_write_s>& writes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        return false;
    }
    for (const table_write_s& w : writes) {
        if (!file.seek(qint64(w.lba * 512)) || file.write(w.bytes) != w.bytes.size()) {
            return false;
        }
    }
    return true;
}

// A 4 MiB disk in memory with a standard GPT of two entries.
QByteArray small_gpt_disk() {
    const std::uint64_t sectors = 8192;
    QByteArray disk(qsizetype(sectors * 512), '\0');
    QByteArray array = gpt_entry_bytes(guid_bytes(QString::fromLatin1(gpt_type_linux_fs)),
                                       random_guid_bytes(), 2048, 4095, 0, QStringLiteral("one"));
    array += gpt_entry_bytes(guid_bytes(QString::fromLatin1(gpt_type_linux_swap)),
                             random_guid_bytes(), 4096, 6143, 1ull << 63, QStringLiteral("two"));
    array.append(QByteArray(128 * 128 - array.size(), '\0'));
    apply(disk, build_gpt(sectors, random_guid_bytes(), 34, sectors - 34, 128, 128, array));
    return disk;
}

// Rewrites the CRCs of the header at `lba` (array first) after a test changed it.
void fix_gpt_crcs(QByteArray& disk, std::uint64_t lba) {
    auto* h = reinterpret_cast<std::uint8_t*>(disk.data() + lba * 512);
    const std::uint64_t entry_lba = qFromLittleEndian<std::uint64_t>(h + 72);
    const std::uint32_t count = qFromLittleEndian<std::uint32_t>(h + 80);
    const std::uint32_t size = qFromLittleEndian<std::uint32_t>(h + 84);
    const std::uint64_t bytes = std::uint64_t(count) * size;
    const std::uint64_t sectors = std::uint64_t(disk.size()) / 512;
    if (bytes <= 1u << 20 && entry_lba < sectors && entry_lba * 512 + bytes <= sectors * 512) {
        qToLittleEndian<std::uint32_t>(crc32_ieee(disk.constData() + entry_lba * 512, bytes),
                                       h + 88);
    }
    qToLittleEndian<std::uint32_t>(0, h + 16);
    qToLittleEndian<std::uint32_t>(crc32_ieee(h, 92), h + 16);
}

QString gpt_fixture(const QString& name) {
    return fixture_path(QStringLiteral("gpt/") + name);
}

struct expected_s {
    QString fs;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    QString type_guid;
    QString unique_guid;
    QString name;
};

QList<expected_s> read_expected(const QString& image) {
    QList<expected_s> out;
    QFile file(
        gpt_fixture(QString(image).replace(QLatin1String(".img"), QLatin1String(".expected"))));
    if (!file.open(QIODevice::ReadOnly)) {
        return out;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 6) {
            out << expected_s{QString::fromLatin1(f[0]),
                              f[1].toULongLong(),
                              f[2].toULongLong(),
                              QString::fromLatin1(f[3]),
                              QString::fromLatin1(f[4]),
                              QString::fromUtf8(f[5]).replace(QLatin1Char('_'), QLatin1Char(' '))};
        }
    }
    return out;
}

struct search_result_s {
    QList<partition_item_s> found;
    disk_layout_s layout;
    std::uint64_t bytes_read = 0;
};

// Counts what the search reads from an image.
class counting_source_c final : public platform::device_source_c {
  public:
    explicit counting_source_c(std::unique_ptr<platform::device_source_c> inner)
        : inner_(std::move(inner)) {}
    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
        bytes += len;
        return inner_->read_at(offset, buffer, len);
    }
    std::uint64_t byte_size() const override { return inner_->byte_size(); }
    std::uint32_t sector_size() const override { return 512; }
    bool check_verify() override { return true; }
    bool is_writable() override { return false; }
    void data_run(std::uint64_t offset, std::uint64_t* start, std::uint64_t* end) override {
        inner_->data_run(offset, start, end);
    }
    std::uint64_t bytes = 0;

  private:
    std::unique_ptr<platform::device_source_c> inner_;
};

search_result_s search_image(const QString& path) {
    search_result_s result;
    auto inner = platform::open_drive({path, platform::drive_kind_e::image}, nullptr);
    if (!inner) {
        return result;
    }
    counting_source_c source(std::move(inner));
    partition_search_hooks_s hooks;
    hooks.found = [&](const partition_item_s& item) { result.found << item; };
    hooks.layout = &result.layout;
    search_partitions(source, hooks);
    result.bytes_read = source.bytes;
    return result;
}

QString run_tool(const QString& program, const QStringList& arguments, int* status = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    if (status) {
        *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    return QString::fromLocal8Bit(process.readAll());
}

bool copy_sparse(const QString& from, const QString& to) {
    int status = -1;
    run_tool(QStringLiteral("cp"), {QStringLiteral("--sparse=always"), from, to}, &status);
    return status == 0;
}

}  // namespace

class test_partition_gpt_c : public QObject {
    Q_OBJECT

  private slots:
    void built_table_reads_back();
    void hostile_headers_data();
    void hostile_headers();
    void probes_on_real_volumes_data();
    void probes_on_real_volumes();
    void search_lost_tables_data();
    void search_lost_tables();
    void sparse_three_tib_disk();
    void rebuilt_tables_pass_sgdisk_data();
    void rebuilt_tables_pass_sgdisk();
    void mbr_with_logical_partition();
    void mbr_over_stale_gpt_holds();
    void repair_and_undo_data();
    void repair_and_undo();
};

void test_partition_gpt_c::built_table_reads_back() {
    const QByteArray disk = small_gpt_disk();
    const probe_read_f read = memory_reader(disk);
    for (const bool backup : {false, true}) {
        gpt_table_s table;
        QString why;
        QVERIFY2(read_gpt(read, 8192, backup, &table, &why), qPrintable(why));
        QCOMPARE(table.header.my_lba, backup ? 8191u : 1u);
        QCOMPARE(table.header.alternate_lba, backup ? 1u : 8191u);
        QCOMPARE(table.header.first_usable, 34u);
        QCOMPARE(table.header.last_usable, 8192u - 34);
        QCOMPARE(table.header.entry_lba, backup ? 8192u - 33 : 2u);
        QCOMPARE(table.entries.size(), 2);
        QCOMPARE(table.entries[1].name, QStringLiteral("two"));
        QCOMPARE(table.entries[1].attributes, 1ull << 63);
        QCOMPARE(guid_text(table.entries[0].type_guid), QString::fromLatin1(gpt_type_linux_fs));
    }
    // The protective record: one 0xEE entry from sector 1 over the rest of the drive.
    QCOMPARE(std::uint8_t(disk[446 + 4]), std::uint8_t(0xEE));
    QCOMPARE(qFromLittleEndian<std::uint32_t>(disk.constData() + 446 + 8), 1u);
    QCOMPARE(qFromLittleEndian<std::uint32_t>(disk.constData() + 446 + 12), 8191u);
    QCOMPARE(protective_mbr(1ull << 40).mid(446 + 12, 4), QByteArray(4, char(0xFF)));
    // Text and stored form of a GUID: the first three groups are little-endian.
    QCOMPARE(guid_bytes(QString::fromLatin1(gpt_type_basic_data)).toHex(),
             QByteArray("a2a0d0ebe5b9334487c068b6b72699c7"));
}

void test_partition_gpt_c::hostile_headers_data() {
    QTest::addColumn<int>("header_offset");  // -1: change an entry instead
    QTest::addColumn<int>("width");
    QTest::addColumn<qulonglong>("value");
    QTest::addColumn<bool>("fix_crcs");
    QTest::addColumn<QString>("why");
    QTest::newRow("header CRC") << 16 << 4 << 0x12345678ull << false << "fails its CRC";
    QTest::newRow("array CRC") << 88 << 4 << 0x12345678ull << false << "fails its CRC";
    QTest::newRow("header size 600") << 12 << 4 << 600ull << true << "revision or size";
    QTest::newRow("no entries") << 80 << 4 << 0ull << true << "entry count or size";
    QTest::newRow("2^32-1 entries") << 80 << 4 << 0xFFFFFFFFull << true << "entry count or size";
    QTest::newRow("entry size 100") << 84 << 4 << 100ull << true << "entry count or size";
    QTest::newRow("entry size 2^31") << 84 << 4 << 0x80000000ull << true << "entry count or size";
    QTest::newRow("own sector wrong") << 24 << 8 << 5ull << true << "wrong sectors";
    QTest::newRow("last usable past the drive") << 48 << 8 << 9000ull << true << "usable range";
    QTest::newRow("array inside the data") << 72 << 8 << 100ull << true << "entry array";
    QTest::newRow("array past the drive")
        << 72 << 8 << 0xFFFFFFFFFFFFFFF0ull << true << "entry array";
    QTest::newRow("entries overlap") << -1 << 8 << 3000ull << true << "overlap";
    QTest::newRow("entry past the usable end") << -2 << 8 << 8190ull << true << "outside";
}

void test_partition_gpt_c::hostile_headers() {
    QFETCH(int, header_offset);
    QFETCH(int, width);
    QFETCH(qulonglong, value);
    QFETCH(bool, fix_crcs);
    QFETCH(QString, why);
    QByteArray disk = small_gpt_disk();
    for (const std::uint64_t lba : {std::uint64_t(1), std::uint64_t(8191)}) {
        char* h = disk.data() + lba * 512;
        const std::uint64_t entry_lba = qFromLittleEndian<std::uint64_t>(h + 72);
        char* field = header_offset >= 0 ? h + header_offset
                      : header_offset == -1
                          ? disk.data() + entry_lba * 512 + 128 + 32   // second entry's start
                          : disk.data() + entry_lba * 512 + 128 + 40;  // second entry's end
        if (width == 8) {
            qToLittleEndian<std::uint64_t>(value, field);
        } else {
            qToLittleEndian<std::uint32_t>(std::uint32_t(value), field);
        }
        if (fix_crcs) {
            fix_gpt_crcs(disk, lba);
        }
    }
    const disk_layout_s layout = read_disk_layout(memory_reader(disk), 8192);
    QVERIFY(layout.gpt_seen);
    QVERIFY(!layout.primary_ok);
    QVERIFY(!layout.backup_ok);
    QVERIFY2(layout.gpt_problem.contains(why), qPrintable(layout.gpt_problem));
    QVERIFY(table_items(layout).isEmpty());
}

void test_partition_gpt_c::probes_on_real_volumes_data() {
    QTest::addColumn<int>("kind");  // index in gpt7.expected
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("size_offset");  // where the size lives in the anchor's sectors
    QTest::addColumn<int>("size_width");
    QTest::newRow("exFAT") << 2 << 0 << 72 << 8;
    QTest::newRow("ext4") << 3 << 2 << 0x04 << 4;
    QTest::newRow("XFS") << 4 << 0 << 8 << -8;  // big-endian
    QTest::newRow("btrfs") << 5 << 128 << 0xC9 + 8 << 8;
    QTest::newRow("swap") << 6 << 0 << 1028 << 4;
}

// Each probe finds its volume as mkfs made it, and refuses the same superblock claiming
// an absurd size even with its checksum made right again.
void test_partition_gpt_c::probes_on_real_volumes() {
    QFETCH(int, kind);
    QFETCH(int, anchor);
    QFETCH(int, size_offset);
    QFETCH(int, size_width);
    if (!fixture_exists(QStringLiteral("gpt/gpt7.img"))) {
        QSKIP("gpt/gpt7.img was not made (make_gpt_disks.sh needs root and loop devices)");
    }
    const QList<expected_s> expected = read_expected(QStringLiteral("gpt7.img"));
    QCOMPARE(expected.size(), 7);
    const expected_s want = expected[kind];
    QFile image(gpt_fixture(QStringLiteral("gpt7.img")));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QVERIFY(image.seek(qint64(want.first * 512)));
    // The volume's first 2 MiB (superblocks, the exFAT FAT) on a drive of its own, placed
    // at sector 64.
    QByteArray disk(qsizetype((64 + 4096) * 512), '\0');
    const QByteArray head = image.read(4096 * 512);
    std::memcpy(disk.data() + 64 * 512, head.constData(), std::size_t(head.size()));
    const std::uint64_t drive = 64 + (want.last - want.first + 1);
    disk.resize(qsizetype(drive * 512));  // zeros behind, as large as the volume
    const std::uint64_t at = 64 + std::uint64_t(anchor == 0 && kind == 6 ? 7 : anchor);
    fs_probe_s hit;
    QVERIFY(probe_file_system(reinterpret_cast<const std::uint8_t*>(disk.constData()) + at * 512,
                              at, drive, memory_reader(disk), &hit));
    QCOMPARE(hit.fs_name, want.fs);
    QCOMPARE(hit.start_sector, 64u);
    QCOMPARE(hit.sectors, want.last - want.first + 1);
    QCOMPARE(hit.type_guid, want.type_guid);

    // Absurd size: 2^40 sectors' worth, checksums recomputed where the format has them.
    char* base = disk.data() + (64 + anchor) * 512;
    char* field = base + size_offset;
    const std::uint64_t huge = 1ull << 40;
    if (size_width == 8) {
        qToLittleEndian<std::uint64_t>(huge, field);
    } else if (size_width == -8) {
        qToBigEndian<std::uint64_t>(huge, field);
    } else {
        qToLittleEndian<std::uint32_t>(0x7FFFFFFF, field);
    }
    if (want.fs == QLatin1String("ext4")) {
        qToLittleEndian<std::uint32_t>(~crc32c(base, 0x3FC), base + 0x3FC);
    } else if (want.fs == QLatin1String("btrfs")) {
        qToLittleEndian<std::uint32_t>(crc32c(base + 0x20, 4096 - 0x20), base);
    } else if (want.fs == QLatin1String("exFAT")) {
        std::uint32_t sum = 0;
        for (int i = 0; i < 11 * 512; ++i) {
            if (i != 106 && i != 107 && i != 112) {
                sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + std::uint8_t(base[i]);
            }
        }
        for (int i = 11 * 512; i < 12 * 512; i += 4) {
            qToLittleEndian<std::uint32_t>(sum, base + i);
        }
    } else if (want.fs == QLatin1String("XFS")) {
        qToLittleEndian<std::uint32_t>(0, base + 224);
        qToLittleEndian<std::uint32_t>(crc32c(base, 512), base + 224);
    }
    QVERIFY(!probe_file_system(reinterpret_cast<const std::uint8_t*>(disk.constData()) + at * 512,
                               at, drive, memory_reader(disk), &hit));
}

void test_partition_gpt_c::search_lost_tables_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<bool>("from_table");
    QTest::newRow("intact GPT") << "gpt7.img" << true;
    QTest::newRow("primary GPT zeroed") << "gpt7-primary.img" << true;
    QTest::newRow("both GPTs zeroed") << "gpt7-both.img" << false;
}

void test_partition_gpt_c::search_lost_tables() {
    QFETCH(QString, image);
    QFETCH(bool, from_table);
    if (!fixture_exists(QStringLiteral("gpt/") + image)) {
        QSKIP("the GPT fixtures were not made (make_gpt_disks.sh needs root and loop devices)");
    }
    const QList<expected_s> expected = read_expected(image);
    const search_result_s result = search_image(gpt_fixture(image));
    QCOMPARE(result.found.size(), expected.size());
    for (qsizetype k = 0; k < expected.size(); ++k) {
        const partition_item_s& item = result.found[k];
        QCOMPARE(item.fs_name, expected[k].fs);
        QCOMPARE(item.start_sector, expected[k].first);
        QCOMPARE(item.end_sector, expected[k].last);
        QCOMPARE(item.type_guid, expected[k].type_guid);
        QCOMPARE(item.from_table, from_table);
        if (from_table) {
            QCOMPARE(item.unique_guid, expected[k].unique_guid);
            QCOMPARE(item.name, expected[k].name);
        }
    }
    QCOMPARE(result.layout.scheme, QStringLiteral("gpt"));
    QCOMPARE(result.layout.backup_ok, from_table);
}

// A 3 TiB sparse disk with a few MiB written: the holes are passed over, and the partition
// beyond 2 TiB makes the new table a GPT.
void test_partition_gpt_c::sparse_three_tib_disk() {
    if (!fixture_exists(QStringLiteral("gpt/big3t.img"))) {
        QSKIP("gpt/big3t.img was not made (make_gpt_disks.sh needs root and loop devices)");
    }
    const search_result_s result = search_image(gpt_fixture(QStringLiteral("big3t.img")));
    const QList<expected_s> expected = read_expected(QStringLiteral("big3t.img"));
    QCOMPARE(result.found.size(), 2);
    QCOMPARE(result.found[1].fs_name, QStringLiteral("ext4"));
    QCOMPARE(result.found[1].start_sector, expected[1].first);
    QCOMPARE(result.found[1].end_sector, expected[1].last);
    QCOMPARE(result.layout.scheme, QStringLiteral("gpt"));
    QVERIFY2(result.bytes_read < 256ull << 20, qPrintable(QString::number(result.bytes_read)));
}

void test_partition_gpt_c::rebuilt_tables_pass_sgdisk_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<bool>("restored");
    QTest::newRow("from the backup") << "gpt7-primary.img" << true;
    QTest::newRow("rebuilt") << "gpt7-both.img" << false;
    QTest::newRow("beyond 2 TiB") << "big3t.img" << false;
}

// The planned table written to a copy of the image: sgdisk finds no problem, and reads the
// original GUIDs and names back from a restored table, or the found partitions with type
// GUIDs by file system from a rebuilt one.
void test_partition_gpt_c::rebuilt_tables_pass_sgdisk() {
    QFETCH(QString, image);
    QFETCH(bool, restored);
    if (!fixture_exists(QStringLiteral("gpt/") + image)) {
        QSKIP("the GPT fixtures were not made (make_gpt_disks.sh needs root and loop devices)");
    }
    if (QStandardPaths::findExecutable(QStringLiteral("sgdisk"),
                                       {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
            .isEmpty()) {
        QSKIP("sgdisk (gdisk) is not installed");
    }
    const QString sgdisk = QStandardPaths::findExecutable(
        QStringLiteral("sgdisk"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("disk.img"));
    QVERIFY(copy_sparse(gpt_fixture(image), copy));
    const search_result_s result = search_image(copy);
    const std::uint64_t sectors = std::uint64_t(QFileInfo(copy).size()) / 512;
    const table_plan_s plan =
        plan_table(result.layout, result.found, sectors, QByteArray(512, '\0'), 0, 0);
    QVERIFY2(plan.error.isEmpty(), qPrintable(plan.error));
    QCOMPARE(plan.scheme, QStringLiteral("gpt"));
    QCOMPARE(plan.restored, restored);
    QCOMPARE(plan.writes.size(), 3);
    QCOMPARE(plan.writes[0].lba, 0u);
    QCOMPARE(plan.writes[1].bytes.size(), 33 * 512);
    QCOMPARE(plan.writes[2].lba + 33, sectors);
    QVERIFY(apply_to_file(copy, plan.writes));
    int status = -1;
    const QString verify = run_tool(sgdisk, {QStringLiteral("-v"), copy}, &status);
    QVERIFY2(status == 0 && verify.contains(QLatin1String("No problems found")),
             qPrintable(verify));
    const QList<expected_s> expected = read_expected(image);
    for (qsizetype k = 0; k < expected.size(); ++k) {
        const QString info = run_tool(sgdisk, {QStringLiteral("-i"), QString::number(k + 1), copy});
        QVERIFY2(info.contains(QStringLiteral("First sector: %1 ").arg(expected[k].first)),
                 qPrintable(info));
        QVERIFY2(info.contains(QStringLiteral("Last sector: %1 ").arg(expected[k].last)),
                 qPrintable(info));
        QVERIFY2(info.contains(expected[k].type_guid), qPrintable(info));
        if (restored) {
            QVERIFY2(info.contains(expected[k].unique_guid), qPrintable(info));
            QVERIFY2(info.contains(QStringLiteral("'%1'").arg(expected[k].name)), qPrintable(info));
        }
    }
    if (restored) {
        // Every sector of the restored table equals the original disk's.
        QFile original(gpt_fixture(QStringLiteral("gpt7.img")));
        QFile repaired(copy);
        QVERIFY(original.open(QIODevice::ReadOnly) && repaired.open(QIODevice::ReadOnly));
        QCOMPARE(repaired.read(34 * 512), original.read(34 * 512));
    }
}

// sector 0 of an MBR disk zeroed: the chain of extended boot records survives, so the new
// record holds three primaries and an extended entry over the logical NTFS partition.
void test_partition_gpt_c::mbr_with_logical_partition() {
    if (!fixture_exists(QStringLiteral("gpt/mbr4.img"))) {
        QSKIP("gpt/mbr4.img was not made (make_gpt_disks.sh needs root and loop devices)");
    }
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("disk.img"));
    QVERIFY(copy_sparse(gpt_fixture(QStringLiteral("mbr4.img")), copy));
    const search_result_s result = search_image(copy);
    const QList<expected_s> expected = read_expected(QStringLiteral("mbr4.img"));
    QCOMPARE(result.found.size(), expected.size());
    for (qsizetype k = 0; k < expected.size(); ++k) {
        QCOMPARE(result.found[k].fs_name, expected[k].fs);
        QCOMPARE(result.found[k].start_sector, expected[k].first);
        QCOMPARE(result.found[k].end_sector, expected[k].last);
    }
    QVERIFY(result.found[3].logical);
    QCOMPARE(result.layout.scheme, QStringLiteral("mbr"));
    QCOMPARE(result.layout.extended_first, 329728u);
    QCOMPARE(result.layout.extended_last, 462847u);
    const table_plan_s plan =
        plan_table(result.layout, result.found, 1048576, QByteArray(512, '\0'), 0, 0);
    QVERIFY2(plan.error.isEmpty(), qPrintable(plan.error));
    QCOMPARE(plan.writes.size(), 1);
    QCOMPARE(plan.described.size(), 4);
    QVERIFY(apply_to_file(copy, plan.writes));
    const QString sfdisk = QStandardPaths::findExecutable(
        QStringLiteral("sfdisk"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    const QString dump = run_tool(sfdisk, {QStringLiteral("-d"), copy});
    for (const char* line : {"start=        2048, size=      131072, type=83",
                             "start=      133120, size=       65536, type=82",
                             "start=      198656, size=      131072, type=c",
                             "start=      329728, size=      133120, type=f",
                             "start=      331776, size=      131072, type=7"}) {
        QVERIFY2(dump.contains(QLatin1String(line)), qPrintable(dump));
    }
}

// A master boot record written over a disk that once had a GPT: the MBR is the live table
// and holds; the GPT left behind is a note, not a fault.
void test_partition_gpt_c::mbr_over_stale_gpt_holds() {
    QByteArray disk = small_gpt_disk();
    char* entry = disk.data() + 446;
    std::memset(entry, 0, 64);
    entry[4] = char(0x83);
    qToLittleEndian<std::uint32_t>(2048, entry + 8);
    qToLittleEndian<std::uint32_t>(2048, entry + 12);
    const disk_layout_s layout = read_disk_layout(memory_reader(disk), 8192);
    const existing_table_s& table = layout.existing;
    QCOMPARE(table.scheme, QStringLiteral("mbr"));
    QVERIFY2(table.intact && table.problems.isEmpty(), qPrintable(table.problems.join(';')));
    QCOMPARE(table.partitions().size(), 1);
    QCOMPARE(table.notes.size(), 1);
    QVERIFY(
        describe_existing_table(table).contains(QLatin1String("the master boot record is taken")));
    // The same disk with a second entry overlapping the first is damaged.
    entry[16 + 4] = char(0x83);
    qToLittleEndian<std::uint32_t>(3000, entry + 16 + 8);
    qToLittleEndian<std::uint32_t>(100, entry + 16 + 12);
    QVERIFY(!read_disk_layout(memory_reader(disk), 8192).existing.intact);
}

void test_partition_gpt_c::repair_and_undo_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("restored");
    QTest::newRow("GPT from its backup") << "gpt7-primary.img"
                                         << "gpt" << true;
    QTest::newRow("new GPT") << "gpt7-both.img"
                             << "gpt" << false;
    QTest::newRow("MBR with a logical partition") << "mbr4.img"
                                                  << "mbr" << false;
    QTest::newRow("3 TiB, beyond 2 TiB") << "big3t.img"
                                         << "gpt" << false;
}

// orvane partitions --repair on a copy of each lost-table disk: the table is written
// (sgdisk or sfdisk reads it back clean), and the commands it prints put every replaced
// sector back, byte for byte.
void test_partition_gpt_c::repair_and_undo() {
    QFETCH(QString, image);
    QFETCH(QString, scheme);
    QFETCH(bool, restored);
    if (!fixture_exists(QStringLiteral("gpt/") + image)) {
        QSKIP("the GPT fixtures were not made (make_gpt_disks.sh needs root and loop devices)");
    }
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toUtf8());
    const QString copy = dir.filePath(QStringLiteral("disk.img"));
    QVERIFY(copy_sparse(gpt_fixture(image), copy));
    const std::uint64_t sectors = std::uint64_t(QFileInfo(copy).size()) / 512;
    auto ends = [&](const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return QByteArray();
        }
        QByteArray bytes = file.read(34 * 512);
        file.seek(qint64(sectors - 33) * 512);
        return bytes + file.read(33 * 512);
    };
    const QByteArray before = ends(copy);
    QByteArray out;
    QByteArray err;
    QCOMPARE(run_orvane({QStringLiteral("partitions"), QStringLiteral("--json"),
                         QStringLiteral("--repair"), QStringLiteral("--yes"), copy},
                        &out, &err),
             0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    const QJsonObject summary = QJsonDocument::fromJson(lines.last()).object();
    QCOMPARE(summary.value(QStringLiteral("scheme")).toString(), scheme);
    QCOMPARE(summary.value(QStringLiteral("restored")).toBool(), restored);
    QCOMPARE(
        QJsonDocument::fromJson(lines.first()).object().value(QStringLiteral("scheme")).toString(),
        scheme);
    QVERIFY(ends(copy) != before);
    const QStringList tool_path{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")};
    int status = -1;
    if (scheme == QLatin1String("gpt")) {
        const QString verify =
            run_tool(QStandardPaths::findExecutable(QStringLiteral("sgdisk"), tool_path),
                     {QStringLiteral("-v"), copy}, &status);
        QVERIFY2(verify.contains(QLatin1String("No problems found")), qPrintable(verify));
    } else {
        const QString dump =
            run_tool(QStandardPaths::findExecutable(QStringLiteral("sfdisk"), tool_path),
                     {QStringLiteral("-d"), copy}, &status);
        QVERIFY2(dump.contains(QLatin1String("type=f")), qPrintable(dump));
    }
    const QString backup = QString::fromUtf8(err)
                               .section(QStringLiteral("--undo "), 1)
                               .section(QLatin1Char(' '), 0, 0);
    QVERIFY2(QFileInfo::exists(backup), err.constData());
    QCOMPARE(run_orvane({QStringLiteral("partitions"), QStringLiteral("--undo"), backup,
                         QStringLiteral("--yes"), copy},
                        &out, &err),
             0);
    QVERIFY(ends(copy) == before);
}

QTEST_GUILESS_MAIN(test_partition_gpt_c)
#include "test_partition_gpt.moc"
