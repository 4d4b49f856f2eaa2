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

volume_window_c::volume_window_c(main_window_c* main_window)
    : placeholder_page_c(main_window, QStringLiteral("VolumeForm"), "volume_select") {
    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("lv_volumes"));
    connect(add_button("btn_back", "btn_back", 0), &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_back);
    connect(add_button("btn_refresh", "btn_refresh", 1), &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_refresh);
    connect(add_button("btn_scan", "btn_scan", 2), &QPushButton::clicked, main_window,
            &main_window_c::on_click_volume_scan);
    connect(list, &QListWidget::itemDoubleClicked, main_window,
            &main_window_c::on_click_volume_scan);
}

std::optional<volume_item_s> volume_window_c::selected_volume() {
    const int row = list->currentRow();
    if (row < 0) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"),
                        text("scan_nosel_warning"), QMessageBox::Ok, this,
                        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
        box.setIconPixmap(QPixmap(QStringLiteral(":/images/top.ico")));
        box.exec();
        return std::nullopt;
    }
    if (row >= static_cast<int>(volume_list.size())) {
        return std::nullopt;
    }
    return volume_list[static_cast<std::size_t>(row)];
}

void volume_window_c::show_volumes() {
    list->clear();
    for (std::size_t row = 0; row < volume_list.size(); ++row) {
        const volume_item_s& v = volume_list[row];
        if (row == 0) {
            list->addItem(text("volume_logical_drives") + QStringLiteral("  |  ") +
                          text("drive_size") + QStringLiteral("  |  ") + text("partition_fs"));
            continue;
        }
        const QString label = v.label.isEmpty() ? text("local_disk") : v.label;
        list->addItem(QStringLiteral("%1 (%2)  |  %3  |  %4")
                          .arg(label, v.path, format_size(v.total_bytes), v.file_system));
    }
}

drive_window_c::drive_window_c(main_window_c* main_window)
    : placeholder_page_c(main_window, QStringLiteral("DriveForm"), "volume_select") {
    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("lv_drives"));
    connect(add_button("btn_back", "btn_back", 0), &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_back);
    connect(add_button("btn_refresh", "btn_refresh", 1), &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_refresh);
    connect(add_button("btn_scan", "btn_scan", 2), &QPushButton::clicked, main_window,
            &main_window_c::on_click_drive_scan);
}

drive_item_s drive_window_c::selected_drive() const {
    const int row = list->currentRow();
    if (row < 0 || row >= static_cast<int>(drive_list.size())) {
        return {};
    }
    return drive_list[static_cast<std::size_t>(row)];
}

void drive_window_c::show_drives() {
    list->clear();
    for (std::size_t row = 0; row < drive_list.size(); ++row) {
        const drive_item_s& d = drive_list[row];
        list->addItem(row == 0 ? text("drive_physical_drives") + QStringLiteral("  |  ") +
                                     text("drive_size")
                               : QStringLiteral("%1  |  %2").arg(d.name, format_size(d.size)));
    }
}

void drive_window_c::refresh_drives() {
    enumerate_physical_drives();
    show_drives();
}

partition_window_c::partition_window_c(main_window_c* main_window)
    : placeholder_page_c(main_window, QStringLiteral("PartitionForm"), "partition_fs") {
    connect(add_button("btn_back", "btn_back", 0), &QPushButton::clicked, main_window,
            &main_window_c::on_click_partition_back);
}

void partition_window_c::start_partition_search(const drive_item_s& searched) {
    drive = searched;
}

void partition_window_c::stop_partition_search() {}
