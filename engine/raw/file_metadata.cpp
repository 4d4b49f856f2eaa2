// The metadata readers' entry point, the date parsers, the name cleaner, and the two picture
// readers: EXIF (through libexif) and PNG's text and time chunks.
#include "file_metadata.h"

#include <libexif/exif-data.h>

#include <QDateTime>
#include <QRegularExpression>

#include <cstring>

namespace meta {

std::int64_t sane_date(std::int64_t seconds) {
    // 1980-01-01 to 2099-12-31: what a camera, an office program or a file system can mean.
    return seconds >= 315532800 && seconds < 4102444800 ? seconds : 0;
}

namespace {

std::int64_t from_parts(int y, int mo, int d, int h, int mi, int s, bool zoned,
                        int offset_seconds) {
    const QDate date(y, mo, d);
    const QTime time(h, mi, s);
    if (!date.isValid() || !time.isValid()) {
        return 0;
    }
    const QDateTime at =
        zoned ? QDateTime(date, time, Qt::OffsetFromUTC, offset_seconds) : QDateTime(date, time);
    return at.isValid() ? sane_date(at.toSecsSinceEpoch()) : 0;
}

int digits(const char* p, int n) {
    int value = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return -1;
        }
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

}  // namespace

std::int64_t exif_date(const QByteArray& text) {
    // "YYYY:MM:DD HH:MM:SS"; some writers use '-' in the date.
    if (text.size() < 19) {
        return 0;
    }
    const char* p = text.constData();
    const int y = digits(p, 4), mo = digits(p + 5, 2), d = digits(p + 8, 2);
    const int h = digits(p + 11, 2), mi = digits(p + 14, 2), s = digits(p + 17, 2);
    if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || s < 0) {
        return 0;
    }
    return from_parts(y, mo, d, h, mi, s, false, 0);
}

std::int64_t iso_date(const QString& text) {
    static const QRegularExpression form(QStringLiteral(
        R"(^\s*(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2}))?(?:\.\d+)?\s*(Z|[+-]\d{2}:?\d{2})?)"));
    const QRegularExpressionMatch m = form.match(text.left(64));
    if (!m.hasMatch()) {
        return 0;
    }
    const QString zone = m.captured(7);
    int offset = 0;
    if (!zone.isEmpty() && zone != QLatin1String("Z")) {
        const QString hhmm = QString(zone).remove(QLatin1Char(':'));
        offset = (hhmm.mid(1, 2).toInt() * 3600 + hhmm.mid(3, 2).toInt() * 60) *
                 (zone[0] == QLatin1Char('-') ? -1 : 1);
    }
    return from_parts(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                      m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                      !zone.isEmpty(), offset);
}

std::int64_t pdf_date(const QByteArray& text) {
    // D:YYYYMMDDHHmmSSOHH'mm' with everything after the year optional.
    QByteArray t = text.trimmed();
    if (t.startsWith("D:")) {
        t = t.mid(2);
    }
    const char* p = t.constData();
    const int n = static_cast<int>(t.size());
    auto field = [&](int at, int width, int fallback) {
        return n >= at + width ? digits(p + at, width) : fallback;
    };
    const int y = field(0, 4, -1), mo = field(4, 2, 1), d = field(6, 2, 1);
    const int h = field(8, 2, 0), mi = field(10, 2, 0), s = field(12, 2, 0);
    if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || s < 0) {
        return 0;
    }
    if (n > 14 && (p[14] == 'Z' || p[14] == '+' || p[14] == '-')) {
        int offset = 0;
        if (p[14] != 'Z') {
            const int oh = field(15, 2, 0);
            const int om = n >= 20 && p[17] == '\'' ? digits(p + 18, 2) : 0;
            offset = (oh < 0 ? 0 : oh) * 3600 + (om < 0 ? 0 : om) * 60;
            offset *= p[14] == '-' ? -1 : 1;
        }
        return from_parts(y, mo, d, h, mi, s, true, offset);
    }
    return from_parts(y, mo, d, h, mi, s, false, 0);
}

std::int64_t mp4_date(std::uint64_t since_1904) {
    constexpr std::uint64_t epoch_gap = 2082844800;  // 1904-01-01 to 1970-01-01
    if (since_1904 <= epoch_gap || since_1904 - epoch_gap > 0x7FFFFFFFFFFFull) {
        return 0;
    }
    return sane_date(static_cast<std::int64_t>(since_1904 - epoch_gap));
}

QByteArray copy_bytes(sig::window_c& w, std::uint64_t pos, std::size_t n) {
    QByteArray out;
    while (out.size() < static_cast<qsizetype>(n)) {
        std::size_t got = 0;
        const std::uint8_t* p = w.some(pos, n - static_cast<std::size_t>(out.size()), &got);
        if (!p || got == 0) {
            break;
        }
        out.append(reinterpret_cast<const char*>(p), static_cast<qsizetype>(got));
        pos += got;
    }
    return out;
}

namespace {

QByteArray exif_text(ExifData* data, ExifIfd ifd, ExifTag tag) {
    ExifEntry* entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (!entry) {
        return {};
    }
    char value[256] = {};
    exif_entry_get_value(entry, value, sizeof value - 1);
    return QByteArray(value).trimmed();
}

}  // namespace

// JPEG: the EXIF block in the first APP1 segments (libexif finds it among the markers);
// TIFF and the raw formats built on it: the file itself is the EXIF block's TIFF part.
file_meta_s read_exif(sig::window_c& w, bool tiff) {
    // A JPEG's EXIF block is one APP1 segment (at most 64 KiB) near its start; a TIFF's
    // directories may lie anywhere, most often within its first few hundred kilobytes.
    QByteArray head = copy_bytes(w, 0, tiff ? 1024 * 1024 : 128 * 1024);
    if (head.size() < 16) {
        return {};
    }
    if (tiff) {
        // Olympus and Panasonic put their own number where TIFF has 42; the directories that
        // follow are TIFF's.
        if (head.startsWith("II")) {
            head[2] = 42, head[3] = 0;
        } else if (head.startsWith("MM")) {
            head[2] = 0, head[3] = 42;
        }
        head.prepend(QByteArray("Exif\0\0", 6));
    }
    ExifData* data = exif_data_new();
    if (!data) {
        return {};
    }
    exif_data_load_data(data, reinterpret_cast<const unsigned char*>(head.constData()),
                        static_cast<unsigned int>(head.size()));
    file_meta_s meta;
    const QByteArray original = exif_text(data, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL);
    const QByteArray changed = exif_text(data, EXIF_IFD_0, EXIF_TAG_DATE_TIME);
    const QByteArray model = exif_text(data, EXIF_IFD_0, EXIF_TAG_MODEL);
    exif_data_unref(data);
    meta.created = exif_date(original);
    meta.modified = exif_date(changed);
    if (meta.created == 0) {
        meta.created = meta.modified;
    }
    if (meta.created != 0) {
        // "2024-06-01 14-03-22 Canon EOS": sorts by time, and a camera's pictures stay apart.
        meta.title = QDateTime::fromSecsSinceEpoch(meta.created)
                         .toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"));
        if (!model.isEmpty()) {
            meta.title += QLatin1Char(' ') + QString::fromUtf8(model).simplified();
        }
    }
    return meta;
}

// PNG: tEXt and uncompressed iTXt chunks before the image data ("Creation Time", "Title",
// ImageMagick's "date:create" and "date:modify") and the tIME chunk (UTC).
file_meta_s read_png(sig::window_c& w) {
    file_meta_s meta;
    std::uint64_t pos = 8;
    for (int chunks = 0; chunks < 256; ++chunks) {
        const std::uint8_t* h = w.at(pos, 8);
        if (!h) {
            break;
        }
        const std::uint32_t length = sig::be32(h);
        const QByteArray kind(reinterpret_cast<const char*>(h + 4), 4);
        if (kind == "IDAT" || kind == "IEND" || length > 0x7FFFFFFF) {
            break;
        }
        if ((kind == "tEXt" || kind == "iTXt") && length <= 16384) {
            const QByteArray body = copy_bytes(w, pos + 8, length);
            const int nul = body.indexOf('\0');
            if (nul > 0 && body.size() == static_cast<qsizetype>(length)) {
                const QByteArray key = body.left(nul);
                QString value;
                if (kind == "tEXt") {
                    value = QString::fromLatin1(body.mid(nul + 1));
                } else if (nul + 2 < body.size() && body[nul + 1] == 0) {
                    // flag, method, language\0, translated keyword\0, text
                    const int language_end = body.indexOf('\0', nul + 3);
                    const int translated_end =
                        language_end < 0 ? -1 : body.indexOf('\0', language_end + 1);
                    if (translated_end > 0) {
                        value = QString::fromUtf8(body.mid(translated_end + 1));
                    }
                }
                if (key == "Creation Time" || key == "date:create") {
                    std::int64_t at = iso_date(value);
                    if (at == 0) {
                        at = exif_date(value.toLatin1());
                    }
                    if (at == 0) {
                        const QDateTime rfc = QDateTime::fromString(value, Qt::RFC2822Date);
                        at = rfc.isValid() ? sane_date(rfc.toSecsSinceEpoch()) : 0;
                    }
                    // The standard keyword wins over ImageMagick's copy of the file's time.
                    if (at != 0 && (meta.created == 0 || key == "Creation Time")) {
                        meta.created = at;
                    }
                } else if (key == "date:modify") {
                    meta.modified = meta.modified ? meta.modified : iso_date(value);
                } else if (key == "Title" && meta.title.isEmpty()) {
                    meta.title = value.simplified();
                }
            }
        } else if (kind == "tIME" && length == 7) {
            if (const std::uint8_t* t = w.at(pos + 8, 7)) {
                const QDateTime at(QDate(sig::be16(t), t[2], t[3]), QTime(t[4], t[5], t[6]),
                                   Qt::UTC);
                meta.modified = at.isValid() ? sane_date(at.toSecsSinceEpoch()) : 0;
            }
        }
        pos += 12 + static_cast<std::uint64_t>(length);
    }
    if (meta.modified == 0) {
        meta.modified = meta.created;
    }
    return meta;
}

}  // namespace meta

file_meta_s read_file_meta(const QByteArray& type, sig::window_c& w) {
    file_meta_s meta;
    if (type == "jpg") {
        meta = meta::read_exif(w, false);
    } else if (type == "tif" || type == "cr2" || type == "nef" || type == "arw" || type == "dng" ||
               type == "pef" || type == "orf" || type == "rw2") {
        meta = meta::read_exif(w, true);
    } else if (type == "png") {
        meta = meta::read_png(w);
    } else if (type == "pdf") {
        meta = meta::read_pdf(w);
    } else if (type == "docx" || type == "xlsx" || type == "pptx" || type == "odt" ||
               type == "ods" || type == "odp" || type == "epub") {
        meta = meta::read_office(w);
    } else if (type == "svg" || type == "html" || type == "xml") {
        meta = meta::read_markup(w);
    } else if (type == "mp4" || type == "mov" || type == "m4a" || type == "3gp" || type == "cr3") {
        meta = meta::read_mp4(w);
    } else if (type == "mp3" || type == "flac" || type == "ogg" || type == "opus") {
        meta = meta::read_audio_tags(type, w);
    }
    if (meta.created == 0) {
        meta.created = meta.modified;
    }
    if (meta.modified == 0) {
        meta.modified = meta.created;
    }
    return meta;
}

QString clean_file_stem(const QString& title) {
    QString out;
    out.reserve(title.size());
    for (const QChar c : title) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || QStringView(u"/\\:*?\"<>|").contains(c) ||
            c.category() == QChar::Other_Format) {
            out += QLatin1Char(' ');
        } else {
            out += c;
        }
    }
    out = out.simplified();
    constexpr int longest = 80;
    if (out.size() > longest) {
        int cut = longest;
        if (out[cut - 1].isHighSurrogate()) {
            --cut;
        }
        out.truncate(cut);
    }
    while (!out.isEmpty() && out.front() == QLatin1Char('.')) {
        out.remove(0, 1);
    }
    while (!out.isEmpty() && (out.back() == QLatin1Char('.') || out.back() == QLatin1Char(' '))) {
        out.chop(1);
    }
    // Names Windows keeps for devices, in case the files go to a FAT or NTFS disk.
    static const QRegularExpression reserved(QStringLiteral("^(CON|PRN|AUX|NUL|COM\\d|LPT\\d)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    if (reserved.match(out).hasMatch()) {
        out += QLatin1Char('_');
    }
    return out;
}
