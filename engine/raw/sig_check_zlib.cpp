// The checks of PNG and ZIP files across their whole length: every PNG chunk's CRC and the
// zlib stream of the image data; every ZIP member's CRC-32 and the central directory's
// offsets.
#include "sig_checks.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sig {

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
        // A copy: the view's bytes last only until its next read (the CRC's reads below).
        std::uint8_t c[8];
        const std::uint8_t* read = w.at(pos, 8);
        if (read) {
            std::memcpy(c, read, 8);
        }
        const std::uint32_t length = read ? be32(c) : 0;
        if (!read || length > 0x7FFFFFFFu || !letters(c + 4) || pos + 12 + length > w.bound()) {
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

namespace {

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

}  // namespace

soundness_s check_zip(window_c& w, const char* type) {
    soundness_s s;
    std::uint64_t pos = 0;
    std::uint64_t members = 0;
    std::vector<std::uint64_t> locals;
    for (; members < 1000000; ++members) {
        // A copy: the view's bytes last only until its next read (the member's data below).
        std::uint8_t h[30];
        const std::uint8_t* read = w.at(pos, 30);
        if (!read || le32(read) != 0x04034b50) {
            break;
        }
        std::memcpy(h, read, 30);
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
    // The archive's comment ends it: a comment running past the bytes there is no end.
    const std::uint64_t end = pos + 22 + le16(e + 20);
    if (end > pos + 22 && !w.at(end - 1, 1)) {
        s.break_low = locals.back();
        s.break_high = end;
        return s;
    }
    s.sound = true;
    s.size = end;
    s.type = type ? type : "zip";
    return s;
}

}  // namespace sig
