#include "result/ui/thumb_view.h"

#include "result/ui/thumb_loader.h"
#include "result/ui/thumb_model.h"

#include <QScrollBar>
#include <QSet>

namespace {

constexpr int settle_ms = 60;  // a scroll that pauses this long asks for its thumbnails

}  // namespace

thumb_view_c::thumb_view_c(QWidget* parent) : QListView(parent) {
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);  // a fixed grid: no free placement, no dragging
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);
    setIconSize(QSize(thumb_loader_c::side, thumb_loader_c::side));
    setGridSize(QSize(thumb_loader_c::side + 20, thumb_loader_c::side + 30));
    setSpacing(0);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    settle_.setSingleShot(true);
    settle_.setInterval(settle_ms);
    connect(&settle_, &QTimer::timeout, this, &thumb_view_c::request_now);
}

void thumb_view_c::set_thumb_model(thumb_model_c* model) {
    thumbs_ = model;
    setModel(model);
    connect(model, &QAbstractItemModel::modelReset, this, &thumb_view_c::schedule);
    schedule();
}

std::vector<int> thumb_view_c::rows_in_sight() const {
    std::vector<int> rows;
    if (!model() || model()->rowCount() == 0) {
        return rows;
    }
    // The grid's cells in sight: one probe in every cell-sized step over the viewport,
    // plus the bottom and right edges, for the cells cut by them.
    const QSize cell = gridSize();
    const QRect area = viewport()->rect();
    QSet<int> seen;
    for (int y = area.top(); y <= area.bottom() + cell.height() - 1; y += cell.height() / 2) {
        for (int x = area.left(); x <= area.right(); x += cell.width() / 2) {
            const QPoint probe(std::min(x, area.right()), std::min(y, area.bottom()));
            const QModelIndex index = indexAt(probe);
            if (index.isValid() && !seen.contains(index.row())) {
                seen.insert(index.row());
                rows.push_back(index.row());
            }
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void thumb_view_c::request_now() {
    settle_.stop();
    if (thumbs_ && isVisible()) {
        thumbs_->request_rows(rows_in_sight());
    }
}

void thumb_view_c::schedule() {
    settle_.start();
}

void thumb_view_c::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    schedule();
}

void thumb_view_c::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    schedule();
}

void thumb_view_c::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    schedule();
}
