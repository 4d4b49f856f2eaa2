#include "skin/skin_widget_resize_handler.h"

#include "skin/skin_widget.h"

#include <QMouseEvent>
#include <QWindow>

QSkinWidgetResizeHandler::QSkinWidgetResizeHandler(QSkinWidget* window)
    : QObject(window), window(window) {
    window->installEventFilter(this);
}

Qt::Edges QSkinWidgetResizeHandler::edges_at(const QPoint& point) const {
    Qt::Edges edges;
    if (!window->is_normal) {
        return edges;  // a maximised window keeps the screen's area until it is restored
    }
    if (point.x() < grip) {
        edges |= Qt::LeftEdge;
    } else if (point.x() >= window->width() - grip) {
        edges |= Qt::RightEdge;
    }
    if (point.y() < grip) {
        edges |= Qt::TopEdge;
    } else if (point.y() >= window->height() - grip) {
        edges |= Qt::BottomEdge;
    }
    return edges;
}

void QSkinWidgetResizeHandler::press(QMouseEvent* event) {
    dragging = drag_e::none;
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const QPoint point = event->position().toPoint();
    const Qt::Edges edges = edges_at(point);
    QWindow* handle = window->windowHandle();
    if (edges && !window->any_button_hit(point)) {
        if (!handle || !handle->startSystemResize(edges)) {
            dragging = drag_e::resize;  // the platform cannot: resize by hand
        }
        drag_edges = edges;
    } else if (move_allowed && window->is_normal) {
        if (!handle || !handle->startSystemMove()) {
            dragging = drag_e::move;
        }
    }
    press_global = event->globalPosition().toPoint();
    press_geometry = window->geometry();
}

void QSkinWidgetResizeHandler::drag(QMouseEvent* event) {
    const QPoint delta = event->globalPosition().toPoint() - press_global;
    if (dragging == drag_e::move) {
        window->move(press_geometry.topLeft() + delta);
        return;
    }
    QRect g = press_geometry;
    const QSize minimum = window->minimumSize();
    if (drag_edges & Qt::LeftEdge) {
        g.setLeft(std::min(g.left() + delta.x(), g.right() + 1 - minimum.width()));
    }
    if (drag_edges & Qt::RightEdge) {
        g.setRight(std::max(g.right() + delta.x(), g.left() + minimum.width() - 1));
    }
    if (drag_edges & Qt::TopEdge) {
        g.setTop(std::min(g.top() + delta.y(), g.bottom() + 1 - minimum.height()));
    }
    if (drag_edges & Qt::BottomEdge) {
        g.setBottom(std::max(g.bottom() + delta.y(), g.top() + minimum.height() - 1));
    }
    window->setGeometry(g);
}

bool QSkinWidgetResizeHandler::eventFilter(QObject* object, QEvent* event) {
    if (object != window) {
        return false;
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            window->mousePressEvent(mouse);
            press(mouse);
            return true;
        }
        case QEvent::MouseMove: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            window->mouseMoveEvent(mouse);
            if (dragging != drag_e::none && (mouse->buttons() & Qt::LeftButton)) {
                drag(mouse);
            } else {
                dragging = drag_e::none;
                const Qt::Edges edges = edges_at(mouse->position().toPoint());
                Qt::CursorShape shape = Qt::ArrowCursor;
                if (edges == (Qt::LeftEdge | Qt::TopEdge) ||
                    edges == (Qt::RightEdge | Qt::BottomEdge)) {
                    shape = Qt::SizeFDiagCursor;
                } else if (edges == (Qt::RightEdge | Qt::TopEdge) ||
                           edges == (Qt::LeftEdge | Qt::BottomEdge)) {
                    shape = Qt::SizeBDiagCursor;
                } else if (edges & (Qt::LeftEdge | Qt::RightEdge)) {
                    shape = Qt::SizeHorCursor;
                } else if (edges) {
                    shape = Qt::SizeVerCursor;
                }
                window->setCursor(shape);
            }
            return true;
        }
        case QEvent::MouseButtonRelease:
            window->mouseReleaseEvent(static_cast<QMouseEvent*>(event));
            dragging = drag_e::none;
            return true;
        case QEvent::WindowActivate:
            window->repaint();
            return false;
        default:
            return false;
    }
}
