#pragma once
// Byte-by-byte reading of a candidate's window, for the text formats (markup, plain text,
// RTF), whose structure is walked one character at a time.

#include "sig_format.h"

#include <cstring>

namespace sig {

// Sequential reading of a window with a little look-ahead.
class cursor_c {
  public:
    explicit cursor_c(window_c& w) : w_(w) {}
    // The byte at pos, or -1 past the window's end.
    int at(std::uint64_t pos) {
        if (pos < base_ || pos >= base_ + length_) {
            fill(pos);
            if (length_ == 0) {
                return -1;
            }
        }
        return data_[pos - base_];
    }
    // The n bytes at pos equal text (n at most 16), ignoring ASCII case when asked.
    bool match(std::uint64_t pos, const char* text, bool any_case = false) {
        const std::size_t n = std::strlen(text);
        if (pos < base_ || pos + n > base_ + length_) {
            fill(pos);
            if (length_ < n) {
                return false;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            int c = data_[pos - base_ + i];
            int t = static_cast<unsigned char>(text[i]);
            if (any_case) {
                c = c >= 'A' && c <= 'Z' ? c + 32 : c;
                t = t >= 'A' && t <= 'Z' ? t + 32 : t;
            }
            if (c != t) {
                return false;
            }
        }
        return true;
    }

  private:
    void fill(std::uint64_t pos) {
        base_ = pos;
        data_ = w_.some(pos, view_max_span, &length_);
        if (!data_) {
            length_ = 0;
        }
    }
    window_c& w_;
    const std::uint8_t* data_ = nullptr;
    std::uint64_t base_ = 0;
    std::size_t length_ = 0;
};

}  // namespace sig
