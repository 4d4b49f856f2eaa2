#pragma once
// The map of a careful copy: which parts of the source are copied, still to try or bad.
//
// Stored in GNU ddrescue's mapfile format, so that ddrescuelog and other tools read it and
// an interrupted copy continues from it:
//
//   # comment lines
//   0x00000000     ?               1          current position, status, pass
//   #      pos        size  status
//   0x00000000  0x00100000  +                 blocks in order, covering the source
//
// Block statuses: '?' not tried, '*' failed in a large read (not trimmed), '/' not scraped,
// '-' bad sector (tried and failed), '+' copied. The current status is one of "?*/-F+".
// A loaded map is hostile input: every field is checked, the blocks must cover the source
// exactly, and at most max_blocks are accepted.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct rescue_block_s {
    std::uint64_t pos = 0;
    std::uint64_t size = 0;
    char status = '?';
};

class rescue_map_c {
  public:
    static constexpr std::size_t max_blocks = 1000000;

    // One block of '?' over a source of this many bytes.
    void reset(std::uint64_t size);
    // Reads a map for a source of this many bytes; false with *error (in words) when it is
    // not a map of this source.
    bool parse(const QByteArray& text, std::uint64_t size, QString* error);
    // The map as ddrescue writes it.
    QByteArray text(const QString& command_line, char current_status, int pass) const;
    // Marks [pos, pos + size) with this status; neighbours of the same status merge.
    void set(std::uint64_t pos, std::uint64_t size, char status);

    const std::vector<rescue_block_s>& blocks() const { return blocks_; }
    std::uint64_t source_size() const { return size_; }
    // Bytes with this status, and the number of separate areas with it.
    std::uint64_t bytes(char status) const;
    int areas(char status) const;
    // The first block with this status at or after pos; false when none is left.
    bool next(char status, std::uint64_t pos, rescue_block_s* block) const;
    std::uint64_t current_pos = 0;
    int current_pass = 1;  // the pass the copy was in when the map was written

  private:
    std::vector<rescue_block_s> blocks_;
    std::uint64_t size_ = 0;
};
