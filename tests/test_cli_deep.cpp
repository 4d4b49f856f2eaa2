// The orvane tool's deep scan as a user runs it: listing by type, saving the scan, and
// restoring from the saved scan into one folder per type.
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "engine/scan_session.h"
#include "result/file_list.h"
#include "test_support.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

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

class test_cli_deep : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() {
        QVERIFY(temp.isValid());
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
    }

    // scan --deep --save, then restore --from: every file comes back byte for byte, in a
    // folder named after its type, named "%08llu.type".
    void save_and_restore_from_the_scan_file() {
        const QString sav = temp.filePath("raw.sav");
        QByteArray out, err;
        QCOMPARE(
            run_orvane({"scan", "--deep", "--json", "--save", sav, fixture_path("raw/raw.img")},
                       &out, &err),
            0);
        QVERIFY2(!err.contains("no partition table"), err.constData());
        QFile manifest(fixture_path("raw/raw.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QMap<qint64, QList<QByteArray>> expected;  // offset: sha256, type
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const auto f = line.split(' ');
            if (f.size() == 5) {
                expected.insert(f[0].toLongLong(), {f[2], f[3]});
            }
        }
        const auto lines = out.trimmed().split('\n');
        QCOMPARE(lines.size(), expected.size());
        // the records, a unit of marks per 16 records, the files' names and dates (a unit that
        // says they follow, then three or more units for each file that has any), then the
        // two units that tie the file to the image
        QFile saved(sav);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray data = saved.readAll();
        QCOMPARE((data.size() - 256) % 32, qsizetype(0));
        QMap<QByteArray, int> units;
        int listed = 0;
        for (qsizetype at = 256; at < data.size(); at += 32) {
            if (data.mid(at, 8) == QByteArray(8, '\xff')) {
                ++units[data.mid(at + 24, 8)];
            } else {
                ++listed;
            }
        }
        QCOMPARE(listed, expected.size());
        QCOMPARE(units.value(QByteArray("\0ORVLVL1", 8)), int((expected.size() + 15) / 16));
        QCOMPARE(units.value(QByteArray("\0ORVMET0", 8)), 1);
        QCOMPARE(units.value(QByteArray("\0ORVMTD1", 8)), units.value(QByteArray("\0ORVMTA1", 8)));
        QCOMPARE(data.mid(data.size() - 64 + 24, 8), QByteArray("\0ORVVOL1", 8));
        QCOMPARE(data.mid(data.size() - 32 + 24, 8), QByteArray("\0ORVVOL2", 8));
        const QString to = temp.filePath("restored");
        // the whole image is not a listed volume: it is named with --image
        QCOMPARE(run_orvane({"restore", "--from", sav, "--to", to}, &out, &err), 2);
        QVERIFY2(err.contains("is not present"), err.constData());
        QCOMPARE(run_orvane(
                     {"restore", "--from", sav, "--image", fixture_path("raw/raw.img"), "--to", to},
                     &out, &err),
                 0);
        for (const QByteArray& line : lines) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            const auto want = expected.value(row["offset"].toInteger());
            QCOMPARE(row["type"].toString().toLatin1(), want.value(1));
            const QString name = QStringLiteral("%1.%2")
                                     .arg(row["key"].toInteger(), 8, 10, QLatin1Char('0'))
                                     .arg(row["type"].toString());
            QCOMPARE(row["name"].toString(), name);
            const QString file = to + '/' + row["type"].toString() + '/' + name;
            QVERIFY2(QFileInfo::exists(file), qPrintable(file));
            QCOMPARE(sha256_of_file(file), want.value(0));
        }
    }

    // Any volume takes a deep scan: the FAT volume of a partitioned image.
    void deep_scan_of_a_partition() {
        if (!fixture_exists("fat/fat16.img")) {
            QSKIP("fixture fat/fat16.img missing");
        }
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--deep", fixture_path("fat/fat16.img")}, &out, &err), 0);
        QVERIFY2(err.contains("files found in"), err.constData());
    }

    void refusals_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("code");
        QTest::newRow("save without deep")
            << QStringList{"scan", "--save", "x.sav", "img"} << QByteArray("--save goes with") << 2;
        QTest::newRow("from with a target")
            << QStringList{"restore", "--from", "x.sav", "--to", "d", "img"}
            << QByteArray("no TARGET") << 2;
        QTest::newRow("no scan file")
            << QStringList{"restore", "--from", "/nonexistent.sav", "--to", "d"}
            << QByteArray("no scan file") << 2;
    }
    void refusals() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        QFETCH(int, code);
        QByteArray out, err;
        QCOMPARE(run_orvane(arguments, &out, &err), code);
        QVERIFY2(err.contains(message), err.constData());
    }

    // A file that is not a scan file, and one whose volume is gone, are refused in words.
    void unusable_scan_files() {
        const QString junk = temp.filePath("junk.sav");
        QVERIFY(write_file(junk, QByteArray(300, 'x')));
        QByteArray out, err;
        QCOMPARE(run_orvane({"restore", "--from", junk, "--to", temp.filePath("j")}, &out, &err),
                 2);
        QVERIFY2(err.contains("is not a scan file"), err.constData());
        const QString gone = temp.filePath("gone.sav");
        QVERIFY(write_file(gone, scan_file("/nonexistent/disk.img", {record(0, 0, 10, "jpg")})));
        QCOMPARE(run_orvane({"restore", "--from", gone, "--to", temp.filePath("g")}, &out, &err),
                 2);
        QVERIFY2(err.contains("is not present"), err.constData());
    }

    // The signature folders: "/" lists nothing, each type lists its records by index; an
    // index beyond the table (a damaged scan file) is skipped.
    void signature_folders_and_files() {
        const QString image = fixture_path("raw/raw.img");
        use_images({image});
        volume_item_s volume;
        volume.device_name = volume.volume_name = QFileInfo(image).canonicalFilePath();
        volume.total_bytes = static_cast<std::uint64_t>(QFileInfo(image).size());
        const QString sav = temp.filePath("lists.sav");
        QVERIFY(write_file(sav, scan_file(volume.volume_name.toLocal8Bit(),
                                          {record(0, 0, 1, "jpg"), record(1, 512, 2, "png"),
                                           record(123456789, 1024, 3, "jpg"),
                                           record(3, 0, 4, "abcdefgh"), record(4, 0, 5, "tif")})));
        scan_session_c session;
        session.trust_unbound_scan_files(true);  // a hand-made file, without the trailer
        QCOMPARE(session.resume_scan_file(sav, {volume}), 0);
        // the index beyond the table and the type no scan reports are left out
        QCOMPARE(session.raw_engine().refused_records(), std::size_t(2));
        QCOMPARE(int(session.engine_kind()), int(engine_signature));
        const auto folders = list_result_folders(session.current(), engine_signature);
        QStringList paths;
        for (const auto& f : folders) {
            paths << f.path;
        }
        QCOMPARE(paths, (QStringList{"/", "/jpg", "/png", "/tif"}));
        std::vector<recovery_item_s> files;
        fill_file_list(files, session.current(), engine_signature, folders[0].ref);
        QVERIFY(files.empty());
        fill_file_list(files, session.current(), engine_signature, folders[1].ref);
        QCOMPARE(files.size(), std::size_t(1));  // index 123456789 lies beyond the table
        QCOMPARE(files[0].name, QStringLiteral("00000000.jpg"));
        QCOMPARE(files[0].file_key, std::uint64_t(0));
        QCOMPARE(files[0].size, std::uint64_t(1));
        fill_file_list(files, session.current(), engine_signature, folders[3].ref);
        QCOMPARE(files.size(), std::size_t(1));
        QCOMPARE(files[0].name, QStringLiteral("00000004.tif"));
        QCOMPARE(files[0].file_key, std::uint64_t(4));
    }

    // Names from titles: a second file of a title gets " (2)", a third " (3)", whatever the
    // case, counted per title; a title that reads like a numbered name given before, or like
    // a name made from another title, steps past it.
    void names_from_titles_data() {
        QTest::addColumn<QStringList>("titles");  // "" for a file without a title
        QTest::addColumn<QStringList>("names");
        QTest::newRow("untitled") << QStringList{"", ""}
                                  << QStringList{"00000000.png", "00000001.png"};
        QTest::newRow("one title thrice")
            << QStringList{"Holiday", "Holiday", "holiday"}
            << QStringList{"Holiday.png", "Holiday (2).png", "holiday (3).png"};
        QTest::newRow("a title like a numbered name")
            << QStringList{"", "00000000", "00000000"}
            << QStringList{"00000000.png", "00000000 (2).png", "00000000 (3).png"};
        QTest::newRow("a title like a made name")
            << QStringList{"a", "a (2)", "a"} << QStringList{"a.png", "a (2).png", "a (3).png"};
        QStringList many(300, QStringLiteral("Scan"));
        QStringList numbered{"Scan.png"};
        for (int n = 2; n <= 300; ++n) {
            numbered << QStringLiteral("Scan (%1).png").arg(n);
        }
        QTest::newRow("300 of one title") << many << numbered;
    }
    void names_from_titles() {
        QFETCH(QStringList, titles);
        QFETCH(QStringList, names);
        const QString image = temp.filePath("titled.img");
        QByteArray bytes(4096 * titles.size(), '\0');
        QList<signature_record> records;
        for (int i = 0; i < titles.size(); ++i) {
            const QByteArray png = titled_png(titles[i].toLatin1());
            bytes.replace(4096 * i, png.size(), png);
            records << record(static_cast<std::uint64_t>(i), 4096 * static_cast<std::uint64_t>(i),
                              static_cast<std::uint64_t>(png.size()), "png");
        }
        QVERIFY(write_file(image, bytes));
        use_images({image});
        volume_item_s volume;
        volume.device_name = volume.volume_name = QFileInfo(image).canonicalFilePath();
        volume.total_bytes = static_cast<std::uint64_t>(bytes.size());
        const QString sav = temp.filePath("titled.sav");
        QVERIFY(write_file(sav, scan_file(volume.volume_name.toLocal8Bit(), records)));
        scan_session_c session;
        session.trust_unbound_scan_files(true);  // a hand-made file, without the trailer
        QCOMPARE(session.resume_scan_file(sav, {volume}), 0);
        const auto folders = list_result_folders(session.current(), engine_signature);
        QCOMPARE(folders.size(), std::size_t(2));
        std::vector<recovery_item_s> files;
        fill_file_list(files, session.current(), engine_signature, folders[1].ref);
        QStringList got;
        for (const recovery_item_s& file : files) {
            got << file.name;
        }
        QCOMPARE(got, names);
        const file_totals_s totals =
            count_file_list(session.current(), engine_signature, folders[1].ref);
        QCOMPARE(totals.files, static_cast<std::int64_t>(titles.size()));
        std::uint64_t bytes_listed = 0;
        for (const recovery_item_s& file : files) {
            bytes_listed += file.size;
        }
        QCOMPARE(totals.bytes, bytes_listed);
    }
};

QTEST_GUILESS_MAIN(test_cli_deep)
#include "test_cli_deep.moc"
