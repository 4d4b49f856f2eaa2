#pragma once
// What a found file says about itself: when it was made and changed, and what it is called.
// Read from the file's own bytes when the deep scan finds it, so that the found files can be
// sorted by date and restored under a telling name instead of a number.
//
// Every reader works through a window over the found file (sig_format.h), which refuses
// bytes past the file's end; the structures are hostile and every walk and copy is capped.
// The libraries (libexif, TagLib, Qt's XML reader) are handed bounded copies from memory.

#include "engine/raw/sig_format.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

struct file_meta_s {
    std::int64_t created = 0;   // seconds since 1970 UTC; 0 when the file does not say
    std::int64_t modified = 0;  // same unit
    QString title;              // a name for the file, as found (not yet cleaned); may be empty

    bool empty() const { return created == 0 && modified == 0 && title.isEmpty(); }
};

// The metadata of a found file of the given type (the deep scan's type name), read through
// a window whose bound is the file's size. Unknown types and files that say nothing give an
// empty result.
file_meta_s read_file_meta(const QByteArray& type, sig::window_c& w);

// A title made fit for a file name on any common file system: no path separators, control
// or reserved characters, no leading dots or trailing dots and spaces, whitespace folded,
// at most about 80 characters. Empty when nothing usable is left.
QString clean_file_stem(const QString& title);

namespace meta {

// The dates the readers parse; each gives seconds since 1970 UTC, 0 when malformed or
// outside 1980-2099. A time without a zone is taken as local time, as cameras and most
// programs write it.
std::int64_t exif_date(const QByteArray& text);   // "2024:06:01 14:03:22"
std::int64_t iso_date(const QString& text);       // "2024-06-01T14:03:22Z", "+02:00", none
std::int64_t pdf_date(const QByteArray& text);    // "D:20240601140322+02'00'"
std::int64_t mp4_date(std::uint64_t since_1904);  // mvhd: seconds since 1904 UTC
std::int64_t sane_date(std::int64_t seconds);     // 0 outside 1980-2099

// Up to n bytes of the window from pos, copied (n is capped by the caller).
QByteArray copy_bytes(sig::window_c& w, std::uint64_t pos, std::size_t n);

// The readers by family (file_metadata.cpp, metadata_documents.cpp, metadata_media.cpp).
file_meta_s read_exif(sig::window_c& w, bool tiff);
file_meta_s read_png(sig::window_c& w);
file_meta_s read_office(sig::window_c& w);
file_meta_s read_pdf(sig::window_c& w);
file_meta_s read_markup(sig::window_c& w);
file_meta_s read_mp4(sig::window_c& w);
file_meta_s read_audio_tags(const QByteArray& type, sig::window_c& w);

}  // namespace meta
