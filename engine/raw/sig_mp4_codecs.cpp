// The codecs whose samples the MP4 check looks at, and what the first bytes of a sample of
// each look like: length-prefixed NAL units of H.264 and H.265 (walked across the sample),
// MPEG-4 video start codes, a JPEG's start of image, the first element of an AAC frame, an
// MP3 frame's sync.
#include "sig_mp4.h"

#include <cstring>

namespace sig::mp4 {

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

namespace {

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

}  // namespace

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
}  // namespace sig::mp4
