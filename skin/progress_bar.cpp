#include "skin/progress_bar.h"

#include <QPainter>

#include <algorithm>

progress_bar_c::progress_bar_c(QObject* parent) : QObject(parent) {}

void progress_bar_c::init_bar(const QString& image_path, const QColor& background_colour) {
    texture = QPixmap(image_path);
    brush.setTexture(texture);
    background = background_colour;
    value = 0.0;
}

QString progress_bar_c::percent_text() const {
    // A value outside 0-1 (a worker's rounding) never prints below 0% or above 100%.
    const double shown = std::clamp(value, 0.0, 1.0);
    return QString::asprintf("%d%%", static_cast<int>(shown * 100));
}

void progress_bar_c::draw_bar(QPainter* painter, const QRect& rect) const {
    painter->fillRect(rect, background);
    const double shown = std::clamp(value, 0.0, 1.0);
    QRect filled = rect;
    // QRect's right edge is left + width - 1; the fill ends at L + (Rt - L) * value.
    const int right_edge = rect.left() + static_cast<int>((rect.right() + 1 - rect.left()) * shown);
    filled.setRight(right_edge - 1);
    if (filled.width() > 0) {
        painter->fillRect(filled, brush);
    }
    painter->save();
    painter->setPen(Qt::black);
    painter->drawText(rect, Qt::AlignHCenter | Qt::AlignTop, percent_text());
    painter->restore();
}
