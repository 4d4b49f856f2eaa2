// orvane restore on crafted volumes and scan files: names that collide or run long, links
// planted in the destination, a stop half-way, a truncated NTFS image, and scan files that
// name the wrong volume or something that is not a volume at all.
#include "engine/raw/raw_recovery.h"
#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
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

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file under folder, relative path -> content hash; hidden files included.
QMap<QString, QByteArray> files_under(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), sha256_of_file(path));
    }
    return files;
}

bool any_file_under(const QString& folder) {
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    return it.hasNext();
}

}  // namespace

class test_cli_restore : public QObject {
    Q_OBJECT
    QTemporaryDir temp;
    QString image;  // a copy of the FAT16 fixture: MBR, partition 1 at byte 1 MiB

  private slots:
    void initTestCase() {
        QVERIFY(temp.isValid());
        if (!fixture_exists("fat/fat16.img") || !fixture_exists("restore/names.img")) {
            QSKIP("fixtures missing (tests/fixtures/make_fat_scan.sh, make_restore_cases.sh)");
        }
        image = temp.filePath("fat16.img");
        QVERIFY(QFile::copy(fixture_path("fat/fat16.img"), image));
        image = QFileInfo(image).canonicalFilePath();
    }

    // Names that cut to the same 255 bytes, a deleted file and a deleted folder of one name,
    // restored twice into one folder where links point elsewhere: every file comes back
    // exact under a name of its own, and nothing is written where the links point.
    void colliding_names_and_planted_links() {
        QTemporaryDir out;
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), out.filePath("cjk")));
        QVERIFY(QFile::link(elsewhere.filePath("f"), out.filePath("#ocs")));
        QByteArray stdout_text, err;
        for (int run = 0; run < 2; ++run) {
            QCOMPARE(run_orvane({"restore", "--to", out.path(), fixture_path("restore/names.img")},
                                &stdout_text, &err, 60000),
                     0);
            QVERIFY2(stdout_text.startsWith("restored 4 of 4 files, 0 failed"),
                     stdout_text.constData());
        }
        QVERIFY(
            QDir(elsewhere.path())
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
        const auto restored = files_under(out.path());
        QCOMPARE(restored.size(), 8);
        QMap<QByteArray, int> copies;
        for (const QByteArray& hash : restored) {
            ++copies[hash];
        }
        QFile manifest(fixture_path("restore/names.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        int files = 0;
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            if (!line.isEmpty()) {
                QCOMPARE(copies.value(line.split(' ').value(0)), 2);
                ++files;
            }
        }
        QCOMPARE(files, 4);
        for (auto it = restored.cbegin(); it != restored.cend(); ++it) {
            QVERIFY(QString(it.key()).section('/', -1).toUtf8().size() <= 255);
        }
    }

    // Ctrl-C and SIGTERM end a long restore within a second; the file being written is
    // removed and the summary says how far it got.
    void a_stop_leaves_no_partial_file_data() {
        QTest::addColumn<int>("signal_number");
        QTest::newRow("Ctrl-C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }
    void a_stop_leaves_no_partial_file() {
        QFETCH(int, signal_number);
        const QString big = temp.filePath("big.img");  // sparse: reads fast, holds nothing
        {
            // but for the header of a 3 GiB WAV file at its start, which the record names
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(qint64(4) << 30));
            const QByteArray header = wav_header((std::uint32_t(3) << 30) - 44);
            QVERIFY(file.seek(0) && file.write(header) == 44);
        }
        const QString sav = temp.filePath("big.sav");
        QVERIFY(write_file(sav, scan_file(QFileInfo(big).canonicalFilePath().toLocal8Bit(),
                                          {record(0, 0, qint64(3) << 30, "wav")})));
        QTemporaryDir out;
        QProcess process;
        process.start(
            qEnvironmentVariable("ORVANE_BIN") + "/orvane",
            {"restore", "--from", sav, "--trust-scan-file", "--image", big, "--to", out.path()});
        QVERIFY(process.waitForStarted());
        // Wait until the file is being written, then stop.
        QElapsedTimer wait;
        wait.start();
        while (!any_file_under(out.path()) && wait.elapsed() < 30000) {
            QVERIFY(process.state() == QProcess::Running);
            QTest::qWait(10);
        }
        QVERIFY(any_file_under(out.path()));
        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(process.processId()), signal_number);
        QVERIFY(process.waitForFinished(10000));
        qInfo("orvane stopped the restore %lld ms after the signal", clock.elapsed());
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(err.contains("restore interrupted after 0 of 1 files"), err.constData());
        QVERIFY2(process.readAllStandardOutput().startsWith("restored 0 of 1 files"),
                 err.constData());
        QVERIFY(files_under(out.path()).isEmpty());
        QFile::remove(big);
    }

    // A scan file in the plain layout (trusted by the user) restores only from the volume it
    // names exactly, only when that volume holds every record, and only a record whose bytes
    // are of its type: exact bytes, or a refusal. A JPEG of the raw fixture is laid where the
    // records that restore point.
    void scan_files_name_one_volume_data() {
        QTest::addColumn<QString>("device");  // "IMG" stands for the image's path
        QTest::addColumn<quint64>("offset");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<quint64>("volume_start");  // where the bytes come from, or ~0: refused
        QTest::addColumn<QByteArray>("words");
        const quint64 refused = ~quint64(0);
        const quint64 jpeg = 0;  // the size of the JPEG laid there
        QTest::newRow("whole image")
            << "IMG" << quint64(4096) << jpeg << quint64(0) << QByteArray("restored 1 of 1");
        QTest::newRow("its partition") << "IMG#1" << quint64(8 << 20) << jpeg << quint64(1 << 20)
                                       << QByteArray("restored 1 of 1");
        QTest::newRow("not of its type") << "IMG" << quint64(0) << quint64(1536) << quint64(1)
                                         << QByteArray("do not begin a jpg");
        QTest::newRow("record past the partition")
            << "IMG#1" << quint64(32 << 20) - 100 << quint64(1000) << refused
            << QByteArray("smaller than the scan's records");
        QTest::newRow("size 2^40") << "IMG" << quint64(0) << (quint64(1) << 40) << refused
                                   << QByteArray("smaller than the scan's records");
        QTest::newRow("a regular file")
            << "SECRET" << quint64(0) << quint64(10) << refused << QByteArray("is not present");
        QTest::newRow("/dev/zero")
            << "/dev/zero" << quint64(0) << quint64(10) << refused << QByteArray("is not present");
        QTest::newRow("a missing device")
            << "/dev/sdz9" << quint64(0) << quint64(10) << refused << QByteArray("is not present");
    }
    void scan_files_name_one_volume() {
        QFETCH(QString, device);
        QFETCH(quint64, offset);
        QFETCH(quint64, size);
        QFETCH(quint64, volume_start);
        QFETCH(QByteArray, words);
        const QString secret = temp.filePath("secret.txt");
        QVERIFY(write_file(secret, "not for restoring"));
        const QString placed = temp.filePath("placed.img");
        QFile::remove(placed);
        QVERIFY(QFile::copy(image, placed));
        if (size == 0) {
            if (!fixture_exists("raw/raw.img")) {
                QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
            }
            const QByteArray jpeg = read_file(fixture_path("raw/raw.img")).mid(2048, 8798);
            QVERIFY(jpeg.startsWith("\xFF\xD8\xFF"));
            QFile file(placed);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(qint64(volume_start + offset)) &&
                    file.write(jpeg) == jpeg.size());
            size = quint64(jpeg.size());
        }
        const QString volume = QFileInfo(placed).canonicalFilePath();
        device.replace("IMG", volume).replace("SECRET", secret);
        const QString sav = temp.filePath("plain.sav");
        QVERIFY(write_file(sav, scan_file(device.toLocal8Bit(), {record(0, offset, size, "jpg")})));
        QTemporaryDir out;
        QByteArray stdout_text, err;
        const int code = run_orvane(
            {"restore", "--from", sav, "--trust-scan-file", "--image", volume, "--to", out.path()},
            &stdout_text, &err);
        QVERIFY2((stdout_text + err).contains(words), (stdout_text + err).constData());
        if (volume_start == ~quint64(0)) {
            QCOMPARE(code, 2);
            QVERIFY(files_under(out.path()).isEmpty());
            return;
        }
        if (volume_start == 1) {
            QCOMPARE(code, 1);  // loaded, but the record is refused
            QVERIFY(files_under(out.path()).isEmpty());
            return;
        }
        QCOMPARE(code, 0);
        const auto files = files_under(out.path());
        QCOMPARE(files.size(), 1);
        const QByteArray bytes = read_file(out.filePath(files.firstKey()));
        QCOMPARE(bytes, read_file(placed).mid(qsizetype(volume_start + offset), qsizetype(size)));
    }

    // A scan file this program saved carries its volume's identity: it restores from that
    // volume, leaves out a record that runs past it, and refuses a volume of the same name
    // whose first sector changed.
    void saved_scan_files_are_bound() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        const QString image = temp.filePath("raw.img");
        QFile::remove(image);
        QVERIFY(QFile::copy(fixture_path("raw/raw.img"), image));
        const QString sav = temp.filePath("bound.sav");
        QByteArray stdout_text, err;
        QCOMPARE(run_orvane({"scan", "--deep", "--save", sav, image}, &stdout_text, &err, 120000),
                 0);
        QByteArray data = read_file(sav);
        QVERIFY(data.size() >= 256 + 3 * 32);
        // the records, less the units this program adds (index ~0: marks, names and dates,
        // the volume's two)
        qsizetype records = 0;
        for (qsizetype at = 256; at < data.size(); at += 32) {
            records += data.mid(at, 8) != QByteArray(8, '\xff') ? 1 : 0;
        }
        QVERIFY(records >= 1);
        QTemporaryDir out;
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", image, "--to", out.path()},
                            &stdout_text, &err),
                 0);
        QVERIFY2(stdout_text.startsWith(QString("restored %1 of %1").arg(records).toUtf8()),
                 stdout_text.constData());

        // one more record, past the end of the image, before the trailer
        const signature_record past =
            record(quint64(records), quint64(QFileInfo(image).size()) - 50, 100, "jpg");
        data.insert(data.size() - 64, reinterpret_cast<const char*>(&past), 32);
        const QString longer = temp.filePath("longer.sav");
        QVERIFY(write_file(longer, data));
        QTemporaryDir out2;
        QCOMPARE(run_orvane({"restore", "--from", longer, "--image", image, "--to", out2.path()},
                            &stdout_text, &err),
                 0);
        QVERIFY2(err.contains("1 records of the scan file were left out"), err.constData());
        QCOMPARE(files_under(out2.path()), files_under(out.path()));

        // an image of another name with one byte of its first sector changed (where a boot
        // sector holds the volume's serial number)
        const QString changed = temp.filePath("changed.img");
        QVERIFY(QFile::copy(image, changed));
        {
            QFile file(changed);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(0x27));
            char byte = 0;
            QVERIFY(file.getChar(&byte) && file.seek(0x27) && file.putChar(char(byte ^ 0x5A)));
        }
        QByteArray header = data.left(256);
        const QByteArray name = QFileInfo(changed).canonicalFilePath().toLocal8Bit();
        header.fill('\0');
        header.replace(0, name.size(), name);
        const QString moved = temp.filePath("moved.sav");
        QVERIFY(write_file(moved, header + read_file(sav).mid(256)));
        QTemporaryDir out3;
        QCOMPARE(run_orvane({"restore", "--from", moved, "--image", changed, "--to", out3.path()},
                            &stdout_text, &err),
                 2);
        QVERIFY2(err.contains("is not the volume this scan was made of"), err.constData());
        QVERIFY(files_under(out3.path()).isEmpty());
        QFile::remove(changed);
    }

    // A truncated NTFS image: the files whose clusters are gone fail with a reason, and no
    // file is left but the ones restored whole.
    void truncated_ntfs_leaves_only_whole_files() {
        if (!fixture_exists("ntfs/ntfs4k.img")) {
            QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
        }
        const QString cut = temp.filePath("cut.img");
        QVERIFY(QFile::copy(fixture_path("ntfs/ntfs4k.img"), cut));
        QVERIFY(QFile(cut).resize(QFileInfo(cut).size() / 3));
        QByteArray listing, err;
        run_orvane({"scan", "--json", cut}, &listing, &err);
        QHash<QString, qint64> sizes;
        for (const QByteArray& line : listing.trimmed().split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (!row["dir"].toBool()) {
                sizes.insert(row["path"].toString(), row["size"].toInteger());
            }
        }
        if (sizes.isEmpty()) {
            QSKIP("the cut left no listable file");
        }
        QTemporaryDir out;
        QByteArray stdout_text;
        QCOMPARE(run_orvane({"restore", "--to", out.path(), cut}, &stdout_text, &err), 1);
        QVERIFY2(err.contains("could not restore"), err.constData());
        const auto files = files_under(out.path());
        QVERIFY(files.size() < sizes.size());
        QFile manifest(fixture_path("ntfs/ntfs4k.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QHash<QString, QByteArray> exact;  // the deleted files whose bytes are all there
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() >= 4 && f[0] == "deleted") {
                exact.insert(
                    QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)), f[1]);
            }
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QVERIFY2(!it.key().section('/', -1).startsWith('.'), qPrintable(it.key()));
            QVERIFY2(sizes.value('/' + it.key(), -1) == QFileInfo(out.filePath(it.key())).size(),
                     qPrintable(it.key()));
            if (exact.contains('/' + it.key())) {
                QVERIFY2(exact.value('/' + it.key()) == it.value(), qPrintable(it.key()));
            }
        }
    }
};

QTEST_GUILESS_MAIN(test_cli_restore)
#include "test_cli_restore.moc"
