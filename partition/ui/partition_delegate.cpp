#include "partition/ui/partition_delegate.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "partition/partition_item.h"

#include <QPainter>

QSize partition_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), 30};
}

QStringList partition_delegate_c::column_texts(const partition_item_s& partition, int row) {
    // A record whose last sector lies before its first (never made by the search) shows
    // no size rather than a wrapped-around one.
    const std::uint64_t sectors = partition.end_sector >= partition.start_sector
                                      ? partition.end_sector - partition.start_sector + 1
                                      : 0;
    return {QString::asprintf("%d", row), partition.fs_name,
            QString::asprintf("%llu", static_cast<unsigned long long>(partition.start_sector)),
            QString::asprintf("%llu", static_cast<unsigned long long>(partition.end_sector)),
            format_size(sectors * 512)};
}

void partition_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const QVariant value = index.data(Qt::DisplayRole);
    if (!value.canConvert<partition_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const partition_item_s partition = value.value<partition_item_s>();
    const QRect& r = option.rect;
    const int y = r.y();
    const double w = r.width();
    const double columns[] = {0.0, 0.2, 0.4, 0.6, 0.8};
    painter->save();
    if (index.row() % 2 == 0) {
        painter->fillRect(r, QColor(241, 250, 255));
    }
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(r, QColor(81, 149, 206));
    }
    QStringList texts;
    if (partition.fs_name.isEmpty()) {
        painter->fillRect(r, QColor(232, 246, 255));
        painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine));
        for (int c = 1; c < 5; ++c) {
            const int x = static_cast<int>(w * columns[c]);
            painter->drawLine(x, y, x, y + r.height());
        }
        painter->setFont(QFont(QStringLiteral("Verdana"), 10));
        texts = QStringList{text("partition_number"), text("partition_fs"), text("partition_ss"),
                            text("partition_es"), text("drive_size")};
    } else {
        painter->setFont(QFont(QStringLiteral("Verdana"), 8));
        texts = column_texts(partition, index.row());
    }
    painter->setPen(Qt::black);
    for (int c = 0; c < 5; ++c) {
        painter->drawText(static_cast<int>(w * columns[c] + 15), y + 20, texts.at(c));
    }
    painter->restore();
}
