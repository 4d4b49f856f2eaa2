// The boxes of an MP4 and the sample tables of its tracks: where each chunk lies (stco,
// co64), how many samples each holds (stsc) and their sizes (stsz).
#include "sig_mp4.h"

#include <algorithm>
#include <cstring>

namespace sig::mp4 {

// The box whose header is at pos, inside [pos, limit); false when its size does not fit.
bool read_box(window_c& w, std::uint64_t pos, std::uint64_t limit, box_s* box) {
    if (pos > limit || limit - pos < 8) {
        return false;
    }
    const std::uint8_t* h = w.at(pos, 8);
    if (!h) {
        return false;
    }
    std::uint64_t size = be32(h);
    std::uint64_t header = 8;
    if (size == 1) {
        const std::uint8_t* large = w.at(pos + 8, 8);
        if (!large) {
            return false;
        }
        size = be64(large);
        header = 16;
    } else if (size == 0) {
        size = limit - pos;  // to the end of its parent
    }
    if (size < header || size > limit - pos) {
        return false;
    }
    box->start = pos;
    box->payload = pos + header;
    box->end = pos + size;
    std::memcpy(box->type, h + 4, 4);
    return true;
}

// The first child of that type inside parent (children walked by their sizes); false when
// there is none or the children do not nest. *broken is set when they do not.
bool child(window_c& w, const box_s& parent, std::uint64_t skip, const char* type, box_s* out,
           bool* broken) {
    std::uint64_t pos = parent.payload + skip;
    for (int n = 0; n < max_boxes && pos + 8 <= parent.end; ++n) {
        box_s b;
        if (!read_box(w, pos, parent.end, &b)) {
            *broken = true;
            return false;
        }
        if (b.is(type)) {
            *out = b;
            return true;
        }
        pos = b.end;
    }
    return false;
}

namespace {

struct table_reader_s {
    table_reader_s(window_c& window, std::uint64_t first) : w(window), base(first) {}
    window_c& w;
    std::uint64_t base;
    std::uint64_t cached_at = ~0ull;
    std::size_t cached_length = 0;
    std::uint8_t cached[4096];

    const std::uint8_t* entry(std::uint64_t index, unsigned bytes) {
        const std::uint64_t pos = base + index * bytes;
        if (cached_at == ~0ull || pos < cached_at || pos - cached_at + bytes > cached_length) {
            std::size_t got = 0;
            const std::uint8_t* p = w.some(pos, sizeof cached, &got);
            if (!p || got < bytes) {
                p = w.at(pos, bytes);  // at a seam of the view: exactly the entry
                got = bytes;
            }
            if (!p) {
                cached_at = ~0ull;
                return nullptr;
            }
            std::memcpy(cached, p, got);
            cached_at = pos;
            cached_length = got;
        }
        return cached + (pos - cached_at);
    }
};

// A table box's entry count, when its entries (of entry_bytes, after skip bytes of fields)
// fit inside it.
bool table_count(window_c& w, const box_s& b, std::uint64_t skip, unsigned entry_bytes,
                 std::uint64_t* count) {
    const std::uint8_t* h = b.payload + skip <= b.end ? w.at(b.payload + skip - 4, 4) : nullptr;
    if (!h) {
        return false;
    }
    *count = be32(h);
    return *count <= (b.end - b.payload - skip) / entry_bytes;
}

bool inside_media(const std::vector<media_s>& media, std::uint64_t pos, std::uint64_t length) {
    for (const media_s& m : media) {
        if (pos >= m.start && pos <= m.end && length <= m.end - pos) {
            return true;
        }
    }
    return false;
}

// Adds the samples of one track (its sample table box); false when its tables do not nest
// or a chunk does not lie inside the media data.
}  // namespace

bool track_samples(window_c& w, const box_s& stbl, const std::vector<media_s>& media,
                   std::vector<sample_s>* samples) {
    box_s stsd;
    box_s stsz;
    box_s stsc;
    box_s stco;
    bool broken = false;
    bool wide = false;
    box_s any;
    const bool has_stsd = child(w, stbl, 0, "stsd", &stsd, &broken);
    const bool has_stts = child(w, stbl, 0, "stts", &any, &broken);
    const bool has_stsz = child(w, stbl, 0, "stsz", &stsz, &broken);
    const bool has_stz2 = has_stsz || child(w, stbl, 0, "stz2", &any, &broken);
    const bool has_stsc = child(w, stbl, 0, "stsc", &stsc, &broken);
    bool has_stco = child(w, stbl, 0, "stco", &stco, &broken);
    if (!has_stco && !broken) {
        has_stco = wide = child(w, stbl, 0, "co64", &stco, &broken);
    }
    // Every table a sample table must hold (empty in a fragmented file).
    if (broken || !has_stsd || !has_stts || !has_stz2 || !has_stsc || !has_stco) {
        return false;
    }
    std::uint64_t chunks = 0;
    if (!table_count(w, stco, 8, wide ? 8 : 4, &chunks)) {
        return false;
    }
    std::uint8_t nal_length = 0;
    const codec_e codec = has_stsd ? track_codec(w, stsd, &nal_length) : codec_none;
    // Sample sizes and the samples of each chunk; without them each chunk's first byte is
    // checked alone.
    std::uint64_t runs = 0;
    std::uint64_t sample_count = 0;
    std::uint32_t uniform = 0;
    const bool sized = has_stsz && has_stsc && table_count(w, stsc, 8, 12, &runs) && runs > 0 &&
                       table_count(w, stsz, 12, 1, &sample_count);
    if (sized) {
        const std::uint8_t* h = w.at(stsz.payload + 4, 4);
        uniform = h ? be32(h) : 0;
        if (!h || (uniform == 0 && sample_count > (stsz.end - stsz.payload - 12) / 4)) {
            return false;
        }
    }
    table_reader_s offsets(w, stco.payload + 8);
    table_reader_s run_table(w, stsc.payload + 8);
    table_reader_s sizes(w, stsz.payload + 12);
    std::uint64_t run = 0;
    std::uint64_t sample = 0;
    for (std::uint64_t chunk = 0; chunk < chunks; ++chunk) {
        const std::uint8_t* o = offsets.entry(chunk, wide ? 8 : 4);
        if (!o) {
            return false;
        }
        std::uint64_t pos = wide ? be64(o) : be32(o);
        if (!sized) {
            if (!inside_media(media, pos, 1)) {
                return false;
            }
            continue;
        }
        // The run of stsc that holds this chunk (first chunks are counted from 1).
        while (run + 1 < runs) {
            const std::uint8_t* next = run_table.entry(run + 1, 12);
            if (!next) {
                return false;
            }
            if (be32(next) > chunk + 1) {
                break;
            }
            ++run;
        }
        const std::uint8_t* r = run_table.entry(run, 12);
        if (!r) {
            return false;
        }
        const std::uint64_t in_chunk = be32(r + 4);
        if (in_chunk > sample_count - std::min(sample, sample_count)) {
            return false;
        }
        if (!inside_media(media, pos, 1)) {
            return false;
        }
        // The chunk's length, its samples listed while they are few enough to check.
        std::uint64_t length = 0;
        if (uniform != 0 && (codec == codec_none || samples->size() >= max_samples)) {
            length = in_chunk * uniform;
        } else {
            std::uint64_t i = 0;
            for (; i < in_chunk && length <= w.bound() &&
                   (uniform == 0 || samples->size() < max_samples);
                 ++i) {
                std::uint32_t size = uniform;
                if (size == 0) {
                    const std::uint8_t* e = sizes.entry(sample + i, 4);
                    if (!e) {
                        return false;
                    }
                    size = be32(e);
                }
                if (codec != codec_none && size >= 8 && samples->size() < max_samples) {
                    samples->push_back({pos + length, size, codec, nal_length});
                }
                length += size;
            }
            length += (in_chunk - i) * uniform;
        }
        sample += in_chunk;
        if (!inside_media(media, pos, std::max<std::uint64_t>(length, 1))) {
            return false;
        }
    }
    return true;
}

}  // namespace sig::mp4
