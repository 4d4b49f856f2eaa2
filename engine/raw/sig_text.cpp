// Plain text and RTF. Text has no magic bytes: it is tried at a sector that no other format
// claims, and only when the sector's first bytes are text. A text file runs for as long as
// every byte is a character of text (UTF-8, or Latin-1 and its Windows superset once a byte
// is not UTF-8; UTF-16 after its byte-order mark) and ends where the text ends: at the first
// NUL (the zeros after a file's end in its last cluster), at a known signature at a sector
// boundary (the next file), or at bytes that are not text (then at the line end just before
// them, else at their sector's start). At least 512 bytes of it make a file. Its kind comes
// from rules on its content: JSON that parses, CSV whose records have one field count, an
// e-mail's header block, an mbox "From " line.
#include "sig_cursor.h"
#include "sig_format.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cctype>
#include <cstring>
#include <vector>

namespace sig {
namespace {

constexpr std::uint64_t min_text = 512;
constexpr std::uint64_t classify_limit = 16ull << 20;  // the content rules read this much

// 1: ASCII text (printable, tab, line feed, form feed, carriage return, escape); 2: a byte
// above 0x7F; 0: anything else.
constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> t{};
    for (int b = 0x20; b < 0x7F; ++b) {
        t[b] = 1;
    }
    t['\t'] = t['\n'] = t['\f'] = t['\r'] = t[0x1B] = 1;
    for (int b = 0x80; b < 0x100; ++b) {
        t[b] = 2;
    }
    return t;
}();

// Windows-1252 leaves these five undefined; Latin-1's other C1 controls are its letters.
bool latin_byte(int b) {
    return b >= 0xA0 ||
           (b >= 0x80 && b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D);
}

// A format with a signature of at least four bytes at the start of the sector at pos: the
// text before it has ended.
bool signature_at(cursor_c& c, std::uint64_t pos) {
    std::uint8_t head[8];
    for (int i = 0; i < 8; ++i) {
        const int b = c.at(pos + i);
        if (b < 0) {
            return false;
        }
        head[i] = static_cast<std::uint8_t>(b);
    }
    for (const format_s& f : formats()) {
        if (f.magic_offset == 0 && f.magic_length >= 4 &&
            std::memcmp(head, f.magic, f.magic_length) == 0) {
            return true;
        }
    }
    return false;
}

// Where text that stops being text at bad ends: the line end just before it in the same
// sector, else that sector's start.
std::uint64_t text_end_before(std::uint64_t bad, std::uint64_t last_line_end, bool* clean) {
    *clean = false;
    const std::uint64_t sector = bad / 512 * 512;
    return last_line_end > sector ? last_line_end : sector;
}

// UTF-16 after its byte-order mark (big_endian: FE FF).
std::uint64_t utf16_end(cursor_c& c, std::uint64_t bound, bool big_endian, bool* clean) {
    std::uint64_t pos = 2;
    std::uint64_t last_line_end = 0;
    for (; pos + 2 <= bound; pos += 2) {
        if (pos % 512 == 0 && signature_at(c, pos)) {
            return pos;
        }
        const int a = c.at(pos);
        const int b = c.at(pos + 1);
        if (a < 0 || b < 0) {
            return pos;
        }
        const int unit = big_endian ? a << 8 | b : b << 8 | a;
        if (unit == 0) {
            return pos;
        }
        bool text = (unit >= 0x20 && unit < 0x7F) || unit == '\t' || unit == '\n' || unit == '\r' ||
                    unit == '\f' || (unit >= 0xA0 && unit < 0xD800) ||
                    (unit >= 0xE000 && unit < 0xFFFE);
        if (unit >= 0xD800 && unit < 0xDC00 && pos + 4 <= bound) {
            const int x = c.at(pos + 2);
            const int y = c.at(pos + 3);
            const int low = x < 0 || y < 0 ? 0 : (big_endian ? x << 8 | y : y << 8 | x);
            if (low >= 0xDC00 && low < 0xE000) {
                pos += 2;
                text = true;
            }
        }
        if (!text) {
            return text_end_before(pos, last_line_end, clean);
        }
        if (unit == '\n') {
            last_line_end = pos + 2;
        }
    }
    return pos;
}

// UTF-8, or Latin-1 / Windows-1252 from the first byte that is not UTF-8 on. *ascii and
// *high count the bytes of each kind; *latin is set when the text is not UTF-8.
std::uint64_t utf8_end(cursor_c& c, std::uint64_t start, std::uint64_t bound, bool* latin,
                       std::uint64_t* high, bool* clean) {
    std::uint64_t pos = start;
    std::uint64_t last_line_end = 0;
    int pending = 0;  // continuation bytes still due
    std::uint64_t sequence = 0;
    for (; pos < bound; ++pos) {
        if (pos % 512 == 0 && pos > 0 && pending == 0 && signature_at(c, pos)) {
            return pos;
        }
        const int b = c.at(pos);
        if (b < 0) {
            break;
        }
        const std::uint8_t kind = byte_classes[b];
        if (kind == 1) {
            if (pending > 0) {  // a sequence cut short: not UTF-8 after all
                *latin = true;
                pending = 0;
            }
            if (b == '\n') {
                last_line_end = pos + 1;
            }
            continue;
        }
        if (kind == 0) {
            if (b == 0) {
                return pending > 0 ? sequence : pos;
            }
            return text_end_before(pending > 0 ? sequence : pos, last_line_end, clean);
        }
        ++*high;
        if (pending > 0) {
            if ((b & 0xC0) == 0x80) {
                --pending;
                continue;
            }
            *latin = true;
            pending = 0;
        }
        if (!*latin) {
            sequence = pos;
            if (b >= 0xC2 && b <= 0xDF) {
                pending = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                pending = 2;
            } else if (b >= 0xF0 && b <= 0xF4) {
                pending = 3;
            } else {
                *latin = true;
            }
            if (!*latin) {
                continue;
            }
        }
        if (!latin_byte(b)) {
            return text_end_before(pos, last_line_end, clean);
        }
    }
    return pending > 0 ? sequence : pos;
}

// The bytes [0, size) of the window, at most limit of them.
QByteArray read_text(window_c& w, std::uint64_t size, std::uint64_t limit) {
    QByteArray bytes;
    const std::uint64_t n = std::min(size, limit);
    bytes.reserve(static_cast<qsizetype>(n));
    for (std::uint64_t pos = 0; pos < n;) {
        std::size_t got = 0;
        const std::uint8_t* p = w.some(
            pos, static_cast<std::size_t>(std::min<std::uint64_t>(n - pos, view_max_span)), &got);
        if (!p || got == 0) {
            break;
        }
        bytes.append(reinterpret_cast<const char*>(p), static_cast<qsizetype>(got));
        pos += got;
    }
    return bytes;
}

// A JSON text (RFC 8259): one value, white space around it.
class json_c {
  public:
    explicit json_c(const QByteArray& t) : t_(t) {}
    bool whole() {
        space();
        if (pos_ >= t_.size() || (t_[pos_] != '{' && t_[pos_] != '[')) {
            return false;
        }
        if (!value(0)) {
            return false;
        }
        space();
        return pos_ == t_.size();
    }

  private:
    void space() {
        while (pos_ < t_.size() &&
               (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool literal(const char* word) {
        const qsizetype n = static_cast<qsizetype>(std::strlen(word));
        if (t_.mid(pos_, n) != word) {
            return false;
        }
        pos_ += n;
        return true;
    }
    bool string() {
        ++pos_;  // the opening quote
        while (pos_ < t_.size()) {
            const char ch = t_[pos_++];
            if (ch == '"') {
                return true;
            }
            if (static_cast<unsigned char>(ch) < 0x20) {
                return false;
            }
            if (ch == '\\') {
                if (pos_ >= t_.size() || !std::strchr("\"\\/bfnrtu", t_[pos_])) {
                    return false;
                }
                ++pos_;
            }
        }
        return false;
    }
    bool number() {
        const qsizetype from = pos_;
        if (pos_ < t_.size() && t_[pos_] == '-') {
            ++pos_;
        }
        while (pos_ < t_.size() &&
               (std::isdigit(static_cast<unsigned char>(t_[pos_])) || t_[pos_] == '.' ||
                t_[pos_] == 'e' || t_[pos_] == 'E' || t_[pos_] == '+' || t_[pos_] == '-')) {
            ++pos_;
        }
        return pos_ > from && std::isdigit(static_cast<unsigned char>(t_[pos_ - 1]));
    }
    bool value(int depth) {
        if (depth > 512) {
            return false;
        }
        space();
        if (pos_ >= t_.size()) {
            return false;
        }
        const char ch = t_[pos_];
        if (ch == '"') {
            return string();
        }
        if (ch == '{' || ch == '[') {
            const char close = ch == '{' ? '}' : ']';
            ++pos_;
            space();
            if (pos_ < t_.size() && t_[pos_] == close) {
                ++pos_;
                return true;
            }
            for (;;) {
                if (ch == '{') {
                    space();
                    if (pos_ >= t_.size() || t_[pos_] != '"' || !string()) {
                        return false;
                    }
                    space();
                    if (pos_ >= t_.size() || t_[pos_++] != ':') {
                        return false;
                    }
                }
                if (!value(depth + 1)) {
                    return false;
                }
                space();
                if (pos_ >= t_.size()) {
                    return false;
                }
                const char next = t_[pos_++];
                if (next == close) {
                    return true;
                }
                if (next != ',') {
                    return false;
                }
            }
        }
        if (ch == 't') {
            return literal("true");
        }
        if (ch == 'f') {
            return literal("false");
        }
        if (ch == 'n') {
            return literal("null");
        }
        return number();
    }

    const QByteArray& t_;
    qsizetype pos_ = 0;
};

// Records of delimiter-separated values, quoted fields allowed to hold delimiters and line
// ends: at least three records, each with the same number (at least two) of fields, and no
// unquoted field a sentence of eight words or more, nor most delimiters followed by a space.
bool csv_text(const QByteArray& t) {
    const qsizetype first_line = t.indexOf('\n');
    if (first_line <= 0) {
        return false;
    }
    const QByteArray head = t.left(first_line);
    char delimiter = 0;
    qsizetype most = 0;
    for (const char d : {',', ';', '\t'}) {
        if (head.count(d) > most) {
            most = head.count(d);
            delimiter = d;
        }
    }
    if (delimiter == 0) {
        return false;
    }
    qsizetype fields = 1;
    qsizetype expected = -1;
    qsizetype records = 0;
    bool quoted = false;
    bool field_start = true;
    int words = 0;         // in the unquoted field so far
    qsizetype spaced = 0;  // delimiters followed by a space, as commas in prose are
    for (qsizetype i = 0; i < t.size(); ++i) {
        const char ch = t[i];
        if (quoted) {
            if (ch == '"') {
                if (i + 1 < t.size() && t[i + 1] == '"') {
                    ++i;
                } else {
                    quoted = false;
                }
            }
            continue;
        }
        if (ch == '"' && field_start) {
            quoted = true;
            field_start = false;
        } else if (ch == delimiter) {
            ++fields;
            field_start = true;
            words = 0;
            spaced += i + 1 < t.size() && t[i + 1] == ' ' ? 1 : 0;
        } else if (ch == ' ' && i > 0 && t[i - 1] != ' ' && ++words >= 8) {
            return false;  // a sentence, not a value: prose with commas
        } else if (ch == '\n') {
            words = 0;
            const bool blank_last = fields == 1 && i + 1 == t.size();
            if (!blank_last) {
                if (expected < 0) {
                    expected = fields;
                } else if (fields != expected) {
                    return false;
                }
                ++records;
            }
            fields = 1;
            field_start = true;
        } else if (ch != '\r') {
            field_start = false;
        }
    }
    if (quoted) {
        return false;
    }
    if (fields > 1 || !field_start) {  // a last record without its line end
        if (fields != expected) {
            return false;
        }
        ++records;
    }
    return records >= 3 && expected >= 2 && spaced * 2 <= records * (expected - 1);
}

// An RFC 5322 header block from from: fields ("Name: value", folded lines starting with
// white space) up to an empty line, naming its sender and a date, subject or message id.
bool mail_headers(const QByteArray& t, qsizetype from) {
    int fields = 0;
    bool sender = false;
    bool other = false;
    for (qsizetype pos = from; pos < t.size();) {
        qsizetype end = t.indexOf('\n', pos);
        if (end < 0 || end - pos > 998) {
            return false;
        }
        QByteArray line = t.mid(pos, end - pos);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        pos = end + 1;
        if (line.isEmpty()) {
            return fields >= 3 && sender && other;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (fields == 0) {
                return false;
            }
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            return false;
        }
        for (qsizetype i = 0; i < colon; ++i) {
            const auto ch = static_cast<unsigned char>(line[i]);
            if (ch <= 0x20 || ch >= 0x7F) {
                return false;
            }
        }
        const QByteArray name = line.left(colon).toLower();
        ++fields;
        sender = sender || name == "from";
        other = other || name == "date" || name == "subject" || name == "message-id" ||
                name == "received" || name == "to";
    }
    return false;
}

const char* text_kind(window_c& w, std::uint64_t start, std::uint64_t size) {
    const QByteArray t = read_text(w, size, classify_limit).mid(static_cast<qsizetype>(start));
    if (t.startsWith("From ")) {
        const qsizetype line = t.indexOf('\n');
        if (line > 5 && mail_headers(t, line + 1)) {
            return "mbox";
        }
    }
    if (mail_headers(t, 0)) {
        return "eml";
    }
    if (size <= classify_limit) {
        if (json_c(t).whole()) {
            return "json";
        }
        if (csv_text(t)) {
            return "csv";
        }
    }
    return "txt";
}

}  // namespace

bool text_byte(std::uint8_t b) {
    return byte_classes[b] == 1;
}

bool text_may_begin(const std::uint8_t* s) {
    if ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF)) {
        return true;
    }
    // Sixteen characters of text: UTF-8 (a sequence may run past them), else mostly ASCII.
    // Random data passes one time in several hundred; compressed data is random. Counted
    // without branches first: most sectors fail, and at random places.
    int bad = 0;
    int high = 0;
    for (int i = 0; i < 16; ++i) {
        bad |= byte_classes[s[i]] == 0;
        high += s[i] >> 7;
    }
    if (bad) {
        return false;
    }
    if (high <= 4) {
        return true;
    }
    int pending = 0;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t b = s[i];
        if (b < 0x80) {
            if (pending != 0) {
                return false;
            }
        } else if (pending > 0) {
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            --pending;
        } else {
            pending = b >= 0xC2 && b <= 0xDF   ? 1
                      : b >= 0xE0 && b <= 0xEF ? 2
                      : b >= 0xF0 && b <= 0xF4 ? 3
                                               : -1;
            if (pending < 0) {
                return false;
            }
        }
    }
    return true;
}

found_s measure_text(window_c& w) {
    cursor_c c(w);
    const std::uint64_t bound = w.bound();
    const int b0 = c.at(0);
    const int b1 = c.at(1);
    if (b0 < 0 || b1 < 0) {
        return {};
    }
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
        bool clean = true;
        const std::uint64_t end = utf16_end(c, bound, b0 == 0xFE, &clean);
        return end >= min_text ? found_s{end, "txt", clean} : found_s{};
    }
    const std::uint64_t start = c.match(0, "\xEF\xBB\xBF") ? 3 : 0;
    bool latin = false;
    std::uint64_t high = 0;
    bool clean = true;
    const std::uint64_t end = utf8_end(c, start, bound, &latin, &high, &clean);
    // Latin-1 text is mostly ASCII; binary data with a long run of high bytes is not text.
    if (end < min_text || (latin && high * 4 > end)) {
        return {};
    }
    return {end, text_kind(w, start, end), clean};
}

// RTF: "{\rtf" and a version, groups in braces, control words with "\bin N" followed by N
// raw bytes; the file ends at the brace that closes the first, with the line ends after it.
found_s measure_rtf(window_c& w) {
    cursor_c c(w);
    if (!c.match(0, "{\\rtf")) {
        return {};
    }
    const int version = c.at(5);
    if (version < '0' || version > '9') {
        return {};
    }
    std::uint64_t depth = 0;
    for (std::uint64_t pos = 0;;) {
        const int b = c.at(pos);
        if (b < 0 || (byte_classes[b] == 0)) {
            return {};
        }
        if (b == '{') {
            ++depth;
            ++pos;
            continue;
        }
        if (b == '}') {
            ++pos;
            if (--depth == 0) {
                for (int i = 0; i < 2 && (c.at(pos) == '\r' || c.at(pos) == '\n'); ++i) {
                    ++pos;
                }
                return {pos, "rtf", true};
            }
            continue;
        }
        if (b != '\\') {
            ++pos;
            continue;
        }
        // A control word: letters, an optional signed number, an optional space.
        ++pos;
        int letters = 0;
        char word[4] = {};
        for (int x = c.at(pos); (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z'); x = c.at(++pos)) {
            if (++letters > 32) {
                return {};
            }
            if (letters <= 3) {
                word[letters - 1] = static_cast<char>(x);
            }
        }
        if (letters == 0) {
            const int x = c.at(pos);  // a control symbol: \{ \} \\ \' ...
            if (x < 0 || byte_classes[x] == 0) {
                return {};
            }
            ++pos;
            continue;
        }
        bool negative = c.at(pos) == '-';
        pos += negative ? 1 : 0;
        std::uint64_t number = 0;
        int digits = 0;
        for (int x = c.at(pos); x >= '0' && x <= '9'; x = c.at(++pos)) {
            if (++digits > 10) {
                return {};
            }
            number = number * 10 + static_cast<std::uint64_t>(x - '0');
        }
        if (c.at(pos) == ' ') {
            ++pos;
        }
        if (letters == 3 && std::memcmp(word, "bin", 3) == 0 && !negative) {
            if (number > w.bound() || pos + number > w.bound()) {
                return {};
            }
            pos += number;  // raw bytes, not text
        }
    }
}

}  // namespace sig
