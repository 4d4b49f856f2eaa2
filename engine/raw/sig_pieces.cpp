// Checks of JPEG, PNG and ZIP files across their whole length, and the search for the second
// piece of a file whose check breaks. See sig_pieces.h.
#include "sig_pieces.h"

#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <jpeglib.h>

namespace sig {

const std::uint8_t* spliced_view_c::at(std::uint64_t pos, std::size_t n) {
    if (n > view_max_span) {
        return nullptr;
    }
    if (pos + n <= joint_) {
        return base_.at(pos, n);
    }
    if (pos >= joint_) {
        return base_.at(pos + gap_, n);
    }
    const std::size_t head = static_cast<std::size_t>(joint_ - pos);
    const std::uint8_t* a = base_.at(pos, head);
    if (!a) {
        return nullptr;
    }
    std::memcpy(scratch_, a, head);
    const std::uint8_t* b = base_.at(joint_ + gap_, n - head);
    if (!b) {
        return nullptr;
    }
    std::memcpy(scratch_ + head, b, n - head);
    return scratch_;
}

// ---- JPEG: decoding with libjpeg-turbo ----

namespace {

struct jpeg_source_s {
    jpeg_source_mgr pub;
    window_c* w;
    std::uint64_t next = 0;          // the next byte to load into the buffer
    std::uint64_t buffer_start = 0;  // the file offset of buffer[0]
    std::uint64_t end = 0;
    JOCTET buffer[16384];
};

struct jpeg_error_s {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    jpeg_source_s* source = nullptr;
    std::uint64_t where = 0;
};

std::uint64_t source_position(const jpeg_source_s* s) {
    return s->buffer_start + static_cast<std::uint64_t>(s->pub.next_input_byte - s->buffer);
}

void source_init(j_decompress_ptr) {}
void source_term(j_decompress_ptr) {}

boolean source_fill(j_decompress_ptr info) {
    auto* s = reinterpret_cast<jpeg_source_s*>(info->src);
    std::size_t got = 0;
    const std::uint8_t* p = s->next < s->end
                                ? s->w->some(s->next,
                                             static_cast<std::size_t>(std::min<std::uint64_t>(
                                                 sizeof s->buffer, s->end - s->next)),
                                             &got)
                                : nullptr;
    s->buffer_start = s->next;
    if (!p || got == 0) {
        // Past the end: the library's own answer, a fake end-of-image marker, and a warning
        // (which fails the check).
        info->err->emit_message(reinterpret_cast<j_common_ptr>(info), -1);
        s->buffer[0] = 0xFF;
        s->buffer[1] = JPEG_EOI;
        got = 2;
    } else {
        std::memcpy(s->buffer, p, got);
        s->next += got;
    }
    s->pub.next_input_byte = s->buffer;
    s->pub.bytes_in_buffer = got;
    return TRUE;
}

void source_skip(j_decompress_ptr info, long count) {
    auto* s = reinterpret_cast<jpeg_source_s*>(info->src);
    while (count > static_cast<long>(s->pub.bytes_in_buffer)) {
        count -= static_cast<long>(s->pub.bytes_in_buffer);
        source_fill(info);
    }
    if (count > 0) {
        s->pub.next_input_byte += count;
        s->pub.bytes_in_buffer -= static_cast<std::size_t>(count);
    }
}

[[noreturn]] void error_exit(j_common_ptr info) {
    auto* e = reinterpret_cast<jpeg_error_s*>(info->err);
    e->where = source_position(e->source);
    std::longjmp(e->jump, 1);
}

void emit_message(j_common_ptr info, int level) {
    if (level < 0) {  // a warning: corrupt data
        error_exit(info);
    }
}

void output_message(j_common_ptr) {}

}  // namespace

bool jpeg_decodes(window_c& w, std::uint64_t size, std::uint64_t* break_at) {
    jpeg_decompress_struct info{};
    jpeg_error_s error{};
    auto source = std::make_unique<jpeg_source_s>();
    source->w = &w;
    source->end = size;
    source->pub.init_source = source_init;
    source->pub.fill_input_buffer = source_fill;
    source->pub.skip_input_data = source_skip;
    source->pub.resync_to_restart = jpeg_resync_to_restart;
    source->pub.term_source = source_term;
    info.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = error_exit;
    error.pub.emit_message = emit_message;
    error.pub.output_message = output_message;
    error.source = source.get();
    std::vector<JSAMPLE> row;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        *break_at = error.where;
        return false;
    }
    jpeg_create_decompress(&info);
    info.src = &source->pub;
    jpeg_read_header(&info, TRUE);
    // A picture too large to check within memory bounds keeps the measure's word.
    const std::uint64_t samples = static_cast<std::uint64_t>(info.image_width) * info.image_height *
                                  static_cast<unsigned>(info.num_components);
    if (samples > 60'000'000ull) {
        jpeg_destroy_decompress(&info);
        return true;
    }
    info.scale_num = 1;
    info.scale_denom = 8;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    info.do_block_smoothing = FALSE;
    jpeg_start_decompress(&info);
    row.resize(static_cast<std::size_t>(info.output_width) * info.output_components);
    JSAMPROW rows[1] = {row.data()};
    while (info.output_scanline < info.output_height) {
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    const std::uint64_t used = source_position(source.get());
    jpeg_destroy_decompress(&info);
    if (used != size) {
        *break_at = used;
        return false;
    }
    return true;
}

// ---- PNG: chunk CRCs and the zlib stream of the image data ----

namespace {

std::uint32_t window_crc(window_c& w, std::uint64_t pos, std::uint64_t n, bool* ok) {
    uLong crc = crc32(0, nullptr, 0);
    while (n > 0) {
        std::size_t got = 0;
        const std::uint8_t* p =
            w.some(pos, static_cast<std::size_t>(std::min<std::uint64_t>(n, view_max_span)), &got);
        if (!p || got == 0) {
            *ok = false;
            return 0;
        }
        crc = crc32(crc, p, static_cast<uInt>(got));
        pos += got;
        n -= got;
    }
    *ok = true;
    return static_cast<std::uint32_t>(crc);
}

bool letters(const std::uint8_t* t) {
    for (int i = 0; i < 4; ++i) {
        if (!((t[i] >= 'A' && t[i] <= 'Z') || (t[i] >= 'a' && t[i] <= 'z'))) {
            return false;
        }
    }
    return true;
}

soundness_s check_png(window_c& w) {
    soundness_s s;
    const std::uint8_t* p = w.at(0, 16);
    if (!p || std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) != 0) {
        return s;
    }
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return s;
    }
    std::vector<std::uint8_t> sink(65536);
    bool stream_end = false;
    bool stream_bad = false;
    std::uint64_t pos = 8;
    std::uint64_t previous = 8;
    for (int chunks = 0; chunks < 1000000; ++chunks) {
        const std::uint8_t* c = w.at(pos, 8);
        const std::uint32_t length = c ? be32(c) : 0;
        if (!c || length > 0x7FFFFFFFu || !letters(c + 4) || pos + 12 + length > w.bound()) {
            s.break_low = previous;
            s.break_high = pos + 8;
            break;
        }
        bool ok = false;
        const std::uint32_t crc = window_crc(w, pos + 4, 4ull + length, &ok);
        const std::uint8_t* stored = w.at(pos + 8 + length, 4);
        if (!ok || !stored || be32(stored) != crc) {
            s.break_low = pos;
            s.break_high = pos + 12 + length;
            s.probe = soundness_s::probe_png_chunk;
            s.probe_at = pos + 12 + length;
            break;
        }
        if (std::memcmp(c + 4, "IDAT", 4) == 0 && !stream_bad) {
            for (std::uint64_t at = pos + 8, left = length; left > 0 && !stream_end;) {
                std::size_t got = 0;
                const std::uint8_t* d = w.some(
                    at, static_cast<std::size_t>(std::min<std::uint64_t>(left, view_max_span)),
                    &got);
                if (!d || got == 0) {
                    stream_bad = true;
                    break;
                }
                z.next_in = const_cast<Bytef*>(d);
                z.avail_in = static_cast<uInt>(got);
                while (z.avail_in > 0) {
                    z.next_out = sink.data();
                    z.avail_out = static_cast<uInt>(sink.size());
                    const int r = inflate(&z, Z_NO_FLUSH);
                    if (r == Z_STREAM_END) {
                        stream_end = true;
                        break;
                    }
                    if (r != Z_OK) {
                        stream_bad = true;
                        break;
                    }
                }
                at += got;
                left -= got;
                if (stream_bad) {
                    break;
                }
            }
        }
        previous = pos;
        pos += 12 + static_cast<std::uint64_t>(length);
        if (std::memcmp(c + 4, "IEND", 4) == 0) {
            s.sound = stream_end && !stream_bad;
            s.size = pos;
            s.type = "png";
            break;
        }
    }
    inflateEnd(&z);
    return s;
}

// ---- ZIP: each member's CRC-32, the central directory's offsets ----

// The CRC-32 of a member's data inflated (method 8) or as stored (0); false when the data
// is not valid or uses another method. *packed receives the compressed length used.
bool member_crc(window_c& w, std::uint64_t data, std::uint64_t csize, int method, bool known_size,
                std::uint32_t* crc_out, std::uint64_t* packed) {
    uLong crc = crc32(0, nullptr, 0);
    if (method == 0) {
        if (!known_size) {
            return false;
        }
        bool ok = false;
        *crc_out = window_crc(w, data, csize, &ok);
        *packed = csize;
        return ok;
    }
    if (method != 8) {
        return false;
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        return false;
    }
    std::vector<std::uint8_t> out(65536);
    std::uint64_t pos = data;
    bool end = false;
    bool bad = false;
    while (!end && !bad) {
        std::size_t got = 0;
        const std::uint64_t want =
            known_size ? std::min<std::uint64_t>(csize - (pos - data), view_max_span)
                       : view_max_span;
        const std::uint8_t* d = want ? w.some(pos, static_cast<std::size_t>(want), &got) : nullptr;
        if (!d || got == 0) {
            bad = true;
            break;
        }
        z.next_in = const_cast<Bytef*>(d);
        z.avail_in = static_cast<uInt>(got);
        while (z.avail_in > 0 || !end) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int r = inflate(&z, Z_NO_FLUSH);
            crc = crc32(crc, out.data(), static_cast<uInt>(out.size() - z.avail_out));
            if (r == Z_STREAM_END) {
                end = true;
                break;
            }
            if (r == Z_BUF_ERROR && z.avail_in == 0) {
                break;  // needs more input
            }
            if (r != Z_OK) {
                bad = true;
                break;
            }
        }
        pos += got - z.avail_in;
    }
    inflateEnd(&z);
    *crc_out = static_cast<std::uint32_t>(crc);
    *packed = pos - data;
    return end && !bad && (!known_size || *packed == csize);
}

soundness_s check_zip(window_c& w, const char* type) {
    soundness_s s;
    std::uint64_t pos = 0;
    std::uint64_t members = 0;
    std::vector<std::uint64_t> locals;
    for (; members < 1000000; ++members) {
        const std::uint8_t* h = w.at(pos, 30);
        if (!h || le32(h) != 0x04034b50) {
            break;
        }
        const int flags = le16(h + 6);
        const int method = le16(h + 8);
        const std::uint32_t csize = le32(h + 18);
        const std::uint64_t data = pos + 30 + le16(h + 26) + le16(h + 28);
        const bool descriptor = flags & 8;
        if (csize == 0xFFFFFFFFu || (flags & 1) || (descriptor && method == 0)) {
            // Zip64, encrypted, or stored with its length only after the data: the measure's
            // word stands, no check.
            return s;
        }
        std::uint32_t crc = 0;
        std::uint64_t packed = 0;
        const bool ok = member_crc(w, data, csize, method, !descriptor, &crc, &packed);
        std::uint32_t expected = le32(h + 14);
        std::uint64_t next = data + packed;
        if (ok && descriptor) {
            const std::uint8_t* d = w.at(next, 16);
            std::uint64_t skip = d && le32(d) == 0x08074b50 ? 4 : 0;
            const std::uint8_t* fields = w.at(next + skip, 12);
            expected = fields ? le32(fields) : ~crc;
            next += skip + 12;
        }
        if (!ok || crc != expected) {
            s.break_low = pos;
            s.break_high = descriptor ? next + 16 : data + csize + 4;
            if (!descriptor) {
                s.probe = soundness_s::probe_zip_header;
                s.probe_at = data + csize;
            }
            return s;
        }
        locals.push_back(pos);
        pos = next;
    }
    if (members == 0) {
        return s;
    }
    // The central directory must follow the last member, where the end record says it is,
    // and name every member at its offset.
    const std::uint64_t central = pos;
    std::size_t named = 0;
    for (;;) {
        const std::uint8_t* c = w.at(pos, 46);
        if (!c || le32(c) != 0x02014b50) {
            break;
        }
        if (named >= locals.size() || le32(c + 42) != locals[named]) {
            s.break_low = central > 0 ? locals.back() : 0;
            s.break_high = pos + 46;
            return s;
        }
        ++named;
        pos += 46ull + le16(c + 28) + le16(c + 30) + le16(c + 32);
    }
    const std::uint8_t* e = w.at(pos, 22);
    if (!e || le32(e) != 0x06054b50 || le32(e + 16) != central || named != locals.size()) {
        s.break_low = locals.back();
        s.break_high = pos + 22;
        return s;
    }
    s.sound = true;
    s.size = pos + 22 + le16(e + 20);
    s.type = type ? type : "zip";
    return s;
}

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
bool object_at(window_c& w, std::uint64_t pos, std::uint64_t number, bool any = false) {
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

}  // namespace

bool has_check(const format_s& f) {
    const std::string_view name(f.name);
    return name == "jpg" || name == "png" || name == "zip" || name == "pdf";
}

soundness_s check_file(const format_s& f, window_c& w, bool searching) {
    const std::string_view name(f.name);
    const found_s found = f.measure(w);
    soundness_s s;
    if (searching && found.size == 0) {
        return s;  // a joint the structure does not even walk across
    }
    if (name == "jpg") {
        const std::uint8_t* p = w.at(0, 4);
        if (!p || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) {
            return s;
        }
        constexpr std::uint64_t decode_limit = 64ull << 20;
        std::uint64_t where = 0;
        const std::uint64_t span = found.size ? found.size : std::min(w.bound(), decode_limit);
        if (jpeg_decodes(w, span, &where)) {
            s.sound = found.size != 0;
            s.size = found.size;
            s.type = found.type;
            return s;
        }
        if (where > 2) {
            s.break_high = where;
            s.break_low = where > (256u << 10) ? where - (256u << 10) : 2;
        }
        return s;
    }
    if (name == "png") {
        s = check_png(w);
        if (s.sound && found.size != s.size) {
            s.sound = false;
        }
        return s;
    }
    if (name == "zip") {
        s = check_zip(w, found.type);
        if (!s.sound && s.break_high == 0 && found.size) {
            // Not checkable (Zip64, encrypted): the measure's word stands.
            s.sound = true;
            s.size = found.size;
            s.type = found.type;
        } else if (s.sound && found.size && found.size != s.size) {
            s.sound = false;
        }
        return s;
    }
    if (name == "pdf") {
        return check_pdf(w, found.size);
    }
    s.sound = found.size != 0;
    s.size = found.size;
    s.type = found.type;
    return s;
}

namespace {

bool probe_holds(window_c& w, const soundness_s& broken) {
    switch (broken.probe) {
        case soundness_s::probe_png_chunk: {
            const std::uint8_t* c = w.at(broken.probe_at, 8);
            return c && be32(c) <= 0x7FFFFFFFu && letters(c + 4);
        }
        case soundness_s::probe_zip_header: {
            const std::uint8_t* h = w.at(broken.probe_at, 4);
            return h && (le32(h) == 0x04034b50 || le32(h) == 0x02014b50);
        }
        case soundness_s::probe_pdf_object:
            return object_at(w, broken.probe_at, broken.probe_number);
        case soundness_s::probe_pdf_xref: {
            const std::uint8_t* x = w.at(broken.probe_at, 4);
            return x && (std::memcmp(x, "xref", 4) == 0 || object_at(w, broken.probe_at, 0, true));
        }
        case soundness_s::probe_none:
            break;
    }
    return true;
}

}  // namespace

pieces_s find_second_piece(byte_view_c& view, const format_s& f, std::uint64_t start,
                           std::uint64_t bound, const soundness_s& broken,
                           const piece_search_s& search) {
    if (broken.break_high == 0) {
        return {};
    }
    std::vector<std::uint64_t> sizes{search.cluster};
    if (search.cluster != 512) {
        sizes.push_back(512);
    }
    const std::uint64_t volume = view.size();
    for (const std::uint64_t cluster : sizes) {
        // Joints at cluster boundaries of the volume from the break backwards.
        const std::uint64_t low = start + broken.break_low;
        std::uint64_t joint = (start + broken.break_high) / cluster * cluster;
        for (; joint > low && joint > start; joint -= cluster) {
            for (std::uint64_t g = 1; g <= search.max_gap_clusters; ++g) {
                if (std::chrono::steady_clock::now() > search.deadline) {
                    return {};
                }
                const std::uint64_t gap = g * cluster;
                if (joint + gap >= volume) {
                    break;
                }
                spliced_view_c spliced(view, joint, gap);
                const std::uint64_t left = spliced.size() - start;
                window_c w(spliced, start, std::min(bound, left));
                if (!probe_holds(w, broken)) {
                    continue;
                }
                const soundness_s s = check_file(f, w, true);
                if (s.sound && s.size > joint - start) {
                    return {joint - start, gap, s.size, s.type};
                }
            }
        }
    }
    return {};
}

}  // namespace sig
