// Image formats: JPEG, PNG, GIF, BMP, TIFF, Photoshop and Windows icons.
#include "sig_format.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

namespace sig {

// JPEG (ITU T.81): marker segments with lengths up to the first scan; entropy-coded data
// runs to the next marker that is not a stuffed 0xFF00 or a restart; the file ends at the
// end-of-image marker after the last scan.
found_s measure_jpg(window_c& w) {
    const std::uint8_t* p = w.at(0, 4);
    if (!p || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) {
        return {};
    }
    const std::uint8_t first = p[3];
    const bool good_first = (first >= 0xE0 && first <= 0xEF) || first == 0xDB || first == 0xC4 ||
                            first == 0xC0 || first == 0xC2 || first == 0xFE || first == 0xDD;
    if (!good_first) {
        return {};
    }
    std::uint64_t pos = 2;
    bool frame = false;
    bool scan = false;
    for (int segments = 0; segments < 1000000; ++segments) {
        const std::uint8_t* m = w.at(pos, 2);
        if (!m || m[0] != 0xFF) {
            return {};
        }
        std::uint8_t code = m[1];
        if (code == 0xFF) {  // fill byte before a marker
            ++pos;
            continue;
        }
        if (code == 0xD9) {
            return frame && scan ? found_s{pos + 2, "jpg"} : found_s{};
        }
        if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {
            pos += 2;
            continue;
        }
        if (code == 0x00 || code == 0xD8) {
            return {};
        }
        const std::uint8_t* l = w.at(pos + 2, 2);
        if (!l || be16(l) < 2) {
            return {};
        }
        if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
            frame = true;
        }
        pos += 2 + be16(l);
        if (code != 0xDA) {
            continue;
        }
        if (!frame) {
            return {};
        }
        scan = true;
        // Entropy-coded data: find the next 0xFF that starts a real marker.
        for (;;) {
            std::size_t got = 0;
            const std::uint8_t* d = w.some(pos, view_max_span, &got);
            if (!d || got < 2) {
                return {};
            }
            const std::uint8_t* ff =
                static_cast<const std::uint8_t*>(std::memchr(d, 0xFF, got - 1));
            if (!ff) {
                pos += got - 1;
                continue;
            }
            pos += static_cast<std::uint64_t>(ff - d);
            const std::uint8_t next = ff[1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                pos += next == 0xFF ? 1 : 2;
                continue;
            }
            break;
        }
    }
    return {};
}

// PNG: the signature, IHDR first, then chunks with lengths up to IEND.
found_s measure_png(window_c& w) {
    const std::uint8_t* p = w.at(0, 16);
    static const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!p || std::memcmp(p, sig, 8) != 0 || be32(p + 8) != 13 || std::memcmp(p + 12, "IHDR", 4)) {
        return {};
    }
    std::uint64_t pos = 8;
    for (;;) {
        const std::uint8_t* c = w.at(pos, 8);
        if (!c) {
            return {};
        }
        const std::uint32_t length = be32(c);
        if (length > 0x7FFFFFFFu) {
            return {};
        }
        for (int i = 4; i < 8; ++i) {
            const bool letter = (c[i] >= 'A' && c[i] <= 'Z') || (c[i] >= 'a' && c[i] <= 'z');
            if (!letter) {
                return {};
            }
        }
        const bool end = std::memcmp(c + 4, "IEND", 4) == 0;
        pos += 12 + static_cast<std::uint64_t>(length);
        if (pos > w.bound()) {
            return {};
        }
        if (end) {
            return {pos, "png"};
        }
    }
}

namespace {

// GIF data sub-blocks from pos; the position after the terminator, 0 when cut off.
std::uint64_t skip_sub_blocks(window_c& w, std::uint64_t pos) {
    for (;;) {
        const std::uint8_t* n = w.at(pos, 1);
        if (!n) {
            return 0;
        }
        pos += 1 + static_cast<std::uint64_t>(n[0]);
        if (n[0] == 0) {
            return pos;
        }
    }
}

}  // namespace

// GIF 87a/89a: screen descriptor and colour table, then image descriptors and extensions
// with their sub-blocks up to the trailer 0x3B.
found_s measure_gif(window_c& w) {
    const std::uint8_t* p = w.at(0, 13);
    if (!p || std::memcmp(p, "GIF8", 4) != 0 || (p[4] != '7' && p[4] != '9') || p[5] != 'a') {
        return {};
    }
    std::uint64_t pos = 13;
    if (p[10] & 0x80) {
        pos += 3u << ((p[10] & 7) + 1);
    }
    int images = 0;
    for (;;) {
        const std::uint8_t* b = w.at(pos, 1);
        if (!b) {
            return {};
        }
        if (b[0] == 0x3B) {
            return images > 0 ? found_s{pos + 1, "gif"} : found_s{};
        }
        if (b[0] == 0x21) {
            pos = skip_sub_blocks(w, pos + 2);
        } else if (b[0] == 0x2C) {
            const std::uint8_t* d = w.at(pos, 11);
            if (!d) {
                return {};
            }
            pos += 10;
            if (d[9] & 0x80) {
                pos += 3u << ((d[9] & 7) + 1);
            }
            const std::uint8_t* code_size = w.at(pos, 1);
            if (!code_size || code_size[0] < 1 || code_size[0] > 12) {
                return {};
            }
            pos = skip_sub_blocks(w, pos + 1);
            ++images;
        } else {
            return {};
        }
        if (pos == 0) {
            return {};
        }
    }
}

// BMP: the file header's size, checked against the info header and the pixel data that an
// uncompressed bitmap must hold.
found_s measure_bmp(window_c& w) {
    const std::uint8_t* p = w.at(0, 54);
    if (!p || p[0] != 'B' || p[1] != 'M') {
        return {};
    }
    const std::uint32_t size = le32(p + 2);
    const std::uint32_t data = le32(p + 10);
    const std::uint32_t info = le32(p + 14);
    if (le32(p + 6) != 0 || !(info == 12 || info == 40 || info == 52 || info == 56 || info == 64 ||
                              info == 108 || info == 124)) {
        return {};
    }
    if (data < 14 + info || data >= size) {
        return {};
    }
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint32_t planes = 0;
    std::uint32_t bits = 0;
    std::uint32_t compression = 0;
    if (info == 12) {
        width = le16(p + 18);
        height = le16(p + 20);
        planes = le16(p + 22);
        bits = le16(p + 24);
    } else {
        width = static_cast<std::int32_t>(le32(p + 18));
        height = static_cast<std::int32_t>(le32(p + 22));
        planes = le16(p + 26);
        bits = le16(p + 28);
        compression = le32(p + 30);
    }
    if (height < 0) {
        height = -height;
    }
    const bool good_bits =
        bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (width <= 0 || width > 100000 || height == 0 || height > 100000 || planes != 1 ||
        !good_bits || compression > 6) {
        return {};
    }
    if (compression == 0 || compression == 3) {
        const std::uint64_t row = ((static_cast<std::uint64_t>(width) * bits + 31) / 32) * 4;
        if (static_cast<std::uint64_t>(size) < data + row * static_cast<std::uint64_t>(height)) {
            return {};
        }
    }
    if (size > w.bound()) {
        return {};
    }
    return {size, "bmp"};
}

namespace {

std::uint32_t tiff_type_size(std::uint16_t type) {
    static const std::uint8_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizeof sizes ? sizes[type] : 0;
}

struct tiff_reader_s {
    window_c& w;
    bool big_endian;
    std::uint16_t u16(const std::uint8_t* p) const { return big_endian ? be16(p) : le16(p); }
    std::uint32_t u32(const std::uint8_t* p) const { return big_endian ? be32(p) : le32(p); }
    // Element i of a SHORT or LONG array, inline or at offset; false when unreadable.
    bool element(const std::uint8_t* entry, std::uint32_t i, std::uint64_t* value) {
        const std::uint16_t type = u16(entry + 2);
        const std::uint32_t count = u32(entry + 4);
        const std::uint32_t unit = type == 3 ? 2 : (type == 4 ? 4 : 0);
        if (unit == 0 || i >= count) {
            return false;
        }
        const std::uint8_t* v = nullptr;
        if (static_cast<std::uint64_t>(count) * unit <= 4) {
            v = entry + 8 + i * unit;
        } else {
            v = w.at(u32(entry + 8) + static_cast<std::uint64_t>(i) * unit, unit);
        }
        if (!v) {
            return false;
        }
        *value = unit == 2 ? u16(v) : u32(v);
        return true;
    }
};

}  // namespace

namespace {

// What tells a camera's RAW file from a plain TIFF: its header, its maker and its tags.
struct tiff_kind_s {
    bool olympus = false;    // "IIRO", "IIRS", "MMOR"
    bool panasonic = false;  // "IIU\0"
    bool canon = false;      // "CR" and version 2 after the header
    bool dng = false;        // a DNGVersion tag
    bool sensor = false;     // colour-filter-array or linear raw data, or a maker's raw coding
    char make[16] = {};

    bool make_is(const char* prefix) const {
        return std::strncmp(make, prefix, std::strlen(prefix)) == 0;
    }
    const char* type() const {
        if (olympus) {
            return "orf";
        }
        if (panasonic) {
            return "rw2";
        }
        if (dng) {
            return "dng";
        }
        if (canon && make_is("Canon")) {
            return "cr2";
        }
        if (sensor) {
            if (make_is("NIKON")) {
                return "nef";
            }
            if (make_is("SONY")) {
                return "arw";
            }
            if (make_is("PENTAX") || make_is("RICOH") || make_is("Asahi")) {
                return "pef";
            }
        }
        return "tif";
    }
};

}  // namespace

// TIFF (6.0) and the camera RAW files built on it (TIFF/EP, DNG, CR2, NEF, ARW, PEF, ORF,
// RW2): the chain of image file directories, their sub-directories, out-of-line values (a
// maker note with the previews it holds) and the strips or tiles they point to, the embedded
// JPEG previews among them; the file ends after the last of them.
found_s measure_tif(window_c& w) {
    const std::uint8_t* p = w.at(0, 8);
    if (!p) {
        return {};
    }
    tiff_kind_s kind;
    kind.olympus = (std::memcmp(p, "IIR", 3) == 0 && (p[3] == 'O' || p[3] == 'S')) ||
                   std::memcmp(p, "MMOR", 4) == 0;
    kind.panasonic = std::memcmp(p, "IIU\0", 4) == 0;
    const bool little =
        p[0] == 'I' && p[1] == 'I' && ((p[2] == 42 && p[3] == 0) || kind.panasonic || p[2] == 'R');
    const bool big = p[0] == 'M' && p[1] == 'M' && ((p[2] == 0 && p[3] == 42) || kind.olympus);
    if (!little && !big) {
        return {};
    }
    tiff_reader_s r{w, big};
    if (const std::uint8_t* cr = w.at(8, 4)) {
        kind.canon = cr[0] == 'C' && cr[1] == 'R' && cr[2] == 2;
    }
    p = w.at(0, 8);
    if (!p) {
        return {};
    }
    std::uint64_t end = 8;
    std::vector<std::uint64_t> pending{r.u32(p + 4)};
    std::set<std::uint64_t> seen;
    bool has_image = false;
    while (!pending.empty()) {
        const std::uint64_t ifd = pending.back();
        pending.pop_back();
        if (ifd < 8 || seen.size() > 256) {
            return {};
        }
        if (!seen.insert(ifd).second) {
            continue;  // a loop in the chain
        }
        const std::uint8_t* n = w.at(ifd, 2);
        if (!n) {
            return {};
        }
        const std::uint16_t count = r.u16(n);
        if (count == 0 || count > 4096) {
            return {};
        }
        const std::uint64_t ifd_end = ifd + 2 + 12ull * count + 4;
        const std::uint8_t* next = w.at(ifd_end - 4, 4);
        if (!next) {
            return {};
        }
        end = std::max(end, ifd_end);
        if (r.u32(next) != 0) {
            pending.push_back(r.u32(next));
        }
        const std::uint8_t* offsets_entry = nullptr;
        const std::uint8_t* counts_entry = nullptr;
        std::uint8_t offsets_copy[12];
        std::uint8_t counts_copy[12];
        std::uint16_t previous_tag = 0;
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::uint8_t* at_entry = w.at(ifd + 2 + 12ull * i, 12);
            if (!at_entry) {
                return {};
            }
            std::uint8_t e[12];  // a copy: reading values may move the view
            std::memcpy(e, at_entry, 12);
            const std::uint16_t tag = r.u16(e);
            const std::uint16_t type = r.u16(e + 2);
            const std::uint32_t values = r.u32(e + 4);
            const std::uint32_t unit = tiff_type_size(type);
            if (unit == 0 || tag < previous_tag) {
                return {};
            }
            previous_tag = tag;
            const std::uint64_t bytes = static_cast<std::uint64_t>(values) * unit;
            if (bytes > 4) {
                end = std::max(end, r.u32(e + 8) + bytes);
            }
            const std::uint32_t inline_short = type == 3 && values == 1 ? r.u16(e + 8) : 0;
            if (tag == 271 && type == 2 && values > 1) {  // Make
                const std::size_t n = std::min<std::size_t>(values, sizeof kind.make - 1);
                const std::uint8_t* m = bytes > 4 ? w.at(r.u32(e + 8), n) : e + 8;
                if (m) {
                    std::memcpy(kind.make, m, n);
                }
            } else if (tag == 50706) {  // DNGVersion
                kind.dng = true;
            } else if ((tag == 262 && (inline_short == 32803 || inline_short == 34892)) ||
                       (tag == 259 &&
                        (inline_short == 34713 || inline_short == 32767 || inline_short == 65535 ||
                         inline_short == 32769 || inline_short == 32770))) {
                kind.sensor = true;  // CFA or linear raw; Nikon, Sony, Pentax raw coding
            }
            if (tag == 273 || tag == 324 || tag == 513) {
                std::memcpy(offsets_copy, e, 12);
                offsets_entry = offsets_copy;
            } else if (tag == 279 || tag == 325 || tag == 514) {
                std::memcpy(counts_copy, e, 12);
                counts_entry = counts_copy;
            } else if ((tag == 330 || tag == 34665 || tag == 34853) && (type == 4 || type == 13)) {
                for (std::uint32_t k = 0; k < values && k < 64; ++k) {
                    std::uint64_t sub = 0;
                    std::uint8_t as_long[12];
                    std::memcpy(as_long, e, 12);
                    as_long[big ? 3 : 2] = 4;  // read IFD-typed offsets as LONG
                    as_long[big ? 2 : 3] = 0;
                    if (r.element(as_long, k, &sub) && sub != 0) {
                        pending.push_back(sub);
                    }
                }
            }
            if (offsets_entry && counts_entry) {
                const std::uint32_t strips =
                    std::min(r.u32(offsets_entry + 4), r.u32(counts_entry + 4));
                if (strips > 1000000) {
                    return {};
                }
                for (std::uint32_t k = 0; k < strips; ++k) {
                    std::uint64_t offset = 0;
                    std::uint64_t length = 0;
                    if (!r.element(offsets_entry, k, &offset) ||
                        !r.element(counts_entry, k, &length)) {
                        return {};
                    }
                    end = std::max(end, offset + length);
                }
                has_image = true;
                offsets_entry = nullptr;
                counts_entry = nullptr;
            }
        }
    }
    if (!has_image || end > w.bound()) {
        return {};
    }
    // Values begin on word boundaries, so writers pad a file of odd length with a zero.
    if (end & 1) {
        const std::uint8_t* pad = w.at(end, 1);
        end += pad && *pad == 0 ? 1 : 0;
    }
    return {end, kind.type()};
}

// Photoshop (PSD and PSB): the fixed header, three length-prefixed sections and the merged
// image, raw or run-length coded with its table of row lengths.
found_s measure_psd(window_c& w) {
    const std::uint8_t* p = w.at(0, 26);
    if (!p || std::memcmp(p, "8BPS", 4) != 0) {
        return {};
    }
    const std::uint16_t version = be16(p + 4);
    const std::uint16_t channels = be16(p + 12);
    const std::uint32_t height = be32(p + 14);
    const std::uint32_t width = be32(p + 18);
    const std::uint16_t depth = be16(p + 22);
    const std::uint16_t mode = be16(p + 24);
    const std::uint32_t max_side = version == 2 ? 300000 : 30000;
    if ((version != 1 && version != 2) || be32(p + 6) != 0 || be16(p + 10) != 0 || channels < 1 ||
        channels > 56 || height < 1 || height > max_side || width < 1 || width > max_side ||
        !(depth == 1 || depth == 8 || depth == 16 || depth == 32) || mode > 9) {
        return {};
    }
    std::uint64_t pos = 26;
    for (int section = 0; section < 3; ++section) {
        const bool wide = version == 2 && section == 2;
        const std::uint8_t* l = w.at(pos, wide ? 8 : 4);
        if (!l) {
            return {};
        }
        pos += (wide ? 8 + be64(l) : 4 + static_cast<std::uint64_t>(be32(l)));
        if (pos > w.bound()) {
            return {};
        }
    }
    const std::uint8_t* c = w.at(pos, 2);
    if (!c) {
        return {};
    }
    const std::uint16_t compression = be16(c);
    pos += 2;
    const std::uint64_t rows = static_cast<std::uint64_t>(channels) * height;
    if (compression == 0) {
        pos += rows * ((static_cast<std::uint64_t>(width) * depth + 7) / 8);
    } else if (compression == 1) {
        const std::uint32_t unit = version == 2 ? 4 : 2;
        std::uint64_t data = 0;
        for (std::uint64_t row = 0; row < rows; ++row) {
            const std::uint8_t* n = w.at(pos + row * unit, unit);
            if (!n) {
                return {};
            }
            data += unit == 2 ? be16(n) : be32(n);
        }
        pos += rows * unit + data;
    } else {
        return {};
    }
    if (pos > w.bound()) {
        return {};
    }
    return {pos, "psd"};
}

// Windows icons and cursors: the directory of images, each a PNG or a bitmap info header;
// the file ends after the last image.
found_s measure_ico(window_c& w) {
    const std::uint8_t* p = w.at(0, 6);
    if (!p || le16(p) != 0 || (le16(p + 2) != 1 && le16(p + 2) != 2)) {
        return {};
    }
    const bool icon = le16(p + 2) == 1;
    const std::uint16_t count = le16(p + 4);
    if (count == 0 || count > 256) {
        return {};
    }
    const std::uint64_t directory_end = 6 + 16ull * count;
    std::uint64_t end = directory_end;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* e = w.at(6 + 16ull * i, 16);
        if (!e || e[3] != 0) {
            return {};
        }
        if (icon && (le16(e + 4) > 1 || le16(e + 6) > 32)) {
            return {};
        }
        const std::uint32_t size = le32(e + 8);
        const std::uint32_t offset = le32(e + 12);
        if (size < 40 || offset < directory_end) {
            return {};
        }
        const std::uint8_t* image = w.at(offset, 8);
        if (!image) {
            return {};
        }
        const bool png = std::memcmp(image, "\x89PNG\r\n\x1a\n", 8) == 0;
        if (!png && le32(image) != 40) {
            return {};
        }
        end = std::max(end, static_cast<std::uint64_t>(offset) + size);
    }
    if (end > w.bound()) {
        return {};
    }
    return {end, icon ? "ico" : "cur"};
}

namespace {

// A JPEG 2000 codestream (ISO 15444-1) at pos: the main header's marker segments, then
// tile-parts, each as long as its SOT segment says, up to the end-of-codestream marker.
std::uint64_t j2k_codestream_end(window_c& w, std::uint64_t pos) {
    const std::uint8_t* soc = w.at(pos, 4);
    if (!soc || be16(soc) != 0xFF4F || soc[2] != 0xFF || soc[3] != 0x51) {
        return 0;
    }
    pos += 2;
    for (int segments = 0; segments < 100000; ++segments) {
        const std::uint8_t* m = w.at(pos, 12);
        if (!m || m[0] != 0xFF) {
            return 0;
        }
        if (m[1] == 0xD9) {
            return pos + 2;
        }
        if (m[1] == 0x90) {  // SOT: Psot, the tile-part's length from this marker
            const std::uint32_t length = be32(m + 6);
            if (length < 14) {
                return 0;  // 0: the last tile-part runs to the end, which it does not say
            }
            pos += length;
        } else {
            const std::uint16_t length = be16(m + 2);
            if (length < 2) {
                return 0;
            }
            pos += 2 + length;
        }
        if (pos > w.bound()) {
            return 0;
        }
    }
    return 0;
}

}  // namespace

// JPEG 2000 (JP2, ISO 15444-1 annex I): the signature box, the file-type box, then boxes
// with their 32- or 64-bit lengths up to the contiguous codestream box; a codestream box
// of length 0 runs to the codestream's own end.
found_s measure_jp2(window_c& w) {
    static const std::uint8_t sig[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    const std::uint8_t* p = w.at(0, 20);
    if (!p || std::memcmp(p, sig, 12) != 0 || std::memcmp(p + 16, "ftyp", 4) != 0) {
        return {};
    }
    std::uint64_t pos = 12;
    bool codestream = false;
    for (int boxes = 0; boxes < 10000; ++boxes) {
        const std::uint8_t* b = w.at(pos, 16);
        if (!b) {
            b = w.at(pos, 8);
        }
        if (!b) {
            break;
        }
        bool letters = true;
        for (int i = 4; i < 8; ++i) {
            letters = letters && b[i] >= 0x20 && b[i] <= 0x7E;
        }
        if (!letters) {
            break;
        }
        const bool is_codestream = std::memcmp(b + 4, "jp2c", 4) == 0;
        std::uint64_t size = be32(b);
        if (size == 0 && is_codestream) {
            const std::uint64_t end = j2k_codestream_end(w, pos + 8);
            return end ? found_s{end, "jp2"} : found_s{};
        }
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
            break;
        }
        if (size > w.bound() - pos) {
            break;
        }
        codestream = codestream || is_codestream;
        pos += size;
    }
    return codestream ? found_s{pos, "jp2"} : found_s{};
}

}  // namespace sig
