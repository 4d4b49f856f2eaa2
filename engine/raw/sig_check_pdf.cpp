// The check of PDF files: the cross-reference table's offsets point at their objects, and
// startxref at the table (or at a cross-reference stream).
#include "sig_checks.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <zlib.h>

namespace sig {

namespace {

// ---- PDF: the cross-reference table's offsets point at their objects ----

bool digits_at(const std::uint8_t* p, int n) {
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
    }
    return true;
}

std::uint64_t number_at(const std::uint8_t* p, int n) {
    std::uint64_t value = 0;
    for (int i = 0; i < n; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(p[i] - '0');
    }
    return value;
}

// "N G obj" at pos (N the object number given; any number when any).
}  // namespace

bool object_at(window_c& w, std::uint64_t pos, std::uint64_t number, bool any) {
    std::size_t got = 0;
    const std::uint8_t* p = w.some(pos, 32, &got);
    if (!p || got < 7) {
        return false;
    }
    std::size_t i = 0;
    std::uint64_t n = 0;
    for (; i < got && p[i] >= '0' && p[i] <= '9' && i < 10; ++i) {
        n = n * 10 + static_cast<std::uint64_t>(p[i] - '0');
    }
    if (i == 0 || (n != number && !any) || i >= got || p[i] != ' ') {
        return false;
    }
    std::size_t j = i + 1;
    while (j < got && p[j] >= '0' && p[j] <= '9') {
        ++j;
    }
    return j > i + 1 && j + 4 <= got && std::memcmp(p + j, " obj", 4) == 0;
}

namespace {

bool pdf_space(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0;
}

// A decimal number at text[*i] (skipping white space first); false when there is none.
bool pdf_number(std::string_view text, std::size_t* i, std::uint64_t* value) {
    while (*i < text.size() && pdf_space(text[*i])) {
        ++*i;
    }
    std::size_t digits = 0;
    std::uint64_t v = 0;
    for (; *i < text.size() && text[*i] >= '0' && text[*i] <= '9' && digits < 15; ++*i, ++digits) {
        v = v * 10 + static_cast<std::uint64_t>(text[*i] - '0');
    }
    *value = v;
    return digits > 0;
}

// One cross-reference table at pos ("xref", subsections, "trailer" and its dictionary): its
// in-use entries go to objects (offset, number), the trailer's /Prev to *prev (0: none).
// False when it is not such a table or does not read to its trailer.
bool read_xref_table(window_c& w, std::uint64_t pos,
                     std::vector<std::pair<std::uint64_t, std::uint64_t>>* objects,
                     std::uint64_t* prev) {
    const std::uint8_t* x = w.at(pos, 4);
    if (!x || std::memcmp(x, "xref", 4) != 0) {
        return false;
    }
    pos += 4;
    std::size_t got = 0;
    for (int sections = 0; sections < 4096; ++sections) {
        const std::uint8_t* h = w.some(pos, 48, &got);
        if (!h) {
            return false;
        }
        std::size_t i = 0;
        while (i < got && (h[i] == '\r' || h[i] == '\n' || h[i] == ' ')) {
            ++i;
        }
        if (i + 7 <= got && std::memcmp(h + i, "trailer", 7) == 0) {
            // The trailer's dictionary, up to startxref: its /Prev, if any.
            const std::uint8_t* t = w.some(pos + i, 4096, &got);
            *prev = 0;
            if (t) {
                std::string_view dict(reinterpret_cast<const char*>(t), got);
                dict = dict.substr(0, dict.find("startxref"));
                const std::size_t at = dict.find("/Prev");
                std::size_t k = at + 5;
                std::uint64_t value = 0;
                if (at != std::string_view::npos && pdf_number(dict, &k, &value)) {
                    *prev = value;
                }
            }
            return true;
        }
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::size_t d = 0;
        for (; i < got && h[i] >= '0' && h[i] <= '9' && d < 10; ++i, ++d) {
            first = first * 10 + static_cast<std::uint64_t>(h[i] - '0');
        }
        if (d == 0 || i >= got || h[i] != ' ') {
            return false;
        }
        ++i;
        d = 0;
        for (; i < got && h[i] >= '0' && h[i] <= '9' && d < 10; ++i, ++d) {
            count = count * 10 + static_cast<std::uint64_t>(h[i] - '0');
        }
        while (i < got && (h[i] == ' ' || h[i] == '\r')) {
            ++i;
        }
        if (d == 0 || i >= got || h[i] != '\n' || count > 1000000) {
            return false;
        }
        pos += i + 1;
        for (std::uint64_t e = 0; e < count; ++e, pos += 20) {
            const std::uint8_t* entry = w.at(pos, 20);
            if (!entry || !digits_at(entry, 10) || !digits_at(entry + 11, 5)) {
                return false;
            }
            if (entry[17] == 'n' && objects->size() < 1000000) {
                objects->emplace_back(number_at(entry, 10), first + e);
            }
        }
    }
    return false;
}

enum stream_e { stream_none, stream_holds, stream_breaks, stream_unknown };

// A FlateDecode stream's n bytes at pos: a zlib stream (its Adler-32 checked) that ends
// exactly there, but for the line end some writers leave before "endstream".
bool inflates(window_c& w, std::uint64_t pos, std::uint64_t n) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return false;
    }
    std::vector<std::uint8_t> out(65536);
    std::uint64_t done = 0;
    int r = Z_OK;
    while (r != Z_STREAM_END && done < n) {
        std::size_t got = 0;
        const std::uint8_t* d = w.some(
            pos + done, static_cast<std::size_t>(std::min<std::uint64_t>(n - done, view_max_span)),
            &got);
        if (!d || got == 0) {
            break;
        }
        z.next_in = const_cast<Bytef*>(d);
        z.avail_in = static_cast<uInt>(got);
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            r = inflate(&z, Z_NO_FLUSH);
        } while (r == Z_OK && z.avail_in > 0);
        done += got - z.avail_in;
        if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && z.avail_in == 0)) {
            break;
        }
    }
    inflateEnd(&z);
    return r == Z_STREAM_END && n - done <= 2;
}

// The stream's filter from its dictionary: "FlateDecode", "DCTDecode", or empty for none;
// "?" for any other, or a chain of filters.
std::string_view stream_filter(std::string_view dict) {
    const std::size_t at = dict.find("/Filter");
    if (at == std::string_view::npos) {
        return {};
    }
    std::size_t k = at + 7;
    while (k < dict.size() && pdf_space(dict[k])) {
        ++k;
    }
    for (const std::string_view name :
         {std::string_view("/FlateDecode"), std::string_view("/DCTDecode")}) {
        if (dict.substr(k, name.size()) == name) {
            const std::size_t after = k + name.size();
            if (after < dict.size() && ((dict[after] >= 'A' && dict[after] <= 'Z') ||
                                        (dict[after] >= 'a' && dict[after] <= 'z'))) {
                break;
            }
            return name.substr(1);
        }
    }
    return "?";
}

// The object at offset: when it holds a stream, its /Length (direct, or an indirect number
// looked up in where) must end at "endstream". stream_unknown when the object's dictionary is
// too large to read or its length cannot be found.
stream_e object_stream(window_c& w, std::uint64_t offset,
                       const std::unordered_map<std::uint64_t, std::uint64_t>& where) {
    std::size_t got = 0;
    const std::uint8_t* p = w.some(offset, view_max_span, &got);
    if (!p) {
        return stream_breaks;
    }
    const std::string_view text(reinterpret_cast<const char*>(p), got);
    const std::size_t ends = text.find("endobj");
    const std::size_t stream = text.find("stream");
    if (stream == std::string_view::npos || (ends != std::string_view::npos && ends < stream)) {
        return ends == std::string_view::npos ? stream_unknown : stream_none;
    }
    const std::string_view dict = text.substr(0, stream);
    std::size_t at = 0;
    std::uint64_t length = 0;
    for (;;) {
        at = dict.find("/Length", at);
        if (at == std::string_view::npos) {
            return stream_unknown;
        }
        at += 7;
        std::size_t k = at;
        if (k < dict.size() && (pdf_space(dict[k]) || (dict[k] >= '0' && dict[k] <= '9')) &&
            pdf_number(dict, &k, &length)) {
            // "N G R": an indirect length, the number in object N.
            std::size_t r = k;
            std::uint64_t generation = 0;
            if (pdf_number(dict, &r, &generation)) {
                while (r < dict.size() && pdf_space(dict[r])) {
                    ++r;
                }
                if (r < dict.size() && dict[r] == 'R') {
                    const auto found = where.find(length);
                    if (found == where.end()) {
                        return stream_unknown;
                    }
                    const std::uint8_t* o = w.some(found->second, 64, &got);
                    if (!o) {
                        return stream_breaks;
                    }
                    const std::string_view number(reinterpret_cast<const char*>(o), got);
                    const std::size_t obj = number.find("obj");
                    std::size_t n = obj + 3;
                    if (obj == std::string_view::npos || !pdf_number(number, &n, &length)) {
                        return stream_unknown;
                    }
                }
            }
            break;
        }
    }
    std::uint64_t data = offset + stream + 6;
    const std::uint8_t* eol = w.at(data, 2);
    if (!eol) {
        return stream_breaks;
    }
    data += eol[0] == '\r' && eol[1] == '\n' ? 2 : (eol[0] == '\n' || eol[0] == '\r') ? 1 : 0;
    std::uint64_t end = data + length;
    const std::uint8_t* tail = end >= data ? w.at(end, 11) : nullptr;
    if (!tail) {
        return stream_breaks;
    }
    std::size_t skip = 0;
    while (skip < 2 && pdf_space(static_cast<char>(tail[skip]))) {
        ++skip;
    }
    if (std::memcmp(tail + skip, "endstream", 9) != 0) {
        return stream_breaks;
    }
    // The stream's bytes themselves: decoded where the filter allows, so that a joint inside
    // a stream is checked too.
    const std::string_view filter = stream_filter(dict);
    if (filter == "FlateDecode") {
        return inflates(w, data, length) ? stream_holds : stream_breaks;
    }
    if (filter == "DCTDecode") {
        window_c picture(w, data, length);
        std::uint64_t where = 0;
        return length > 0 && jpeg_decodes(picture, length, &where) ? stream_holds : stream_breaks;
    }
    // Not compressed (metadata, fonts): its length and "endstream" are what can be checked.
    return filter.empty() ? stream_holds : stream_unknown;
}

}  // namespace

// Every cross-reference table of the file, from startxref back through each update's /Prev:
// each object they name must begin with "N G obj" at its offset, and each stream's /Length
// must end at its "endstream", and each stream compressed with FlateDecode must inflate to its
// end (a DCTDecode picture decode to its end). Whole when all of that was checked; a file
// whose references are a compressed cross-reference stream is checked only where startxref
// points.
soundness_s check_pdf(window_c& w, std::uint64_t size) {
    soundness_s s;
    if (size == 0) {
        return s;
    }
    // startxref in the file's last kilobyte.
    const std::uint64_t tail = size > 1024 ? size - 1024 : 0;
    std::size_t got = 0;
    const std::uint8_t* t = w.some(tail, static_cast<std::size_t>(size - tail), &got);
    if (!t) {
        return s;
    }
    const std::string_view text(reinterpret_cast<const char*>(t), got);
    const std::size_t at = text.rfind("startxref");
    if (at == std::string_view::npos) {
        return s;
    }
    std::size_t k = at + 9;
    std::uint64_t xref = 0;
    if (!pdf_number(text, &k, &xref) || xref >= size) {
        s.break_low = 0;
        s.break_high = size;
        return s;
    }
    const std::uint8_t* x = w.at(xref, 4);
    if (!x || std::memcmp(x, "xref", 4) != 0) {
        // A cross-reference stream: its entries are compressed; the stream itself must be an
        // object where startxref says, which checks little.
        const std::uint8_t* o = w.at(xref, 1);
        s.sound = o && *o >= '0' && *o <= '9';
        if (!s.sound) {
            s.break_low = 0;
            s.break_high = xref + 4;
            s.probe = soundness_s::probe_pdf_xref;
            s.probe_at = xref;
        }
        s.size = size;
        s.type = "pdf";
        return s;
    }
    // The tables, newest first. The first object (by offset) that is not where its entry
    // says marks the break, which lies after the last object before it that is.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> objects;  // offset, number
    std::vector<std::uint64_t> tables{xref};
    bool tables_read = true;
    for (std::uint64_t table = xref; tables.size() <= 256;) {
        std::uint64_t prev = 0;
        if (!read_xref_table(w, table, &objects, &prev)) {
            tables_read = false;
            break;
        }
        if (prev == 0 || prev >= size ||
            std::find(tables.begin(), tables.end(), prev) != tables.end()) {
            // No update before it; a /Prev that is not a table is judged below.
            tables_read = prev == 0;
            break;
        }
        tables.push_back(prev);
        table = prev;
        tables_read = tables.size() <= 256;
    }
    std::unordered_map<std::uint64_t, std::uint64_t> where;  // number -> newest offset
    for (const auto& [offset, number] : objects) {
        where.emplace(number, offset);
    }
    std::sort(objects.begin(), objects.end());
    objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
    std::uint64_t good = 0;
    bool streams_whole = true;
    for (const auto& [offset, number] : objects) {
        const stream_e stream = offset < size && object_at(w, offset, number)
                                    ? object_stream(w, offset, where)
                                    : stream_breaks;
        if (stream == stream_breaks) {
            s.break_low = good;
            s.break_high = std::min(size, offset + 32);
            s.probe = soundness_s::probe_pdf_object;
            s.probe_at = offset;
            s.probe_number = number;
            return s;
        }
        streams_whole = streams_whole && stream != stream_unknown;
        good = offset;
    }
    if (!tables_read) {
        // A table itself is broken: the joint lies before it.
        s.break_low = good;
        s.break_high = std::min(size, tables.back() + 32);
        return s;
    }
    s.sound = true;
    s.whole = streams_whole && !objects.empty();
    s.size = size;
    s.type = "pdf";
    return s;
}

}  // namespace sig
