// The check of ISO media files (MP4, MOV, M4A, 3GP): the top-level boxes follow each other by
// their sizes, the boxes of the movie's tracks nest by their sizes, every chunk of every track
// lies inside the media data, and the bytes at each sample's start look like the start of a
// sample of its codec where that is cheap to tell (sig_mp4_codecs.cpp). A movie whose boxes
// stop, or whose media data runs into other data, is broken: the break and a probe for the
// joint search (sig_pieces.cpp) say where.
#include "sig_checks.h"
#include "sig_mp4.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sig {

using namespace mp4;

namespace {

// A check of a sample's start that random bytes pass often (an AAC frame's first element).
bool weak(codec_e codec) {
    return codec == codec_aac_mono || codec == codec_aac_stereo;
}

}  // namespace

soundness_s check_mp4(window_c& w, const char* type, std::uint64_t joint) {
    soundness_s s;
    std::vector<media_s> media;
    box_s movie;
    bool has_movie = false;
    bool meta = false;
    std::uint64_t pos = 0;
    std::uint64_t previous = 0;
    for (int n = 0; n < max_boxes; ++n) {
        box_s b;
        const std::uint8_t* h = w.at(pos, 8);
        if (!h || !iso_top_level(h + 4) || be32(h) == 0 || !read_box(w, pos, w.bound(), &b)) {
            break;
        }
        if (b.is("moov")) {
            movie = b;
            has_movie = true;
        }
        meta = meta || b.is("meta");
        if (b.is("mdat")) {
            media.push_back({b.payload, b.end});
        }
        previous = pos;
        pos = b.end;
    }
    if (pos == 0) {
        return s;
    }
    if (!has_movie || media.empty()) {
        if (meta && !media.empty()) {  // a HEIF or AVIF picture: the measure's word
            s.sound = true;
            s.size = pos;
            s.type = type;
            return s;
        }
        if (has_movie || !media.empty()) {
            // The boxes stop before the file is whole: the next box header belongs at pos.
            s.break_low = previous;
            s.break_high = pos + 8;
            s.probe = soundness_s::probe_mp4_box;
            s.probe_at = pos;
        }
        return s;
    }
    // The movie's tracks: trak / mdia / minf / stbl.
    std::vector<sample_s> samples;
    bool broken = false;
    for (std::uint64_t at = movie.payload; at + 8 <= movie.end && !broken;) {
        box_s trak;
        if (!read_box(w, at, movie.end, &trak)) {
            broken = true;
            break;
        }
        at = trak.end;
        box_s mdia;
        box_s minf;
        box_s stbl;
        if (!trak.is("trak")) {
            continue;
        }
        // Every box a track must hold: one that cannot be found is as broken as one that
        // does not nest.
        box_s any;
        if (!child(w, trak, 0, "tkhd", &any, &broken) ||
            !child(w, trak, 0, "mdia", &mdia, &broken) ||
            !child(w, mdia, 0, "mdhd", &any, &broken) ||
            !child(w, mdia, 0, "hdlr", &any, &broken) ||
            !child(w, mdia, 0, "minf", &minf, &broken) ||
            !child(w, minf, 0, "stbl", &stbl, &broken) ||
            !track_samples(w, stbl, media, &samples)) {
            broken = true;
        }
    }
    if (broken) {
        s.break_low = movie.start;
        s.break_high = movie.end;
        return s;
    }
    std::sort(samples.begin(), samples.end(),
              [](const sample_s& a, const sample_s& b) { return a.offset < b.offset; });
    // Searching: the samples around the joint first, where a wrong joint shows at once.
    if (joint != 0 && !samples.empty()) {
        const auto near = std::lower_bound(
            samples.begin(), samples.end(), joint,
            [](const sample_s& a, std::uint64_t value) { return a.offset < value; });
        const std::size_t at = static_cast<std::size_t>(near - samples.begin());
        const std::size_t from = at > 8 ? at - 8 : 0;
        for (std::size_t i = from; i < samples.size() && i < at + 8; ++i) {
            std::uint64_t fail_at = 0;
            if (!sample_sane(w, samples[i], &fail_at)) {
                return s;
            }
        }
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint64_t fail_at = 0;
        if (!sample_sane(w, samples[i], &fail_at)) {
            // The media data runs into other data: the joint lies after the last sample that
            // looks right (by a check that random bytes rarely pass) and before the end of
            // the read that failed.
            std::size_t sure = i;
            while (sure > 0 && weak(samples[sure - 1].codec)) {
                --sure;
            }
            s.break_low = sure > 0 ? samples[sure - 1].offset : media.front().start;
            s.break_high = fail_at;
            // The probe: the first sample from there on with a check that random bytes
            // rarely pass, walked whole (its size goes with it).
            std::size_t probe = i;
            while (probe < samples.size() && weak(samples[probe].codec)) {
                ++probe;
            }
            const sample_s& p = samples[probe < samples.size() ? probe : i];
            s.probe = soundness_s::probe_mp4_sample;
            s.probe_at = p.offset;
            s.probe_number = static_cast<std::uint64_t>(p.codec) |
                             static_cast<std::uint64_t>(p.nal_length) << 8 |
                             static_cast<std::uint64_t>(p.size) << 16;
            return s;
        }
    }
    s.sound = true;
    s.size = pos;
    s.type = type;
    return s;
}

bool mp4_probe_holds(window_c& w, const soundness_s& broken) {
    if (broken.probe == soundness_s::probe_mp4_box) {
        const std::uint8_t* h = w.at(broken.probe_at, 8);
        return h && iso_top_level(h + 4) && (be32(h) == 1 || be32(h) >= 8);
    }
    sample_s s;
    s.offset = broken.probe_at;
    s.codec = static_cast<codec_e>(broken.probe_number & 0xFF);
    s.nal_length = static_cast<std::uint8_t>(broken.probe_number >> 8);
    s.size = static_cast<std::uint32_t>(broken.probe_number >> 16);
    std::uint64_t fail_at = 0;
    return sample_sane(w, s, &fail_at);
}

}  // namespace sig
