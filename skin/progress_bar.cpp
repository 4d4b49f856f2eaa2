#include "skin/progress_bar.h"

#include <QPainter>

#include <algorithm>

void progress_bar_c::init_bar(const QString& image, const QColor& background_colour) {
    texture = QPixmap(image);
    brush.setTexture(texture);
    background = background_colour;
    value = 0.0;
}

void progress_bar_c::draw_bar(QPainter* painter, const QRect& rect) const {
    painter->fillRect(rect, background);
    const double fraction = std::clamp(value, 0.0, 1.0);
    QRect done = rect;
    done.setRight(rect.left() + static_cast<int>((rect.right() - rect.left()) * fraction));
    if (fraction > 0.0) {
        painter->fillRect(done, brush);
    }
    painter->setPen(Qt::black);
    painter->drawText(rect, Qt::AlignHCenter | Qt::AlignTop,
                      QString::asprintf("%d%%", static_cast<int>(fraction * 100)));
}
