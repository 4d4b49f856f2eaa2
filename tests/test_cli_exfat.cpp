// orvane volumes, scan and restore on exFAT volumes written by exfat-fuse: the volume and its
// free space as df gave it while mounted, what is listed, and every deleted file whose
// clusters are free restored byte for byte under its own path; the overwritten one and the
// fragmented one (whose chain the driver cleared) marked, and left out on request.
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class test_cli_exfat : public QObject {
    Q_OBJECT
  private slots:
    void scan_and_restore_data() {
        QTest::addColumn<QString>("image");
        QTest::newRow("4 KiB clusters") << "exfat/exfat4k";
        QTest::newRow("128 KiB clusters") << "exfat/exfat128k";
        QTest::newRow("MBR partition at sector 2048") << "exfat/exfat_mbr";
    }
    void scan_and_restore() {
        QFETCH(QString, image);
        if (!fixture_exists(image + ".img")) {
            QSKIP("the exFAT fixtures were not unpacked (tests/fixtures/unpack_exfat_scan.sh)");
        }
        QHash<QString, QPair<QByteArray, QByteArray>> expected;  // path -> (status, sha256)
        qint64 df_free = -1;
        QFile manifest(fixture_path(image + ".manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 2 && f[0] == "free") {
                df_free = f[1].toLongLong();
            } else if (f.size() >= 4) {
                expected.insert(
                    QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)),
                    {f[0], f[1]});
            }
        }
        QByteArray out, err;
        QCOMPARE(
            run_orvane({"volumes", "--json", "--image", fixture_path(image + ".img")}, &out, &err),
            0);
        const QJsonObject volume = QJsonDocument::fromJson(out.split('\n').first()).object();
        QCOMPARE(volume["file_system"].toString(), QStringLiteral("exFAT"));
        QCOMPARE(volume["free_bytes"].toInteger(), df_free);

        QCOMPARE(run_orvane({"scan", "--json", fixture_path(image + ".img")}, &out, &err), 0);
        int files = 0;
        QSet<QString> folders;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (row.isEmpty()) {
                continue;
            }
            const QString path = row["path"].toString();
            if (row["dir"].toBool()) {
                folders.insert(path);
                continue;
            }
            ++files;
            const QByteArray status = expected.value(path).first;
            QVERIFY2(status.startsWith("deleted"), qPrintable(path));
            QVERIFY(row["deleted"].toBool());
            QCOMPARE(row["overwritten"].toBool(),
                     status == "deleted-overwritten" || status == "deleted-chained");
            if (path.endsWith("Quarterly report final version.txt")) {
                QCOMPARE(row["date1"].toInteger(), 1704164645);  // the time utime gave it
            }
        }
        QVERIFY(folders.contains("/trash") && folders.contains("/trash/sub"));
        QVERIFY(!folders.contains("/holes"));  // only live files there
        QCOMPARE(files, 16);

        QTemporaryDir to;
        QCOMPARE(
            run_orvane({"restore", "--to", to.path(), fixture_path(image + ".img")}, &out, &err),
            0);
        QVERIFY2(out.contains("restored 16 of 16 files, 0 failed, 2 possibly overwritten"),
                 out.constData());
        int checked = 0;
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QByteArray status = it.value().first;
            if (status == "deleted" || status == "deleted-in-folder" ||
                status == "deleted-chained") {
                QVERIFY2(sha256_of_file(to.path() + it.key()) == it.value().second,
                         qPrintable(it.key()));
                ++checked;
            }
        }
        QCOMPARE(checked, 15);

        QTemporaryDir skipping;
        QCOMPARE(run_orvane({"restore", "--skip-overwritten", "--to", skipping.path(),
                             fixture_path(image + ".img")},
                            &out, &err),
                 0);
        QVERIFY2(out.startsWith("restored 14 of 14 files"), out.constData());
        QVERIFY(!QFile::exists(skipping.filePath("docs/old.bin")));
        QVERIFY(QFile::exists(skipping.filePath("trash/sub/four.bin")));
    }
};

QTEST_GUILESS_MAIN(test_cli_exfat)
#include "test_cli_exfat.moc"
