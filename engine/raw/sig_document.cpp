// Documents: PDF, and ZIP with the formats built on it (Office Open XML, OpenDocument,
// EPUB, JAR, APK).
#include "sig_format.h"

#include <cstring>

namespace sig {

namespace {

bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}
bool is_space(std::uint8_t c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0;
}

// What follows an %%EOF continues the document when it is an incremental update: an
// object ("12 0 obj") or a cross-reference section, after white space and comment lines
// (editors such as exiftool open their update with one), or a further %%EOF after them.
bool pdf_continues(window_c& w, std::uint64_t pos) {
    std::size_t got = 0;
    const std::uint8_t* p = w.some(pos, 4096, &got);
    if (!p) {
        return false;
    }
    std::size_t i = 0;
    for (int lines = 0; lines < 64; ++lines) {
        while (i < got && is_space(p[i])) {
            ++i;
        }
        if (i >= got || p[i] != '%') {
            break;
        }
        if (got - i >= 5 && std::memcmp(p + i, "%%EOF", 5) == 0) {
            return true;
        }
        if (got - i >= 5 && std::memcmp(p + i, "%PDF-", 5) == 0) {
            return false;  // another document
        }
        while (i < got && p[i] != '\r' && p[i] != '\n') {
            ++i;  // a comment, to its line's end
        }
    }
    if (got - i >= 4 && std::memcmp(p + i, "xref", 4) == 0) {
        return true;
    }
    for (int number = 0; number < 2; ++number) {
        const std::size_t first = i;
        while (i < got && is_digit(p[i])) {
            ++i;
        }
        if (i == first || i >= got || (p[i] != ' ' && p[i] != '\r' && p[i] != '\n')) {
            return false;
        }
        while (i < got && (p[i] == ' ' || p[i] == '\r' || p[i] == '\n')) {
            ++i;
        }
    }
    return got - i >= 3 && std::memcmp(p + i, "obj", 3) == 0;
}

}  // namespace

// PDF: the last %%EOF (with its line end) that no incremental update follows, looked for
// within the limit and never past a sector where the next PDF begins.
found_s measure_pdf(window_c& w) {
    const std::uint8_t* p = w.at(0, 8);
    if (!p || std::memcmp(p, "%PDF-", 5) != 0 || !is_digit(p[5]) || p[6] != '.') {
        return {};
    }
    std::uint64_t pos = 8;
    std::uint64_t last_end = 0;
    for (;;) {
        std::size_t got = 0;
        const std::uint8_t* d = w.some(pos, view_max_span, &got);
        if (!d || got < 5) {
            return last_end ? found_s{last_end, "pdf"} : found_s{};
        }
        // A sector boundary inside this piece where another PDF begins ends the search.
        std::size_t usable = got - 4;
        for (std::uint64_t s = (pos + 511) / 512 * 512; s < pos + usable; s += 512) {
            if (s + 5 <= pos + got && std::memcmp(d + (s - pos), "%PDF-", 5) == 0) {
                usable = static_cast<std::size_t>(s - pos);
                break;
            }
        }
        const std::uint8_t* hit = nullptr;
        for (std::size_t i = 0; i < usable;) {
            const void* q = std::memchr(d + i, '%', usable - i);
            if (!q) {
                break;
            }
            const std::size_t k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(q) - d);
            if (std::memcmp(d + k, "%%EOF", 5) == 0) {
                hit = d + k;
                break;
            }
            i = k + 1;
        }
        if (!hit) {
            if (usable < got - 4) {
                return last_end ? found_s{last_end, "pdf"} : found_s{};
            }
            pos += usable;
            continue;
        }
        std::uint64_t end = pos + static_cast<std::uint64_t>(hit - d) + 5;
        const std::uint8_t* eol = w.at(end, 2);
        if (eol && eol[0] == '\r' && eol[1] == '\n') {
            end += 2;
        } else if (eol && (eol[0] == '\n' || eol[0] == '\r')) {
            end += 1;
        } else if (!eol) {
            const std::uint8_t* one = w.at(end, 1);
            if (one && (one[0] == '\n' || one[0] == '\r')) {
                end += 1;
            }
        }
        last_end = end;
        if (!pdf_continues(w, end)) {
            return {last_end, "pdf"};
        }
        pos = end;
    }
}

namespace {

// The office formats are ZIP archives told apart by their member names (Office Open XML)
// or by the stored "mimetype" member that comes first (OpenDocument, EPUB).
const char* zip_type_from_name(const std::uint8_t* name, std::size_t length) {
    auto starts = [&](const char* prefix) {
        const std::size_t n = std::strlen(prefix);
        return length >= n && std::memcmp(name, prefix, n) == 0;
    };
    if (starts("word/")) {
        return "docx";
    }
    if (starts("xl/")) {
        return "xlsx";
    }
    if (starts("ppt/")) {
        return "pptx";
    }
    if (length == 19 && starts("AndroidManifest.xml")) {
        return "apk";
    }
    if (length == 20 && starts("META-INF/MANIFEST.MF")) {
        return "jar";
    }
    return nullptr;
}

const char* zip_type_from_mimetype(const std::uint8_t* data, std::size_t length) {
    static const struct {
        const char* mime;
        const char* type;
    } known[] = {
        {"application/vnd.oasis.opendocument.text", "odt"},
        {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
        {"application/vnd.oasis.opendocument.presentation", "odp"},
        {"application/epub+zip", "epub"},
    };
    for (const auto& k : known) {
        if (length == std::strlen(k.mime) && std::memcmp(data, k.mime, length) == 0) {
            return k.type;
        }
    }
    return nullptr;
}

// A stored entry of unknown length (its sizes are in the data descriptor after it): the
// first descriptor signature whose compressed size equals the distance to it.
std::uint64_t stored_length(window_c& w, std::uint64_t data) {
    for (std::uint64_t pos = data;;) {
        std::size_t got = 0;
        const std::uint8_t* d = w.some(pos, view_max_span, &got);
        if (!d || got < 16) {
            return 0;
        }
        for (std::size_t i = 0; i + 16 <= got; ++i) {
            if (d[i] == 'P' && d[i + 1] == 'K' && d[i + 2] == 7 && d[i + 3] == 8 &&
                le32(d + i + 8) == pos + i - data) {
                return pos + i - data;
            }
        }
        pos += got - 15;
    }
}

}  // namespace

// ZIP (APPNOTE 6.3): local entries with their data (a deflate stream that ends by itself
// when a data descriptor follows), the central directory and the end record with its
// comment.
found_s measure_zip(window_c& w) {
    std::uint64_t pos = 0;
    const char* type = nullptr;
    std::uint64_t entries = 0;
    bool central = false;
    for (;;) {
        const std::uint8_t* s = w.at(pos, 4);
        if (!s) {
            return {};
        }
        const std::uint32_t sig = le32(s);
        if (sig == 0x04034b50 && !central) {
            const std::uint8_t* h = w.at(pos, 30);
            if (!h) {
                return {};
            }
            const std::uint16_t flags = le16(h + 6);
            const std::uint16_t method = le16(h + 8);
            std::uint64_t csize = le32(h + 18);
            std::uint64_t usize = le32(h + 22);
            const std::uint16_t name_length = le16(h + 26);
            const std::uint16_t extra_length = le16(h + 28);
            if (le16(h + 4) > 63 || name_length == 0) {
                return {};
            }
            const std::uint8_t* name = w.at(pos + 30, name_length);
            if (!name) {
                return {};
            }
            const bool mimetype =
                entries == 0 && name_length == 8 && !std::memcmp(name, "mimetype", 8);
            if (!type && !mimetype) {
                type = zip_type_from_name(name, name_length);
            }
            if (csize == 0xFFFFFFFFu || usize == 0xFFFFFFFFu) {
                // Zip64: the sizes are in the extra field 0x0001, uncompressed first.
                const std::uint8_t* extra = w.at(pos + 30 + name_length, extra_length);
                for (std::uint32_t i = 0; extra && i + 4 <= extra_length;) {
                    const std::uint16_t id = le16(extra + i);
                    const std::uint16_t len = le16(extra + i + 2);
                    if (id == 0x0001 && i + 4 + len <= extra_length) {
                        std::uint32_t k = i + 4;
                        if (usize == 0xFFFFFFFFu && k + 8 <= i + 4u + len) {
                            usize = le64(extra + k);
                            k += 8;
                        }
                        if (csize == 0xFFFFFFFFu && k + 8 <= i + 4u + len) {
                            csize = le64(extra + k);
                        }
                        break;
                    }
                    i += 4 + len;
                }
            }
            const std::uint64_t data = pos + 30 + name_length + extra_length;
            if (mimetype && method == 0 && csize > 0 && csize < 128) {
                const std::uint8_t* mime = w.at(data, static_cast<std::size_t>(csize));
                if (mime) {
                    type = zip_type_from_mimetype(mime, static_cast<std::size_t>(csize));
                }
            }
            if (flags & 8) {
                std::uint64_t length = 0;
                if (method == 8) {
                    length = deflate_length(w, data, nullptr);
                    if (length == 0) {
                        return {};
                    }
                } else if (method == 0) {
                    length = stored_length(w, data);
                    if (length == 0) {
                        return {};
                    }
                } else {
                    return {};  // compressed by a method whose end zlib cannot find
                }
                std::uint64_t d = data + length;
                const std::uint8_t* dd = w.at(d, 24);
                if (!dd) {
                    dd = w.at(d, 16);
                }
                if (!dd) {
                    return {};
                }
                std::uint64_t skip = 0;
                if (le32(dd) == 0x08074b50) {
                    skip = 4;
                }
                const std::uint8_t* sizes = w.at(d + skip + 4, 16);
                if (sizes && le32(sizes) == length) {
                    pos = d + skip + 12;
                } else if (sizes && le64(sizes) == length) {
                    pos = d + skip + 20;
                } else if (const std::uint8_t* s32 = w.at(d + skip + 4, 8);
                           s32 && le32(s32) == length) {
                    pos = d + skip + 12;
                } else {
                    return {};
                }
            } else {
                pos = data + csize;
            }
            ++entries;
        } else if (sig == 0x02014b50) {
            const std::uint8_t* h = w.at(pos, 46);
            if (!h || entries == 0) {
                return {};
            }
            central = true;
            pos += 46ull + le16(h + 28) + le16(h + 30) + le16(h + 32);
        } else if (sig == 0x06054b50) {
            const std::uint8_t* h = w.at(pos, 22);
            if (!h || entries == 0) {
                return {};
            }
            pos += 22ull + le16(h + 20);
            if (pos > w.bound()) {
                return {};
            }
            return {pos, type ? type : "zip"};
        } else if (sig == 0x06064b50) {
            const std::uint8_t* h = w.at(pos, 12);
            if (!h) {
                return {};
            }
            pos += 12 + le64(h + 4);
        } else if (sig == 0x07064b50) {
            pos += 20;
        } else if (sig == 0x05054b50) {
            const std::uint8_t* h = w.at(pos, 6);
            if (!h) {
                return {};
            }
            pos += 6ull + le16(h + 4);
        } else if (sig == 0x08064b50) {
            const std::uint8_t* h = w.at(pos, 8);
            if (!h) {
                return {};
            }
            pos += 8ull + le32(h + 4);
        } else {
            return {};
        }
        if (pos > w.bound()) {
            return {};
        }
    }
}

}  // namespace sig
