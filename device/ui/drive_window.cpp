#include "device/ui/drive_window.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/ui/drive_delegate.h"
#include "device/ui/drive_model.h"
#include "skin/focus_frame.h"
#include "skin/message_box.h"
#include "ui_drive_window.h"

#include <QEvent>
#include <QMessageBox>
#include <QPushButton>

drive_window_c::drive_window_c(QWidget* parent)
    : device_page_c(parent), form(std::make_unique<Ui::DriveForm>()) {
    form->setupUi(this);
    form->lv_drives->setItemDelegate(new drive_delegate_c(form->lv_drives));
    set_up_page(form->btn_back, form->btn_refresh, form->btn_scan, form->lv_drives);
    btn_image = new QPushButton(text("image_save"), this);
    btn_image->setObjectName(QStringLiteral("btn_image"));
    btn_image->resize(110, 30);
    btn_image->setStyleSheet(form->btn_scan->styleSheet());
    btn_image->setFont(form->btn_scan->font());
    set_page_button_palette(btn_image);
    connect(btn_image, &QPushButton::clicked, this, &drive_window_c::on_click_save_image);
    form->lv_drives->setAccessibleName(text("drive_physical_drives"));
    install_focus_frames(this);
}

void drive_window_c::changeEvent(QEvent* event) {
    device_page_c::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && btn_image) {
        btn_image->setText(text("image_save"));
        form->lv_drives->setAccessibleName(text("drive_physical_drives"));
    }
}

void drive_window_c::on_click_save_image() {
    const drive_item_s* drive = selected_drive();
    if (!drive || !drive->geometry) {
        message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                          text("main_warning1"), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    emit save_image_requested(drive->name);
}

void drive_window_c::resizeEvent(QResizeEvent* event) {
    device_page_c::resizeEvent(event);
    btn_image->move(width() - 165, height() - 54);
}

drive_window_c::~drive_window_c() = default;

void drive_window_c::set_new_model() {
    model = new drive_model_c(drive_list, this);
    replace_model(model);
}

void drive_window_c::show_drives() {
    set_new_model();
    form->lv_drives->setCurrentIndex(model->index(1, 0));
}

void drive_window_c::refresh_drives() {
    emit refresh_clicked();
}

void drive_window_c::show_refreshed_drives() {
    set_new_model();  // nothing current: the rows may now be other drives
}

const drive_item_s* drive_window_c::selected_drive() const {
    const int row = form->lv_drives->currentIndex().row();
    if (row < 0 || row >= static_cast<int>(drive_list.size())) {
        return nullptr;
    }
    return &drive_list[static_cast<std::size_t>(row)];
}
