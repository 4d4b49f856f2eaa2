#pragma once
// The checks of each format with one, used by check_file and the joint search
// (sig_pieces.cpp); each walks the whole file in the window and says where it breaks.

#include "sig_pieces.h"

#include <cstdint>

namespace sig {

soundness_s check_png(window_c& w);
// type: the measure's type name for the archive (docx, xlsx, ...), null for zip.
soundness_s check_zip(window_c& w, const char* type);
soundness_s check_pdf(window_c& w, std::uint64_t size);
// type: the measure's type name (null when it rejected the file); joint: see check_file.
soundness_s check_mp4(window_c& w, const char* type, std::uint64_t joint);
// The quick tests of an MP4's joint (probe_mp4_box, probe_mp4_sample).
bool mp4_probe_holds(window_c& w, const soundness_s& broken);

// The CRC-32 of n bytes at pos; *ok false when they cannot all be read.
std::uint32_t window_crc(window_c& w, std::uint64_t pos, std::uint64_t n, bool* ok);
// Four ASCII letters (a PNG chunk type).
bool letters(const std::uint8_t* t);
// "N G obj" at pos (N the object number given; any number when any).
bool object_at(window_c& w, std::uint64_t pos, std::uint64_t number, bool any = false);

}  // namespace sig
