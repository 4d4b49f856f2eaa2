// Markup: XML, SVG and HTML. Text formats have no length field, so the end is found by the
// structure: XML and SVG end where the root element closes (tags walked and matched by
// name, then the whole document checked by Qt's XML reader), HTML at its closing </html>.
// Every byte up to there must be text (UTF-8 without control characters), which random and
// binary data never is for long.
#include "sig_cursor.h"
#include "sig_format.h"

#include <QByteArray>
#include <QXmlStreamReader>

#include <cstring>
#include <vector>

namespace sig {
namespace {

// UTF-8 text without control characters other than tab, line feed and carriage return.
class text_check_c {
  public:
    bool take(int c) {
        if (pending_ > 0) {
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            --pending_;
            return true;
        }
        if (c < 0x80) {
            return c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
        }
        if (c >= 0xC2 && c <= 0xDF) {
            pending_ = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            pending_ = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            pending_ = 3;
        } else {
            return false;
        }
        return true;
    }

  private:
    int pending_ = 0;
};

bool name_char(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '-' || c == '.' || c >= 0x80;
}

// After the last '>' at end: one line ending, as editors and programs write it.
std::uint64_t with_line_end(cursor_c& c, std::uint64_t end) {
    if (c.at(end) == '\r') {
        ++end;
    }
    if (c.at(end) == '\n') {
        ++end;
    }
    return end;
}

constexpr std::size_t depth_limit = 512;
constexpr std::size_t name_limit = 128;

// The end of an XML document whose root element closes; 0 when the structure breaks.
// *root receives the root element's name.
std::uint64_t xml_end(window_c& w, QByteArray* root) {
    cursor_c c(w);
    text_check_c text;
    std::vector<QByteArray> open;
    std::uint64_t pos = c.match(0, "\xEF\xBB\xBF") ? 3 : 0;
    bool seen_root = false;
    for (;;) {
        const int b = c.at(pos);
        if (b < 0 || !text.take(b)) {
            return 0;
        }
        if (b != '<') {
            if (!seen_root && b != ' ' && b != '\t' && b != '\r' && b != '\n') {
                return 0;  // text before the root element
            }
            ++pos;
            continue;
        }
        // Markup that is not an element: skipped to its end, its bytes checked as text.
        const char* close = nullptr;
        std::uint64_t skip = 0;
        if (c.match(pos, "<?")) {
            close = "?>", skip = 2;
        } else if (c.match(pos, "<!--")) {
            close = "-->", skip = 4;
        } else if (c.match(pos, "<![CDATA[")) {
            close = "]]>", skip = 9;
            if (open.empty()) {
                return 0;
            }
        }
        if (close) {
            pos += skip;
            while (!c.match(pos, close)) {
                const int x = c.at(pos);
                if (x < 0 || !text.take(x)) {
                    return 0;
                }
                ++pos;
            }
            pos += std::strlen(close);
            continue;
        }
        if (c.match(pos, "<!")) {
            // A document type declaration, with its internal subset in brackets.
            if (seen_root) {
                return 0;
            }
            int brackets = 0;
            char quote = 0;
            for (pos += 2;; ++pos) {
                const int x = c.at(pos);
                if (x < 0 || !text.take(x)) {
                    return 0;
                }
                if (quote) {
                    quote = x == quote ? 0 : quote;
                } else if (x == '"' || x == '\'') {
                    quote = static_cast<char>(x);
                } else if (x == '[') {
                    ++brackets;
                } else if (x == ']') {
                    --brackets;
                } else if (x == '>' && brackets <= 0) {
                    break;
                }
            }
            ++pos;
            continue;
        }
        // An element's start or end tag.
        ++pos;
        const bool closing = c.at(pos) == '/';
        pos += closing ? 1 : 0;
        QByteArray name;
        for (int x = c.at(pos); name_char(x); x = c.at(++pos)) {
            if (name.size() >= static_cast<qsizetype>(name_limit)) {
                return 0;
            }
            name += static_cast<char>(x);
            text.take(x);
        }
        if (name.isEmpty()) {
            return 0;
        }
        char quote = 0;
        bool empty_element = false;
        for (;; ++pos) {
            const int x = c.at(pos);
            if (x < 0 || !text.take(x) || (!quote && x == '<')) {
                return 0;
            }
            if (quote) {
                quote = x == quote ? 0 : quote;
            } else if (x == '"' || x == '\'') {
                quote = static_cast<char>(x);
            } else if (x == '>') {
                empty_element = c.at(pos - 1) == '/';
                break;
            }
        }
        ++pos;
        if (closing) {
            if (open.empty() || open.back() != name) {
                return 0;
            }
            open.pop_back();
        } else if (!empty_element) {
            if (seen_root && open.empty()) {
                return 0;  // a second root
            }
            if (open.size() >= depth_limit) {
                return 0;
            }
            open.push_back(name);
        }
        if (!seen_root) {
            *root = name;
            seen_root = true;
        }
        if (open.empty()) {
            return with_line_end(c, pos);
        }
    }
}

// The end of an HTML document: its first </html> tag; every byte before it text.
std::uint64_t html_end(window_c& w) {
    cursor_c c(w);
    text_check_c text;
    for (std::uint64_t pos = 0;; ++pos) {
        const int b = c.at(pos);
        if (b < 0 || !text.take(b)) {
            return 0;
        }
        if (b == '<' && c.match(pos, "</html", true)) {
            pos += 6;
            while (c.at(pos) == ' ' || c.at(pos) == '\t' || c.at(pos) == '\r' ||
                   c.at(pos) == '\n') {
                ++pos;
            }
            return c.at(pos) == '>' ? with_line_end(c, pos + 1) : 0;
        }
    }
}

// Qt's reader agrees that the bytes are one well-formed document (checked up to 8 MiB;
// larger documents rest on the tag walk alone).
bool well_formed(window_c& w, std::uint64_t size) {
    constexpr std::uint64_t check_limit = 8 * 1024 * 1024;
    if (size > check_limit) {
        return true;
    }
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(size));
    for (std::uint64_t pos = 0; pos < size;) {
        std::size_t got = 0;
        const std::uint8_t* p = w.some(
            pos, static_cast<std::size_t>(std::min<std::uint64_t>(size - pos, view_max_span)),
            &got);
        if (!p || got == 0) {
            return false;
        }
        bytes.append(reinterpret_cast<const char*>(p), static_cast<qsizetype>(got));
        pos += got;
    }
    QXmlStreamReader reader(bytes);
    while (!reader.atEnd()) {
        reader.readNext();
    }
    return !reader.hasError();
}

}  // namespace

// XML (with its <?xml declaration), SVG (by its root element, declared or not) and HTML
// (a doctype or an <html> root; XHTML written as XML counts as html too).
found_s measure_markup(window_c& w) {
    cursor_c c(w);
    const std::uint64_t start = c.match(0, "\xEF\xBB\xBF") ? 3 : 0;
    const bool declared = c.match(start, "<?xml ");
    const bool html = c.match(start, "<!doctype html", true) || c.match(start, "<html", true);
    if (html) {
        const std::uint64_t end = html_end(w);
        return end ? found_s{end, "html"} : found_s{};
    }
    if (!declared && !c.match(start, "<svg") && !c.match(start, "<!DOCTYPE svg")) {
        return {};
    }
    QByteArray root;
    const std::uint64_t end = xml_end(w, &root);
    if (end == 0 || !well_formed(w, end)) {
        return {};
    }
    const QByteArray local = root.mid(root.indexOf(':') + 1);
    if (local == "svg") {
        return {end, "svg"};
    }
    if (local == "html") {
        return {end, "html"};
    }
    return declared ? found_s{end, "xml"} : found_s{};
}

}  // namespace sig
