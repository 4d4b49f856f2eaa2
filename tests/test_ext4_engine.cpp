// The ext4 reader and engine: directory blocks with deleted entries in their slack, hostile
// extent trees and block maps, the journal's descriptor, commit and revoke blocks in each
// tag format, and orvane scan and restore on volumes that the kernel's ext4 driver wrote
// (make_ext4_scan.sh): every deleted file whose blocks are free comes back byte for byte
// under its path, deleted trees keep their folders, the file whose blocks a new file took
// is flagged.
#include "engine/ext4/ext4_format.h"
#include "engine/ext4/ext4_journal.h"
#include "engine/ext4/ext4_volume.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
void put_be32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
}
void put_be16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

// One directory entry at `at`: inode, rec_len, name (file type 1).
void dirent(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t inode, std::uint16_t rec,
            const char* name, std::uint8_t type = 1) {
    put32(b, at, inode);
    put16(b, at + 4, rec);
    b[at + 6] = static_cast<std::uint8_t>(std::strlen(name));
    b[at + 7] = type;
    std::memcpy(b.data() + at + 8, name, std::strlen(name));
}

// An extent tree node of depth with entries (logical, start, count) or (logical, child).
std::vector<std::uint8_t> extent_node(std::size_t bytes, std::uint16_t depth,
                                      const std::vector<std::array<std::uint64_t, 3>>& entries) {
    std::vector<std::uint8_t> b(bytes, 0);
    put16(b, 0, 0xF30A);
    put16(b, 2, static_cast<std::uint16_t>(entries.size()));
    put16(b, 4, static_cast<std::uint16_t>((bytes - 12) / 12));
    put16(b, 6, depth);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t at = 12 + 12 * i;
        put32(b, at, static_cast<std::uint32_t>(entries[i][0]));
        if (depth == 0) {
            put16(b, at + 4, static_cast<std::uint16_t>(entries[i][2]));
            put16(b, at + 6, static_cast<std::uint16_t>(entries[i][1] >> 32));
            put32(b, at + 8, static_cast<std::uint32_t>(entries[i][1]));
        } else {
            put32(b, at + 4, static_cast<std::uint32_t>(entries[i][1]));
            put16(b, at + 8, static_cast<std::uint16_t>(entries[i][1] >> 32));
        }
    }
    return b;
}

ext4::inode_s extent_inode(const std::vector<std::uint8_t>& root) {
    ext4::inode_s inode;
    inode.mode = ext4::mode_regular | 0644;
    inode.links = 1;
    inode.flags = ext4::inode_flag_extents;
    std::memcpy(inode.block, root.data(), 60);
    return inode;
}

std::vector<std::string> names_of(const std::vector<ext4::dirent_s>& entries, bool deleted) {
    std::vector<std::string> out;
    for (const ext4::dirent_s& e : entries) {
        if (e.deleted == deleted) {
            out.push_back(e.name + ":" + std::to_string(e.inode));
        }
    }
    return out;
}

// The journal's tag formats.
struct tag_format_s {
    std::uint32_t incompat;  // journal superblock 0x28
    bool csum3 = false;
    bool csum2 = false;
    bool is64 = false;
    std::size_t tag_bytes() const {
        if (csum3) {
            return 16;
        }
        return 12 + (csum2 ? 2 : 0) - (is64 ? 0 : 4);
    }
};

}  // namespace

class test_ext4_engine : public QObject {
    Q_OBJECT
  private slots:
    void directory_block_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("live");
        QTest::addColumn<QString>("deleted");
        QTest::newRow("entry hidden in the previous entry's rec_len") << 0 << "a.txt:12"
                                                                      << "gone.bin:13";
        QTest::newRow("inode 0 at the block's start keeps its name") << 1 << "b.txt:14"
                                                                     << "first.doc:0";
        QTest::newRow("interior node of a hashed directory") << 2 << ""
                                                             << "";
        QTest::newRow("tree root after '..' is not searched") << 3 << ""
                                                              << "";
        QTest::newRow("chain broken after the first entry") << 4 << "a.txt:12"
                                                            << "";
        QTest::newRow("slack bytes that are no sound entry") << 5 << "a.txt:12"
                                                             << "";
        QTest::newRow("checksum tail after the last entry") << 6 << "a.txt:12"
                                                            << "";
    }
    void directory_block() {
        QFETCH(int, kind);
        QFETCH(QString, live);
        QFETCH(QString, deleted);
        std::vector<std::uint8_t> b(1024, 0);
        ext4::dirent_options_s options;
        options.inodes_count = 1000;
        switch (kind) {
            case 0:
                dirent(b, 0, 12, 1024, "a.txt");
                dirent(b, 16, 13, 1008, "gone.bin");  // merged into a.txt on deletion
                break;
            case 1:
                dirent(b, 0, 0, 24, "first.doc");
                dirent(b, 24, 14, 1000, "b.txt");
                break;
            case 2:
                put16(b, 4, 1024);  // inode 0, name length 0: the node's fake entry
                put32(b, 8, 0x1234);
                dirent(b, 16, 13, 16, "xx");  // hash/block pairs that look like an entry
                break;
            case 3:
                dirent(b, 0, 2, 12, ".", 2);
                dirent(b, 12, 2, 1012, "..", 2);
                dirent(b, 40, 17, 16, "fake", 1);  // inside the tree root's data
                options.hashed_root = true;
                break;
            case 4:
                dirent(b, 0, 12, 16, "a.txt");
                dirent(b, 16, 15, 0, "bad");  // rec_len 0
                break;
            case 5:
                dirent(b, 0, 12, 1024, "a.txt");
                dirent(b, 16, 5000, 20, "toobig");  // inode beyond the volume's count
                dirent(b, 36, 13, 20, "sl/ash");    // '/' is never in a name
                dirent(b, 56, 13, 20, "type9", 9);  // no such file type
                dirent(b, 76, 13, 8, "short");      // name longer than the rec_len
                break;
            case 6:
                dirent(b, 0, 12, 1012, "a.txt");
                put16(b, 1012 + 4, 12);
                b[1012 + 7] = 0xDE;
                break;
        }
        const auto entries = ext4::parse_dir_block(b.data(), b.size(), options);
        const auto join = [](const std::vector<std::string>& v) {
            QStringList out;
            for (const std::string& s : v) {
                out << QString::fromStdString(s);
            }
            return out.join(',');
        };
        QCOMPARE(join(names_of(entries, false)), live);
        QCOMPARE(join(names_of(entries, true)), deleted);
    }

    // The checksum tail tells which folder a block (or a journal copy of it) belongs to.
    void directory_block_owner() {
        std::vector<std::uint8_t> b(1024, 0);
        dirent(b, 0, 12, 1012, "a.txt");
        put16(b, 1012 + 4, 12);
        b[1012 + 7] = 0xDE;
        const std::uint32_t seed = 0x1234567;
        std::uint8_t id[8] = {20, 0, 0, 0, 7, 0, 0, 0};  // inode 20, generation 7
        const std::uint32_t sum = ext4::crc32c_raw(ext4::crc32c_raw(seed, id, 8), b.data(), 1012);
        put32(b, 1012 + 8, sum);
        QVERIFY(ext4::dir_block_owned_by(b.data(), b.size(), seed, 20, 7));
        QVERIFY(!ext4::dir_block_owned_by(b.data(), b.size(), seed, 21, 7));
        QVERIFY(!ext4::dir_block_owned_by(b.data(), b.size(), seed, 20, 8));
        b[20] ^= 1;  // the block changed since the sum was made
        QVERIFY(!ext4::dir_block_owned_by(b.data(), b.size(), seed, 20, 7));
        b[1012 + 7] = 0;  // no tail: the block cannot tell
        QVERIFY(ext4::dir_block_owned_by(b.data(), b.size(), seed, 21, 7));
    }

    void hostile_maps_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("extent beyond the volume") << 0;
        QTest::newRow("tree deeper than five levels") << 1;
        QTest::newRow("index block that names itself") << 2;
        QTest::newRow("tree that fans out without end") << 3;
        QTest::newRow("adjacent runs merge, unwritten stays apart") << 4;
        QTest::newRow("indirect blocks, one naming itself") << 5;
    }
    void hostile_maps() {
        QFETCH(int, kind);
        const QString mkfs = QStandardPaths::findExecutable("mkfs.ext4", {"/usr/sbin", "/sbin"});
        if (mkfs.isEmpty()) {
            QSKIP("mkfs.ext4 is not installed (e2fsprogs)");
        }
        QTemporaryDir dir;
        const QString path = dir.filePath("v.img");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(16 << 20));
        }
        QCOMPARE(QProcess::execute(mkfs, {"-q", "-F", "-b", "4096", path}), 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray image = file.readAll();
        ext4::ext4_volume_c volume;
        QCOMPARE(volume.open(
                     [&image](std::uint64_t offset, void* buffer, std::size_t len) {
                         if (offset > std::uint64_t(image.size()) || len > image.size() - offset) {
                             return -1;
                         }
                         std::memcpy(buffer, image.constData() + offset, len);
                         return 0;
                     },
                     image.size()),
                 int(ext4::open_ok));
        QVERIFY(volume.sb().checksum_ok);
        const std::uint64_t blocks = volume.block_count();
        int reads = 0;
        std::function<std::vector<std::uint8_t>(std::uint64_t)> tree_block;
        const ext4::ext4_volume_c::node_reader_f nodes = [&](std::uint64_t block,
                                                             std::uint8_t* buffer) {
            ++reads;
            const std::vector<std::uint8_t> b = tree_block(block);
            std::memcpy(buffer, b.data(), 4096);
            return true;
        };
        ext4::block_map_s map;
        switch (kind) {
            case 0:
                map =
                    volume.map_blocks(extent_inode(extent_node(60, 0, {{0, blocks - 2, 10}})), 100);
                QVERIFY(!map.complete);
                QVERIFY(map.extents.empty());
                break;
            case 1:
                map = volume.map_blocks(extent_inode(extent_node(60, 6, {{0, 100, 0}})), 100);
                QVERIFY(!map.complete);
                break;
            case 2:
                tree_block = [](std::uint64_t) { return extent_node(4096, 1, {{0, 1000, 0}}); };
                map =
                    volume.map_blocks(extent_inode(extent_node(60, 1, {{0, 1000, 0}})), 100, nodes);
                QVERIFY(!map.complete);
                QCOMPARE(reads, 1);
                break;
            case 3: {
                // 4 x 340^4 leaf reads if nothing stopped it
                tree_block = [](std::uint64_t block) {
                    const auto depth = static_cast<std::uint16_t>(block - 5000);
                    if (depth == 0) {
                        return extent_node(4096, 0, {{0, 10, 1}});
                    }
                    return extent_node(4096, depth,
                                       std::vector<std::array<std::uint64_t, 3>>(
                                           340, {0, 5000 + depth - 1ULL, 0}));
                };
                map = volume.map_blocks(
                    extent_inode(extent_node(60, 5, {{0, 5004, 0}, {0, 5004, 0}})), 1000, nodes);
                QVERIFY(!map.complete);
                QVERIFY2(reads <= 70000, qPrintable(QString::number(reads)));
                break;
            }
            case 4: {
                auto root = extent_node(60, 0, {{0, 100, 4}, {4, 104, 4}, {8, 108, 2}});
                put16(root, 12 + 24 + 4, 32768 + 2);  // the third run: unwritten
                map = volume.map_blocks(extent_inode(root), 100);
                QVERIFY(map.complete);
                QCOMPARE(int(map.extents.size()), 2);
                QCOMPARE(map.extents[0].count, 8U);
                QVERIFY(map.extents[1].unwritten);
                QCOMPARE(map.extents[1].physical, 108ULL);
                break;
            }
            case 5: {
                ext4::inode_s inode;
                inode.mode = ext4::mode_regular | 0644;
                std::vector<std::uint8_t> raw(60, 0);
                put32(raw, 0, 50);
                put32(raw, 4, 51);
                put32(raw, 48, 60);  // single indirect
                put32(raw, 56, 70);  // triple indirect, naming itself at every level
                std::memcpy(inode.block, raw.data(), 60);
                tree_block = [](std::uint64_t block) {
                    std::vector<std::uint8_t> b(4096, 0);
                    if (block == 60) {
                        put32(b, 0, 61);
                        put32(b, 4, 62);
                    } else {
                        for (std::size_t i = 0; i < 1024; ++i) {
                            put32(b, 4 * i, 70);
                        }
                    }
                    return b;
                };
                const std::uint64_t triple_start = 12 + 1024 + 1024 * 1024;
                map = volume.map_blocks(inode, triple_start + 3000, nodes);
                QVERIFY(map.complete);
                QCOMPARE(map.extents[0].logical, 0ULL);
                QCOMPARE(map.extents[0].physical, 50ULL);
                QCOMPARE(map.extents[0].count, 2U);
                QCOMPARE(map.extents[1].logical, 12ULL);
                QCOMPARE(map.extents[1].physical, 61ULL);
                QCOMPARE(map.extents[1].count, 2U);
                QCOMPARE(map.extents.back().logical + map.extents.back().count,
                         triple_start + 3000);  // ended by the file's length
                QVERIFY(reads < 20);
                break;
            }
        }
    }

    void journal_data() {
        QTest::addColumn<int>("format");
        QTest::newRow("checksum v3, 64-bit") << 0;
        QTest::newRow("checksum v2, 64-bit") << 1;
        QTest::newRow("no checksums, 32-bit") << 2;
    }
    // A hand-made journal of 1 KiB blocks: a committed transaction with an escaped block,
    // an uncommitted one, a revoke, a copy with a wrong checksum and an old transaction
    // whose data place a newer descriptor took when the log wrapped round.
    void journal() {
        QFETCH(int, format);
        tag_format_s tags;
        tags.csum3 = format == 0;
        tags.csum2 = format == 1;
        tags.is64 = format != 2;
        tags.incompat = (tags.is64 ? 0x2 : 0) | (tags.csum2 ? 0x8 : 0) | (tags.csum3 ? 0x10 : 0);
        const std::size_t bs = 1024;
        const std::size_t count = 20;
        std::vector<std::uint8_t> j(bs * count, 0);
        std::vector<std::uint8_t> uuid(16);
        for (int i = 0; i < 16; ++i) {
            uuid[i] = static_cast<std::uint8_t>(0x40 + i);
        }
        const std::uint32_t seed = ext4::crc32c_raw(~0U, uuid.data(), 16);
        const auto header = [&](std::size_t block, std::uint32_t type, std::uint32_t seq) {
            put_be32(j, block * bs, ext4::jbd2_magic);
            put_be32(j, block * bs + 4, type);
            put_be32(j, block * bs + 8, seq);
        };
        header(0, 4, 0);
        put_be32(j, 0x0C, bs);
        put_be32(j, 0x10, count);
        put_be32(j, 0x14, 1);
        put_be32(j, 0x28, tags.incompat);
        std::memcpy(j.data() + 0x30, uuid.data(), 16);
        // descriptor at `at`: tags for (volume block, flags); the data blocks follow it
        const auto descriptor = [&](std::size_t at, std::uint32_t seq,
                                    std::vector<std::pair<std::uint64_t, std::uint32_t>> list,
                                    bool bad_sum = false) {
            header(at, 1, seq);
            std::size_t pos = at * bs + 12;
            for (std::size_t k = 0; k < list.size(); ++k) {
                const std::size_t data = (at + 1 + k - 1) % (count - 1) + 1;  // wraps to 1
                std::uint8_t seq_be[4] = {std::uint8_t(seq >> 24), std::uint8_t(seq >> 16),
                                          std::uint8_t(seq >> 8), std::uint8_t(seq)};
                std::uint32_t sum = ext4::crc32c_raw(seed, seq_be, 4);
                sum = ext4::crc32c_raw(sum, j.data() + data * bs, bs) ^ (bad_sum ? 1 : 0);
                std::uint32_t flags =
                    list[k].second | (k + 1 == list.size() ? 0x8 : 0) | (k > 0 ? 0x2 : 0);
                put_be32(j, pos, static_cast<std::uint32_t>(list[k].first));
                if (tags.csum3) {
                    put_be32(j, pos + 4, flags);
                    put_be32(j, pos + 12, sum);
                } else {
                    put_be16(j, pos + 4, static_cast<std::uint16_t>(sum));
                    put_be16(j, pos + 6, static_cast<std::uint16_t>(flags));
                }
                if (tags.is64) {
                    put_be32(j, pos + 8, static_cast<std::uint32_t>(list[k].first >> 32));
                }
                pos += tags.tag_bytes() + (k == 0 ? 16 : 0);
            }
        };
        // transaction 5: blocks 100 and 200 (the latter began with the magic: escaped)
        std::memset(j.data() + 2 * bs, 'A', bs);
        std::memset(j.data() + 3 * bs, 'B', bs);  // the magic's place left zero
        std::memset(j.data() + 3 * bs, 0, 4);
        descriptor(1, 5, {{100, 0}, {200, 0x1}});
        header(4, 2, 5);
        // transaction 6: never committed
        std::memset(j.data() + 6 * bs, 'C', bs);
        descriptor(5, 6, {{300, 0}});
        // transaction 7: revokes block 100
        header(7, 5, 7);
        put_be32(j, 7 * bs + 12, 16 + (tags.is64 ? 8 : 4));
        if (tags.is64) {
            put_be32(j, 7 * bs + 16, 0);
            put_be32(j, 7 * bs + 20, 100);
        } else {
            put_be32(j, 7 * bs + 16, 100);
        }
        header(8, 2, 7);
        // transaction 8: a copy whose checksum does not hold
        std::memset(j.data() + 10 * bs, 'D', bs);
        descriptor(9, 8, {{400, 0}}, true);
        header(11, 2, 8);
        // transaction 2, older: its descriptor at the end, its data wrapped onto block 1,
        // where transaction 5's descriptor stands now
        descriptor(count - 1, 2, {{600, 0}});
        header(12, 2, 2);

        ext4::journal_index_c index;
        QVERIFY(index.load_bytes(j.data(), j.size(), bs));
        std::vector<std::uint8_t> buffer(bs);
        QCOMPARE(int(index.copies(100).size()), 1);
        QCOMPARE(index.copies(100)[0].sequence, 5U);
        QVERIFY(index.read_copy(index.copies(100)[0], buffer.data()));
        QCOMPARE(buffer[0], std::uint8_t('A'));
        QCOMPARE(int(index.copies(200).size()), 1);
        QVERIFY(index.read_copy(index.copies(200)[0], buffer.data()));
        QCOMPARE(ext4::be32(buffer.data()), ext4::jbd2_magic);  // the escape undone
        QCOMPARE(buffer[4], std::uint8_t('B'));
        QVERIFY(index.copies(300).empty());  // not committed
        QVERIFY(index.revoked_since(100, 5));
        QVERIFY(!index.revoked_since(100, 8));
        QVERIFY(!index.revoked_since(200, 5));
        QCOMPARE(index.copies(400).size(), std::size_t(tags.csum2 || tags.csum3 ? 0 : 1));
        QCOMPARE(index.stats().bad_checksums, std::uint64_t(tags.csum2 || tags.csum3 ? 1 : 0));
        QVERIFY(index.copies(600).empty());  // overwritten when the log wrapped

        // Another block size, or no journal superblock: nothing is read.
        ext4::journal_index_c other;
        QVERIFY(!other.load_bytes(j.data(), j.size(), 2048));
        j[0] = 0;
        QVERIFY(!other.load_bytes(j.data(), j.size(), bs));
        QVERIFY(other.copies(100).empty());
    }

    // The volumes the kernel wrote, through the orvane tool as a user runs it.
    void scan_and_restore_data() {
        QTest::addColumn<QString>("image");
        QTest::newRow("default features, 4 KiB blocks") << "ext4/ext4-4k";
        QTest::newRow("1 KiB blocks without metadata_csum") << "ext4/ext4-1k";
        QTest::newRow("ext3: indirect block maps") << "ext4/ext3-1k";
    }
    void scan_and_restore() {
        QFETCH(QString, image);
        if (!fixture_exists(image + ".img")) {
            QSKIP(
                "the ext4 fixtures were not made (make_ext4_scan.sh mounts: it needs root and "
                "a free loop device)");
        }
        struct expect_s {
            QByteArray status, sha;
        };
        QHash<QString, expect_s> expected;
        QFile manifest(fixture_path(image + ".manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 4) {
                expected.insert(QString::fromUtf8(f[3]), {f[0], f[1]});
            }
        }
        QVERIFY(expected.size() >= 8);
        QByteArray out, err;
        QCOMPARE(
            run_orvane({"volumes", "--json", "--image", fixture_path(image + ".img")}, &out, &err),
            0);
        const QString fs =
            QJsonDocument::fromJson(out.split('\n').first()).object()["file_system"].toString();
        QVERIFY2(fs == "ext4" || fs == "ext3", qPrintable(fs));

        QCOMPARE(run_orvane({"scan", "--json", fixture_path(image + ".img")}, &out, &err), 0);
        QSet<QString> folders;
        QHash<QString, bool> overwritten;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (row.isEmpty()) {
                continue;
            }
            if (row["dir"].toBool()) {
                folders.insert(row["path"].toString());
            } else {
                QVERIFY(row["deleted"].toBool());
                overwritten.insert(row["path"].toString(), row["overwritten"].toBool());
            }
        }
        // the deleted trees keep their folders
        for (const char* folder : {"/docs", "/docs/sub", "/docs/sub/deeper", "/photos"}) {
            QVERIFY2(folders.contains(folder), folder);
        }
        QVERIFY(!overwritten.contains("/keep/live.bin"));  // live files are not listed
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(overwritten.contains(it.key()), qPrintable(it.key()));
            QCOMPARE(overwritten[it.key()], it->status == "reused");
        }

        QTemporaryDir to;
        run_orvane({"restore", "--to", to.path(), fixture_path(image + ".img")}, &out, &err);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            if (it->status == "deleted") {
                QVERIFY2(sha256_of_file(to.path() + it.key()) == it->sha, qPrintable(it.key()));
            }
        }
        QTemporaryDir skipping;
        run_orvane({"restore", "--skip-overwritten", "--match", "/keep/*", "--to", skipping.path(),
                    fixture_path(image + ".img")},
                   &out, &err);
        QVERIFY(!QFile::exists(skipping.filePath("keep/victim.bin")) ||
                expected["/keep/victim.bin"].status == "deleted");
    }

    // Files and folders kept inside their inodes (inline_data), deleted with their folder:
    // each comes back exact under its path, the 100-byte file's tail from the inode's
    // attribute, and the names past a folder's 60 bytes from the journal's copy of it.
    void inline_files_and_folders() {
        const QString image = QStringLiteral("ext4/ext4-inline");
        if (!fixture_exists(image + ".img")) {
            QSKIP(
                "the ext4 fixtures were not made (make_ext4_scan.sh mounts: it needs root and "
                "a free loop device)");
        }
        QFile manifest(fixture_path(image + ".manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QHash<QString, QByteArray> expected;
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 4) {
                expected.insert(QString::fromUtf8(f[3]), f[1]);
            }
        }
        QCOMPARE(expected.size(), 6);
        QByteArray out, err;
        QTemporaryDir to;
        QCOMPARE(
            run_orvane({"restore", "--to", to.path(), fixture_path(image + ".img")}, &out, &err),
            0);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(sha256_of_file(to.path() + it.key()) == it.value(), qPrintable(it.key()));
        }
    }

    // Deletions that leave the entry in its block's slack and the inode's map in place
    // (debugfs, like older kernels and ext2), and a name whose inode was wiped: listed by
    // name only, with the way to its data.
    void slack_entries_and_lost_inodes() {
        const QString mkfs = QStandardPaths::findExecutable("mkfs.ext4", {"/usr/sbin", "/sbin"});
        const QString debugfs = QStandardPaths::findExecutable("debugfs", {"/usr/sbin", "/sbin"});
        if (mkfs.isEmpty() || debugfs.isEmpty()) {
            QSKIP("mkfs.ext4 and debugfs are not installed (e2fsprogs)");
        }
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("tree/docs/sub"));
        QByteArray body;
        for (int i = 0; i < 3000; ++i) {
            body += QByteArray::number(i).rightJustified(10, '.');
        }
        const auto write = [&](const QString& name, const QByteArray& bytes) {
            QFile f(dir.filePath("tree/" + name));
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        QVERIFY(write("docs/a.txt", "hello, ext4\n"));
        QVERIFY(write("docs/sub/b.bin", body));
        QVERIFY(write("c.txt", "stays"));
        const QString img = dir.filePath("v.img");
        {
            QFile f(img);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(4 << 20));
        }
        QCOMPARE(QProcess::execute(mkfs, {"-q", "-F", "-b", "1024", "-O", "^has_journal", "-d",
                                          dir.filePath("tree"), img}),
                 0);
        QProcess stat;
        stat.start(debugfs, {"-R", "stat /docs/a.txt", img});
        QVERIFY(stat.waitForFinished());
        const QRegularExpressionMatch inode =
            QRegularExpression("Inode: (\\d+)").match(stat.readAllStandardOutput());
        QVERIFY(inode.hasMatch());
        for (const QString& request :
             {QStringLiteral("rm /docs/sub/b.bin"), QStringLiteral("rm /docs/a.txt"),
              "clri <" + inode.captured(1) + ">"}) {
            QCOMPARE(QProcess::execute(debugfs, {"-w", "-R", request, img}), 0);
        }
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--json", img}, &out, &err), 0);
        QHash<QString, QJsonObject> rows;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (!row.isEmpty()) {
                rows.insert(row["path"].toString(), row);
            }
        }
        QVERIFY(rows.contains("/docs/sub/b.bin") && rows.contains("/docs/a.txt"));
        QVERIFY(!rows.contains("/c.txt"));
        QVERIFY(rows["/docs/sub/b.bin"]["restorable"].toBool());
        QVERIFY(!rows["/docs/sub/b.bin"]["overwritten"].toBool());
        QCOMPARE(rows["/docs/sub/b.bin"]["size"].toInteger(), body.size());
        QVERIFY(!rows["/docs/a.txt"]["restorable"].toBool());
        QVERIFY(rows["/docs/a.txt"]["overwritten"].toBool());
        QVERIFY2(err.contains("1 deleted files are listed by name only") && err.contains("--deep"),
                 err.constData());

        QTemporaryDir to;
        QCOMPARE(run_orvane({"restore", "--to", to.path(), img}, &out, &err), 1);
        QVERIFY2(out.contains("restored 1 of 2 files, 1 failed"), out.constData());
        QVERIFY2(err.contains("/docs/a.txt") && err.contains("deep scan"), err.constData());
        QFile restored(to.filePath("docs/sub/b.bin"));
        QVERIFY(restored.open(QIODevice::ReadOnly));
        QCOMPARE(restored.readAll(), body);
        QVERIFY(!QFile::exists(to.filePath("docs/a.txt")));
    }

    // The superblock's checksum (metadata_csum) is checked, and a damaged one is told apart.
    void superblock_checksum() {
        if (!fixture_exists("ext4/ext4-4k.img")) {
            QSKIP(
                "the ext4 fixtures were not made (make_ext4_scan.sh needs root and a loop "
                "device)");
        }
        QFile file(fixture_path("ext4/ext4-4k.img"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.seek(1024));
        QByteArray sb = file.read(1024);
        ext4::superblock_s parsed;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(sb.constData());
        QVERIFY(ext4::parse_superblock(bytes, sb.size(), file.size(), &parsed));
        QVERIFY(parsed.checksum_ok);
        QCOMPARE(parsed.block_bytes(), 4096U);
        QVERIFY(parsed.has(ext4::incompat_64bit));
        QCOMPARE(int(parsed.desc_size), 64);
        sb[0x78] = sb[0x78] ^ 1;  // one bit of the label
        QVERIFY(ext4::parse_superblock(bytes, sb.size(), file.size(), &parsed));
        QVERIFY(!parsed.checksum_ok);
        sb[0x38] = 0;  // the magic
        QVERIFY(!ext4::parse_superblock(bytes, sb.size(), file.size(), &parsed));
    }
};

QTEST_GUILESS_MAIN(test_ext4_engine)
#include "test_ext4_engine.moc"
