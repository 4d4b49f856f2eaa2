// FAT volumes whose deleted entries' clusters were given to later files, made with mkfs.fat
// and mtools: a deleted folder over a live file lists no junk, and two deleted files with
// one first cluster are both listed, the older one flagged.
#include "engine/fat/fat_recovery.h"
#include "result/file_list.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs an mtools or mkfs command in folder; false (with its output in *why) when it fails.
bool run_tool(const QString& folder, const QString& program, const QStringList& arguments,
              QString* why, QByteArray* out = nullptr) {
    QProcess process;
    process.setWorkingDirectory(folder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MTOOLS_SKIP_CHECK", "1");
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *why = program + " " + arguments.join(' ') + ": " + process.readAllStandardError();
        return false;
    }
    if (out) {
        *out = process.readAllStandardOutput();
    }
    return true;
}

bool write_bytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray random_bytes(int size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(generator.generate() & 0xFF);
    }
    return bytes;
}

// The first cluster mshowfat gives for a path ("::/X <43-48>").
std::uint32_t first_cluster(const QString& folder, const QString& image, const QString& path) {
    QString why;
    QByteArray out;
    if (!run_tool(folder, "mshowfat", {"-i", image, path}, &why, &out)) {
        return 0;
    }
    const int open = out.indexOf('<');
    return open < 0 ? 0 : out.mid(open + 1).split('-').first().split('>').first().toUInt();
}

const fat_node* node_named(const fat_recovery_c& engine, const QString& tail) {
    for (auto it = engine.nodes().cbegin(); it != engine.nodes().cend(); ++it) {
        if (it.value().name.endsWith(tail)) {
            return &it.value();
        }
    }
    return nullptr;
}

// Every regular file under folder, by its SHA-256, with its path relative to folder.
QHash<QByteArray, QString> hashes_under(const QString& folder) {
    QHash<QByteArray, QString> hashes;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        hashes.insert(sha256_of_file(path), QDir(folder).relativeFilePath(path));
    }
    return hashes;
}

QByteArray restored(fat_recovery_c& engine, std::uint64_t key, const QString& path) {
    if (engine.restore_file(key, path) != 0) {
        return "<failed>";
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class test_fat_reuse : public QObject {
    Q_OBJECT

  private slots:
    // A deleted folder whose only cluster now starts a live file: the folder is listed empty
    // and flagged, nothing of the file's bytes shows as entries, and restoring everything
    // fails nothing.
    void deleted_folder_over_a_live_file_data() {
        QTest::addColumn<QByteArray>("live");
        QTest::newRow("random bytes") << random_bytes(20000, 7);
        QFile text("/usr/share/common-licenses/GPL-3");
        QTest::newRow("text") << (text.open(QIODevice::ReadOnly) ? text.readAll() : QByteArray());
    }
    void deleted_folder_over_a_live_file() {
        QFETCH(QByteArray, live);
        if (live.isEmpty()) {
            QSKIP("/usr/share/common-licenses/GPL-3 is missing");
        }
        QTemporaryDir dir;
        QString why;
        const QString image = dir.filePath("floppy.img");
        QVERIFY(write_bytes(dir.filePath("a.txt"), "a file in the folder\n"));
        QVERIFY(write_bytes(dir.filePath("live.bin"), live));
        QVERIFY2(run_tool(dir.path(), "mkfs.fat", {"-C", "-F", "12", image, "1440"}, &why),
                 qPrintable(why));
        // The live file's entry goes into a live folder: in the root it would take the
        // deleted folder's entry slot.
        QVERIFY2(run_tool(dir.path(), "mmd", {"-i", image, "::/KEEP", "::/FOLDER"}, &why),
                 qPrintable(why));
        QVERIFY2(run_tool(dir.path(), "mcopy", {"-i", image, "a.txt", "::/FOLDER/A.TXT"}, &why),
                 qPrintable(why));
        const std::uint32_t folder = first_cluster(dir.path(), image, "::/FOLDER");
        QVERIFY2(run_tool(dir.path(), "mdeltree", {"-i", image, "::/FOLDER"}, &why),
                 qPrintable(why));
        QVERIFY2(run_tool(dir.path(), "mcopy", {"-i", image, "live.bin", "::/KEEP/LIVE.BIN"}, &why),
                 qPrintable(why));
        QVERIFY(folder >= 2);
        QCOMPARE(first_cluster(dir.path(), image, "::/KEEP/LIVE.BIN"), folder);

        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        fat_recovery_c engine;
        engine.set_target(
            memory_volume("reused", std::make_shared<const QByteArray>(file.readAll())));
        engine.start();
        QVERIFY(engine.wait(60000));
        QVERIFY(engine.nodes().contains(folder));
        const fat_node& gone = engine.nodes()[folder];
        QVERIFY(gone.attributes & fat_attr_directory);
        QVERIFY(gone.overwritten);
        QVERIFY(gone.children.isEmpty());
        for (const fat_node& node : engine.nodes()) {
            QVERIFY2(node.parent != folder, qPrintable(node.name));
        }
        const auto folders = list_result_folders(&engine, engine_fat);
        const auto shown = std::find_if(folders.begin(), folders.end(),
                                        [&](const auto& f) { return f.ref.key == folder; });
        QVERIFY(shown != folders.end());
        QVERIFY(shown->item.overwritten);

        QByteArray out, err;
        QTemporaryDir to;
        QCOMPARE(run_orvane({"restore", "--to", to.path(), image}, &out, &err), 0);
        QVERIFY2(out.contains(" 0 failed"), out.constData());
        QVERIFY2(!err.contains("internal error"), err.constData());
    }

    // The older file's clusters went to a newer one, deleted in turn: both are listed, the
    // newer restored exact, the older flagged.
    void two_deleted_files_with_one_first_cluster() {
        QTemporaryDir dir;
        QString why;
        const QString image = dir.filePath("floppy.img");
        const QByteArray older = random_bytes(3000, 1);
        const QByteArray newer = random_bytes(1500, 2);
        QVERIFY(write_bytes(dir.filePath("old.bin"), older));
        QVERIFY(write_bytes(dir.filePath("new.bin"), newer));
        QVERIFY2(run_tool(dir.path(), "mkfs.fat", {"-C", "-F", "12", image, "1440"}, &why),
                 qPrintable(why));
        QVERIFY2(run_tool(dir.path(), "mmd", {"-i", image, "::/A"}, &why), qPrintable(why));
        QVERIFY2(run_tool(dir.path(), "mcopy", {"-i", image, "old.bin", "::/A/OLD.BIN"}, &why),
                 qPrintable(why));
        const std::uint32_t first = first_cluster(dir.path(), image, "::/A/OLD.BIN");
        QVERIFY2(run_tool(dir.path(), "mdel", {"-i", image, "::/A/OLD.BIN"}, &why),
                 qPrintable(why));
        QTest::qWait(2100);  // FAT keeps times in steps of two seconds
        QVERIFY2(run_tool(dir.path(), "mcopy", {"-i", image, "new.bin", "::/NEW.BIN"}, &why),
                 qPrintable(why));
        QCOMPARE(first_cluster(dir.path(), image, "::/NEW.BIN"), first);
        QVERIFY2(run_tool(dir.path(), "mdel", {"-i", image, "::/NEW.BIN"}, &why), qPrintable(why));

        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        fat_recovery_c engine;
        engine.set_target(
            memory_volume("shared", std::make_shared<const QByteArray>(file.readAll())));
        engine.start();
        QVERIFY(engine.wait(60000));
        const fat_node* old_node = node_named(engine, "LD.BIN");
        const fat_node* new_node = node_named(engine, "EW.BIN");
        QVERIFY(old_node && new_node);
        QCOMPARE(old_node->size, 3000u);
        QVERIFY(old_node->overwritten);
        QVERIFY(!new_node->overwritten);
        QVERIFY(old_node->first_cluster != new_node->first_cluster);
        QTemporaryDir out;
        QCOMPARE(restored(engine, new_node->first_cluster, out.filePath("new")), newer);
        // The older one reads the newer one's clusters first, then its own tail.
        const QByteArray back = restored(engine, old_node->first_cluster, out.filePath("old"));
        QCOMPARE(back.size(), older.size());
        QCOMPARE(back.mid(1536), older.mid(1536));
        // Both are in the listing, each in its own folder.
        std::vector<recovery_item_s> files;
        const auto folders = list_result_folders(&engine, engine_fat);
        for (const auto& f : folders) {
            visit_file_list(&engine, engine_fat, f.ref,
                            [&](recovery_item_s&& item) { files.push_back(item); });
        }
        QCOMPARE(std::count_if(files.begin(), files.end(),
                               [](const auto& item) { return item.name.endsWith(".BIN"); }),
                 2);
    }

    // A deleted tree whose top folder's cluster went to a live file: the folders below it
    // are found among the free clusters and put, with every file, under the folder of
    // orphaned files; the top folder's own files are gone with its cluster.
    void orphaned_folders_are_found() {
        QTemporaryDir dir;
        QString why;
        const QString image = dir.filePath("fat16.img");
        QVERIFY2(run_tool(dir.path(), "mkfs.fat", {"-C", "-F", "16", image, "16384"}, &why),
                 qPrintable(why));
        QVERIFY2(run_tool(dir.path(), "mmd",
                          {"-i", image, "::/top", "::/top/mid", "::/top/mid/leaf"}, &why),
                 qPrintable(why));
        QList<QByteArray> below;  // the files under mid, which must come back
        int n = 0;
        for (const QString folder : {"::/top", "::/top/mid", "::/top/mid/leaf"}) {
            for (int i = 0; i < 3; ++i, ++n) {
                const QByteArray bytes = random_bytes(1500 + 2500 * i, 100 + n);
                const QString name = QString("file %1.bin").arg(n);
                QVERIFY(write_bytes(dir.filePath(name), bytes));
                QVERIFY2(
                    run_tool(dir.path(), "mcopy", {"-i", image, name, folder + "/" + name}, &why),
                    qPrintable(why));
                if (folder != "::/top") {
                    below << bytes;
                }
            }
        }
        const std::uint32_t top = first_cluster(dir.path(), image, "::/top");
        QVERIFY2(run_tool(dir.path(), "mdeltree", {"-i", image, "::/top"}, &why), qPrintable(why));
        QVERIFY(write_bytes(dir.filePath("cover.bin"), random_bytes(512, 9)));
        QVERIFY2(run_tool(dir.path(), "mcopy", {"-i", image, "cover.bin", "::/COVER.BIN"}, &why),
                 qPrintable(why));
        QCOMPARE(first_cluster(dir.path(), image, "::/COVER.BIN"), top);

        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--json", image}, &out, &err), 0);
        QVERIFY2(out.contains("[Orphaned files]/[cluster "), out.constData());
        QTemporaryDir to;
        QCOMPARE(run_orvane({"restore", "--to", to.path(), image}, &out, &err), 0);
        QVERIFY2(out.contains(" 0 failed"), out.constData());
        const auto got = hashes_under(to.path());
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (const QByteArray& bytes : below) {
            hash.reset();
            hash.addData(bytes);
            const QByteArray sum = hash.result().toHex();
            QVERIFY2(got.contains(sum), qPrintable(QString::number(bytes.size())));
            QVERIFY(got[sum].startsWith("[Orphaned files]/[cluster "));
        }
    }
};

QTEST_GUILESS_MAIN(test_fat_reuse)
#include "test_fat_reuse.moc"
