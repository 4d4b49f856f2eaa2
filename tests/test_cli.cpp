// The orvane tool as a script would use it: listings, scans, restores, errors, Ctrl-C.
#include "fat_image.h"
#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

QList<QJsonObject> json_lines(const QByteArray& out) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.trimmed().isEmpty()) {
            objects << QJsonDocument::fromJson(line).object();
        }
    }
    return objects;
}

// A name that fits an 8.3 entry (each part in one case), which mtools stores without
// long-name parts.
bool is_short_name(const QString& name) {
    static const QRegularExpression short_name(
        "^([A-Z0-9_~-]{1,8}|[a-z0-9_~-]{1,8})(\\.([A-Z0-9]{1,3}|[a-z0-9]{1,3}))?$");
    return short_name.match(name).hasMatch();
}

QSet<QByteArray> hashes_under(const QString& folder) {
    QSet<QByteArray> hashes;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        hashes << sha256_of_file(it.next());
    }
    return hashes;
}

}  // namespace

class test_cli : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        if (!fixture_exists("disks/mbr.img") || !fixture_exists("fat/fat16.img")) {
            QSKIP("fixtures were not made");
        }
    }

    void volumes_as_json() {
        QByteArray out, err;
        QCOMPARE(run_orvane({"volumes", "--json", "--image", fixture_path("disks/mbr.img"),
                             "--image", fixture_path("disks/floppy.img")},
                            &out, &err),
                 0);
        const auto rows = json_lines(out);
        QCOMPARE(rows.size(), 4);
        QStringList systems;
        for (const QJsonObject& row : rows) {
            for (const char* key :
                 {"device_name", "volume_name", "label", "file_system", "path", "total_bytes",
                  "free_bytes", "partition_number", "disk_number", "start_sector"}) {
                QVERIFY2(row.contains(key), key);
            }
            systems << row["file_system"].toString();
        }
        QCOMPARE(systems, (QStringList{"FAT32", "NTFS", "FAT16", "FAT12"}));
        QCOMPARE(rows[2]["partition_number"].toInt(), 5);
        QCOMPARE(rows[2]["start_sector"].toInt(), 98304);
        QCOMPARE(rows[3]["partition_number"].toInt(), 0);
        QCOMPARE(rows[3]["disk_number"].toInt(), 1);
        QCOMPARE(rows[3]["label"].toString(), QStringLiteral("ORVFLOPPY"));
    }

    void drives_as_text_and_json() {
        QByteArray out, err;
        QCOMPARE(run_orvane({"drives", "--image", fixture_path("disks/floppy.img")}, &out, &err),
                 0);
        QVERIFY(out.contains("1.41M"));
        QCOMPARE(run_orvane({"drives", "--json", "--image", fixture_path("disks/floppy.img")}, &out,
                            &err),
                 0);
        const auto rows = json_lines(out);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0]["size"].toInteger(), 1474560);
        QCOMPARE(rows[0]["geometry"].toObject()["bytes_per_sector"].toInt(), 512);
    }

    void bad_input_is_a_usage_error_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("words");
        QTest::newRow("nothing") << QStringList{} << "usage";
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << "unknown command";
        QTest::newRow("unknown option") << QStringList{"volumes", "--fast"} << "unknown option";
        QTest::newRow("image without file") << QStringList{"volumes", "--image"} << "needs a file";
        QTest::newRow("missing image")
            << QStringList{"volumes", "--image", "/nonexistent.img"} << "No such file";
        QTest::newRow("empty image")
            << QStringList{"drives", "--image", fixture_path("disks/empty.img")} << "empty";
        QTest::newRow("directory image")
            << QStringList{"volumes", "--image", QDir::tempPath()} << "directory";
        QTest::newRow("scan without target") << QStringList{"scan"} << "TARGET";
        QTest::newRow("restore without --to")
            << QStringList{"restore", fixture_path("disks/floppy.img")} << "--to";
        QTest::newRow("several volumes")
            << QStringList{"scan", fixture_path("disks/mbr.img")} << "--partition";
        QTest::newRow("no such partition")
            << QStringList{"scan", "--partition", "3", fixture_path("disks/mbr.img")}
            << "no partition 3";
        QTest::newRow("no volume")
            << QStringList{"scan", fixture_path("disks/badgpt.img")} << "no volume";
        QTest::newRow("unknown target")
            << QStringList{"scan", "/dev/nothing-here"} << "no volume or image";
        QTest::newRow("bad partition number")
            << QStringList{"scan", "--partition", "x", "a"} << "partition number";
    }
    void bad_input_is_a_usage_error() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, words);
        QByteArray out, err;
        QCOMPARE(run_orvane(arguments, &out, &err), 2);
        QVERIFY2(QString::fromUtf8(err).contains(words), err.constData());
    }

    void scan_lists_deleted_entries_as_json() {
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--json", "--partition", "1", fixture_path("fat/fat16.img")},
                            &out, &err),
                 0);
        const auto rows = json_lines(out);
        QVERIFY(rows.size() > 10);
        bool saw_folder = false;
        bool saw_nested = false;
        for (const QJsonObject& row : rows) {
            for (const char* key : {"path", "name", "size", "date1", "date2", "key", "attributes",
                                    "deleted", "dir"}) {
                QVERIFY2(row.contains(key), key);
            }
            QVERIFY(row["path"].toString().endsWith("/" + row["name"].toString()));
            QVERIFY(row.contains("overwritten"));
            if (!row["dir"].toBool()) {
                QVERIFY(row["deleted"].toBool());  // live files are never listed
            } else {
                saw_folder = true;
            }
            saw_nested |=
                row["path"].toString() == "/docs/reports/2024/Quarterly report final version.txt";
        }
        QVERIFY(saw_folder);
        QVERIFY(saw_nested);
    }

    void restore_brings_back_every_deleted_file() {
        QTemporaryDir out_dir;
        QByteArray out, err;
        const QString to = out_dir.filePath("restored");
        QCOMPARE(
            run_orvane({"restore", "--to", to, "--partition", "1", fixture_path("fat/fat16.img")},
                       &out, &err),
            0);
        QVERIFY2(out.startsWith("restored ") && out.contains(" files, 0 failed"), out.constData());
        QVERIFY(QFile::exists(to + "/docs/reports/2024/Quarterly report final version.txt"));
        const QSet<QByteArray> got = hashes_under(to);
        QFile manifest(fixture_path("fat/fat16.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() >= 4 &&
                (f[0] == "deleted" || f[0] == "deleted-around" || f[0] == "deleted-in-folder") &&
                f[2] != "0") {
                QVERIFY2(got.contains(f[1]), line.constData());
            }
        }
        // a second restore into the same folder overwrites nothing
        const int before = static_cast<int>(got.size());
        QCOMPARE(
            run_orvane({"restore", "--to", to, "--partition", "1", fixture_path("fat/fat16.img")},
                       &out, &err),
            0);
        QDirIterator it(to, QDir::Files, QDirIterator::Subdirectories);
        int files = 0;
        while (it.hasNext()) {
            it.next();
            ++files;
        }
        QVERIFY(files >= 2 * before);
    }

    void restore_matches_a_pattern() {
        QTemporaryDir out_dir;
        QByteArray out, err;
        QCOMPARE(run_orvane({"restore", "--to", out_dir.path(), "--match", "*.JPG", "--partition",
                             "1", fixture_path("fat/fat32.img")},
                            &out, &err),
                 0);
        QVERIFY2(out.startsWith("restored 2 of 2 files, 0 failed"), out.constData());
    }

    // Deleted files and folders are listed and restored under their own long names, byte for
    // byte; 8.3 names keep the '#' of the deletion mark. Files whose clusters other files hold
    // now are flagged and counted apart, and --skip-overwritten leaves them out.
    void deleted_files_keep_their_names_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("partition");
        QTest::newRow("FAT12") << "fat/fat12.img" << QStringList{};
        QTest::newRow("FAT16") << "fat/fat16.img" << QStringList{"--partition", "1"};
        QTest::newRow("FAT32") << "fat/fat32.img" << QStringList{"--partition", "1"};
    }
    void deleted_files_keep_their_names() {
        QFETCH(QString, image);
        QFETCH(QStringList, partition);
        QByteArray out, err;
        QCOMPARE(
            run_orvane(QStringList{"scan", "--json"} + partition + QStringList{fixture_path(image)},
                       &out, &err),
            0);
        QHash<QString, QJsonObject> listed;
        int flagged = 0;
        for (const QJsonObject& row : json_lines(out)) {
            listed.insert(row["path"].toString(), row);
            flagged += row["overwritten"].toBool() ? 1 : 0;
        }
        QTemporaryDir dir;
        QCOMPARE(run_orvane(QStringList{"restore", "--to", dir.path()} + partition +
                                QStringList{fixture_path(image)},
                            &out, &err),
                 0);
        QVERIFY2(out.contains(QString(", %1 possibly overwritten").arg(flagged).toUtf8()),
                 out.constData());
        QVERIFY(flagged >= 1);  // the reused file at least

        QFile manifest(fixture_path(QString(image).replace(".img", ".manifest")));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        int long_names = 0;
        for (const QByteArray& raw : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = raw.split(' ');
            if (f.size() < 4 || f[0] == "live") {
                continue;
            }
            const QString status = QString::fromUtf8(f[0]);
            const QString path =
                QString::fromUtf8(raw.mid(f[0].size() + f[1].size() + f[2].size() + 3));
            // Every deleted part of the path: the file, and the removed folder /trash whole.
            QStringList parts = path.split('/', Qt::SkipEmptyParts);
            for (int n = 0; n < parts.size(); ++n) {
                if (n + 1 == parts.size() || status == "deleted-in-folder") {
                    if (is_short_name(parts[n])) {
                        parts[n][0] = '#';
                    } else {
                        ++long_names;
                    }
                }
            }
            const QString expected = '/' + parts.join('/');
            if (status == "deleted-reused" && !listed.contains(expected)) {
                continue;  // its first cluster went to a later deleted file, which wins the key
            }
            QVERIFY2(listed.contains(expected), qPrintable(expected));
            // A file laid around a live file comes back exact by stepping over that file's
            // clusters: its restore is not in doubt.
            const bool reused = status == "deleted-reused";
            QCOMPARE(listed[expected]["overwritten"].toBool(), reused);
            if (f[2] == "0") {
                QCOMPARE(listed[expected]["size"].toInteger(), 0);  // listed, restored empty
                QVERIFY(QFileInfo(dir.path() + expected).isFile());
            }
            if (status != "deleted-reused") {
                QCOMPARE(sha256_of_file(dir.path() + expected), f[1]);
                // the file's own write time, not the restore's
                const qint64 written = listed[expected]["date1"].toInteger();
                QVERIFY(written > 0);
                QCOMPARE(QFileInfo(dir.path() + expected).lastModified().toSecsSinceEpoch(),
                         written);
            }
        }
        QVERIFY(long_names >= 6);

        QTemporaryDir skipping;
        QCOMPARE(run_orvane(QStringList{"restore", "--skip-overwritten", "--to", skipping.path()} +
                                partition + QStringList{fixture_path(image)},
                            &out, &err),
                 0);
        QVERIFY2(out.contains(", 0 possibly overwritten"), out.constData());
        QVERIFY(!QFile::exists(skipping.filePath("docs/old-draft.txt")));
        QVERIFY(QFile::exists(skipping.filePath("docs/one-cluster-deleted.bin")));
    }

    // A volume that cannot be read is a failure in plain words, never a clean empty scan.
    void unreadable_volume_fails_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("image");  // empty: a FAT volume of 4096-byte sectors
        QTest::addColumn<QString>("words");
        QTest::newRow("scan") << "scan" << QString() << "512-byte sectors";
        QTest::newRow("restore") << "restore" << QString() << "512-byte sectors";
        QTest::newRow("unreadable NTFS")
            << "scan" << fixture_path("ntfs/ntfs_damaged.img") << "as an NTFS volume";
    }
    void unreadable_volume_fails() {
        QFETCH(QString, command);
        QFETCH(QString, image);
        QFETCH(QString, words);
        QTemporaryDir dir;
        if (image.isEmpty()) {
            image = dir.filePath("big-sectors.img");
            QProcess mkfs;
            mkfs.start("mkfs.fat", {"-C", "-S", "4096", image, "8192"});
            QVERIFY(mkfs.waitForFinished(60000) && mkfs.exitCode() == 0);
        }
        QStringList arguments{command, image};
        if (command == "restore") {
            arguments = QStringList{command, "--to", dir.filePath("out"), image};
        }
        QByteArray out, err;
        QCOMPARE(run_orvane(arguments, &out, &err), 1);
        QVERIFY2(err.contains(words.toUtf8()), err.constData());
        QVERIFY2(!out.contains("restored"), out.constData());
    }

    // A refused restore creates nothing on the volume it would recover from.
    void restore_to_the_scanned_volume_creates_nothing() {
        ntfs_mount_c mount;
        if (!mount.ready()) {
            QSKIP(qPrintable("no mounted test volume: " + mount.reason()));
        }
        QByteArray out, err;
        const QString to = mount.mount_point() + "/recovered/here";
        QCOMPARE(run_orvane({"restore", "--to", to, mount.device()}, &out, &err), 2);
        QVERIFY2(err.contains("lies on the volume being recovered"), err.constData());
        QVERIFY(!QFileInfo::exists(mount.mount_point() + "/recovered"));
    }

    // Images of ORVANE_IMAGES that cannot be used are named by 'volumes' as by 'drives'.
    void unusable_images_of_the_environment_are_named_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("volumes") << "volumes";
        QTest::newRow("drives") << "drives";
    }
    void unusable_images_of_the_environment_are_named() {
        QFETCH(QString, command);
        qputenv("ORVANE_IMAGES",
                "/nonexistent/lost.img:" + QFile::encodeName(fixture_path("disks/empty.img")));
        QByteArray out, err;
        const int code = run_orvane({command}, &out, &err);
        qunsetenv("ORVANE_IMAGES");
        QCOMPARE(code, 0);
        QVERIFY2(err.contains("/nonexistent/lost.img") && err.contains("empty.img"),
                 err.constData());
    }

    void interrupt_stops_and_prints_what_was_found() {
        QString error;
        auto image = fat_image_c::looping_folders(1000, &error);
        QVERIFY2(image, qPrintable(error));
        QTemporaryDir dir;
        QFile file(dir.filePath("big.img"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(image->bytes());
        file.close();
        QProcess process;
        process.start(qEnvironmentVariable("ORVANE_BIN") + "/orvane",
                      {"scan", "--json", dir.filePath("big.img")});
        QVERIFY(process.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(300);
        QCOMPARE(process.state(), QProcess::Running);
        QVERIFY(process.processId() > 0);
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        qInfo("orvane answered Ctrl-C and finished in %lld ms", clock.elapsed());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(err.contains("scan stopped"), err.constData());
        QVERIFY(!json_lines(process.readAllStandardOutput()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(test_cli)
#include "test_cli.moc"
