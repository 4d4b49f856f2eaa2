#include "result/ui/my_header_view.h"

#include "core/settings.h"

#include <QMouseEvent>
#include <QPainter>

MyHeaderView::MyHeaderView(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent),
      unticked(QStringLiteral(":/images/partition_search/check1.png")),
      ticked(QStringLiteral(":/images/partition_search/check2.png")) {}

QSize MyHeaderView::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(24);
    return size;
}

void MyHeaderView::mousePressEvent(QMouseEvent* event) {
    const int w0 = sectionSize(0);
    const int w1 = sectionSize(1);
    const int w2 = sectionSize(2);
    const int w3 = sectionSize(3);
    const int w4 = sectionSize(4);
    const int x = static_cast<int>(event->position().x()) + offset();
    if (x <= w0) {
        const bool tick = tick_state != Qt::Checked;
        tick_state = tick ? Qt::Checked : Qt::Unchecked;
        emit check_all(tick);
    } else if (x < w0 + w1) {
        emit sort_column(1);
    } else if (w0 + w1 < x && x < w0 + w1 + w2) {
        emit sort_column(2);
    } else if (w0 + w1 + w2 < x && x < w0 + w1 + w2 + w3) {
        emit sort_column(3);
    } else if (w0 + w1 + w2 + w3 < x && x < w0 + w1 + w2 + w3 + w4) {
        emit sort_column(4);
    }
    viewport()->update();
    QHeaderView::mousePressEvent(event);
}

void MyHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    painter->save();
    painter->fillRect(rect, QColor(232, 246, 255));
    painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter->drawLine(rect.x() - 1, rect.y(), rect.x() - 1, rect.y() + rect.height());
    painter->drawLine(rect.x(), rect.y() + rect.height() - 1, rect.x() + rect.width(),
                      rect.y() + rect.height() - 1);
    painter->setFont(QFont(QStringLiteral("Arial"), 8));
    painter->setPen(Qt::black);
    switch (logicalIndex) {
        case 0: {
            const int side = unticked.width();
            const QRect box(rect.x() + 10, rect.y() + 5, side, side);
            painter->drawPixmap(box, tick_state == Qt::Checked ? ticked : unticked);
            if (tick_state == Qt::PartiallyChecked) {
                // Some ticked: a filled square inside the empty box.
                painter->fillRect(box.adjusted(side / 4, side / 4, -side / 4, -side / 4),
                                  QColor(11, 92, 213));
            }
            break;
        }
        case 1:
            painter->drawText(rect.x() + 15, rect.y() + 14, text("recovery_name"));
            break;
        case 2:
            painter->drawText(rect.x() + 15, rect.y() + 14, text("drive_size"));
            break;
        case 3:
            painter->drawText(rect.x() + 10, rect.y() + 14, text("recovery_date1"));
            break;
        case 4:
            painter->drawText(rect.x() + 10, rect.y() + 14, text("recovery_date2"));
            break;
        default:
            break;
    }
    if (logicalIndex == sorted_section && logicalIndex > 0 && rect.width() > 24) {
        // The sort arrow at the section's right end: up when ascending.
        const int cx = rect.right() - 10;
        const int cy = rect.center().y();
        const QPolygon arrow =
            sorted_ascending
                ? QPolygon({QPoint(cx - 4, cy + 2), QPoint(cx + 4, cy + 2), QPoint(cx, cy - 3)})
                : QPolygon({QPoint(cx - 4, cy - 2), QPoint(cx + 4, cy - 2), QPoint(cx, cy + 3)});
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(60, 90, 140));
        painter->drawPolygon(arrow);
    }
    painter->restore();
}
