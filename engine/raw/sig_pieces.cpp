// The search for the second piece of a file whose check breaks, and the view that puts two
// pieces together. The checks themselves: sig_check_jpeg.cpp, sig_check_zlib.cpp,
// sig_check_pdf.cpp. See sig_pieces.h.
#include "sig_pieces.h"

#include "sig_checks.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace sig {

const std::uint8_t* spliced_view_c::at(std::uint64_t pos, std::size_t n) {
    if (n > view_max_span) {
        return nullptr;
    }
    if (pos + n <= joint_) {
        return base_.at(pos, n);
    }
    if (pos >= joint_) {
        return base_.at(pos + gap_, n);
    }
    const std::size_t head = static_cast<std::size_t>(joint_ - pos);
    const std::uint8_t* a = base_.at(pos, head);
    if (!a) {
        return nullptr;
    }
    std::memcpy(scratch_, a, head);
    const std::uint8_t* b = base_.at(joint_ + gap_, n - head);
    if (!b) {
        return nullptr;
    }
    std::memcpy(scratch_ + head, b, n - head);
    return scratch_;
}

bool has_check(const format_s& f) {
    const std::string_view name(f.name);
    return name == "jpg" || name == "png" || name == "zip" || name == "pdf" || name == "mp4";
}

soundness_s check_file(const format_s& f, window_c& w, bool searching, std::uint64_t joint) {
    const std::string_view name(f.name);
    const found_s found = f.measure(w);
    soundness_s s;
    if (searching && found.size == 0) {
        return s;  // a joint the structure does not even walk across
    }
    if (name == "jpg") {
        const std::uint8_t* p = w.at(0, 4);
        if (!p || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) {
            return s;
        }
        constexpr std::uint64_t decode_limit = 64ull << 20;
        std::uint64_t where = 0;
        const std::uint64_t span = found.size ? found.size : std::min(w.bound(), decode_limit);
        if (jpeg_decodes(w, span, &where)) {
            s.sound = found.size != 0;
            s.size = found.size;
            s.type = found.type;
            return s;
        }
        if (where > 2) {
            s.break_high = where;
            s.break_low = where > (256u << 10) ? where - (256u << 10) : 2;
        }
        return s;
    }
    if (name == "png") {
        s = check_png(w);
        if (s.sound && found.size != s.size) {
            s.sound = false;
        }
        return s;
    }
    if (name == "zip") {
        s = check_zip(w, found.type);
        if (!s.sound && s.break_high == 0 && found.size) {
            // Not checkable (Zip64, encrypted): the measure's word stands.
            s.sound = true;
            s.size = found.size;
            s.type = found.type;
        } else if (s.sound && found.size && found.size != s.size) {
            s.sound = false;
        }
        return s;
    }
    if (name == "pdf") {
        return check_pdf(w, found.size);
    }
    if (name == "mp4") {
        s = check_mp4(w, found.type, joint);
        if (s.sound && (found.size != s.size || !found.type)) {
            s.sound = false;
        }
        return s;
    }
    s.sound = found.size != 0;
    s.size = found.size;
    s.type = found.type;
    return s;
}

namespace {

bool probe_holds(window_c& w, const soundness_s& broken) {
    switch (broken.probe) {
        case soundness_s::probe_png_chunk: {
            const std::uint8_t* c = w.at(broken.probe_at, 8);
            return c && be32(c) <= 0x7FFFFFFFu && letters(c + 4);
        }
        case soundness_s::probe_zip_header: {
            const std::uint8_t* h = w.at(broken.probe_at, 4);
            return h && (le32(h) == 0x04034b50 || le32(h) == 0x02014b50);
        }
        case soundness_s::probe_pdf_object:
            return object_at(w, broken.probe_at, broken.probe_number);
        case soundness_s::probe_pdf_xref: {
            const std::uint8_t* x = w.at(broken.probe_at, 4);
            return x && (std::memcmp(x, "xref", 4) == 0 || object_at(w, broken.probe_at, 0, true));
        }
        case soundness_s::probe_mp4_box:
        case soundness_s::probe_mp4_sample:
            return mp4_probe_holds(w, broken);
        case soundness_s::probe_none:
            break;
    }
    return true;
}

}  // namespace

namespace {

// Whether the file checks whole with its second piece gap bytes after joint.
soundness_s joined_check(byte_view_c& view, const format_s& f, std::uint64_t start,
                         std::uint64_t bound, std::uint64_t joint, std::uint64_t gap,
                         const soundness_s& broken, bool probe) {
    spliced_view_c spliced(view, joint, gap);
    const std::uint64_t left = spliced.size() - start;
    window_c w(spliced, start, std::min(bound, left));
    if (probe && !probe_holds(w, broken)) {
        return {};
    }
    return check_file(f, w, true, joint - start);
}

}  // namespace

pieces_s find_second_piece(byte_view_c& view, const format_s& f, std::uint64_t start,
                           std::uint64_t bound, const soundness_s& broken,
                           const piece_search_s& search) {
    if (broken.break_high == 0) {
        return {};
    }
    const auto late = [&] { return std::chrono::steady_clock::now() > search.deadline; };
    // A movie's sample checks may pass at more than one joint or gap (the samples' inner
    // bytes are not checked): such a file is put together only when exactly one joint and
    // gap of the volume's cluster size pass.
    const bool only_one = std::string_view(f.name) == "mp4";
    std::vector<std::uint64_t> sizes{search.cluster};
    if (search.cluster != 512) {
        sizes.push_back(512);
    }
    const std::uint64_t volume = view.size();
    for (const std::uint64_t cluster : sizes) {
        // Joints at cluster boundaries of the volume from the break backwards. For a joint at
        // or before the probe, the probe reads the second piece alone, so which gaps pass it
        // is found once for all those joints.
        const std::uint64_t low = start + broken.break_low;
        std::vector<std::uint64_t> passing;  // gaps (in clusters) that pass the probe
        bool listed = false;
        pieces_s one;
        std::uint64_t joint = (start + broken.break_high) / cluster * cluster;
        for (; joint > low && joint > start; joint -= cluster) {
            const bool fixed =
                broken.probe != soundness_s::probe_none && joint - start <= broken.probe_at;
            if (fixed && !listed) {
                for (std::uint64_t g = 1; g <= search.max_gap_clusters; ++g) {
                    if ((g & 63) == 0 && late()) {
                        return {};
                    }
                    const std::uint64_t gap = g * cluster;
                    if (joint + gap >= volume) {
                        break;
                    }
                    spliced_view_c spliced(view, joint, gap);
                    window_c w(spliced, start, std::min(bound, spliced.size() - start));
                    if (probe_holds(w, broken)) {
                        passing.push_back(g);
                    }
                }
                listed = true;
            }
            if (fixed && passing.empty()) {
                break;  // no gap passes the probe, for this joint or any before it
            }
            const std::uint64_t tries = fixed ? passing.size() : search.max_gap_clusters;
            for (std::uint64_t i = 0; i < tries; ++i) {
                if (late()) {
                    return {};
                }
                const std::uint64_t gap = (fixed ? passing[i] : i + 1) * cluster;
                if (joint + gap >= volume) {
                    break;
                }
                const soundness_s s =
                    joined_check(view, f, start, bound, joint, gap, broken, !fixed);
                if (!s.sound || s.size <= joint - start) {
                    continue;
                }
                if (!only_one) {
                    return {joint - start, gap, s.size, s.type};
                }
                if (one.size != 0) {
                    return {};  // a second joint passes: which one is the file's is not known
                }
                one = {joint - start, gap, s.size, s.type};
            }
        }
        if (one.size != 0) {
            return one;
        }
    }
    return {};
}

}  // namespace sig
