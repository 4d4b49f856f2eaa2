// orvane volumes, scan and restore on exFAT volumes written by exfat-fuse: the volume and its
// free space as df gave it while mounted, what is listed, and every deleted file whose
// clusters are free restored byte for byte under its own path; the overwritten one and the
// fragmented one (whose chain the driver cleared) marked, and left out on request.
#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
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
        QTest::addColumn<bool>("backup");  // the main boot region is zeroed
        QTest::newRow("4 KiB clusters") << "exfat/exfat4k" << false;
        QTest::newRow("128 KiB clusters") << "exfat/exfat128k" << false;
        QTest::newRow("MBR partition at sector 2048") << "exfat/exfat_mbr" << false;
        QTest::newRow("main boot region zeroed") << "exfat/exfat4k_zeroed" << true;
        QTest::newRow("main boot region zeroed, in a partition")
            << "exfat/exfat_mbr_zeroed" << true;
    }
    void scan_and_restore() {
        QFETCH(QString, image);
        QFETCH(bool, backup);
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
        QCOMPARE(err.contains("read through its backup boot region"), backup);
        QHash<QString, qint64> written;  // path -> date1
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
            written.insert(path, row["date1"].toInteger());
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
                // restored with the time the volume gave it
                QCOMPARE(QFileInfo(to.path() + it.key()).lastModified().toSecsSinceEpoch(),
                         written.value(it.key()));
                QVERIFY(written.value(it.key()) > 0);
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

    // A deleted file whose clusters the driver gave to a later file, deleted in turn: the
    // bitmap shows them free, yet only the later file's bytes are there. The older one is
    // flagged, the later one and an untouched one come back exact.
    void clusters_of_a_later_deleted_file() {
        if (!fixture_exists("exfat/exfat_reuse.img")) {
            QSKIP("the exFAT fixtures were not unpacked (tests/fixtures/unpack_exfat_scan.sh)");
        }
        QHash<QString, QList<QByteArray>> expected;  // path -> status, sha256
        QFile manifest(fixture_path("exfat/exfat_reuse.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 4) {
                expected.insert(QString::fromUtf8(f[3]), {f[0], f[1]});
            }
        }
        QCOMPARE(expected.size(), 3);
        QByteArray out, err;
        const QString image = fixture_path("exfat/exfat_reuse.img");
        QCOMPARE(run_orvane({"scan", "--json", image}, &out, &err), 0);
        int rows = 0;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (row.isEmpty() || row["dir"].toBool()) {
                continue;
            }
            const QString path = row["path"].toString();
            QVERIFY2(expected.contains(path), qPrintable(path));
            QCOMPARE(row["overwritten"].toBool(), expected[path][0] == "deleted-reused");
            ++rows;
        }
        QCOMPARE(rows, 3);
        QTemporaryDir to;
        QCOMPARE(run_orvane({"restore", "--to", to.path(), image}, &out, &err), 0);
        QVERIFY2(out.contains("restored 3 of 3 files, 0 failed, 1 possibly overwritten"),
                 out.constData());
        for (const QString path : {"/new.bin", "/a/keep.bin"}) {
            QCOMPARE(sha256_of_file(to.path() + path), expected[path][1]);
        }
        QVERIFY(sha256_of_file(to.path() + "/a/old.bin") != expected["/a/old.bin"][1]);
    }

    // A deleted tree whose top folder's cluster the driver gave to a new file: the folders
    // below are found among the free clusters and their files restored exact under the
    // folder of orphaned files.
    void orphaned_folders_are_found() {
        if (!fixture_exists("exfat/exfat_orphan.img")) {
            QSKIP("the exFAT fixtures were not unpacked (tests/fixtures/unpack_exfat_scan.sh)");
        }
        QHash<QByteArray, QString> below;  // sha256 -> path, for the files under /top/mid
        QFile manifest(fixture_path("exfat/exfat_orphan.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 4 && f[3].startsWith("/top/mid/")) {
                below.insert(f[1], QString::fromUtf8(f[3]));
            }
        }
        QCOMPARE(below.size(), 6);
        QByteArray out, err;
        QTemporaryDir to;
        QCOMPARE(run_orvane({"restore", "--to", to.path(), fixture_path("exfat/exfat_orphan.img")},
                            &out, &err),
                 0);
        QVERIFY2(out.contains(" 0 failed"), out.constData());
        QHash<QByteArray, QString> got;
        QDirIterator it(to.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            got.insert(sha256_of_file(path), QDir(to.path()).relativeFilePath(path));
        }
        for (auto want = below.cbegin(); want != below.cend(); ++want) {
            QVERIFY2(got.contains(want.key()), qPrintable(want.value()));
            const QString path = got[want.key()];
            QVERIFY2(path.startsWith("[Orphaned files]/[cluster "), qPrintable(path));
            // the leaf folder keeps its name below the orphaned one
            QCOMPARE(path.contains("/leaf/"), want.value().contains("/leaf/"));
        }
    }
};

QTEST_GUILESS_MAIN(test_cli_exfat)
#include "test_cli_exfat.moc"
