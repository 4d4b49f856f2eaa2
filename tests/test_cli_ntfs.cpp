// orvane scan and orvane restore on NTFS volumes written by ntfs-3g: what is listed, and
// every deleted file whose clusters are intact restored byte for byte under its own path,
// the one whose clusters were taken again marked and left out on request.
#include "test_support.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
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
};

QTEST_GUILESS_MAIN(test_cli_ntfs)
#include "test_cli_ntfs.moc"
