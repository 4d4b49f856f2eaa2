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
            s.whole = s.sound;  // every entropy-coded byte decoded
            s.size = found.size;
            s.type = found.type;
            return s;
        }
        if (where > 2) {
            s.break_high = where;
            s.break_low = where > (256u << 10) ? where - (256u << 10) : 2;
            s.probe = soundness_s::probe_jpeg_data;
            s.probe_number = jpeg_scan_data(w);
        }
        return s;
    }
    if (name == "png") {
        s = check_png(w);
        if (s.sound && found.size != s.size) {
            s.sound = false;
        }
        s.whole = s.sound;  // every chunk's CRC and the whole zlib stream
        return s;
    }
    if (name == "zip") {
        s = check_zip(w, found.type);
        if (!s.sound && s.break_high == 0 && found.size) {
            // Not checkable (Zip64, encrypted): the measure's word stands, and no more.
            s.sound = true;
            s.size = found.size;
            s.type = found.type;
            return s;
        }
        if (s.sound && found.size && found.size != s.size) {
            s.sound = false;
        }
        s.whole = s.sound;  // every member's CRC-32 and the central directory
        return s;
    }
    if (name == "pdf") {
        return check_pdf(w, found.size);
    }
    if (name == "mp4") {
        // Boxes, chunk offsets and each sample's first bytes: the samples' inner bytes are not
        // checked, so a movie is never whole.
        s = check_mp4(w, found.type, joint);
        if (s.sound && (found.size != s.size || !found.type)) {
            s.sound = false;
        }
        s.whole = false;
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
        case soundness_s::probe_jpeg_data:
            return jpeg_data_at(w, broken.probe_at);
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
        soundness_s failed;
        failed.probe_at = ~std::uint64_t{0};  // no check was run
        return failed;
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
    // A movie's check does not read its samples' inner bytes: it is the one kind put together
    // on a check that is not whole, and then only as a file the scan cannot vouch for.
    const bool movie = std::string_view(f.name) == "mp4";
    std::uint64_t probes = 0;
    std::uint64_t checks = 0;
    std::uint64_t check_bytes = 0;
    struct count_s {
        const piece_search_s& search;
        const std::uint64_t& probes;
        const std::uint64_t& checks;
        const std::uint64_t& check_bytes;
        ~count_s() {
            if (search.work) {
                *search.work += check_bytes + checks * 4096 + probes * 64;
            }
        }
    } count{search, probes, checks, check_bytes};
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
        // JPEG data from the joint on: what the probe says of a second piece that begins at a
        // volume offset, kept by offset (0 not tried, 1 fails, 2 holds).
        const bool entropy = broken.probe == soundness_s::probe_jpeg_data;
        std::uint64_t joint = (start + broken.break_high) / cluster * cluster;
        const std::uint64_t first_rest =
            joint > low ? joint - (joint - low - 1) / cluster * cluster : joint;
        std::vector<std::uint8_t> entropy_at;
        if (entropy) {
            entropy_at.resize(static_cast<std::size_t>((joint - first_rest) / cluster +
                                                       search.max_gap_clusters + 2));
        }
        for (; joint > low && joint > start; joint -= cluster) {
            const bool fixed = broken.probe != soundness_s::probe_none && !entropy &&
                               joint - start <= broken.probe_at;
            if (fixed && !listed) {
                for (std::uint64_t g = 1; g <= search.max_gap_clusters; ++g) {
                    const std::uint64_t gap = g * cluster;
                    if (joint + gap >= volume) {
                        break;
                    }
                    if (++probes > search.max_probes) {
                        return {};
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
                const std::uint64_t gap = (fixed ? passing[i] : i + 1) * cluster;
                if (joint + gap >= volume) {
                    break;
                }
                bool probe = !fixed;
                if (entropy) {
                    probe = false;
                    if (joint - start >= broken.probe_number) {
                        // The joint lies in the picture's data: the second piece must read as
                        // such data from its first byte.
                        std::uint8_t& known = entropy_at[static_cast<std::size_t>(
                            (joint + gap - first_rest) / cluster)];
                        if (known == 0) {
                            if (++probes > search.max_probes) {
                                return {};
                            }
                            window_c rest(view, joint + gap, volume - joint - gap);
                            known = jpeg_data_at(rest, 0) ? 2 : 1;
                        }
                        if (known == 1) {
                            continue;
                        }
                    }
                } else if (probe && ++probes > search.max_probes) {
                    return {};
                }
                if (checks >= search.max_checks || check_bytes >= search.max_check_bytes) {
                    return {};  // too much work to know the joint is the only one
                }
                const soundness_s s =
                    joined_check(view, f, start, bound, joint, gap, broken, probe);
                if (s.probe_at == ~std::uint64_t{0}) {
                    continue;  // the probe failed: no check was run
                }
                ++checks;
                check_bytes += s.sound ? s.size : std::max(s.break_high, joint - start);
                if (!s.sound || s.size <= joint - start || !(s.whole || movie)) {
                    continue;
                }
                if (one.size != 0) {
                    return {};  // a second joint passes: which one is the file's is not known
                }
                one = {joint - start, gap, s.size, s.type, s.whole};
            }
        }
        if (one.size != 0) {
            return one;
        }
    }
    return {};
}

}  // namespace sig
