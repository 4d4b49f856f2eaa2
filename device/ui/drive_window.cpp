#include "device/ui/drive_window.h"

#include "app/settings.h"
#include "app/ui/main_window.h"
#include "device/drive_list.h"
#include "device/ui/drive_delegate.h"
#include "device/ui/drive_model.h"
#include "device/ui/image_dialog.h"
#include "device/ui/volume_window.h"
#include "ui_drive_window.h"

#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPainter>

drive_window_c::drive_window_c(main_window_c* main_window)
    : QWidget(main_window), form(std::make_unique<Ui::DriveForm>()), main_window(main_window) {
    form->setupUi(this);
    form->lv_drives->setItemDelegate(new drive_delegate_c(form->lv_drives));
    form->lv_drives->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {form->btn_back, form->btn_refresh, form->btn_scan}) {
        button->resize(100, 30);
        set_page_button_palette(button);
    }
    form->btn_back->setText(text("btn_back"));
    form->btn_scan->setText(text("btn_scan"));
    form->btn_refresh->setText(text("btn_refresh"));
    connect(form->btn_refresh, &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_refresh);
    connect(form->btn_back, &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_back);
    connect(form->btn_scan, &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_scan);
    btn_image = new QPushButton(text("image_save"), this);
    btn_image->setObjectName(QStringLiteral("btn_image"));
    btn_image->resize(110, 30);
    btn_image->setStyleSheet(form->btn_scan->styleSheet());
    btn_image->setFont(form->btn_scan->font());
    set_page_button_palette(btn_image);
    connect(btn_image, &QPushButton::clicked, this, &drive_window_c::on_click_save_image);
}

void drive_window_c::on_click_save_image() {
    const drive_item_s* drive = selected_drive();
    if (!drive || !drive->geometry) {
        QMessageBox::warning(this, QStringLiteral("OrvaneRecovery"), text("main_warning1"));
        return;
    }
    image_dialog_c::save_drive(main_window, drive->name);
}

drive_window_c::~drive_window_c() = default;

void drive_window_c::set_new_model() {
    QAbstractItemModel* old_model = form->lv_drives->model();
    QItemSelectionModel* old_selection = form->lv_drives->selectionModel();
    model = new drive_model_c(drive_list, this);
    form->lv_drives->setModel(model);
    if (old_selection) {
        old_selection->deleteLater();
    }
    if (old_model && old_model->parent() == this) {
        old_model->deleteLater();
    }
}

void drive_window_c::show_drives() {
    set_new_model();
    form->lv_drives->setCurrentIndex(model->index(1, 0));
}

void drive_window_c::refresh_drives() {
    main_window->refresh_devices(false, true);
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

void drive_window_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    painter.setFont(QFont(QStringLiteral("Arial"), 12));
    painter.drawText(23, 30, text("volume_select"));
}

void drive_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    form->btn_back->move(175, H - 54);
    form->btn_refresh->move(W / 2 - 50, H - 54);
    form->btn_scan->move(W - 275, H - 54);
    btn_image->move(W - 165, H - 54);
    form->lv_drives->setGeometry(25, 45, W - 50, H - 140);
}
