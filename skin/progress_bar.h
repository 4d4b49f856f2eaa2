#pragma once
// The painted progress bar of the scan and partition pages: a textured fill over a plain
// background with the percentage over it. Not a widget: the owning page writes value on its
// timer and draws the bar from its own paintEvent. GUI thread; owned by its page.

#include <QBrush>
#include <QColor>
#include <QObject>
#include <QPixmap>

class QPainter;

class progress_bar_c : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    void init_bar(const QString& image, const QColor& background_colour);
    void draw_bar(QPainter* painter, const QRect& rect) const;

    QPixmap texture;
    QBrush brush;
    QColor background;
    double value = 0.0;  // fraction done, 0.0 to 1.0
};
