// Video and other ISO media: MP4 and its relatives (QuickTime, M4A, 3GP, HEIF, AVIF),
// Matroska and WebM, ASF (Windows Media), MPEG program streams and Flash video.
#include "sig_format.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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

}  // namespace

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
        {"crx ", "cr3", false},
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
