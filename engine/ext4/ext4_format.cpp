#include "ext4_format.h"

#include <array>
#include <cstring>

namespace ext4 {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

std::uint64_t be64(const std::uint8_t* p) {
    return (static_cast<std::uint64_t>(be32(p)) << 32) | be32(p + 4);
}

namespace {

using crc_table_t = std::array<std::uint32_t, 256>;

constexpr crc_table_t make_table() {
    crc_table_t table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr crc_table_t castagnoli = make_table();

std::size_t align4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

// A name as a directory entry may hold it: no NUL and no slash.
bool plausible_name(const std::uint8_t* name, std::size_t length) {
    if (length == 0) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] == 0 || name[i] == '/') {
            return false;
        }
    }
    return true;
}

bool dot_name(const std::string& name) {
    return name == "." || name == "..";
}

}  // namespace

std::uint32_t crc32c_raw(std::uint32_t seed, const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t c = seed;
    for (std::size_t i = 0; i < len; ++i) {
        c = castagnoli[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    }
    return c;
}

bool parse_superblock(const std::uint8_t* sb, std::size_t length, std::uint64_t volume_bytes,
                      superblock_s* out) {
    if (length < superblock_bytes || le16(sb + 0x38) != magic) {
        return false;
    }
    superblock_s s;
    s.inodes_count = le32(sb + 0x00);
    s.first_data_block = le32(sb + 0x14);
    s.log_block_size = le32(sb + 0x18);
    s.blocks_per_group = le32(sb + 0x20);
    s.inodes_per_group = le32(sb + 0x28);
    s.rev_level = le32(sb + 0x4C);
    s.feature_compat = le32(sb + 0x5C);
    s.feature_incompat = le32(sb + 0x60);
    s.feature_ro_compat = le32(sb + 0x64);
    std::memcpy(s.uuid, sb + 0x68, 16);
    const char* label = reinterpret_cast<const char*>(sb + 0x78);
    s.label.assign(label, strnlen(label, 16));
    s.blocks_count = le32(sb + 0x04);
    if (s.log_block_size > 6) {  // 64 KiB blocks at most
        return false;
    }
    if (s.rev_level >= 1) {
        s.inode_size = le16(sb + 0x58);
        s.journal_inode = le32(sb + 0xE0);
        s.first_meta_bg = le32(sb + 0x104);
    }
    if (s.has(incompat_64bit)) {
        s.blocks_count |= static_cast<std::uint64_t>(le32(sb + 0x150)) << 32;
        s.desc_size = le16(sb + 0xFE);
        if (s.desc_size < 64 || s.desc_size > 1024 || (s.desc_size & (s.desc_size - 1)) != 0) {
            return false;
        }
    }
    const std::uint32_t block = s.block_bytes();
    if (s.inode_size < 128 || s.inode_size > block || (s.inode_size & (s.inode_size - 1)) != 0 ||
        s.blocks_per_group == 0 || s.blocks_per_group > 8U * block || s.inodes_per_group == 0 ||
        s.inodes_per_group > 8U * block || s.first_data_block >= s.blocks_count ||
        s.first_data_block != (block == 1024 ? 1U : 0U) || s.inodes_count == 0) {
        return false;
    }
    if (s.group_count() == 0 || s.group_count() * s.inodes_per_group < s.inodes_count ||
        s.group_count() > (std::uint64_t{1} << 32)) {
        return false;
    }
    if (volume_bytes != 0 && s.blocks_count > volume_bytes / block) {
        // A volume cut short (an image of part of a disk) still reads what it holds.
        s.blocks_count = volume_bytes / block;
        if (s.blocks_count <= s.first_data_block) {
            return false;
        }
    }
    // superblock 0x270: the checksum seed, when incompat 0x2000 (csum_seed) is set
    s.csum_seed = (s.feature_incompat & 0x2000) ? le32(sb + 0x270) : crc32c_raw(~0U, s.uuid, 16);
    if (s.feature_ro_compat & ro_compat_metadata_csum) {
        s.checksum_ok = sb[0x175] == 1 && le32(sb + 0x3FC) == crc32c_raw(~0U, sb, 0x3FC);
    }
    *out = s;
    return true;
}

group_desc_s parse_group_desc(const std::uint8_t* desc, std::size_t desc_size) {
    group_desc_s g;
    g.block_bitmap = le32(desc + 0x00);
    g.inode_bitmap = le32(desc + 0x04);
    g.inode_table = le32(desc + 0x08);
    g.flags = le16(desc + 0x12);
    if (desc_size >= 64) {
        g.block_bitmap |= static_cast<std::uint64_t>(le32(desc + 0x20)) << 32;
        g.inode_bitmap |= static_cast<std::uint64_t>(le32(desc + 0x24)) << 32;
        g.inode_table |= static_cast<std::uint64_t>(le32(desc + 0x28)) << 32;
    }
    return g;
}

bool group_has_super(const superblock_s& sb, std::uint64_t group) {
    if (group <= 1 || !(sb.feature_ro_compat & ro_compat_sparse_super)) {
        return true;
    }
    for (const std::uint64_t base : {3ULL, 5ULL, 7ULL}) {
        std::uint64_t power = base;
        while (power < group) {
            power *= base;
        }
        if (power == group) {
            return true;
        }
    }
    return false;
}

bool inode_s::has_block_map() const {
    if (inline_data()) {
        return false;
    }
    if (uses_extents()) {
        extent_node_s node;
        return parse_extent_node(block, sizeof block, &node) &&
               (!node.extents.empty() || !node.children.empty());
    }
    for (std::size_t i = 0; i < 15; ++i) {
        if (le32(block + 4 * i) != 0) {
            return true;
        }
    }
    return false;
}

inode_s parse_inode(const std::uint8_t* bytes, std::size_t inode_size) {
    inode_s n;
    n.mode = le16(bytes + 0x00);
    n.size = le32(bytes + 0x04) | (static_cast<std::uint64_t>(le32(bytes + 0x6C)) << 32);
    n.atime = le32(bytes + 0x08);
    n.ctime = le32(bytes + 0x0C);
    n.mtime = le32(bytes + 0x10);
    n.dtime = le32(bytes + 0x14);
    n.links = le16(bytes + 0x1A);
    n.flags = le32(bytes + 0x20);
    std::memcpy(n.block, bytes + 0x28, sizeof n.block);
    n.generation = le32(bytes + 0x64);
    if (inode_size > 128) {
        const std::uint16_t extra = le16(bytes + 0x80);
        if (extra >= 0x18 && 128U + extra <= inode_size) {
            n.crtime = le32(bytes + 0x90);
        }
    }
    if (n.inline_data()) {
        n.inline_rest = inline_data_rest(bytes, inode_size);
    }
    return n;
}

std::vector<std::uint8_t> inline_data_rest(const std::uint8_t* bytes, std::size_t inode_size) {
    constexpr std::uint32_t xattr_magic = 0xEA020000;
    constexpr std::uint8_t index_system = 7;
    if (inode_size <= 128 + 2) {
        return {};
    }
    const std::size_t start = 128 + static_cast<std::size_t>(le16(bytes + 0x80));
    if (start + 4 > inode_size || le32(bytes + start) != xattr_magic) {
        return {};
    }
    // Entries of 16 bytes and their names, each padded to 4 bytes, until 4 zero bytes;
    // values are placed from the end of the space, at offsets from the first entry.
    const std::size_t first = start + 4;
    std::size_t at = first;
    while (at + 16 <= inode_size && le32(bytes + at) != 0) {
        const std::size_t name_length = bytes[at];
        const std::size_t entry_end = at + 16 + name_length;
        if (entry_end > inode_size) {
            break;
        }
        const std::size_t value_offset = le16(bytes + at + 2);
        const std::uint32_t value_inode = le32(bytes + at + 4);
        const std::size_t value_size = le32(bytes + at + 8);
        if (bytes[at + 1] == index_system && name_length == 4 &&
            std::memcmp(bytes + at + 16, "data", 4) == 0) {
            if (value_inode != 0 || value_offset > inode_size - first ||
                value_size > inode_size - first - value_offset) {
                return {};
            }
            const std::uint8_t* value = bytes + first + value_offset;
            return {value, value + value_size};
        }
        at = (entry_end + 3) & ~std::size_t{3};
    }
    return {};
}

bool parse_extent_node(const std::uint8_t* bytes, std::size_t length, extent_node_s* node) {
    if (length < 12 || le16(bytes) != 0xF30A) {
        return false;
    }
    const std::uint16_t entries = le16(bytes + 2);
    const std::uint16_t max = le16(bytes + 4);
    node->depth = le16(bytes + 6);
    node->extents.clear();
    node->children.clear();
    if (entries > max || 12U + 12U * max > length || node->depth > max_extent_depth) {
        return false;
    }
    for (std::size_t i = 0; i < entries; ++i) {
        const std::uint8_t* e = bytes + 12 + 12 * i;
        if (node->depth == 0) {
            extent_s x;
            x.logical = le32(e);
            std::uint16_t len = le16(e + 4);
            if (len > 32768) {
                len = static_cast<std::uint16_t>(len - 32768);
                x.unwritten = true;
            }
            x.count = len;
            x.physical = (static_cast<std::uint64_t>(le16(e + 6)) << 32) | le32(e + 8);
            node->extents.push_back(x);
        } else {
            const std::uint64_t child =
                (static_cast<std::uint64_t>(le16(e + 8)) << 32) | le32(e + 4);
            node->children.emplace_back(le32(e), child);
        }
    }
    return true;
}

namespace {

// Reads one entry's fixed part at pos; false when it does not fit the bytes.
bool read_entry(const std::uint8_t* block, std::size_t length, std::size_t pos, bool filetype,
                dirent_s* e, std::size_t* name_len) {
    if (pos + 8 > length) {
        return false;
    }
    const std::uint8_t* p = block + pos;
    e->inode = le32(p);
    std::uint32_t rec = le16(p + 4);
    if (length >= 65536 && (rec == 65535 || rec == 0)) {
        rec = 65536;  // how 64 KiB blocks write an entry that spans the block
    }
    e->rec_len = static_cast<std::uint16_t>(rec > 65535 ? 65535 : rec);
    e->offset = static_cast<std::uint32_t>(pos);
    *name_len = filetype ? p[6] : le16(p + 6);
    e->file_type = filetype ? p[7] : 0;
    return rec >= 8 && rec % 4 == 0 && pos + rec <= length && 8 + *name_len <= rec;
}

// Deleted entries in [from, to): any 4-byte aligned position whose bytes make a whole entry.
void search_slack(const std::uint8_t* block, std::size_t from, std::size_t to,
                  const dirent_options_s& options, std::vector<dirent_s>* out) {
    for (std::size_t q = align4(from); q + 8 < to;) {
        dirent_s e;
        std::size_t name_len = 0;
        const bool whole = read_entry(block, to, q, options.filetype, &e, &name_len);
        const bool sound = whole && e.inode != 0 && e.inode <= options.inodes_count &&
                           (!options.filetype || (e.file_type >= 1 && e.file_type <= 7)) &&
                           plausible_name(block + q + 8, name_len);
        if (!sound) {
            q += 4;
            continue;
        }
        e.name.assign(reinterpret_cast<const char*>(block + q + 8), name_len);
        e.deleted = true;
        if (!dot_name(e.name)) {
            out->push_back(e);
        }
        q += align4(8 + name_len);
    }
}

}  // namespace

std::vector<dirent_s> parse_dir_block(const std::uint8_t* block, std::size_t length,
                                      const dirent_options_s& options) {
    std::vector<dirent_s> out;
    std::size_t entries_seen = 0;
    for (std::size_t pos = 0; pos + 8 <= length;) {
        dirent_s e;
        std::size_t name_len = 0;
        if (!read_entry(block, length, pos, options.filetype, &e, &name_len)) {
            break;  // a broken chain: trust nothing after it
        }
        const std::uint32_t rec = e.rec_len == 65535 && length >= 65536 ? 65536U : e.rec_len;
        const bool has_name = plausible_name(block + pos + 8, name_len);
        if (e.inode == 0 && pos == 0 && name_len == 0 && rec == length) {
            return out;  // an interior node of a hashed directory (or an empty block)
        }
        if (has_name) {
            e.name.assign(reinterpret_cast<const char*>(block + pos + 8), name_len);
        }
        if (e.inode != 0 && has_name && e.inode <= options.inodes_count) {
            if (!dot_name(e.name)) {
                out.push_back(e);
            }
        } else if (e.inode == 0 && pos == 0 && has_name && !dot_name(e.name)) {
            e.deleted = true;  // the first entry of a block keeps its name when deleted
            out.push_back(e);
        }
        const bool tree_root = options.hashed_root && entries_seen == 1 && e.name == "..";
        if (!tree_root) {
            search_slack(block, pos + (e.inode == 0 && name_len == 0 ? 8 : 8 + name_len), pos + rec,
                         options, &out);
        }
        ++entries_seen;
        pos += rec;
    }
    return out;
}

bool dir_block_owned_by(const std::uint8_t* block, std::size_t length, std::uint32_t csum_seed,
                        std::uint32_t inode, std::uint32_t generation) {
    if (length < 12) {
        return true;
    }
    const std::uint8_t* tail = block + length - 12;
    if (le32(tail) != 0 || le16(tail + 4) != 12 || tail[6] != 0 || tail[7] != 0xDE) {
        return true;
    }
    std::uint8_t number[4];
    for (int i = 0; i < 4; ++i) {
        number[i] = static_cast<std::uint8_t>(inode >> (8 * i));
    }
    std::uint32_t seed = crc32c_raw(csum_seed, number, 4);
    for (int i = 0; i < 4; ++i) {
        number[i] = static_cast<std::uint8_t>(generation >> (8 * i));
    }
    seed = crc32c_raw(seed, number, 4);
    return crc32c_raw(seed, block, length - 12) == le32(tail + 8);
}

std::vector<dirent_s> parse_inline_dir(const std::uint8_t* block60, std::uint32_t inodes_count,
                                       const std::vector<std::uint8_t>& rest) {
    dirent_options_s options;
    options.inodes_count = inodes_count;
    std::vector<dirent_s> entries = parse_dir_block(block60 + 4, 56, options);
    if (!rest.empty()) {
        for (dirent_s& e : parse_dir_block(rest.data(), rest.size(), options)) {
            e.offset += 56;
            entries.push_back(std::move(e));
        }
    }
    return entries;
}

}  // namespace ext4
