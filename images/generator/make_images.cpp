// Draws every image of the program and writes them, with the resource list that compiles
// them in, into one folder:
//
//     orvane_images OUTDIR        writes OUTDIR/images/... and OUTDIR/images.qrc
//
// Run by the build (offscreen platform); nothing here is copied from another program. The
// colours are those of the pages: a deep blue caption band, white pages, the pale blues
// (232, 246, 255), (211, 231, 255), (139, 184, 241) and the text blue (91, 135, 201).

#include "drawing.h"
#include "words.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

void draw_top_icon(QPainter& p, int which, const QRectF& r, const QColor& colour) {
    switch (which) {
        case 0: {  // file recovery: a page with the mark on it
            draw_document(p, QRectF(r.left() + 7, r.top() + 1, 20, r.height() - 2), colour);
            draw_mark(p, QRectF(r.left() + 16, r.top() + 12, 18, 18), colour, 2.0);
            break;
        }
        case 1:  // partition search: a drive with two partitions
            draw_drive(p, QRectF(r.left() + 1, r.top() + 7, r.width() - 2, r.height() - 14),
                       colour);
            break;
        default: {  // deep scan: a magnifier over a drive
            draw_drive(p, QRectF(r.left() + 1, r.top() + 13, r.width() - 9, r.height() - 15),
                       colour);
            p.save();
            QColor fill = band_bottom;
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            p.drawEllipse(QPointF(r.left() + 21, r.top() + 10), 9, 9);
            p.restore();
            draw_magnifier(p, QPointF(r.left() + 21, r.top() + 10), 7.5, colour, 2.2);
            break;
        }
    }
}

// --- the frame ----------------------------------------------------------------------------

// The caption band: so.png is the whole top edge, 800 x 100, rounded at its top corners.
QImage frame_top() {
    QImage image = canvas(800, 100);
    QPainter p;
    begin(p, image);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, 800, 120), 7, 7);
    QLinearGradient gradient(0, 0, 0, 100);
    gradient.setColorAt(0, band_top);
    gradient.setColorAt(1, band_bottom);
    p.fillPath(shape, gradient);
    // a hairline of light under the top edge, and the dark outline of the window
    p.setPen(QPen(QColor(255, 255, 255, 45), 1));
    p.drawLine(QPointF(7, 1.5), QPointF(793, 1.5));
    p.setPen(QPen(band_edge, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(0.5, 0.5, 799, 130), 7, 7);
    // a faint line where the band meets the page
    p.setPen(QPen(QColor(17, 52, 96), 1));
    p.drawLine(QPointF(3, 99.5), QPointF(797, 99.5));
    return image;
}

// Side edges (3 wide) and the bottom edge (4 high): a dark outline and two band-blue lines.
QImage frame_side(bool left) {
    QImage image = canvas(3, 539);
    for (int y = 0; y < image.height(); ++y) {
        image.setPixelColor(left ? 0 : 2, y, band_edge);
        image.setPixelColor(1, y, band_bottom);
        image.setPixelColor(left ? 2 : 0, y, band_bottom);
    }
    return image;
}

QImage frame_bottom() {
    QImage image = canvas(10, 4);
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < 3; ++y) {
            image.setPixelColor(x, y, band_bottom);
        }
        image.setPixelColor(x, 3, band_edge);
    }
    for (int y = 0; y < 4; ++y) {
        image.setPixelColor(0, y, band_edge);
        image.setPixelColor(9, y, band_edge);
    }
    // rounded outer corners
    image.setPixelColor(0, 3, Qt::transparent);
    image.setPixelColor(9, 3, Qt::transparent);
    return image;
}

QImage logo() {
    QImage image = canvas(107, 77);
    QPainter p;
    begin(p, image);
    draw_mark(p, QRectF(33, 1, 40, 40), Qt::white, 3.2);
    p.setPen(Qt::white);
    fitted_text(p, QRectF(0, 40, 107, 22), QStringLiteral("Orvane"), 19, true, Qt::AlignCenter);
    p.setPen(QColor(190, 215, 245));
    QFont small = ui_font(9, false);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    p.setFont(small);
    p.drawText(QRectF(0, 62, 107, 14), Qt::AlignCenter, QStringLiteral("RECOVERY"));
    return image;
}

QImage window_icon() {
    QImage image = canvas(48, 48);
    QPainter p;
    begin(p, image);
    QLinearGradient gradient(0, 0, 0, 48);
    gradient.setColorAt(0, band_bottom.lighter(115));
    gradient.setColorAt(1, band_top);
    p.setPen(QPen(band_edge, 1));
    p.setBrush(gradient);
    p.drawRoundedRect(QRectF(1.5, 1.5, 45, 45), 10, 10);
    draw_mark(p, QRectF(8, 8, 32, 32), Qt::white, 3.4);
    return image;
}

// --- caption buttons ----------------------------------------------------------------------

enum class system_glyph_e { close, maximise, restore, minimise, settings };

QImage system_button(system_glyph_e glyph, int state) {
    QImage image = canvas(30, 21);
    QPainter p;
    begin(p, image);
    const bool close = glyph == system_glyph_e::close;
    if (state == 2) {
        p.fillRect(image.rect(), close ? QColor(225, 64, 64) : QColor(255, 255, 255, 50));
    } else if (state == 3) {
        p.fillRect(image.rect(), close ? QColor(176, 38, 38) : QColor(0, 0, 0, 60));
    }
    const QColor ink = state == 1 ? QColor(255, 255, 255, 215) : QColor(Qt::white);
    p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF c(15, 10.5);
    switch (glyph) {
        case system_glyph_e::close:
            p.drawLine(c + QPointF(-4.5, -4.5), c + QPointF(4.5, 4.5));
            p.drawLine(c + QPointF(-4.5, 4.5), c + QPointF(4.5, -4.5));
            break;
        case system_glyph_e::maximise:
            p.drawRect(QRectF(c.x() - 5, c.y() - 4.5, 10, 9));
            p.drawLine(QPointF(c.x() - 5, c.y() - 3), QPointF(c.x() + 5, c.y() - 3));
            break;
        case system_glyph_e::restore:
            p.drawRect(QRectF(c.x() - 5, c.y() - 2, 8, 7));
            p.drawPolyline(QPolygonF({QPointF(c.x() - 2, c.y() - 2), QPointF(c.x() - 2, c.y() - 5),
                                      QPointF(c.x() + 6, c.y() - 5), QPointF(c.x() + 6, c.y() + 2),
                                      QPointF(c.x() + 3, c.y() + 2)}));
            break;
        case system_glyph_e::minimise:
            p.drawLine(QPointF(c.x() - 5, c.y() + 4), QPointF(c.x() + 5, c.y() + 4));
            break;
        case system_glyph_e::settings:
            for (int i = 0; i < 8; ++i) {
                const qreal a = i * M_PI / 4;
                p.drawLine(c + QPointF(4.0 * std::cos(a), 4.0 * std::sin(a)),
                           c + QPointF(6.0 * std::cos(a), 6.0 * std::sin(a)));
            }
            p.drawEllipse(c, 3.6, 3.6);
            p.drawEllipse(c, 1.2, 1.2);
            break;
    }
    return image;
}

// A top-bar button, 95 x 70: an icon and its words, white on the caption band.
QImage top_button(int which, const char* words, int state) {
    QImage image = canvas(95, 70);
    QPainter p;
    begin(p, image);
    if (state == 2) {
        p.setPen(QPen(QColor(255, 255, 255, 80), 1));
        p.setBrush(QColor(255, 255, 255, 38));
        p.drawRoundedRect(QRectF(0.5, 0.5, 94, 69), 7, 7);
    } else if (state == 3) {
        p.setPen(QPen(QColor(0, 0, 0, 60), 1));
        p.setBrush(QColor(0, 0, 0, 55));
        p.drawRoundedRect(QRectF(0.5, 0.5, 94, 69), 7, 7);
    }
    const qreal shift = state == 3 ? 1 : 0;
    draw_top_icon(p, which, QRectF(30, 5 + shift, 35, 30), Qt::white);
    p.setPen(Qt::white);
    fitted_text(p, QRectF(2, 38 + shift, 91, 30), QString::fromUtf8(words), 12, true,
                Qt::AlignHCenter | Qt::AlignVCenter);
    return image;
}

// --- the home page ------------------------------------------------------------------------

// A large home-page button: a card with a round icon, a title and one line of explanation.
QImage home_button(bool start, int width, const char* title, const char* line, int state) {
    QImage image = canvas(width, 106);
    QPainter p;
    begin(p, image);
    const qreal shift = state == 3 ? 1 : 0;
    QLinearGradient fill(0, 0, 0, 106);
    fill.setColorAt(0, state == 3 ? QColor(220, 236, 252) : Qt::white);
    fill.setColorAt(1, state == 1 ? QColor(243, 249, 255) : QColor(226, 240, 253));
    p.setPen(QPen(state == 1 ? accent : band_bottom, state == 1 ? 1.2 : 2));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(1, 1, width - 2, 104), 12, 12);

    const QPointF centre(56, 53 + shift);
    QLinearGradient disc(0, 18, 0, 88);
    disc.setColorAt(0, band_bottom.lighter(120));
    disc.setColorAt(1, band_top);
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(centre, 35, 35);
    if (start) {
        draw_magnifier(p, centre + QPointF(-5, -5), 13, Qt::white, 4);
    } else {
        draw_mark(p, QRectF(centre.x() - 20, centre.y() - 20, 40, 40), Qt::white, 3.6);
    }

    const qreal left = 106;
    p.setPen(title_blue);
    fitted_text(p, QRectF(left, 18 + shift, width - left - 12, 44), QString::fromUtf8(title), 20,
                true, Qt::AlignLeft | Qt::AlignBottom);
    p.setPen(text_blue);
    fitted_text(p, QRectF(left, 64 + shift, width - left - 12, 30), QString::fromUtf8(line), 12,
                false, Qt::AlignLeft | Qt::AlignTop);
    return image;
}

// The panel behind the three lines of text on the home page (their base lines are 50, 100
// and 150 pixels below its top; the text starts 15 pixels in).
QImage home_panel() {
    QImage image = canvas(692, 188);
    QPainter p;
    begin(p, image);
    p.setPen(QPen(pale_line, 1));
    p.setBrush(QColor(247, 251, 255));
    p.drawRoundedRect(QRectF(0.5, 0.5, 691, 187), 10, 10);
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawRoundedRect(QRectF(0, 22, 4, 144), 2, 2);
    p.setPen(QPen(pale_line, 1));
    p.drawLine(QPointF(15, 74.5), QPointF(677, 74.5));
    p.drawLine(QPointF(15, 124.5), QPointF(677, 124.5));
    return image;
}

// The band across the top of every page: 5 x 50, pale blue fading into white.
QImage page_band() {
    QImage image = canvas(5, 50);
    QPainter p(&image);
    QLinearGradient gradient(0, 0, 0, 50);
    gradient.setColorAt(0, pale);
    gradient.setColorAt(1, Qt::white);
    p.fillRect(image.rect(), gradient);
    return image;
}

bool write_qrc() {
    QFile file(out_root + QStringLiteral("/images.qrc"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    QTextStream out(&file);
    out << "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/\">\n";
    for (const QString& name : resource_files) {
        out << "  <file alias=\"" << name << "\">" << name << "</file>\n";
    }
    for (const auto& alias : folder_aliases) {
        const QString from = QStringLiteral("images/multilang/%1/").arg(alias.shows);
        const QString to = QStringLiteral("images/multilang/%1/").arg(alias.code);
        for (const QString& name : resource_files) {
            if (name.startsWith(from)) {
                out << "  <file alias=\"" << to + name.mid(from.size()) << "\">" << name
                    << "</file>\n";
            }
        }
    }
    out << "</qresource>\n</RCC>\n";
    return out.status() == QTextStream::Ok;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane_images OUTDIR\n");
        return 2;
    }
    out_root = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    const auto check = [&ok](bool written) { ok = ok && written; };

    check(save(frame_top(), QStringLiteral("images/system/so.png")));
    check(save(frame_bottom(), QStringLiteral("images/system/su.png")));
    check(save(frame_side(true), QStringLiteral("images/system/sl.png")));
    check(save(frame_side(false), QStringLiteral("images/system/sr.png")));
    check(save(logo(), QStringLiteral("images/top/logo.png")));
    check(save(window_icon(), QStringLiteral("images/top.ico"), "ico"));
    const std::pair<system_glyph_e, const char*> system_buttons[] = {
        {system_glyph_e::close, "quiButton"},        {system_glyph_e::maximise, "maxButton"},
        {system_glyph_e::restore, "resumeButton"},   {system_glyph_e::minimise, "minButton"},
        {system_glyph_e::settings, "settingButton"},
    };
    for (const auto& [glyph, name] : system_buttons) {
        for (int state = 1; state <= 3; ++state) {
            check(save(system_button(glyph, state),
                       QStringLiteral("images/system/%1%2.png").arg(name).arg(state)));
        }
    }
    for (const button_words_s& words : button_words) {
        const QString folder = QStringLiteral("images/multilang/%1/").arg(words.code);
        for (int state = 1; state <= 3; ++state) {
            for (int which = 0; which < 3; ++which) {
                check(save(top_button(which, words.top[which], state),
                           folder + QStringLiteral("btn_top%1%2.png").arg(which + 1).arg(state)));
            }
            check(save(home_button(true, 330, words.start_title, words.start_line, state),
                       folder + QStringLiteral("btn_start_scan%1.png").arg(state)));
            check(save(home_button(false, 323, words.resume_title, words.resume_line, state),
                       folder + QStringLiteral("btn_resume_recovery%1.png").arg(state)));
        }
    }
    check(save(home_panel(), QStringLiteral("images/home/wenzi.png")));
    check(save(page_band(), QStringLiteral("images/background/bai.png")));
    check(draw_page_images());
    check(write_qrc());
    return ok ? 0 : 1;
}
