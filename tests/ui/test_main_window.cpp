// The main window's page flow and slots, the start-up worker beside the user interface,
// the settings menu, the help page and the single running copy.
#include "app/ui/home_window.h"
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/drive_model.h"
#include "device/ui/drive_window.h"
#include "device/ui/volume_model.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "fat_image.h"
#include "partition/ui/partition_window.h"
#include "result/ui/recovery_window.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_drive_window.h"
#include "ui_volume_window.h"

#include <QAction>
#include <QDesktopServices>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// An init worker that waits for the test before it lists the devices.
class held_init_c : public init_c {
  public:
    QSemaphore go;

  protected:
    void enumerate_devices() override {
        go.acquire();
        init_c::enumerate_devices();
    }
};

void select_row(QListView* view, int row) {
    view->setCurrentIndex(view->model()->index(row, 0));
}

const QPoint top_button_centre[3] = {{57, 60}, {160, 60}, {263, 60}};

}  // namespace

class test_main_window : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<main_window_c> window;
    QUrl opened_url;

    void click_top(int n) {
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, top_button_centre[n - 1]);
    }

    QString settings_text() {
        QFile file(settings_file_path());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

  public slots:
    void open_url(const QUrl& url) { opened_url = url; }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        QVERIFY(!text("startup_warning").isEmpty());
    }

    void init() {
        init_done = 1;
        scanning = false;
        window = std::make_unique<main_window_c>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        scanning = false;
    }

    void window_and_home_page_as_built() {
        QCOMPARE(window->current_index(), 0);
        QCOMPARE(window->minimumSize(), QSize(800, 600));
        QCOMPARE(window->windowTitle(), QStringLiteral("Orvane"));
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(!window->windowIcon().isNull());
        for (int i = 1; i < 5; ++i) {
            QVERIFY(!window->pages[i]->isVisible());
        }
        // the page fills the frame inside its margins
        QCOMPARE(window->home_page->geometry(), QRect(3, 100, 794, 496));
        auto* start = window->home_page->findChild<QPushButton*>("btn_start");
        QCOMPARE(start->geometry(), QRect(40, 105, 330, 106));
        QVERIFY(start->styleSheet().contains("url(:/images/multilang/en/btn_start_scan3.png)"));
        QVERIFY(!window->home_page->findChild<QWidget*>("lbl_wenzi")->isVisible());
    }

    void navigation_before_start_up_warns_data() {
        QTest::addColumn<int>("action");  // 0 start, 1 resume, 2-4 top-bar buttons 1-3
        for (int action = 0; action < 5; ++action) {
            QTest::addRow("action %d", action) << action;
        }
    }
    void navigation_before_start_up_warns() {
        QFETCH(int, action);
        init_done = 0;
        box_answer_c answer(QMessageBox::Ok);
        if (action == 0) {
            QTest::mouseClick(window->home_page->findChild<QPushButton*>("btn_start"),
                              Qt::LeftButton);
        } else if (action == 1) {
            QTest::mouseClick(window->home_page->findChild<QPushButton*>("btn_resume"),
                              Qt::LeftButton);
        } else {
            click_top(action - 1);
        }
        QCOMPARE(answer.boxes, 1);
        QCOMPARE(answer.text, text("startup_warning"));
        QCOMPARE(answer.title, QStringLiteral("OrvaneRecovery"));
        QCOMPARE(answer.parent, window.get());
        QCOMPARE(answer.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(answer.custom_icon);
        QCOMPARE(window->current_index(), 0);
    }

    void start_up_worker_leaves_the_window_answering() {
        init_done = 0;
        held_init_c worker;
        QSignalSpy finished(&worker, &init_c::init_finished);
        connect(&worker, &init_c::init_finished, window.get(), &main_window_c::on_init_finished);
        worker.start(QThread::InheritPriority);
        {
            // the worker is held inside its enumeration: the window still answers
            box_answer_c answer(QMessageBox::Ok);
            window->on_click_home_start();
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.text, text("startup_warning"));
            QCOMPARE(window->current_index(), 0);
            QVERIFY(worker.isRunning());
        }
        worker.go.release();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(init_done.load(), 1);
        QTRY_COMPARE((window->volume_page->model ? window->volume_page->model->rowCount() : -1),
                     static_cast<int>(volume_list.size()));
        QCOMPARE(window->drive_page->model->rowCount(), static_cast<int>(drive_list.size()));
        window->on_click_home_start();
        QCOMPARE(window->current_index(), 1);
        worker.wait();
    }

    void page_flow_data() {
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("slot");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("box");
        QTest::newRow("home start") << 0 << "on_click_home_start" << 1 << "";
        QTest::newRow("home resume without a scan file") << 0 << "on_click_home_resume" << 0 << "";
        QTest::newRow("volume back") << 1 << "on_click_volume_back" << 0 << "";
        QTest::newRow("drive back") << 2 << "on_click_drive_back" << 0 << "";
        QTest::newRow("partition back") << 3 << "on_click_partition_back" << 2 << "";
        QTest::newRow("scan back") << 4 << "on_click_recovery_back" << 1 << "";
        QTest::newRow("volume scan, nothing selected")
            << 1 << "on_click_volume_scan" << 1 << "scan_nosel_warning";
    }
    void page_flow() {
        QFETCH(int, from);
        QFETCH(QString, slot);
        QFETCH(int, to);
        QFETCH(QString, box);
        window->show_page(from);
        box_answer_c answer(QMessageBox::Ok);
        file_dialog_answer_c cancel{QString()};  // resume: the scan file dialog is cancelled
        QVERIFY(QMetaObject::invokeMethod(window.get(), slot.toLatin1().constData()));
        QCOMPARE(window->current_index(), to);
        QCOMPARE(answer.boxes, box.isEmpty() ? 0 : 1);
        QCOMPARE(answer.text, box.isEmpty() ? QString() : text(box.toLatin1().constData()));
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(window->pages[i]->isVisible(), i == to);
        }
    }

    void top_bar_buttons_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("deep_before");
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("deep_after");
        QTest::newRow("1 clears deep scan") << 1 << true << 1 << false;
        QTest::newRow("2 keeps it set") << 2 << true << 2 << true;
        QTest::newRow("2 keeps it clear") << 2 << false << 2 << false;
        QTest::newRow("3 sets deep scan") << 3 << false << 1 << true;
    }
    void top_bar_buttons() {
        QFETCH(int, button);
        QFETCH(bool, deep_before);
        QFETCH(int, page);
        QFETCH(bool, deep_after);
        window->deep_scan = deep_before;
        window->show_page(4);
        click_top(button);
        QCOMPARE(window->current_index(), page);
        QCOMPARE(window->deep_scan, deep_after);
    }

    void leaving_a_running_scan_asks_data() {
        QTest::addColumn<int>("how");  // 0 the scan page's back button, 1-3 top-bar buttons
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("page");
        QTest::newRow("back, No") << 0 << int(QMessageBox::No) << 4;
        QTest::newRow("back, Yes") << 0 << int(QMessageBox::Yes) << 1;
        QTest::newRow("top 1, No") << 1 << int(QMessageBox::No) << 4;
        QTest::newRow("top 2, Yes") << 2 << int(QMessageBox::Yes) << 2;
        QTest::newRow("top 3, Yes") << 3 << int(QMessageBox::Yes) << 1;
    }
    void leaving_a_running_scan_asks() {
        QFETCH(int, how);
        QFETCH(int, answer);
        QFETCH(int, page);
        // a real FAT scan that runs long enough to be left
        QString error;
        auto image = fat_image_c::looping_folders(40, &error);
        QVERIFY2(image, qPrintable(error));
        const volume_item_s volume = memory_volume("leave", image->shared(), "FAT16");
        QCOMPARE(window->recovery_page->scan_volume(volume, false), 0);
        QVERIFY(scanning);
        // held paused, so that a loaded machine cannot let it end before the click
        window->recovery_page->engine()->set_pause(1);
        window->show_page(4);
        box_answer_c box{QMessageBox::StandardButton(answer)};
        if (how == 0) {
            QTest::mouseClick(window->recovery_page->findChild<QPushButton*>("btn_back"),
                              Qt::LeftButton);
        } else {
            click_top(how);
        }
        QCOMPARE(box.boxes, 1);
        QCOMPARE(box.text, text("back_warning"));
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(window->current_index(), page);
        recovery_base_c* engine = window->recovery_page->engine();
        if (answer == QMessageBox::No) {
            QVERIFY(scanning);
            QCOMPARE(engine->get_stop(), 0);
            engine->set_stop(stop_abort);
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
        } else {
            QCOMPARE(engine->get_stop(), int(stop_abort));
            QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
            QVERIFY(!window->recovery_page->scan_session().has_results());
        }
    }

    void deep_scan_flag_reaches_the_scan_page() {
        QString error;
        auto image = fat_image_c::make(1024, {"-F", "12"}, &error);
        QVERIFY2(image, qPrintable(error));
        const volume_item_s volume = memory_volume("deep", image->shared(), "FAT12");
        volume_list = {volume_item_s{}, volume};
        window->on_init_finished();
        select_row(window->volume_page->form->lv_volumes, 1);
        click_top(3);
        window->on_click_volume_scan();
        QCOMPARE(window->current_index(), 4);
        QCOMPARE(window->recovery_page->scan_session().engine_kind(), engine_signature);
        window->abort_scan();
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
        click_top(1);
        select_row(window->volume_page->form->lv_volumes, 1);
        box_answer_c no_deep_scan{QMessageBox::No};  // the empty volume's quick scan ends
        window->on_click_volume_scan();
        QCOMPARE(window->current_index(), 4);
        QCOMPARE(window->recovery_page->scan_session().engine_kind(), engine_fat);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
        QCOMPARE(no_deep_scan.text, text("deep_scan_query"));
    }

    void header_rows_are_refused_data() {
        QTest::addColumn<bool>("volume_page");
        QTest::newRow("volume page") << true;
        QTest::newRow("drive page") << false;
    }
    void header_rows_are_refused() {
        QFETCH(bool, volume_page);
        volume_list = {volume_item_s{}};
        drive_list = {drive_item_s{}};
        window->on_init_finished();
        window->show_page(volume_page ? 1 : 2);
        box_answer_c answer(QMessageBox::Ok);
        if (volume_page) {
            select_row(window->volume_page->form->lv_volumes, 0);
            QTest::mouseClick(window->volume_page->findChild<QPushButton*>("btn_scan"),
                              Qt::LeftButton);
        } else {
            QTest::mouseClick(window->drive_page->findChild<QPushButton*>("btn_scan"),
                              Qt::LeftButton);
        }
        QCOMPARE(answer.boxes, 1);
        QCOMPARE(answer.text, text(volume_page ? "main_warning2" : "main_warning1"));
        QCOMPARE(answer.title, QStringLiteral("Orvane"));
        QCOMPARE(answer.parent, nullptr);
        QCOMPARE(answer.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(window->current_index(), volume_page ? 1 : 2);
    }

    void drive_scan_starts_the_partition_page() {
        drive_item_s drive;
        drive.name = QStringLiteral("/images/disk.img");
        drive_list = {drive_item_s{}, drive};
        window->on_init_finished();
        window->show_page(2);
        select_row(window->drive_page->form->lv_drives, 1);
        window->on_click_drive_scan();
        QCOMPARE(window->current_index(), 3);
        QCOMPARE(window->partition_page->worker.current_drive().name, drive.name);
    }

    void closing_data() {
        QTest::addColumn<bool>("scan");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("boxes");
        QTest::addColumn<bool>("closed");
        QTest::newRow("no scan closes at once") << false << int(QMessageBox::No) << 0 << true;
        QTest::newRow("scan, No stays") << true << int(QMessageBox::No) << 1 << false;
        QTest::newRow("scan, Yes closes") << true << int(QMessageBox::Yes) << 1 << true;
    }
    void closing() {
        QFETCH(bool, scan);
        QFETCH(int, answer);
        QFETCH(int, boxes);
        QFETCH(bool, closed);
        scanning = scan;
        QSignalSpy about(window.get(), &QSkinWidget::aboutToClose);
        box_answer_c box{QMessageBox::StandardButton(answer)};
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(780, 10));
        QCOMPARE(box.boxes, boxes);
        if (boxes) {
            QCOMPARE(box.text, text("quit_warning"));
            QCOMPARE(box.parent, window.get());
        }
        QCOMPARE(!window->isVisible(), closed);
        QCOMPARE(about.count(), closed ? 1 : 0);
        if (!closed) {
            // the window manager's close asks the same question (answered No again)
            window->QWidget::close();
            QCOMPARE(box.boxes, 2);
            QVERIFY(window->isVisible());
        }
    }

    void settings_menu_lists_the_languages_in_file_order() {
        const QList<QAction*> entries = window->settings_menu->actions();
        QCOMPARE(entries.size(), 7);
        QCOMPARE(entries[0]->text(), text("menu_language"));
        QVERIFY(entries[1]->isSeparator() && entries[3]->isSeparator() &&
                entries[5]->isSeparator());
        QCOMPARE(entries[2]->text(), text("menu_open_image"));
        QCOMPARE(entries[4]->text(), text("menu_help"));
        QCOMPARE(entries[6]->text(), text("menu_exit"));
        const QList<QAction*> languages = entries[0]->menu()->actions();
        const QStringList& list = language_state().language_list;
        QCOMPARE(languages.size(), list.size());
        QCOMPARE(languages.first()->text(), QStringLiteral("English"));
        for (int i = 0; i < languages.size(); ++i) {
            QCOMPARE(languages[i]->text(), list.at(i));
            QCOMPARE(languages[i]->data().toInt(), i);
        }
    }

    void choosing_a_language() {
        QFile::remove(settings_file_path());
        QAction* english = nullptr;
        QAction* german = nullptr;
        for (QAction* entry : window->settings_menu->actions().at(0)->menu()->actions()) {
            if (entry->text() == QStringLiteral("English")) {
                english = entry;
            } else if (entry->text() == QStringLiteral("Deutsch")) {
                german = entry;
            }
        }
        QVERIFY(english && german);
        {
            box_answer_c answer(QMessageBox::Ok);
            english->trigger();  // the current language: nothing shown, nothing written
            QCOMPARE(answer.boxes, 0);
            QVERIFY(!QFile::exists(settings_file_path()));
        }
        const QString english_back = text("btn_back");
        {
            // Applied at once, without a box: the texts on screen are the new language's.
            box_answer_c answer(QMessageBox::Ok);
            german->trigger();
            QCOMPARE(answer.boxes, 0);
        }
        QCOMPARE(language_state().current_name, QStringLiteral("Deutsch"));
        QCOMPARE(language_state().current_index, german->data().toInt());
        QVERIFY(settings_text().contains(QStringLiteral("language=Deutsch")));
        QCOMPARE(text("btn_back"), QStringLiteral("Zurück"));
        QCOMPARE(text("startup_warning").isEmpty(), false);
        for (QWidget* page : window->pages) {
            if (auto* back = page->findChild<QPushButton*>("btn_back")) {
                QCOMPARE(back->text(), QStringLiteral("Zurück"));
            }
        }
        QCOMPARE(window->settings_menu->actions().at(0)->text(), text("menu_language"));
        QVERIFY(window->settings_menu->actions().at(0)->text().startsWith("Sprache"));
        QVERIFY(german->isChecked());
        // And back: every text English again, none left over from German.
        english->trigger();
        QCOMPARE(text("btn_back"), english_back);
        QCOMPARE(window->recovery_page->findChild<QPushButton*>("btn_back")->text(), english_back);
        QCOMPARE(window->settings_menu->actions().at(0)->text(), QStringLiteral("Language"));
        fresh_language_state(dir.path() + QStringLiteral("/other"));
    }

    void help_opens_the_installed_page() {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open_url");
        for (QAction* entry : window->settings_menu->actions()) {
            if (entry->text() == text("menu_help")) {
                entry->trigger();
            }
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QVERIFY(opened_url.isLocalFile());
        QVERIFY(QFileInfo::exists(opened_url.toLocalFile()));
        QCOMPARE(opened_url.toLocalFile(), main_window_c::help_page_path());
    }

    void a_second_copy_ends_at_once() {
        const QString program = qEnvironmentVariable("ORVANE_BIN") + "/orvane-recovery";
        if (!QFileInfo::exists(program)) {
            QSKIP("orvane-recovery is not built");
        }
        QTemporaryDir runtime;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("XDG_CONFIG_HOME", runtime.path());
        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(program, {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime.filePath("OrvaneRecovery")), 20000);
        // Listening (the window is up) before the second copy asks it to come forward.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime.filePath("OrvaneRecovery.socket")),
                                 20000);

        QProcess second;
        second.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        second.start(program, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        // It raised the first copy, says so on its terminal, and ends without an error.
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(second.readAllStandardOutput().contains("already running"));
        QVERIFY(first.state() == QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        // with the first copy gone, a new one starts (and is ended by the test)
        QProcess third;
        third.setProcessEnvironment(environment);
        third.start(program, {});
        QVERIFY(third.waitForStarted());
        QVERIFY(!third.waitForFinished(1500));
        third.terminate();
        QVERIFY(third.waitForFinished(10000));
    }
};

QTEST_MAIN(test_main_window)
#include "test_main_window.moc"
