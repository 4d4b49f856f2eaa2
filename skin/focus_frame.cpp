#include "skin/focus_frame.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPen>

namespace {

const QColor frame_colour(11, 92, 213);  // darker than the page's borders (#8bb8fe)

}  // namespace

bool focus_frame_c::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget) {
        return false;
    }
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
        widget->update();
        if (auto* view = qobject_cast<QAbstractItemView*>(widget)) {
            view->viewport()->update();
        }
        return false;
    }
    if (event->type() != QEvent::Paint) {
        return false;
    }
    // An item view's content is its viewport: the frame goes there while the view has focus.
    const auto* view = qobject_cast<QAbstractItemView*>(widget->parentWidget());
    const bool viewport = view && view->viewport() == widget;
    if (!(viewport ? view->hasFocus() : widget->hasFocus()) ||
        qobject_cast<QAbstractItemView*>(widget)) {
        return false;
    }
    // The control paints itself first (its own handler, not through the filters again); the
    // frame goes on top.
    const bool handled = static_cast<QObject*>(widget)->event(event);
    QPainter painter(widget);
    painter.setPen(QPen(frame_colour, 2, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(widget->rect().adjusted(1, 1, -1, -1));
    return handled;
}

void install_focus_frames(QWidget* page) {
    auto* frames = new focus_frame_c(page);
    for (QWidget* child : page->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(child) || qobject_cast<QLineEdit*>(child)) {
            child->setFocusPolicy(Qt::StrongFocus);  // reached with Tab, also after a click
            child->installEventFilter(frames);
        } else if (auto* view = qobject_cast<QAbstractItemView*>(child)) {
            view->setFocusPolicy(Qt::StrongFocus);
            // The view's frame is drawn around its viewport: on the view itself.
            view->installEventFilter(frames);
            view->viewport()->installEventFilter(frames);
        }
    }
}
