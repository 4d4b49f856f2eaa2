#include "app/ui/main_window.h"

#include "app/ui/home_window.h"
#include "app/ui/init.h"
#include "app/ui/qt_translations.h"
#include "core/diagnostics.h"
#include "core/settings.h"
#include "device/device_refresh.h"
#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/ui/drive_window.h"
#include "device/ui/image_dialog.h"
#include "device/ui/volume_window.h"
#include "device/volume_free_space.h"
#include "device/volume_list.h"
#include "engine/engine_choice.h"
#include "partition/ui/partition_window.h"
#include "result/ui/recovery_window.h"
#include "skin/message_box.h"
#include "ui_main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QIcon>
#include <QMenu>
#include <QSettings>
#include <QTimer>
#include <QUrl>

main_window_c::main_window_c(QWidget* parent)
    : QSkinWidget(parent), form(std::make_unique<Ui::MainForm>()) {
    form->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/images/top.ico")));
    home_page = new home_window_c(this);
    volume_page = new volume_window_c(this);
    drive_page = new drive_window_c(this);
    partition_page = new partition_window_c(this);
    recovery_page = new recovery_window_c(this);
    pages = {home_page, volume_page, drive_page, partition_page, recovery_page};
    for (QWidget* page : pages) {
        form->grid->addWidget(page, 0, 0);
        page->hide();
    }
    current_page = home_page;
    home_page->show();

    // The pages signal what the user asked for; the window decides and moves.
    connect(home_page, &home_window_c::start_clicked, this, &main_window_c::on_click_home_start);
    connect(home_page, &home_window_c::resume_clicked, this, &main_window_c::on_click_home_resume);
    connect(volume_page, &device_page_c::back_clicked, this, &main_window_c::on_click_volume_back);
    connect(volume_page, &device_page_c::refresh_clicked, this,
            &main_window_c::on_click_volume_refresh);
    connect(volume_page, &volume_window_c::start_scan, this, &main_window_c::on_click_volume_scan);
    connect(drive_page, &device_page_c::back_clicked, this, &main_window_c::on_click_drive_back);
    connect(drive_page, &device_page_c::refresh_clicked, this,
            &main_window_c::on_click_drive_refresh);
    connect(drive_page, &device_page_c::scan_clicked, this, &main_window_c::on_click_drive_scan);
    connect(drive_page, &drive_window_c::save_image_requested, this,
            [this](const QString& drive_name) {
                const QString output = image_dialog_c::ask_output(this, drive_name);
                if (output.isEmpty()) {
                    return;
                }
                image_dialog_c* dialog = image_dialog(drive_name, output);
                dialog->setAttribute(Qt::WA_DeleteOnClose);
                dialog->start();
                dialog->show();
            });
    connect(partition_page, &partition_window_c::back_clicked, this,
            &main_window_c::on_click_partition_back);
    connect(recovery_page, &recovery_window_c::back_clicked, this,
            &main_window_c::on_click_recovery_back);

    // "Open disk image..." below the language submenu.
    open_image_action = new QAction(text("menu_open_image"), settings_menu);
    const QList<QAction*> entries = settings_menu->actions();
    QAction* after_languages = entries.size() > 1 ? entries.at(1) : nullptr;
    settings_menu->insertSeparator(after_languages);
    settings_menu->insertAction(after_languages, open_image_action);
    connect(open_image_action, &QAction::triggered, this, &main_window_c::on_click_open_image);

    refresher = new device_refresh_c(this);
    connect(refresher, &QThread::finished, this, &main_window_c::on_refresh_finished);
    free_space = new volume_free_space_c(this);
    connect(free_space, &QThread::finished, this, &main_window_c::on_free_space_finished);
}

main_window_c::~main_window_c() {
    // The pages go with the window; the workers must be done before (their destructors
    // wait), and the free-space reader is told to stop first.
    free_space->request_stop();
    free_space->wait();
    refresher->wait();
}

int main_window_c::current_index() const {
    for (int index = 0; index < static_cast<int>(pages.size()); ++index) {
        if (pages[static_cast<std::size_t>(index)] == current_page) {
            return index;
        }
    }
    return -1;
}

QString main_window_c::help_page_path() {
    return data_folder() + QStringLiteral("/help/index.html");
}

int main_window_c::warning_box(const char* key, const QString& title,
                               QMessageBox::StandardButtons buttons, QWidget* parent) {
    message_box_c box(QMessageBox::Warning, title, text(key), buttons, parent);
    if (buttons.testFlag(QMessageBox::No)) {
        box.setDefaultButton(QMessageBox::No);  // Enter never loses a scan or its results
    }
    return box.exec();
}

int main_window_c::message_over_window(const QString& message) {
    // Parented to the window and placed over it: at start-up the window may not be placed
    // yet when the box is made, and a box without a place goes to the screen's corner.
    message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), message,
                      QMessageBox::Ok, this);
    box.adjustSize();
    const QRect over = frameGeometry().isValid() ? frameGeometry() : geometry();
    box.move(over.center() - QPoint(box.width() / 2, box.height() / 2));
    return box.exec();
}

bool main_window_c::may_drop_results() {
    return recovery_page->may_drop_results("back_warning");
}

void main_window_c::show_page(int index) {
    if (index == 1) {
        volume_page->list_whole_drives(deep_scan);  // a deep scan may take a whole drive
    }
    current_page->hide();
    QWidget* page = pages.at(static_cast<std::size_t>(index));
    page->raise();
    current_page = page;
    page->show();
    update();
}

void main_window_c::abort_scan() {
    if (scanning) {
        recovery_page->engine()->set_stop(stop_abort);
    }
    recovery_page->leave_page();
}

void main_window_c::on_click_home_start() {
    if (init_done.load() != 1) {
        warning_box("startup_warning", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
        return;
    }
    deep_scan = false;  // "Start a New Scan" is the quick scan, whatever was used before
    show_page(1);
}

void main_window_c::on_click_home_resume() {
    if (init_done.load() != 1) {
        warning_box("startup_warning", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
        return;
    }
    if (recovery_page->resume_scan_file() == -1) {
        return;
    }
    show_page(4);
}

void main_window_c::on_click_volume_back() {
    show_page(0);
}

void main_window_c::on_click_drive_back() {
    show_page(0);
}

void main_window_c::on_click_recovery_back() {
    if (!may_drop_results()) {
        return;
    }
    abort_scan();
    show_page(1);
}

void main_window_c::on_click_volume_refresh() {
    refresh_devices(true, false);
}

void main_window_c::on_click_volume_scan() {
    const volume_item_s* volume = volume_page->selected_volume();
    if (!volume) {
        return;
    }
    if (volume->device_name.isEmpty()) {
        warning_box("main_warning2", QStringLiteral("Orvane"), QMessageBox::NoButton, nullptr);
        return;
    }
    if (recovery_page->scan_volume(*volume, deep_scan) == 0) {
        show_page(4);
        return;
    }
    // Never a silent no: say why the scan did not start, and offer what can be done.
    if (scanning || recovery_page->restoration_running()) {
        warning_box("recovery_busy", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
        return;
    }
    if (!deep_scan && choose_engine(*volume, false) == engine_none) {
        message_box_c box(
            QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
            text("no_quick_scan_query")
                .arg(volume->file_system.isEmpty() ? QStringLiteral("?") : volume->file_system),
            QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::Yes);
        const volume_item_s target = *volume;
        if (box.exec() == QMessageBox::Yes && recovery_page->scan_volume(target, true) == 0) {
            show_page(4);
        }
    }
}

void main_window_c::on_click_drive_scan() {
    // No row current (after a refresh) gets the same answer as the header row.
    const drive_item_s* drive = drive_page->selected_drive();
    if (!drive || drive->name.isEmpty()) {
        warning_box("main_warning1", QStringLiteral("Orvane"), QMessageBox::NoButton, nullptr);
        return;
    }
    partition_page->start_partition_search(*drive);
    show_page(3);
}

void main_window_c::on_click_drive_refresh() {
    refresh_devices(false, true);
}

void main_window_c::on_click_partition_back() {
    partition_page->stop_partition_search();
    show_page(2);  // back where the drive was chosen
}

void main_window_c::on_init_finished() {
    volume_page->show_volumes();
    drive_page->show_drives();
    start_free_space();
    const QStringList missing = drop_missing_images();
    warn_unreadable_images(missing);
}

void main_window_c::warn_unreadable_images(const QStringList& reported) {
    // Images named in ORVANE_IMAGES or the settings that cannot be drives; remembered images
    // that are gone have had their warning already.
    QStringList warnings;
    for (const QString& warning : platform::image_warnings()) {
        bool known = false;
        for (const QString& path : reported) {
            known = known || warning.contains(path);
        }
        if (!known) {
            warnings << warning;
        }
    }
    if (!warnings.isEmpty()) {
        message_over_window(text("image_unreadable_warning") + QLatin1Char('\n') +
                            warnings.join(QLatin1Char('\n')));
    }
}

void main_window_c::refresh_devices(bool volumes, bool drives) {
    if (refresher->isRunning()) {
        pending_volumes = pending_volumes || volumes;
        pending_drives = pending_drives || drives;
        return;
    }
    if (volumes) {
        free_space->request_stop();  // its results would be for the old list
    }
    refresher->set_work(volumes, drives);
    refresh_running = true;
    refresher->start(QThread::InheritPriority);
}

bool main_window_c::refreshing() const {
    return refresh_running || pending_volumes || pending_drives;
}

void main_window_c::on_refresh_finished() {
    refresh_running = false;
    refresher->take_results();
    if (refresher->refreshes_volumes()) {
        volume_page->show_volumes();
        start_free_space();
    }
    if (refresher->refreshes_drives()) {
        drive_page->show_refreshed_drives();
    }
    if (pending_volumes || pending_drives) {
        const bool volumes = pending_volumes;
        const bool drives = pending_drives;
        pending_volumes = pending_drives = false;
        refresh_devices(volumes, drives);
    }
}

void main_window_c::start_free_space() {
    if (free_space_running) {
        free_space->request_stop();
        free_space_again = true;  // started afresh over the new list when it has ended
        return;
    }
    free_space->set_volumes(volume_list);
    free_space_running = true;
    free_space->start(QThread::LowPriority);
}

bool main_window_c::reading_free_space() const {
    return free_space_running || free_space_again;
}

void main_window_c::on_free_space_finished() {
    free_space_running = false;
    if (free_space_again) {
        free_space_again = false;
        start_free_space();
        return;
    }
    if (free_space->apply_to(volume_list) > 0) {
        volume_page->update_rows();
    }
}

QString main_window_c::ask_image_path() {
    return QFileDialog::getOpenFileName(this, text("menu_open_image"), QDir::homePath(),
                                        disk_image_filter());
}

void main_window_c::on_click_open_image() {
    const QString path = ask_image_path();
    if (!path.isEmpty()) {
        open_image(path);
    }
}

image_dialog_c* main_window_c::image_dialog(const QString& drive_name, const QString& output) {
    auto* dialog = new image_dialog_c(this, drive_name, output);
    connect(dialog, &image_dialog_c::image_made, this, [this, dialog](const QString& image) {
        if (open_image(image) == 0 && dialog->ask_to_scan()) {
            show_page(1);
        }
    });
    return dialog;
}

int main_window_c::open_image(const QString& path) {
    QString error;
    if (!platform::add_image(path, &error)) {
        console_print(QStringLiteral("cannot open the disk image: %1\n").arg(error));
        message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                          text("image_open_error") + QLatin1Char('\n') + path, QMessageBox::Ok,
                          this);
        box.exec();
        return -1;
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QStringList images = settings_images();
    if (!images.contains(canonical)) {
        images << canonical;
        settings().setValue(QStringLiteral("images"), images);
        settings().sync();
    }
    refresh_devices(true, true);
    return 0;
}

QStringList main_window_c::drop_missing_images() {
    const QStringList images = settings_images();
    QStringList kept;
    QStringList missing;
    for (const QString& image : images) {
        (QFileInfo(image).isFile() ? kept : missing) << image;
    }
    if (missing.isEmpty()) {
        return missing;
    }
    settings().setValue(QStringLiteral("images"), kept);
    settings().sync();
    platform::set_configured_images(kept);
    message_over_window(text("image_missing_warning") + QLatin1Char('\n') +
                        missing.join(QLatin1Char('\n')));
    return missing;
}

bool main_window_c::may_leave_for_top_bar() {
    if (init_done.load() != 1) {
        warning_box("startup_warning", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
        return false;
    }
    return may_drop_results();
}

void main_window_c::on_click_top1() {
    if (!may_leave_for_top_bar()) {
        return;
    }
    deep_scan = false;
    abort_scan();
    show_page(1);
}

void main_window_c::on_click_top2() {
    if (!may_leave_for_top_bar()) {
        return;
    }
    abort_scan();
    show_page(2);
}

void main_window_c::on_click_top3() {
    if (!may_leave_for_top_bar()) {
        return;
    }
    deep_scan = true;
    abort_scan();
    show_page(1);
}

void main_window_c::on_click_close() {
    if (!may_quit()) {
        return;
    }
    close_confirmed = true;
    close();
}

void main_window_c::closeEvent(QCloseEvent* event) {
    // The window manager's close (Alt+F4, the task bar) must not lose a running scan
    // without the question that the close button asks.
    if (!close_confirmed && !may_quit()) {
        event->ignore();
        return;
    }
    close_confirmed = false;
    QSkinWidget::closeEvent(event);
}

bool main_window_c::may_quit() {
    return recovery_page->may_drop_results("quit_warning");
}

void main_window_c::changeEvent(QEvent* event) {
    QSkinWidget::changeEvent(event);  // also passes it on to the pages
    if (event->type() == QEvent::LanguageChange && open_image_action) {
        retranslate_frame();
        open_image_action->setText(text("menu_open_image"));
    }
}

void main_window_c::raise_window() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void main_window_c::on_click_help() {
    const QString path = help_page_path();
    if (QFileInfo::exists(path) && QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        return;
    }
    console_print(QStringLiteral("cannot open the help page %1\n").arg(path));
    // No browser (or no help installed): say where the help is, with the path selectable.
    message_box_c box(QMessageBox::Information, QStringLiteral("OrvaneRecovery"),
                      text(QFileInfo::exists(path) ? "help_no_browser" : "help_missing").arg(path),
                      QMessageBox::Ok, this);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

void main_window_c::on_click_language() {
    auto* entry = qobject_cast<QAction*>(sender());
    if (!entry) {
        return;
    }
    const int index = entry->data().toInt();
    language_state_s& state = language_state();
    if (index == state.current_index || index < 0 || index >= state.language_list.size()) {
        return;
    }
    state.current_name = state.language_list.at(index);
    state.current_index = index;
    save_settings();
    // Applied at once: the texts anew (English under the language's own), Qt's own texts,
    // and every page and the frame told of the change.
    const QString name = state.current_name;
    state.text_table.clear();
    load_language(QStringLiteral("English"), false);
    load_language(name, true);
    install_qt_translations(name);
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(this, &change);
}
