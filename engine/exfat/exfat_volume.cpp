#include "exfat_volume.h"

#include <algorithm>
#include <bit>
#include <unordered_set>

namespace exfat {

namespace {

constexpr std::size_t fat_page_entries = 16384;  // 64 KiB of the FAT per read
constexpr std::uint64_t read_chunk_bytes = 1 << 20;
constexpr std::uint64_t upcase_max_bytes = 65536 * 2;

}  // namespace

const char* open_result_text(int result) {
    switch (result) {
        case open_ok:
            return "ok";
        case open_read_error:
            return "the boot region could not be read";
        case open_not_exfat:
            return "no sound exFAT boot region (main or backup) was found";
        default:
            return "unknown result";
    }
}

bool exfat_volume_c::read(std::uint64_t offset, void* buffer, std::size_t len) {
    if (volume_bytes_ != 0 && (offset > volume_bytes_ || len > volume_bytes_ - offset)) {
        return false;
    }
    if (reader_(offset, buffer, len) != 0) {
        return false;
    }
    read_bytes_ += len;
    return true;
}

int exfat_volume_c::open(reader_f reader, std::uint64_t volume_bytes) {
    reader_ = std::move(reader);
    volume_bytes_ = volume_bytes;
    open_ = false;
    used_backup_ = false;
    upcase_loaded_ = false;
    upcase_ = upcase_table_c();
    bitmap_.clear();
    fat_page_.clear();
    fat_page_first_ = ~0ULL;
    read_bytes_ = 0;

    // The main boot region names its sector size; the backup's is tried at every size.
    std::vector<std::uint8_t> region;
    bool read_any = false;
    bool found = false;
    std::uint8_t first[512];
    if (read(0, first, sizeof first)) {
        read_any = true;
        boot_s guess;
        if (parse_boot_sector(first, sizeof first, volume_bytes_, &guess)) {
            region.resize(12 * static_cast<std::size_t>(guess.sector_bytes()));
            found = read(0, region.data(), region.size()) &&
                    check_boot_region(region.data(), guess.sector_bytes(), volume_bytes_, &boot_);
        }
    }
    for (std::size_t sector = 512; !found && sector <= 4096; sector *= 2) {
        region.resize(12 * sector);
        if (read(12 * sector, region.data(), region.size())) {
            read_any = true;
            found = check_boot_region(region.data(), sector, volume_bytes_, &boot_);
            used_backup_ = found;
        }
    }
    if (!found) {
        return read_any ? open_not_exfat : open_read_error;
    }
    cluster_limit_ = boot_.cluster_count;
    if (volume_bytes_ != 0) {
        const std::uint64_t heap =
            static_cast<std::uint64_t>(boot_.heap_offset) * boot_.sector_bytes();
        cluster_limit_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            cluster_limit_, (volume_bytes_ - heap) / boot_.cluster_bytes()));
    }
    fat_start_ = (static_cast<std::uint64_t>(boot_.fat_offset) +
                  (boot_.second_active() ? boot_.fat_length : 0ULL)) *
                 boot_.sector_bytes();
    open_ = true;
    load_root_entries();
    return open_ok;
}

// Finds the allocation bitmap and the up-case table among the root directory's entries and
// loads both; a volume without them is still read, with what they would tell unknown.
bool exfat_volume_c::load_root_entries() {
    std::vector<std::uint8_t> root;
    read_plan(root_plan(), directory_max_bytes, &root);
    const std::uint8_t want_bitmap = boot_.second_active() ? 1 : 0;
    for (std::size_t at = 0; at + entry_bytes <= root.size(); at += entry_bytes) {
        const std::uint8_t* e = root.data() + at;
        const std::uint32_t start = le32(e + 20);
        const std::uint64_t length = le64(e + 24);
        if (e[0] == type_bitmap && (e[1] & 1) == want_bitmap && bitmap_.empty()) {
            const std::uint64_t needed = (boot_.cluster_count + 7ULL) / 8;
            if (length < needed) {
                continue;
            }
            std::vector<std::uint8_t> bits;
            extent_plan_s where = plan(start, needed, false, false);
            if (!where.complete) {
                where = plan(start, needed, true, false);
            }
            if (where.complete && read_plan(where, needed, &bits) && bits.size() == needed) {
                bitmap_ = std::move(bits);
            }
        } else if (e[0] == type_upcase && !upcase_loaded_ && length != 0 &&
                   length <= upcase_max_bytes) {
            std::vector<std::uint8_t> table;
            extent_plan_s where = plan(start, length, false, false);
            if (!where.complete) {
                where = plan(start, length, true, false);
            }
            if (where.complete && read_plan(where, length, &table) && table.size() == length &&
                table_checksum(table.data(), table.size()) == le32(e + 4)) {
                upcase_loaded_ = upcase_.load(table.data(), table.size());
            }
        }
    }
    return !bitmap_.empty();
}

bool exfat_volume_c::allocated(std::uint32_t cluster) const {
    if (!valid_cluster(cluster)) {
        return true;
    }
    if (bitmap_.empty()) {
        return false;
    }
    const std::uint32_t bit = cluster - first_cluster;
    return bitmap_[bit / 8] & (1U << (bit % 8));
}

std::uint64_t exfat_volume_c::free_clusters() const {
    if (bitmap_.empty()) {
        return 0;
    }
    std::uint64_t used = 0;
    const std::uint64_t whole = boot_.cluster_count / 8;
    for (std::uint64_t i = 0; i < whole; ++i) {
        used += static_cast<unsigned>(std::popcount(bitmap_[i]));
    }
    const unsigned tail = boot_.cluster_count % 8;
    if (tail != 0) {
        used += static_cast<unsigned>(
            std::popcount(static_cast<unsigned>(bitmap_[whole] & ((1U << tail) - 1))));
    }
    return boot_.cluster_count - used;
}

std::uint32_t exfat_volume_c::fat_entry(std::uint32_t cluster) {
    if (cluster >= boot_.cluster_count + 2ULL) {
        return fat_bad;
    }
    const std::uint64_t page_first = cluster / fat_page_entries * fat_page_entries;
    if (page_first != fat_page_first_) {
        const std::uint64_t entries =
            std::min<std::uint64_t>(fat_page_entries, boot_.cluster_count + 2ULL - page_first);
        fat_page_.resize(static_cast<std::size_t>(entries * 4));
        fat_page_first_ = ~0ULL;
        if (!read(fat_start_ + page_first * 4, fat_page_.data(), fat_page_.size())) {
            return fat_bad;
        }
        fat_page_first_ = page_first;
    }
    return le32(fat_page_.data() + (cluster - page_first) * 4);
}

bool exfat_volume_c::follow_chain(std::uint32_t first, std::uint64_t max_clusters,
                                  std::vector<std::uint32_t>* out) {
    out->clear();
    max_clusters = std::min<std::uint64_t>(max_clusters, cluster_limit_);
    std::uint32_t cluster = first;
    bool ok = true;
    while (out->size() < max_clusters) {
        if (!valid_cluster(cluster)) {
            ok = false;
            break;
        }
        out->push_back(cluster);
        if (out->size() == max_clusters) {
            break;
        }
        const std::uint32_t next = fat_entry(cluster);
        if (next == fat_end) {
            break;
        }
        cluster = next;
    }
    // A loop repeats a cluster within max_clusters steps: cut the chain before the repeat.
    std::vector<std::uint32_t> sorted(*out);
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        std::unordered_set<std::uint32_t> seen;
        for (std::size_t i = 0; i < out->size(); ++i) {
            if (!seen.insert((*out)[i]).second) {
                out->resize(i);
                break;
            }
        }
        ok = false;
    }
    return ok;
}

extent_plan_s exfat_volume_c::plan(std::uint32_t first, std::uint64_t length, bool no_fat_chain,
                                   bool deleted) {
    extent_plan_s p;
    const std::uint64_t cluster = cluster_bytes();
    const std::uint64_t needed = length / cluster + (length % cluster != 0);
    if (needed == 0) {
        return p;
    }
    if (!valid_cluster(first) || needed > cluster_limit_) {
        p.complete = false;
        p.possibly_overwritten = deleted;
        return p;
    }
    const std::uint64_t heap_end = cluster_limit_ + 2ULL;
    const auto any_allocated = [&] {
        return std::any_of(p.clusters.begin(), p.clusters.end(),
                           [&](std::uint32_t c) { return allocated(c); });
    };
    if (no_fat_chain) {
        const std::uint64_t end = std::min<std::uint64_t>(first + needed, heap_end);
        for (std::uint64_t c = first; c < end; ++c) {
            p.clusters.push_back(static_cast<std::uint32_t>(c));
        }
        p.complete = p.clusters.size() == needed;
        p.possibly_overwritten = deleted && (!bitmap_loaded() || any_allocated());
        return p;
    }
    if (!deleted) {
        p.complete = follow_chain(first, needed, &p.clusters) && p.clusters.size() == needed;
        p.chain_followed = true;
        return p;
    }
    // A deleted chain still in the FAT, whose clusters are all free: follow it.
    if (bitmap_loaded() && follow_chain(first, needed, &p.clusters) &&
        p.clusters.size() == needed && fat_entry(p.clusters.back()) == fat_end &&
        !any_allocated()) {
        p.chain_followed = true;
        return p;
    }
    // The chain is gone: the first cluster, then the free clusters after it. Which free
    // clusters were this file's is a guess as soon as it needs more than one.
    p.clusters.assign(1, first);
    for (std::uint64_t c = first + 1ULL; p.clusters.size() < needed && c < heap_end; ++c) {
        if (!allocated(static_cast<std::uint32_t>(c))) {
            p.clusters.push_back(static_cast<std::uint32_t>(c));
        }
    }
    p.complete = p.clusters.size() == needed;
    p.possibly_overwritten = needed > 1 || !bitmap_loaded() || allocated(first);
    return p;
}

extent_plan_s exfat_volume_c::root_plan() {
    extent_plan_s p;
    const std::uint64_t cap = std::max<std::uint64_t>(1, directory_max_bytes / cluster_bytes());
    p.complete = follow_chain(boot_.root_cluster, cap, &p.clusters);
    p.chain_followed = true;
    return p;
}

bool exfat_volume_c::read_cluster(std::uint32_t cluster, std::uint8_t* buffer) {
    if (!valid_cluster(cluster)) {
        return false;
    }
    const std::uint64_t offset =
        static_cast<std::uint64_t>(boot_.heap_offset) * boot_.sector_bytes() +
        (static_cast<std::uint64_t>(cluster) - first_cluster) * cluster_bytes();
    return read(offset, buffer, static_cast<std::size_t>(cluster_bytes()));
}

bool exfat_volume_c::read_plan(const extent_plan_s& plan, std::uint64_t max_bytes,
                               std::vector<std::uint8_t>* out) {
    out->clear();
    const std::uint64_t cluster = cluster_bytes();
    const std::uint64_t heap = static_cast<std::uint64_t>(boot_.heap_offset) * boot_.sector_bytes();
    std::size_t i = 0;
    while (i < plan.clusters.size() && out->size() < max_bytes) {
        // One read for each run of consecutive clusters, up to a chunk.
        std::size_t j = i + 1;
        while (j < plan.clusters.size() && plan.clusters[j] == plan.clusters[j - 1] + 1 &&
               (j - i) * cluster < read_chunk_bytes) {
            ++j;
        }
        if (!valid_cluster(plan.clusters[i]) || !valid_cluster(plan.clusters[j - 1])) {
            return false;
        }
        const std::uint64_t want =
            std::min<std::uint64_t>((j - i) * cluster, max_bytes - out->size());
        const std::size_t at = out->size();
        out->resize(at + static_cast<std::size_t>(want));
        if (!read(heap + (plan.clusters[i] - static_cast<std::uint64_t>(first_cluster)) * cluster,
                  out->data() + at, static_cast<std::size_t>(want))) {
            out->resize(at);
            return false;
        }
        i = j;
    }
    return true;
}

}  // namespace exfat
