// The signature library's format measures over arbitrary bytes, as the scan runs them: at
// every sector start of the input, every format whose magic lies there measures the rest.
// A measure must never read outside its window nor report a file larger than it. Formats
// with a check are checked whole too, and a broken file's second piece is searched for
// (within a few clusters and milliseconds): a joint must lie inside the input.
#include "engine/raw/sig_format.h"
#include "engine/raw/sig_pieces.h"

#include <chrono>
#include <cstring>

namespace {

class input_view_c final : public sig::byte_view_c {
  public:
    input_view_c(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > sig::view_max_span || pos > size_ || n > size_ - pos) {
            return nullptr;
        }
        return data_ + pos;
    }
    std::uint64_t size() const override { return size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input_view_c view(data, size);
    for (std::size_t start = 0; start < size; start += 512) {
        const std::size_t left = size - start;
        for (const sig::format_s& f : sig::formats()) {
            if (left < f.magic_offset + f.magic_length ||
                std::memcmp(data + start + f.magic_offset, f.magic, f.magic_length) != 0) {
                continue;
            }
            sig::window_c window(view, start, left);
            const sig::found_s found = f.measure(window);
            if (found.size > left || (found.size != 0 && !found.type)) {
                __builtin_trap();
            }
            if (!sig::has_check(f)) {
                continue;
            }
            const sig::soundness_s checked = sig::check_file(f, window);
            if (checked.sound && (checked.size > left || !checked.type)) {
                __builtin_trap();
            }
            if (checked.sound || checked.break_high == 0) {
                continue;
            }
            sig::piece_search_s search;
            search.cluster = 512;
            search.max_gap_clusters = 8;
            search.max_checks = 16;  // bounded by work: a fuzz input must finish quickly
            search.max_check_bytes = 1u << 20;
            const sig::pieces_s two = sig::find_second_piece(view, f, start, left, checked, search);
            if (two.size != 0 && (two.first == 0 || two.gap > left || two.size > left - two.gap ||
                                  two.first >= two.size)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
