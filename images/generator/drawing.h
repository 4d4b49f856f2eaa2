#pragma once
// What the image generator's drawings share: the program's colours, fonts, the canvas and
// the writer that records each image for the resource list, and the common glyphs.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>
#include <QStringList>

extern const QColor band_top;     // the caption band, top
extern const QColor band_bottom;  // the caption band, bottom; the frame
extern const QColor band_edge;    // the window's outline
extern const QColor pale;         // list headers, the page band
extern const QColor pale_line;
extern const QColor accent;     // frames on the pages
extern const QColor text_blue;  // the home page's text
extern const QColor title_blue;

extern QString out_root;            // where the images are written
extern QStringList resource_files;  // every image written, as the resources name it

QFont ui_font(qreal pixel_size, bool bold);
// Writes an image under out_root and records it; false (with a message) on failure.
bool save(const QImage& image, const QString& name, const char* format = "png");
QImage canvas(int width, int height);    // transparent, premultiplied ARGB
void begin(QPainter& p, QImage& image);  // antialiased painting
// Draws text in a box, shrinking the font until it fits.
void fitted_text(QPainter& p, const QRectF& box, const QString& text, qreal pixel_size, bool bold,
                 int flags);

// The program's mark: a disk platter with an arrow turning back round it.
void draw_mark(QPainter& p, const QRectF& r, const QColor& colour, qreal width);
void draw_document(QPainter& p, const QRectF& r, const QColor& colour);
void draw_magnifier(QPainter& p, const QPointF& centre, qreal radius, const QColor& colour,
                    qreal width);
void draw_drive(QPainter& p, const QRectF& r, const QColor& colour);

// The images of the device, partition and scan pages (page_images.cpp).
bool draw_page_images();
