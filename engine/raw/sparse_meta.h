#pragma once
// The metadata of a deep scan's found files by their position in the record table, kept
// only for the files that say something about themselves: a million found files of which
// few carry a title or a date cost those few. Filled in position order, one entry per
// record (push_back), and read by position like a vector; a position without metadata
// reads as an empty file_meta_s.
//
// Used as a plain value by the engine that owns it; not shared between threads.

#include "engine/raw/file_metadata.h"

#include <cstdint>
#include <utility>
#include <vector>

class sparse_meta_c {
  public:
    // The metadata of the next position (one past the last pushed).
    void push_back(file_meta_s meta);
    // Positions up to n that say nothing (no-op when n <= size()).
    void pad_to(std::size_t n) { size_ = n > size_ ? n : size_; }
    // Positions pushed so far.
    std::size_t size() const { return size_; }
    // Room for n positions; only what is not empty is kept, so this reserves nothing.
    void reserve(std::size_t n) { (void)n; }
    void clear();
    // The metadata of a position below size(); an empty one when it says nothing.
    const file_meta_s& operator[](std::size_t position) const;

  private:
    std::vector<std::pair<std::uint64_t, file_meta_s>> kept_;  // by position, ascending
    std::size_t size_ = 0;
};
