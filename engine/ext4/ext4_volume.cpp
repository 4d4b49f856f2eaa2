#include "ext4_volume.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace ext4 {

namespace {

// Tree blocks read for one file at most: 65536 leaves hold 22 million extents.
constexpr std::uint64_t tree_block_budget = std::uint64_t{1} << 16;
// Bytes of group descriptors read at most (64-bit descriptors of 2^24 groups).
constexpr std::uint64_t descriptor_bytes_limit = std::uint64_t{1} << 30;

}  // namespace

int ext4_volume_c::open(reader_f reader, std::uint64_t volume_bytes) {
    open_ = false;
    groups_.clear();
    tables_.clear();
    block_bitmaps_.clear();
    inode_bitmaps_.clear();
    journal_ = journal_index_c{};
    journal_map_ = {};
    reader_ = std::move(reader);
    std::vector<std::uint8_t> sb(superblock_bytes);
    if (reader_(superblock_offset, sb.data(), sb.size()) != 0) {
        return open_read_error;
    }
    if (!parse_superblock(sb.data(), sb.size(), volume_bytes, &sb_)) {
        return open_not_ext;
    }
    const std::uint32_t block = sb_.block_bytes();
    const std::uint64_t groups = sb_.group_count();
    const std::uint64_t per_block = block / sb_.desc_size;
    if (groups * sb_.desc_size > descriptor_bytes_limit) {
        return open_not_ext;
    }
    const std::uint64_t desc_blocks = (groups + per_block - 1) / per_block;
    std::vector<std::uint8_t> bytes(block);
    groups_.reserve(static_cast<std::size_t>(groups));
    for (std::uint64_t i = 0; i < desc_blocks; ++i) {
        std::uint64_t where = sb_.first_data_block + 1 + i;
        if (sb_.has(incompat_meta_bg) && i >= sb_.first_meta_bg) {
            // meta_bg: each block of descriptors sits in the first group it describes
            const std::uint64_t group = i * per_block;
            where = sb_.first_data_block + group * sb_.blocks_per_group +
                    (group_has_super(sb_, group) ? 1 : 0);
        }
        if (!read_blocks(where, 1, bytes.data())) {
            return open_read_error;
        }
        for (std::uint64_t k = 0; k < per_block && groups_.size() < groups; ++k) {
            groups_.push_back(parse_group_desc(bytes.data() + k * sb_.desc_size, sb_.desc_size));
        }
    }
    tables_.clear();
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        tables_.emplace_back(groups_[g].inode_table, g);
    }
    std::sort(tables_.begin(), tables_.end());
    open_ = true;
    return open_ok;
}

bool ext4_volume_c::read_blocks(std::uint64_t block, std::uint32_t count,
                                std::uint8_t* buffer) const {
    if (block >= sb_.blocks_count || count > sb_.blocks_count - block) {
        return false;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sb_.block_bytes();
    return reader_(block * sb_.block_bytes(), buffer, static_cast<std::size_t>(bytes)) == 0;
}

bool ext4_volume_c::inode_place(std::uint32_t ino, std::uint64_t* block,
                                std::uint32_t* offset) const {
    if (!open_ || ino == 0 || ino > sb_.inodes_count) {
        return false;
    }
    const std::uint64_t group = (ino - 1) / sb_.inodes_per_group;
    const std::uint64_t index = (ino - 1) % sb_.inodes_per_group;
    if (group >= groups_.size()) {
        return false;
    }
    const std::uint64_t byte = index * sb_.inode_size;
    *block = groups_[group].inode_table + byte / sb_.block_bytes();
    *offset = static_cast<std::uint32_t>(byte % sb_.block_bytes());
    return *block < sb_.blocks_count;
}

std::uint32_t ext4_volume_c::first_inode_of_table_block(std::uint64_t block) const {
    const std::uint64_t per_block = sb_.block_bytes() / sb_.inode_size;
    const std::uint64_t table_blocks = (sb_.inodes_per_group + per_block - 1) / per_block;
    auto it =
        std::upper_bound(tables_.begin(), tables_.end(), block,
                         [](std::uint64_t b, const std::pair<std::uint64_t, std::uint64_t>& t) {
                             return b < t.first;
                         });
    if (it == tables_.begin()) {
        return 0;
    }
    --it;
    const auto [start, group] = *it;
    if (block - start >= table_blocks) {
        return 0;
    }
    const std::uint64_t first =
        group * std::uint64_t{sb_.inodes_per_group} + (block - start) * per_block + 1;
    return first <= sb_.inodes_count ? static_cast<std::uint32_t>(first) : 0;
}

bool ext4_volume_c::read_inode(std::uint32_t ino, inode_s* out,
                               std::vector<std::uint8_t>* raw) const {
    std::uint64_t block = 0;
    std::uint32_t offset = 0;
    if (!inode_place(ino, &block, &offset)) {
        return false;
    }
    std::vector<std::uint8_t> bytes(sb_.inode_size);
    if (reader_(block * sb_.block_bytes() + offset, bytes.data(), bytes.size()) != 0) {
        return false;
    }
    *out = parse_inode(bytes.data(), bytes.size());
    if (raw) {
        *raw = std::move(bytes);
    }
    return true;
}

bool ext4_volume_c::load_bitmap(std::uint64_t group, bool blocks,
                                const std::vector<std::uint8_t>** bits) const {
    auto& cache = blocks ? block_bitmaps_ : inode_bitmaps_;
    auto found = cache.find(group);
    if (found == cache.end()) {
        std::vector<std::uint8_t> bytes(sb_.block_bytes(), 0);
        const group_desc_s& g = groups_[group];
        const bool uninit = (g.flags & (blocks ? group_block_uninit : group_inode_uninit)) != 0;
        if (!uninit && !read_blocks(blocks ? g.block_bitmap : g.inode_bitmap, 1, bytes.data())) {
            bytes.clear();  // unreadable: every bit counts as in use
        }
        found = cache.emplace(group, std::move(bytes)).first;
    }
    *bits = &found->second;
    return !found->second.empty();
}

bool ext4_volume_c::block_in_use(std::uint64_t block) const {
    if (!open_ || block < sb_.first_data_block || block >= sb_.blocks_count) {
        return true;
    }
    const std::uint64_t group = (block - sb_.first_data_block) / sb_.blocks_per_group;
    const std::uint64_t bit = (block - sb_.first_data_block) % sb_.blocks_per_group;
    const std::vector<std::uint8_t>* bits = nullptr;
    if (group >= groups_.size() || !load_bitmap(group, true, &bits)) {
        return true;
    }
    return ((*bits)[bit / 8] >> (bit % 8)) & 1;
}

bool ext4_volume_c::inode_in_use(std::uint32_t ino) const {
    if (!open_ || ino == 0 || ino > sb_.inodes_count) {
        return true;
    }
    const std::uint64_t group = (ino - 1) / sb_.inodes_per_group;
    const std::uint64_t bit = (ino - 1) % sb_.inodes_per_group;
    const std::vector<std::uint8_t>* bits = nullptr;
    if (group >= groups_.size() || !load_bitmap(group, false, &bits)) {
        return true;
    }
    return ((*bits)[bit / 8] >> (bit % 8)) & 1;
}

void ext4_volume_c::add_run(std::uint64_t logical, std::uint64_t physical, std::uint32_t count,
                            bool unwritten, std::uint64_t max_blocks, block_map_s* map) const {
    if (count == 0 || logical >= max_blocks) {
        return;
    }
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, max_blocks - logical));
    if (physical < sb_.first_data_block || physical >= sb_.blocks_count ||
        count > sb_.blocks_count - physical || map->mapped + count > sb_.blocks_count) {
        map->complete = false;  // beyond the volume, or more blocks than it has
        return;
    }
    map->mapped += count;
    if (!map->extents.empty()) {
        extent_s& last = map->extents.back();
        if (last.logical + last.count == logical && last.physical + last.count == physical &&
            last.unwritten == unwritten && last.count + std::uint64_t{count} < (1U << 31)) {
            last.count += count;
            return;
        }
    }
    map->extents.push_back({logical, physical, count, unwritten});
}

bool ext4_volume_c::read_node(std::uint64_t block, std::uint8_t* buffer,
                              const node_reader_f& nodes) const {
    return nodes ? nodes(block, buffer) : read_blocks(block, 1, buffer);
}

void ext4_volume_c::walk_extents(const std::uint8_t* node_bytes, std::size_t length,
                                 int expected_depth, std::uint64_t max_blocks,
                                 const node_reader_f& nodes, block_map_s* map,
                                 std::uint64_t* budget) const {
    extent_node_s node;
    if (!parse_extent_node(node_bytes, length, &node) ||
        (expected_depth >= 0 && node.depth != expected_depth)) {
        map->complete = false;
        return;
    }
    if (node.depth == 0) {
        for (const extent_s& e : node.extents) {
            add_run(e.logical, e.physical, e.count, e.unwritten, max_blocks, map);
        }
        return;
    }
    std::vector<std::uint8_t> child(sb_.block_bytes());
    for (const auto& [first_logical, block] : node.children) {
        if (first_logical >= max_blocks) {
            break;
        }
        if (*budget == 0) {
            map->complete = false;
            return;
        }
        --*budget;
        const bool read = read_node(block, child.data(), nodes);
        if (!read) {
            map->complete = false;
            continue;
        }
        walk_extents(child.data(), child.size(), node.depth - 1, max_blocks, nodes, map, budget);
    }
}

void ext4_volume_c::walk_indirect(std::uint64_t block, int level, std::uint64_t* logical,
                                  std::uint64_t max_blocks, const node_reader_f& nodes,
                                  block_map_s* map, std::uint64_t* budget) const {
    const std::uint64_t per_block = sb_.block_bytes() / 4;
    std::uint64_t span = 1;
    for (int i = 0; i < level; ++i) {
        span *= per_block;
    }
    if (block == 0) {
        *logical += span;  // a hole
        return;
    }
    std::vector<std::uint8_t> bytes(sb_.block_bytes());
    if (*budget == 0 || map->mapped >= sb_.blocks_count) {
        map->complete = false;  // too many map blocks, or more mapped than the volume holds
        *logical += span;
        return;
    }
    --*budget;
    const bool read = read_node(block, bytes.data(), nodes);
    if (!read) {
        map->complete = false;
        *logical += span;
        return;
    }
    for (std::uint64_t i = 0; i < per_block && *logical < max_blocks; ++i) {
        const std::uint32_t pointer = le32(bytes.data() + 4 * i);
        if (level == 1) {
            if (pointer != 0) {
                add_run(*logical, pointer, 1, false, max_blocks, map);
            }
            ++*logical;
        } else {
            walk_indirect(pointer, level - 1, logical, max_blocks, nodes, map, budget);
        }
    }
}

block_map_s ext4_volume_c::map_blocks(const inode_s& inode, std::uint64_t max_blocks,
                                      const node_reader_f& nodes) const {
    block_map_s map;
    if (!open_ || inode.inline_data()) {
        return map;
    }
    if (inode.uses_extents()) {
        std::uint64_t budget = tree_block_budget;
        walk_extents(inode.block, sizeof inode.block, -1, max_blocks, nodes, &map, &budget);
        std::sort(map.extents.begin(), map.extents.end(),
                  [](const extent_s& a, const extent_s& b) { return a.logical < b.logical; });
        return map;
    }
    std::uint64_t logical = 0;
    std::uint64_t budget = tree_block_budget;
    for (std::uint64_t i = 0; i < 12 && logical < max_blocks; ++i, ++logical) {
        const std::uint32_t pointer = le32(inode.block + 4 * i);
        if (pointer != 0) {
            add_run(logical, pointer, 1, false, max_blocks, &map);
        }
    }
    for (int level = 1; level <= 3 && logical < max_blocks; ++level) {
        walk_indirect(le32(inode.block + 4 * (11 + level)), level, &logical, max_blocks, nodes,
                      &map, &budget);
    }
    return map;
}

bool ext4_volume_c::load_journal() {
    if (!open_ || !(sb_.feature_compat & compat_has_journal) || sb_.has(incompat_journal_dev)) {
        return false;
    }
    const std::uint32_t ino = sb_.journal_inode ? sb_.journal_inode : journal_inode_default;
    inode_s inode;
    if (!read_inode(ino, &inode)) {
        return false;
    }
    const std::uint64_t blocks = inode.size / block_bytes();
    journal_map_ = map_blocks(inode, blocks);
    const std::vector<extent_s>* runs = &journal_map_.extents;
    // The volume block of a journal position, and how many blocks follow it in one run.
    const auto place = [runs](std::uint64_t position, std::uint64_t* block,
                              std::uint64_t* run_left) {
        auto it =
            std::upper_bound(runs->begin(), runs->end(), position,
                             [](std::uint64_t p, const extent_s& e) { return p < e.logical; });
        if (it == runs->begin()) {
            return false;
        }
        --it;
        if (position - it->logical >= it->count) {
            return false;
        }
        *block = it->physical + (position - it->logical);
        *run_left = it->count - (position - it->logical);
        return true;
    };
    const std::uint32_t bytes = block_bytes();
    // The search reads the journal in order: a megabyte at a time.
    struct window_s {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::vector<std::uint8_t> data;
    };
    auto window = std::make_shared<window_s>();
    const std::uint64_t window_blocks = std::max<std::uint64_t>(1, (1U << 20) / bytes);
    const bool loaded = journal_.load(
        [this, place, window, window_blocks, bytes](std::uint64_t position, std::uint8_t* buffer) {
            if (position < window->first || position >= window->first + window->count) {
                std::uint64_t block = 0;
                std::uint64_t left = 0;
                if (!place(position, &block, &left)) {
                    return false;
                }
                const std::uint64_t n = std::min(left, window_blocks);
                window->data.resize(static_cast<std::size_t>(n * bytes));
                if (!read_blocks(block, static_cast<std::uint32_t>(n), window->data.data())) {
                    window->count = 0;
                    return read_blocks(block, 1, buffer);
                }
                window->first = position;
                window->count = n;
            }
            std::memcpy(buffer, window->data.data() + (position - window->first) * bytes, bytes);
            return true;
        },
        blocks, bytes);
    // Afterwards copies are read one at a time, in any order.
    journal_.set_reader([this, place](std::uint64_t position, std::uint8_t* buffer) {
        std::uint64_t block = 0;
        std::uint64_t left = 0;
        return place(position, &block, &left) && read_blocks(block, 1, buffer);
    });
    return loaded;
}

}  // namespace ext4
