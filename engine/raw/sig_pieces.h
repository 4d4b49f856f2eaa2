#pragma once
// Files stored in two pieces. A picture, document, archive or movie whose structure breaks at
// a point (JPEG data that stops decoding, a PNG chunk whose CRC fails, a ZIP member whose CRC
// fails or whose next header is not where the lengths say, an MP4 box header that is not
// where the sizes say or media data that runs into other data) may go on after a gap of whole
// clusters, where a fragmented file system put the rest. The check of each format finds the
// break; the search tries each cluster boundary before it as the end of the first piece and
// each gap of whole clusters after it, and keeps the one joint the format's own checks pass
// across: libjpeg-turbo decodes the whole picture without a warning, every PNG chunk's CRC
// and the zlib stream hold, every ZIP member's CRC-32 and the central directory's offsets
// hold, an MP4's boxes nest by their sizes and every chunk lies inside its media data with
// sane bytes at each sample's start. A join is made only when exactly one joint and gap pass,
// and (but for the movies, whose samples' inner bytes are not checked) only when the check
// that passes is a whole one. Bounded by work (gaps probed, checks run, bytes checked), never
// by time, so every run on every machine joins the same files.

#include "sig_format.h"

#include <cstdint>

namespace sig {

// What a format check found about a candidate file.
struct soundness_s {
    bool sound = false;  // the whole file holds
    // Sound, and the check covered the file from its first byte to its last (decoded, every
    // CRC, every object at its offset); false when only its structure's frame was checked.
    bool whole = false;
    std::uint64_t size = 0;  // its size, when sound
    const char* type = nullptr;
    // When not sound: the structure breaks somewhere in (break_low, break_high] (offsets
    // from the file's first byte); both 0 when the check cannot tell where.
    std::uint64_t break_low = 0;
    std::uint64_t break_high = 0;
    // A quick test of a joint: what must lie at probe_at (an offset in the file) once the
    // pieces are put together (probe_none: no quick test).
    enum probe_e {
        probe_none,
        probe_png_chunk,
        probe_zip_header,
        probe_pdf_object,
        probe_pdf_xref,
        probe_mp4_box,     // a top-level box header
        probe_mp4_sample,  // a sample's first bytes (probe_number: its codec)
        probe_jpeg_data    // entropy-coded data: every 0xFF stuffed, a restart or the end
    };
    probe_e probe = probe_none;
    std::uint64_t probe_at = 0;
    std::uint64_t probe_number = 0;  // the PDF object's number
};

// The formats with a check: their measures' results are confirmed by it, and their broken
// files searched for a second piece.
bool has_check(const format_s& f);
// Runs the format's measure and its check over the window. When searching, a candidate the
// measure rejects is not checked further (and no break is looked for); joint (an offset in
// the file, 0: none) says where the candidate's pieces meet, so a check may look there first.
soundness_s check_file(const format_s& f, window_c& w, bool searching = false,
                       std::uint64_t joint = 0);

struct pieces_s {
    std::uint64_t first = 0;  // bytes in the first piece (whole clusters)
    std::uint64_t gap = 0;    // bytes between the pieces
    std::uint64_t size = 0;   // the whole file's size; 0: no second piece found
    const char* type = nullptr;
    bool whole = false;  // the joined file passed a whole check
};

// The work one search may do. Its result depends on the bytes alone: a search that would
// need more gives up (no join), the same way on every machine.
struct piece_search_s {
    std::uint64_t cluster = 4096;                  // the volume's cluster size
    std::uint64_t max_gap_clusters = 4096;         // the largest gap tried
    std::uint64_t max_probes = 1u << 20;           // quick tests of a joint
    std::uint64_t max_checks = 192;                // checks across a joint
    std::uint64_t max_check_bytes = 192ull << 20;  // bytes those checks may cover
    // Where the search adds the work it did: bytes checked, 4 KiB a check, 64 bytes a probe
    // (null: not counted).
    std::uint64_t* work = nullptr;
};

// Searches the second piece of a broken file that starts at start (bound: the type's limit
// from start, as for the measure).
pieces_s find_second_piece(byte_view_c& view, const format_s& f, std::uint64_t start,
                           std::uint64_t bound, const soundness_s& broken,
                           const piece_search_s& search);

// A view of the volume in which the pieces of one file follow each other: bytes at and after
// joint (a volume offset) come from joint + gap.
class spliced_view_c final : public byte_view_c {
  public:
    spliced_view_c(byte_view_c& base, std::uint64_t joint, std::uint64_t gap)
        : base_(base), joint_(joint), gap_(gap) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override;
    std::uint64_t size() const override { return base_.size() > gap_ ? base_.size() - gap_ : 0; }

    std::size_t contiguous(std::uint64_t pos) override {
        const std::size_t piece = base_.contiguous(pos < joint_ ? pos : pos + gap_);
        return pos < joint_ && joint_ - pos < piece ? static_cast<std::size_t>(joint_ - pos)
                                                    : piece;
    }

  private:
    byte_view_c& base_;
    std::uint64_t joint_;
    std::uint64_t gap_;
    std::uint8_t scratch_[view_max_span];
};

// The decode check of a JPEG (libjpeg-turbo) over [0, size) of the window; false with
// *break_at set to where the data stopped making sense when it does not decode cleanly.
bool jpeg_decodes(window_c& w, std::uint64_t size, std::uint64_t* break_at);
// Where a JPEG's first scan's entropy-coded data begins (after its SOS segment); the window's
// bound when the markers before it do not hold.
std::uint64_t jpeg_scan_data(window_c& w);
// Whether the bytes at pos read as entropy-coded JPEG data: in its first 4 KiB (or up to the
// end of the window) at least one 0xFF, and each one stuffed (FF 00), fill, a restart or a
// marker a progressive picture has between its scans, or the end of the image.
bool jpeg_data_at(window_c& w, std::uint64_t pos);

}  // namespace sig
