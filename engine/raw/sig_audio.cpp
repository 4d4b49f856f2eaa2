// Sound: RIFF (WAVE, and AVI and WebP, which share its form), MPEG audio, FLAC, Ogg and
// AIFF.
#include "sig_format.h"

#include <cstring>
#include <set>

namespace sig {
namespace {

bool printable4(const std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

// The chunks of a RIFF form from pos to end: each id printable and each size inside.
bool riff_chunks_fit(window_c& w, std::uint64_t pos, std::uint64_t end) {
    int chunks = 0;
    while (pos + 8 <= end) {
        const std::uint8_t* c = w.at(pos, 8);
        if (!c || !printable4(c)) {
            return false;
        }
        pos += 8 + static_cast<std::uint64_t>(le32(c + 4)) + (le32(c + 4) & 1);
        ++chunks;
    }
    return chunks > 0 && pos <= end + 1;
}

}  // namespace

// RIFF: the form's length field; WAVE, AVI (with its OpenDML AVIX extensions that follow
// directly) and WebP, each with chunks that fit the form.
found_s measure_riff(window_c& w) {
    const std::uint8_t* p = w.at(0, 12);
    if (!p || std::memcmp(p, "RIFF", 4) != 0) {
        return {};
    }
    const char* type = nullptr;
    if (std::memcmp(p + 8, "WAVE", 4) == 0) {
        type = "wav";
    } else if (std::memcmp(p + 8, "AVI ", 4) == 0) {
        type = "avi";
    } else if (std::memcmp(p + 8, "WEBP", 4) == 0) {
        type = "webp";
    } else {
        return {};
    }
    const std::uint64_t size = 8 + static_cast<std::uint64_t>(le32(p + 4));
    if (size < 20 || size > w.bound() || !riff_chunks_fit(w, 12, size)) {
        return {};
    }
    const std::uint8_t* first = w.at(12, 4);
    if (!first) {
        return {};
    }
    if (std::strcmp(type, "webp") == 0 && std::memcmp(first, "VP8", 3) != 0) {
        return {};
    }
    std::uint64_t end = size;
    if (std::strcmp(type, "avi") == 0) {
        for (;;) {
            const std::uint8_t* x = w.at(end, 12);
            if (!x || std::memcmp(x, "RIFF", 4) != 0 || std::memcmp(x + 8, "AVIX", 4) != 0) {
                break;
            }
            const std::uint64_t next = end + 8 + le32(x + 4);
            if (next > w.bound()) {
                break;
            }
            end = next;
        }
    }
    return {end, type};
}

namespace {

struct mpeg_frame_s {
    std::uint32_t length = 0;
    std::uint32_t key = 0;  // version, layer and sample rate: equal in every frame of a file
};

// One MPEG audio frame header (ISO 11172-3, 13818-3 and MPEG 2.5): its length.
bool mpeg_frame(const std::uint8_t* h, mpeg_frame_s* frame) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) {
        return false;
    }
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const int bitrate_index = h[2] >> 4;
    const int rate_index = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 ||
        rate_index == 3) {
        return false;
    }
    static const int rates[3] = {44100, 48000, 32000};
    int rate = rates[rate_index];
    if (version == 2) {
        rate /= 2;
    } else if (version == 0) {
        rate /= 4;
    }
    static const int v1[3][15] = {
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // layer II
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}  // layer I
    };
    static const int v2[2][15] = {
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},      // layers II, III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}  // layer I
    };
    const int kbps =
        version == 3 ? v1[layer - 1][bitrate_index] : v2[layer == 3 ? 1 : 0][bitrate_index];
    const int bitrate = kbps * 1000;
    std::uint32_t length = 0;
    if (layer == 3) {
        length = static_cast<std::uint32_t>((12 * bitrate / rate + padding) * 4);
    } else if (layer == 1 && version != 3) {
        length = static_cast<std::uint32_t>(72 * bitrate / rate + padding);
    } else {
        length = static_cast<std::uint32_t>(144 * bitrate / rate + padding);
    }
    frame->length = length;
    frame->key = static_cast<std::uint32_t>(version << 4 | layer << 2 | rate_index);
    return length >= 24;
}

}  // namespace

// MPEG audio: an ID3v2 tag (its syncsafe size) or the first frame, then frames of one
// version, layer and sample rate for as long as they follow each other, then an ID3v1 tag.
// Layer III streams are mp3, layer II mp2 and layer I mp1.
found_s measure_mp3(window_c& w) {
    const std::uint8_t* p = w.at(0, 10);
    if (!p) {
        return {};
    }
    std::uint64_t pos = 0;
    if (std::memcmp(p, "ID3", 3) == 0) {
        if (p[3] < 2 || p[3] > 4 || (p[6] | p[7] | p[8] | p[9]) & 0x80) {
            return {};
        }
        pos = 10 + ((static_cast<std::uint64_t>(p[6]) << 21) | (p[7] << 14) | (p[8] << 7) | p[9]);
        if (p[5] & 0x10) {
            pos += 10;
        }
        // Some writers pad past the tag's size with zeros.
        for (int i = 0; i < 65536; ++i) {
            const std::uint8_t* z = w.at(pos, 1);
            if (!z || *z != 0) {
                break;
            }
            ++pos;
        }
    }
    const bool tagged = pos > 0;
    std::uint32_t key = 0;
    std::uint64_t frames = 0;
    for (;;) {
        const std::uint8_t* h = w.at(pos, 4);
        mpeg_frame_s frame;
        if (!h || !mpeg_frame(h, &frame) || (frames > 0 && frame.key != key)) {
            break;
        }
        if (pos + frame.length > w.bound()) {
            break;
        }
        key = frame.key;
        pos += frame.length;
        ++frames;
    }
    if (frames < (tagged ? 2u : 8u)) {
        return {};
    }
    const std::uint8_t* tag = w.at(pos, 3);
    if (tag && std::memcmp(tag, "TAG", 3) == 0 && pos + 128 <= w.bound()) {
        pos += 128;
    }
    static const char* const by_layer[4] = {nullptr, "mp3", "mp2", "mp1"};
    return {pos, by_layer[(key >> 2) & 3]};
}

namespace {

std::uint8_t crc8_flac(const std::uint8_t* p, std::size_t n) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

struct crc16_table_s {
    std::uint16_t t[256];
    crc16_table_s() {
        for (int i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k) {
                c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
            }
            t[i] = c;
        }
    }
};

// A FLAC frame header at h (16 bytes available): its length and the samples in the frame.
bool flac_frame_header(const std::uint8_t* h, std::uint32_t rate_bits_expected, std::size_t* length,
                       std::uint32_t* samples) {
    if (h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) {
        return false;
    }
    const int block = h[2] >> 4;
    const int rate = h[2] & 15;
    if (block == 0 || rate == 15 || (h[3] & 1) || (h[3] >> 4) > 10 || ((h[3] >> 1) & 7) == 3 ||
        ((h[3] >> 1) & 7) == 7) {
        return false;
    }
    (void)rate_bits_expected;
    std::size_t i = 4;
    // The frame or sample number, UTF-8 coded.
    int extra = 0;
    if (h[i] < 0x80) {
        extra = 0;
    } else if ((h[i] & 0xE0) == 0xC0) {
        extra = 1;
    } else if ((h[i] & 0xF0) == 0xE0) {
        extra = 2;
    } else if ((h[i] & 0xF8) == 0xF0) {
        extra = 3;
    } else if ((h[i] & 0xFC) == 0xF8) {
        extra = 4;
    } else if ((h[i] & 0xFE) == 0xFC) {
        extra = 5;
    } else if (h[i] == 0xFE) {
        extra = 6;
    } else {
        return false;
    }
    for (int k = 1; k <= extra; ++k) {
        if ((h[i + k] & 0xC0) != 0x80) {
            return false;
        }
    }
    i += 1 + extra;
    std::uint32_t count = 0;
    static const std::uint32_t fixed[16] = {0,   192, 576,  1152, 2304, 4608, 0,     0,
                                            256, 512, 1024, 2048, 4096, 8192, 16384, 32768};
    if (block == 6) {
        count = h[i] + 1u;
        i += 1;
    } else if (block == 7) {
        count = be16(h + i) + 1u;
        i += 2;
    } else {
        count = fixed[block];
    }
    if (rate == 12) {
        i += 1;
    } else if (rate == 13 || rate == 14) {
        i += 2;
    }
    if (crc8_flac(h, i) != h[i]) {
        return false;
    }
    *length = i + 1;
    *samples = count;
    return true;
}

}  // namespace

// FLAC: metadata blocks from STREAMINFO to the last one, then frames: each frame's header
// (with its CRC-8) and its CRC-16, which covers the whole frame; the frames are followed
// until STREAMINFO's count of samples is reached.
found_s measure_flac(window_c& w) {
    const std::uint8_t* p = w.at(0, 42);
    if (!p || std::memcmp(p, "fLaC", 4) != 0 || (p[4] & 0x7F) != 0 || le32(p + 4) == 0 ||
        ((p[5] << 16) | (p[6] << 8) | p[7]) != 34) {
        return {};
    }
    const std::uint8_t* info = p + 8;
    const std::uint32_t min_frame = (info[4] << 16) | (info[5] << 8) | info[6];
    const std::uint64_t total_samples =
        (static_cast<std::uint64_t>(info[13] & 15) << 32) | be32(info + 14);
    std::uint64_t pos = 4;
    for (int blocks = 0;; ++blocks) {
        const std::uint8_t* b = w.at(pos, 4);
        if (!b || blocks > 1000 || (b[0] & 0x7F) == 127) {
            return {};
        }
        pos += 4 + ((static_cast<std::uint64_t>(b[1]) << 16) | (b[2] << 8) | b[3]);
        if (b[0] & 0x80) {
            break;
        }
    }
    static const crc16_table_s table;
    std::uint64_t samples = 0;
    std::uint64_t frame_start = pos;
    std::uint64_t end = 0;
    std::size_t header_length = 0;
    std::uint32_t frame_samples = 0;
    {
        const std::uint8_t* h = w.at(frame_start, 16);
        if (!h || !flac_frame_header(h, 0, &header_length, &frame_samples)) {
            return {};
        }
    }
    std::uint16_t crc = 0;
    std::uint64_t q = frame_start;
    while (end == 0) {
        std::size_t got = 0;
        const std::uint8_t* d = w.some(q, view_max_span, &got);
        if (!d || got == 0) {
            return {};
        }
        std::size_t i = 0;
        bool refetch = false;
        for (; i < got; ++i) {
            const std::uint64_t at = q + i;
            const std::uint64_t in_frame = at - frame_start;
            if (crc == 0 && in_frame > header_length + 2) {
                const bool last = total_samples != 0 && samples + frame_samples >= total_samples;
                bool next_frame = false;
                if (!last && i + 1 < got && d[i] == 0xFF && (d[i + 1] & 0xFE) == 0xF8) {
                    std::size_t next_length = 0;
                    std::uint32_t next_samples = 0;
                    std::uint8_t copy[16] = {};
                    const std::uint8_t* h = w.at(at, 16);
                    if (h) {
                        std::memcpy(copy, h, 16);
                        next_frame = flac_frame_header(copy, 0, &next_length, &next_samples);
                    }
                    refetch = true;
                    if (next_frame) {
                        samples += frame_samples;
                        frame_start = at;
                        header_length = next_length;
                        frame_samples = next_samples;
                    }
                }
                if (last && in_frame >= min_frame) {
                    end = at;
                    break;
                }
                if (refetch) {
                    q = at;
                    break;
                }
            }
            crc = static_cast<std::uint16_t>((crc << 8) ^ table.t[(crc >> 8) ^ d[i]]);
            if (at - frame_start > 16 * 1024 * 1024) {
                return {};
            }
        }
        if (end == 0 && !refetch) {
            q += got;
        } else if (refetch && end == 0) {
            // Continue the CRC over the byte at q on the next pass.
            const std::uint8_t* one = w.at(q, 1);
            if (!one) {
                return {};
            }
            crc = static_cast<std::uint16_t>((crc << 8) ^ table.t[(crc >> 8) ^ one[0]]);
            q += 1;
        }
    }
    return {end, "flac"};
}

namespace {

struct ogg_crc_table_s {
    std::uint32_t t[256];
    ogg_crc_table_s() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) {
                c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
            }
            t[i] = c;
        }
    }
};

}  // namespace

// Ogg (RFC 3533): pages with their segment tables; the first page opens a stream and its
// CRC is checked; the file ends after the page that closes the last open stream.
found_s measure_ogg(window_c& w) {
    const std::uint8_t* p = w.at(0, 27);
    if (!p || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0 || (p[5] & 0x02) == 0) {
        return {};
    }
    std::uint64_t pos = 0;
    std::set<std::uint32_t> open;
    const char* type = "ogg";
    for (int pages = 0;; ++pages) {
        const std::uint8_t* h = w.at(pos, 27);
        if (!h || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0 || (h[5] & 0xF8)) {
            break;
        }
        const std::uint8_t flags = h[5];
        const std::uint32_t serial = le32(h + 14);
        const std::uint8_t segments = h[26];
        const std::uint8_t* table = w.at(pos + 27, segments);
        if (!table) {
            break;
        }
        std::uint64_t body = 0;
        for (int i = 0; i < segments; ++i) {
            body += table[i];
        }
        const std::uint64_t length = 27 + segments + body;
        if (pos + length > w.bound()) {
            break;
        }
        if (pages == 0) {
            static const ogg_crc_table_s crc_table;
            const std::uint8_t* page = w.at(0, static_cast<std::size_t>(length));
            if (!page) {
                return {};
            }
            std::uint32_t crc = 0;
            for (std::uint64_t i = 0; i < length; ++i) {
                const std::uint8_t byte = (i >= 22 && i < 26) ? 0 : page[i];
                crc = (crc << 8) ^ crc_table.t[(crc >> 24) ^ byte];
            }
            if (crc != le32(page + 22)) {
                return {};
            }
            if (body >= 8 && std::memcmp(page + 27 + segments, "OpusHead", 8) == 0) {
                type = "opus";
            } else if (body >= 7 && std::memcmp(page + 27 + segments, "\x80theora", 7) == 0) {
                type = "ogv";
            }
        }
        if (flags & 0x02) {
            open.insert(serial);
        }
        pos += length;
        if (flags & 0x04) {
            open.erase(serial);
            if (open.empty()) {
                return {pos, type};
            }
        }
    }
    return pos > 0 ? found_s{pos, type} : found_s{};
}

// AIFF and AIFF-C (EA IFF 85, big-endian): the FORM's length field, with chunks that fit.
found_s measure_aiff(window_c& w) {
    const std::uint8_t* p = w.at(0, 20);
    if (!p || std::memcmp(p, "FORM", 4) != 0 ||
        (std::memcmp(p + 8, "AIFF", 4) != 0 && std::memcmp(p + 8, "AIFC", 4) != 0)) {
        return {};
    }
    const std::uint64_t size = 8 + static_cast<std::uint64_t>(be32(p + 4));
    if (size < 20 || size > w.bound()) {
        return {};
    }
    std::uint64_t pos = 12;
    bool common = false;
    while (pos + 8 <= size) {
        const std::uint8_t* c = w.at(pos, 8);
        if (!c || !printable4(c)) {
            return {};
        }
        common = common || std::memcmp(c, "COMM", 4) == 0;
        pos += 8 + static_cast<std::uint64_t>(be32(c + 4)) + (be32(c + 4) & 1);
    }
    return common && pos <= size + 1 ? found_s{size, "aiff"} : found_s{};
}

}  // namespace sig
