// The images of the device, partition and scan pages: page buttons, list icons, the usage
// bar textures, the progress texture, the tick boxes, the folder icon and the scanning
// animation (a GIF written here, since Qt reads GIF but does not write it).

#include "drawing.h"

#include <QFile>
#include <QLinearGradient>
#include <QPainterPath>

#include <cmath>
#include <map>
#include <vector>

namespace {

// A page button, stretched over the button by its style sheet: "wai" is the blue button of
// the main actions (white words), "start" the pale one of the scan controls (dark words).
QImage page_button(bool blue, int width, int state) {
    QImage image = canvas(width, 30);
    QPainter p;
    begin(p, image);
    QLinearGradient fill(0, 0, 0, 30);
    if (blue) {
        const QColor top = state == 2 ? band_bottom.lighter(125) : band_bottom.lighter(112);
        const QColor bottom = state == 3 ? band_top.darker(110) : band_top;
        fill.setColorAt(0, state == 3 ? band_top : top);
        fill.setColorAt(1, bottom);
        p.setPen(QPen(band_edge, 1));
    } else {
        fill.setColorAt(0, state == 3 ? pale_line : Qt::white);
        fill.setColorAt(1, state == 2 ? pale_line : pale);
        p.setPen(QPen(state == 1 ? accent : band_bottom, 1));
    }
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0.5, 0.5, width - 1, 29), 5, 5);
    return image;
}

QImage tick_box(bool ticked) {
    QImage image = canvas(14, 14);
    QPainter p;
    begin(p, image);
    p.setPen(QPen(ticked ? band_bottom : accent, 1));
    p.setBrush(ticked ? band_bottom : QColor(Qt::white));
    p.drawRoundedRect(QRectF(0.5, 0.5, 13, 13), 2.5, 2.5);
    if (ticked) {
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(3.5, 7), QPointF(6, 9.8), QPointF(10.5, 4)}));
    }
    return image;
}

QImage drive_icon() {
    QImage image = canvas(20, 20);
    QPainter p;
    begin(p, image);
    QLinearGradient fill(0, 4, 0, 16);
    fill.setColorAt(0, band_bottom.lighter(130));
    fill.setColorAt(1, band_top);
    p.setPen(QPen(band_edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(1.5, 5.5, 17, 10), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 230, 140));
    p.drawEllipse(QPointF(15, 10.5), 1.3, 1.3);
    p.setBrush(QColor(255, 255, 255, 160));
    p.drawRect(QRectF(4, 9.5, 7, 2));
    return image;
}

// The usage bar of a volume: a texture one column wide in effect, repeated along the bar.
QImage bar_texture(int width, const QColor& light, const QColor& dark) {
    QImage image = canvas(width, 18);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 18);
    fill.setColorAt(0, light);
    fill.setColorAt(0.5, dark);
    fill.setColorAt(1, dark.darker(115));
    p.fillRect(image.rect(), fill);
    return image;
}

// The progress texture: calm diagonal stripes in the frame's blues, 12 pixels high.
QImage progress_texture() {
    QImage image = canvas(16, 12);
    QPainter p;
    begin(p, image);
    QLinearGradient fill(0, 0, 0, 12);
    fill.setColorAt(0, band_bottom.lighter(125));
    fill.setColorAt(1, band_bottom);
    p.fillRect(image.rect(), fill);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 40));
    for (int x = -16; x <= 16; x += 16) {
        p.drawPolygon(QPolygonF(
            {QPointF(x, 12), QPointF(x + 8, 12), QPointF(x + 20, 0), QPointF(x + 12, 0)}));
    }
    return image;
}

// The partition page's picture: a drive under a magnifier.
QImage partition_icon() {
    QImage image = canvas(64, 64);
    QPainter p;
    begin(p, image);
    QLinearGradient fill(0, 20, 0, 58);
    fill.setColorAt(0, band_bottom.lighter(130));
    fill.setColorAt(1, band_top);
    p.setPen(QPen(band_edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(2.5, 30.5, 50, 26), 5, 5);
    p.setPen(QPen(QColor(255, 255, 255, 170), 2));
    p.drawLine(QPointF(22, 35), QPointF(22, 52));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 230, 140));
    p.drawEllipse(QPointF(45, 50), 2.2, 2.2);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(QPointF(40, 22), 13, 13);
    draw_magnifier(p, QPointF(40, 22), 13, band_top, 4);
    return image;
}

QImage folder_icon() {
    QImage image = canvas(16, 16);
    QPainter p;
    begin(p, image);
    QPainterPath folder;
    folder.moveTo(1.5, 3.5);
    folder.lineTo(6, 3.5);
    folder.lineTo(7.5, 5);
    folder.lineTo(14.5, 5);
    folder.lineTo(14.5, 13.5);
    folder.lineTo(1.5, 13.5);
    folder.closeSubpath();
    QLinearGradient fill(0, 3, 0, 14);
    fill.setColorAt(0, QColor(255, 214, 110));
    fill.setColorAt(1, QColor(236, 176, 52));
    p.setPen(QPen(QColor(190, 135, 30), 1));
    p.setBrush(fill);
    p.drawPath(folder);
    p.setPen(QPen(QColor(255, 240, 200), 1));
    p.drawLine(QPointF(2.5, 6.5), QPointF(13.5, 6.5));
    return image;
}

// --- the scanning animation ---------------------------------------------------------------

// One frame of 130 x 86: a drive with a magnifier sweeping along it and a scan line.
QImage scan_frame(int frame, int frames) {
    QImage image = canvas(130, 86);
    QPainter p;
    begin(p, image);
    const QRectF drive(15.5, 44.5, 100, 30);
    QLinearGradient fill(0, 44, 0, 75);
    fill.setColorAt(0, band_bottom.lighter(130));
    fill.setColorAt(1, band_top);
    p.setPen(QPen(band_edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(drive, 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 230, 140));
    if (frame % 2 == 0) {
        p.drawEllipse(QPointF(106, 66), 2.5, 2.5);  // the drive's light blinks
    }
    const qreal phase = std::sin(2 * M_PI * frame / frames);
    const qreal x = 65 + 38 * phase;
    p.setPen(QPen(QColor(255, 255, 255, 200), 2));
    p.drawLine(QPointF(x, 48), QPointF(x, 71));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(QPointF(x, 26), 14, 14);
    draw_magnifier(p, QPointF(x, 26), 14, band_top, 4);
    return image;
}

void put16(QByteArray& out, int value) {
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
}

// Writes an animated GIF (looping, 8-bit palette, index 0 transparent). The LZW stream
// sends every pixel as a literal and clears the table before it would need 10-bit codes:
// larger than a compressing encoder, always valid.
QByteArray gif(const std::vector<QImage>& frames, int delay_cs) {
    const int width = frames.front().width();
    const int height = frames.front().height();
    // The palette: the opaque colours of all frames (semi-transparent edges are blended
    // over the page's pale blue first).
    std::vector<QImage> flat;
    std::map<QRgb, int> index_of;
    QList<QRgb> table{qRgb(255, 255, 255)};  // index 0: transparent
    for (const QImage& frame : frames) {
        QImage rgb = frame.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y) {
            auto* line = reinterpret_cast<QRgb*>(rgb.scanLine(y));
            for (int x = 0; x < width; ++x) {
                const int a = qAlpha(line[x]);
                if (a < 96) {
                    line[x] = 0;
                    continue;
                }
                const auto blend = [a](int c, int under) {
                    return (c * a + under * (255 - a)) / 255;
                };
                line[x] = qRgb(blend(qRed(line[x]), 240), blend(qGreen(line[x]), 248),
                               blend(qBlue(line[x]), 255)) &
                          0xFFF8F8F8;
                if (!index_of.count(line[x])) {
                    index_of[line[x]] = -1;
                }
            }
        }
        flat.push_back(rgb);
    }
    QList<QRgb> colours;
    for (const auto& [colour, unused] : index_of) {
        colours << colour;
    }
    if (colours.size() > 255) {  // too many shades: let Qt choose 255 of them
        QImage all(width, height * static_cast<int>(flat.size()), QImage::Format_RGB32);
        QPainter p(&all);
        for (std::size_t i = 0; i < flat.size(); ++i) {
            p.drawImage(0, height * static_cast<int>(i), flat[i]);
        }
        p.end();
        colours =
            all.convertToFormat(QImage::Format_Indexed8, Qt::AvoidDither).colorTable().mid(0, 255);
    }
    table << colours;
    while (table.size() < 256) {
        table << qRgb(0, 0, 0);
    }

    std::map<QRgb, int> exact;
    for (int i = 1; i < static_cast<int>(table.size()); ++i) {
        exact.emplace(table[i], i);
    }

    QByteArray out("GIF89a");
    put16(out, width);
    put16(out, height);
    out.append(char(0xF7));  // global table of 256 colours
    out.append(char(0));
    out.append(char(0));
    for (QRgb c : table) {
        out.append(char(qRed(c)));
        out.append(char(qGreen(c)));
        out.append(char(qBlue(c)));
    }
    out.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);  // loop for ever
    for (const QImage& frame : flat) {
        out.append("\x21\xF9\x04", 3);
        out.append(char((2 << 2) | 1));  // restore to background, index 0 transparent
        put16(out, delay_cs);
        out.append(char(0));
        out.append(char(0));
        out.append(char(0x2C));
        put16(out, 0);
        put16(out, 0);
        put16(out, width);
        put16(out, height);
        out.append(char(0));
        out.append(char(8));  // LZW minimum code size

        QByteArray data;
        quint32 bits = 0;
        int count = 0;
        const auto emit_code = [&](int code) {
            bits |= quint32(code) << count;
            count += 9;
            while (count >= 8) {
                data.append(char(bits & 0xFF));
                bits >>= 8;
                count -= 8;
            }
        };
        emit_code(256);
        int since_clear = 0;
        for (int y = 0; y < height; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
            for (int x = 0; x < width; ++x) {
                int index = 0;
                if (const auto hit = exact.find(line[x]); line[x] != 0 && hit != exact.end()) {
                    index = hit->second;
                } else if (line[x] != 0) {
                    const QRgb c = line[x];
                    int best = 1;
                    int best_distance = INT32_MAX;
                    for (int i = 1; i < 256; ++i) {
                        const int dr = qRed(c) - qRed(table[i]);
                        const int dg = qGreen(c) - qGreen(table[i]);
                        const int db = qBlue(c) - qBlue(table[i]);
                        const int distance = dr * dr + dg * dg + db * db;
                        if (distance < best_distance) {
                            best_distance = distance;
                            best = i;
                        }
                    }
                    index = best;
                }
                if (since_clear == 250) {
                    emit_code(256);
                    since_clear = 0;
                }
                emit_code(index);
                ++since_clear;
            }
        }
        emit_code(257);
        if (count > 0) {
            data.append(char(bits & 0xFF));
        }
        for (qsizetype at = 0; at < data.size(); at += 255) {
            const QByteArray block = data.mid(at, 255);
            out.append(char(block.size()));
            out.append(block);
        }
        out.append(char(0));
    }
    out.append(char(0x3B));
    return out;
}

bool save_bytes(const QByteArray& bytes, const QString& name) {
    QFile file(out_root + QStringLiteral("/") + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        return false;
    }
    resource_files << name;
    return true;
}

}  // namespace

bool draw_page_images() {
    bool ok = true;
    const QString folder = QStringLiteral("images/partition_search/");
    for (int state = 1; state <= 3; ++state) {
        ok = save(page_button(true, 100, state),
                  folder + QStringLiteral("btn_wai_%1.png").arg(state)) &&
             ok;
        ok = save(page_button(false, 80, state),
                  folder + QStringLiteral("btn_start_%1.png").arg(state)) &&
             ok;
    }
    ok = save(tick_box(false), folder + QStringLiteral("check1.png")) && ok;
    ok = save(tick_box(true), folder + QStringLiteral("check2.png")) && ok;
    ok = save(drive_icon(), folder + QStringLiteral("drives.png")) && ok;
    ok = save(bar_texture(6, QColor(248, 140, 130), QColor(220, 60, 50)),
              folder + QStringLiteral("red.png")) &&
         ok;
    ok = save(bar_texture(5, QColor(150, 225, 150), QColor(60, 170, 80)),
              folder + QStringLiteral("green.png")) &&
         ok;
    ok = save(progress_texture(), folder + QStringLiteral("loding_on.png")) && ok;
    ok = save(partition_icon(), folder + QStringLiteral("icon_found1.png")) && ok;
    ok = save(folder_icon(), QStringLiteral("images/recovery/folder.png")) && ok;
    std::vector<QImage> frames;
    const int count = 16;
    for (int i = 0; i < count; ++i) {
        frames.push_back(scan_frame(i, count));
    }
    ok = save_bytes(gif(frames, 8), QStringLiteral("images/recovery/ani.gif")) && ok;
    return ok;
}
