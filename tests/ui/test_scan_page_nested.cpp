// Folders nested 4000 deep, each with a long name, on the scan page: the tree holds every
// level with its own name, a folder's path is built only when asked for (and its tooltip
// stays short), and a ticked deep folder restores with every folder above it, byte for
// byte. End to end on the real pages, offscreen, on an NTFS volume made by ntfs-3g.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_volume_window.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <dirent.h>

namespace {

constexpr int depth = 4000;

// One line of the fixture's manifest: a deleted file and how many folders lie above it.
struct manifest_line_s {
    QByteArray sha256;
    int size = 0;
    int depth = 0;
    QString name;
};

QList<manifest_line_s> read_manifest(const QString& path) {
    QList<manifest_line_s> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return lines;
    }
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QList<QByteArray> f = raw.split(' ');
        if (f.size() == 5 && f[0] == "deleted") {
            lines.append({f[1], f[2].toInt(), f[3].toInt(), QString::fromUtf8(f[4])});
        }
    }
    return lines;
}

// The names in a folder (without "." and ".."), through its descriptor.
QStringList names_in(int folder) {
    QStringList names;
    const int copy = ::dup(folder);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QString::fromUtf8(entry->d_name);
        if (name != "." && name != "..") {
            names << name;
        }
    }
    ::closedir(dir);
    names.sort();
    return names;
}

// SHA-256 of a file in a folder, through the folder's descriptor (the whole path is far
// longer than a path may be).
QByteArray sha256_at(int folder, const QString& name) {
    const int fd = ::openat(folder, name.toUtf8().constData(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    char buffer[8192];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        hash.addData(QByteArrayView(buffer, got));
    }
    ::close(fd);
    return hash.result().toHex();
}

}  // namespace

class test_scan_page_nested : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<main_window_c> window;

    recovery_window_c* page() { return window->recovery_page; }

    bool scan_from_volume_page(const QString& image) {
        use_images({image});
        enumerate_volumes();
        enumerate_physical_drives();
        window->on_init_finished();
        window->show_page(1);
        for (std::size_t row = 1; row < volume_list.size(); ++row) {
            if (volume_list[row].partition_number == 0) {
                QListView* view = window->volume_page->form->lv_volumes;
                view->setCurrentIndex(view->model()->index(static_cast<int>(row), 0));
                QTest::mouseClick(window->volume_page->findChild<QPushButton*>("btn_scan"),
                                  Qt::LeftButton);
                return window->current_index() == 4;
            }
        }
        return false;
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        qputenv("HOME", dir.path().toUtf8());
        init_done = 1;
    }

    void cleanup() {
        window.reset();
        scanning = false;
        volume_list.clear();
    }

    void deep_folders_are_listed_and_restored_whole() {
        if (!fixture_exists("ntfs/ntfsnested.img")) {
            QSKIP("fixture ntfs/ntfsnested.img missing (tests/fixtures/unpack_ntfs_scan.sh)");
        }
        const QList<manifest_line_s> manifest =
            read_manifest(fixture_path("ntfs/ntfsnested.manifest"));
        QCOMPARE(manifest.size(), 2);
        scanning = false;
        window = std::make_unique<main_window_c>();
        window->resize(900, 640);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(scan_from_volume_page(fixture_path("ntfs/ntfsnested.img")));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);

        // One folder on each level, named "n-" and letters, as the volume has them.
        TreeModel* model = page()->tree_model_now();
        QVERIFY(model);
        QCOMPARE(model->rowCount(), 1);
        QModelIndex at = model->index(0, 0);
        QCOMPARE(TreeModel::node_of(at)->path(), QStringLiteral("/"));
        std::vector<QModelIndex> levels{at};  // levels[n]: the folder n deep
        std::vector<QString> names{QString()};
        while (model->rowCount(at) > 0) {
            QCOMPARE(model->rowCount(at), 1);
            at = model->index(0, 0, at);
            const QString title = at.data().toString();
            const int n = static_cast<int>(levels.size());
            QVERIFY2(title.startsWith(QString::number(n) + '-'), qPrintable(title.left(20)));
            QCOMPARE(title.size(), 120 + n % 100);
            levels.push_back(at);
            names.push_back(title);
        }
        QCOMPARE(static_cast<int>(levels.size()) - 1, depth);
        QCOMPARE(model->found_folders(), depth);
        QCOMPARE(model->found_totals().files, 2);

        // A path on demand: whole when asked for, short in a tooltip.
        const folder_node* bottom = TreeModel::node_of(levels[depth]);
        const QString whole = bottom->path();
        QCOMPARE(whole.count('/'), depth);
        QVERIFY(whole.startsWith('/' + names[1] + '/' + names[2] + '/'));
        QVERIFY(whole.endsWith('/' + names[depth - 1] + '/' + names[depth]));
        const QString tip = levels[depth].data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.size() < 1500, qPrintable(QString::number(tip.size())));
        QVERIFY(tip.startsWith(QChar(0x2026)));
        QVERIFY(tip.endsWith('/' + names[depth]));
        QCOMPARE(levels[2].data(Qt::ToolTipRole).toString(), '/' + names[1] + '/' + names[2]);

        // The deleted files are in their folders.
        for (const manifest_line_s& line : manifest) {
            QTreeView* tree = page()->findChild<QTreeView*>("tv_dirtree");
            tree->setCurrentIndex(levels[line.depth]);
            QCOMPARE(page()->open_folder_node(), TreeModel::node_of(levels[line.depth]));
            QCOMPARE(page()->files().size(), std::size_t(1));
            QCOMPARE(page()->files().front().name, line.name);
            QCOMPARE(page()->files().front().size, quint64(line.size));
        }

        // Tick a folder half-way down, keep the folders, restore: every folder from the top
        // is made, and both files come back exact, each in its own folder.
        QVERIFY(model->setData(levels[1500], Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(model->ticked_totals().files, 2);
        QCOMPARE(levels[1499].data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        page()->findChild<QCheckBox*>("chk_keep_folders")->setChecked(true);
        const QString to = dir.filePath("nested");
        QVERIFY(QDir().mkpath(to));
        file_dialog_answer_c choose(to);
        box_answer_c summary(QMessageBox::Ok);
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(summary.boxes, 1, 60000);
        QCOMPARE(page()->restoration()->restored, 2);
        QVERIFY(page()->restoration()->failures.isEmpty());
        // Only the ticked files' folders were listed for the worker, each once.
        QCOMPARE(static_cast<int>(page()->restoration()->folders().size()), depth + 1);

        int folder = ::open(to.toUtf8().constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(folder >= 0);
        for (int n = 1; n <= depth; ++n) {
            QStringList expected{names[static_cast<std::size_t>(n)]};
            for (const manifest_line_s& line : manifest) {
                if (line.depth == n - 1) {
                    expected << line.name;
                }
            }
            expected.sort();
            const QStringList got = names_in(folder);
            if (got != expected) {
                ::close(folder);
                QFAIL(
                    qPrintable(QStringLiteral("level %1 holds %2").arg(n - 1).arg(got.join(", "))));
            }
            for (const manifest_line_s& line : manifest) {
                if (line.depth == n - 1) {
                    QCOMPARE(sha256_at(folder, line.name), line.sha256);
                }
            }
            const int next =
                ::openat(folder, names[static_cast<std::size_t>(n)].toUtf8().constData(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            ::close(folder);
            QVERIFY2(next >= 0, qPrintable(QStringLiteral("level %1 cannot be opened").arg(n)));
            folder = next;
        }
        QCOMPARE(names_in(folder), QStringList{manifest.last().name});
        QCOMPARE(sha256_at(folder, manifest.last().name), manifest.last().sha256);
        ::close(folder);
    }

    // The worker's folder list alone: each folder is made below its parent once, files go
    // where their folder is, and a failure names the folder's path, cut short when long.
    void restore_folder_paths_data() {
        QTest::addColumn<QStringList>("names");  // folder n's parent is n - 1
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("path");
        QTest::newRow("destination") << QStringList{} << 0 << -1 << "/";
        QTest::newRow("one down") << QStringList{"docs"} << 1 << -1 << "/docs";
        QTest::newRow("two down") << QStringList{"docs", "old"} << 2 << -1 << "/docs/old";
        QTest::newRow("cut to its tail") << QStringList{"aaaa", "bbbb", "cccc"} << 3 << 10
                                         << QString(QChar(0x2026)) + "/bbbb/cccc";
        QTest::newRow("a name longer than the limit")
            << QStringList{"aaaa", "bbbbbbbbbbbb"} << 2 << 5
            << QString(QChar(0x2026)) + "/bbbbbbbbbbbb";
        QTest::newRow("beyond the list") << QStringList{"docs"} << 7 << -1 << "/";
    }
    void restore_folder_paths() {
        QFETCH(QStringList, names);
        QFETCH(int, index);
        QFETCH(int, limit);
        QFETCH(QString, path);
        std::vector<restore_folder_s> folders{{}};
        for (int i = 0; i < names.size(); ++i) {
            folders.push_back({names[i], i});
        }
        QCOMPARE(restore_folder_path(folders, index, limit), path);
    }
};

QTEST_MAIN(test_scan_page_nested)
#include "test_scan_page_nested.moc"
