#include "result/ui/recovery_delegate.h"

#include "device/drive_list.h"
#include "result/recovery_item.h"
#include "skin/message_box.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <ctime>

const QColor recovery_delegate_c::overwritten_colour(196, 64, 0);
const QColor recovery_delegate_c::unverified_colour(128, 112, 160);

recovery_delegate_c::recovery_delegate_c(QObject* parent)
    : QStyledItemDelegate(parent),
      unticked(QStringLiteral(":/images/partition_search/check1.png")),
      ticked(QStringLiteral(":/images/partition_search/check2.png")) {}

QString local_date_text(std::int64_t seconds) {
    if (seconds == 0) {
        return QStringLiteral("-");
    }
    if (seconds < 0) {
        return {};
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm calendar{};
    if (!localtime_r(&t, &calendar)) {
        return {};
    }
    char buffer[32];
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &calendar) == 0) {
        return {};
    }
    return QString::fromLatin1(buffer);
}

QFont recovery_delegate_c::cell_font() {
    return QFont(QStringLiteral("Segoe UI Symbol"), 8);
}

QString recovery_delegate_c::cell_text(const recovery_item_s& item, int column) {
    switch (column) {
        case 1:
            return item.name;
        case 2:
            return format_size(item.size);
        case 3:
            return local_date_text(item.date1);
        case 4:
            return local_date_text(item.date2);
        default:
            return {};
    }
}

QString recovery_delegate_c::shown_text(const recovery_item_s& item, int column, int cell_width) {
    // The text starts 10 pixels into its cell.
    return QFontMetrics(cell_font())
        .elidedText(cell_text(item, column), Qt::ElideRight, std::max(0, cell_width - 12));
}

bool recovery_delegate_c::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QVariant value = index.data(Qt::DisplayRole);
    if (event && view && event->type() == QEvent::ToolTip && holds_recovery_item(value)) {
        const recovery_item_s item = recovery_item_from(value);
        const QString full = cell_text(item, index.column());
        const QString more = index.data(Qt::ToolTipRole).toString();
        const bool cut =
            !full.isEmpty() && shown_text(item, index.column(), option.rect.width()) != full;
        if (cut || !more.isEmpty()) {
            // The whole text when the cell cuts it, and the model's note; both wrap.
            QString tip = cut ? full : QString();
            if (!more.isEmpty()) {
                tip += (tip.isEmpty() ? QString() : QStringLiteral("\n\n")) + more;
            }
            QToolTip::showText(event->globalPos(), wrapping_tooltip(tip), view->viewport(),
                               option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

void recovery_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const QVariant value = index.data(Qt::DisplayRole);
    if (!holds_recovery_item(value)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const recovery_item_s item = recovery_item_from(value);
    painter->save();
    if (index.row() % 2 == 0) {
        painter->fillRect(option.rect, QColor(241, 250, 255));
    }
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(option.rect, QColor(81, 149, 206));
    }
    painter->setFont(cell_font());
    QRect text_rect = option.rect;
    text_rect.setLeft(text_rect.left() + 10);
    const int flags = Qt::AlignVCenter | Qt::AlignJustify;
    switch (index.column()) {
        case 0: {
            const int side = unticked.width();
            painter->drawPixmap(QRect(option.rect.x() + 10, option.rect.y() + 10, side, side),
                                item.checked ? ticked : unticked);
            break;
        }
        case 1:
        case 2:
        case 3:
        case 4:
            if (index.column() == 1 && item.overwritten) {
                painter->setPen(overwritten_colour);
            } else if (index.column() == 1 && item.unverified) {
                if (!(option.state & QStyle::State_Selected)) {
                    painter->setPen(unverified_colour);  // on the selection's blue: italic only
                }
                QFont italic = painter->font();
                italic.setItalic(true);
                painter->setFont(italic);
            }
            painter->drawText(text_rect, flags,
                              shown_text(item, index.column(), option.rect.width()));
            break;
        default:
            break;
    }
    painter->restore();
}
