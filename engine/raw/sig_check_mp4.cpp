// The check of ISO media files (MP4, MOV, M4A, 3GP): the top-level boxes follow each other by
// their sizes, the boxes of the movie's tracks nest by their sizes, every chunk of every track
// lies inside the media data, and the bytes at each sample's start look like the start of a
// sample of its codec where that is cheap to tell: the length-prefixed NAL units of H.264 and
// H.265 (walked across the sample), the start codes of MPEG-4 video, a JPEG's start of image.
#include "sig_checks.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sig {

namespace {

constexpr std::size_t max_samples = 1u << 20;  // samples checked per file
constexpr int max_boxes = 100000;

struct box_s {
    std::uint64_t start = 0;
    std::uint64_t payload = 0;  // the first byte after the header
    std::uint64_t end = 0;
    char type[4] = {};
    bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

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

enum codec_e : std::uint8_t {
    codec_none,
    codec_avc,
    codec_hevc,
    codec_mp4v,
    codec_jpeg,
    codec_aac_mono,    // AAC, one channel: each frame begins with a single channel element
    codec_aac_stereo,  // AAC, two channels: with a channel pair element
    codec_mp3
};

struct sample_s {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    codec_e codec = codec_none;
    std::uint8_t nal_length = 0;  // bytes of each NAL unit's length (H.264, H.265)
};

// A NAL unit's header (one byte for H.264, two for H.265): the forbidden bit clear and a
// type that is defined.
bool nal_header_ok(codec_e codec, const std::uint8_t* h) {
    if (codec == codec_avc) {
        return (h[0] & 0x80) == 0 && (h[0] & 0x1F) != 0 && (h[0] & 0x1F) <= 23;
    }
    return (h[0] & 0x80) == 0 && ((h[0] >> 1) & 0x3F) <= 40 && (h[1] & 7) != 0;
}

// Whether the bytes at a sample's start look like its codec's; *fail_at: the end of the read
// that failed (an offset in the file).
bool sample_sane(window_c& w, const sample_s& s, std::uint64_t* fail_at) {
    switch (s.codec) {
        case codec_none:
            return true;
        case codec_jpeg: {
            const std::uint8_t* p = s.size >= 3 ? w.at(s.offset, 3) : nullptr;
            *fail_at = s.offset + 3;
            return p && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
        }
        case codec_mp4v: {
            const std::uint8_t* p = s.size >= 4 ? w.at(s.offset, 4) : nullptr;
            *fail_at = s.offset + 4;
            if (!p || p[0] != 0 || p[1] != 0 || p[2] != 1) {
                return false;
            }
            // Visual object (sequence), group of VOPs, VOP, user data, object or layer.
            return p[3] <= 0x2F || p[3] == 0xB0 || p[3] == 0xB2 || p[3] == 0xB3 || p[3] == 0xB5 ||
                   p[3] == 0xB6;
        }
        case codec_aac_mono:
        case codec_aac_stereo: {
            // The first element's type (3 bits) and instance tag (4 bits, 0).
            const std::uint8_t* p = w.at(s.offset, 1);
            *fail_at = s.offset + 1;
            // Encoders may put a fill or data element first (ffmpeg does in the first frame).
            return p && ((*p & 0xFE) == (s.codec == codec_aac_mono ? 0x00 : 0x20) || *p >> 5 == 4 ||
                         *p >> 5 == 6);
        }
        case codec_mp3: {
            const std::uint8_t* p = s.size >= 2 ? w.at(s.offset, 2) : nullptr;
            *fail_at = s.offset + 2;
            return p && p[0] == 0xFF && (p[1] & 0xE0) == 0xE0;
        }
        case codec_avc:
        case codec_hevc:
            break;
    }
    // NAL units, each after its length, fill the sample exactly.
    const std::uint64_t end = s.offset + s.size;
    std::uint64_t pos = s.offset;
    const unsigned n = s.nal_length;
    const unsigned header = s.codec == codec_avc ? 1 : 2;
    for (int units = 0; units < 64 && pos < end; ++units) {
        *fail_at = pos + n + header;
        const std::uint8_t* p = end - pos >= n + header ? w.at(pos, n + header) : nullptr;
        if (!p) {
            return false;
        }
        std::uint64_t length = 0;
        for (unsigned i = 0; i < n; ++i) {
            length = length << 8 | p[i];
        }
        if (length < header || length > end - pos - n || !nal_header_ok(s.codec, p + n)) {
            return false;
        }
        pos += n + length;
    }
    return true;
}

// An MPEG-4 descriptor's tag and length at p (at most end): the position of its body.
const std::uint8_t* descriptor(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t tag,
                               std::uint32_t* length) {
    if (p >= end || *p != tag) {
        return nullptr;
    }
    ++p;
    *length = 0;
    for (int i = 0; i < 4 && p < end; ++i, ++p) {
        *length = *length << 7 | (*p & 0x7F);
        if (!(*p & 0x80)) {
            return ++p <= end ? p : nullptr;
        }
    }
    return nullptr;
}

// The codec of an MPEG-4 audio sample entry, from its elementary stream descriptor: AAC with
// one or two channels, or MP3; codec_none for anything else.
codec_e audio_codec(window_c& w, const box_s& entry) {
    // A sound sample entry: 28 bytes of fields (QuickTime's version 1 adds 16, version 2
    // adds 36), then its boxes.
    const std::uint8_t* v = w.at(entry.payload + 8, 2);
    if (!v) {
        return codec_none;
    }
    const std::uint16_t version = be16(v);
    const std::uint64_t skip = version == 0 ? 28 : version == 1 ? 44 : version == 2 ? 64 : 0;
    box_s esds;
    bool broken = false;
    if (skip == 0 || !child(w, entry, skip, "esds", &esds, &broken) ||
        esds.end - esds.payload < 8 || esds.end - esds.payload > 1024) {
        return codec_none;
    }
    const std::uint8_t* b = w.at(esds.payload, static_cast<std::size_t>(esds.end - esds.payload));
    if (!b) {
        return codec_none;
    }
    const std::uint8_t* end = b + (esds.end - esds.payload);
    std::uint32_t length = 0;
    const std::uint8_t* es = descriptor(b + 4, end, 0x03, &length);
    if (!es || end - es < 3) {
        return codec_none;
    }
    const std::uint8_t flags = es[2];
    const std::uint8_t* p = es + 3 + ((flags & 0x80) ? 2 : 0);
    if ((flags & 0x40) && p < end) {
        p += 1 + *p;  // a URL
    }
    p += (flags & 0x20) ? 2 : 0;
    const std::uint8_t* config = p < end ? descriptor(p, end, 0x04, &length) : nullptr;
    if (!config || end - config < 13) {
        return codec_none;
    }
    if (config[0] == 0x69 || config[0] == 0x6B) {
        return codec_mp3;
    }
    const std::uint8_t* specific =
        config[0] == 0x40 ? descriptor(config + 13, end, 0x05, &length) : nullptr;
    if (!specific || length < 2 || end - specific < 2) {
        return codec_none;
    }
    // The audio specific configuration: object type (5 bits), rate index (4; 15: the rate
    // follows in 24 bits), channels (4). Only plain object types, a known rate and one or
    // two channels are checked.
    const unsigned object = specific[0] >> 3;
    const unsigned rate = (specific[0] & 7) << 1 | specific[1] >> 7;
    const unsigned channels = (specific[1] >> 3) & 0xF;
    if (object < 1 || object > 4 || rate == 15 || (channels != 1 && channels != 2)) {
        return codec_none;
    }
    return channels == 1 ? codec_aac_mono : codec_aac_stereo;
}

// The codec of a track's only sample description, and its NAL length size.
codec_e track_codec(window_c& w, const box_s& stsd, std::uint8_t* nal_length) {
    const std::uint8_t* h = w.at(stsd.payload, 16);
    if (!h || be32(h + 4) != 1) {
        return codec_none;
    }
    box_s entry;
    if (!read_box(w, stsd.payload + 8, stsd.end, &entry)) {
        return codec_none;
    }
    if (entry.is("mp4v")) {
        return codec_mp4v;
    }
    if (entry.is("jpeg") || entry.is("mjpa")) {
        return codec_jpeg;
    }
    if (entry.is("mp4a")) {
        return audio_codec(w, entry);
    }
    const bool avc = entry.is("avc1") || entry.is("avc3");
    const bool hevc = entry.is("hvc1") || entry.is("hev1");
    if (!avc && !hevc) {
        return codec_none;
    }
    // A visual sample entry: 78 bytes of fields after the header, then its boxes.
    box_s config;
    bool broken = false;
    if (!child(w, entry, 78, avc ? "avcC" : "hvcC", &config, &broken)) {
        return codec_none;
    }
    const std::uint64_t at = config.payload + (avc ? 4 : 21);
    const std::uint8_t* c = at < config.end ? w.at(at, 1) : nullptr;
    if (!c || (*c & 3) == 2) {
        return codec_none;
    }
    *nal_length = static_cast<std::uint8_t>((*c & 3) + 1);
    return avc ? codec_avc : codec_hevc;
}

// The entries of a table box's array (after its version, flags and count), read through a
// copy of 4 KiB of it at a time: the view's bytes last only until its next read.
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

struct media_s {
    std::uint64_t start = 0;  // the media data's first byte
    std::uint64_t end = 0;
};

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

}  // namespace

soundness_s check_mp4(window_c& w, const char* type, std::uint64_t joint) {
    soundness_s s;
    std::vector<media_s> media;
    box_s movie;
    bool has_movie = false;
    bool meta = false;
    std::uint64_t pos = 0;
    std::uint64_t previous = 0;
    for (int n = 0; n < max_boxes; ++n) {
        box_s b;
        const std::uint8_t* h = w.at(pos, 8);
        if (!h || !iso_top_level(h + 4) || be32(h) == 0 || !read_box(w, pos, w.bound(), &b)) {
            break;
        }
        if (b.is("moov")) {
            movie = b;
            has_movie = true;
        }
        meta = meta || b.is("meta");
        if (b.is("mdat")) {
            media.push_back({b.payload, b.end});
        }
        previous = pos;
        pos = b.end;
    }
    if (pos == 0) {
        return s;
    }
    if (!has_movie || media.empty()) {
        if (meta && !media.empty()) {  // a HEIF or AVIF picture: the measure's word
            s.sound = true;
            s.size = pos;
            s.type = type;
            return s;
        }
        if (has_movie || !media.empty()) {
            // The boxes stop before the file is whole: the next box header belongs at pos.
            s.break_low = previous;
            s.break_high = pos + 8;
            s.probe = soundness_s::probe_mp4_box;
            s.probe_at = pos;
        }
        return s;
    }
    // The movie's tracks: trak / mdia / minf / stbl.
    std::vector<sample_s> samples;
    bool broken = false;
    for (std::uint64_t at = movie.payload; at + 8 <= movie.end && !broken;) {
        box_s trak;
        if (!read_box(w, at, movie.end, &trak)) {
            broken = true;
            break;
        }
        at = trak.end;
        box_s mdia;
        box_s minf;
        box_s stbl;
        if (!trak.is("trak")) {
            continue;
        }
        // Every box a track must hold: one that cannot be found is as broken as one that
        // does not nest.
        box_s any;
        if (!child(w, trak, 0, "tkhd", &any, &broken) ||
            !child(w, trak, 0, "mdia", &mdia, &broken) ||
            !child(w, mdia, 0, "mdhd", &any, &broken) ||
            !child(w, mdia, 0, "hdlr", &any, &broken) ||
            !child(w, mdia, 0, "minf", &minf, &broken) ||
            !child(w, minf, 0, "stbl", &stbl, &broken) ||
            !track_samples(w, stbl, media, &samples)) {
            broken = true;
        }
    }
    if (broken) {
        s.break_low = movie.start;
        s.break_high = movie.end;
        return s;
    }
    std::sort(samples.begin(), samples.end(),
              [](const sample_s& a, const sample_s& b) { return a.offset < b.offset; });
    // Searching: the samples around the joint first, where a wrong joint shows at once.
    if (joint != 0 && !samples.empty()) {
        const auto near = std::lower_bound(
            samples.begin(), samples.end(), joint,
            [](const sample_s& a, std::uint64_t value) { return a.offset < value; });
        const std::size_t at = static_cast<std::size_t>(near - samples.begin());
        const std::size_t from = at > 8 ? at - 8 : 0;
        for (std::size_t i = from; i < samples.size() && i < at + 8; ++i) {
            std::uint64_t fail_at = 0;
            if (!sample_sane(w, samples[i], &fail_at)) {
                return s;
            }
        }
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint64_t fail_at = 0;
        if (!sample_sane(w, samples[i], &fail_at)) {
            // The media data runs into other data: the joint lies after the last sample that
            // looks right (by a check that random bytes rarely pass) and before the end of
            // the read that failed.
            std::size_t sure = i;
            while (sure > 0 && (samples[sure - 1].codec == codec_aac_mono ||
                                samples[sure - 1].codec == codec_aac_stereo)) {
                --sure;
            }
            s.break_low = sure > 0 ? samples[sure - 1].offset : media.front().start;
            s.break_high = fail_at;
            s.probe = soundness_s::probe_mp4_sample;
            s.probe_at = samples[i].offset;
            s.probe_number = static_cast<std::uint64_t>(samples[i].codec) |
                             static_cast<std::uint64_t>(samples[i].nal_length) << 8;
            return s;
        }
    }
    s.sound = true;
    s.size = pos;
    s.type = type;
    return s;
}

bool mp4_probe_holds(window_c& w, const soundness_s& broken) {
    if (broken.probe == soundness_s::probe_mp4_box) {
        const std::uint8_t* h = w.at(broken.probe_at, 8);
        return h && iso_top_level(h + 4) && (be32(h) == 1 || be32(h) >= 8);
    }
    // The sample's first bytes only: its size is not known here.
    sample_s s;
    s.offset = broken.probe_at;
    s.codec = static_cast<codec_e>(broken.probe_number & 0xFF);
    s.nal_length = static_cast<std::uint8_t>(broken.probe_number >> 8);
    if (s.codec == codec_avc || s.codec == codec_hevc) {
        const std::uint8_t* p = w.at(s.offset, s.nal_length + 2u);
        return p && nal_header_ok(s.codec, p + s.nal_length);
    }
    s.size = 16;
    std::uint64_t fail_at = 0;
    return sample_sane(w, s, &fail_at);
}

}  // namespace sig
