#pragma once
// An ext2, ext3 or ext4 volume opened for reading: the superblock (its checksum checked
// with metadata_csum), the group descriptors (32- and 64-bit, meta_bg placed), inodes, the
// block and inode bitmaps, a file's blocks through its extent tree or its ext2/3 block map,
// and the internal journal, searched once for the older copies of metadata blocks
// (ext4_journal.h).
//
// Reads through a byte reader over the volume (a drive range, a memory buffer in tests and
// fuzzers); never writes. Used by one thread at a time: the ext4 engine's thread during a
// scan, the restoring thread afterwards. Everything read from the volume is bounded: block
// numbers beyond the volume, trees deeper than five levels or not shrinking by one level
// per step, and maps longer than the file end the walk.

#include "engine/ext4/ext4_format.h"
#include "engine/ext4/ext4_journal.h"

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace ext4 {

// Reads len bytes at a byte offset of the volume: 0 on success, -1 on an error or short read.
using reader_f = std::function<int(std::uint64_t offset, void* buffer, std::size_t len)>;

enum open_result_e : int {
    open_ok = 0,
    open_read_error = 1,  // the superblock or the group descriptors could not be read
    open_not_ext = 2,     // no sound ext2/3/4 superblock
};

// Where a file's blocks are, as found.
struct block_map_s {
    std::vector<extent_s> extents;  // in file order; holes left out
    bool complete = true;           // every tree block was read and every block lies on the volume
    std::uint64_t mapped = 0;       // blocks in extents; never more than the volume holds
};

class ext4_volume_c {
  public:
    // Reads a tree or map block as of a moment (a journal copy, else the volume's own).
    using node_reader_f = std::function<bool(std::uint64_t block, std::uint8_t* buffer)>;

    int open(reader_f reader, std::uint64_t volume_bytes);
    bool is_open() const { return open_; }
    const superblock_s& sb() const { return sb_; }
    std::uint32_t block_bytes() const { return sb_.block_bytes(); }
    std::uint64_t block_count() const { return sb_.blocks_count; }

    // count blocks from block into buffer (count * block_bytes); false beyond the volume or
    // on a read error.
    bool read_blocks(std::uint64_t block, std::uint32_t count, std::uint8_t* buffer) const;
    // The volume block that holds inode ino and the inode's byte offset in it.
    bool inode_place(std::uint32_t ino, std::uint64_t* block, std::uint32_t* offset) const;
    // The inode ino of which block (block_bytes, at the place inode_place gives) is a copy.
    // 0 when the block lies in no inode table.
    std::uint32_t first_inode_of_table_block(std::uint64_t block) const;
    bool read_inode(std::uint32_t ino, inode_s* out,
                    std::vector<std::uint8_t>* raw = nullptr) const;
    // The bitmaps: a bit set is in use. Blocks outside the volume count as in use; a bitmap
    // that cannot be read counts every block (and inode) of its group in use.
    bool block_in_use(std::uint64_t block) const;
    bool inode_in_use(std::uint32_t ino) const;

    // The blocks of a file from its inode: through the extent tree (tree blocks through
    // nodes, or read from the volume when nodes is empty) or the direct and indirect block
    // map. At most max_blocks (the file's length in blocks) are mapped.
    block_map_s map_blocks(const inode_s& inode, std::uint64_t max_blocks,
                           const node_reader_f& nodes = {}) const;

    // Reads the internal journal's blocks into the journal index; false when the volume
    // has none or it cannot be read (then the index is empty).
    bool load_journal();
    const journal_index_c& journal() const { return journal_; }

  private:
    bool read_node(std::uint64_t block, std::uint8_t* buffer, const node_reader_f& nodes) const;
    bool load_bitmap(std::uint64_t group, bool blocks,
                     const std::vector<std::uint8_t>** bits) const;
    void walk_extents(const std::uint8_t* node_bytes, std::size_t length, int expected_depth,
                      std::uint64_t max_blocks, const node_reader_f& nodes, block_map_s* map,
                      std::uint64_t* budget) const;
    void walk_indirect(std::uint64_t block, int level, std::uint64_t* logical,
                       std::uint64_t max_blocks, const node_reader_f& nodes, block_map_s* map,
                       std::uint64_t* budget) const;
    void add_run(std::uint64_t logical, std::uint64_t physical, std::uint32_t count, bool unwritten,
                 std::uint64_t max_blocks, block_map_s* map) const;

    reader_f reader_;
    superblock_s sb_;
    std::vector<group_desc_s> groups_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> tables_;  // (inode table, group)
    bool open_ = false;
    mutable std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> block_bitmaps_;
    mutable std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> inode_bitmaps_;
    journal_index_c journal_;
    block_map_s journal_map_;
};

}  // namespace ext4
