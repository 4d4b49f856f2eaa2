// The check of PDF files: the cross-reference table's offsets point at their objects, and
// startxref at the table (or at a cross-reference stream).
#include "sig_checks.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

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
    while (k < text.size() && (text[k] == '\r' || text[k] == '\n' || text[k] == ' ')) {
        ++k;
    }
    std::uint64_t xref = 0;
    std::size_t digits = 0;
    for (; k < text.size() && text[k] >= '0' && text[k] <= '9' && digits < 15; ++k, ++digits) {
        xref = xref * 10 + static_cast<std::uint64_t>(text[k] - '0');
    }
    if (digits == 0 || xref >= size) {
        s.break_low = 0;
        s.break_high = size;
        return s;
    }
    const std::uint8_t* x = w.at(xref, 4);
    if (!x || std::memcmp(x, "xref", 4) != 0) {
        // A cross-reference stream: its entries are compressed; the stream itself must be an
        // object where startxref says.
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
    // Subsections: "first count" lines, then 20-byte entries "oooooooooo ggggg n". The
    // first object (by offset) that is not where its entry says marks the break, which lies
    // after the last object before it that is.
    std::uint64_t pos = xref + 4;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> objects;  // offset, number
    const auto judge = [&](soundness_s* out) {
        std::sort(objects.begin(), objects.end());
        std::uint64_t good = 0;
        for (const auto& [offset, number] : objects) {
            if (offset >= size || !object_at(w, offset, number)) {
                out->break_low = good;
                out->break_high = std::min(size, offset + 32);
                out->probe = soundness_s::probe_pdf_object;
                out->probe_at = offset;
                out->probe_number = number;
                return false;
            }
            good = offset;
        }
        return true;
    };
    for (int sections = 0; sections < 4096; ++sections) {
        const std::uint8_t* h = w.some(pos, 48, &got);
        if (!h) {
            break;
        }
        std::size_t i = 0;
        while (i < got && (h[i] == '\r' || h[i] == '\n' || h[i] == ' ')) {
            ++i;
        }
        if (i + 7 <= got && std::memcmp(h + i, "trailer", 7) == 0) {
            s.sound = judge(&s);
            s.size = size;
            s.type = "pdf";
            return s;
        }
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::size_t d = 0;
        for (; i < got && h[i] >= '0' && h[i] <= '9' && d < 10; ++i, ++d) {
            first = first * 10 + static_cast<std::uint64_t>(h[i] - '0');
        }
        if (d == 0 || i >= got || h[i] != ' ') {
            break;
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
            break;
        }
        pos += i + 1;
        for (std::uint64_t e = 0; e < count; ++e, pos += 20) {
            const std::uint8_t* entry = w.at(pos, 20);
            if (!entry || !digits_at(entry, 10) || !digits_at(entry + 11, 5)) {
                break;
            }
            if (entry[17] == 'n' && objects.size() < 1000000) {
                objects.emplace_back(number_at(entry, 10), first + e);
            }
        }
    }
    // The table itself is broken: the joint lies before it.
    if (judge(&s)) {
        s.break_low = objects.empty() ? 0 : objects.back().first;
        s.break_high = std::min(size, xref + 32);
    }
    return s;
}

}  // namespace sig
