#pragma once
// The parts of the MP4 check (sig_check_mp4.cpp): boxes, the codecs whose samples are checked
// (sig_mp4_codecs.cpp) and the tracks' sample tables (sig_mp4_tables.cpp).

#include "sig_format.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace sig::mp4 {

constexpr std::size_t max_samples = 1u << 20;  // samples checked per file
constexpr int max_boxes = 100000;

struct box_s {
    std::uint64_t start = 0;
    std::uint64_t payload = 0;  // the first byte after the header
    std::uint64_t end = 0;
    char type[4] = {};
    bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

// The box whose header is at pos, inside [pos, limit); false when its size does not fit.
bool read_box(window_c& w, std::uint64_t pos, std::uint64_t limit, box_s* box);
// The first child of that type inside parent (children walked by their sizes, from skip
// bytes into its payload); false when there is none or the children do not nest. *broken is
// set when they do not.
bool child(window_c& w, const box_s& parent, std::uint64_t skip, const char* type, box_s* out,
           bool* broken);

enum codec_e : std::uint8_t {
    codec_none,
    codec_avc,
    codec_hevc,
    codec_mp4v,
    codec_jpeg,
    codec_aac_mono,    // AAC, one channel: each frame begins with a single channel element
    codec_aac_stereo,  // AAC, two channels: with a channel pair element
    codec_mp3
};

struct sample_s {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    codec_e codec = codec_none;
    std::uint8_t nal_length = 0;  // bytes of each NAL unit's length (H.264, H.265)
};

// The media data of one mdat box.
struct media_s {
    std::uint64_t start = 0;  // the media data's first byte
    std::uint64_t end = 0;
};

// A NAL unit's header (one byte for H.264, two for H.265) looks right.
bool nal_header_ok(codec_e codec, const std::uint8_t* h);
// Whether the bytes at a sample's start look like its codec's; *fail_at: the end of the read
// that failed (an offset in the file).
bool sample_sane(window_c& w, const sample_s& s, std::uint64_t* fail_at);
// The codec of a track's only sample description (its stsd box), and its NAL length size.
codec_e track_codec(window_c& w, const box_s& stsd, std::uint8_t* nal_length);
// Adds the samples of one track (its sample table box) whose codec is checked; false when
// its tables do not nest, one is missing, or a chunk does not lie inside the media data.
bool track_samples(window_c& w, const box_s& stbl, const std::vector<media_s>& media,
                   std::vector<sample_s>* samples);

}  // namespace sig::mp4
