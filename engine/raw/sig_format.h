#pragma once
// The file formats that the signature library knows: for each, the bytes that begin a
// file at a sector boundary and a measure that checks the candidate against the format's
// structure and finds where the file ends.
//
// Data read from a volume is hostile: every measure reads through byte_view_c, which
// refuses ranges past the bound, and caps every walk.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sig {

constexpr std::size_t view_max_span = 64 * 1024;

// Random access to the bytes of the volume being scanned. Used by one thread.
class byte_view_c {
  public:
    virtual ~byte_view_c() = default;
    // n bytes at pos (n at most view_max_span); null when they lie past the end of the
    // volume, cannot be read, or the scan was asked to stop. Valid until the next call.
    virtual const std::uint8_t* at(std::uint64_t pos, std::size_t n) = 0;
    virtual std::uint64_t size() const = 0;
    // How many bytes from pos the view holds in one piece (a read within them costs no
    // copy); view_max_span when it cannot tell.
    virtual std::size_t contiguous(std::uint64_t pos) { return (void)pos, view_max_span; }
};

// A window of the view for one candidate: offsets relative to the candidate's first byte,
// nothing at or beyond bound (the type's limit or the end of the volume).
class window_c {
  public:
    window_c(byte_view_c& view, std::uint64_t start, std::uint64_t bound)
        : view_(view), start_(start), bound_(bound) {}
    // The part of another window from pos, at most n bytes (less where the other ends).
    window_c(const window_c& outer, std::uint64_t pos, std::uint64_t n)
        : view_(outer.view_),
          start_(outer.start_ + pos),
          bound_(pos > outer.bound_ ? 0 : std::min(n, outer.bound_ - pos)) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) {
        if (n > view_max_span || pos > bound_ || n > bound_ - pos) {
            return nullptr;
        }
        return view_.at(start_ + pos, n);
    }
    // As many bytes at pos as are available up to want (at most view_max_span); sets *got.
    const std::uint8_t* some(std::uint64_t pos, std::size_t want, std::size_t* got) {
        if (pos >= bound_) {
            *got = 0;
            return nullptr;
        }
        std::uint64_t left = bound_ - pos;
        std::size_t n = want < view_max_span ? want : view_max_span;
        const std::size_t piece = view_.contiguous(start_ + pos);
        if (piece >= 4096 && piece < n) {  // a few bytes before a seam: one copy
            n = piece;
        }
        if (left < n) {
            n = static_cast<std::size_t>(left);
        }
        *got = n;
        return view_.at(start_ + pos, n);
    }
    std::uint64_t bound() const { return bound_; }
    std::uint64_t start() const { return start_; }

  private:
    byte_view_c& view_;
    std::uint64_t start_;
    std::uint64_t bound_;
};

// What a measure found: the file's size in bytes (0: not a file of this format) and its
// type name, which may differ from the format's name (zip: docx, xlsx, ...).
struct found_s {
    std::uint64_t size = 0;
    const char* type = nullptr;
    // The measure itself checked every byte of the file (text in which each character is
    // text, a compound file whose every stream lies inside it): vouched for whole.
    bool whole = false;
};

using measure_fn = found_s (*)(window_c& w);

struct format_s {
    const char* name;             // the configuration's key; also the family's type names
    std::uint8_t magic[8];        // the first bytes of every file of the format
    std::uint8_t magic_length;    // 2 to 8
    std::uint16_t magic_offset;   // where the magic lies in the first sector (0, 4 or 257)
    std::uint64_t default_limit;  // bytes
    measure_fn measure;
    const char* types;  // every type name the measure reports, space-separated
};

// How far the scan vouches for a found file's bytes.
enum verify_e : int {
    verify_start = 1,   // its header and size hold; the bytes after them are not checked
    verify_whole = 2,   // checked from its first byte to its last (decoded, CRCs, objects)
    verify_joined = 3,  // put together from two pieces, and the whole check passed across
};

// Called on the scanning thread for each found file just before the found callback, with
// a window over the whole file (a two-piece file's pieces put together) and how far the scan
// checked it, so that the caller can read what it needs from the scan's own buffers. Set per
// thread, before sig_scan.
using inspect_fn = void (*)(void* owner, const char* type, window_c& file, verify_e verified);
void set_scan_inspector(inspect_fn inspector);
// Where a scan stands, for a checkpoint: the offset before which every file has been
// reported (also while a file that begins there is measured, and when the scan stops), and
// the work the searches for second pieces had done by then. The searches of a scan may do
// work up to a sixteenth of the bytes before the file searched for, and 64 MiB more: a
// continued scan that starts from a mark spends exactly as the uninterrupted one would.
struct scan_mark_s {
    std::mutex lock;
    std::uint64_t reported = 0;
    std::uint64_t join_work = 0;
};
// The mark the scan keeps (its join_work is the work done before the scan's start); null:
// none. Set per thread, before sig_scan.
void set_scan_mark(scan_mark_s* mark);

// How many worker threads check JPEG candidates ahead of the scan (their decode is the
// costliest check), so that it overlaps the reading; 0: the scanning thread checks them all.
// The found files and their order are the same either way. Process-wide; read when a scan
// starts. By default (or when set below 0) one per processor beyond the reader's.
void set_check_workers(int workers);
int check_workers();

// Every known format, in the order candidates are tried at one sector.
const std::vector<format_s>& formats();

// Decoding helpers over byte pointers.
inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}
inline std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}
inline std::uint64_t be64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4);
}

// The measures, by family (sig_image.cpp, sig_document.cpp, sig_archive.cpp, sig_audio.cpp,
// sig_video.cpp, sig_program.cpp, sig_markup.cpp).
found_s measure_jpg(window_c& w);
found_s measure_png(window_c& w);
found_s measure_gif(window_c& w);
found_s measure_bmp(window_c& w);
found_s measure_tif(window_c& w);
found_s measure_psd(window_c& w);
found_s measure_ico(window_c& w);
found_s measure_riff(window_c& w);
found_s measure_pdf(window_c& w);
found_s measure_zip(window_c& w);
found_s measure_rar(window_c& w);
found_s measure_7z(window_c& w);
found_s measure_gz(window_c& w);
found_s measure_bz2(window_c& w);
found_s measure_xz(window_c& w);
found_s measure_mp3(window_c& w);
found_s measure_mp4(window_c& w);
found_s measure_mkv(window_c& w);
found_s measure_flac(window_c& w);
found_s measure_ogg(window_c& w);
found_s measure_sqlite(window_c& w);
found_s measure_jp2(window_c& w);
found_s measure_asf(window_c& w);
found_s measure_mpg(window_c& w);
found_s measure_aiff(window_c& w);
found_s measure_flv(window_c& w);
found_s measure_tar(window_c& w);
found_s measure_cab(window_c& w);
found_s measure_exe(window_c& w);
found_s measure_elf(window_c& w);
found_s measure_font(window_c& w);
found_s measure_markup(window_c& w);
found_s measure_rtf(window_c& w);
found_s measure_ole(window_c& w);
found_s measure_class(window_c& w);
// Plain text in UTF-8, Latin-1 or UTF-16 with its byte-order mark (txt, csv, json, eml, mbox):
// the format without magic bytes, tried at a sector that no other format claims and whose
// first bytes pass text_may_begin. Its whole mark says that every byte is text and that it
// ended cleanly (a NUL, a known signature, the volume's end), not cut off by other bytes;
// the scan vouches for it only when, besides, the byte before it is not text (see text_byte):
// text that runs on from the sector before is a piece of something larger.
found_s measure_text(window_c& w);
// An ASCII character of text (printable or white space): before a text, the sign that it
// runs on from the sector before.
bool text_byte(std::uint8_t b);
// The quick test for text at a sector: its first 16 bytes are characters of text, or it
// begins with a UTF-16 byte-order mark. Most binary sectors fail at their first byte.
bool text_may_begin(const std::uint8_t* s);

// A raw deflate stream at pos: its compressed length, or 0 when it does not end within the
// window or is not valid deflate data. *out_total receives the inflated length.
std::uint64_t deflate_length(window_c& w, std::uint64_t pos, std::uint64_t* out_total);

// A box type that may stand at the top level of an ISO media file (MP4, MOV, ...).
bool iso_top_level(const std::uint8_t* type);

}  // namespace sig
