#pragma once
// The jbd2 journal of an ext3/ext4 volume searched for the older copies of metadata blocks
// that it still holds: inode-table blocks from before a deletion (with the extents that the
// deletion cleared), directory blocks from before an entry was wiped, extent tree blocks.
//
// The whole journal is read, not only the part a replay would use: after a clean unmount
// the journal counts as empty, yet every block written into it stays until the circle comes
// round again. A copy counts only when its transaction's commit block is there, no newer
// descriptor has reused its place in the circle, and (with journal checksums v2 or v3) its
// tag's checksum holds. Descriptor, commit and revoke blocks are read; 32- and 64-bit block
// numbers, checksum v2/v3 tags and escaped blocks are handled. Everything read is bounded.
//
// Built once on the engine's thread; read afterwards by the scan and the restore.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace ext4 {

constexpr std::uint32_t jbd2_magic = 0xC03B3998;

// One copy of a volume block inside the journal.
struct journal_copy_s {
    std::uint32_t sequence = 0;  // the transaction that wrote it
    std::uint64_t position = 0;  // the journal block that holds it
    bool escaped = false;        // its first four bytes were the journal's magic
};

struct journal_stats_s {
    std::uint64_t descriptors = 0;
    std::uint64_t commits = 0;
    std::uint64_t revokes = 0;  // revoke records
    std::uint64_t copies = 0;   // block copies kept
    std::uint64_t bad_checksums = 0;
};

class journal_index_c {
  public:
    // Reads one journal block (block_bytes) by its position in the journal; false on error.
    using block_reader_f = std::function<bool(std::uint64_t position, std::uint8_t* buffer)>;

    // Reads the journal superblock at position 0 and every block after it, up to
    // journal_blocks (the journal inode's length in blocks). False when position 0 holds no
    // journal superblock of this block size; the index is empty then.
    bool load(const block_reader_f& read, std::uint64_t journal_blocks, std::uint32_t block_bytes);
    // load() over blocks already in memory (tests, fuzzing): bytes holds the journal from its
    // superblock on.
    bool load_bytes(const std::uint8_t* bytes, std::size_t length, std::uint32_t block_bytes);
    // Replaces the reader that read_copy uses (load's reader may read ahead in order).
    void set_reader(block_reader_f read) { read_ = std::move(read); }

    // The copies of a volume block, newest first; empty when the journal holds none.
    const std::vector<journal_copy_s>& copies(std::uint64_t volume_block) const;
    // The bytes of one copy (block_bytes), with an escaped magic put back.
    bool read_copy(const journal_copy_s& copy, std::uint8_t* buffer) const;
    // A revoke record for the block in a transaction at or after sequence: the block left
    // the metadata then (freed), so what the volume holds there now may be anything.
    bool revoked_since(std::uint64_t volume_block, std::uint32_t sequence) const;
    // Every volume block that has copies (in no particular order).
    std::vector<std::uint64_t> blocks() const;
    const journal_stats_s& stats() const { return stats_; }
    bool loaded() const { return loaded_; }

    // a is a later transaction than b (sequence numbers wrap).
    static bool newer(std::uint32_t a, std::uint32_t b) {
        return static_cast<std::int32_t>(a - b) > 0;
    }

  private:
    block_reader_f read_;
    std::uint32_t block_bytes_ = 0;
    bool loaded_ = false;
    std::unordered_map<std::uint64_t, std::vector<journal_copy_s>> copies_;
    std::unordered_map<std::uint64_t, std::uint32_t> revoked_;  // block -> newest revoke
    journal_stats_s stats_;
    std::vector<std::uint8_t> memory_;  // load_bytes keeps its own copy
};

}  // namespace ext4
