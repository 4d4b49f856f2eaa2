// The FAT volume reader against volumes made by mkfs.fat and mtools and against boot
// sectors and directories built byte by byte for the edge cases no tool produces.
#include "test_support.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "engine/fat/cp936.h"
#include "engine/fat/fat_reader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int sector_bytes = 512;
constexpr char memory_drive[] = "fat_reader";
// Returned by the walking helpers when the reader never reports an end.
constexpr auto runaway = static_cast<fat_result>(-1);

// ---- little-endian writers for crafted sectors ----

void put8(QByteArray& bytes, qsizetype offset, std::uint8_t value) {
    bytes[offset] = static_cast<char>(value);
}
void put16(QByteArray& bytes, qsizetype offset, std::uint16_t value) {
    put8(bytes, offset, value & 0xFF);
    put8(bytes, offset + 1, value >> 8);
}
void put32(QByteArray& bytes, qsizetype offset, std::uint32_t value) {
    put16(bytes, offset, value & 0xFFFF);
    put16(bytes, offset + 2, value >> 16);
}

QByteArray random_bytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, 0);
    for (qsizetype n = 0; n < size; ++n) {
        bytes[n] = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

// ---- crafted volumes ----

// The geometry of a volume built in memory. Only the sectors a test needs are stored; the
// BPB may claim far more clusters than the buffer holds.
struct craft_s {
    int bits = 12;  // intended FAT width: 12, 16 or 32
    std::uint32_t clusters = 64;
    std::uint8_t sectors_per_cluster = 1;
    std::uint16_t reserved = 1;
    std::uint8_t fats = 1;
    std::uint16_t root_entries = 16;  // forced to 0 for FAT32

    std::uint64_t fat_bytes() const {
        std::uint64_t entries = clusters + 2ull;
        if (bits == 32) {
            return entries * 4;
        }
        if (bits == 16) {
            return entries * 2;
        }
        return (entries * 3 + 1) / 2;
    }
    std::uint32_t fat_size() const { return static_cast<std::uint32_t>((fat_bytes() + 511) / 512); }
    std::uint16_t roots() const { return bits == 32 ? 0 : root_entries; }
    std::uint64_t system() const {
        return reserved + static_cast<std::uint64_t>(fat_size()) * fats + roots() / 16;
    }
    std::uint64_t total() const {
        return system() + static_cast<std::uint64_t>(clusters) * sectors_per_cluster;
    }
    qsizetype fat_offset(int copy = 0) const {
        return (reserved + static_cast<qsizetype>(fat_size()) * copy) * sector_bytes;
    }
    // FAT12/16 fixed root; on FAT32 the root is cluster 2.
    qsizetype root_offset() const {
        return bits == 32 ? cluster_offset(2)
                          : (reserved + static_cast<qsizetype>(fat_size()) * fats) * sector_bytes;
    }
    qsizetype cluster_offset(std::uint32_t cluster) const {
        return static_cast<qsizetype>(system() + static_cast<std::uint64_t>(cluster - 2) *
                                                     sectors_per_cluster) *
               sector_bytes;
    }
    qsizetype cluster_bytes() const { return sectors_per_cluster * sector_bytes; }
};

QByteArray boot_sector(const craft_s& c) {
    QByteArray s(sector_bytes, 0);
    put8(s, 0, 0xEB);
    put8(s, 1, 0x3C);
    put8(s, 2, 0x90);
    s.replace(3, 8, "ORVTEST ");
    put16(s, 11, sector_bytes);
    put8(s, 13, c.sectors_per_cluster);
    put16(s, 14, c.reserved);
    put8(s, 16, c.fats);
    put16(s, 17, c.roots());
    if (c.total() < 0x10000) {
        put16(s, 19, static_cast<std::uint16_t>(c.total()));
    } else {
        put32(s, 32, static_cast<std::uint32_t>(c.total()));
    }
    put8(s, 21, 0xF8);
    if (c.bits == 32) {
        put32(s, 36, c.fat_size());
        put32(s, 44, 2);
        s.replace(82, 8, "FAT32   ");
    } else {
        put16(s, 22, static_cast<std::uint16_t>(c.fat_size()));
        s.replace(54, 8, c.bits == 16 ? "FAT16   " : "FAT12   ");
    }
    put16(s, 510, 0xAA55);
    return s;
}

void set_fat(QByteArray& image, const craft_s& c, std::uint32_t cluster, std::uint32_t value) {
    for (int copy = 0; copy < c.fats; ++copy) {
        qsizetype base = c.fat_offset(copy);
        if (c.bits == 32) {
            put32(image, base + cluster * 4, value);
        } else if (c.bits == 16) {
            put16(image, base + cluster * 2, static_cast<std::uint16_t>(value));
        } else {
            qsizetype at = base + cluster + cluster / 2;
            auto low = static_cast<std::uint8_t>(image[at]);
            auto high = static_cast<std::uint8_t>(image[at + 1]);
            std::uint16_t word = static_cast<std::uint16_t>(low | (high << 8));
            if (cluster & 1) {
                word = static_cast<std::uint16_t>((word & 0x000F) | ((value & 0xFFF) << 4));
            } else {
                word = static_cast<std::uint16_t>((word & 0xF000) | (value & 0xFFF));
            }
            put16(image, at, word);
        }
    }
}

std::uint32_t end_of_chain(const craft_s& c) {
    return c.bits == 32 ? 0x0FFFFFFF : c.bits == 16 ? 0xFFFF : 0xFFF;
}

// A crafted volume storing its first stored_clusters clusters (the FAT32 root is cluster 2).
QByteArray craft_image(const craft_s& c, std::uint32_t stored_clusters) {
    QByteArray image(
        static_cast<qsizetype>(c.system() + stored_clusters * c.sectors_per_cluster) * sector_bytes,
        0);
    image.replace(0, sector_bytes, boot_sector(c));
    set_fat(image, c, 0, 0xFFFFFF8);
    set_fat(image, c, 1, end_of_chain(c));
    if (c.bits == 32) {
        set_fat(image, c, 2, end_of_chain(c));
    }
    return image;
}

std::uint8_t name_checksum(const QByteArray& name11) {
    std::uint8_t sum = 0;
    for (char ch : name11) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) +
                                        static_cast<std::uint8_t>(ch));
    }
    return sum;
}

struct short_fields_s {
    std::uint8_t attributes = 0x20;
    std::uint8_t case_flags = 0;
    std::uint32_t cluster = 0;
    std::uint32_t size = 0;
    std::uint16_t creation_time = 0;
    std::uint16_t creation_date = 0;
    std::uint16_t write_time = 0;
    std::uint16_t write_date = 0;
};

QByteArray short_entry(const QByteArray& name11, const short_fields_s& f = {}) {
    QByteArray e(32, 0);
    e.replace(0, 11, name11.left(11).leftJustified(11, ' '));
    put8(e, 11, f.attributes);
    put8(e, 12, f.case_flags);
    put16(e, 14, f.creation_time);
    put16(e, 16, f.creation_date);
    put16(e, 20, static_cast<std::uint16_t>(f.cluster >> 16));
    put16(e, 22, f.write_time);
    put16(e, 24, f.write_date);
    put16(e, 26, static_cast<std::uint16_t>(f.cluster & 0xFFFF));
    put32(e, 28, f.size);
    return e;
}

QByteArray file_entry(const QByteArray& name11, std::uint32_t cluster, std::uint32_t size,
                      std::uint8_t attributes = 0x20) {
    short_fields_s f;
    f.cluster = cluster;
    f.size = size;
    f.attributes = attributes;
    return short_entry(name11, f);
}

// Long-name parts for name in on-disk order (last part first).
QByteArray long_name_parts(const QString& name, std::uint8_t checksum) {
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const int length = static_cast<int>(name.size());
    const int parts = (length + 12) / 13;
    std::vector<std::uint16_t> units(static_cast<std::size_t>(parts) * 13, 0xFFFF);
    for (int n = 0; n < length; ++n) {
        units[static_cast<std::size_t>(n)] = name.at(n).unicode();
    }
    if (length < parts * 13) {
        units[static_cast<std::size_t>(length)] = 0;
    }
    QByteArray out;
    for (int part = parts; part >= 1; --part) {
        QByteArray e(32, 0);
        put8(e, 0, static_cast<std::uint8_t>(part | (part == parts ? 0x40 : 0)));
        put8(e, 11, 0x0F);
        put8(e, 13, checksum);
        for (int k = 0; k < 13; ++k) {
            put16(e, offsets[k], units[static_cast<std::size_t>((part - 1) * 13 + k)]);
        }
        out += e;
    }
    return out;
}

// ---- drives, mounting and walking ----

int drive_named(const QString& name) {
    auto drives = platform::list_drives();
    for (std::size_t n = 0; n < drives.size(); ++n) {
        if (drives[n].name == name) {
            return static_cast<int>(n);
        }
    }
    return -1;
}

int attach_memory(const QByteArray& image) {
    platform::clear_memory_drives();
    platform::add_memory_drive(QString::fromLatin1(memory_drive),
                               std::make_shared<const QByteArray>(image));
    use_images({});
    return drive_named(QStringLiteral("mem:") + QString::fromLatin1(memory_drive));
}

struct listed_s {
    QString short_name;
    QString long_name;
    std::uint8_t attributes = 0;
    std::uint32_t first_cluster = 0;
    std::uint32_t size = 0;
};

// Lists the root (cluster 0) or a directory opened by cluster as the FAT engine does.
fat_result list_directory(std::uint32_t cluster, QList<listed_s>* out,
                          std::uint32_t capacity = 512) {
    fat_dir dir;
    fat_result result = f_opendir(&dir, "/");
    if (result != fat_ok) {
        return result;
    }
    if (cluster != 0) {
        dir.start_cluster = cluster;
        dir.cluster = cluster;
        result = f_readdir(&dir, nullptr);
        if (result != fat_ok) {
            return result;
        }
    }
    // Guard units after the capacity must stay untouched.
    std::vector<char16_t> long_name(capacity + 8, u'#');
    long_name.back() = 0;
    for (int guard = 0; guard < 70000; ++guard) {
        fat_entry_info info;
        info.long_name = long_name.data();
        info.long_name_capacity = capacity;
        result = f_readdir(&dir, &info);
        if (result != fat_ok) {
            return result;
        }
        for (std::uint32_t n = capacity; n + 1 < long_name.size(); ++n) {
            if (long_name[n] != u'#') {
                return runaway;
            }
        }
        if (info.short_name[0] == 0) {
            return fat_ok;
        }
        listed_s item;
        item.short_name = QString::fromUtf16(info.short_name);
        item.long_name = capacity > 0 ? QString::fromUtf16(long_name.data()) : QString();
        item.attributes = info.attributes;
        item.first_cluster = info.first_cluster;
        item.size = info.size;
        out->append(item);
    }
    return runaway;
}

const listed_s* find_entry(const QList<listed_s>& list, const QString& short_name) {
    for (const listed_s& item : list) {
        if (item.short_name == short_name) {
            return &item;
        }
    }
    return nullptr;
}

fat_file file_of(fat_volume* volume, std::uint32_t first_cluster, std::uint32_t size) {
    fat_file file;
    file.volume = volume;
    file.mount_id = volume->mount_id;
    file.flags = fat_file_readable;
    file.size = size;
    file.first_cluster = first_cluster;
    return file;
}

// Reads a whole file in chunks of chunk bytes; stops at the first failure or 0-byte read.
fat_result read_file(fat_volume* volume, std::uint32_t first_cluster, std::uint32_t size, int mode,
                     QByteArray* data, std::uint32_t chunk = 4096) {
    fat_file file = file_of(volume, first_cluster, size);
    QByteArray buffer(chunk, 0);
    const qsizetype calls = size / chunk + 3;
    for (qsizetype n = 0; n < calls; ++n) {
        std::uint32_t got = 0xDEAD;
        fat_result result = f_read(&file, buffer.data(), chunk, &got, mode);
        if (got > chunk) {
            return runaway;
        }
        data->append(buffer.constData(), got);
        if (result != fat_ok) {
            return result;
        }
        if (got == 0) {
            return fat_ok;
        }
    }
    return runaway;
}

// ---- images made by mkfs.fat and mtools ----

QString find_tool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    }
    return found;
}

class fat_image_c {
  public:
    explicit fat_image_c(const QString& folder)
        : path_(folder + QStringLiteral("/volume.img")), folder_(folder) {}

    bool format(const QStringList& options, int kib) {
        QFile::remove(path_);
        QStringList arguments{QStringLiteral("-C"), QStringLiteral("-S"), QStringLiteral("512"),
                              QStringLiteral("--invariant")};
        arguments += options;
        arguments << path_ << QString::number(kib);
        return run(find_tool(QStringLiteral("mkfs.fat")), arguments);
    }
    bool put(const QString& target, const QByteArray& content) {
        QString host = folder_ + QStringLiteral("/content.bin");
        QFile file(host);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            return false;
        }
        file.close();
        return mtool(QStringLiteral("mcopy"), {host, QStringLiteral("::") + target});
    }
    bool make_dir(const QString& target) {
        return mtool(QStringLiteral("mmd"), {QStringLiteral("::") + target});
    }
    bool remove(const QString& target) {
        return mtool(QStringLiteral("mdel"), {QStringLiteral("::") + target});
    }
    bool remove_tree(const QString& target) {
        return mtool(QStringLiteral("mdeltree"), {QStringLiteral("::") + target});
    }
    // mtools allocates FAT32 clusters from the FSInfo hint onwards; without a hint it fills
    // freed holes first, as the FAT12/16 cases do.
    bool forget_free_hint() {
        QFile file(path_);
        if (!file.open(QIODevice::ReadWrite)) {
            return false;
        }
        QByteArray boot = file.read(sector_bytes);
        if (boot.size() != sector_bytes) {
            return false;
        }
        const auto fs_info = static_cast<std::uint16_t>(static_cast<std::uint8_t>(boot[48]) |
                                                        static_cast<std::uint8_t>(boot[49]) << 8);
        return file.seek(fs_info * sector_bytes + 488) && file.write(QByteArray(8, '\xFF')) == 8;
    }
    QByteArray bytes() const {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString error() const { return error_; }

  private:
    bool mtool(const QString& tool, QStringList arguments) {
        arguments.prepend(path_);
        arguments.prepend(QStringLiteral("-i"));
        return run(find_tool(tool), arguments);
    }
    bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            error_ = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) +
                     QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError());
            return false;
        }
        return true;
    }

    QString path_;
    QString folder_;
    QString error_;
};

QStringList format_options(int bits, int sectors_per_cluster) {
    return {QStringLiteral("-F"), QString::number(bits), QStringLiteral("-s"),
            QString::number(sectors_per_cluster)};
}

// Smallest image size in KiB that mkfs.fat accepts for the FAT width.
int image_kib(int bits, int sectors_per_cluster) {
    if (bits == 32) {
        return 36 * 1024 * sectors_per_cluster;
    }
    if (bits == 16) {
        return 3 * 1024 * sectors_per_cluster;
    }
    return 1024;
}

}  // namespace

class test_fat_reader : public QObject {
    Q_OBJECT

  private:
    fat_volume volume_;
    std::unique_ptr<QTemporaryDir> folder_;
    bool tools_ = false;

    // Puts image on the memory drive and mounts it as volume 0.
    fat_result mount(const QByteArray& image, std::uint8_t partition = 0, std::uint64_t start = 0) {
        int drive = attach_memory(image);
        if (drive < 0) {
            return runaway;
        }
        fat_volume_slot[0] = {static_cast<std::uint8_t>(drive), partition, start};
        f_mount(0, &volume_);
        fat_dir root;
        return f_opendir(&root, "/");
    }

    // A fresh mkfs.fat image for this test; skips the test when the tools are missing.
    std::unique_ptr<fat_image_c> new_image() {
        folder_ = std::make_unique<QTemporaryDir>();
        return std::make_unique<fat_image_c>(folder_->path());
    }

  private slots:
    void initTestCase();
    void cleanup();

    void decodes_code_page_936_data();
    void decodes_code_page_936();
    void code_page_table_is_shared_and_fast();

    void chooses_fat_type_by_cluster_count_data();
    void chooses_fat_type_by_cluster_count();
    void refuses_bad_boot_sectors_data();
    void refuses_bad_boot_sectors();
    void finds_volume_at_slot_start_data();
    void finds_volume_at_slot_start();

    void lists_tool_made_volume_data();
    void lists_tool_made_volume();
    void long_name_limits_data();
    void long_name_limits();
    void decodes_crafted_entries_data();
    void decodes_crafted_entries();
    void recovers_deleted_long_names_data();
    void recovers_deleted_long_names();
    void fills_entry_fields_data();
    void fills_entry_fields();

    void follows_fragmented_chain_data();
    void follows_fragmented_chain();
    void reads_deleted_file_data();
    void reads_deleted_file();
    void reads_deleted_file_laid_around_live_file_data();
    void reads_deleted_file_laid_around_live_file();
    void reads_zero_byte_file_data();
    void reads_zero_byte_file();
    void deleted_directory_ends_after_first_cluster_data();
    void deleted_directory_ends_after_first_cluster();

    void reports_volume_and_path_errors_data();
    void reports_volume_and_path_errors();
    void refuses_stale_and_invalid_objects_data();
    void refuses_stale_and_invalid_objects();
    void survives_hostile_volumes_data();
    void survives_hostile_volumes();
};

void test_fat_reader::initTestCase() {
    // Never list the machine's own disks, whatever the caller's environment says.
    qputenv("ORVANE_BLOCK_DEVICES", "0");
    qunsetenv("ORVANE_IMAGES");
    use_images({});
    tools_ = !find_tool(QStringLiteral("mkfs.fat")).isEmpty() &&
             !find_tool(QStringLiteral("mcopy")).isEmpty();
}

void test_fat_reader::cleanup() {
    f_mount(0, nullptr);
    platform::clear_memory_drives();
    use_images({});
}

#define REQUIRE_TOOLS()                                                        \
    do {                                                                       \
        if (!tools_) {                                                         \
            QSKIP("mkfs.fat and mtools are needed to build the test volumes"); \
        }                                                                      \
    } while (false)

// ---- code page 936 ----

void test_fat_reader::decodes_code_page_936_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("unicode");
    QTest::newRow("ascii letter") << 0x41 << 0x41;
    QTest::newRow("single byte 0x80 is the euro sign") << 0x80 << 0x20AC;
    QTest::newRow("single byte 0xFF has no character") << 0xFF << int('?');
    QTest::newRow("lone lead byte") << 0xC4 << int('?');
    QTest::newRow("ni") << 0xC4E3 << 0x4F60;
    QTest::newRow("hao") << 0xBAC3 << 0x597D;
    QTest::newRow("ideographic space") << 0xA1A1 << 0x3000;
    QTest::newRow("trail byte in ASCII range") << 0x8141 << 0x4E04;
    QTest::newRow("unassigned pair") << 0xA2E3 << int('?');
    QTest::newRow("trail byte 0x7F is invalid") << 0xC47F << int('?');
    QTest::newRow("first byte not a lead byte") << 0x4141 << int('?');
}

void test_fat_reader::decodes_code_page_936() {
    QFETCH(int, code);
    QFETCH(int, unicode);
    QCOMPARE(int(cp936_decode(static_cast<std::uint16_t>(code))), unicode);
}

void test_fat_reader::code_page_table_is_shared_and_fast() {
    // Several threads decode at once (the table may be built by any of them), and all see
    // the same answers; a million lookups, what 100,000 short names need, take well under
    // the bound.
    std::vector<std::thread> threads;
    std::vector<std::uint64_t> sums(4, 0);
    QElapsedTimer timer;
    timer.start();
    for (std::size_t t = 0; t < sums.size(); ++t) {
        threads.emplace_back([&sums, t] {
            std::uint64_t sum = 0;
            for (int round = 0; round < 20; ++round) {
                for (int lead = 0x81; lead <= 0xFE; ++lead) {
                    for (int trail = 0x40; trail <= 0xFE; ++trail) {
                        sum += cp936_decode(static_cast<std::uint16_t>(lead << 8 | trail));
                    }
                }
            }
            sums[t] = sum;
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    QVERIFY(sums[0] != 0);
    for (std::uint64_t sum : sums) {
        QCOMPARE(sum, sums[0]);
    }
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
}

// ---- mounting ----

void test_fat_reader::chooses_fat_type_by_cluster_count_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<uint>("clusters");
    QTest::addColumn<int>("type");
    // FAT sector 0 holds the bytes 0, 1, 2 ...; cluster 3's entry is read from them.
    QTest::addColumn<uint>("entry3");
    QTest::newRow("1 cluster: FAT12, no cluster 3") << 12 << 1u << int(fat_type_fat12) << 1u;
    // The FAT specification: fewer than 4085 clusters is FAT12, fewer than 65525 FAT16.
    QTest::newRow("4084 clusters: FAT12") << 12 << 4084u << int(fat_type_fat12) << 0x050u;
    QTest::newRow("4085 clusters: FAT16") << 16 << 4085u << int(fat_type_fat16) << 0x0706u;
    QTest::newRow("4086 clusters: FAT16") << 16 << 4086u << int(fat_type_fat16) << 0x0706u;
    QTest::newRow("4095 clusters: FAT16") << 16 << 4095u << int(fat_type_fat16) << 0x0706u;
    QTest::newRow("65524 clusters: FAT16") << 16 << 65524u << int(fat_type_fat16) << 0x0706u;
    QTest::newRow("65525 clusters: FAT32") << 32 << 65525u << int(fat_type_fat32) << 0x0F0E0D0Cu;
    QTest::newRow("65526 clusters: FAT32") << 32 << 65526u << int(fat_type_fat32) << 0x0F0E0D0Cu;
    QTest::newRow("1000000 clusters: FAT32")
        << 32 << 1000000u << int(fat_type_fat32) << 0x0F0E0D0Cu;
}

void test_fat_reader::chooses_fat_type_by_cluster_count() {
    QFETCH(int, bits);
    QFETCH(uint, clusters);
    QFETCH(int, type);
    QFETCH(uint, entry3);
    craft_s c;
    c.bits = bits;
    c.clusters = clusters;
    c.root_entries = 32;
    QByteArray image(4 * sector_bytes, 0);
    image.replace(0, sector_bytes, boot_sector(c));
    for (int n = 0; n < sector_bytes; ++n) {
        put8(image, c.fat_offset() + n, static_cast<std::uint8_t>(n));
    }
    QCOMPARE(mount(image), fat_ok);
    QCOMPARE(int(volume_.type), type);
    QCOMPARE(volume_.fat_entry_count, clusters + 2);
    QCOMPARE(volume_.fat_start, std::uint64_t(c.reserved));
    QCOMPARE(volume_.data_start, c.system());
    // Past the last cluster, and the reserved numbers 0 and 1, read as 1.
    QCOMPARE(fat_get_entry(&volume_, clusters + 2), 1u);
    QCOMPARE(fat_get_entry(&volume_, 1), 1u);
    QCOMPARE(fat_get_entry(&volume_, 3), entry3);
}

void test_fat_reader::refuses_bad_boot_sectors_data() {
    using mutate_t = std::function<void(QByteArray&)>;
    QTest::addColumn<int>("bits");
    QTest::addColumn<mutate_t>("mutate");
    QTest::addColumn<int>("result");
    auto keep = [](QByteArray&) {};
    QTest::newRow("valid FAT16 (control)") << 16 << mutate_t(keep) << int(fat_ok);
    QTest::newRow("valid FAT32 (control)") << 32 << mutate_t(keep) << int(fat_ok);
    QTest::newRow("4096 bytes per sector")
        << 16 << mutate_t([](QByteArray& s) { put16(s, 11, 4096); }) << int(fat_no_file_system);
    QTest::newRow("1024 bytes per sector")
        << 12 << mutate_t([](QByteArray& s) { put16(s, 11, 1024); }) << int(fat_no_file_system);
    QTest::newRow("FAT32 with root entries")
        << 32 << mutate_t([](QByteArray& s) { put16(s, 17, 512); }) << int(fat_no_file_system);
    QTest::newRow("FAT16 without root entries") << 16 << mutate_t([](QByteArray& s) {
        // Keep the sizes consistent: the 2 root sectors go to the reserved area.
        put16(s, 17, 0);
        put16(s, 14, 3);
    }) << int(fat_no_file_system);
    QTest::newRow("three FATs") << 16 << mutate_t([](QByteArray& s) { put8(s, 16, 3); })
                                << int(fat_no_file_system);
    QTest::newRow("no FAT") << 16 << mutate_t([](QByteArray& s) { put8(s, 16, 0); })
                            << int(fat_no_file_system);
    QTest::newRow("0 sectors per cluster")
        << 16 << mutate_t([](QByteArray& s) { put8(s, 13, 0); }) << int(fat_no_file_system);
    QTest::newRow("3 sectors per cluster")
        << 16 << mutate_t([](QByteArray& s) { put8(s, 13, 3); }) << int(fat_no_file_system);
    QTest::newRow("root entries not a sector multiple")
        << 16 << mutate_t([](QByteArray& s) { put16(s, 17, 40); }) << int(fat_no_file_system);
    QTest::newRow("no reserved sector")
        << 16 << mutate_t([](QByteArray& s) { put16(s, 14, 0); }) << int(fat_no_file_system);
    QTest::newRow("total below the system area")
        << 16 << mutate_t([](QByteArray& s) { put16(s, 19, 10); }) << int(fat_no_file_system);
    QTest::newRow("no data cluster")
        << 12 << mutate_t([](QByteArray& s) { put16(s, 19, 1 + 1 + 2); })  // reserved + FAT + root
        << int(fat_no_file_system);
    QTest::newRow("FAT too small") << 16 << mutate_t([](QByteArray& s) {
        put16(s, 22, 2);
        put16(s, 19, static_cast<std::uint16_t>(1 + 2 + 2 + 5000));
    }) << int(fat_no_file_system);
    QTest::newRow("no boot signature")
        << 16 << mutate_t([](QByteArray& s) { put16(s, 510, 0); }) << int(fat_no_file_system);
    QTest::newRow("no FAT name") << 16 << mutate_t([](QByteArray& s) { s.replace(54, 3, "XYZ"); })
                                 << int(fat_no_file_system);
    QTest::newRow("garbage with signature and name") << 16 << mutate_t([](QByteArray& s) {
        s = random_bytes(sector_bytes, 7);
        s.replace(54, 3, "FAT");
        put16(s, 510, 0xAA55);
    }) << int(fat_no_file_system);
    QTest::newRow("drive shorter than a sector")
        << 16 << mutate_t([](QByteArray& s) { s = s.left(100); }) << int(fat_disk_error);
}

void test_fat_reader::refuses_bad_boot_sectors() {
    using mutate_t = std::function<void(QByteArray&)>;
    QFETCH(int, bits);
    QFETCH(mutate_t, mutate);
    QFETCH(int, result);
    craft_s c;
    c.bits = bits;
    c.clusters = bits == 32 ? 70000 : bits == 16 ? 5000 : 64;
    c.root_entries = 32;
    QByteArray sector = boot_sector(c);
    mutate(sector);
    QByteArray image =
        sector.size() < sector_bytes ? sector : sector + QByteArray(3 * sector_bytes, 0);
    QCOMPARE(int(mount(image)), result);
    if (result != fat_ok) {
        QCOMPARE(int(volume_.type), int(fat_type_none));
        // Nothing can be read through a volume that did not mount.
        fat_dir dir;
        dir.volume = &volume_;
        dir.mount_id = volume_.mount_id;
        fat_entry_info info;
        QCOMPARE(int(f_readdir(&dir, &info)), int(fat_invalid_object));
    }
}

void test_fat_reader::finds_volume_at_slot_start_data() {
    QTest::addColumn<QString>("sector0");  // what sector 0 holds besides a volume at 2048
    QTest::addColumn<int>("partition");
    QTest::addColumn<qulonglong>("start");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("found");  // the file the mounted root lists
    QTest::newRow("superfloppy, partition 0") << "volume A" << 0 << 0ull << int(fat_ok) << "A.TXT";
    QTest::newRow("superfloppy, partition 0 ignores the start")
        << "volume A" << 0 << 2048ull << int(fat_ok) << "A.TXT";
    QTest::newRow("superfloppy, partition 1 uses the start")
        << "volume A" << 1 << 2048ull << int(fat_ok) << "B.TXT";
    QTest::newRow("partition table, partition 1")
        << "MBR" << 1 << 2048ull << int(fat_ok) << "B.TXT";
    QTest::newRow("partition table, partition 0")
        << "MBR" << 0 << 2048ull << int(fat_ok) << "B.TXT";
    QTest::newRow("partition table, start at the table")
        << "MBR" << 1 << 0ull << int(fat_no_file_system) << "";
    QTest::newRow("blank sector 0, partition 1")
        << "blank" << 1 << 2048ull << int(fat_ok) << "B.TXT";
    QTest::newRow("blank sector 0, partition 0")
        << "blank" << 0 << 2048ull << int(fat_no_file_system) << "";
    QTest::newRow("start past the drive") << "MBR" << 2 << 900000ull << int(fat_disk_error) << "";
}

void test_fat_reader::finds_volume_at_slot_start() {
    REQUIRE_TOOLS();
    QFETCH(QString, sector0);
    QFETCH(int, partition);
    QFETCH(qulonglong, start);
    QFETCH(int, result);
    QFETCH(QString, found);
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(12, 1), 512) && maker->put(QStringLiteral("A.TXT"), "a"),
             qPrintable(maker->error()));
    QByteArray volume_a = maker->bytes();
    QVERIFY2(maker->format(format_options(12, 1), 512) && maker->put(QStringLiteral("B.TXT"), "b"),
             qPrintable(maker->error()));
    QByteArray volume_b = maker->bytes();

    QByteArray disk(2048 * sector_bytes, 0);
    if (sector0 == QLatin1String("volume A")) {
        disk.replace(0, volume_a.size(), volume_a);
    } else if (sector0 == QLatin1String("MBR")) {
        put8(disk, 446 + 4, 0x01);  // one FAT12 partition at 2048
        put32(disk, 446 + 8, 2048);
        put32(disk, 446 + 12, static_cast<std::uint32_t>(volume_b.size() / sector_bytes));
        put16(disk, 510, 0xAA55);
    }
    disk += volume_b;
    QCOMPARE(int(mount(disk, static_cast<std::uint8_t>(partition), start)), result);
    if (result == fat_ok) {
        QList<listed_s> root;
        QCOMPARE(list_directory(0, &root), fat_ok);
        QCOMPARE(root.size(), 1);
        QCOMPARE(root[0].short_name, found);
    }
}

// ---- directories ----

void test_fat_reader::lists_tool_made_volume_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("sectors_per_cluster");
    QTest::addColumn<int>("kib");  // 0: the smallest size mkfs.fat takes
    // non-zero: the boot sector's total sector count is cut to leave this many clusters
    QTest::addColumn<int>("clusters");
    QTest::newRow("FAT12") << 12 << 1 << 0 << 0;
    QTest::newRow("FAT16") << 16 << 1 << 0 << 0;
    QTest::newRow("FAT16, 8 sectors per cluster") << 16 << 8 << 0 << 0;
    // mkfs.fat makes no FAT16 below 4093 clusters; the FAT specification allows 4085
    QTest::newRow("FAT16 of 4093 clusters") << 16 << 1 << 2080 << 0;
    QTest::newRow("FAT16 of 4085 clusters") << 16 << 1 << 2080 << 4085;
    QTest::newRow("FAT32") << 32 << 1 << 0 << 0;
}

void test_fat_reader::lists_tool_made_volume() {
    REQUIRE_TOOLS();
    QFETCH(int, bits);
    QFETCH(int, sectors_per_cluster);
    QFETCH(int, kib);
    QFETCH(int, clusters);
    auto maker = new_image();
    const QByteArray keep = random_bytes(100, 1);
    const QByteArray gone = random_bytes(7000, 2);
    const QByteArray named = random_bytes(1500, 3);
    const QByteArray inner = random_bytes(2000, 4);
    QStringList options = format_options(bits, sectors_per_cluster);
    options << QStringLiteral("-n") << QStringLiteral("MYLABEL");
    QVERIFY2(maker->format(options, kib != 0 ? kib : image_kib(bits, sectors_per_cluster)) &&
                 maker->make_dir(QStringLiteral("SUB")) &&
                 maker->put(QStringLiteral("KEEP.TXT"), keep) &&
                 maker->put(QStringLiteral("FILE.TXT"), gone) &&
                 maker->put(QStringLiteral("Long File Name.txt"), named) &&
                 maker->put(QStringLiteral("Deleted long name.txt"), named) &&
                 maker->put(QStringLiteral("SUB/INNER.BIN"), inner) &&
                 maker->put(QStringLiteral("SUB/gone.txt"), keep) &&
                 maker->remove(QStringLiteral("FILE.TXT")) &&
                 maker->remove(QStringLiteral("Deleted long name.txt")) &&
                 maker->remove(QStringLiteral("SUB/gone.txt")),
             qPrintable(maker->error()));
    QByteArray bytes = maker->bytes();
    if (clusters != 0) {
        const auto u16 = [&bytes](int at) {
            return static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1])
                                                              << 8;
        };
        const int system = u16(14) + u16(22) * static_cast<std::uint8_t>(bytes[16]) + u16(17) / 16;
        put16(bytes, 19, static_cast<std::uint16_t>(system + clusters));
    }
    QCOMPARE(mount(bytes), fat_ok);
    QCOMPARE(int(volume_.type), bits == 12 ? 1 : bits == 16 ? 2 : 3);

    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    QStringList names;
    for (const listed_s& item : root) {
        names << item.short_name;
    }
    // The volume label is never listed; deleted entries are, with '?' for the mark.
    QCOMPARE(names, (QStringList{"SUB", "KEEP.TXT", "?ILE.TXT", "LONGFI~1.TXT", "?ELETE~1.TXT"}));

    const listed_s* sub = find_entry(root, QStringLiteral("SUB"));
    QCOMPARE(int(sub->attributes & (fat_attr_directory | fat_attr_deleted)),
             int(fat_attr_directory));
    const listed_s* named_entry = find_entry(root, QStringLiteral("LONGFI~1.TXT"));
    QCOMPARE(named_entry->long_name, QStringLiteral("Long File Name.txt"));
    QCOMPARE(int(named_entry->attributes & fat_attr_deleted), 0);
    // A deleted file keeps its size, first cluster and long name: the parts carry the
    // deletion mark too, but their characters and checksum are still there.
    const listed_s* deleted = find_entry(root, QStringLiteral("?ILE.TXT"));
    QCOMPARE(int(deleted->attributes & fat_attr_deleted), int(fat_attr_deleted));
    QCOMPARE(deleted->size, std::uint32_t(gone.size()));
    QVERIFY(deleted->first_cluster >= 2);
    const listed_s* deleted_named = find_entry(root, QStringLiteral("?ELETE~1.TXT"));
    QCOMPARE(int(deleted_named->attributes & fat_attr_deleted), int(fat_attr_deleted));
    QCOMPARE(deleted_named->long_name, QStringLiteral("Deleted long name.txt"));

    // Live files read back through their chains; the deleted one as a run.
    QByteArray data;
    const listed_s* kept = find_entry(root, QStringLiteral("KEEP.TXT"));
    QCOMPARE(read_file(&volume_, kept->first_cluster, kept->size, fat_read_chain, &data), fat_ok);
    QCOMPARE(data, keep);
    data.clear();
    QCOMPARE(
        read_file(&volume_, named_entry->first_cluster, named_entry->size, fat_read_chain, &data),
        fat_ok);
    QCOMPARE(data, named);
    data.clear();
    QCOMPARE(read_file(&volume_, deleted->first_cluster, deleted->size, fat_attr_deleted, &data),
             fat_ok);
    QCOMPARE(data, gone);

    // Below the root, opened by cluster: no "." or "..", lower-case flags honoured.
    QList<listed_s> below;
    QCOMPARE(list_directory(sub->first_cluster, &below), fat_ok);
    names.clear();
    for (const listed_s& item : below) {
        names << item.short_name;
    }
    QCOMPARE(names, (QStringList{"INNER.BIN", "?one.txt"}));
    data.clear();
    const listed_s* inner_entry = find_entry(below, QStringLiteral("INNER.BIN"));
    QCOMPARE(
        read_file(&volume_, inner_entry->first_cluster, inner_entry->size, fat_read_chain, &data),
        fat_ok);
    QCOMPARE(data, inner);
}

void test_fat_reader::long_name_limits_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<bool>("returned");
    QTest::newRow("9 characters") << 9 << 512 << true;
    QTest::newRow("13 characters, no terminator stored") << 13 << 512 << true;
    QTest::newRow("27 characters") << 27 << 512 << true;
    QTest::newRow("200 characters") << 200 << 512 << true;
    QTest::newRow("253 characters") << 253 << 512 << true;
    QTest::newRow("254 characters") << 254 << 512 << false;
    QTest::newRow("255 characters") << 255 << 512 << false;
    QTest::newRow("253 characters, exact buffer") << 253 << 254 << true;
    QTest::newRow("253 characters, buffer one short") << 253 << 253 << false;
    QTest::newRow("no buffer") << 20 << 0 << false;
}

void test_fat_reader::long_name_limits() {
    REQUIRE_TOOLS();
    QFETCH(int, length);
    QFETCH(int, capacity);
    QFETCH(bool, returned);
    QString name;
    for (int n = 0; n < length; ++n) {
        name += QLatin1Char("abcdefghij"[n % 10]);
    }
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(16, 1), image_kib(16, 1)) &&
                 maker->put(QStringLiteral("FIRST.TXT"), "1") && maker->put(name, "x") &&
                 maker->put(QStringLiteral("LAST.TXT"), "2"),
             qPrintable(maker->error()));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root, static_cast<std::uint32_t>(capacity)), fat_ok);
    QCOMPARE(root.size(), 3);
    QCOMPARE(root[0].short_name, QStringLiteral("FIRST.TXT"));
    QCOMPARE(root[2].short_name, QStringLiteral("LAST.TXT"));
    QVERIFY(!root[1].short_name.isEmpty());
    if (capacity > 0) {
        QCOMPARE(root[1].long_name, returned ? name : QString());
    }
    QCOMPARE(root[2].long_name, QString());
}

void test_fat_reader::decodes_crafted_entries_data() {
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<QString>("short_name");
    QTest::addColumn<QString>("long_name");
    QTest::addColumn<int>("attributes");

    auto entry = [](const QByteArray& name, std::uint8_t case_flags = 0,
                    std::uint8_t attributes = 0x20) {
        short_fields_s f;
        f.case_flags = case_flags;
        f.attributes = attributes;
        f.cluster = 5;
        return short_entry(name, f);
    };
    QTest::newRow("GBK name") << entry("\xC4\xE3\xBA\xC3    TXT") << QString::fromUtf16(u"你好.TXT")
                              << QString() << 0x20;
    QTest::newRow("lower-case name")
        << entry("README  TXT", 0x08) << "readme.TXT" << QString() << 0x20;
    QTest::newRow("lower-case extension")
        << entry("README  TXT", 0x10) << "README.txt" << QString() << 0x20;
    QTest::newRow("lower-case both")
        << entry("README  TXT", 0x18) << "readme.txt" << QString() << 0x20;
    QTest::newRow("trail byte is not lower-cased")
        << entry("\x81\x41      TXT", 0x08) << QString::fromUtf16(u"\u4E04.TXT") << QString()
        << 0x20;
    QTest::newRow("no pair across name and extension")
        << entry("ABCDEFG\xC4\xE3\x41\x42") << QString::fromUtf16(u"ABCDEFG?.\u9247B") << QString()
        << 0x20;
    QTest::newRow("0x05 stands for a first byte 0xE5")
        << entry("\x05\xA1      TXT") << QString::fromUtf16(u"\u6FC9.TXT") << QString() << 0x20;
    QTest::newRow("deleted GBK name") << entry("\xE5\xE3\xBA\xC3    TXT")
                                      << QString::fromUtf16(u"?\u612B?.TXT") << QString() << 0x60;
    QTest::newRow("single byte 0x80")
        << entry("\x80       ") << QString::fromUtf16(u"\u20AC") << QString() << 0x20;
    QTest::newRow("unmapped byte") << entry("A\xFF      ") << "A?" << QString() << 0x20;
    QTest::newRow("blank name field") << entry("        TXT") << "?.TXT" << QString() << 0x20;
    QTest::newRow("reserved attribute bit on a live entry")
        << entry("LIVE    BIN", 0, 0x61) << "LIVE.BIN" << QString() << 0x21;
    QTest::newRow("directory") << entry("FOLDER     ", 0, 0x10) << "FOLDER" << QString() << 0x10;

    const QByteArray base("DATARE~1TXT");
    const QString unicode = QString::fromUtf16(u"数据恢复报告 2024 年度总结.txt");
    const std::uint8_t sum = name_checksum(base);
    QTest::newRow("unicode long name")
        << long_name_parts(unicode, sum) + entry(base) << "DATARE~1.TXT" << unicode << 0x20;
    QTest::newRow("long name with wrong checksum")
        << long_name_parts(unicode, static_cast<std::uint8_t>(sum + 1)) + entry(base)
        << "DATARE~1.TXT" << QString() << 0x20;
    QByteArray swapped = long_name_parts(unicode, sum);
    swapped = swapped.mid(32, 32) + swapped.left(32) + swapped.mid(64);
    QTest::newRow("parts out of order")
        << swapped + entry(base) << "DATARE~1.TXT" << QString() << 0x20;
    QByteArray missing = long_name_parts(unicode, sum);
    missing.remove(32, 32);
    QTest::newRow("a part missing") << missing + entry(base) << "DATARE~1.TXT" << QString() << 0x20;
    QTest::newRow("volume label between parts and entry")
        << long_name_parts(unicode, sum) + entry("LABEL      ", 0, 0x08) + entry(base)
        << "DATARE~1.TXT" << QString() << 0x20;
    QByteArray deleted_parts = long_name_parts(unicode, sum);
    for (int n = 0; n < deleted_parts.size(); n += 32) {
        deleted_parts[n] = '\xE5';
    }
    QByteArray deleted_entry = entry(base);
    deleted_entry[0] = '\xE5';
    // DATARE~1 cannot be the short name of a name that begins with a CJK character
    QTest::newRow("deleted long name, short name not its own")
        << deleted_parts + deleted_entry << "?ATARE~1.TXT" << QString() << 0x60;
    QByteArray padded = long_name_parts(QStringLiteral("abc"), name_checksum("ABC     TXT"));
    padded[9] = 'x';  // the unit after the terminator must be 0xFFFF
    QTest::newRow("garbage after the terminator")
        << padded + entry("ABC     TXT") << "ABC.TXT" << QString() << 0x20;
    QTest::newRow("dot entries skipped")
        << entry(".          ", 0, 0x10) + entry("..         ", 0, 0x10) + entry("AFTER   DOT")
        << "AFTER.DOT" << QString() << 0x20;
}

void test_fat_reader::decodes_crafted_entries() {
    QFETCH(QByteArray, records);
    QFETCH(QString, short_name);
    QFETCH(QString, long_name);
    QFETCH(int, attributes);
    craft_s c;
    c.bits = 16;
    c.clusters = 5000;
    c.root_entries = 64;
    QByteArray image = craft_image(c, 4);
    image.replace(c.root_offset(), records.size(), records);
    QCOMPARE(mount(image), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    QCOMPARE(root.size(), 1);
    QCOMPARE(root[0].short_name, short_name);
    QCOMPARE(root[0].long_name, long_name);
    QCOMPARE(int(root[0].attributes), attributes);
}

// Marks every 32-byte entry of records deleted.
QByteArray deleted_entries(QByteArray records) {
    for (qsizetype n = 0; n < records.size(); n += 32) {
        records[n] = '\xE5';
    }
    return records;
}

// A deleted file as a deletion leaves it: long-name parts and short entry marked 0xE5.
QByteArray deleted_file(const QString& name, const QByteArray& base,
                        std::uint8_t attributes = 0x20) {
    short_fields_s f;
    f.cluster = 7;
    f.attributes = attributes;
    return deleted_entries(long_name_parts(name, name_checksum(base)) + short_entry(base, f));
}

void test_fat_reader::recovers_deleted_long_names_data() {
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<QStringList>("listed");  // "short name|long name" per entry returned
    const QString quarterly = QStringLiteral("Quarterly report final version.txt");
    const QByteArray whole = deleted_file(quarterly, "QUARTE~1TXT");
    QTest::newRow("three parts") << whole
                                 << QStringList{"?UARTE~1.TXT|Quarterly report final version.txt"};
    QTest::newRow("13 characters, no terminator") << deleted_file("Budget 24.csv", "BUDGET~1CSV")
                                                  << QStringList{"?UDGET~1.CSV|Budget 24.csv"};
    QTest::newRow("26 characters, no terminator")
        << deleted_file("Annual accounts final.xlsx", "ANNUAL~1XLS")
        << QStringList{"?NNUAL~1.XLS|Annual accounts final.xlsx"};
    QTest::newRow("deleted folder") << deleted_file("Old Projects", "OLDPRO~1   ", 0x10)
                                    << QStringList{"?LDPRO~1|Old Projects"};
    QTest::newRow("umlaut, code-page first byte")
        << deleted_file(QString::fromUtf8("Überraschung.txt"),
                        "\x9A"
                        "BERRA~1TXT")
        << QStringList{QString::fromUtf8("?BERRA~1.TXT|Überraschung.txt")};
    QTest::newRow("CJK, '_' for the first character")
        << deleted_file(QString::fromUtf8("写真 2024.jpg"), "_2024~1 JPG")
        << QStringList{QString::fromUtf8("?2024~1.JPG|写真 2024.jpg")};

    short_fields_s f;
    f.cluster = 9;
    const QByteArray newer = deleted_entries(short_entry("OTHER   TXT", f));
    QTest::newRow("last part taken by a newer entry")
        << newer + whole.mid(32) << QStringList{"?THER.TXT|", "?UARTE~1.TXT|"};
    QTest::newRow("middle part taken by a newer entry")
        << whole.left(32) + newer + whole.mid(64) << QStringList{"?THER.TXT|", "?UARTE~1.TXT|"};
    const QByteArray longer =
        deleted_file(QStringLiteral("Quarterly report final version 2024.txt"), "QUARTE~2TXT");
    QTest::newRow("whole parts left, the last one taken")
        << newer + longer.mid(32) << QStringList{"?THER.TXT|", "?UARTE~2.TXT|"};
    QTest::newRow("another short name's checksum")
        << deleted_entries(long_name_parts(quarterly, name_checksum("ZEBRAS~1TXT")) +
                           short_entry("QUARTE~1TXT", f))
        << QStringList{"?UARTE~1.TXT|"};
    QTest::newRow("short name from another long name")
        << deleted_file(quarterly, "BUDGET~1TXT") << QStringList{"?UDGET~1.TXT|"};
    QByteArray bad = whole;
    bad[32 + 3] = '*';  // the second part's second character
    QTest::newRow("a character no name holds") << bad << QStringList{"?UARTE~1.TXT|"};
    QByteArray live_entry = whole;
    live_entry[whole.size() - 32] = 'Q';
    QTest::newRow("live entry after deleted parts") << live_entry << QStringList{"QUARTE~1.TXT|"};
}

void test_fat_reader::recovers_deleted_long_names() {
    QFETCH(QByteArray, records);
    QFETCH(QStringList, listed);
    craft_s c;
    c.bits = 16;
    c.clusters = 5000;
    c.root_entries = 64;
    QByteArray image = craft_image(c, 4);
    image.replace(c.root_offset(), records.size(), records);
    QCOMPARE(mount(image), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    QStringList got;
    for (const listed_s& item : root) {
        got << item.short_name + '|' + item.long_name;
    }
    QCOMPARE(got, listed);
}

void test_fat_reader::fills_entry_fields_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<uint>("cluster");
    QTest::newRow("FAT16 ignores the high cluster word") << 16 << 0x0005u;
    QTest::newRow("FAT32 uses the high cluster word") << 32 << 0x10005u;
}

void test_fat_reader::fills_entry_fields() {
    QFETCH(int, bits);
    QFETCH(uint, cluster);
    craft_s c;
    c.bits = bits;
    c.clusters = bits == 32 ? 70000 : 5000;
    QByteArray image = craft_image(c, 4);
    short_fields_s f;
    f.cluster = 0x10005;
    f.size = 0xFEDCBA98;
    f.attributes = 0x27;
    f.creation_time = 0x1234;
    f.creation_date = 0x5678;
    f.write_time = 0x9ABC;
    f.write_date = 0xDEF0;
    QByteArray record = short_entry("FIELDS  BIN", f);
    put8(record, 13, 0x99);  // creation hundredths, not reported
    image.replace(c.root_offset(), 32, record);
    QCOMPARE(mount(image), fat_ok);
    fat_dir dir;
    QCOMPARE(f_opendir(&dir, "/"), fat_ok);
    char16_t long_name[512];
    fat_entry_info info;
    info.long_name = long_name;
    info.long_name_capacity = 512;
    QCOMPARE(f_readdir(&dir, &info), fat_ok);
    QCOMPARE(QString::fromUtf16(info.short_name), QStringLiteral("FIELDS.BIN"));
    QCOMPARE(info.first_cluster, std::uint32_t(cluster));
    QCOMPARE(info.size, 0xFEDCBA98u);
    QCOMPARE(int(info.attributes), 0x27);
    QCOMPARE(int(info.creation_time), 0x1234);
    QCOMPARE(int(info.creation_date), 0x5678);
    QCOMPARE(int(info.write_time), 0x9ABC);
    QCOMPARE(int(info.write_date), 0xDEF0);
    QCOMPARE(int(long_name[0]), 0);
    // The end: success with an empty short name, again on every later call.
    for (int n = 0; n < 2; ++n) {
        QCOMPARE(f_readdir(&dir, &info), fat_ok);
        QCOMPARE(int(info.short_name[0]), 0);
    }
    // Rewinding starts over.
    QCOMPARE(f_readdir(&dir, nullptr), fat_ok);
    QCOMPARE(f_readdir(&dir, &info), fat_ok);
    QCOMPARE(QString::fromUtf16(info.short_name), QStringLiteral("FIELDS.BIN"));
}

// ---- files ----

void test_fat_reader::follows_fragmented_chain_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("sectors_per_cluster");
    QTest::addColumn<uint>("chunk");
    QTest::addColumn<uint>("crosses");  // a cluster the chain must contain, or 0
    // On FAT12 with 512-byte clusters the entry of cluster 341 sits on bytes 511 and 512 of
    // the FAT, across its first two sectors.
    QTest::newRow("FAT12 across FAT sectors, 1-byte reads") << 12 << 1 << 1u << 341u;
    QTest::newRow("FAT12 across FAT sectors, 511-byte reads") << 12 << 1 << 511u << 341u;
    QTest::newRow("FAT12 across FAT sectors, 4096-byte reads") << 12 << 1 << 4096u << 341u;
    QTest::newRow("FAT12 across FAT sectors, one read") << 12 << 1 << 400000u << 341u;
    QTest::newRow("FAT12, 64 KiB clusters, one read") << 12 << 128 << 1000000u << 0u;
    QTest::newRow("FAT12, 64 KiB clusters, 1000-byte reads") << 12 << 128 << 1000u << 0u;
    QTest::newRow("FAT16, 4096-byte reads") << 16 << 4 << 4096u << 0u;
    QTest::newRow("FAT32, 3000-byte reads") << 32 << 1 << 3000u << 0u;
}

void test_fat_reader::follows_fragmented_chain() {
    REQUIRE_TOOLS();
    QFETCH(int, bits);
    QFETCH(int, sectors_per_cluster);
    QFETCH(uint, chunk);
    QFETCH(uint, crosses);
    // HOLE is freed after GAP is written, so BIG fills the hole and continues past GAP.
    const int cluster = sectors_per_cluster * sector_bytes;
    const QByteArray big = random_bytes(crosses != 0 ? 300000 : 6 * cluster + 123, 11);
    const int hole = crosses != 0 ? 100 : 2;
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(bits, sectors_per_cluster),
                           bits == 12 && sectors_per_cluster > 1
                               ? 16 * 1024
                               : image_kib(bits, sectors_per_cluster)) &&
                 maker->put(QStringLiteral("HOLE"), random_bytes(hole * cluster, 12)) &&
                 maker->put(QStringLiteral("GAP"), random_bytes(3 * cluster, 13)) &&
                 maker->remove(QStringLiteral("HOLE")) &&
                 (bits != 32 || maker->forget_free_hint()) &&
                 maker->put(QStringLiteral("BIG"), big),
             qPrintable(maker->error()));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    const listed_s* entry = find_entry(root, QStringLiteral("BIG"));
    QVERIFY(entry);
    if (crosses != 0) {
        bool found = false;
        std::uint32_t c = entry->first_cluster;
        for (int n = 0; n < 5000 && c >= 2 && c < volume_.fat_entry_count; ++n) {
            found = found || c == crosses;
            c = fat_get_entry(&volume_, c);
        }
        QVERIFY2(found, "the chain does not cross the FAT sector boundary");
    }
    QByteArray data;
    QCOMPARE(read_file(&volume_, entry->first_cluster, entry->size, fat_read_chain, &data, chunk),
             fat_ok);
    QCOMPARE(data.size(), big.size());
    QVERIFY(data == big);
    // The file is not one run, so reading it as one gives other bytes.
    data.clear();
    read_file(&volume_, entry->first_cluster, entry->size, fat_attr_deleted, &data, chunk);
    QVERIFY(data != big);
}

void test_fat_reader::reads_deleted_file_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<uint>("chunk");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("bytes");  // -1: the whole file, equal to what was written
    QTest::newRow("run, 4096-byte reads") << int(fat_attr_deleted) << 4096u << int(fat_ok) << -1;
    QTest::newRow("run, 700-byte reads") << 1 << 700u << int(fat_ok) << -1;
    QTest::newRow("run skipping used clusters") << fat_read_skip_used << 4096u << int(fat_ok) << -1;
    QTest::newRow("chain fails at the first cluster boundary")
        << fat_read_chain << 4096u << int(fat_internal_error) << 1024;
    QTest::newRow("chain, 100-byte reads")
        << fat_read_chain << 100u << int(fat_internal_error) << 1024;
}

void test_fat_reader::reads_deleted_file() {
    REQUIRE_TOOLS();
    QFETCH(int, mode);
    QFETCH(uint, chunk);
    QFETCH(int, result);
    QFETCH(int, bytes);
    const QByteArray content = random_bytes(9000, 21);
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(16, 2), image_kib(16, 2)) &&
                 maker->put(QStringLiteral("GONE.BIN"), content) &&
                 maker->remove(QStringLiteral("GONE.BIN")),
             qPrintable(maker->error()));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    const listed_s* entry = find_entry(root, QStringLiteral("?ONE.BIN"));
    QVERIFY(entry);
    QCOMPARE(fat_get_entry(&volume_, entry->first_cluster), 0u);  // the chain is cleared
    QByteArray data;
    QCOMPARE(int(read_file(&volume_, entry->first_cluster, entry->size, mode, &data, chunk)),
             result);
    if (bytes < 0) {
        QVERIFY(data == content);
    } else {
        QCOMPARE(data.size(), bytes);
        QVERIFY(data == content.left(bytes));
    }
}

void test_fat_reader::reads_deleted_file_laid_around_live_file_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("intact");
    QTest::newRow("plain run reads the live file's cluster")
        << int(fat_attr_deleted) << int(fat_ok) << false;
    QTest::newRow("run skipping used clusters") << fat_read_skip_used << int(fat_ok) << true;
    QTest::newRow("chain") << fat_read_chain << int(fat_internal_error) << false;
}

void test_fat_reader::reads_deleted_file_laid_around_live_file() {
    REQUIRE_TOOLS();
    QFETCH(int, mode);
    QFETCH(int, result);
    QFETCH(bool, intact);
    // X takes clusters 2-3, Y cluster 4; with X gone, Z goes to 2, 3, 5, 6, 7; then Z is
    // deleted while Y stays.
    const QByteArray z = random_bytes(2500, 31);
    const QByteArray y = random_bytes(512, 32);
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(12, 1), 512) &&
                 maker->put(QStringLiteral("X"), random_bytes(1024, 30)) &&
                 maker->put(QStringLiteral("Y"), y) && maker->remove(QStringLiteral("X")) &&
                 maker->put(QStringLiteral("Z"), z),
             qPrintable(maker->error()));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    const listed_s* live_z = find_entry(root, QStringLiteral("Z"));
    QVERIFY(live_z);
    const std::uint32_t first = live_z->first_cluster;
    QCOMPARE(fat_get_entry(&volume_, first + 1), first + 3);  // really laid around Y
    QVERIFY(maker->remove(QStringLiteral("Z")));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QByteArray data;
    QCOMPARE(int(read_file(&volume_, first, static_cast<std::uint32_t>(z.size()), mode, &data)),
             result);
    if (result == fat_ok) {
        QCOMPARE(data.size(), z.size());
        QCOMPARE(data == z, intact);
        if (!intact) {
            QVERIFY(data.mid(1024, 512) == y);
        }
    } else {
        QCOMPARE(data.size(), 512);
    }
}

void test_fat_reader::reads_zero_byte_file_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("chain") << fat_read_chain;
    QTest::newRow("run") << int(fat_attr_deleted);
    QTest::newRow("run skipping used clusters") << fat_read_skip_used;
}

void test_fat_reader::reads_zero_byte_file() {
    REQUIRE_TOOLS();
    QFETCH(int, mode);
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(12, 1), 512) &&
                 maker->put(QStringLiteral("EMPTY"), QByteArray()),
             qPrintable(maker->error()));
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    QCOMPARE(root.size(), 1);
    QCOMPARE(root[0].size, 0u);
    fat_file file = file_of(&volume_, root[0].first_cluster, 0);
    char buffer[16];
    std::uint32_t got = 99;
    QCOMPARE(f_read(&file, buffer, sizeof(buffer), &got, mode), fat_ok);
    QCOMPARE(got, 0u);
}

void test_fat_reader::deleted_directory_ends_after_first_cluster_data() {
    QTest::addColumn<int>("sectors_per_cluster");
    QTest::addColumn<int>("files");
    QTest::addColumn<bool>("deleted");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("result");
    QTest::newRow("live, 1 sector per cluster") << 1 << 20 << false << 20 << int(fat_ok);
    QTest::newRow("deleted, 1 sector per cluster")
        << 1 << 20 << true << 14 << int(fat_internal_error);
    QTest::newRow("deleted, 2 sectors per cluster")
        << 2 << 40 << true << 30 << int(fat_internal_error);
    QTest::newRow("deleted, fits its first cluster") << 2 << 10 << true << 10 << int(fat_ok);
}

void test_fat_reader::deleted_directory_ends_after_first_cluster() {
    REQUIRE_TOOLS();
    QFETCH(int, sectors_per_cluster);
    QFETCH(int, files);
    QFETCH(bool, deleted);
    QFETCH(int, entries);
    QFETCH(int, result);
    auto maker = new_image();
    QVERIFY2(maker->format(format_options(12, sectors_per_cluster), 1024) &&
                 maker->make_dir(QStringLiteral("D")),
             qPrintable(maker->error()));
    for (int n = 0; n < files; ++n) {
        QVERIFY2(maker->put(QStringLiteral("D/F%1.TXT").arg(n), "x"), qPrintable(maker->error()));
    }
    if (deleted) {
        QVERIFY2(maker->remove_tree(QStringLiteral("D")), qPrintable(maker->error()));
    }
    QCOMPARE(mount(maker->bytes()), fat_ok);
    QList<listed_s> root;
    QCOMPARE(list_directory(0, &root), fat_ok);
    QCOMPARE(root.size(), 1);
    QCOMPARE(int(root[0].attributes & fat_attr_deleted), deleted ? int(fat_attr_deleted) : 0);
    QList<listed_s> below;
    QCOMPARE(int(list_directory(root[0].first_cluster, &below)), result);
    // Every entry of the first cluster comes back, the last one included.
    QCOMPARE(below.size(), entries);
    for (const listed_s& item : below) {
        QCOMPARE(int(item.attributes & fat_attr_deleted), deleted ? int(fat_attr_deleted) : 0);
    }
}

// ---- object lifecycle ----

void test_fat_reader::reports_volume_and_path_errors_data() {
    QTest::addColumn<int>("volume_number");  // registered with f_mount
    QTest::addColumn<int>("mount_result");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("drive_present");
    QTest::addColumn<int>("result");
    QTest::newRow("root") << 0 << int(fat_ok) << QByteArray("/") << true << int(fat_ok);
    QTest::newRow("empty path") << 0 << int(fat_ok) << QByteArray("") << true << int(fat_ok);
    QTest::newRow("volume prefix") << 0 << int(fat_ok) << QByteArray("0:/") << true << int(fat_ok);
    QTest::newRow("volume prefix, backslash")
        << 0 << int(fat_ok) << QByteArray("0:\\") << true << int(fat_ok);
    QTest::newRow("other volume, nothing registered")
        << 0 << int(fat_ok) << QByteArray("1:/") << true << int(fat_no_volume_object);
    QTest::newRow("other volume, registered")
        << 3 << int(fat_ok) << QByteArray("3:/") << true << int(fat_ok);
    QTest::newRow("letter as volume")
        << 0 << int(fat_ok) << QByteArray("C:/") << true << int(fat_invalid_volume);
    QTest::newRow("below the root")
        << 0 << int(fat_ok) << QByteArray("/SUB") << true << int(fat_path_not_found);
    QTest::newRow("drive missing")
        << 0 << int(fat_ok) << QByteArray("/") << false << int(fat_not_ready);
    QTest::newRow("volume number 10")
        << 10 << int(fat_invalid_volume) << QByteArray("/") << true << int(fat_no_volume_object);
    QTest::newRow("volume number -1")
        << -1 << int(fat_invalid_volume) << QByteArray("/") << true << int(fat_no_volume_object);
}

void test_fat_reader::reports_volume_and_path_errors() {
    QFETCH(int, volume_number);
    QFETCH(int, mount_result);
    QFETCH(QByteArray, path);
    QFETCH(bool, drive_present);
    QFETCH(int, result);
    craft_s c;
    int drive = attach_memory(craft_image(c, 2));
    QVERIFY(drive >= 0);
    if (!drive_present) {
        drive = disk_max_drives - 1;
    }
    const int slot = volume_number >= 0 && volume_number < fat_volume_count ? volume_number : 0;
    fat_volume_slot[slot] = {static_cast<std::uint8_t>(drive), 0, 0};
    f_mount(0, nullptr);
    QCOMPARE(int(f_mount(volume_number, &volume_)), mount_result);
    fat_dir dir;
    QCOMPARE(int(f_opendir(&dir, path.constData())), result);
    if (result == fat_ok) {
        QCOMPARE(int(volume_.type), int(fat_type_fat12));
        QCOMPARE(dir.volume, &volume_);
    }
    if (slot != 0) {
        f_mount(slot, nullptr);
    }
}

void test_fat_reader::refuses_stale_and_invalid_objects_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("dir_result");   // of the old directory object afterwards
    QTest::addColumn<int>("file_result");  // of the old file object afterwards
    QTest::newRow("nothing happened (control)") << "none" << int(fat_ok) << int(fat_ok);
    QTest::newRow("registered again, not yet mounted")
        << "register" << int(fat_invalid_object) << int(fat_invalid_object);
    QTest::newRow("mounted again")
        << "remount" << int(fat_invalid_object) << int(fat_invalid_object);
    QTest::newRow("drive gone") << "remove drive" << int(fat_not_ready) << int(fat_not_ready);
    QTest::newRow("file failed once") << "fail file" << int(fat_ok) << int(fat_internal_error);
    QTest::newRow("file not readable") << "unreadable" << int(fat_ok) << int(fat_access_denied);
}

void test_fat_reader::refuses_stale_and_invalid_objects() {
    QFETCH(QString, action);
    QFETCH(int, dir_result);
    QFETCH(int, file_result);
    craft_s c;
    QByteArray image = craft_image(c, 8);
    const QByteArray content = random_bytes(700, 41);
    image.replace(c.root_offset(), 32,
                  file_entry("DATA    BIN", 3, static_cast<std::uint32_t>(content.size())));
    image.replace(c.cluster_offset(3), content.size(), content);
    set_fat(image, c, 3, 4);
    set_fat(image, c, 4, end_of_chain(c));
    QCOMPARE(mount(image), fat_ok);
    fat_dir dir;
    QCOMPARE(f_opendir(&dir, "/"), fat_ok);
    fat_file file = file_of(&volume_, 3, static_cast<std::uint32_t>(content.size()));
    const std::uint16_t first_id = volume_.mount_id;

    if (action == QLatin1String("register")) {
        QCOMPARE(f_mount(0, &volume_), fat_ok);
    } else if (action == QLatin1String("remount")) {
        QCOMPARE(f_mount(0, &volume_), fat_ok);
        fat_dir fresh;
        QCOMPARE(f_opendir(&fresh, "/"), fat_ok);
        QVERIFY(volume_.mount_id != first_id);
        fat_entry_info info;
        QCOMPARE(f_readdir(&fresh, &info), fat_ok);
        QCOMPARE(QString::fromUtf16(info.short_name), QStringLiteral("DATA.BIN"));
    } else if (action == QLatin1String("remove drive")) {
        platform::clear_memory_drives();
        use_images({});
    } else if (action == QLatin1String("fail file")) {
        file.first_cluster = 60000;  // outside the volume
        char byte;
        std::uint32_t got = 0;
        QCOMPARE(f_read(&file, &byte, 1, &got, fat_read_chain), fat_internal_error);
        QCOMPARE(int(file.flags & fat_file_error), int(fat_file_error));
        file.first_cluster = 3;  // a failed object stays failed
    } else if (action == QLatin1String("unreadable")) {
        file.flags = 0;
    }

    fat_entry_info info;
    QCOMPARE(int(f_readdir(&dir, &info)), dir_result);
    if (dir_result == fat_ok) {
        QCOMPARE(QString::fromUtf16(info.short_name), QStringLiteral("DATA.BIN"));
    }
    QCOMPARE(int(f_readdir(&dir, nullptr)), dir_result);
    QByteArray buffer(1024, 0);
    std::uint32_t got = 77;
    QCOMPARE(int(f_read(&file, buffer.data(), 1024, &got, fat_read_chain)), file_result);
    QCOMPARE(got, file_result == fat_ok ? std::uint32_t(content.size()) : 0u);
    if (file_result == fat_ok) {
        QVERIFY(buffer.left(content.size()) == content);
    }
}

// ---- hostile volumes ----

void test_fat_reader::survives_hostile_volumes_data() {
    // Each row damages a small FAT12 volume (64 clusters) whose root holds SUB (a full
    // one-cluster directory at cluster 3 without dot entries), FILE (2 clusters at 5-6) and
    // LAST, then runs one operation: "list <cluster>", "read <mode>" of FILE, or "walk" (the
    // whole tree, each directory once).
    using damage_t = std::function<void(QByteArray&, const craft_s&)>;
    QTest::addColumn<damage_t>("damage");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("count");  // entries listed or bytes read; -1: not checked
    auto none = [](QByteArray&, const craft_s&) {};
    auto fat = [](std::uint32_t cluster, std::uint32_t value) {
        return damage_t([cluster, value](QByteArray& image, const craft_s& c) {
            set_fat(image, c, cluster, value);
        });
    };
    auto file_size = [](std::uint32_t size) {
        return damage_t([size](QByteArray& image, const craft_s& c) {
            put32(image, c.root_offset() + 32 + 28, size);
        });
    };
    auto file_cluster = [](std::uint16_t cluster) {
        return damage_t([cluster](QByteArray& image, const craft_s& c) {
            put16(image, c.root_offset() + 32 + 26, cluster);
        });
    };
    QTest::newRow("intact directory (control)") << damage_t(none) << "list 3" << int(fat_ok) << 16;
    QTest::newRow("intact file (control)") << damage_t(none) << "read chain" << int(fat_ok) << 1000;
    QTest::newRow("directory chain loops to itself")
        << fat(3, 3) << "list 3" << int(fat_ok) << 65536;
    QTest::newRow("directory chain loops over two clusters")
        << damage_t([](QByteArray& image, const craft_s& c) {
               image.replace(c.cluster_offset(4), 512, image.mid(c.cluster_offset(3), 512));
               set_fat(image, c, 3, 4);
               set_fat(image, c, 4, 3);
           })
        << "list 3" << int(fat_ok) << 65536;
    QTest::newRow("directory chain to cluster 1")
        << fat(3, 1) << "list 3" << int(fat_internal_error) << 16;
    QTest::newRow("directory chain past the FAT") << fat(3, 0xF00) << "list 3" << int(fat_ok) << 16;
    QTest::newRow("directory at cluster 1")
        << damage_t(none) << "list 1" << int(fat_internal_error) << 0;
    QTest::newRow("directory past the FAT")
        << damage_t(none) << "list 4000" << int(fat_internal_error) << 0;
    QTest::newRow("directory past the drive") << damage_t([](QByteArray& image, const craft_s& c) {
        image.truncate(c.cluster_offset(40));
    }) << "list 50" << int(fat_disk_error) << 0;
    QTest::newRow("directory holding itself") << damage_t([](QByteArray& image, const craft_s& c) {
        image.replace(c.cluster_offset(3), 32, file_entry("SELF       ", 3, 0, 0x10));
        image.replace(c.cluster_offset(3) + 32, 32, file_entry("ROOT       ", 0, 0, 0x10));
    }) << "walk" << int(fat_ok) << 3 + 16;
    QTest::newRow("file chain loops") << damage_t([](QByteArray& image, const craft_s& c) {
        set_fat(image, c, 6, 5);
        put32(image, c.root_offset() + 32 + 28, 20000);
    }) << "read chain" << int(fat_internal_error)
                                      << -1;
    QTest::newRow("file longer than the volume, looping")
        << damage_t([](QByteArray& image, const craft_s& c) {
               for (std::uint32_t n = 5; n < 65; ++n) {
                   set_fat(image, c, n, n + 1);
               }
               set_fat(image, c, 65, 5);
               put32(image, c.root_offset() + 32 + 28, 0xFFFFFFFF);
           })
        << "read chain" << int(fat_internal_error) << -1;
    QTest::newRow("file chain to free cluster")
        << fat(5, 0) << "read chain" << int(fat_internal_error) << 512;
    QTest::newRow("file chain ends early")
        << fat(5, 0xFFF) << "read chain" << int(fat_internal_error) << 512;
    QTest::newRow("file larger than its chain")
        << file_size(0xFFFFFFFF) << "read chain" << int(fat_internal_error) << 1024;
    QTest::newRow("file starts past the FAT")
        << file_cluster(4000) << "read chain" << int(fat_internal_error) << 0;
    QTest::newRow("file starts at cluster 0")
        << file_cluster(0) << "read run" << int(fat_internal_error) << 0;
    QTest::newRow("run past the last cluster") << damage_t([](QByteArray& image, const craft_s& c) {
        put16(image, c.root_offset() + 32 + 26, 64);
        put32(image, c.root_offset() + 32 + 28, 4 * 512);
    }) << "read run" << int(fat_internal_error) << 1024;
    QTest::newRow("no free cluster to skip to")
        << damage_t([](QByteArray& image, const craft_s& c) {
               for (std::uint32_t n = 7; n < 66; ++n) {
                   set_fat(image, c, n, 0xFF7);  // bad clusters count as used
               }
               put32(image, c.root_offset() + 32 + 28, 0x100000);
           })
        << "read skip" << int(fat_internal_error) << 512;
    QTest::newRow("nothing readable past the boot sector")
        << damage_t([](QByteArray& image, const craft_s&) { image.truncate(512); }) << "list 0"
        << int(fat_disk_error) << 0;
}

void test_fat_reader::survives_hostile_volumes() {
    using damage_t = std::function<void(QByteArray&, const craft_s&)>;
    QFETCH(damage_t, damage);
    QFETCH(QString, operation);
    QFETCH(int, result);
    QFETCH(int, count);
    craft_s c;
    QByteArray image = craft_image(c, c.clusters);
    image.replace(c.root_offset(), 32, file_entry("SUB        ", 3, 0, 0x10));
    image.replace(c.root_offset() + 32, 32, file_entry("FILE       ", 5, 1000));
    image.replace(c.root_offset() + 64, 32, file_entry("LAST       ", 0, 0));
    for (int n = 0; n < 16; ++n) {
        image.replace(
            c.cluster_offset(3) + n * 32, 32,
            file_entry(QStringLiteral("E%1").arg(n, 7, 10, QLatin1Char('0')).toLatin1() + "TXT", 0,
                       0));
    }
    set_fat(image, c, 3, end_of_chain(c));
    set_fat(image, c, 5, 6);
    set_fat(image, c, 6, end_of_chain(c));
    image.replace(c.cluster_offset(5), 1024, random_bytes(1024, 51));
    damage(image, c);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(mount(image), fat_ok);

    fat_result got = fat_ok;
    int counted = 0;
    const QStringList words = operation.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("list")) {
        QList<listed_s> list;
        got = list_directory(words[1].toUInt(), &list);
        counted = static_cast<int>(list.size());
    } else if (words[0] == QLatin1String("read")) {
        QList<listed_s> root;
        QCOMPARE(list_directory(0, &root), fat_ok);
        const listed_s* file = find_entry(root, QStringLiteral("FILE"));
        QVERIFY(file);
        const int mode = words[1] == QLatin1String("chain") ? fat_read_chain
                         : words[1] == QLatin1String("run") ? int(fat_attr_deleted)
                                                            : fat_read_skip_used;
        QByteArray data;
        got = read_file(&volume_, file->first_cluster, file->size, mode, &data);
        counted = static_cast<int>(data.size());
        // Whatever came back, it never exceeds the volume's data area.
        QVERIFY(data.size() <= qsizetype(c.clusters) * 512);
    } else {
        // The engine's walk: every directory once, by cluster.
        QSet<std::uint32_t> visited{0};
        QList<std::uint32_t> pending{0};
        while (!pending.isEmpty() && got == fat_ok) {
            QList<listed_s> list;
            got = list_directory(pending.takeFirst(), &list);
            for (const listed_s& item : list) {
                ++counted;
                if ((item.attributes & fat_attr_directory) &&
                    !visited.contains(item.first_cluster)) {
                    visited.insert(item.first_cluster);
                    pending.append(item.first_cluster);
                }
            }
        }
    }
    QCOMPARE(int(got), result);
    if (count >= 0) {
        QCOMPARE(counted, count);
    }
    QVERIFY2(timer.elapsed() < 20000,
             qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
}

QTEST_GUILESS_MAIN(test_fat_reader)
#include "test_fat_reader.moc"
