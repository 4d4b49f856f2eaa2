#include "device/ui/drive_delegate.h"

#include "core/settings.h"
#include "device/drive_list.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

namespace {

QFont row_font() {
    return QFont(QStringLiteral("Verdana"), 8);
}

}  // namespace

QString drive_delegate_c::shown_name(const QString& name, int row_width) {
    const int room = static_cast<int>(row_width * 0.5) - 60 - 8;
    return QFontMetrics(row_font()).elidedText(name, Qt::ElideMiddle, std::max(0, room));
}

bool drive_delegate_c::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                 const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QVariant value = index.data(Qt::DisplayRole);
    if (event && view && event->type() == QEvent::ToolTip && value.canConvert<drive_item_s>()) {
        const drive_item_s drive = value.value<drive_item_s>();
        if (drive.geometry && shown_name(drive.name, option.rect.width()) != drive.name) {
            QToolTip::showText(event->globalPos(), drive.name, view->viewport(), option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

QSize drive_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), 30};
}

void drive_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    const QVariant value = index.data(Qt::DisplayRole);
    if (!value.canConvert<drive_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const drive_item_s drive = value.value<drive_item_s>();
    const QRect& r = option.rect;
    const int y = r.y();
    const double w = r.width();
    painter->save();
    if (index.row() % 2 == 0) {
        painter->fillRect(r, QColor(241, 250, 255));
    }
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(r, QColor(81, 149, 206));
    }
    if (!drive.geometry) {
        // The header row: titles, and the column dividers from the top of the viewport.
        painter->fillRect(r, QColor(232, 246, 255));
        painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine));
        const int x1 = static_cast<int>(w * 0.5);
        const int x2 = static_cast<int>(w * 0.85);
        painter->drawLine(x1, 0, x1, y + r.height());
        painter->drawLine(x2, 0, x2, y + r.height());
        painter->setFont(QFont(QStringLiteral("Verdana"), 10));
        painter->setPen(Qt::black);
        painter->drawText(60, y + 20, text("drive_physical_drives"));
        painter->drawText(static_cast<int>(w * 0.5 + 70), y + 20, text("drive_size"));
        painter->drawText(static_cast<int>(w * 0.85 + 15), y + 20, text("partition_number"));
        painter->restore();
        return;
    }
    painter->setFont(row_font());
    painter->setPen(Qt::black);
    // An image shows its container format: the size is that of the disk inside.
    const QString name = drive.format.isEmpty() || drive.format == QLatin1String("raw")
                             ? drive.name
                             : QStringLiteral("%1 (%2)").arg(drive.name, drive.format);
    painter->drawText(60, y + 20, shown_name(name, r.width()));
    painter->drawText(static_cast<int>(w * 0.5 + 70), y + 20, format_size(drive.size));
    painter->drawText(static_cast<int>(w * 0.85 + 15), y + 20,
                      QString::asprintf("%d", index.row()));
    painter->restore();
}
