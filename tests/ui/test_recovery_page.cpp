// The scan page end to end on real volumes: scan from the volume page, open found folders,
// tick, restore and compare byte for byte; the deep scan with its scan file; the deep-scan
// question, pause and stop, the preview, and what a running restoration refuses.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/platform/platform_device.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "fat_image.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_volume_window.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QImage>
#include <QListView>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

namespace {

// path (as the tree and table name it) -> sha256, for the files whose bytes must come back.
using expected_map = QMap<QString, QByteArray>;

expected_map read_manifest(const QString& file, const QStringList& statuses) {
    expected_map expected;
    QFile manifest(file);
    if (!manifest.open(QIODevice::ReadOnly)) {
        return expected;
    }
    for (const QByteArray& raw : manifest.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.size() >= 4 && statuses.contains(f[0])) {
            expected.insert(line.section(QLatin1Char(' '), 3), f[1].toLatin1());
        }
    }
    return expected;
}

// Every file under folder, by its path below folder.
QMap<QString, QByteArray> restored_files(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(folder.size()), sha256_of_file(path));
    }
    return files;
}

// A FAT16 volume of folders whose chains loop on themselves, full of deleted entries
// without clusters: the scan reads 65536 entries per folder and finds nothing.
std::shared_ptr<const QByteArray> empty_looping_volume(int folders) {
    QString error;
    auto image = fat_image_c::make(
        16384, {"-F", "16", "-s", "4", "-r", "1024", "-f", "1", "-S", "512"}, &error);
    if (!image) {
        return nullptr;
    }
    for (std::uint32_t d = 0; d < static_cast<std::uint32_t>(folders); ++d) {
        const QByteArray name =
            QStringLiteral("D%1   ").arg(d, 4, 10, QLatin1Char('0')).toLatin1() + "   ";
        image->put_entry(image->root_offset() + d * 32, name.constData(), 0x10, 2 + d, 0);
        image->set_fat(2 + d, 2 + d);
        for (std::uint32_t e = 0; e < image->cluster_bytes() / 32; ++e) {
            image->put_entry(image->cluster_offset(2 + d) + e * 32, "XILE    TXT", 0x20, 0, 10,
                             true);
        }
    }
    return image->shared();
}

bool run_tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

}  // namespace

class test_recovery_page : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<main_window_c> window;
    QList<QUrl> opened;

    recovery_window_c* page() { return window->recovery_page; }

    // Picks the volume on the volume page and presses its scan button.
    bool scan_from_volume_page(const QString& image, int partition) {
        use_images({image});
        enumerate_volumes();
        window->on_init_finished();
        window->show_page(1);
        for (std::size_t row = 1; row < volume_list.size(); ++row) {
            if (volume_list[row].partition_number == partition) {
                QListView* view = window->volume_page->form->lv_volumes;
                view->setCurrentIndex(view->model()->index(static_cast<int>(row), 0));
                QTest::mouseClick(window->volume_page->findChild<QPushButton*>("btn_scan"),
                                  Qt::LeftButton);
                return window->current_index() == 4;
            }
        }
        return false;
    }

    QModelIndex find_folder(const QString& path) {
        TreeModel* model = page()->tree_model_now();
        std::vector<QModelIndex> stack{QModelIndex()};
        while (!stack.empty()) {
            const QModelIndex parent = stack.back();
            stack.pop_back();
            for (int row = 0; row < model->rowCount(parent); ++row) {
                const QModelIndex index = model->index(row, 0, parent);
                if (TreeModel::node_of(index)->path() == path) {
                    return index;
                }
                stack.push_back(index);
            }
        }
        return {};
    }

    void open_folder(const QModelIndex& index) {
        QTreeView* tree = page()->findChild<QTreeView*>("tv_dirtree");
        tree->scrollTo(index);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
    }

    void click_cell(int row, int column) {
        MyQTableView* table = page()->file_table();
        const QModelIndex index = table->model()->index(row, column);
        table->scrollTo(index);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(index).center());
    }

    // Presses the recover button, picks folder, reads the summary and opens the folder from it.
    QString restore_into(const QString& folder) {
        file_dialog_answer_c choose(folder);
        box_answer_c summary(QMessageBox::Ok);
        summary.click_text = text("recovery_open_folder");
        const int opened_before = opened.size();
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
        if (choose.dialogs != 1 || choose.directory != QDir::homePath()) {
            return QStringLiteral("no folder dialog in the home folder");
        }
        if (!QTest::qWaitFor([&] { return opened.size() > opened_before; }, 60000)) {
            return QStringLiteral("the destination was never opened");
        }
        return summary.text;
    }

  public slots:
    void open_url(const QUrl& url) { opened << url; }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open_url");
        qputenv("HOME", dir.path().toUtf8());
        init_done = 1;
    }

    void init() {
        scanning = false;
        window = std::make_unique<main_window_c>();
        window->resize(900, 640);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        scanning = false;
        volume_list.clear();
    }

    void quick_scan_restores_deleted_files_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<int>("partition");
        QTest::addColumn<QString>("folder");    // as the tree shows it
        QTest::addColumn<QString>("original");  // as the manifest names it
        QTest::addColumn<QStringList>("statuses");
        // FAT short names lose their first letter when deleted: compared by content.
        QTest::newRow("FAT32") << "fat/fat32.img" << 1 << "/#rash/#ub"
                               << "/trash/sub" << QStringList{"deleted-in-folder"};
        QTest::newRow("NTFS") << "ntfs/ntfs4k.img" << 0 << "/docs/small"
                              << "/docs/small" << QStringList{"deleted"};
        // A deleted file and its two named streams, restored as "gone.txt_one" and so on.
        QTest::newRow("NTFS streams") << "ntfs/ntfsnames.img" << 0 << "/ads"
                                      << "/ads" << QStringList{"deleted"};
    }
    void quick_scan_restores_deleted_files() {
        QFETCH(QString, image);
        QFETCH(int, partition);
        QFETCH(QString, folder);
        QFETCH(QString, original);
        QFETCH(QStringList, statuses);
        if (!fixture_exists(image)) {
            QSKIP("fixture missing (tests/fixtures/)");
        }
        QVERIFY(scan_from_volume_page(fixture_path(image), partition));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        const QModelIndex index = find_folder(folder);
        QVERIFY2(index.isValid(), qPrintable(folder + " not in the tree"));
        open_folder(index);
        std::vector<recovery_item_s>& files = page()->files();
        QString manifest = fixture_path(image);
        manifest.replace(QStringLiteral(".img"), QStringLiteral(".manifest"));
        QStringList want;
        const expected_map expected = read_manifest(manifest, statuses);
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            if (it.key().section(QLatin1Char('/'), 0, -2) == original) {
                want << QString::fromLatin1(it.value());
            }
        }
        want.sort();
        QCOMPARE(files.size(), std::size_t(want.size()));
        for (int row = 0; row < static_cast<int>(files.size()); ++row) {
            click_cell(row, 0);
            QVERIFY(files[static_cast<std::size_t>(row)].checked);
        }
        const QString to = dir.filePath(QStringLiteral("quick-") + QTest::currentDataTag());
        QVERIFY(QDir().mkpath(to));
        const int n = static_cast<int>(want.size());
        QCOMPARE(restore_into(to), text("recovery_summary").arg(n).arg(n).arg(0));
        QCOMPARE(opened.last(), QUrl::fromLocalFile(to));
        auto restored = restored_files(to);
        QStringList have;
        for (const QByteArray& sha : restored)
            have << QString::fromLatin1(sha);
        have.sort();
        QCOMPARE(have, want);
        // Again into the same folder: the first files stay, the new ones get " (2)".
        QCOMPARE(restore_into(to), text("recovery_summary").arg(n).arg(n).arg(0));
        const auto twice = restored_files(to);
        QCOMPARE(twice.size(), 2 * n);
        for (auto it = restored.begin(); it != restored.end(); ++it) {
            QCOMPARE(twice.value(it.key()), it.value());
            const int dot = it.key().lastIndexOf(QLatin1Char('.'));
            QCOMPARE(twice.value(it.key().left(dot) + " (2)" + it.key().mid(dot)), it.value());
        }
    }

    // A volume read through its backup boot region says so on the scan's status line, in the
    // language shown; one read through its main region says nothing of it.
    void backup_boot_region_on_status_line_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("backup");
        QTest::newRow("main boot region damaged") << "exfat/exfat4k_backup.img" << true;
        QTest::newRow("main boot region sound") << "exfat/exfat4k.img" << false;
    }
    void backup_boot_region_on_status_line() {
        QFETCH(QString, image);
        QFETCH(bool, backup);
        if (!fixture_exists(image)) {
            QSKIP("fixture missing (tests/fixtures/unpack_exfat_scan.sh)");
        }
        QVERIFY(scan_from_volume_page(fixture_path(image), 0));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        QVERIFY(!text("recovery_backup_boot").isEmpty());
        QCOMPARE(page()->status_text().endsWith(text("recovery_backup_boot")), backup);
        QVERIFY(page()->status_text().startsWith(text("recovery_reading")));
    }

    void possibly_overwritten_files_are_marked() {
        if (!fixture_exists("ntfs/ntfs4k.img")) {
            QSKIP("fixture ntfs/ntfs4k.img missing");
        }
        QVERIFY(scan_from_volume_page(fixture_path("ntfs/ntfs4k.img"), 0));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        open_folder(find_folder("/docs"));
        const auto& files = page()->files();
        int marked = 0;
        for (int row = 0; row < static_cast<int>(files.size()); ++row) {
            const QString tip =
                page()->table_model_now()->index(row, 1).data(Qt::ToolTipRole).toString();
            QCOMPARE(tip.isEmpty(), !files[static_cast<std::size_t>(row)].overwritten);
            marked += files[static_cast<std::size_t>(row)].name == "old.bin" && !tip.isEmpty();
        }
        QCOMPARE(marked, 1);
    }

    void deep_scan_restores_saves_and_resumes() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        const QString image = QFileInfo(fixture_path("raw/raw.img")).canonicalFilePath();
        use_images({image});
        volume_item_s whole;
        whole.device_name = whole.volume_name = whole.path = image;
        whole.total_bytes = static_cast<std::uint64_t>(QFileInfo(image).size());
        QCOMPARE(page()->scan_volume(whole, true), 0);
        window->show_page(4);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        QMultiMap<QString, QByteArray> expected;  // type -> sha256
        QFile manifest(fixture_path("raw/raw.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const auto f = line.split(' ');
            if (f.size() == 5) {
                expected.insert(QString::fromLatin1(f[3]), f[2]);
            }
        }
        // Keep the folders and tick "/": every found file, in one folder per type.
        page()->findChild<QCheckBox*>("chk_keep_folders")->setChecked(true);
        const QModelIndex top = find_folder("/");
        QVERIFY(page()->tree_model_now()->setData(top, Qt::Checked, Qt::CheckStateRole));
        const QString to = dir.filePath("deep");
        QVERIFY(QDir().mkpath(to));
        // The files the deep scan could not check whole are counted apart.
        const raw_recovery_c& raw = page()->scan_session().raw_engine();
        int unverified = 0;
        for (std::size_t i = 0; i < raw.records().size(); ++i) {
            unverified += is_verified(raw.verified(i)) ? 0 : 1;
        }
        QVERIFY(unverified > 0);  // the image holds BMP, WAV, SQLite... files
        QCOMPARE(restore_into(to), text("recovery_summary_unverified")
                                       .arg(expected.size())
                                       .arg(expected.size())
                                       .arg(0)
                                       .arg(unverified));
        QMultiMap<QString, QByteArray> got;
        const auto restored = restored_files(to);
        for (auto it = restored.begin(); it != restored.end(); ++it) {
            got.insert(it.key().section(QLatin1Char('/'), 1, 1), it.value());
        }
        QCOMPARE(got.size(), expected.size());
        for (const QString& type : expected.uniqueKeys()) {
            QStringList want, have;
            for (const QByteArray& sha : expected.values(type))
                want << sha;
            for (const QByteArray& sha : got.values(type))
                have << sha;
            want.sort();
            have.sort();
            QCOMPARE(have, want);
        }

        // "Verified files only": the files checked only at their start are unticked, hidden,
        // and stay out of a folder's tick and of the restore.
        auto* checked_only = page()->findChild<QCheckBox*>("chk_verified_only");
        QVERIFY(checked_only && checked_only->isVisible());
        checked_only->setChecked(true);
        QCOMPARE(page()->tree_model_now()->ticked_totals().files,
                 std::int64_t(expected.size() - unverified));
        QVERIFY(page()->tree_model_now()->setData(top, Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(page()->tree_model_now()->setData(top, Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(page()->tree_model_now()->ticked_totals().files,
                 std::int64_t(expected.size() - unverified));
        for (const QString& type : expected.uniqueKeys()) {
            open_folder(find_folder("/" + type));
            const auto& files = page()->files();
            for (int row = 0; row < static_cast<int>(files.size()); ++row) {
                const recovery_item_s& file = files[static_cast<std::size_t>(row)];
                QCOMPARE(page()->file_table()->isRowHidden(row), file.unverified);
                QCOMPARE(file.checked, !file.unverified);
            }
        }
        const QString verified_to = dir.filePath("deep-verified");
        QVERIFY(QDir().mkpath(verified_to));
        const int kept = static_cast<int>(expected.size()) - unverified;
        QCOMPARE(restore_into(verified_to), text("recovery_summary").arg(kept).arg(kept).arg(0));
        QCOMPARE(restored_files(verified_to).size(), kept);
        for (const QByteArray& sha : restored_files(verified_to)) {
            QVERIFY(got.values().contains(sha));  // every one exact
        }
        checked_only->setChecked(false);

        // Save, leave, load it again through the home page's resume and restore one type.
        const QString sav = dir.filePath("deep.sav");
        {
            file_dialog_answer_c save(sav);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_filter"), Qt::LeftButton);
            QCOMPARE(save.dialogs, 1);
        }
        // the records, then the units this program adds (index ~0): a unit of marks per 16
        // records, the files' names and dates, and last the two that tie the file to the image
        {
            QFile saved(sav);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            const QByteArray data = saved.readAll();
            QCOMPARE((data.size() - 256) % 32, qsizetype(0));
            qsizetype records = 0;
            qsizetype marks = 0;
            for (qsizetype at = 256; at < data.size(); at += 32) {
                const bool added = data.mid(at, 8) == QByteArray(8, '\xff');
                records += added ? 0 : 1;
                marks += added && data.mid(at + 24, 8) == QByteArray("\0ORVLVL1", 8) ? 1 : 0;
            }
            QCOMPARE(records, qsizetype(expected.size()));
            QCOMPARE(marks, qsizetype((expected.size() + 15) / 16));
            QCOMPARE(data.right(8), QByteArray("\0ORVVOL2", 8));
        }
        window->abort_scan();
        window->show_page(0);
        volume_list = {volume_item_s{}, whole};
        {
            file_dialog_answer_c load(sav);
            window->on_click_home_resume();
            QCOMPARE(load.dialogs, 1);
        }
        QCOMPARE(window->current_index(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);  // the names and dates are read
        QVERIFY(page()->findChild<QPushButton*>("btn_pause")->isHidden());
        const QString type = expected.firstKey();
        open_folder(find_folder(QLatin1Char('/') + type));
        QCOMPARE(page()->files().size(), std::size_t(expected.count(type)));
        QTest::mouseClick(page()->file_header()->viewport(), Qt::LeftButton, {}, QPoint(10, 10));
        page()->findChild<QCheckBox*>("chk_keep_folders")->setChecked(false);
        const QString again = dir.filePath("resumed");
        QVERIFY(QDir().mkpath(again));
        restore_into(again);
        QStringList want, have;
        for (const QByteArray& sha : expected.values(type))
            want << sha;
        for (const QByteArray& sha : restored_files(again))
            have << sha;
        want.sort();
        have.sort();
        QCOMPARE(have, want);
    }
    void unsupported_file_systems_start_nothing_data() {
        QTest::addColumn<QString>("file_system");
        QTest::addColumn<bool>("deep");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("kind");
        QTest::newRow("HFS+") << "hfsplus" << false << -1 << int(engine_none);
        QTest::newRow("XFS") << "xfs" << false << -1 << int(engine_none);
        QTest::newRow("ext4") << "ext4" << false << 0 << int(engine_ext4);
        QTest::newRow("exFAT, deep") << "exFAT" << true << 0 << int(engine_signature);
        QTest::newRow("FAT32") << "FAT32" << false << 0 << int(engine_fat);
        QTest::newRow("NTFS") << "NTFS" << false << 0 << int(engine_ntfs);
    }
    void unsupported_file_systems_start_nothing() {
        QFETCH(QString, file_system);
        QFETCH(bool, deep);
        QFETCH(int, result);
        QFETCH(int, kind);
        const volume_item_s v =
            memory_volume("fs", std::make_shared<const QByteArray>(1 << 20, '\0'), file_system);
        QCOMPARE(page()->scan_volume(v, deep), result);
        QCOMPARE(scanning, result == 0);
        QCOMPARE(int(page()->scan_session().engine_kind()), kind);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
    }

    void deep_scan_question_data() {
        QTest::addColumn<int>("folders");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("boxes");
        QTest::newRow("natural end, No") << 1 << false << int(QMessageBox::No) << 1;
        QTest::newRow("natural end, Yes") << 1 << false << int(QMessageBox::Yes) << 1;
        QTest::newRow("stopped") << 40 << true << int(QMessageBox::Yes) << 0;
    }
    void deep_scan_question() {
        QFETCH(int, folders);
        QFETCH(bool, stop);
        QFETCH(int, answer);
        QFETCH(int, boxes);
        auto bytes = empty_looping_volume(folders);
        QVERIFY(bytes);
        const volume_item_s v = memory_volume("question", bytes, "FAT16");
        window->show_page(4);
        box_answer_c box{QMessageBox::StandardButton(answer)};
        QCOMPARE(page()->scan_volume(v, false), 0);
        auto* pause = page()->findChild<QPushButton*>("btn_pause");
        QCOMPARE(pause->text(), text("btn_pause"));
        if (stop) {
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_stop"), Qt::LeftButton);
        }
        if (boxes) {
            QTRY_COMPARE_WITH_TIMEOUT(box.boxes, boxes, 30000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
            QTest::qWait(50);
            QCOMPARE(box.boxes, 0);
        }
        if (boxes) {
            QCOMPARE(box.text, text("deep_scan_query"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!scanning || answer == QMessageBox::Yes, 30000);
        if (boxes && answer == QMessageBox::Yes) {
            // The signature engine on the same volume; its status line counts bytes.
            QCOMPARE(page()->scan_session().engine_kind(), engine_signature);
            QCOMPARE(page()->scan_session().target().device_name, v.device_name);
            QVERIFY(page()->is_deep_scan());
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
            return;
        }
        QVERIFY(page()->tree_model_now()->rowCount() == 0);
        // The pause button now starts the same scan again.
        QCOMPARE(pause->text(), text("btn_start"));
        box_answer_c again{QMessageBox::No};
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(page()->scan_session().engine_kind(), engine_fat);
        QVERIFY(scanning || again.boxes == 1);
        page()->engine()->set_stop(stop_abort);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
    }

    void preview() {
        // A FAT16 volume made by mkfs.fat and mtools with four files deleted from /prev.
        const QString image = dir.filePath("preview.img");
        QFile::remove(image);
        QByteArray five(5242880, 'x');
        for (int i = 0; i < five.size(); i += 64)
            five[i] = '\n';
        five.replace(0, 12, "first line\n\n");
        const QByteArray utf16 =
            QByteArray("\xFF\xFE", 2) + QByteArray(reinterpret_cast<const char*>(u"Grüße ✓"), 14);
        QImage picture(40, 20, QImage::Format_RGB32);
        picture.fill(Qt::red);
        const struct {
            const char* name;
            QByteArray bytes;
        } files[] = {{"text5.txt", five},
                     {"big6.txt", QByteArray(6 * 1048576, 'y')},
                     {"utf16.txt", utf16},
                     {"pic.png", QByteArray()}};
        QVERIFY(run_tool("mkfs.fat", {"-C", "-F", "16", image, "16384"}));
        QVERIFY(run_tool("mmd", {"-i", image, "::/prev"}));
        for (const auto& f : files) {
            const QString path = dir.filePath(QString::fromLatin1(f.name));
            if (f.bytes.isEmpty()) {
                QVERIFY(picture.save(path));
            } else {
                QFile out(path);
                QVERIFY(out.open(QIODevice::WriteOnly));
                out.write(f.bytes);
            }
            QVERIFY(run_tool("mcopy", {"-i", image, path, "::/prev/"}));
        }
        for (const auto& f : files) {
            QVERIFY(run_tool("mdel", {"-i", image, QStringLiteral("::/prev/") + f.name}));
        }
        QVERIFY(scan_from_volume_page(image, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        open_folder(find_folder("/prev"));
        const auto& listed = page()->files();
        auto row_of = [&](std::uint64_t size) {
            for (int row = 0; row < static_cast<int>(listed.size()); ++row) {
                if (listed[static_cast<std::size_t>(row)].size == size)
                    return row;
            }
            return -1;
        };
        click_cell(row_of(5242880), 1);
        QTRY_VERIFY(page()->preview_is_shown());
        QCOMPARE(page()->preview_text(), QString::fromLatin1(five.left(8192)));
        click_cell(row_of(6 * 1048576), 1);
        QVERIFY(!page()->preview_is_shown());
        QTest::qWait(200);
        QVERIFY(!page()->preview_is_shown());
        click_cell(row_of(utf16.size()), 1);
        QTRY_VERIFY(page()->preview_is_shown());
        QCOMPARE(page()->preview_text(), QStringLiteral("Grüße ✓"));
        click_cell(row_of(QFileInfo(dir.filePath("pic.png")).size()), 1);
        QTRY_VERIFY(page()->preview_is_shown() && !page()->preview_image().isNull());
        QCOMPARE(page()->preview_image().size(), QSize(40, 20));
        QVERIFY(
            !listed[static_cast<std::size_t>(row_of(5242880))].checked);  // column 1 ticks nothing
    }
};

QTEST_MAIN(test_recovery_page)
#include "test_recovery_page.moc"
