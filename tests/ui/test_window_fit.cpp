// The window fits the screen and the user's language: pages that grow with the window, texts
// cut with "…" and shown whole in a tooltip, Qt's own texts translated, the current language
// marked, whole drives offered for a deep scan, warnings over the window and a second copy
// that raises the first.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "app/ui/qt_translations.h"
#include "app/ui/single_instance.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/ui/drive_delegate.h"
#include "device/ui/drive_window.h"
#include "device/ui/volume_delegate.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_drive_window.h"
#include "ui_volume_window.h"

#include <QAction>
#include <QActionGroup>
#include <QDialogButtonBox>
#include <QHelpEvent>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QToolTip>
#include <QTreeView>
#include <QtTest>

class test_window_fit : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        init_done = 1;
    }

    void cleanup() {
        platform::clear_images();
        install_qt_translations(QStringLiteral("English"));
        fresh_language_state(dir.path());
    }

    void pages_grow_with_the_window() {
        main_window_c window;
        window.resize(800, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        recovery_window_c* scan = window.recovery_page;
        window.show_page(4);
        QApplication::processEvents();
        auto* tree = scan->findChild<QTreeView*>("tv_dirtree");
        MyQTableView* table = scan->file_table();
        // At 800 x 600 the design's places.
        QCOMPARE(tree->geometry().topLeft(), QPoint(10, 79));
        QCOMPARE(tree->width(), 193);
        QCOMPARE(table->x(), 212);
        const QSize small_tree = tree->size();
        const QSize small_table = table->size();
        const int small_name = scan->file_header()->sectionSize(1);
        const int small_date = scan->file_header()->sectionSize(3);
        const QSize small_volumes = window.volume_page->form->lv_volumes->size();
        const QSize small_drives = window.drive_page->form->lv_drives->size();

        window.resize(1280, 1000);
        QApplication::processEvents();
        QVERIFY(tree->width() > small_tree.width() + 100);
        QVERIFY(tree->height() > small_tree.height() + 300);
        QVERIFY(table->width() > small_table.width() + 300);
        QVERIFY(table->height() > small_table.height() + 150);
        QVERIFY(scan->file_header()->sectionSize(1) > small_name);
        QVERIFY(scan->file_header()->sectionSize(3) > small_date);
        // The columns share the table's width.
        int columns = 0;
        for (int s = 0; s < 5; ++s) {
            columns += scan->file_header()->sectionSize(s);
        }
        QVERIFY(columns <= table->width() && columns > table->width() - 40);
        window.show_page(1);
        QApplication::processEvents();
        QVERIFY(window.volume_page->form->lv_volumes->width() > small_volumes.width() + 400);
        window.show_page(2);
        QApplication::processEvents();
        QVERIFY(window.drive_page->form->lv_drives->height() > small_drives.height() + 300);
    }

    void long_texts_are_cut_and_shown_whole_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("cut");
        QTest::newRow("narrow row") << 500 << true;
        QTest::newRow("wide row") << 4000 << false;
    }
    void long_texts_are_cut_and_shown_whole() {
        QFETCH(int, width);
        QFETCH(bool, cut);
        volume_item_s volume;
        volume.path = QStringLiteral("/home/someone/images/") + QString(60, 'x') + ".img";
        volume.label = "Card";
        const QString caption = volume_delegate_c::caption(volume);
        const QString shown = volume_delegate_c::shown_caption(volume, width);
        QCOMPARE(shown != caption, cut);
        QCOMPARE(shown.contains(QChar(0x2026)), cut);
        // The caption stays left of the usage bar.
        QVERIFY(QFontMetrics(QFont("Arial", 8)).horizontalAdvance(shown) <= width * 0.32 - 45);
        const QString name = "/dev/disk/by-id/" + QString(80, 'y');
        QCOMPARE(drive_delegate_c::shown_name(name, width).contains(QChar(0x2026)), cut);
        recovery_item_s item;
        item.name = QString(120, 'z') + ".jpg";
        QCOMPARE(recovery_delegate_c::shown_text(item, 1, width / 2).contains(QChar(0x2026)), cut);
    }

    void cut_names_show_in_a_tooltip() {
        std::vector<recovery_item_s> files(1);
        files[0].name = QString(150, 'n') + ".txt";
        files[0].size = 10;
        MyQTableView view;
        recovery_model_c model(&files);
        view.setModel(&model);
        view.setItemDelegate(new recovery_delegate_c(&view));
        view.resize(400, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QRect cell = view.visualRect(model.index(0, 1));
        QHelpEvent help(QEvent::ToolTip, cell.center(),
                        view.viewport()->mapToGlobal(cell.center()));
        QApplication::sendEvent(view.viewport(), &help);
        // Shown whole, as a tooltip that wraps on screen (rich text with places to break).
        QTRY_VERIFY(QToolTip::isVisible());
        QString shown = QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText();
        shown.remove(QChar(0x200B));
        QCOMPARE(shown, files[0].name);
        QToolTip::hideText();
    }

    void natural_order_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("numbers") << "photo 2"
                                 << "photo 10" << -1;
        QTest::newRow("case") << "a"
                              << "B" << -1;
        QTest::newRow("leading zeros") << "x007"
                                       << "x7" << -1;  // equal numbers: by code units
        QTest::newRow("huge numbers") << "f99999999999999999999"
                                      << "f100000000000000000000" << -1;
        QTest::newRow("prefix") << "doc"
                                << "doc1" << -1;
        QTest::newRow("same") << "Same"
                              << "Same" << 0;
    }
    void natural_order() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(natural_compare(a, b), order);
        QCOMPARE(natural_compare(b, a), -order);
    }

    void qt_texts_are_translated_data() {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("locale");
        QTest::newRow("de") << "Deutsch"
                            << "de";
        QTest::newRow("cn") << "简体中文"
                            << "zh_CN";
        QTest::newRow("pt") << "Português"
                            << "pt_BR";
    }
    void qt_texts_are_translated() {
        QFETCH(QString, language);
        QFETCH(QString, locale);
        QCOMPARE(qt_locale_of(language), locale);
        QDialogButtonBox english(QDialogButtonBox::Yes | QDialogButtonBox::No);
        const QString yes = english.button(QDialogButtonBox::Yes)->text();
        QVERIFY2(install_qt_translations(language), "qt6-translations-l10n is not installed");
        QDialogButtonBox translated(QDialogButtonBox::Yes | QDialogButtonBox::No);
        QVERIFY2(translated.button(QDialogButtonBox::Yes)->text() != yes,
                 qPrintable(translated.button(QDialogButtonBox::Yes)->text()));
        QVERIFY(!install_qt_translations(QStringLiteral("English")));
        QDialogButtonBox again(QDialogButtonBox::Yes | QDialogButtonBox::No);
        QCOMPARE(again.button(QDialogButtonBox::Yes)->text(), yes);
    }

    void the_current_language_is_marked() {
        language_state() = language_state_s{};
        language_state().current_name = QStringLiteral("Deutsch");
        QCOMPARE(load_language("English", false), 0);
        QCOMPARE(load_language("Deutsch", true), 0);
        main_window_c window;
        QMenu* languages = nullptr;
        for (QAction* action : window.settings_menu->actions()) {
            languages = action->menu() ? action->menu() : languages;
        }
        QVERIFY(languages);
        QStringList marked;
        for (QAction* entry : languages->actions()) {
            QVERIFY(entry->isCheckable());
            if (entry->isChecked()) {
                marked << entry->text();
            }
        }
        QCOMPARE(marked, QStringList{"Deutsch"});
    }

    void a_whole_drive_is_deep_scanned_from_the_page() {
        if (!fixture_exists("raw/raw.img")) {
            QSKIP("fixture raw/raw.img missing (tests/fixtures/make_raw_scan.sh)");
        }
        // An image of files with no partition table and no file system: only a drive.
        const QString image = QFileInfo(fixture_path("raw/raw.img")).canonicalFilePath();
        main_window_c window;
        window.resize(900, 640);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        use_images({image});
        enumerate_volumes();
        enumerate_physical_drives();
        window.on_init_finished();
        window.on_click_top1();
        QListView* view = window.volume_page->form->lv_volumes;
        const int volumes = view->model()->rowCount();
        window.on_click_top3();  // deep scan: the drives are listed too
        QCOMPARE(window.current_index(), 1);
        QVERIFY(window.volume_page->whole_drives_listed());
        int row = -1;
        for (int r = volumes; r < view->model()->rowCount(); ++r) {
            const auto v = view->model()->index(r, 0).data().value<volume_item_s>();
            if (v.device_name == image) {
                row = r;
                QCOMPARE(v.label, text("volume_whole_drive"));
            }
        }
        QVERIFY2(row >= volumes, "the image is listed as a whole drive");
        view->setCurrentIndex(view->model()->index(row, 0));
        QTest::mouseClick(window.volume_page->form->btn_scan, Qt::LeftButton);
        QCOMPARE(window.current_index(), 4);
        QCOMPARE(window.recovery_page->scan_session().engine_kind(), engine_signature);
        QCOMPARE(window.recovery_page->scan_session().target().device_name, image);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        QVERIFY(window.recovery_page->tree_model_now()->found_totals().files > 0);
        window.recovery_page->leave_page();
        window.on_click_top1();  // a quick scan lists volumes only
        QCOMPARE(view->model()->rowCount(), volumes);
    }

    void warnings_stand_over_the_window() {
        const QString gone = dir.filePath("gone.img");
        settings().setValue(QStringLiteral("images"), QStringList{gone});
        settings().sync();
        platform::set_configured_images(settings_images());
        // An image named in ORVANE_IMAGES that cannot be opened is named too.
        const QString folder_image = dir.filePath("a-folder.img");
        QVERIFY(QDir().mkpath(folder_image));
        qputenv("ORVANE_IMAGES", folder_image.toUtf8());
        main_window_c window;
        window.resize(800, 600);
        window.move(300, 200);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        enumerate_volumes();
        enumerate_physical_drives();
        box_answer_c first(QMessageBox::Ok);
        window.on_init_finished();
        qunsetenv("ORVANE_IMAGES");
        QCOMPARE(first.boxes, 2);
        QVERIFY(first.text.startsWith(text("image_unreadable_warning")));
        QVERIFY(first.text.contains(folder_image));
        QVERIFY(!first.text.contains(gone));  // said once, by the first box
        QCOMPARE(first.parent, &window);
        QVERIFY2(window.frameGeometry().contains(first.geometry.center()),
                 qPrintable(QStringLiteral("box at %1,%2")
                                .arg(first.geometry.center().x())
                                .arg(first.geometry.center().y())));
        settings().remove(QStringLiteral("images"));
        platform::set_configured_images({});
    }

    void a_second_copy_raises_the_first() {
        const QString socket = dir.filePath("orvane.socket");
        QVERIFY(!single_instance_c::notify_running(socket, 200));  // nobody listens yet
        single_instance_c instance(socket);
        QVERIFY(instance.listen());
        QSignalSpy raised(&instance, &single_instance_c::raise_requested);
        bool answered = false;
        // The later copy blocks while it asks; the running copy answers from its event loop.
        QThread* later =
            QThread::create([&] { answered = single_instance_c::notify_running(socket, 5000); });
        later->start();
        QTRY_VERIFY(later->isFinished());
        delete later;
        QVERIFY(answered);
        QCOMPARE(raised.size(), 1);
    }

    void the_recovery_page_signals_back() {
        // The pages tell the window what was asked; they never reach into it.
        main_window_c window;
        QSignalSpy back(window.recovery_page, &recovery_window_c::back_clicked);
        QSignalSpy refresh(window.drive_page, &device_page_c::refresh_clicked);
        window.recovery_page->findChild<QPushButton*>("btn_back")->click();
        window.drive_page->refresh_drives();
        QCOMPARE(back.size(), 1);
        QCOMPARE(refresh.size(), 1);
    }
};

QTEST_MAIN(test_window_fit)
#include "test_window_fit.moc"
