#include "app/ui/placeholder_pages.h"

#include "app/settings.h"
#include "app/ui/main_window.h"
#include "device/disk_table.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

placeholder_page_c::placeholder_page_c(main_window_c* main_window, const QString& form_name,
                                       const char* title)
    : QWidget(main_window), main_window(main_window), title_key(title) {
    setObjectName(form_name);
    QPalette light = palette();
    light.setColor(QPalette::Window, Qt::white);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    setPalette(light);
}

QPushButton* placeholder_page_c::add_button(const char* name, const char* text_key, int column) {
    auto* button = new QPushButton(text(text_key), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setProperty("column", column);
    page_buttons << button;
    return button;
}

void placeholder_page_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    if (list) {
        list->setGeometry(25, 45, W - 50, H - 140);
    }
    for (QPushButton* button : page_buttons) {
        const int column = button->property("column").toInt();
        const int x = column == 0 ? 175 : column == 1 ? W / 2 - 50 : W - 275;
        button->setGeometry(x, H - 54, 100, 28);
    }
}

void placeholder_page_c::paintEvent(QPaintEvent* event) {
    (void)event;
    QPainter p(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    p.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    p.setFont(QFont(QStringLiteral("Arial"), 12));
    p.drawText(23, 30, title());
}

QString placeholder_page_c::title() const {
    return text(title_key);
}
