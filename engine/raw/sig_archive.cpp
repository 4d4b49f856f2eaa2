// Archives and compressed files: RAR, 7z, tar, cabinets, gzip, bzip2 and xz, and the
// deflate helper that ZIP shares.
#include "sig_format.h"

#include <zlib.h>

#include <cstring>

namespace sig {

std::uint64_t deflate_length(window_c& w, std::uint64_t pos, std::uint64_t* out_total) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        return 0;
    }
    static thread_local std::uint8_t sink[65536];
    std::uint64_t used = 0;
    std::uint64_t total = 0;
    std::uint64_t result = 0;
    for (;;) {
        std::size_t got = 0;
        const std::uint8_t* in = w.some(pos + used, view_max_span, &got);
        if (!in || got == 0) {
            break;
        }
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = static_cast<uInt>(got);
        int rc = Z_OK;
        while (z.avail_in > 0 && rc == Z_OK) {
            z.next_out = sink;
            z.avail_out = sizeof sink;
            rc = inflate(&z, Z_NO_FLUSH);
            total += sizeof sink - z.avail_out;
        }
        used += got - z.avail_in;
        if (rc == Z_STREAM_END) {
            result = used;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            break;
        }
    }
    inflateEnd(&z);
    if (out_total) {
        *out_total = total;
    }
    return result;
}

namespace {

// A RAR 5 variable-length integer at p (at most 10 bytes of n available).
bool rar_vint(const std::uint8_t* p, std::size_t n, std::size_t* used, std::uint64_t* value) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n && i < 10; ++i) {
        v |= static_cast<std::uint64_t>(p[i] & 0x7F) << (7 * i);
        if (!(p[i] & 0x80)) {
            *used = i + 1;
            *value = v;
            return true;
        }
    }
    return false;
}

}  // namespace

// RAR 4 and 5: a chain of headers, each with its size and the size of the data after it,
// up to the end-of-archive header; RAR 5 headers carry a CRC32 that is checked.
found_s measure_rar(window_c& w) {
    const std::uint8_t* p = w.at(0, 8);
    if (!p || std::memcmp(p, "Rar!\x1a\x07", 6) != 0) {
        return {};
    }
    if (p[6] == 0x01 && p[7] == 0x00) {
        std::uint64_t pos = 8;
        for (int blocks = 0;; ++blocks) {
            std::size_t got = 0;
            const std::uint8_t* h = w.some(pos, 4 + 10, &got);
            if (!h || got < 5) {
                return {};
            }
            std::size_t used = 0;
            std::uint64_t header_size = 0;
            if (!rar_vint(h + 4, got - 4, &used, &header_size) || header_size == 0 ||
                header_size > 2 * 1024 * 1024 || header_size + 4 + used > view_max_span) {
                return {};
            }
            const std::uint8_t* full = w.at(pos, 4 + used + static_cast<std::size_t>(header_size));
            if (!full) {
                return {};
            }
            const std::uint32_t crc = static_cast<std::uint32_t>(
                crc32(0, full + 4, static_cast<uInt>(used + header_size)));
            if (crc != le32(full)) {
                return {};
            }
            const std::uint8_t* q = full + 4 + used;
            std::size_t left = static_cast<std::size_t>(header_size);
            std::uint64_t type = 0;
            std::uint64_t flags = 0;
            std::uint64_t extra = 0;
            std::uint64_t data = 0;
            std::size_t n = 0;
            if (!rar_vint(q, left, &n, &type)) {
                return {};
            }
            q += n;
            left -= n;
            if (!rar_vint(q, left, &n, &flags)) {
                return {};
            }
            q += n;
            left -= n;
            if ((flags & 1) && !rar_vint(q, left, &n, &extra)) {
                return {};
            }
            if (flags & 1) {
                q += n;
                left -= n;
            }
            if ((flags & 2) && !rar_vint(q, left, &n, &data)) {
                return {};
            }
            if (type < 1 || type > 5 || (blocks == 0 && type != 1 && type != 4)) {
                return {};
            }
            pos += 4 + used + header_size + data;
            if (pos > w.bound()) {
                return {};
            }
            if (type == 5) {
                return {pos, "rar"};
            }
        }
    }
    if (p[6] != 0x00) {
        return {};
    }
    std::uint64_t pos = 7;
    for (int blocks = 0;; ++blocks) {
        const std::uint8_t* h = w.at(pos, 11);
        if (!h) {
            return {};
        }
        const std::uint8_t type = h[2];
        const std::uint16_t flags = le16(h + 3);
        const std::uint16_t size = le16(h + 5);
        if (type < 0x72 || type > 0x7B || size < 7 || (blocks == 0 && type != 0x73)) {
            return {};
        }
        std::uint64_t add = 0;
        if (flags & 0x8000) {
            add = le32(h + 7);
            if (type == 0x74 && (flags & 0x100)) {
                const std::uint8_t* high = w.at(pos + 32, 4);
                if (!high) {
                    return {};
                }
                add |= static_cast<std::uint64_t>(le32(high)) << 32;
            }
        }
        pos += size + add;
        if (pos > w.bound()) {
            return {};
        }
        if (type == 0x7B) {
            return {pos, "rar"};
        }
    }
}

// 7z: the start header's CRC-checked pointer to the next header, which ends the archive.
found_s measure_7z(window_c& w) {
    const std::uint8_t* p = w.at(0, 32);
    static const std::uint8_t sig[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    if (!p || std::memcmp(p, sig, 6) != 0 || p[6] != 0) {
        return {};
    }
    if (static_cast<std::uint32_t>(crc32(0, p + 12, 20)) != le32(p + 8)) {
        return {};
    }
    const std::uint64_t offset = le64(p + 12);
    const std::uint64_t size = le64(p + 20);
    if (size == 0 || offset > w.bound() || size > w.bound() - offset ||
        32 + offset + size > w.bound()) {
        return {};
    }
    return {32 + offset + size, "7z"};
}

// gzip (RFC 1952): the member header, the deflate stream, which ends by itself, and the
// trailer whose length field must match; members that follow directly belong to the file.
found_s measure_gz(window_c& w) {
    std::uint64_t pos = 0;
    for (int members = 0;; ++members) {
        const std::uint8_t* h = w.at(pos, 10);
        if (!h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0) ||
            (h[9] > 13 && h[9] != 255)) {
            return members > 0 ? found_s{pos, "gz"} : found_s{};
        }
        const std::uint8_t flags = h[3];
        std::uint64_t q = pos + 10;
        if (flags & 4) {
            const std::uint8_t* x = w.at(q, 2);
            if (!x) {
                return {};
            }
            q += 2 + le16(x);
        }
        for (int field = 0; field < 2; ++field) {
            if (!(flags & (field == 0 ? 8 : 16))) {
                continue;
            }
            for (int n = 0;; ++n) {
                const std::uint8_t* c = w.at(q++, 1);
                if (!c || n > 65536) {
                    return {};
                }
                if (*c == 0) {
                    break;
                }
            }
        }
        if (flags & 2) {
            q += 2;
        }
        std::uint64_t total = 0;
        const std::uint64_t length = deflate_length(w, q, &total);
        const std::uint8_t* t = length ? w.at(q + length, 8) : nullptr;
        if (!t || le32(t + 4) != static_cast<std::uint32_t>(total)) {
            return members > 0 ? found_s{pos, "gz"} : found_s{};
        }
        pos = q + length + 8;
    }
}

// bzip2: the stream header, then bit-aligned block headers (0x314159265359, each followed
// by its block CRC) up to the end-of-stream marker (0x177245385090) and the stream CRC,
// which must equal the block CRCs combined; streams that follow directly belong to the
// file.
found_s measure_bz2(window_c& w) {
    std::uint64_t pos = 0;
    for (int streams = 0;; ++streams) {
        const std::uint8_t* h = w.at(pos, 10);
        static const std::uint8_t block[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
        static const std::uint8_t empty[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
        if (!h || h[0] != 'B' || h[1] != 'Z' || h[2] != 'h' || h[3] < '1' || h[3] > '9' ||
            (std::memcmp(h + 4, block, 6) != 0 && std::memcmp(h + 4, empty, 6) != 0)) {
            return streams > 0 ? found_s{pos, "bz2"} : found_s{};
        }
        constexpr std::uint64_t block_magic = 0x314159265359ull;
        constexpr std::uint64_t end_magic = 0x177245385090ull;
        constexpr std::uint64_t mask = 0xFFFFFFFFFFFFull;
        // A compressed block is never much larger than the 100-900 kB it holds.
        const std::uint64_t block_limit = (h[3] - '0') * 100000ull * 5 / 4 + 4096;
        std::uint64_t bits = 0;
        std::uint64_t q = pos + 4;
        std::uint64_t end = 0;
        std::uint64_t last_marker = q;
        std::uint32_t combined = 0;
        int pending = 0;        // 1: a block CRC follows, 2: the stream CRC follows
        int pending_bytes = 0;  // bytes still to shift in before it is whole
        int pending_shift = 0;
        while (end == 0) {
            std::size_t got = 0;
            const std::uint8_t* d = w.some(q, view_max_span, &got);
            if (!d || got == 0) {
                return {};
            }
            for (std::size_t i = 0; i < got && end == 0; ++i) {
                bits = bits << 8 | d[i];
                const std::uint64_t here = q + i + 1;  // bytes of the file shifted in so far
                if (pending) {
                    if (--pending_bytes > 0) {
                        continue;
                    }
                    const auto crc = static_cast<std::uint32_t>(bits >> pending_shift);
                    if (pending == 1) {
                        combined = (combined << 1 | combined >> 31) ^ crc;
                        pending = 0;
                        continue;
                    }
                    if (crc != combined) {
                        return {};
                    }
                    end = here;  // the padding bits of the last byte belong to the file
                    break;
                }
                if (here - last_marker > block_limit) {
                    return {};
                }
                if (here < pos + 10) {
                    continue;
                }
                for (int shift = 7; shift >= 0; --shift) {
                    const std::uint64_t v = (bits >> shift) & mask;
                    if (v == block_magic || v == end_magic) {
                        pending = v == block_magic ? 1 : 2;
                        pending_bytes = 4;
                        pending_shift = shift;
                        last_marker = here;
                        break;
                    }
                }
            }
            q += got;
        }
        if (end > w.bound()) {
            return {};
        }
        pos = end;
    }
}

namespace {

// One xz stream at start: the stream header with its CRC, then the stream footer found at a
// 4-byte boundary: its CRC, the same flags, and an index where its backward size points.
// The stream's end, or 0.
std::uint64_t xz_stream(window_c& w, std::uint64_t start) {
    const std::uint8_t* h = w.at(start, 12);
    static const std::uint8_t sig[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    if (!h || std::memcmp(h, sig, 6) != 0 || h[6] != 0 || (h[7] & 0xF0) ||
        static_cast<std::uint32_t>(crc32(0, h + 6, 2)) != le32(h + 8)) {
        return 0;
    }
    const std::uint8_t flags = h[7];
    std::uint64_t pos = start + 12;
    for (;;) {
        std::size_t got = 0;
        const std::uint8_t* d = w.some(pos, view_max_span, &got);
        if (!d || got < 12) {
            return 0;
        }
        const std::size_t last = (got - 12) & ~static_cast<std::size_t>(3);
        std::uint64_t next = pos + last + 4;
        for (std::size_t i = 0; i <= last; i += 4) {
            const std::uint8_t* f = d + i;
            if (f[10] != 'Y' || f[11] != 'Z' || f[8] != 0 || f[9] != flags) {
                continue;
            }
            if (static_cast<std::uint32_t>(crc32(0, f + 4, 6)) != le32(f)) {
                continue;
            }
            const std::uint64_t footer = pos + i;
            const std::uint64_t backward = (static_cast<std::uint64_t>(le32(f + 4)) + 1) * 4;
            if (backward <= footer - start - 12) {
                const std::uint8_t* index = w.at(footer - backward, 1);
                if (index && index[0] == 0) {
                    return footer + 12;
                }
            }
            next = footer + 4;  // d may be gone after that read: fetch again from here
            break;
        }
        pos = next;
    }
}

}  // namespace

// xz: streams one after the other, each maybe followed by stream padding (zero bytes in
// groups of four), are one file: xz reads them all.
found_s measure_xz(window_c& w) {
    std::uint64_t end = xz_stream(w, 0);
    if (end == 0) {
        return {};
    }
    for (int streams = 1; streams < 65536; ++streams) {
        std::uint64_t next = end;
        for (const std::uint8_t* z = w.at(next, 4); z && le32(z) == 0 && next - end < (1u << 20);
             z = w.at(next, 4)) {
            next += 4;
        }
        const std::uint64_t more = xz_stream(w, next);
        if (more == 0) {
            break;
        }
        end = more;
    }
    return {end, "xz"};
}

namespace {

// A tar number field: octal digits (space or NUL ended), or base-256 when the high bit of
// the first byte is set.
bool tar_number(const std::uint8_t* p, std::size_t n, std::uint64_t* value) {
    std::uint64_t v = 0;
    if (p[0] & 0x80) {
        for (std::size_t i = 1; i < n; ++i) {
            if (v >> 56) {
                return false;
            }
            v = v << 8 | p[i];
        }
        *value = v;
        return true;
    }
    std::size_t i = 0;
    while (i < n && p[i] == ' ') {
        ++i;
    }
    bool digits = false;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i) {
        v = v << 3 | static_cast<std::uint64_t>(p[i] - '0');
        digits = true;
    }
    if (i < n && p[i] != ' ' && p[i] != 0) {
        return false;
    }
    *value = v;
    return digits;
}

bool tar_header_valid(const std::uint8_t* h) {
    std::uint64_t stored = 0;
    if (!tar_number(h + 148, 8, &stored)) {
        return false;
    }
    std::uint64_t sum = 0;
    for (int i = 0; i < 512; ++i) {
        sum += (i >= 148 && i < 156) ? ' ' : h[i];
    }
    return sum == stored;
}

}  // namespace

// tar (POSIX ustar and GNU): 512-byte headers with their checksums, each followed by its
// data rounded up to 512 bytes, up to the two zero blocks that end the archive; the zeros
// that pad the last 10240-byte record belong to the file too.
found_s measure_tar(window_c& w) {
    std::uint64_t pos = 0;
    int members = 0;
    for (;;) {
        const std::uint8_t* h = w.at(pos, 512);
        if (!h) {
            return {};
        }
        bool zero = true;
        for (int i = 0; i < 512 && zero; ++i) {
            zero = h[i] == 0;
        }
        if (zero) {
            const std::uint8_t* second = w.at(pos + 512, 512);
            bool end = second != nullptr;
            for (int i = 0; second && i < 512 && end; ++i) {
                end = second[i] == 0;
            }
            if (!end || members == 0) {
                return {};
            }
            pos += 1024;
            while (pos % 10240 != 0) {
                const std::uint8_t* pad = w.at(pos, 512);
                bool blank = pad != nullptr;
                for (int i = 0; pad && i < 512 && blank; ++i) {
                    blank = pad[i] == 0;
                }
                if (!blank) {
                    break;
                }
                pos += 512;
            }
            return {pos, "tar"};
        }
        std::uint64_t size = 0;
        if (std::memcmp(h + 257, "ustar", 5) != 0 || !tar_header_valid(h) ||
            !tar_number(h + 124, 12, &size)) {
            return {};
        }
        const std::uint8_t type = h[156];
        if (type == '1' || type == '2' || type == '3' || type == '4' || type == '5' ||
            type == '6') {
            size = 0;  // links, devices, folders and FIFOs have no data
        }
        pos += 512 + (size + 511) / 512 * 512;
        if (pos > w.bound()) {
            return {};
        }
        ++members;
    }
}

// Microsoft Cabinet: the header's cabinet size, checked against its version and counts.
found_s measure_cab(window_c& w) {
    const std::uint8_t* h = w.at(0, 36);
    if (!h || std::memcmp(h, "MSCF", 4) != 0 || le32(h + 4) != 0 || le32(h + 12) != 0 ||
        h[24] != 3 || h[25] != 1 || le16(h + 26) == 0 || le16(h + 28) == 0) {
        return {};
    }
    const std::uint32_t size = le32(h + 8);
    const std::uint32_t files_at = le32(h + 16);
    if (size < 36 || files_at < 36 || files_at >= size || size > w.bound()) {
        return {};
    }
    return {size, "cab"};
}

}  // namespace sig
