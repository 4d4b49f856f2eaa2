#include "app/ui/main_window.h"

#include "app/diagnostics.h"
#include "app/settings.h"
#include "app/ui/home_window.h"
#include "app/ui/init.h"
#include "app/ui/placeholder_pages.h"
#include "device/disk_table.h"
#include "device/volume_list.h"
#include "ui_main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QIcon>
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
}

main_window_c::~main_window_c() = default;

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
    QMessageBox box(QMessageBox::Warning, title, text(key), buttons, parent);
    box.setIconPixmap(QPixmap(QStringLiteral(":/images/top.ico")));
    return box.exec();
}

void main_window_c::show_page(int index) {
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
    if (scanning && warning_box("back_warning", QStringLiteral("OrvaneRecovery"),
                                QMessageBox::Yes | QMessageBox::No, this) == QMessageBox::No) {
        return;
    }
    abort_scan();
    show_page(1);
}

void main_window_c::on_click_volume_refresh() {
    enumerate_volumes();
    disk_reopen_all();
    volume_page->show_volumes();
}

void main_window_c::on_click_volume_scan() {
    const std::optional<volume_item_s> volume = volume_page->selected_volume();
    if (!volume) {
        return;
    }
    if (volume->device_name.isEmpty()) {
        warning_box("main_warning2", QStringLiteral("Orvane"), QMessageBox::NoButton, nullptr);
        return;
    }
    if (recovery_page->scan_volume(*volume, deep_scan) == 0) {
        show_page(4);
    }
}

void main_window_c::on_click_drive_scan() {
    const drive_item_s drive = drive_page->selected_drive();
    if (drive.name.isEmpty()) {
        warning_box("main_warning1", QStringLiteral("Orvane"), QMessageBox::NoButton, nullptr);
        return;
    }
    partition_page->start_partition_search(drive);
    show_page(3);
}

void main_window_c::on_click_drive_refresh() {
    drive_page->refresh_drives();
}

void main_window_c::on_click_partition_back() {
    partition_page->stop_partition_search();
    show_page(1);
}

void main_window_c::on_init_finished() {
    volume_page->show_volumes();
    drive_page->show_drives();
}

bool main_window_c::may_leave_for_top_bar() {
    if (init_done.load() != 1) {
        warning_box("startup_warning", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
        return false;
    }
    if (scanning && warning_box("back_warning", QStringLiteral("OrvaneRecovery"),
                                QMessageBox::Yes | QMessageBox::No, this) == QMessageBox::No) {
        return false;
    }
    return true;
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
    if (scanning && warning_box("quit_warning", QStringLiteral("OrvaneRecovery"),
                                QMessageBox::Yes | QMessageBox::No, this) != QMessageBox::Yes) {
        return;
    }
    close_confirmed = true;
    close();
}

void main_window_c::closeEvent(QCloseEvent* event) {
    // The window manager's close (Alt+F4, the task bar) must not lose a running scan
    // without the question that the close button asks.
    if (!close_confirmed && scanning &&
        warning_box("quit_warning", QStringLiteral("OrvaneRecovery"),
                    QMessageBox::Yes | QMessageBox::No, this) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    close_confirmed = false;
    QSkinWidget::closeEvent(event);
}

void main_window_c::on_click_help() {
    const QString path = help_page_path();
    if (!QFileInfo::exists(path) || !QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        console_print(QStringLiteral("cannot open the help page %1\n").arg(path));
    }
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
    warning_box("language_warning", QStringLiteral("OrvaneRecovery"), QMessageBox::Ok, this);
}
