#include "device/ui/volume_delegate.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "device/volume_list.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

QFont row_font() {
    return QFont(QStringLiteral("Arial"), 8);
}

}  // namespace

QSize volume_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), 30};
}

QString volume_delegate_c::caption(const volume_item_s& volume) {
    QString path = volume.path;
    if (path.endsWith(QLatin1Char('\\'))) {
        path.chop(1);
    }
    const QString label = volume.label.isEmpty() ? text("local_disk") : volume.label;
    return label + QStringLiteral(" (") + path + QStringLiteral(")");
}

QString volume_delegate_c::shown_caption(const volume_item_s& volume, int row_width) {
    // From x 45 to 8 pixels before the column divider at w * 0.32.
    const int room = static_cast<int>(row_width * 0.32) - 45 - 8;
    return QFontMetrics(row_font()).elidedText(caption(volume), Qt::ElideMiddle, std::max(0, room));
}

bool volume_delegate_c::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                  const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QVariant value = index.data(Qt::DisplayRole);
    if (event && view && event->type() == QEvent::ToolTip && value.canConvert<volume_item_s>()) {
        const volume_item_s volume = value.value<volume_item_s>();
        if (!volume.path.isEmpty() &&
            shown_caption(volume, option.rect.width()) != caption(volume)) {
            QToolTip::showText(event->globalPos(), caption(volume), view->viewport(), option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

QString volume_delegate_c::size_text(const volume_item_s& volume) {
    const QString free = volume.free_known ? format_size(volume.free_bytes) : QStringLiteral("-");
    return free + text("recovery_free") + format_size(volume.total_bytes);
}

void volume_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const QVariant value = index.data(Qt::DisplayRole);
    if (!value.canConvert<volume_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const volume_item_s volume = value.value<volume_item_s>();
    const QRect& r = option.rect;
    const int y = r.y();
    const int h = r.height();
    const double w = r.width();
    const int xa = static_cast<int>(w * 0.32);
    const int xb = static_cast<int>(w * 0.85);
    painter->save();
    if (index.row() % 2 == 0) {
        painter->fillRect(r, QColor(241, 250, 255));
    }
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(r, QColor(81, 149, 206));
    }
    if (volume.path.isEmpty()) {
        // The header row: column titles, and dividers from the top of the viewport.
        painter->fillRect(r, QColor(232, 246, 255));
        painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine));
        painter->drawLine(xa, 0, xa, y + h);
        painter->drawLine(xb, 0, xb, y + h);
        painter->setFont(QFont(QStringLiteral("Arial"), 10));
        painter->setPen(Qt::black);
        painter->drawText(60, y + 20, text("volume_logical_drives"));
        painter->drawText(static_cast<int>(w * 0.32 + 165), y + 20, text("drive_size"));
        painter->drawText(static_cast<int>(w * 0.85 + 15), y + 20, text("partition_fs"));
        painter->restore();
        return;
    }
    painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine));
    painter->drawLine(xa, y, xa, y + h);
    painter->drawLine(xb, y, xb, y + h);
    painter->drawPixmap(20, y + 5, QPixmap(QStringLiteral(":/images/partition_search/drives.png")));
    painter->setFont(row_font());
    painter->setPen(Qt::black);
    painter->drawText(45, y + 20, shown_caption(volume, r.width()));

    const int wb = static_cast<int>(w * 0.53 - 170);
    const int bar_x = static_cast<int>(w * 0.32 + 10);
    painter->setPen(QColor(139, 184, 241));
    painter->drawRect(bar_x, y + 5, wb, 20);
    painter->setPen(Qt::black);
    const QFontMetrics metrics(row_font());
    const int size_x = static_cast<int>(w * 0.32 + wb + 20);
    painter->drawText(
        size_x, y + 20,
        metrics.elidedText(size_text(volume), Qt::ElideRight, std::max(0, xb - 4 - size_x)));
    const int fs_x = static_cast<int>(w * 0.85 + 20);
    painter->drawText(fs_x, y + 20,
                      metrics.elidedText(volume.file_system, Qt::ElideRight,
                                         std::max(0, static_cast<int>(w) - 4 - fs_x)));

    if (volume.total_bytes != 0) {
        const QPixmap red(QStringLiteral(":/images/partition_search/red.png"));
        const QPixmap green(QStringLiteral(":/images/partition_search/green.png"));
        const int fill_x = static_cast<int>(w * 0.32 + 11);
        const int fill_h = red.height() + 1;
        if (!volume.free_known) {
            // Unknown free space: a grey bar, neither full nor empty.
            if (wb > 2) {
                painter->fillRect(fill_x, y + 6, wb - 2, fill_h, QColor::fromRgb(unknown_colour));
            }
        } else {
            const auto ratio = static_cast<float>(static_cast<long double>(volume.free_bytes) /
                                                  static_cast<long double>(volume.total_bytes));
            // Red at a fifth or less free, decided on the byte counts: as a float, exactly
            // 20 % is 0.2000000030 and would compare above 0.2.
            const bool low =
                static_cast<unsigned __int128>(volume.free_bytes) * 5 <= volume.total_bytes;
            QBrush brush(low ? red : green);
            painter->setBrushOrigin(0, y + 6);
            const int fill_w = static_cast<int>((1.0L - ratio) * wb - 2);
            if (fill_w > 0) {  // nothing to fill on an empty volume or a very narrow row
                painter->fillRect(fill_x, y + 6, fill_w, fill_h, brush);
            }
        }
    }
    painter->restore();
}
