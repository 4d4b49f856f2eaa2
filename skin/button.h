#pragma once
// Caption buttons of a skinned window: painted into the frame, hit-tested by the window.
//
// They are not widgets. The window (GUI thread) owns them, drives their state from its
// mouse handlers and runs a button's action, a member function of the window, when it is
// clicked. top_button_c is placed from the window's left edge, system_button_c from its
// right edge (close, maximise, minimise, settings).

#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QString>

#include <array>
#include <memory>

template <typename T>
class button_c {
  public:
    using action_t = void (T::*)();

    button_c() = default;
    button_c(const button_c&) = delete;
    button_c& operator=(const button_c&) = delete;
    virtual ~button_c() = default;

    // Loads the three images (normal, hover, pressed) and stores the rectangle; the text is
    // kept but never drawn.
    virtual void init(const QString& normal, const QString& hover, const QString& pressed,
                      const QRect& rectangle, const QString& caption = QString()) {
        set_images(normal, hover, pressed);
        rect = rectangle;
        text = caption;
    }
    virtual bool hit_test(const QPoint& point, const QRect& window) const = 0;
    virtual void paint(QPainter& painter, const QRect& window) const = 0;
    // New images; rectangle, state and action stay.
    virtual void set_images(const QString& normal, const QString& hover, const QString& pressed) {
        images = std::make_unique<std::array<QPixmap, 3>>();
        (*images)[0].load(normal);
        (*images)[1].load(hover);
        (*images)[2].load(pressed);
    }

    // The image of the current state; a null pixmap before init.
    const QPixmap& current_image() const {
        static const QPixmap none;
        if (!images || state < 0 || state > 2) {
            return none;
        }
        return (*images)[state];
    }

    std::unique_ptr<std::array<QPixmap, 3>> images;
    int state = 0;  // 0 normal, 1 hover, 2 pressed
    QRect rect;
    action_t action = nullptr;
    QString text;
};

// Placed from the left: the rectangle is in window coordinates.
template <typename T>
class top_button_c : public button_c<T> {
  public:
    bool hit_test(const QPoint& point, const QRect& window) const override {
        (void)window;
        const QRect& r = this->rect;
        return point.x() >= r.left() && point.x() <= r.right() && point.y() >= r.top() &&
               point.y() <= r.bottom();
    }
    void paint(QPainter& painter, const QRect& window) const override {
        (void)window;
        painter.drawPixmap(this->rect.topLeft(), this->current_image());
    }
};

// Placed from the right: x is measured leftwards from the window's right edge, so a button
// with the rectangle (1, 1, 30, 21) covers x from right - 30 to right - 1.
template <typename T>
class system_button_c : public button_c<T> {
  public:
    bool hit_test(const QPoint& point, const QRect& window) const override {
        const QRect& r = this->rect;
        const int mirrored = window.right() - point.x();
        return mirrored >= r.left() && mirrored <= r.right() && point.y() >= r.top() &&
               point.y() <= r.bottom();
    }
    void paint(QPainter& painter, const QRect& window) const override {
        painter.drawPixmap(QPoint(window.right() - this->rect.right(), this->rect.top()),
                           this->current_image());
    }
};
