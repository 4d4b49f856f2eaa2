#include "result/ui/restore_summary_bar.h"

#include <QPainter>

#include <algorithm>

const QColor restore_summary_bar_c::restored_colour(76, 175, 80);
const QColor restore_summary_bar_c::overwritten_colour(230, 145, 30);
const QColor restore_summary_bar_c::failed_colour(211, 47, 47);

restore_summary_bar_c::restore_summary_bar_c(int restored, int overwritten, int failed,
                                             QWidget* parent)
    : QWidget(parent),
      restored(std::max(0, restored)),
      overwritten(std::max(0, overwritten)),
      failed(std::max(0, failed)) {
    setObjectName(QStringLiteral("restore_summary_bar"));
    setMinimumHeight(12);
}

QSize restore_summary_bar_c::sizeHint() const {
    return {240, 12};
}

std::array<int, 3> restore_summary_bar_c::part_widths(int restored, int overwritten, int failed,
                                                      int width) {
    std::array<int, 3> counts{std::max(0, restored), std::max(0, overwritten), std::max(0, failed)};
    std::array<int, 3> widths{0, 0, 0};
    const long long total = static_cast<long long>(counts[0]) + counts[1] + counts[2];
    if (total == 0 || width <= 0) {
        return widths;
    }
    int used = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        widths[i] = static_cast<int>(static_cast<long long>(counts[i]) * width / total);
        if (counts[i] > 0 && widths[i] == 0) {
            widths[i] = 1;  // one failed file among thousands still shows
        }
        used += widths[i];
    }
    // Rounding goes to (or comes from) the widest part.
    const auto widest =
        static_cast<std::size_t>(std::max_element(widths.begin(), widths.end()) - widths.begin());
    widths[widest] += width - used;
    return widths;
}

void restore_summary_bar_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, -1, -1);
    const auto widths = part_widths(restored, overwritten, failed, area.width());
    const QColor colours[3] = {restored_colour, overwritten_colour, failed_colour};
    int x = area.x();
    for (std::size_t i = 0; i < 3; ++i) {
        painter.fillRect(QRect(x, area.y(), widths[i], area.height()), colours[i]);
        x += widths[i];
    }
    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(area);
}
