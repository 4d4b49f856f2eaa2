// The scan page tells what will happen and what happened: tri-state ticks that are exactly
// what a restoration restores, the true progress of a stopped scan, status texts clear of
// the animation, files counted apart from folders, the restoration's summary, scan files
// with their suffix, risky questions that default to No, and plain words where nothing can
// be done. End to end on the real pages, offscreen.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "engine/restore_names.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_file.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/restore_summary_bar.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_volume_window.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QFileDialog>
#include <QLabel>
#include <QListView>
#include <QMovie>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

namespace {

bool run_tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Every file under folder, by its path below folder, without the " (2)" that a second file
// of the same name gets.
QStringList restored_paths(const QString& folder) {
    QStringList paths;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    static const QRegularExpression copy_mark(QStringLiteral(" \\(\\d+\\)(?=(\\.[^./]*)?$)"));
    while (it.hasNext()) {
        paths << it.next().mid(folder.size()).remove(copy_mark);
    }
    paths.sort();
    return paths;
}

}  // namespace

class test_scan_page_truth : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<main_window_c> window;
    QList<QUrl> opened;

    recovery_window_c* page() { return window->recovery_page; }
    QTreeView* tree() { return page()->findChild<QTreeView*>("tv_dirtree"); }

    bool scan_from_volume_page(const QString& image, int partition) {
        use_images({image});
        enumerate_volumes();
        enumerate_physical_drives();
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

    void click_folder(const QModelIndex& index) {
        tree()->scrollTo(index);
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {},
                          tree()->visualRect(index).center());
    }

    // A click on the folder's tick box, where the view's delegate draws it.
    void click_tick_box(const QModelIndex& index) {
        tree()->scrollTo(index);
        QStyleOptionViewItem option;
        option.initFrom(tree());
        option.rect = tree()->visualRect(index);
        option.features = QStyleOptionViewItem::HasCheckIndicator |
                          QStyleOptionViewItem::HasDecoration | QStyleOptionViewItem::HasDisplay;
        option.decorationSize = tree()->iconSize().isValid() ? tree()->iconSize() : QSize(16, 16);
        option.text = index.data().toString();
        const QRect box =
            tree()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree());
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, box.center());
    }

    void click_cell(int row, int column) {
        MyQTableView* table = page()->file_table();
        const QModelIndex index = table->model()->index(row, column);
        table->scrollTo(index);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(index).center());
    }

    // Every ticked file of the tree as "folder/name", listed from the engine's results.
    QStringList ticked_paths() {
        QStringList paths;
        std::vector<const folder_node*> stack{page()->tree_model_now()->root()};
        std::vector<recovery_item_s> files;
        while (!stack.empty()) {
            const folder_node* node = stack.back();
            stack.pop_back();
            for (const auto& child : node->children) {
                stack.push_back(child.get());
            }
            if (node->path().isEmpty()) {
                continue;
            }
            fill_file_list(files, page()->engine(), page()->scan_session().engine_kind(),
                           node->folder_ref);
            QString folder;
            for (const QString& part : node->path().split('/', Qt::SkipEmptyParts)) {
                folder += '/' + safe_file_name(part);
            }
            for (const recovery_item_s& file : files) {
                if (TreeModel::file_ticked(node, file)) {
                    paths << folder + '/' + safe_file_name(file.name);
                }
            }
        }
        paths.sort();
        return paths;
    }

  public slots:
    void open_url(const QUrl& url) { opened << url; }

  private slots:
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

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

    void ticks_are_what_is_restored() {
        if (!fixture_exists("fat/fat32.img")) {
            QSKIP("fixture fat/fat32.img missing (tests/fixtures/make_fat_scan.sh)");
        }
        QVERIFY(scan_from_volume_page(fixture_path("fat/fat32.img"), 1));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        TreeModel* model = page()->tree_model_now();
        const QModelIndex top = find_folder("/");
        QVERIFY(top.isValid());
        // Highlight a sub-folder, then tick "/" by its box: the table keeps showing the
        // highlighted folder, now ticked like everything else.
        QVERIFY(model->rowCount(top) > 0);
        const QModelIndex sub = model->index(0, 0, top);
        click_folder(sub);
        QCOMPARE(page()->open_folder_node(), TreeModel::node_of(sub));
        click_tick_box(top);
        QCOMPARE(top.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(page()->open_folder_node(), TreeModel::node_of(tree()->currentIndex()));
        for (const recovery_item_s& file : page()->files()) {
            QVERIFY(file.checked);
        }
        const tick_count_s found = model->found_totals();
        QCOMPARE(model->ticked_totals().files, found.files);
        QCOMPARE(page()->ticked_label()->text(),
                 plural_text("recovery_ticked", qint64(found.files)).arg(format_size(found.bytes)));

        // Untick one file: its folder and every folder above it are partly ticked.
        click_folder(sub);
        QVERIFY(!page()->files().empty());
        const recovery_item_s left_out = page()->files().front();
        click_cell(0, 0);
        QVERIFY(!page()->files().front().checked);
        for (QModelIndex up = sub; up.isValid(); up = up.parent()) {
            QCOMPARE(up.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        }
        const tick_count_s ticked = model->ticked_totals();
        QCOMPARE(ticked.files, found.files - 1);
        QCOMPARE(ticked.bytes, found.bytes - left_out.size);
        // Another folder and back: the file is still unticked.
        click_folder(top);
        click_folder(sub);
        QVERIFY(!page()->files().front().checked);

        // Recover with the folders kept: exactly the ticked files come back.
        page()->findChild<QCheckBox*>("chk_keep_folders")->setChecked(true);
        const QStringList want = ticked_paths();
        QCOMPARE(want.size(), int(ticked.files));
        const QString to = dir.filePath("ticked");
        QVERIFY(QDir().mkpath(to));
        file_dialog_answer_c choose(to);
        box_answer_c summary(QMessageBox::Ok);
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(summary.boxes, 1, 60000);
        QCOMPARE(restored_paths(to), want);
        const int n = int(ticked.files);
        const int flagged = page()->restoration()->overwritten.load();
        QCOMPARE(summary.text.section('\n', 0, 0),
                 flagged ? text("recovery_summary_overwritten").arg(n).arg(n).arg(0).arg(flagged)
                         : text("recovery_summary").arg(n).arg(n).arg(0));
        // The bar ends full, and the destination opens only when asked for.
        QCOMPARE(page()->bar_value(), 1.0);
        QVERIFY(summary.extra_buttons.contains(text("recovery_open_folder")));
        QVERIFY(opened.isEmpty());
    }

    void summary_counts_possibly_overwritten_files() {
        if (!fixture_exists("ntfs/ntfs4k.img")) {
            QSKIP("fixture ntfs/ntfs4k.img missing");
        }
        QVERIFY(scan_from_volume_page(fixture_path("ntfs/ntfs4k.img"), 0));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        QVERIFY(
            page()->tree_model_now()->setData(find_folder("/"), Qt::Checked, Qt::CheckStateRole));
        const int n = int(page()->tree_model_now()->ticked_totals().files);
        const QString to = dir.filePath("overwritten");
        QVERIFY(QDir().mkpath(to));
        file_dialog_answer_c choose(to);
        box_answer_c summary(QMessageBox::Ok);
        summary.click_text = text("recovery_open_folder");
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(summary.boxes, 1, 60000);
        const recovery_file_c* worker = page()->restoration();
        const int flagged = worker->overwritten.load();
        QVERIFY2(flagged >= 1, "old.bin of the fixture is possibly overwritten");
        const int failed = n - worker->restored;
        QCOMPARE(summary.text.section('\n', 0, 0), text("recovery_summary_overwritten")
                                                       .arg(worker->restored)
                                                       .arg(n)
                                                       .arg(failed)
                                                       .arg(flagged));
        QTRY_COMPARE(opened.size(), 1);
        QCOMPARE(opened.last(), QUrl::fromLocalFile(to));
        // The bar's parts: restored cleanly, possibly overwritten, failed.
        const auto parts =
            restore_summary_bar_c::part_widths(worker->restored - flagged, flagged, failed, 200);
        QCOMPARE(parts[0] + parts[1] + parts[2], 200);
        QVERIFY(parts[1] >= 1);
        QCOMPARE(parts[2] == 0, failed == 0);
    }

    void summary_bar_parts_data() {
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<int>("width");
        QTest::addColumn<QList<int>>("widths");
        QTest::newRow("all restored") << QList<int>{5, 0, 0} << 100 << QList<int>{100, 0, 0};
        QTest::newRow("thirds") << QList<int>{1, 1, 1} << 99 << QList<int>{33, 33, 33};
        QTest::newRow("one failed among many")
            << QList<int>{100000, 0, 1} << 200 << QList<int>{199, 0, 1};
        QTest::newRow("nothing") << QList<int>{0, 0, 0} << 100 << QList<int>{0, 0, 0};
    }
    void summary_bar_parts() {
        QFETCH(QList<int>, counts);
        QFETCH(int, width);
        QFETCH(QList<int>, widths);
        const auto parts =
            restore_summary_bar_c::part_widths(counts[0], counts[1], counts[2], width);
        QCOMPARE((QList<int>{parts[0], parts[1], parts[2]}), widths);
    }

    void stopped_deep_scan_shows_what_was_scanned() {
        // 8 GiB of nothing (a sparse file): long enough to stop half-way.
        const QString image = dir.filePath("big.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(8) << 30));
        file.close();
        use_images({image});
        volume_item_s whole;
        whole.device_name = whole.volume_name = whole.path = QFileInfo(image).canonicalFilePath();
        whole.total_bytes = quint64(8) << 30;
        window->show_page(4);
        QCOMPARE(page()->scan_volume(whole, true), 0);
        auto* movie = page()->findChild<QLabel*>("lbl_anime")->movie();
        QCOMPARE(movie->state(), QMovie::Running);
        QTRY_VERIFY_WITH_TIMEOUT(page()->engine()->get_progress() > 0.01, 30000);
        {
            box_answer_c wait(QMessageBox::Ok);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
            QCOMPARE(wait.text, text("recovery_scan_running"));
        }
        // Paused: the animation stands still.
        auto* pause = page()->findChild<QPushButton*>("btn_pause");
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(movie->state(), QMovie::Paused);
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(movie->state(), QMovie::Running);
        box_answer_c nothing(QMessageBox::Ok);
        QTest::mouseClick(page()->findChild<QPushButton*>("btn_stop"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        const double at = page()->scan_session().progress_at_end();
        QVERIFY2(at > 0.0 && at < 1.0, qPrintable(QString::number(at)));
        QCOMPARE(page()->bar_value(), at);
        const QString scanned = format_size(static_cast<std::uint64_t>(at * (8.0 * (1 << 30))));
        QCOMPARE(page()->status_text(), QStringLiteral("%1 %2").arg(text("raw_progress"), scanned) +
                                            text("recovery_stopped_at").arg(int(at * 100)));
        QVERIFY(!page()->status_text().contains(format_size(quint64(8) << 30)));
        // It found nothing, and says so on its status lines, without a box for what the user
        // asked for.
        QCOMPARE(page()->found_text(), QStringLiteral("%1 0").arg(text("recovery_total_files")));
        QTest::qWait(100);
        QCOMPARE(nothing.boxes, 0);
        QCOMPARE(movie->state(), QMovie::NotRunning);
    }

    void status_texts_stand_clear_of_the_animation_data() {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QSize>("size");
        QTest::newRow("English, 800 x 600") << "English" << QSize(800, 600);
        QTest::newRow("Deutsch, 800 x 600") << "Deutsch" << QSize(800, 600);
        QTest::newRow("简体中文, 1280 x 1000") << "简体中文" << QSize(1280, 1000);
    }
    void status_texts_stand_clear_of_the_animation() {
        QFETCH(QString, language);
        QFETCH(QSize, size);
        language_state() = language_state_s{};
        language_state().current_name = language;
        QCOMPARE(load_language("English", false), 0);
        QCOMPARE(load_language(language, true), 0);
        window->resize(size);
        window->show_page(4);
        QApplication::processEvents();
        const QRect animation = page()->animation_rect();
        QVERIFY(animation.width() > 0);
        for (const QRect& part :
             {page()->status_rect(), page()->bar_rect(), page()->found_rect()}) {
            QVERIFY2(!part.intersects(animation), qPrintable(language));
            QVERIFY(part.width() > 150);
            // Nor under the scan's buttons.
            for (const char* name : {"btn_pause", "btn_stop", "btn_filter"}) {
                QVERIFY(!part.intersects(page()->findChild<QPushButton*>(name)->geometry()));
            }
        }
        fresh_language_state(dir.path());
    }

    void files_are_counted_apart_from_folders() {
        if (!fixture_exists("fat/fat32.img")) {
            QSKIP("fixture fat/fat32.img missing (tests/fixtures/make_fat_scan.sh)");
        }
        QVERIFY(scan_from_volume_page(fixture_path("fat/fat32.img"), 1));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        // Count the files and folders by opening every folder, as a user would.
        int files = 0;
        int folders = 0;
        std::vector<QModelIndex> stack{find_folder("/")};
        while (!stack.empty()) {
            const QModelIndex index = stack.back();
            stack.pop_back();
            folders += TreeModel::node_of(index)->path() != "/";
            click_folder(index);
            files += int(page()->files().size());
            for (int row = 0; row < page()->tree_model_now()->rowCount(index); ++row) {
                stack.push_back(page()->tree_model_now()->index(row, 0, index));
            }
        }
        QVERIFY(files > 0 && folders > 0);
        QVERIFY(page()->engine()->get_found_count() > files);  // the engine counts folders too
        QCOMPARE(page()->found_text(), QStringLiteral("%1 %2    %3 %4")
                                           .arg(text("recovery_total_files"))
                                           .arg(files)
                                           .arg(text("recovery_total_folders"))
                                           .arg(folders));
    }

    void deep_scan_counts_and_saves_with_its_suffix() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        const QString image = QFileInfo(fixture_path("raw/raw.img")).canonicalFilePath();
        use_images({image});
        volume_item_s whole;
        whole.device_name = whole.volume_name = whole.path = image;
        whole.label = "card";
        whole.total_bytes = static_cast<std::uint64_t>(QFileInfo(image).size());
        window->show_page(4);
        QCOMPARE(page()->scan_volume(whole, true), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        const qsizetype records = qsizetype(page()->scan_session().raw_engine().records().size());
        QVERIFY(records > 0);
        QCOMPARE(page()->found_text(),
                 QStringLiteral("%1 %2").arg(text("recovery_total_files")).arg(records));
        // Files found by their content have no dates.
        click_folder(page()->tree_model_now()->index(0, 0, find_folder("/")));
        QVERIFY(!page()->files().empty());
        QCOMPARE(local_date_text(page()->files().front().date1), QStringLiteral("-"));

        // Leaving unsaved results asks first, No by default, and No stays.
        {
            box_answer_c ask(QMessageBox::No);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_back"), Qt::LeftButton);
            QCOMPARE(ask.boxes, 1);
            QCOMPARE(ask.text, text("unsaved_results_warning"));
            QCOMPARE(ask.default_button, QMessageBox::No);
            QCOMPARE(window->current_index(), 4);
        }
        // Saved as "card-scan": written as card-scan.sav, by a dialog named for saving.
        const QString sav = dir.filePath("card-scan");
        {
            file_dialog_answer_c save(sav);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_filter"), Qt::LeftButton);
            QCOMPARE(save.dialogs, 1);
        }
        QVERIFY(QFileInfo::exists(sav + ".sav"));
        QVERIFY(!QFileInfo::exists(sav));
        {
            box_answer_c none(QMessageBox::No);
            window->on_click_top1();  // saved: no question
            QCOMPARE(none.boxes, 0);
            QCOMPARE(window->current_index(), 1);
        }
        // Loaded again: the volume, the count and the date, not "Records read: 0".
        window->show_page(0);
        volume_list = {volume_item_s{}, whole};
        {
            file_dialog_answer_c load(sav + ".sav");
            window->on_click_home_resume();
            QCOMPARE(load.dialogs, 1);
        }
        QCOMPARE(window->current_index(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);  // the names and dates are read
        QVERIFY(
            page()->status_text().startsWith(text("recovery_loaded").section("%1", 0, 0) + "card"));
        QVERIFY(!page()->status_text().contains(text("recovery_reading")));
        QVERIFY(page()->status_text().contains(
            QLocale().toString(QFileInfo(sav + ".sav").lastModified(), QLocale::ShortFormat)));
        QCOMPARE(page()->found_text(),
                 QStringLiteral("%1 %2").arg(text("recovery_total_files")).arg(records));
    }

    void dialogs_are_titled_by_what_they_do() {
        QStringList titles;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                titles << d->windowTitle();
                d->reject();
            }
        });
        poll.start(5);
        window->show_page(0);
        window->on_click_home_resume();
        QTRY_COMPARE(titles.size(), 1);
        QCOMPARE(titles.at(0), text("recovery_open_title"));
    }

    void no_silent_no_ops() {
        // A volume whose file system has no quick scan: the deep scan is offered.
        volume_list = {
            volume_item_s{},
            memory_volume("xfs", std::make_shared<const QByteArray>(1 << 20, '\0'), "xfs")};
        window->on_init_finished();
        window->deep_scan = false;
        window->show_page(1);
        QListView* view = window->volume_page->form->lv_volumes;
        view->setCurrentIndex(view->model()->index(1, 0));
        {
            box_answer_c offer(QMessageBox::Yes);
            QTest::mouseClick(window->volume_page->findChild<QPushButton*>("btn_scan"),
                              Qt::LeftButton);
            QVERIFY2(offer.boxes == 1,
                     qPrintable(QStringLiteral("page %1 kind %2 scanning %3")
                                    .arg(window->current_index())
                                    .arg(int(page()->scan_session().engine_kind()))
                                    .arg(scanning)));
            QCOMPARE(offer.text, text("no_quick_scan_query").arg("xfs"));
        }
        QCOMPARE(window->current_index(), 4);
        QCOMPARE(page()->scan_session().engine_kind(), engine_signature);
        // A deep scan that found nothing, Recover and Save then: each says so.
        {
            box_answer_c nothing(QMessageBox::Ok);
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
            QTRY_COMPARE(nothing.boxes, 1);
            QCOMPARE(nothing.text, text("recovery_nothing_found"));
        }
        {
            box_answer_c box(QMessageBox::Ok);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
            QCOMPARE(box.text, text("recovery_nothing_to_recover"));
        }
        {
            box_answer_c box(QMessageBox::Ok);
            page()->on_save_result_clicked();
            QCOMPARE(box.text, text("recovery_save_empty"));
        }
    }

    void nothing_ticked_says_so() {
        if (!fixture_exists("fat/fat32.img")) {
            QSKIP("fixture fat/fat32.img missing (tests/fixtures/make_fat_scan.sh)");
        }
        QVERIFY(scan_from_volume_page(fixture_path("fat/fat32.img"), 1));
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        QVERIFY(page()->ticked_label()->text().isEmpty());
        {
            box_answer_c box(QMessageBox::Ok);
            QTest::mouseClick(page()->findChild<QPushButton*>("btn_recovery"), Qt::LeftButton);
            QCOMPARE(box.text, text("recovery_check_warning"));
        }
        // A quick scan's results have no scan file and are found again in moments: leaving
        // them asks nothing (the question is for what Save could have kept).
        box_answer_c ask(QMessageBox::Yes);
        window->on_click_top2();
        QCOMPARE(ask.boxes, 0);
        QCOMPARE(window->current_index(), 2);
    }

    void folders_are_in_natural_order() {
        // Folders made by mtools in an order of their own, each with a deleted file.
        const QString image = dir.filePath("order.img");
        QFile::remove(image);
        QVERIFY(run_tool("mkfs.fat", {"-C", "-F", "16", image, "16384"}));
        const QString note = dir.filePath("note.txt");
        QFile out(note);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("a note\n");
        out.close();
        const QStringList made{"b10", "B2", "a", "b1"};
        for (const QString& folder : made) {
            QVERIFY(run_tool("mmd", {"-i", image, "::/" + folder}));
            QVERIFY(run_tool("mcopy", {"-i", image, note, "::/" + folder + "/"}));
        }
        for (const QString& folder : made) {  // deleted after all were written: no reuse
            QVERIFY(run_tool("mdel", {"-i", image, "::/" + folder + "/note.txt"}));
        }
        QStringList first;
        for (int run = 0; run < 2; ++run) {
            QVERIFY(scan_from_volume_page(image, 0));
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
            const QModelIndex top = find_folder("/");
            QStringList order;
            for (int row = 0; row < page()->tree_model_now()->rowCount(top); ++row) {
                order << page()->tree_model_now()->index(row, 0, top).data().toString();
            }
            QCOMPARE(order.join(',').toLower(), QStringLiteral("a,b1,b2,b10"));
            if (run == 0) {
                first = order;
                window->abort_scan();
            } else {
                QCOMPARE(order, first);
            }
        }
    }
};

QTEST_MAIN(test_scan_page_truth)
#include "test_scan_page_truth.moc"
