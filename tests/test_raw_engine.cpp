// The deep-scan engine and its signature library: finding real files by content, restoring
// them byte for byte, the scan block's pause and stop, and the scan file.
#include "bytes_view.h"
#include "device/platform/platform_device.h"
#include "engine/raw/raw_recovery.h"
#include "engine/raw/sig_config.h"
#include "engine/raw/sig_format.h"
#include "engine/scan_session.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

#include <cstring>

namespace {

// A RAR 5 header block: CRC32, size, then the fields (type, flags, ...), all given as bytes.
QByteArray rar5_block(const QByteArray& fields) {
    QByteArray sized = QByteArray(1, static_cast<char>(fields.size())) + fields;
    const auto crc = static_cast<std::uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(sized.constData()), static_cast<uInt>(sized.size())));
    return QByteArray(reinterpret_cast<const char*>(&crc), 4) + sized;
}

struct manifest_entry_s {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    QByteArray sha256;
    QByteArray type;
    QString name;
};

QList<manifest_entry_s> read_manifest(const QString& path) {
    QList<manifest_entry_s> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return entries;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 5) {
            entries.append(
                {f[0].toULongLong(), f[1].toULongLong(), f[2], f[3], QString::fromUtf8(f[4])});
        }
    }
    return entries;
}

// Runs a deep scan of the volume to its end.
void scan(raw_recovery_c* engine, const volume_item_s& target) {
    engine->reset();
    engine->set_target(target);
    engine->start();
    QVERIFY(engine->wait(120000));
}

volume_item_s image_volume(const QString& path) {
    use_images({path});
    volume_item_s target;
    target.device_name = target.volume_name = target.path = QFileInfo(path).canonicalFilePath();
    target.partition_number = 0;
    target.disk_number = 0;
    return target;
}

// A scan file's bytes: the header text, then records (index, offset, size, 8-byte type).
QByteArray scan_file(const QByteArray& device, const QList<signature_record>& records) {
    QByteArray data(256, '\0');
    std::memcpy(data.data(), device.constData(), static_cast<std::size_t>(device.size()));
    for (const signature_record& r : records) {
        data.append(reinterpret_cast<const char*>(&r), 32);
    }
    return data;
}

signature_record record(std::uint64_t index, std::uint64_t offset, std::uint64_t size,
                        const char* type) {
    signature_record r;
    r.index = index;
    r.offset = offset;
    r.size = size;
    std::memcpy(r.type, type, std::min<std::size_t>(8, std::strlen(type)));
    return r;
}

bool write_file(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

}  // namespace

class test_raw_engine : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() { QVERIFY(temp.isValid()); }

    // Every file of the fixture is found at its offset with its type and exact size, nothing
    // else is found (the decoy headers in the filler lead nowhere), and each restores byte
    // for byte.
    void fixture_files_are_found_and_restored() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        const auto manifest = read_manifest(fixture_path("raw/raw.manifest"));
        QVERIFY(manifest.size() >= 30);
        raw_recovery_c engine;
        scan(&engine, image_volume(fixture_path("raw/raw.img")));
        QCOMPARE(engine.get_progress(), 1.0);
        QStringList problems;
        QMap<std::uint64_t, signature_record> found;
        for (const signature_record& r : engine.records()) {
            found.insert(r.offset, r);
        }
        for (const manifest_entry_s& e : manifest) {
            auto hit = found.find(e.offset);
            if (hit == found.end()) {
                problems
                    << QStringLiteral("%1 (%2) at %3 not found").arg(e.name, e.type).arg(e.offset);
                continue;
            }
            const signature_record r = hit.value();
            found.erase(hit);
            if (record_type(r) != e.type || r.size != e.size) {
                problems << QStringLiteral("%1: found as %2 of %3 bytes, is %4 of %5")
                                .arg(e.name, QString::fromLatin1(record_type(r)))
                                .arg(r.size)
                                .arg(QString::fromLatin1(e.type))
                                .arg(e.size);
                continue;
            }
            const QString out = temp.filePath(e.name);
            if (engine.restore_file(r.index, out) != 0 || sha256_of_file(out) != e.sha256) {
                problems << QStringLiteral("%1: not restored byte for byte").arg(e.name);
            }
        }
        for (const signature_record& r : found) {
            problems << QStringLiteral("unexpected %1 of %2 bytes at %3")
                            .arg(QString::fromLatin1(record_type(r)))
                            .arg(r.size)
                            .arg(r.offset);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        // One folder per type, the indexes in the order found.
        qsizetype listed = 0;
        for (auto it = engine.type_index().cbegin(); it != engine.type_index().cend(); ++it) {
            for (std::uint64_t index : it.value()) {
                QCOMPARE(record_type(engine.records()[index]), it.key());
            }
            listed += it.value().size();
        }
        QCOMPARE(listed, qsizetype(engine.records().size()));
    }

    // Files that straddle the boundaries of the reader's blocks (1 MiB) are found whole: the
    // fixture's files laid across the first boundary and again across the second.
    void files_across_read_blocks() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        QFile fixture(fixture_path("raw/raw.img"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        const QByteArray files = fixture.readAll();
        const auto manifest = read_manifest(fixture_path("raw/raw.manifest"));
        constexpr qsizetype block = 8 * 1024 * 1024;
        const qsizetype starts[2] = {block - 10240, 2 * block - files.size() / 2 / 512 * 512};
        auto bytes = std::make_shared<QByteArray>(3 * block, '\0');
        for (qsizetype start : starts) {
            bytes->replace(start, files.size(), files);
        }
        raw_recovery_c engine;
        scan(&engine, memory_volume("blocks", bytes, QString()));
        QSet<std::uint64_t> found;
        for (const signature_record& r : engine.records()) {
            found.insert(r.offset);
        }
        QCOMPARE(engine.records().size(), std::size_t(2 * manifest.size()));
        for (qsizetype start : starts) {
            for (const manifest_entry_s& e : manifest) {
                QVERIFY2(found.contains(start + e.offset), qPrintable(e.name));
            }
        }
    }

    // Restores copy exactly the record's bytes from its offset, whatever its alignment; a
    // record of a loaded scan file whose bytes are not a file of its type (here: no BMP
    // header there) is refused.
    void restore_copies_exact_bytes_data() {
        QTest::addColumn<quint64>("offset");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<int>("result");
        QTest::newRow("unaligned") << quint64(1000) << quint64(3000) << 0;
        QTest::newRow("aligned") << quint64(4096) << quint64(8192) << 0;
        QTest::newRow("empty") << quint64(700) << quint64(0) << -1;
        QTest::newRow("last byte") << quint64(65535) << quint64(1) << -1;
        QTest::newRow("runs past the end") << quint64(60000) << quint64(8000) << -1;
        QTest::newRow("starts past the end") << quint64(70000) << quint64(10) << -1;
    }
    void restore_copies_exact_bytes() {
        QFETCH(quint64, offset);
        QFETCH(quint64, size);
        QFETCH(int, result);
        auto bytes = std::make_shared<QByteArray>(65536, '\0');
        for (int i = 0; i < bytes->size(); ++i) {
            (*bytes)[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        }
        if (result == 0) {
            // A BMP of one pixel whose header says it is size bytes long.
            QByteArray header(54, '\0');
            auto put32 = [&](int at, std::uint32_t v) { std::memcpy(header.data() + at, &v, 4); };
            header[0] = 'B';
            header[1] = 'M';
            put32(2, static_cast<std::uint32_t>(size));
            put32(10, 54);
            put32(14, 40);
            put32(18, 1);
            put32(22, 1);
            put32(26, 1 | 24 << 16);  // one plane, 24 bits
            bytes->replace(static_cast<qsizetype>(offset), 54, header);
        }
        const volume_item_s target = memory_volume("exact", bytes, QString());
        const QString sav = temp.filePath("exact.sav");
        QVERIFY(write_file(sav, scan_file("mem:exact", {record(0, offset, size, "bmp")})));
        raw_recovery_c engine;
        engine.set_target(target);
        QCOMPARE(engine.read_scan_file(sav), QStringLiteral("mem:exact"));
        const QString out = temp.filePath("exact.bin");
        QCOMPARE(engine.restore_file(0, out), result);
        if (result == 0) {
            QFile restored(out);
            QVERIFY(restored.open(QIODevice::ReadOnly));
            QCOMPARE(restored.readAll(),
                     bytes->mid(static_cast<qsizetype>(offset), static_cast<qsizetype>(size)));
        }
        QCOMPARE(engine.restore_file(1, out), -1);  // no such record
        QCOMPARE(engine.restore_file(0, temp.filePath("missing/folder/x.bin")), -1);
    }

    // A WAV file of more than 2 GiB in a sparse image: found with its size (the scan skips its
    // data) and restored in full.
    void file_over_2_gib_is_restored_in_full() {
        const QString image = temp.filePath("big.img");
        const std::uint64_t data_bytes = 2'200'000'000ull;
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            const QByteArray header = wav_header(static_cast<std::uint32_t>(data_bytes));
            QVERIFY(file.seek(4096));
            QVERIFY(file.write(header) == 44);
            QVERIFY(file.seek(4096 + 44 + data_bytes - 4));
            QVERIFY(file.write("tail", 4) == 4);
            QVERIFY(file.resize(4096 + 44 + data_bytes + 1024 * 1024));
        }
        raw_recovery_c engine;
        scan(&engine, image_volume(image));
        QCOMPARE(engine.records().size(), std::size_t(1));
        const signature_record r = engine.records().front();
        QCOMPARE(record_type(r), QByteArray("wav"));
        QCOMPARE(r.offset, std::uint64_t(4096));
        QCOMPARE(r.size, 44 + data_bytes);
        const QString out = temp.filePath("big.wav");
        QCOMPARE(engine.restore_file(0, out), 0);
        QFile restored(out);
        QCOMPARE(std::uint64_t(restored.size()), 44 + data_bytes);
        QVERIFY(restored.open(QIODevice::ReadOnly));
        QVERIFY(restored.seek(static_cast<qint64>(44 + data_bytes - 4)));
        QCOMPARE(restored.read(4), QByteArray("tail"));
        restored.close();
        QFile::remove(out);
        QFile::remove(image);
    }

    // Pause holds the library where it is; stop ends it within a fraction of a second.
    void pause_and_stop_reach_the_library() {
        const QString image = temp.filePath("large.img");
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(64ll * 1024 * 1024 * 1024));  // sparse: reads as zeros
        }
        raw_recovery_c engine;
        engine.reset();
        engine.set_target(image_volume(image));
        engine.start();
        QTest::qWait(200);
        QVERIFY(engine.isRunning());
        engine.set_pause(1);
        QTest::qWait(250);
        const double held = engine.get_progress();
        QTest::qWait(300);
        QCOMPARE(engine.get_progress(), held);
        QVERIFY(held < 1.0);
        engine.set_pause(0);
        QTest::qWait(200);
        QVERIFY(engine.get_progress() > held);
        QElapsedTimer timer;
        timer.start();
        engine.set_stop(stop_keep);
        QVERIFY(engine.wait(2000));
        QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(engine.get_stop(), stop_keep);
        QVERIFY(engine.get_progress() < 1.0);
        QFile::remove(image);
    }

    // A stop written before the scan's thread runs is not lost: the scan it was meant for
    // ends at once, by the engine's own start and through the session (whose abort may land
    // before or after the thread starts), with nothing found and no checkpoint written.
    void stop_sent_before_the_thread_starts_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("through_session");
        QTest::newRow("keep") << stop_keep << false;
        QTest::newRow("abort") << stop_abort << false;
        QTest::newRow("session abort") << stop_abort << true;
        QTest::newRow("session stop") << stop_keep << true;
    }
    void stop_sent_before_the_thread_starts() {
        QFETCH(int, code);
        QFETCH(bool, through_session);
        const QString image = temp.filePath("early.img");
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(64ll * 1024 * 1024 * 1024));  // sparse: minutes to read
        }
        const volume_item_s target = image_volume(image);
        QElapsedTimer timer;
        timer.start();
        if (through_session) {
            scan_session_c session;
            QCOMPARE(session.start(target, true), 0);
            code == stop_abort ? session.abort() : session.stop();
            QVERIFY(session.raw_engine().wait(5000));
            QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
            QVERIFY(session.raw_engine().get_progress() < 1.0);
            QVERIFY(session.raw_engine().records().empty());
        } else {
            raw_recovery_c engine;
            engine.reset();
            engine.set_target(target);
            engine.set_stop(code);
            engine.start();
            QVERIFY(engine.wait(5000));
            QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(engine.get_stop(), code);
            QCOMPARE(engine.get_progress(), 0.0);
            QVERIFY(engine.records().empty());
            // The next scan, started afresh, runs: the stop was this scan's alone.
            engine.reset();
            engine.start();
            QTest::qWait(300);
            QVERIFY(engine.isRunning());
            QVERIFY(engine.get_progress() > 0.0);
            engine.set_stop(stop_keep);
            QVERIFY(engine.wait(5000));
        }
        QFile::remove(image);
    }

    void scan_file_round_trip() {
        raw_recovery_c engine;
        QCOMPARE(engine.write_scan_file(temp.filePath("none.sav")), -1);  // no record
        QVERIFY(!QFile::exists(temp.filePath("none.sav")));
        const QString sav = temp.filePath("three.sav");
        QVERIFY(write_file(
            sav, scan_file("/dev/sdb1", {record(0, 512, 10, "jpg"), record(1, 1024, 20, "png"),
                                         record(2, 2048, 30, "jpg")})));
        QCOMPARE(engine.read_scan_file(sav), QStringLiteral("/dev/sdb1"));
        const QString again = temp.filePath("again.sav");
        QCOMPARE(engine.write_scan_file(again), 0);
        QCOMPARE(QFileInfo(again).size(), qint64(352));
        QCOMPARE(sha256_of_file(again), sha256_of_file(sav));
        QCOMPARE(engine.type_index().value("jpg"), (QList<std::uint64_t>{0, 2}));
        QCOMPARE(engine.type_index().value("png"), (QList<std::uint64_t>{1}));
        QCOMPARE(engine.type_index().size(), 2);
    }

    // The device path reads back as it was written, whatever its characters.
    void device_path_round_trip() {
        raw_recovery_c engine;
        const QString sav = temp.filePath("path.sav");
        QVERIFY(write_file(sav, scan_file("/x", {record(0, 0, 1, "jpg")})));
        QVERIFY(!engine.read_scan_file(sav).isEmpty());
        volume_item_s target;
        target.volume_name = QStringLiteral("/home/jürgen/Übersicht.img#2");
        engine.set_target(target);
        QCOMPARE(engine.write_scan_file(sav), 0);
        raw_recovery_c other;
        QCOMPARE(other.read_scan_file(sav), target.volume_name);
    }

    void eight_character_type_reads_back_exactly() {
        raw_recovery_c engine;
        const QString sav = temp.filePath("eight.sav");
        QVERIFY(write_file(
            sav, scan_file("mem:x", {record(0, 0, 1, "abcdefgh"), record(1, 0, 1, "z")})));
        QCOMPARE(engine.read_scan_file(sav), QStringLiteral("mem:x"));
        QCOMPARE(record_type(engine.records()[0]), QByteArray("abcdefgh"));
        // types that no scan reports are kept as they were read, but never listed
        QVERIFY(engine.type_index().isEmpty());
        QCOMPARE(engine.refused_records(), std::size_t(2));
    }

    // A file that is not a scan file changes nothing: not the records, not the device path.
    void invalid_scan_files_change_nothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("header only") << QByteArray(256, 'a');
        QTest::newRow("300 bytes") << QByteArray(300, 'a');
        QTest::newRow("short header") << QByteArray(100, 'a');
        QTest::newRow("one record and a half") << QByteArray(256 + 48, 'a');
        QTest::newRow("empty") << QByteArray();
    }
    void invalid_scan_files_change_nothing() {
        QFETCH(QByteArray, bytes);
        raw_recovery_c engine;
        const QString good = temp.filePath("good.sav");
        QVERIFY(write_file(good, scan_file("/dev/sdc1", {record(0, 512, 10, "gif")})));
        QCOMPARE(engine.read_scan_file(good), QStringLiteral("/dev/sdc1"));
        const QString bad = temp.filePath("bad.sav");
        QVERIFY(write_file(bad, bytes));
        QVERIFY(engine.read_scan_file(bad).isEmpty());
        QVERIFY(engine.read_scan_file(temp.filePath("no-such.sav")).isEmpty());
        QCOMPARE(engine.device_path(), QStringLiteral("/dev/sdc1"));
        QCOMPARE(engine.records().size(), std::size_t(1));
        QCOMPARE(engine.type_index().value("gif"), (QList<std::uint64_t>{0}));
    }

    // No free tool writes RAR, so these archives are laid out by hand after the RAR 5.0
    // technical note: main header, one stored file of 5 bytes, end of archive.
    void rar5_headers_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<quint64>("size");
        const QByteArray main = rar5_block(QByteArray("\x01\x00\x00", 3));
        const QByteArray file = rar5_block(QByteArray("\x02\x02\x05\x00\x05\x00\x00\x01\x01"
                                                      "a",
                                                      10)) +
                                "hello";
        const QByteArray end = rar5_block(QByteArray("\x05\x00\x00", 3));
        const QByteArray good = QByteArray("Rar!\x1a\x07\x01\x00", 8) + main + file + end;
        QTest::newRow("whole") << good + QByteArray(100, 'z') << quint64(good.size());
        QByteArray bad_crc = good;
        bad_crc[8] = static_cast<char>(bad_crc[8] ^ 1);
        QTest::newRow("damaged header") << bad_crc << quint64(0);
        QTest::newRow("no end") << good.left(good.size() - end.size()) << quint64(0);
    }
    void rar5_headers() {
        QFETCH(QByteArray, archive);
        QFETCH(quint64, size);
        bytes_view_c view(archive);
        sig::window_c window(view, 0, view.size());
        QCOMPARE(quint64(sig::measure_rar(window).size), size);
    }

    void set_target_drops_one_trailing_backslash_data() {
        QTest::addColumn<QString>("volume_name");
        QTest::addColumn<QString>("device_path");
        QTest::newRow("backslash") << "\\\\?\\Volume{1}\\"
                                   << "\\\\?\\Volume{1}";
        QTest::newRow("plain") << "/dev/sdb1"
                               << "/dev/sdb1";
        QTest::newRow("two") << "x\\\\"
                             << "x\\";
    }
    void set_target_drops_one_trailing_backslash() {
        QFETCH(QString, volume_name);
        QFETCH(QString, device_path);
        raw_recovery_c engine;
        volume_item_s target;
        target.volume_name = volume_name;
        engine.set_target(target);
        QCOMPARE(engine.device_path(), device_path);
    }

    void configuration_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("jpg_enabled");
        QTest::addColumn<quint64>("jpg_limit");
        QTest::addColumn<int>("problems");
        QTest::newRow("off") << QByteArray("jpg off\n") << false << quint64(256ull << 20) << 0;
        QTest::newRow("limit") << QByteArray("JPG on 3M # small\n") << true << quint64(3ull << 20)
                               << 0;
        QTest::newRow("bad limit")
            << QByteArray("jpg on 0\njpg off 12Q\n") << true << quint64(256ull << 20) << 2;
        QTest::newRow("unknown type")
            << QByteArray("xyz on\n\n  # only a comment\n") << true << quint64(256ull << 20) << 1;
    }
    void configuration() {
        QFETCH(QByteArray, text);
        QFETCH(bool, jpg_enabled);
        QFETCH(quint64, jpg_limit);
        QFETCH(int, problems);
        QByteArray report;
        const auto rules = sig::parse_config(text, &report);
        QCOMPARE(rules.at("jpg").enabled, jpg_enabled);
        QCOMPARE(rules.at("jpg").limit, jpg_limit);
        QCOMPARE(report.count('\n'), problems);
        QVERIFY(rules.at("png").enabled);
    }

    // The shipped configuration names only known types and parses cleanly.
    void shipped_configuration_is_clean() {
        QFile file(QStringLiteral(ORVANE_SOURCE_DIR "/data/Orvanerecovery.conf"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray report;
        sig::parse_config(file.readAll(), &report);
        QVERIFY2(report.isEmpty(), report.constData());
    }

    // A disabled type is not reported, nor a file larger than its type's limit.
    void disabled_type_is_not_reported() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        // The fixture's ttf is 334268 bytes, its otf 21176.
        sig::set_rules(sig::parse_config("jpg off\npng off\nttf on 300K\notf on 30K\n", nullptr));
        raw_recovery_c engine;
        scan(&engine, image_volume(fixture_path("raw/raw.img")));
        sig::set_rules(sig::default_rules());
        QVERIFY(!engine.type_index().contains("jpg"));
        QVERIFY(!engine.type_index().contains("png"));
        QVERIFY(engine.type_index().contains("gif"));
        QVERIFY(!engine.type_index().contains("ttf"));  // larger than its limit
        QVERIFY(engine.type_index().contains("otf"));
    }

    void loading_is_refused_while_a_scan_runs() {
        const QString image = temp.filePath("running.img");
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(64ll * 1024 * 1024 * 1024));
        }
        const QString sav = temp.filePath("other.sav");
        QVERIFY(write_file(sav, scan_file("/dev/other", {record(0, 0, 1, "jpg")})));
        raw_recovery_c engine;
        engine.set_target(image_volume(image));
        engine.start();
        QTest::qWait(100);
        QVERIFY(engine.isRunning());
        QVERIFY(engine.read_scan_file(sav).isEmpty());
        QCOMPARE(engine.device_path(), QFileInfo(image).canonicalFilePath());
        engine.set_stop(stop_abort);
        QVERIFY(engine.wait(2000));
        QFile::remove(image);
    }
};

QTEST_GUILESS_MAIN(test_raw_engine)
#include "test_raw_engine.moc"
