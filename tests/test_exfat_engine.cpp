// The exFAT reader and engine: boot region checks, entry sets and their checksums, times,
// the up-case table; small volumes written from the published layout (intact, cleared and
// looping chains, a deleted folder) scanned through a reader; and the volumes that
// exfat-fuse wrote (4 KiB and 128 KiB clusters, an MBR partition, an intact chain, a
// damaged main boot region) scanned through the session and restored byte for byte.
#include "device/volume_free_space.h"
#include "device/volume_list.h"
#include "engine/exfat/exfat_recovery.h"
#include "engine/scan_session.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

using bytes_t = std::vector<std::uint8_t>;

exfat::reader_f reader_over(const QByteArray& image) {
    return [image](std::uint64_t offset, void* buffer, std::size_t len) {
        if (offset > std::uint64_t(image.size()) || len > std::uint64_t(image.size()) - offset) {
            return -1;
        }
        std::memcpy(buffer, image.constData() + offset, len);
        return 0;
    };
}

// A file entry set (file, stream extension, name entries) with a sound checksum.
bytes_t make_set(const std::u16string& name, std::uint8_t secondary_extra = 0) {
    const std::size_t names = (name.size() + 14) / 15;
    bytes_t set((2 + names) * 32, 0);
    set[0] = exfat::type_file;
    set[1] = static_cast<std::uint8_t>(1 + names + secondary_extra);
    set[4] = 0x20;
    set[32] = exfat::type_stream;
    set[33] = 3;
    set[35] = static_cast<std::uint8_t>(name.size());
    set[32 + 24] = 100;  // data length
    set[32 + 8] = 100;   // valid data length
    set[32 + 20] = 5;    // first cluster
    for (std::size_t i = 0; i < name.size(); ++i) {
        const std::size_t at = (2 + i / 15) * 32 + 2 + (i % 15) * 2;
        set[(2 + i / 15) * 32] = exfat::type_name;
        set[at] = name[i] & 0xFF;
        set[at + 1] = name[i] >> 8;
    }
    const std::uint16_t sum = exfat::set_checksum(set.data(), 2 + names);
    set[2] = sum & 0xFF;
    set[3] = sum >> 8;
    return set;
}

QHash<QString, QPair<QByteArray, QByteArray>> read_manifest(const QString& path,
                                                            std::uint64_t* free_bytes) {
    QHash<QString, QPair<QByteArray, QByteArray>> expected;
    QFile manifest(path);
    if (!manifest.open(QIODevice::ReadOnly)) {
        return expected;
    }
    for (const QByteArray& line : manifest.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2 && f[0] == "free") {
            *free_bytes = f[1].toULongLong();
        } else if (f.size() >= 4) {
            expected.insert(
                QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)),
                {f[0], f[1]});
        }
    }
    return expected;
}

// The path of a found entry below the root, from its keys.
QString path_of(const exfat_recovery_c& engine, std::uint64_t key) {
    QStringList names;
    for (int steps = 0; key != 0 && steps < 100; ++steps) {
        const exfat_node& node = engine.nodes()[key];
        names.prepend(node.name);
        key = node.parent;
    }
    return QLatin1Char('/') + names.join(QLatin1Char('/'));
}

}  // namespace

class test_exfat_engine : public QObject {
    Q_OBJECT
    QTemporaryDir crafted_;

    QByteArray crafted(const QString& variant) {
        QFile file(crafted_.filePath("exfat-" + variant + ".img"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

  private slots:
    void initTestCase() {
        QProcess make;
        make.start("bash", {QStringLiteral(ORVANE_SOURCE_DIR) + "/fuzz/make_exfat_corpus.sh",
                            crafted_.path()});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
    }

    void entry_sets_data() {
        QTest::addColumn<int>("change");  // what is done to a sound set
        QTest::addColumn<int>("step");    // entries parse_entry_set steps over
        QTest::addColumn<bool>("checksum_ok");
        QTest::newRow("sound") << 0 << 3 << true;
        QTest::newRow("deleted by the in-use bits") << 1 << 3 << true;
        QTest::newRow("a name byte changed") << 2 << 1 << false;
        QTest::newRow("secondary count past the end") << 3 << 1 << false;
        QTest::newRow("secondary count below stream and name") << 4 << 1 << false;
        QTest::newRow("name longer than its name entries") << 5 << 1 << false;
        QTest::newRow("no stream extension") << 6 << 1 << false;
        QTest::newRow("a deleted set with a live name entry") << 7 << 1 << false;
    }
    void entry_sets() {
        QFETCH(int, change);
        QFETCH(int, step);
        QFETCH(bool, checksum_ok);
        bytes_t set = make_set(u"report.txt");
        switch (change) {
            case 1:
                set[0] = 0x05, set[32] = 0x40, set[64] = 0x41;
                break;
            case 2:
                set[66] ^= 1;
                break;
            case 3:
                set[1] = 9;
                break;
            case 4:
                set[1] = 1;
                break;
            case 5:
                set[35] = 16;
                break;
            case 6:
                set[32] = 0xC1;
                break;
            case 7:
                set[0] = 0x05, set[32] = 0x40;
                break;
        }
        exfat::entry_set_s parsed;
        QCOMPARE(int(exfat::parse_entry_set(set.data(), set.size(), 0, &parsed)), step);
        QCOMPARE(parsed.checksum_ok, checksum_ok);
        if (checksum_ok) {
            QVERIFY(parsed.name == u"report.txt");
            QCOMPARE(parsed.deleted, change == 1);
            QCOMPARE(parsed.data_length, std::uint64_t(100));
            QCOMPARE(parsed.first_cluster, std::uint32_t(5));
        }
    }

    void long_names_take_seventeen_entries() {
        const std::u16string name(255, u'ß');
        bytes_t set = make_set(name);
        QCOMPARE(set.size(), std::size_t(19 * 32));
        exfat::entry_set_s parsed;
        QCOMPARE(int(exfat::parse_entry_set(set.data(), set.size(), 0, &parsed)), 19);
        QVERIFY(parsed.name == name);
        // A set that claims more entries than the directory holds is not read past its end.
        QCOMPARE(int(exfat::parse_entry_set(set.data(), set.size() - 32, 0, &parsed)), 1);
    }

    void times_data() {
        QTest::addColumn<quint32>("stamp");
        QTest::addColumn<int>("increment");
        QTest::addColumn<int>("offset");
        QTest::addColumn<qint64>("ms");
        // 2024-01-02 03:04:06: year 44, month 1, day 2, hour 3, minute 4, 3 double seconds
        const quint32 stamp = (44u << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5) | 3u;
        QTest::newRow("UTC") << stamp << 0 << 0x80 << Q_INT64_C(1704164646000);
        QTest::newRow("10 ms parts") << stamp << 199 << 0x80 << Q_INT64_C(1704164647990);
        QTest::newRow("UTC+1") << stamp << 0 << (0x80 | 4) << Q_INT64_C(1704161046000);
        QTest::newRow("UTC-5") << stamp << 0 << (0x80 | (128 - 20)) << Q_INT64_C(1704182646000);
        QTest::newRow("local (TZ=UTC)") << stamp << 0 << 0 << Q_INT64_C(1704164646000);
        QTest::newRow("month 13") << ((44u << 25) | (13u << 21) | (2u << 16)) << 0 << 0x80
                                  << Q_INT64_C(0);
        QTest::newRow("zero") << 0u << 0 << 0x80 << Q_INT64_C(0);
    }
    void times() {
        QFETCH(quint32, stamp);
        QFETCH(int, increment);
        QFETCH(int, offset);
        QFETCH(qint64, ms);
        QCOMPARE(exfat::time_to_ms(stamp, std::uint8_t(increment), std::uint8_t(offset)), ms);
    }

    void upcase_table_and_name_hash() {
        // 'a'..'z' to 'A'..'Z' after a run of 0x61 characters that map to themselves.
        bytes_t table{0xFF, 0xFF, 0x61, 0x00};
        for (char16_t c = u'A'; c <= u'Z'; ++c) {
            table.push_back(c & 0xFF);
            table.push_back(0);
        }
        exfat::upcase_table_c upcase;
        QVERIFY(upcase.load(table.data(), table.size()));
        QVERIFY(upcase.up(u"abc-z{ü") == u"ABC-Z{ü");
        QVERIFY(!upcase.load(table.data(), table.size() - 1));  // odd length
        QCOMPARE(exfat::name_hash(u"ABC"), exfat::name_hash(upcase.up(u"abc")));
        QVERIFY(exfat::name_hash(u"ABC") != exfat::name_hash(u"ABD"));
    }

    // Volumes written by the corpus script from the published layout.
    void crafted_volumes_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<bool>("chain_flagged");  // chained.bin is possibly overwritten
        QTest::newRow("intact chain") << "plain" << false;
        QTest::newRow("cleared chain") << "cleared" << true;
        QTest::newRow("root chain loops") << "loop" << false;
    }
    void crafted_volumes() {
        QFETCH(QString, variant);
        QFETCH(bool, chain_flagged);
        const QByteArray image = crafted(variant);
        QVERIFY(!image.isEmpty());
        exfat_recovery_c engine;
        engine.scan_reader(reader_over(image), std::uint64_t(image.size()));
        QVERIFY(engine.get_error_text().isEmpty());
        QHash<QString, std::uint64_t> found;
        for (auto it = engine.nodes().cbegin(); it != engine.nodes().cend(); ++it) {
            if (it.key() != 0) {
                found.insert(path_of(engine, it.key()), it.key());
            }
        }
        QStringList paths = found.keys();
        paths.sort();
        const QString inner = "/Ordner/inner " + QString(20, QChar(0xFC)) + ".dat";
        QCOMPARE(paths, QStringList({"/Ordner", inner, "/chained.bin", "/gone.txt"}));
        QVERIFY(engine.nodes()[found["/Ordner"]].attributes & exfat_attr_deleted);
        QVERIFY(engine.nodes()[found[inner]].in_deleted_folder);
        QCOMPARE(bool(engine.nodes()[found["/chained.bin"]].overwritten), chain_flagged);
        QVERIFY(!engine.nodes()[found["/gone.txt"]].overwritten);
        QVERIFY(engine.nodes()[0].has_files);

        QByteArray bytes;
        const auto sink = [&bytes](const char* data, std::size_t length) {
            bytes.append(data, qsizetype(length));
            return true;
        };
        QCOMPARE(engine.write_file(found["/gone.txt"], sink), 0);
        QCOMPARE(bytes, QByteArray(700, 'g'));
        QVERIFY(!engine.last_restore_overwritten());
        bytes.clear();
        QCOMPARE(engine.write_file(found["/chained.bin"], sink), 0);
        QCOMPARE(bytes.size(), 1400);
        QCOMPARE(engine.last_restore_overwritten(), chain_flagged);
        QCOMPARE(engine.write_file(found["/Ordner"], sink), -1);  // a folder has no bytes
    }

    void damaged_volumes_data() {
        QTest::addColumn<int>("damage");
        QTest::addColumn<bool>("opens");
        QTest::newRow("main boot checksum broken, backup sound") << 0 << true;
        QTest::newRow("both boot regions broken") << 1 << false;
        QTest::newRow("cut inside the boot region") << 2 << false;
        QTest::newRow("bitmap entry gone") << 3 << true;
        QTest::newRow("cluster count past the device") << 4 << true;
        QTest::newRow("up-case table checksum wrong") << 5 << true;
    }
    void damaged_volumes() {
        QFETCH(int, damage);
        QFETCH(bool, opens);
        QByteArray image = crafted("plain");
        const int root = (32 + 4 - 2) * 512;
        switch (damage) {
            case 0:
                image[100] = char(image[100] ^ 0x55);
                break;
            case 1:
                image[100] = char(image[100] ^ 0x55);
                image[12 * 512 + 100] = char(image[12 * 512 + 100] ^ 0x55);
                break;
            case 2:
                image.truncate(5000);
                break;
            case 3:
                image[root + 32] = 0;  // the bitmap entry
                break;
            case 4:
                // A boot region claiming 10x the clusters over a device of the original size;
                // the checksum is made again so that only the count is wrong.
                for (int base : {0, 12 * 512}) {
                    QByteArray region = image.mid(base, 12 * 512);
                    region[0x48] = char(0x80), region[0x49] = 2;  // volume length 640 sectors
                    region[0x5C] = char(600 & 0xFF), region[0x5D] = char(600 >> 8);
                    region[0x54] = 5;  // FAT length: 5 sectors
                    const std::uint32_t sum = exfat::boot_checksum(
                        reinterpret_cast<const std::uint8_t*>(region.constData()), 512);
                    for (int i = 0; i < 512; i += 4) {
                        std::memcpy(region.data() + 11 * 512 + i, &sum, 4);
                    }
                    image.replace(base, region.size(), region);
                }
                break;
            case 5:
                image[root + 64 + 4] = char(image[root + 64 + 4] ^ 1);  // up-case entry 0x04
                break;
        }
        exfat::exfat_volume_c volume;
        const int opened = volume.open(reader_over(image), std::uint64_t(image.size()));
        QCOMPARE(opened == exfat::open_ok, opens);
        if (!opens) {
            exfat_recovery_c engine;
            engine.scan_reader(reader_over(image), std::uint64_t(image.size()));
            QVERIFY(!engine.get_error_text().isEmpty());
            QCOMPARE(engine.nodes().size(), 1);  // the root only
            return;
        }
        QCOMPARE(volume.used_backup_boot(), damage == 0);
        QCOMPARE(volume.bitmap_loaded(), damage != 3 && damage != 4);
        QCOMPARE(volume.upcase_loaded(), damage != 5);
        exfat_recovery_c engine;
        engine.scan_reader(reader_over(image), std::uint64_t(image.size()));
        for (auto it = engine.nodes().cbegin(); it != engine.nodes().cend(); ++it) {
            if (it.key() != 0 && !(it->attributes & exfat::attr_directory) &&
                (damage == 3 || damage == 4)) {
                QVERIFY2(it->overwritten, qPrintable(it->name));  // no bitmap: nothing is sure
            }
        }
        QVERIFY(engine.nodes().size() > 1);
    }

    void stop_before_the_walk_keeps_the_root() {
        const QByteArray image = crafted("plain");
        exfat_recovery_c engine;
        engine.set_stop(stop_keep);
        engine.scan_reader(reader_over(image), std::uint64_t(image.size()));
        QCOMPARE(engine.nodes().size(), 1);
    }

    // The volumes exfat-fuse wrote, through the session as the program scans them.
    void fuse_volumes_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("chained");  // manifest status of frag.bin's expectations
        QTest::newRow("4 KiB clusters") << "exfat/exfat4k"
                                        << "flagged";
        QTest::newRow("128 KiB clusters") << "exfat/exfat128k"
                                          << "flagged";
        QTest::newRow("MBR partition at sector 2048") << "exfat/exfat_mbr"
                                                      << "flagged";
        QTest::newRow("cleared chains written back") << "exfat/exfat4k_chain"
                                                     << "followed";
        QTest::newRow("main boot region damaged") << "exfat/exfat4k_backup"
                                                  << "flagged";
    }
    void fuse_volumes() {
        QFETCH(QString, image);
        QFETCH(QString, chained);
        if (!fixture_exists(image + ".img")) {
            QSKIP("the exFAT fixtures were not unpacked (tests/fixtures/unpack_exfat_scan.sh)");
        }
        std::uint64_t df_free = 0;
        const auto expected = read_manifest(fixture_path(image + ".manifest"), &df_free);
        QVERIFY(!expected.isEmpty() && df_free > 0);
        use_images({fixture_path(image + ".img")});
        enumerate_volumes();
        QCOMPARE(int(volume_list.size()), 2);
        const volume_item_s target = volume_list[1];
        QCOMPARE(target.file_system, QStringLiteral("exFAT"));
        std::uint64_t free_bytes = 0;
        QVERIFY(read_volume_free_bytes(target.volume_name, target.file_system, &free_bytes));
        QCOMPARE(free_bytes, df_free);

        scan_session_c session;
        QCOMPARE(session.start(target, false), 0);
        QCOMPARE(session.engine_kind(), engine_exfat);
        QVERIFY(session.current()->wait(60000));
        session.on_thread_finished();
        QVERIFY(session.has_results());
        exfat_recovery_c& engine = session.exfat_engine();
        QVERIFY(engine.get_error_text().isEmpty());
        QHash<QString, std::uint64_t> files;
        for (auto it = engine.nodes().cbegin(); it != engine.nodes().cend(); ++it) {
            if (it.key() != 0 && !(it->attributes & exfat::attr_directory)) {
                const QString path = path_of(engine, it.key());
                QVERIFY2(expected.value(path).first.startsWith("deleted"), qPrintable(path));
                files.insert(path, it.key());
            }
        }
        QTemporaryDir out;
        int restored = 0;
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QByteArray status = it.value().first;
            if (!status.startsWith("deleted")) {
                continue;
            }
            QVERIFY2(files.contains(it.key()), qPrintable(it.key()));
            const exfat_node& node = engine.nodes()[files[it.key()]];
            const QString to = out.filePath(QString::number(restored++));
            const int result = engine.restore_file(node.key, to);
            if (status == "deleted-overwritten") {
                QVERIFY(node.overwritten);
                continue;
            }
            QCOMPARE(result, 0);
            QVERIFY2(sha256_of_file(to) == it.value().second, qPrintable(it.key()));
            const bool flagged = status == "deleted-chained" && chained == "flagged";
            QVERIFY2(bool(node.overwritten) == flagged, qPrintable(it.key()));
            QCOMPARE(engine.last_restore_overwritten(), flagged);
            QString path;
            QCOMPARE(engine.get_file_path(node.key, &path), 0);
            QVERIFY(path.endsWith(it.key()));
        }
        QCOMPARE(restored, 16);
    }
};

QTEST_GUILESS_MAIN(test_exfat_engine)
#include "test_exfat_engine.moc"
