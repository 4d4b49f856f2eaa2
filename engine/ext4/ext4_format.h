#pragma once
// The on-disk structures of ext2, ext3 and ext4, decoded from byte spans: the superblock and
// its checksum, group descriptors (32 and 64 bytes), inodes, extent tree nodes, indirect
// block maps and directory blocks, deleted entries included. Pure functions with no device
// access, shared by the volume reader, the journal search and the fuzz harness. Every
// length, count and block number read from the bytes is checked before use.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ext4 {

constexpr std::uint64_t superblock_offset = 1024;
constexpr std::size_t superblock_bytes = 1024;
constexpr std::uint16_t magic = 0xEF53;
constexpr std::uint32_t root_inode = 2;
constexpr std::uint32_t journal_inode_default = 8;
constexpr int max_extent_depth = 5;

// superblock 0x5C, 0x60, 0x64: feature words
constexpr std::uint32_t compat_has_journal = 0x4;
constexpr std::uint32_t incompat_filetype = 0x2;
constexpr std::uint32_t incompat_journal_dev = 0x8;
constexpr std::uint32_t incompat_meta_bg = 0x10;
constexpr std::uint32_t incompat_extents = 0x40;
constexpr std::uint32_t incompat_64bit = 0x80;
constexpr std::uint32_t incompat_inline_data = 0x8000;
constexpr std::uint32_t ro_compat_sparse_super = 0x1;
constexpr std::uint32_t ro_compat_metadata_csum = 0x400;

// inode 0x20: flags
constexpr std::uint32_t inode_flag_index = 0x1000;  // hashed directory
constexpr std::uint32_t inode_flag_extents = 0x80000;
constexpr std::uint32_t inode_flag_inline_data = 0x10000000;

// inode 0x00: the file type in the mode's top four bits
constexpr std::uint16_t mode_type_mask = 0xF000;
constexpr std::uint16_t mode_directory = 0x4000;
constexpr std::uint16_t mode_regular = 0x8000;
constexpr std::uint16_t mode_symlink = 0xA000;

// directory entry 0x07: file type (with the filetype feature)
constexpr std::uint8_t dirent_regular = 1;
constexpr std::uint8_t dirent_directory = 2;

// group descriptor 0x12: flags
constexpr std::uint16_t group_block_uninit = 0x2;
constexpr std::uint16_t group_inode_uninit = 0x1;

std::uint16_t le16(const std::uint8_t* p);
std::uint32_t le32(const std::uint8_t* p);
std::uint16_t be16(const std::uint8_t* p);
std::uint32_t be32(const std::uint8_t* p);
std::uint64_t be64(const std::uint8_t* p);

// CRC-32C as the kernel runs it for ext4 and jbd2: seeded, without the final inversion.
std::uint32_t crc32c_raw(std::uint32_t seed, const void* data, std::size_t len);

// The superblock fields the reader uses.
struct superblock_s {
    std::uint32_t inodes_count = 0;       // 0x00
    std::uint64_t blocks_count = 0;       // 0x04, high half 0x150 with 64bit
    std::uint32_t first_data_block = 0;   // 0x14: 1 for 1 KiB blocks, else 0
    std::uint32_t log_block_size = 0;     // 0x18: block bytes = 1024 << n
    std::uint32_t blocks_per_group = 0;   // 0x20
    std::uint32_t inodes_per_group = 0;   // 0x28
    std::uint32_t rev_level = 0;          // 0x4C
    std::uint16_t inode_size = 128;       // 0x58 (128 before revision 1)
    std::uint32_t feature_compat = 0;     // 0x5C
    std::uint32_t feature_incompat = 0;   // 0x60
    std::uint32_t feature_ro_compat = 0;  // 0x64
    std::uint8_t uuid[16] = {};           // 0x68
    std::string label;                    // 0x78, 16 bytes
    std::uint32_t journal_inode = 0;      // 0xE0
    std::uint16_t desc_size = 32;         // 0xFE with 64bit, else 32
    std::uint32_t first_meta_bg = 0;      // 0x104
    bool checksum_ok = true;              // 0x3FC holds when metadata_csum is on
    std::uint32_t csum_seed = 0;          // 0x270 with csum_seed, else from the UUID

    std::uint32_t block_bytes() const { return 1024U << log_block_size; }
    std::uint64_t group_count() const {
        return (blocks_count - first_data_block + blocks_per_group - 1) / blocks_per_group;
    }
    bool has(std::uint32_t incompat) const { return (feature_incompat & incompat) != 0; }
};

// Checks and decodes a superblock (superblock_bytes) of a volume of volume_bytes (0: not
// known); false when it is not one whose geometry holds together. A wrong checksum
// (metadata_csum) is decoded but flagged in checksum_ok.
bool parse_superblock(const std::uint8_t* sb, std::size_t length, std::uint64_t volume_bytes,
                      superblock_s* out);

struct group_desc_s {
    std::uint64_t block_bitmap = 0;  // 0x00, high 0x20
    std::uint64_t inode_bitmap = 0;  // 0x04, high 0x24
    std::uint64_t inode_table = 0;   // 0x08, high 0x28
    std::uint16_t flags = 0;         // 0x12
};
group_desc_s parse_group_desc(const std::uint8_t* desc, std::size_t desc_size);

// Whether a group carries a superblock copy and group descriptors (sparse_super: groups 0,
// 1 and the powers of 3, 5 and 7).
bool group_has_super(const superblock_s& sb, std::uint64_t group);

// The inode fields the reader uses.
struct inode_s {
    std::uint16_t mode = 0;        // 0x00
    std::uint64_t size = 0;        // 0x04, high 0x6C
    std::uint32_t atime = 0;       // 0x08
    std::uint32_t ctime = 0;       // 0x0C
    std::uint32_t mtime = 0;       // 0x10
    std::uint32_t dtime = 0;       // 0x14
    std::uint16_t links = 0;       // 0x1A
    std::uint32_t flags = 0;       // 0x20
    std::uint8_t block[60] = {};   // 0x28: extent tree root, block map or inline data
    std::uint32_t generation = 0;  // 0x64
    std::uint32_t crtime = 0;      // 0x90 when the extra part holds it, else 0
    // An inline file's or folder's bytes beyond the 60 of block: the value of its
    // "system.data" attribute in the inode's extra space (only read for inline inodes).
    std::vector<std::uint8_t> inline_rest;
    std::uint16_t type() const { return mode & mode_type_mask; }
    bool is_directory() const { return type() == mode_directory; }
    bool is_regular() const { return type() == mode_regular; }
    bool uses_extents() const { return (flags & inode_flag_extents) != 0; }
    bool inline_data() const { return (flags & inode_flag_inline_data) != 0; }
    // The extent root or block map names some data block (what a deletion clears).
    bool has_block_map() const;
};
// Decodes an inode record of inode_size bytes (at least 128).
inode_s parse_inode(const std::uint8_t* bytes, std::size_t inode_size);

// One run of a file's blocks.
struct extent_s {
    std::uint64_t logical = 0;   // first block within the file
    std::uint64_t physical = 0;  // first block on the volume; 0 for a hole
    std::uint32_t count = 0;
    bool unwritten = false;  // allocated but never written: reads as zeros
};

// One extent tree node (the inode's 60 bytes or a tree block): its header and entries.
struct extent_node_s {
    std::uint16_t depth = 0;
    // depth 0: leaf extents; else index entries as (first logical block, child block)
    std::vector<extent_s> extents;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> children;
};
// False when the bytes hold no sound node (magic 0xF30A, entries within max and length).
bool parse_extent_node(const std::uint8_t* bytes, std::size_t length, extent_node_s* node);

// One directory entry as found.
struct dirent_s {
    std::uint32_t inode = 0;
    std::uint32_t offset = 0;  // within the block
    std::uint16_t rec_len = 0;
    std::uint8_t file_type = 0;  // 0 without the filetype feature
    bool deleted = false;        // found in slack, or inode 0 at a block's start
    std::string name;
};
struct dirent_options_s {
    std::uint32_t inodes_count = 0;
    bool filetype = true;
    // Block 0 of a hashed directory: the tree root follows "..", nothing to search there.
    bool hashed_root = false;
};
// The entries of one directory block: the live ones in their rec_len chain and the deleted
// ones that survive in the slack after each entry's own bytes, or with inode 0 at the
// block's start with their name. "." and ".." are left out. A broken chain ends the walk at
// that point; what was found before stays.
std::vector<dirent_s> parse_dir_block(const std::uint8_t* block, std::size_t length,
                                      const dirent_options_s& options);

// With metadata_csum a directory leaf block ends in a 12-byte tail whose CRC-32C covers the
// block and the inode number and generation of the directory that owns it. False only when
// the tail is there and names another owner; a block without a tail cannot tell.
bool dir_block_owned_by(const std::uint8_t* block, std::size_t length, std::uint32_t csum_seed,
                        std::uint32_t inode, std::uint32_t generation);

// The bytes of inline data as directory entries: the inode's 60 bytes, whose first 4 are
// the parent's inode number, then the entries of the rest kept in the inode's attribute.
std::vector<dirent_s> parse_inline_dir(const std::uint8_t* block60, std::uint32_t inodes_count,
                                       const std::vector<std::uint8_t>& rest = {});

// The value of the "system.data" attribute in the extra space of an inode record of
// inode_size bytes, where an inline file keeps what does not fit in its 60 bytes; empty
// when there is none or the space does not hold together.
std::vector<std::uint8_t> inline_data_rest(const std::uint8_t* bytes, std::size_t inode_size);

}  // namespace ext4
