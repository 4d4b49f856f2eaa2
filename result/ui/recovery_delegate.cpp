#include "result/ui/recovery_delegate.h"

#include "device/drive_list.h"
#include "result/recovery_item.h"

#include <QPainter>

#include <ctime>

const QColor recovery_delegate_c::overwritten_colour(196, 64, 0);

recovery_delegate_c::recovery_delegate_c(QObject* parent)
    : QStyledItemDelegate(parent),
      unticked(QStringLiteral(":/images/partition_search/check1.png")),
      ticked(QStringLiteral(":/images/partition_search/check2.png")) {}

QString local_date_text(std::int64_t seconds) {
    if (seconds <= 0) {
        return QStringLiteral("-");  // the engine knows no date (never "1970-01-01")
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
    painter->setFont(QFont(QStringLiteral("Segoe UI Symbol"), 8));
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
            if (item.overwritten) {
                painter->setPen(overwritten_colour);
            }
            painter->drawText(text_rect, flags, item.name);
            break;
        case 2:
            painter->drawText(text_rect, flags, format_size(item.size));
            break;
        case 3:
        case 4:
            painter->drawText(text_rect, flags,
                              local_date_text(index.column() == 3 ? item.date1 : item.date2));
            break;
        default:
            break;
    }
    painter->restore();
}
