// orvane scan and orvane restore on NTFS volumes written by ntfs-3g: what is listed, and
// every deleted file whose clusters are intact restored byte for byte under its own path,
// the one whose clusters were taken again marked and left out on request.
#include "test_support.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class test_cli_ntfs : public QObject {
    Q_OBJECT
  private slots:
    void scan_and_restore_data() {
        QTest::addColumn<QString>("image");
        QTest::newRow("512-byte clusters") << "ntfs/ntfs512";
        QTest::newRow("4 KiB clusters") << "ntfs/ntfs4k";
        QTest::newRow("64 KiB clusters") << "ntfs/ntfs64k";
    }
    void scan_and_restore() {
        QFETCH(QString, image);
        if (!fixture_exists(image + ".img")) {
            QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
        }
        // manifest: path -> (status, sha256)
        QHash<QString, QPair<QByteArray, QByteArray>> expected;
        QFile manifest(fixture_path(image + ".manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() >= 4) {
                expected.insert(
                    QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)),
                    {f[0], f[1]});
            }
        }
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--json", fixture_path(image + ".img")}, &out, &err), 0);
        int files = 0;
        QSet<QString> folders;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (row.isEmpty()) {
                continue;
            }
            QVERIFY(row["key"].toInteger() > 11);  // the volume's own records never show
            const QString path = row["path"].toString();
            if (row["dir"].toBool()) {
                folders.insert(path);
                continue;
            }
            ++files;
            QVERIFY2(expected.value(path).first.startsWith("deleted"), qPrintable(path));
            QVERIFY(row["deleted"].toBool());
            QCOMPARE(row["overwritten"].toBool(),
                     expected.value(path).first == "deleted-overwritten");
        }
        QVERIFY(folders.contains("/trash") && folders.contains("/trash/sub"));
        QVERIFY(!folders.contains("/holes"));  // only live files there
        QCOMPARE(files, 28);

        QTemporaryDir to;
        QCOMPARE(
            run_orvane({"restore", "--to", to.path(), fixture_path(image + ".img")}, &out, &err),
            0);
        QVERIFY2(out.contains("0 failed, 1 possibly overwritten"), out.constData());
        int checked = 0;
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            if (it.value().first == "deleted" || it.value().first == "deleted-in-folder") {
                QCOMPARE(sha256_of_file(to.path() + it.key()), it.value().second);
                ++checked;
            }
        }
        QCOMPARE(checked, 27);

        QTemporaryDir skipping;
        QCOMPARE(run_orvane({"restore", "--skip-overwritten", "--to", skipping.path(),
                             fixture_path(image + ".img")},
                            &out, &err),
                 0);
        QVERIFY2(out.startsWith("restored 27 of 27 files"), out.constData());
        QVERIFY(!QFile::exists(skipping.filePath("docs/old.bin")));
    }
    // Folders nested 4000 deep with names of over a hundred characters: paths of up to
    // 680,000 characters. The listing is printed row by row (memory stays small) and no row
    // is padded to the longest path.
    void deep_nesting_listed_row_by_row() {
        if (!fixture_exists("ntfs/ntfsnested.img")) {
            QSKIP("the nested NTFS fixture was not unpacked");
        }
        QTemporaryDir dir;
        const QString listing = dir.filePath("listing.txt");
        // python's rusage gives the tool's peak memory
        const QString script = QStringLiteral(
            "import resource, subprocess, sys\n"
            "with open(sys.argv[3], 'wb') as out:\n"
            "    code = subprocess.run([sys.argv[1], 'scan', sys.argv[2]], stdout=out,\n"
            "                          stderr=subprocess.DEVNULL).returncode\n"
            "print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n");
        QProcess python;
        python.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"), script,
                      qEnvironmentVariable("ORVANE_BIN") + QStringLiteral("/orvane"),
                      fixture_path("ntfs/ntfsnested.img"), listing});
        QVERIFY(python.waitForFinished(600000));
        const QList<QByteArray> said = python.readAllStandardOutput().trimmed().split(' ');
        QCOMPARE(said.size(), 2);
        QCOMPARE(said[0], QByteArray("0"));
        const qint64 peak_kib = said[1].toLongLong();
        // Holding the rows took 2.7 GB; the plain build needs 25 MB and a sanitizer build
        // about 400 MB (its shadow memory and quarantine).
        QVERIFY2(peak_kib > 0 && peak_kib < 1024 * 1024, qPrintable(QString::number(peak_kib)));
        QFile file(listing);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readLine().startsWith("PATH "));
        qint64 rows = 0;
        qsizetype longest = 0;
        bool bottom = false;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine();
            ++rows;
            const qsizetype end = line.indexOf("  ");
            QVERIFY(end > 0);
            QVERIFY2(line.size() - end < 140, "the columns follow the path at once");
            longest = std::max(longest, end);
            bottom |= line.left(end).endsWith("/bottom.bin");
        }
        QCOMPARE(rows, 4002);
        QVERIFY(longest > 600000);
        QVERIFY(bottom);
    }
};

QTEST_GUILESS_MAIN(test_cli_ntfs)
#include "test_cli_ntfs.moc"
