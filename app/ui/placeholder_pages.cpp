#include "app/ui/placeholder_pages.h"

#include "app/settings.h"
#include "app/ui/main_window.h"
#include "device/disk_table.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

bool scanning = false;

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

recovery_window_c::recovery_window_c(main_window_c* main_window)
    : placeholder_page_c(main_window, QStringLiteral("RecoveryForm"), "recovery_reading") {
    connect(add_button("btn_back", "btn_back", 0), &QPushButton::clicked, main_window,
            &main_window_c::on_click_recovery_back);
    for (QThread* engine : {static_cast<QThread*>(&session.fat_engine()),
                            static_cast<QThread*>(&session.ntfs_engine()),
                            static_cast<QThread*>(&session.raw_engine())}) {
        connect(engine, &QThread::finished, this, &recovery_window_c::on_thread_finished);
    }
    auto* timer = new QTimer(this);  // the count grows while the scan runs
    connect(timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    timer->start(200);
}

int recovery_window_c::scan_volume(const volume_item_s& volume, bool deep_scan) {
    if (scanning) {
        return -1;
    }
    if (session.start(volume, deep_scan) != 0) {
        return -1;
    }
    scanning = true;
    return 0;
}

int recovery_window_c::resume_scan_file() {
    return -1;
}

void recovery_window_c::on_thread_finished() {
    session.on_thread_finished();
    scanning = session.scanning();
}

QString recovery_window_c::title() const {
    return text(title_key) + QString::number(session.current()->get_read_count());
}

void recovery_window_c::leave_page() {
    if (!scanning) {
        session.abort();  // drops the last results
    }
}
