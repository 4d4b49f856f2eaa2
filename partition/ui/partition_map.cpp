#include "partition/ui/partition_map.h"

#include "core/settings.h"
#include "device/drive_list.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

namespace {

constexpr int min_width = 4;  // a partition is never drawn thinner than this

QString size_text(const partition_item_s& item) {
    const std::uint64_t sectors =
        item.end_sector >= item.start_sector ? item.end_sector - item.start_sector + 1 : 0;
    return sectors > UINT64_MAX / 512 ? QStringLiteral("?") : format_size(sectors * 512);
}

}  // namespace

partition_map_c::partition_map_c(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(40);
    setAttribute(Qt::WA_Hover);
}

void partition_map_c::set_partitions(const QList<partition_item_s>& partitions,
                                     std::uint64_t drive_sectors) {
    partitions_ = partitions;
    drive_sectors_ = drive_sectors;
    if (selected_ >= partitions_.size()) {
        selected_ = -1;
    }
    update();
}

void partition_map_c::set_selected(int index) {
    index = index >= 0 && index < partitions_.size() ? index : -1;
    if (index != selected_) {
        selected_ = index;
        update();
    }
}

QColor partition_map_c::fs_colour(const QString& fs_name) {
    const QString name = fs_name.toLower();
    if (name == QLatin1String("ntfs")) {
        return {52, 114, 196};
    }
    if (name.startsWith(QLatin1String("fat"))) {
        return {64, 160, 80};
    }
    if (name == QLatin1String("exfat")) {
        return {32, 150, 150};
    }
    if (name.startsWith(QLatin1String("ext"))) {
        return {226, 128, 36};
    }
    if (name == QLatin1String("xfs")) {
        return {140, 84, 180};
    }
    if (name == QLatin1String("btrfs")) {
        return {190, 70, 70};
    }
    if (name == QLatin1String("swap")) {
        return {150, 120, 90};
    }
    return {128, 128, 128};
}

QRect partition_map_c::bar() const {
    return rect().adjusted(1, 1, -1, -1);
}

QRect partition_map_c::span(std::uint64_t first, std::uint64_t last) const {
    const QRect b = bar();
    if (drive_sectors_ == 0 || first >= drive_sectors_) {
        return {};
    }
    last = std::min(last, drive_sectors_ - 1);
    // Exact integer scaling: sector counts reach 2^64, pixels a few thousand.
    auto x_of = [&](std::uint64_t sector) {
        return b.left() + int((unsigned __int128)sector * unsigned(b.width()) / drive_sectors_);
    };
    int x0 = x_of(first);
    int x1 = x_of(last + 1);
    if (x1 - x0 < min_width) {
        x1 = std::min(b.right() + 1, x0 + min_width);
        x0 = x1 - min_width;
    }
    return {x0, b.top(), x1 - x0, b.height()};
}

QRect partition_map_c::partition_rect(int index) const {
    if (index < 0 || index >= partitions_.size()) {
        return {};
    }
    const partition_item_s& item = partitions_.at(index);
    return item.end_sector >= item.start_sector ? span(item.start_sector, item.end_sector)
                                                : QRect();
}

int partition_map_c::index_at(const QPoint& point) const {
    for (int k = 0; k < partitions_.size(); ++k) {
        if (partition_rect(k).contains(point)) {
            return k;
        }
    }
    return -1;
}

void partition_map_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect b = bar();
    // The whole drive as unallocated, the partitions over it.
    painter.fillRect(b, QColor(226, 230, 236));
    painter.setPen(QColor(170, 176, 186));
    painter.drawRect(b);
    QFont font(QStringLiteral("Verdana"), 8);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    // Gaps wide enough for a word say what they are.
    std::uint64_t next = 0;
    QList<partition_item_s> sorted = partitions_;
    std::sort(sorted.begin(), sorted.end(),
              [](const partition_item_s& a, const partition_item_s& c) {
                  return a.start_sector < c.start_sector;
              });
    auto label_gap = [&](std::uint64_t first, std::uint64_t last) {
        const QRect gap = span(first, last);
        const QString label = text("partition_map_free");
        if (gap.width() > metrics.horizontalAdvance(label) + 8) {
            painter.setPen(QColor(110, 116, 126));
            painter.drawText(gap, Qt::AlignCenter, label);
        }
    };
    for (const partition_item_s& item : sorted) {
        if (drive_sectors_ > 0 && item.start_sector > next && next < drive_sectors_) {
            label_gap(next, item.start_sector - 1);
        }
        next = std::max(next, item.end_sector == UINT64_MAX ? UINT64_MAX : item.end_sector + 1);
    }
    if (next < drive_sectors_) {
        label_gap(next, drive_sectors_ - 1);
    }
    for (int k = 0; k < partitions_.size(); ++k) {
        const QRect r = partition_rect(k);
        if (r.isEmpty()) {
            continue;
        }
        const partition_item_s& item = partitions_.at(k);
        const QColor colour = fs_colour(item.fs_name);
        painter.fillRect(r, k == selected_ ? colour.darker(140) : colour);
        painter.setPen(k == selected_ ? QPen(Qt::black, 2) : QPen(colour.darker(130), 1));
        painter.drawRect(r.adjusted(0, 0, -1, -1));
        const QString full = QStringLiteral("%1 %2").arg(item.fs_name, size_text(item));
        const QString label = metrics.horizontalAdvance(full) + 6 <= r.width() ? full
                              : metrics.horizontalAdvance(item.fs_name) + 6 <= r.width()
                                  ? item.fs_name
                                  : QString();
        if (!label.isEmpty()) {
            painter.setPen(Qt::white);
            painter.drawText(r, Qt::AlignCenter, label);
        }
    }
}

void partition_map_c::mousePressEvent(QMouseEvent* event) {
    const int index = index_at(event->position().toPoint());
    if (index >= 0) {
        set_selected(index);
        emit partition_clicked(index);
    }
    QWidget::mousePressEvent(event);
}

bool partition_map_c::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int index = index_at(help->pos());
        if (index >= 0) {
            const partition_item_s& item = partitions_.at(index);
            QToolTip::showText(help->globalPos(),
                               QStringLiteral("%1  %2\n%3 - %4")
                                   .arg(item.fs_name, size_text(item))
                                   .arg(item.start_sector)
                                   .arg(item.end_sector),
                               this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}
