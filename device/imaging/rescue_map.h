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

// What names the source of a copy, kept in the map's comment lines (which ddrescue and
// ddrescuelog pass over):
//
//   # Source: /dev/sdb
//   # Source size: 8388608
//   # Source sector size: 512
//   # Source serial: WD-WCC4N1234567
//   # Source first MiB: <sha-256 in hex, or "unreadable">
//   # Source last MiB: <sha-256 in hex, or "unreadable">
//
// A copy continues only from a map of its own source: see conflict_with().
struct source_identity_s {
    QString name;    // the device node or the image's path
    QString serial;  // the disk's serial or WWID, a loop device's backing file; may be empty
    std::uint64_t size = 0;
    std::uint32_t sector_size = 0;
    QByteArray first_hash;  // hex; empty when the first MiB could not be read
    QByteArray last_hash;   // the same for the last MiB

    bool known() const { return !name.isEmpty(); }
    // Why a map made for `recorded` may not continue a copy of this source, or empty.
    // Sizes, sector sizes, serials and hashes are compared where both sides know them; when
    // neither a serial nor a hash could be compared, the names must be the same.
    QString conflict_with(const source_identity_s& recorded) const;
};

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
    int current_pass = 1;        // the pass the copy was in when the map was written
    source_identity_s identity;  // written into the map; read back by parse() (or unknown)

  private:
    std::vector<rescue_block_s> blocks_;
    std::uint64_t size_ = 0;
};
