#pragma once
// Moves and resizes a skinned window: an event filter on the window itself.
//
// It first hands mouse events to the window's own handlers (which decide whether a press
// may drag the window), then drags from the caption zone or resizes from the frame's
// edges. Where the platform offers it (X11, Wayland) the window manager does the move or
// resize (QWindow::startSystemMove/startSystemResize); elsewhere the filter moves and
// resizes the window itself. GUI thread only; owned by the window.

#include <QObject>
#include <QPoint>
#include <QRect>

class QMouseEvent;
class QSkinWidget;

class QSkinWidgetResizeHandler : public QObject {
    Q_OBJECT
  public:
    explicit QSkinWidgetResizeHandler(QSkinWidget* window);

    // May a press drag the window? Set by the window's press handler.
    void set_active_for_move(bool active) { move_allowed = active; }
    bool active_for_move() const { return move_allowed; }
    // Which edges a point in window coordinates grabs (none inside the frame).
    Qt::Edges edges_at(const QPoint& point) const;
    // Width of the band along the edges that resizes the window.
    static constexpr int grip = 5;

    bool eventFilter(QObject* object, QEvent* event) override;

  private:
    void press(QMouseEvent* event);
    void drag(QMouseEvent* event);

    QSkinWidget* window;
    bool move_allowed = false;
    enum class drag_e { none, move, resize } dragging = drag_e::none;
    Qt::Edges drag_edges;
    QPoint press_global;
    QRect press_geometry;
};
