#include "drawing.h"

#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

const QColor band_top(29, 79, 140);
const QColor band_bottom(47, 109, 179);
const QColor band_edge(20, 58, 105);
const QColor pale(232, 246, 255);
const QColor pale_line(211, 231, 255);
const QColor accent(139, 184, 241);
const QColor text_blue(91, 135, 201);
const QColor title_blue(31, 79, 140);

QString out_root;
QStringList resource_files;  // paths under out_root, as the resources name them

QFont ui_font(qreal pixel_size, bool bold) {
    QFont font;
    // Latin from DejaVu, Chinese and Japanese from WenQuanYi: both are installed with the
    // program, so every language folder is drawn with real glyphs.
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixel_size))));
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

bool save(const QImage& image, const QString& name, const char* format) {
    const QString path = out_root + QStringLiteral("/") + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImageWriter writer(path, format);
    if (!writer.write(image)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path),
                     qPrintable(writer.errorString()));
        return false;
    }
    resource_files << name;
    return true;
}

QImage canvas(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void begin(QPainter& p, QImage& image) {
    p.begin(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
}

// Draws text centred in a box, shrinking the font until it fits on at most `lines` lines.
void fitted_text(QPainter& p, const QRectF& box, const QString& text, qreal pixel_size, bool bold,
                 int flags) {
    for (qreal size = pixel_size; size >= 7; size -= 0.5) {
        p.setFont(ui_font(size, bold));
        const QRectF needed = p.boundingRect(box, flags | Qt::TextWordWrap, text);
        if (needed.width() <= box.width() + 0.5 && needed.height() <= box.height() + 0.5) {
            break;
        }
    }
    p.drawText(box, flags | Qt::TextWordWrap, text);
}

// The program's mark: a disk platter with an arrow turning back round it.
void draw_mark(QPainter& p, const QRectF& r, const QColor& colour, qreal width) {
    p.save();
    const QPointF c = r.center();
    const qreal radius = std::min(r.width(), r.height()) / 2 - width;
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QRectF ring(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius);
    p.drawArc(ring, 120 * 16, 290 * 16);
    // arrow head at the open end of the arc (angle 120 degrees)
    const qreal a = 120 * M_PI / 180;
    const QPointF tip(c.x() + radius * std::cos(a), c.y() - radius * std::sin(a));
    const qreal head = radius * 0.45;
    QPainterPath arrow;
    arrow.moveTo(tip + QPointF(-head * 0.95, -head * 0.15));
    arrow.lineTo(tip);
    arrow.lineTo(tip + QPointF(-head * 0.05, head * 0.95));
    p.drawPath(arrow);
    // the platter's hub
    p.setBrush(colour);
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, radius * 0.28, radius * 0.28);
    p.restore();
}

void draw_document(QPainter& p, const QRectF& r, const QColor& colour) {
    p.save();
    p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const qreal fold = r.width() * 0.32;
    QPainterPath page;
    page.moveTo(r.left(), r.top());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.right(), r.bottom());
    page.lineTo(r.left(), r.bottom());
    page.closeSubpath();
    page.moveTo(r.right() - fold, r.top());
    page.lineTo(r.right() - fold, r.top() + fold);
    page.lineTo(r.right(), r.top() + fold);
    p.drawPath(page);
    p.restore();
}

void draw_magnifier(QPainter& p, const QPointF& centre, qreal radius, const QColor& colour,
                    qreal width) {
    p.save();
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, radius, radius);
    const qreal d = radius * 0.7071;
    p.drawLine(centre + QPointF(d, d), centre + QPointF(d + radius * 0.8, d + radius * 0.8));
    p.restore();
}

void draw_drive(QPainter& p, const QRectF& r, const QColor& colour) {
    p.save();
    p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r, 3, 3);
    // two partitions of the drive, the second one found again (dashed)
    const qreal split = r.left() + r.width() * 0.45;
    p.drawLine(QPointF(split, r.top() + 3), QPointF(split, r.bottom() - 3));
    p.setBrush(colour);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(r.right() - 5, r.bottom() - 5), 1.6, 1.6);
    p.restore();
}
