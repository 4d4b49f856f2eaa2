// The decode check of JPEG files: libjpeg-turbo decodes the picture (scaled down, as fast as
// it goes) and any warning or error marks where the data stopped making sense.
#include "sig_pieces.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace sig {

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

std::uint64_t jpeg_scan_data(window_c& w) {
    std::uint64_t pos = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        const std::uint8_t* m = w.at(pos, 4);
        if (!m || m[0] != 0xFF) {
            break;
        }
        if (m[1] == 0xFF) {
            ++pos;  // fill before a marker
            continue;
        }
        const std::uint64_t length = be16(m + 2);
        if (length < 2) {
            break;
        }
        pos += 2 + length;
        if (m[1] == 0xDA) {
            return pos;
        }
    }
    return w.bound();
}

bool jpeg_data_at(window_c& w, std::uint64_t pos) {
    std::size_t got = 0;
    const std::uint8_t* d = w.some(pos, 4096 + 1, &got);
    if (!d || got < 2) {
        return false;
    }
    bool marked = false;
    for (std::size_t i = 0; i + 1 < got; ++i) {
        if (d[i] != 0xFF) {
            continue;
        }
        const std::uint8_t next = d[i + 1];
        if (next == 0xD9) {
            return true;  // the end of the picture
        }
        const bool allowed = next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7) ||
                             next == 0xC4 || next == 0xDA || next == 0xDB || next == 0xDD;
        if (!allowed) {
            return false;
        }
        marked = true;
        if (next != 0xFF) {
            ++i;  // the marker's second byte; a fill byte may begin the next marker
        }
    }
    return marked;
}

}  // namespace sig
