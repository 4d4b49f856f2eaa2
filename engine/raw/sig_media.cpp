// Audio and video: RIFF (WAVE, AVI, WebP), MPEG audio, ISO media (MP4, QuickTime),
// Matroska, FLAC and Ogg.
#include "sig_format.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
        version == 3 ? v1[3 - layer][bitrate_index] : v2[layer == 3 ? 1 : 0][bitrate_index];
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

// MP3: an ID3v2 tag (its syncsafe size) or the first frame, then MPEG layer III frames of
// one version and sample rate for as long as they follow each other, then an ID3v1 tag.
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
        if (frames == 0 && ((frame.key >> 2) & 3) != 1) {
            return {};  // layer I and II streams are not MP3
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
    return {pos, "mp3"};
}

namespace {

bool iso_top_level(const std::uint8_t* t) {
    static const char* known[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                  "meta", "pdin", "moof", "mfra", "sidx", "styp", "pnot",
                                  "junk", "prfl", "emsg", "prft", "ssix", "leva", "PICT"};
    for (const char* k : known) {
        if (std::memcmp(t, k, 4) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

// The type an ISO media file's brands name: the major brand, else the first compatible
// brand that says more. *image: a HEIF or AVIF picture.
const char* iso_brand_type(window_c& w, std::uint32_t ftyp_size, bool* image) {
    if (ftyp_size < 16 || ftyp_size > 4096) {
        return nullptr;
    }
    const std::uint8_t* f = w.at(0, ftyp_size);
    if (!f) {
        return nullptr;
    }
    static const struct {
        const char brand[5];
        const char* type;
        bool image;
    } known[] = {
        {"qt  ", "mov", false}, {"M4A ", "m4a", false}, {"M4B ", "m4a", false},
        {"heic", "heic", true}, {"heix", "heic", true}, {"hevc", "heic", true},
        {"heim", "heic", true}, {"heis", "heic", true}, {"avif", "avif", true},
        {"avis", "avif", true}, {"mif1", "heic", true}, {"3gp4", "3gp", false},
        {"3gp5", "3gp", false}, {"3gp6", "3gp", false}, {"3g2a", "3gp", false},
    };
    // The major brand at 8, then the compatible brands from 16.
    for (std::uint32_t at = 8; at + 4 <= ftyp_size; at = at == 8 ? 16 : at + 4) {
        for (const auto& k : known) {
            if (std::memcmp(f + at, k.brand, 4) == 0 && (at == 8 || k.image)) {
                *image = k.image;
                return k.type;
            }
        }
    }
    *image = false;
    return "mp4";
}

}  // namespace

// ISO base media (MP4, M4A, 3GP, HEIF, AVIF) and QuickTime: top-level boxes with their 32- or
// 64-bit sizes for as long as known box types follow; a movie box and media data must both be
// present.
found_s measure_mp4(window_c& w) {
    const std::uint8_t* p = w.at(0, 12);
    if (!p || !iso_top_level(p + 4)) {
        return {};
    }
    const char* type = "mov";
    bool image = false;  // HEIF and AVIF pictures: an item box ("meta") instead of a movie
    if (std::memcmp(p + 4, "ftyp", 4) == 0) {
        if (!printable4(p + 8)) {
            return {};
        }
        type = iso_brand_type(w, be32(p), &image);
        if (!type) {
            return {};
        }
    } else if (std::memcmp(p + 4, "moov", 4) != 0 && std::memcmp(p + 4, "mdat", 4) != 0 &&
               std::memcmp(p + 4, "wide", 4) != 0) {
        return {};
    }
    std::uint64_t pos = 0;
    bool movie = false;
    bool media = false;
    for (int boxes = 0; boxes < 100000; ++boxes) {
        const std::uint8_t* b = w.at(pos, 16);
        if (!b) {
            b = w.at(pos, 8);
        }
        if (!b || !iso_top_level(b + 4)) {
            break;
        }
        std::uint64_t size = be32(b);
        if (size == 1) {
            const std::uint8_t* large = w.at(pos + 8, 8);
            if (!large) {
                break;
            }
            size = be64(large);
            if (size < 16) {
                break;
            }
        } else if (size < 8) {
            break;  // 0 ("to the end of the file") cannot be bounded
        }
        if (size > w.bound() - pos) {
            break;
        }
        movie = movie || std::memcmp(b + 4, image ? "meta" : "moov", 4) == 0;
        media = media || std::memcmp(b + 4, "mdat", 4) == 0 || std::memcmp(b + 4, "moof", 4) == 0;
        pos += size;
    }
    if (!movie || !media) {
        return {};
    }
    return {pos, type};
}

namespace {

// An EBML variable-length number: its length in bytes (0 when invalid) and value; the
// marker bit is kept for element IDs and dropped for sizes.
int ebml_number(const std::uint8_t* p, bool keep_marker, std::uint64_t* value, bool* unknown) {
    int length = 1;
    std::uint8_t mask = 0x80;
    while (length <= 8 && !(p[0] & mask)) {
        mask >>= 1;
        ++length;
    }
    if (length > 8) {
        return 0;
    }
    std::uint64_t v = keep_marker ? p[0] : (p[0] & (mask - 1));
    bool all_ones = (p[0] & (mask - 1)) == (mask - 1);
    for (int i = 1; i < length; ++i) {
        v = v << 8 | p[i];
        all_ones = all_ones && p[i] == 0xFF;
    }
    *value = v;
    if (unknown) {
        *unknown = all_ones;
    }
    return length;
}

}  // namespace

// Matroska and WebM: the EBML header with its document type, then the segment's size; a
// segment of unknown size ends where its top-level elements stop.
found_s measure_mkv(window_c& w) {
    const std::uint8_t* p = w.at(0, 16);
    if (!p || be32(p) != 0x1A45DFA3) {
        return {};
    }
    std::uint64_t header_size = 0;
    bool unknown = false;
    const int n = ebml_number(p + 4, false, &header_size, &unknown);
    if (n == 0 || unknown || header_size > 4096) {
        return {};
    }
    const std::uint64_t header_end = 4 + n + header_size;
    const std::uint8_t* header = w.at(4 + n, static_cast<std::size_t>(header_size));
    if (!header) {
        return {};
    }
    const char* type = nullptr;
    for (std::uint64_t i = 0; i + 2 < header_size;) {
        std::uint64_t id = 0;
        std::uint64_t size = 0;
        std::uint8_t element[16] = {};
        std::memcpy(element, header + i,
                    static_cast<std::size_t>(std::min<std::uint64_t>(16, header_size - i)));
        const int a = ebml_number(element, true, &id, nullptr);
        const int b = a ? ebml_number(element + a, false, &size, nullptr) : 0;
        if (!a || !b || i + a + b + size > header_size) {
            return {};
        }
        if (id == 0x4282) {
            const std::uint8_t* doc = header + i + a + b;
            if (size >= 8 && std::memcmp(doc, "matroska", 8) == 0) {
                type = "mkv";
            } else if (size >= 4 && std::memcmp(doc, "webm", 4) == 0) {
                type = "webm";
            }
        }
        i += a + b + size;
    }
    if (!type) {
        return {};
    }
    const std::uint8_t* s = w.at(header_end, 12);
    if (!s || be32(s) != 0x18538067) {
        return {};
    }
    std::uint64_t segment = 0;
    const int m = ebml_number(s + 4, false, &segment, &unknown);
    if (m == 0) {
        return {};
    }
    std::uint64_t pos = header_end + 4 + m;
    if (!unknown) {
        if (segment > w.bound() - pos) {
            return {};
        }
        return {pos + segment, type};
    }
    static const std::uint32_t top[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B,
                                        0x1941A469, 0x1043A770, 0x1254C367, 0xEC,       0xBF};
    for (int elements = 0; elements < 10000000; ++elements) {
        const std::uint8_t* e = w.at(pos, 12);
        if (!e) {
            break;
        }
        std::uint64_t id = 0;
        std::uint64_t size = 0;
        const int a = ebml_number(e, true, &id, nullptr);
        const int b = a ? ebml_number(e + a, false, &size, &unknown) : 0;
        if (!a || !b || unknown || std::find(std::begin(top), std::end(top), id) == std::end(top) ||
            size > w.bound() - pos - a - b) {
            break;
        }
        pos += a + b + size;
    }
    return pos > header_end + 4 + m ? found_s{pos, type} : found_s{};
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

namespace {

const std::uint8_t asf_header[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const std::uint8_t asf_data[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
// The index objects that may follow the data object.
const std::uint8_t asf_indexes[4][16] = {{0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89,
                                          0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB},
                                         {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90,
                                          0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE},
                                         {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84,
                                          0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C},
                                         {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95,
                                          0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C}};
// The stream type of video streams, in a stream properties object of the header.
const std::uint8_t asf_video[16] = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                                    0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

}  // namespace

// ASF (Windows Media): the header object, the data object and the index objects after it,
// each with its 64-bit size; a header that holds a video stream makes the file a wmv.
found_s measure_asf(window_c& w) {
    const std::uint8_t* h = w.at(0, 30);
    if (!h || std::memcmp(h, asf_header, 16) != 0) {
        return {};
    }
    const std::uint64_t header_size = le64(h + 16);
    if (header_size < 30 || header_size > view_max_span || le32(h + 24) == 0 || h[29] != 0x02) {
        return {};
    }
    const std::uint8_t* header = w.at(0, static_cast<std::size_t>(header_size));
    if (!header) {
        return {};
    }
    bool video = false;
    for (std::uint64_t i = 30; i + 16 <= header_size && !video; ++i) {
        video = std::memcmp(header + i, asf_video, 16) == 0;
    }
    std::uint64_t pos = header_size;
    const std::uint8_t* d = w.at(pos, 24);
    if (!d || std::memcmp(d, asf_data, 16) != 0 || le64(d + 16) < 50 ||
        le64(d + 16) > w.bound() - pos) {
        return {};
    }
    pos += le64(d + 16);
    for (int objects = 0; objects < 16; ++objects) {
        const std::uint8_t* o = w.at(pos, 24);
        if (!o) {
            break;
        }
        bool index = false;
        for (const auto& guid : asf_indexes) {
            index = index || std::memcmp(o, guid, 16) == 0;
        }
        const std::uint64_t size = le64(o + 16);
        if (!index || size < 24 || size > w.bound() - pos) {
            break;
        }
        pos += size;
    }
    return {pos, video ? "wmv" : "wma"};
}

// MPEG program streams (MPEG-1 system and MPEG-2 PS, .mpg and .vob): pack headers and the
// packets between them, each with its length, up to the end code 0x000001B9.
found_s measure_mpg(window_c& w) {
    std::uint64_t pos = 0;
    int packets = 0;
    for (;;) {
        const std::uint8_t* b = w.at(pos, 14);
        if (!b || b[0] != 0 || b[1] != 0 || b[2] != 1) {
            break;
        }
        const std::uint8_t code = b[3];
        if (code == 0xB9) {
            pos += 4;
            break;
        }
        if (code == 0xBA) {
            if ((b[4] & 0xC0) == 0x40) {
                pos += 14 + (b[13] & 7);
            } else if ((b[4] & 0xF0) == 0x20) {
                pos += 12;
            } else {
                break;
            }
        } else if (code >= 0xBB) {
            pos += 6 + static_cast<std::uint64_t>(be16(b + 4));
            ++packets;
        } else {
            break;
        }
        if (pos > w.bound()) {
            return {};
        }
    }
    return packets >= 2 ? found_s{pos, "mpg"} : found_s{};
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

// Flash video: the header, then tags (audio 8, video 9, script 18), each followed by the
// size of the tag before it, which must match; the file ends after the last tag.
found_s measure_flv(window_c& w) {
    const std::uint8_t* p = w.at(0, 13);
    if (!p || std::memcmp(p, "FLV\x01", 4) != 0 || (p[4] & 0xFA) != 0 || be32(p + 5) < 9 ||
        be32(p + 5) > 1024) {
        return {};
    }
    std::uint64_t pos = be32(p + 5);
    const std::uint8_t* first = w.at(pos, 4);
    if (!first || be32(first) != 0) {
        return {};
    }
    pos += 4;
    int tags = 0;
    for (;;) {
        const std::uint8_t* t = w.at(pos, 11);
        if (!t) {
            break;
        }
        const std::uint8_t type = t[0] & 0x1F;
        const std::uint32_t data = static_cast<std::uint32_t>(t[1] << 16 | t[2] << 8 | t[3]);
        if ((type != 8 && type != 9 && type != 18) || (t[8] | t[9] | t[10]) != 0) {
            break;
        }
        const std::uint8_t* back = w.at(pos + 11 + data, 4);
        if (!back || be32(back) != 11 + data) {
            break;
        }
        pos += 11 + data + 4;
        ++tags;
    }
    return tags > 0 ? found_s{pos, "flv"} : found_s{};
}

}  // namespace sig
