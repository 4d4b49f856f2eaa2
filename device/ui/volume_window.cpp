#include "device/ui/volume_window.h"

#include "app/settings.h"
#include "app/ui/main_window.h"
#include "device/ui/volume_delegate.h"
#include "device/ui/volume_model.h"
#include "device/volume_list.h"
#include "ui_volume_window.h"

#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPainter>

void set_page_button_palette(QPushButton* button) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::Active, QPalette::ButtonText, QColor(253, 253, 253));
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, QColor(253, 253, 253));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(127, 127, 127));
    button->setPalette(palette);
}

volume_window_c::volume_window_c(main_window_c* main_window)
    : QWidget(main_window), form(std::make_unique<Ui::VolumeForm>()), main_window(main_window) {
    form->setupUi(this);
    form->lv_volumes->setItemDelegate(new volume_delegate_c(form->lv_volumes));
    form->lv_volumes->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {form->btn_back, form->btn_refresh, form->btn_scan}) {
        button->resize(100, 30);
        set_page_button_palette(button);
    }
    form->btn_back->setText(text("btn_back"));
    form->btn_scan->setText(text("btn_scan"));
    form->btn_refresh->setText(text("btn_refresh"));
    connect(form->btn_scan, &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_scan);
    connect(this, &volume_window_c::start_scan, main_window, &main_window_c::on_click_volume_scan);
    connect(form->btn_back, &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_back);
    connect(form->btn_refresh, &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_refresh);
    connect(form->lv_volumes, &QListView::doubleClicked, this, &volume_window_c::on_double_clicked);
}

volume_window_c::~volume_window_c() = default;

void volume_window_c::show_volumes() {
    // The old model and its selection model go once the view has let go of them.
    QAbstractItemModel* old_model = form->lv_volumes->model();
    QItemSelectionModel* old_selection = form->lv_volumes->selectionModel();
    model = new volume_model_c(volume_list, this);
    form->lv_volumes->setModel(model);
    if (old_selection) {
        old_selection->deleteLater();
    }
    if (old_model && old_model->parent() == this) {
        old_model->deleteLater();
    }
}

const volume_item_s* volume_window_c::selected_volume() {
    const int row = form->lv_volumes->currentIndex().row();
    if (row < 0 || row >= static_cast<int>(volume_list.size())) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                        text("scan_nosel_warning"), QMessageBox::Ok, this,
                        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
        box.setIconPixmap(QPixmap(QStringLiteral(":/images/top.ico")));
        box.exec();
        return nullptr;
    }
    return &volume_list[static_cast<std::size_t>(row)];
}

void volume_window_c::update_rows() {
    form->lv_volumes->viewport()->update();
}

void volume_window_c::on_double_clicked(const QModelIndex&) {
    emit start_scan();
}

void volume_window_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    painter.setFont(QFont(QStringLiteral("Arial"), 12));
    painter.drawText(23, 30, text("volume_select"));
}

void volume_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    form->btn_back->move(175, H - 54);
    form->btn_refresh->move(W / 2 - 50, H - 54);
    form->btn_scan->move(W - 275, H - 54);
    form->lv_volumes->setGeometry(25, 45, W - 50, H - 140);
}
