#include "device/ui/device_page.h"

#include "app/settings.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <QPainter>
#include <QPushButton>

void set_page_button_palette(QPushButton* button) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::Active, QPalette::ButtonText, QColor(253, 253, 253));
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, QColor(253, 253, 253));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(127, 127, 127));
    button->setPalette(palette);
}

device_page_c::device_page_c(QWidget* parent) : QWidget(parent) {}

void device_page_c::set_up_page(QPushButton* back_button, QPushButton* refresh_button,
                                QPushButton* scan_button, QAbstractItemView* list_view) {
    back = back_button;
    refresh = refresh_button;
    scan = scan_button;
    list = list_view;
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {back, refresh, scan}) {
        button->resize(100, 30);
        set_page_button_palette(button);
    }
    back->setText(text("btn_back"));
    scan->setText(text("btn_scan"));
    refresh->setText(text("btn_refresh"));
    connect(back, &QPushButton::clicked, this, &device_page_c::back_clicked);
    connect(refresh, &QPushButton::clicked, this, &device_page_c::refresh_clicked);
    connect(scan, &QPushButton::clicked, this, &device_page_c::scan_clicked);
}

void device_page_c::replace_model(QAbstractItemModel* model) {
    QAbstractItemModel* old_model = list->model();
    QItemSelectionModel* old_selection = list->selectionModel();
    list->setModel(model);
    if (old_selection) {
        old_selection->deleteLater();
    }
    if (old_model && old_model->parent() == this) {
        old_model->deleteLater();
    }
}

void device_page_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    painter.setFont(QFont(QStringLiteral("Arial"), 12));
    painter.drawText(23, 30, text("volume_select"));
}

void device_page_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    if (!list) {
        return;
    }
    back->move(175, H - 54);
    refresh->move(W / 2 - 50, H - 54);
    scan->move(W - 275, H - 54);
    list->setGeometry(25, 45, W - 50, H - 140);
}
