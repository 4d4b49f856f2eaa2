#pragma once
// The painted progress bar of the scan and partition pages: a textured fill over a plain
// background with the percentage over it. Not a widget: the owning page writes value on
// its timer and paints the bar from its own paintEvent into a rectangle of its choosing.
//
// GUI thread; owned by its page.

#include <QBrush>
#include <QColor>
#include <QObject>
#include <QPixmap>
#include <QRect>

class QPainter;

class progress_bar_c : public QObject {
    Q_OBJECT
  public:
    explicit progress_bar_c(QObject* parent = nullptr);

    void init_bar(const QString& image_path, const QColor& background_colour);
    void draw_bar(QPainter* painter, const QRect& rect) const;
    // "%d%%" of value, truncated: 0.999 is 99%.
    QString percent_text() const;

    QPixmap texture;
    QBrush brush;
    QColor background;
    double value = 0.0;  // fraction done, 0.0 to 1.0
};
