#include "device/ui/device_page.h"

#include "core/settings.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QItemSelectionModel>
#include <QListView>
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
    // The column titles stand still above the rows: row 0 is shown here, not in the list.
    header_row = new QListView(this);
    header_row->setObjectName(list->objectName() + QStringLiteral("_header"));
    header_row->setItemDelegate(list->itemDelegate());
    header_row->setFocusPolicy(Qt::NoFocus);
    header_row->setSelectionMode(QAbstractItemView::NoSelection);
    header_row->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    header_row->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    header_row->setStyleSheet(list->styleSheet());
    header_row->setAttribute(Qt::WA_TransparentForMouseEvents);
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
    // Enter on a row, or a double click, scans it as Scan does.
    connect(list, &QAbstractItemView::activated, this, &device_page_c::scan_clicked);
}

void device_page_c::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::LanguageChange || !list) {
        return;
    }
    back->setText(text("btn_back"));
    scan->setText(text("btn_scan"));
    refresh->setText(text("btn_refresh"));
    list->viewport()->update();
    update();
}

void device_page_c::replace_model(QAbstractItemModel* model) {
    QAbstractItemModel* old_model = list->model();
    QItemSelectionModel* old_selection = list->selectionModel();
    QItemSelectionModel* old_header_selection = header_row->selectionModel();
    list->setModel(model);
    header_row->setModel(model);
    if (old_header_selection) {
        old_header_selection->deleteLater();
    }
    if (auto* rows = qobject_cast<QListView*>(list)) {
        for (int row = 0; row < model->rowCount(); ++row) {
            rows->setRowHidden(row, row == 0);
            header_row->setRowHidden(row, row != 0);
        }
    }
    place_list();
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
    painter.drawText(23, 30, text(title_key()));
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
    place_list();
}

void device_page_c::place_list() {
    const int W = width();
    const int H = height();
    const int header = header_row->model() && header_row->model()->rowCount() > 0
                           ? header_row->sizeHintForRow(0) + 2 * header_row->frameWidth()
                           : 0;
    header_row->setGeometry(25, 45, W - 50, header);
    header_row->setVisible(header > 0);
    list->setGeometry(25, 45 + header, W - 50, H - 140 - header);
}
