#include "partition_search.h"

#include "boot_signature.h"
#include "fs_probe.h"

#include "device/platform/platform_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t retry_chunk_sectors = 8;  // 4 KiB, the usual physical sector

// One block read from the drive. An unreadable area is retried in 4 KiB reads and then
// sector by sector; what stays unreadable is zero and marked, so it never counts as a hit
// nor as the sector behind one, and the search goes on after it.
class block_reader_c {
  public:
    explicit block_reader_c(platform::device_source_c& source)
        : source_(source), bytes_(search_block_sectors * boot_sector_bytes) {}

    const std::uint8_t* sector(std::uint32_t j) const {
        return readable_[j] ? bytes_.data() + std::size_t(j) * boot_sector_bytes : nullptr;
    }

    void read(std::uint64_t first, std::uint32_t count) {
        readable_.fill(true);
        if (source_.read_at(first * boot_sector_bytes, bytes_.data(),
                            std::size_t(count) * boot_sector_bytes) == 0) {
            return;
        }
        for (std::uint32_t c = 0; c < count; c += retry_chunk_sectors) {
            const std::uint32_t n = std::min(retry_chunk_sectors, count - c);
            std::uint8_t* chunk = bytes_.data() + std::size_t(c) * boot_sector_bytes;
            if (source_.read_at((first + c) * boot_sector_bytes, chunk,
                                std::size_t(n) * boot_sector_bytes) == 0) {
                continue;
            }
            for (std::uint32_t s = c; s < c + n; ++s) {
                std::uint8_t* one = bytes_.data() + std::size_t(s) * boot_sector_bytes;
                if (source_.read_at((first + s) * boot_sector_bytes, one, boot_sector_bytes) != 0) {
                    std::memset(one, 0, boot_sector_bytes);
                    readable_[s] = false;
                }
            }
        }
    }

  private:
    platform::device_source_c& source_;
    std::vector<std::uint8_t> bytes_;
    std::array<bool, search_block_sectors> readable_{};
};

bool stop_asked(const partition_search_hooks_s& hooks) {
    return hooks.stop && hooks.stop->load(std::memory_order_relaxed) != 0;
}

}  // namespace

namespace {

probe_read_f source_reader(platform::device_source_c& source, std::uint64_t drive_sectors) {
    return [&source, drive_sectors](std::uint64_t first, std::uint32_t n, std::uint8_t* out) {
        if (first >= drive_sectors || n > drive_sectors - first) {
            return -1;
        }
        return source.read_at(first * boot_sector_bytes, out, std::size_t(n) * boot_sector_bytes);
    };
}

}  // namespace

std::uint32_t drive_sector_bytes(platform::device_source_c& source) {
    const std::uint32_t own = source.sector_size();
    if (source.sector_size_known()) {
        return own == 512 || own == 4096 ? own : 0;
    }
    const std::uint64_t units = source.byte_size() / boot_sector_bytes;
    return detect_sector_bytes(source_reader(source, units), units);
}

existing_table_s read_table_on(platform::device_source_c& source) {
    const std::uint32_t sector_bytes = drive_sector_bytes(source);
    if (sector_bytes == 0) {
        existing_table_s none;
        none.problems << QStringLiteral("the drive has %1-byte sectors, which are not read")
                             .arg(source.sector_size());
        return none;
    }
    const std::uint64_t drive_sectors = source.byte_size() / sector_bytes;
    const std::uint64_t units = drive_sectors * (sector_bytes / boot_sector_bytes);
    return read_disk_layout(source_reader(source, units), drive_sectors, sector_bytes).existing;
}

search_end_e search_partitions(platform::device_source_c& source,
                               const partition_search_hooks_s& hooks) {
    // The search walks the drive in 512-byte units, where every file system keeps its
    // structures whatever its sector size; the tables and what is recorded count the
    // drive's logical sectors, `per` units each. Only whole sectors are searched.
    const std::uint32_t sector_bytes =
        hooks.sector_bytes != 0 ? hooks.sector_bytes : drive_sector_bytes(source);
    if (sector_bytes != 512 && sector_bytes != 4096) {
        return search_end_e::complete;
    }
    const std::uint64_t per = sector_bytes / boot_sector_bytes;
    std::uint64_t lba_count = source.byte_size() / sector_bytes;
    const std::uint64_t drive_sectors = lba_count * per;  // 512-byte units
    const std::uint64_t drive_bytes = drive_sectors * boot_sector_bytes;
    const probe_read_f read = source_reader(source, drive_sectors);
    disk_layout_s layout = read_disk_layout(read, lba_count, sector_bytes);
    QList<partition_item_s> found;
    auto record = [&](const partition_item_s& item) {
        found << item;
        if (hooks.found) {
            hooks.found(item);
        }
    };
    // The entries of the table on the drive are listed first. The confirmed ones are not
    // searched again; inside the others the search goes on, since what it finds there may
    // tell what the entry once held.
    const QList<partition_item_s> listed = table_items(layout);
    for (const partition_item_s& item : listed) {
        record(item);
    }
    auto listed_end = [&listed, per](std::uint64_t unit) -> std::uint64_t {
        for (const partition_item_s& item : listed) {  // sorted by start
            if (item.confirmed && unit / per >= item.start_sector &&
                unit / per <= item.end_sector) {
                unit = (item.end_sector + 1) * per;
            }
        }
        return unit;
    };
    QList<std::uint64_t> earlier_starts;  // each earlier file system is listed once
    block_reader_c reader(source);
    std::uint64_t block = 0;          // first sector of the block
    std::uint32_t count = 0;          // sectors in the block
    std::uint64_t counted_until = 0;  // unreadable sectors before this one are counted
    std::uint64_t found_until = 0;    // sectors before this one belong to a found partition
    std::uint64_t data_end = 0;       // the run of stored data that the block lies in ends here
    // The sectors a probe looks at besides its candidate: from the block when they are in
    // it, else from the drive.
    const sector_reader_t read_sector = [&](std::uint64_t sector, std::uint8_t* out) {
        if (sector >= drive_sectors) {
            return false;
        }
        if (sector >= block && sector - block < count) {
            const std::uint8_t* held = reader.sector(static_cast<std::uint32_t>(sector - block));
            if (held) {
                std::memcpy(out, held, boot_sector_bytes);
            }
            return held != nullptr;
        }
        return source.read_at(sector * boot_sector_bytes, out, boot_sector_bytes) == 0;
    };
    while (block < drive_sectors) {
        if (stop_asked(hooks)) {
            return search_end_e::stopped;
        }
        block = listed_end(block);
        if (block >= drive_sectors) {
            break;
        }
        if (block * boot_sector_bytes >= data_end) {
            // Holes of a sparse image read as zeros and hold nothing: go to the next data.
            std::uint64_t data_start = 0;
            source.data_run(block * boot_sector_bytes, &data_start, &data_end);
            if (data_start >= drive_sectors * boot_sector_bytes) {
                break;
            }
            block = std::max(block, data_start / boot_sector_bytes);
            data_end = std::max(data_end, (block + 1) * boot_sector_bytes);
            continue;  // the new block may lie in a listed partition
        }
        count = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(search_block_sectors, drive_sectors - block));
        const bool last_block = block + count == drive_sectors;
        reader.read(block, count);
        // The last sector of a block only serves as the successor of the one before it;
        // it is tested itself at the start of the next block. The drive's final sector
        // has no successor and can only be an NTFS boot sector.
        const std::uint32_t tested = last_block ? count : count - 1;
        std::uint32_t j = 0;
        boot_hit_s hit;
        bool found_here = false;
        for (; j < tested; ++j) {
            boot_candidate_s candidate;
            candidate.sector = reader.sector(j);
            candidate.next = j + 1 < count ? reader.sector(j + 1) : nullptr;
            candidate.at = block + j;
            candidate.drive_sectors = drive_sectors;
            candidate.read = &read_sector;
            if (!candidate.sector) {
                continue;
            }
            if (test_boot_sector(candidate, &hit)) {
                found_here = true;
                break;
            }
            fs_probe_s probe;
            if (probe_file_system(candidate.sector, block + j, drive_sectors, read, &probe)) {
                hit.fs_name = probe.fs_name;
                hit.partition_type = probe.partition_type;
                hit.start = probe.start_sector;
                hit.sectors = probe.sectors;
                found_here = true;
                break;
            }
            ebr_s ebr;
            if (layout.ebrs.size() < max_recorded_ebrs && (block + j) % per == 0 &&
                ebr_sector(candidate.sector, (block + j) / per, &ebr)) {
                layout.ebrs << ebr;
            }
        }
        if (hooks.unreadable) {
            const std::uint32_t looked = found_here ? j + 1 : tested;
            for (std::uint32_t s = 0; s < looked; ++s) {
                if (block + s >= counted_until && !reader.sector(s)) {
                    hooks.unreadable->fetch_add(1, std::memory_order_relaxed);
                }
            }
            counted_until = std::max(counted_until, block + looked);
        }
        if (!found_here) {
            if (last_block) {
                break;
            }
            block += count - 1;
        } else {
            const std::uint64_t at = block + j;
            // A probe confirms only partitions that lie inside the drive; what it found is
            // recorded in the drive's sectors, its end rounded up to a whole one.
            std::uint64_t end = hit.start + hit.sectors;  // units
            block = at + 1;
            const bool aligned = hit.start % per == 0;
            const std::uint64_t first = hit.start / per;
            const std::uint64_t last = (end + per - 1) / per - 1;
            auto hit_item = [&hit, first, last, sector_bytes] {
                partition_item_s item;
                item.fs_name = hit.fs_name;
                item.partition_type = hit.partition_type;
                std::int32_t table_type = 0;
                fs_table_types(hit.fs_name, &table_type, &item.type_guid);
                item.start_sector = first;
                item.end_sector = last;
                item.sector_bytes = sector_bytes;
                return item;
            };
            // A file system that overlaps an entry of the table on the drive is an older
            // one: listed as earlier, never jumped over (the entry's own file system may lie
            // inside it) and never written into a table. One in the free space of an
            // extended partition is a logical partition its chain lost.
            const bool in_extended = free_in_extended(layout.existing, first, last) != nullptr;
            if (!aligned) {
                // Not at a sector's start: no table entry can describe it.
            } else if (!in_extended && overlaps_table(layout.existing, first, last)) {
                if (!earlier_starts.contains(first) && earlier_starts.size() < max_recorded_ebrs) {
                    earlier_starts << first;
                    partition_item_s item = hit_item();
                    item.earlier = true;
                    record(item);
                }
            } else if (hit.start >= found_until) {
                partition_item_s item = hit_item();
                item.logical = in_extended;
                if (const ebr_s* ebr = ebr_for(layout, first);
                    ebr && ebr->logical_last < lba_count) {
                    item.logical = true;
                    item.end_sector = ebr->logical_last;  // the record's end over the volume's
                    end = (item.end_sector + 1) * per;
                }
                found_until = end;
                record(item);
                // Found by its backup copy the partition may end before the sector found.
                block = std::max(end, at + 1);
            }
            // A partition found before (this is its backup) or one overlapping it is not
            // recorded again, and not jumped over either.
        }
        if (hooks.progress && drive_bytes > 0) {
            const double done = static_cast<double>(block) * boot_sector_bytes / drive_bytes;
            hooks.progress->store(std::min(done, 1.0), std::memory_order_relaxed);
        }
    }
    const bool no_table = layout.existing.scheme.isEmpty() && layout.existing.entries.isEmpty() &&
                          !layout.gpt_seen && !layout.protective_mbr;
    if (per == 1 && no_table && !source.sector_size_known() && !found.isEmpty()) {
        // Nothing but the file systems tells how the image was laid out.
        QList<std::uint64_t> starts;
        for (const partition_item_s& item : found) {
            starts << item.start_sector;
        }
        if (volumes_sector_bytes(read, starts) == 4096) {
            constexpr std::uint64_t units = 4096 / boot_sector_bytes;
            lba_count = drive_sectors / units;
            layout = read_disk_layout(read, lba_count, 4096);
            for (partition_item_s& item : found) {
                item.start_sector /= units;
                item.end_sector = (item.end_sector + units) / units - 1;
                item.sector_bytes = 4096;
                item.logical = false;  // no chain of extended boot records counts here
            }
            if (hooks.relisted) {
                hooks.relisted(found);
            }
        }
    }
    finish_layout(&layout, found, lba_count);
    if (hooks.layout) {
        *hooks.layout = layout;
    }
    if (hooks.progress) {
        hooks.progress->store(1.0, std::memory_order_relaxed);
    }
    return search_end_e::complete;
}
