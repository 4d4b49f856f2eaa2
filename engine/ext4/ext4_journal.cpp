#include "ext4_journal.h"

#include "engine/ext4/ext4_format.h"

#include <algorithm>
#include <cstring>

namespace ext4 {

namespace {

// journal block header 0x04: block type
constexpr std::uint32_t type_descriptor = 1;
constexpr std::uint32_t type_commit = 2;
constexpr std::uint32_t type_superblock_v1 = 3;
constexpr std::uint32_t type_superblock_v2 = 4;
constexpr std::uint32_t type_revoke = 5;

// journal superblock 0x28: incompatible features
constexpr std::uint32_t jincompat_64bit = 0x2;
constexpr std::uint32_t jincompat_csum_v2 = 0x8;
constexpr std::uint32_t jincompat_csum_v3 = 0x10;

// tag flags
constexpr std::uint32_t tag_escape = 0x1;
constexpr std::uint32_t tag_same_uuid = 0x2;
constexpr std::uint32_t tag_last = 0x8;

// Journals larger than this many blocks are read only this far (a 16 GiB journal of 4 KiB
// blocks; mke2fs makes at most 1 GiB).
constexpr std::uint64_t journal_block_limit = std::uint64_t{1} << 22;

struct tag_s {
    std::uint64_t block = 0;
    std::uint64_t position = 0;
    std::uint32_t checksum = 0;
    bool escaped = false;
};

struct descriptor_s {
    std::uint32_t sequence = 0;
    std::vector<tag_s> tags;
};

}  // namespace

bool journal_index_c::load_bytes(const std::uint8_t* bytes, std::size_t length,
                                 std::uint32_t block_bytes) {
    if (block_bytes == 0) {
        return false;
    }
    memory_.assign(bytes, bytes + length);
    const std::uint64_t blocks = length / block_bytes;
    const std::uint8_t* base = memory_.data();
    return load(
        [base, block_bytes, blocks](std::uint64_t position, std::uint8_t* buffer) {
            if (position >= blocks) {
                return false;
            }
            std::memcpy(buffer, base + position * block_bytes, block_bytes);
            return true;
        },
        blocks, block_bytes);
}

bool journal_index_c::load(const block_reader_f& read, std::uint64_t journal_blocks,
                           std::uint32_t block_bytes) {
    copies_.clear();
    revoked_.clear();
    stats_ = {};
    loaded_ = false;
    read_ = read;
    block_bytes_ = block_bytes;
    if (block_bytes < 1024 || journal_blocks < 2) {
        return false;
    }
    std::vector<std::uint8_t> block(block_bytes);
    if (!read(0, block.data()) || be32(block.data()) != jbd2_magic) {
        return false;
    }
    const std::uint32_t sb_type = be32(block.data() + 4);
    if ((sb_type != type_superblock_v1 && sb_type != type_superblock_v2) ||
        be32(block.data() + 0x0C) != block_bytes) {
        return false;
    }
    // journal superblock 0x10: blocks in the journal; 0x14: the first block of the log
    const std::uint64_t max_len = std::min({static_cast<std::uint64_t>(be32(block.data() + 0x10)),
                                            journal_blocks, journal_block_limit});
    const std::uint64_t first = be32(block.data() + 0x14);
    if (first == 0 || first >= max_len) {
        return false;
    }
    const std::uint32_t incompat = sb_type == type_superblock_v2 ? be32(block.data() + 0x28) : 0;
    const bool is64 = incompat & jincompat_64bit;
    const bool csum3 = incompat & jincompat_csum_v3;
    const bool csum2 = !csum3 && (incompat & jincompat_csum_v2);
    const std::uint32_t seed = crc32c_raw(~0U, block.data() + 0x30, 16);  // 0x30: UUID
    std::size_t tag_bytes = 16;
    if (!csum3) {
        tag_bytes = 12 + (csum2 ? 2 : 0) - (is64 ? 0 : 4);
    }
    const std::size_t tail = (csum2 || csum3) ? 4 : 0;
    const std::uint64_t span = max_len - first;

    // Pass 1: every header block in the circle, and which transaction last claimed each
    // place as a data block.
    std::vector<descriptor_s> descriptors;
    std::unordered_map<std::uint32_t, bool> committed;
    std::vector<std::uint32_t> owner(static_cast<std::size_t>(span), 0);
    std::vector<std::uint8_t> owned(static_cast<std::size_t>(span), 0);  // 1 data, 2 header
    struct revoke_s {
        std::uint32_t sequence;
        std::vector<std::uint64_t> blocks;
    };
    std::vector<revoke_s> revokes;
    for (std::uint64_t p = first; p < max_len; ++p) {
        if (!read(p, block.data()) || be32(block.data()) != jbd2_magic) {
            continue;
        }
        const std::uint8_t* b = block.data();
        const std::uint32_t type = be32(b + 4);
        const std::uint32_t sequence = be32(b + 8);
        const std::size_t slot = static_cast<std::size_t>(p - first);
        owned[slot] = 2;
        if (type == type_commit) {
            committed[sequence] = true;
            ++stats_.commits;
        } else if (type == type_revoke) {
            // revoke header 0x0C: bytes used, header included
            const std::size_t used = std::min<std::size_t>(be32(b + 12), block_bytes - tail);
            const std::size_t record = is64 ? 8 : 4;
            revoke_s r{sequence, {}};
            for (std::size_t at = 16; at + record <= used; at += record) {
                r.blocks.push_back(is64 ? be64(b + at) : be32(b + at));
            }
            stats_.revokes += r.blocks.size();
            revokes.push_back(std::move(r));
        } else if (type == type_descriptor) {
            ++stats_.descriptors;
            descriptor_s d;
            d.sequence = sequence;
            std::uint64_t next = p;
            for (std::size_t at = 12; at + tag_bytes <= block_bytes - tail;) {
                const std::uint8_t* t = b + at;
                tag_s tag;
                std::uint32_t flags = 0;
                tag.block = be32(t);
                if (csum3) {
                    flags = be32(t + 4);
                    tag.checksum = be32(t + 12);
                } else {
                    flags = be16(t + 6);
                    tag.checksum = be16(t + 4);
                }
                if (is64) {
                    tag.block |= static_cast<std::uint64_t>(be32(t + 8)) << 32;
                }
                tag.escaped = flags & tag_escape;
                next = next + 1 >= max_len ? first : next + 1;  // the log wraps round
                tag.position = next;
                d.tags.push_back(tag);
                at += tag_bytes + ((flags & tag_same_uuid) ? 0 : 16);
                if ((flags & tag_last) || d.tags.size() >= span) {
                    break;
                }
            }
            for (const tag_s& tag : d.tags) {
                const std::size_t s = static_cast<std::size_t>(tag.position - first);
                if (owned[s] != 2 && (owned[s] == 0 || newer(sequence, owner[s]))) {
                    owned[s] = 1;
                    owner[s] = sequence;
                }
            }
            descriptors.push_back(std::move(d));
        }
    }
    // Pass 2: the copies that are whole.
    for (const descriptor_s& d : descriptors) {
        if (!committed.contains(d.sequence)) {
            continue;
        }
        for (const tag_s& tag : d.tags) {
            const std::size_t s = static_cast<std::size_t>(tag.position - first);
            if (owned[s] != 1 || owner[s] != d.sequence) {
                continue;
            }
            if (csum2 || csum3) {
                if (!read(tag.position, block.data())) {
                    continue;
                }
                std::uint8_t seq[4] = {static_cast<std::uint8_t>(d.sequence >> 24),
                                       static_cast<std::uint8_t>(d.sequence >> 16),
                                       static_cast<std::uint8_t>(d.sequence >> 8),
                                       static_cast<std::uint8_t>(d.sequence)};
                std::uint32_t sum = crc32c_raw(seed, seq, 4);
                sum = crc32c_raw(sum, block.data(), block_bytes);
                if ((csum3 ? sum : (sum & 0xFFFF)) != tag.checksum) {
                    ++stats_.bad_checksums;
                    continue;
                }
            }
            copies_[tag.block].push_back({d.sequence, tag.position, tag.escaped});
            ++stats_.copies;
        }
    }
    for (auto& [volume_block, list] : copies_) {
        std::sort(list.begin(), list.end(), [](const journal_copy_s& a, const journal_copy_s& b) {
            return newer(a.sequence, b.sequence);
        });
    }
    for (const revoke_s& r : revokes) {
        if (!committed.contains(r.sequence)) {
            continue;
        }
        for (const std::uint64_t b : r.blocks) {
            auto [it, inserted] = revoked_.try_emplace(b, r.sequence);
            if (!inserted && newer(r.sequence, it->second)) {
                it->second = r.sequence;
            }
        }
    }
    loaded_ = true;
    return true;
}

const std::vector<journal_copy_s>& journal_index_c::copies(std::uint64_t volume_block) const {
    static const std::vector<journal_copy_s> none;
    const auto found = copies_.find(volume_block);
    return found == copies_.end() ? none : found->second;
}

bool journal_index_c::read_copy(const journal_copy_s& copy, std::uint8_t* buffer) const {
    if (!loaded_ || !read_(copy.position, buffer)) {
        return false;
    }
    if (copy.escaped) {
        buffer[0] = 0xC0;
        buffer[1] = 0x3B;
        buffer[2] = 0x39;
        buffer[3] = 0x98;
    }
    return true;
}

bool journal_index_c::revoked_since(std::uint64_t volume_block, std::uint32_t sequence) const {
    const auto found = revoked_.find(volume_block);
    return found != revoked_.end() && (found->second == sequence || newer(found->second, sequence));
}

std::vector<std::uint64_t> journal_index_c::blocks() const {
    std::vector<std::uint64_t> out;
    out.reserve(copies_.size());
    for (const auto& [volume_block, list] : copies_) {
        out.push_back(volume_block);
    }
    return out;
}

}  // namespace ext4
