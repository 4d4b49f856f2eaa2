// Metadata of documents: the office formats' core.xml / meta.xml (found through the ZIP
// central directory, inflated with zlib, read with Qt's XML reader), the PDF Info dictionary
// (found through the trailer and the cross-reference table) and the title of web pages and
// SVG drawings.
#include "file_metadata.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace meta {

namespace {

constexpr std::size_t member_limit = 1024 * 1024;  // packed and unpacked
constexpr int directory_entry_limit = 65536;

// A ZIP member's bytes, inflated; empty when it is not stored or deflated, or too large.
QByteArray zip_member(sig::window_c& w, std::uint64_t local, std::uint32_t packed,
                      std::uint32_t unpacked, int method) {
    const std::uint8_t* h = w.at(local, 30);
    if (!h || sig::le32(h) != 0x04034b50 || packed > member_limit || unpacked > member_limit) {
        return {};
    }
    const std::uint64_t data = local + 30 + sig::le16(h + 26) + sig::le16(h + 28);
    const QByteArray raw = copy_bytes(w, data, packed);
    if (raw.size() != static_cast<qsizetype>(packed)) {
        return {};
    }
    if (method == 0) {
        return raw;
    }
    if (method != 8) {
        return {};
    }
    QByteArray out(static_cast<qsizetype>(unpacked), '\0');
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        return {};
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    const auto produced = static_cast<qsizetype>(z.total_out);
    inflateEnd(&z);
    if (result != Z_STREAM_END) {
        return {};
    }
    out.truncate(produced);
    return out;
}

// Dublin Core and ODF meta elements: title, created, modified.
file_meta_s parse_core_xml(const QByteArray& xml) {
    file_meta_s meta;
    QXmlStreamReader reader(xml);
    int elements = 0;
    while (!reader.atEnd() && ++elements < 4096) {
        if (reader.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const QStringView name = reader.name();
        const QStringView space = reader.namespaceUri();
        const bool dc = space == QLatin1String("http://purl.org/dc/elements/1.1/");
        const bool terms = space == QLatin1String("http://purl.org/dc/terms/");
        const bool odf =
            space.startsWith(QLatin1String("urn:oasis:names:tc:opendocument:xmlns:meta"));
        if (dc && name == QLatin1String("title") && meta.title.isEmpty()) {
            meta.title = reader.readElementText().left(512).simplified();
        } else if ((terms && name == QLatin1String("created")) ||
                   (odf && name == QLatin1String("creation-date"))) {
            meta.created = iso_date(reader.readElementText().left(64));
        } else if ((terms && name == QLatin1String("modified")) ||
                   (dc && name == QLatin1String("date"))) {
            meta.modified = iso_date(reader.readElementText().left(64));
        }
    }
    return meta;
}

// A PDF string object at p (literal or hexadecimal), decoded: UTF-16 with its byte order
// mark, UTF-8 with its mark, else PDFDocEncoding, which Latin-1 matches in its letters.
QString pdf_string(const QByteArray& text, qsizetype p) {
    while (p < text.size() && (text[p] == ' ' || text[p] == '\r' || text[p] == '\n')) {
        ++p;
    }
    QByteArray raw;
    if (p < text.size() && text[p] == '(') {
        int depth = 1;
        for (++p; p < text.size() && depth > 0 && raw.size() < 1024; ++p) {
            char c = text[p];
            if (c == '\\' && p + 1 < text.size()) {
                c = text[++p];
                if (c >= '0' && c <= '7') {
                    int value = 0;
                    for (int k = 0; k < 3 && p < text.size() && text[p] >= '0' && text[p] <= '7';
                         ++k, ++p) {
                        value = value * 8 + (text[p] - '0');
                    }
                    --p;
                    raw += static_cast<char>(value);
                    continue;
                }
                static const char* const from = "nrtbf";
                static const char* const to = "\n\r\t\b\f";
                const char* hit = c ? std::strchr(from, c) : nullptr;
                raw += hit ? to[hit - from] : c;
                continue;
            }
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            if (depth > 0) {
                raw += c;
            }
        }
    } else if (p + 1 < text.size() && text[p] == '<' && text[p + 1] != '<') {
        const qsizetype end = text.indexOf('>', p);
        if (end < 0) {
            return {};
        }
        raw = QByteArray::fromHex(text.mid(p + 1, end - p - 1).left(2048));
    } else {
        return {};
    }
    if (raw.startsWith("\xFE\xFF")) {
        QString out;
        for (qsizetype i = 2; i + 1 < raw.size(); i += 2) {
            out += QChar(static_cast<char16_t>(static_cast<std::uint8_t>(raw[i]) << 8 |
                                               static_cast<std::uint8_t>(raw[i + 1])));
        }
        return out;
    }
    if (raw.startsWith("\xEF\xBB\xBF")) {
        return QString::fromUtf8(raw.mid(3));
    }
    return QString::fromLatin1(raw);
}

// The value of /Key in a dictionary's text; empty when absent.
QString pdf_value(const QByteArray& dictionary, const char* key) {
    const QByteArray k = QByteArray("/") + key;
    qsizetype at = 0;
    while ((at = dictionary.indexOf(k, at)) >= 0) {
        const qsizetype after = at + k.size();
        if (after < dictionary.size() &&
            (std::isalnum(static_cast<unsigned char>(dictionary[after])))) {
            at = after;
            continue;  // "/TitleX", not "/Title"
        }
        return pdf_string(dictionary, after);
    }
    return {};
}

// The offset of object number n from a classic cross-reference table at xref; 0 when the
// table is not there or does not list it.
std::uint64_t xref_lookup(sig::window_c& w, std::uint64_t xref, std::uint64_t n) {
    const QByteArray head = copy_bytes(w, xref, 64);
    if (!head.startsWith("xref")) {
        return 0;
    }
    std::uint64_t pos = xref + 4;
    for (int sections = 0; sections < 1024; ++sections) {
        QByteArray line = copy_bytes(w, pos, 64);
        qsizetype skip = 0;
        while (skip < line.size() && std::isspace(static_cast<unsigned char>(line[skip]))) {
            ++skip;
        }
        line = line.mid(skip);
        static const QRegularExpression section(QStringLiteral("^(\\d{1,10}) (\\d{1,10})\\s"));
        const QRegularExpressionMatch m = section.match(QString::fromLatin1(line));
        if (!m.hasMatch()) {
            return 0;
        }
        const std::uint64_t first = m.captured(1).toULongLong();
        const std::uint64_t count = m.captured(2).toULongLong();
        pos += static_cast<std::uint64_t>(skip + m.capturedLength(0));
        // Entries are 20 bytes; the section header may end with "\r\n" or " \n".
        if (const QByteArray rest = copy_bytes(w, pos, 1); rest == "\n") {
            ++pos;
        }
        if (n >= first && n - first < count) {
            const QByteArray entry = copy_bytes(w, pos + (n - first) * 20, 20);
            if (entry.size() == 20 && entry[17] == 'n') {
                return entry.left(10).toULongLong();
            }
            return 0;
        }
        pos += count * 20;
    }
    return 0;
}

}  // namespace

// OOXML (docProps/core.xml), ODF (meta.xml) and EPUB (the package's .opf).
file_meta_s read_office(sig::window_c& w) {
    const std::uint64_t size = w.bound();
    const std::uint64_t tail_start = size > 65557 ? size - 65557 : 0;
    const QByteArray tail = copy_bytes(w, tail_start, static_cast<std::size_t>(size - tail_start));
    const qsizetype eocd = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (eocd < 0 || eocd + 22 > tail.size()) {
        return {};
    }
    const auto* e = reinterpret_cast<const std::uint8_t*>(tail.constData() + eocd);
    std::uint64_t pos = sig::le32(e + 16);
    const int entries = sig::le16(e + 10);
    for (int i = 0; i < entries && i < directory_entry_limit; ++i) {
        const std::uint8_t* c = w.at(pos, 46);
        if (!c || sig::le32(c) != 0x02014b50) {
            break;
        }
        const int name_length = sig::le16(c + 28);
        const QByteArray name = copy_bytes(w, pos + 46, static_cast<std::size_t>(name_length));
        if (name == "docProps/core.xml" || name == "meta.xml" || name.endsWith(".opf")) {
            return parse_core_xml(zip_member(w, sig::le32(c + 42), sig::le32(c + 20),
                                             sig::le32(c + 24), sig::le16(c + 10)));
        }
        pos += 46 + static_cast<std::uint64_t>(name_length) + sig::le16(c + 30) + sig::le16(c + 32);
    }
    return {};
}

// PDF: the Info dictionary that the last trailer names (/Title, /CreationDate, /ModDate).
file_meta_s read_pdf(sig::window_c& w) {
    const std::uint64_t size = w.bound();
    const std::uint64_t tail_start = size > 65536 ? size - 65536 : 0;
    const QByteArray tail = copy_bytes(w, tail_start, static_cast<std::size_t>(size - tail_start));
    static const QRegularExpression info(QStringLiteral("/Info\\s+(\\d{1,10})\\s+(\\d{1,5})\\s+R"));
    QRegularExpressionMatch m;
    const QString tail_text = QString::fromLatin1(tail);
    if (tail_text.lastIndexOf(info, -1, &m) < 0) {
        return {};
    }
    const std::uint64_t number = m.captured(1).toULongLong();
    const QByteArray header = m.captured(1).toLatin1() + ' ' + m.captured(2).toLatin1() + " obj";
    std::uint64_t object = 0;
    static const QRegularExpression start(QStringLiteral("startxref\\s+(\\d{1,15})"));
    QRegularExpressionMatch s;
    if (tail_text.lastIndexOf(start, -1, &s) >= 0) {
        object = xref_lookup(w, s.captured(1).toULongLong(), number);
    }
    QByteArray text = object ? copy_bytes(w, object, 16384) : QByteArray();
    if (!text.startsWith(header)) {
        // A cross-reference stream or wrong offsets: look for the object in the first 8 MiB.
        text.clear();
        constexpr std::uint64_t search_limit = 8 * 1024 * 1024;
        constexpr std::size_t block = 65536;
        for (std::uint64_t at = 0; at < std::min(size, search_limit); at += block - 64) {
            const QByteArray piece = copy_bytes(w, at, block);
            qsizetype hit = piece.indexOf(header);
            while (hit > 0 && piece[hit - 1] != '\n' && piece[hit - 1] != '\r') {
                hit = piece.indexOf(header, hit + 1);
            }
            if (hit >= 0) {
                text = copy_bytes(w, at + static_cast<std::uint64_t>(hit), 16384);
                break;
            }
            if (piece.size() < static_cast<qsizetype>(block)) {
                break;
            }
        }
    }
    const qsizetype end = text.indexOf("endobj");
    if (end < 0) {
        return {};
    }
    text.truncate(end);
    file_meta_s meta;
    meta.title = pdf_value(text, "Title").simplified();
    meta.created = pdf_date(pdf_value(text, "CreationDate").toLatin1());
    meta.modified = pdf_date(pdf_value(text, "ModDate").toLatin1());
    return meta;
}

// HTML and SVG: the first <title> element's text.
file_meta_s read_markup(sig::window_c& w) {
    const QString head = QString::fromUtf8(copy_bytes(w, 0, 65536));
    static const QRegularExpression title(
        QStringLiteral("<title(?:\\s[^>]{0,200})?>([^<]{1,300})</title"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = title.match(head);
    file_meta_s meta;
    if (m.hasMatch()) {
        QString text = m.captured(1);
        text.replace(QLatin1String("&lt;"), QLatin1String("<"))
            .replace(QLatin1String("&gt;"), QLatin1String(">"))
            .replace(QLatin1String("&quot;"), QLatin1String("\""))
            .replace(QLatin1String("&#39;"), QLatin1String("'"))
            .replace(QLatin1String("&amp;"), QLatin1String("&"));
        meta.title = text.simplified();
    }
    return meta;
}

}  // namespace meta
