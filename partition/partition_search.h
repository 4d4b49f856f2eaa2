#pragma once
// The search of a whole drive for lost partitions: NTFS and FAT32 boot sectors, and the
// superblocks of the probed file systems (fs_probe.h).
//
// First the table on the drive is read and checked (existing_table.h): its entries are
// listed at once, each confirmed when its file system is found at its start, and the
// confirmed ones are not searched again. A file system found over an entry of that table
// is listed as an earlier one (partition_item_s::earlier). Then the drive is read in 128 KiB blocks
// (256 sectors) that overlap by one sector, so that a boot sector in the last sector of a block is
// tested together with the sector behind it. A hit counts only when its probe confirms it
// (boot_signature.h, fs_probe.h): the partition lies inside the drive and its file
// system's structures are where the boot sector or superblock says. A backup copy names
// the partition's real start, and a partition is recorded once. A recorded partition is
// skipped in one jump; anything else moves the search on by one sector, so nothing that
// was not confirmed hides what lies behind it. The holes of a sparse image hold nothing
// and are passed over. Runs on the calling thread (the partition worker's, or a
// fuzzer's); reads only.

#include "disk_layout.h"
#include "partition_item.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace platform {
class device_source_c;
}

constexpr std::uint32_t search_block_sectors = 256;

struct partition_search_hooks_s {
    std::function<void(const partition_item_s&)> found;  // once per recorded partition
    // The whole list again, counted in other sectors: an image without any table whose file
    // systems turned out to be made for 4096-byte sectors.
    std::function<void(const QList<partition_item_s>&)> relisted;
    std::atomic<double>* progress = nullptr;           // fraction of the drive searched
    const std::atomic<int>* stop = nullptr;            // non-zero: end before the next block
    std::atomic<std::uint64_t>* unreadable = nullptr;  // sectors that could not be read
    disk_layout_s* layout = nullptr;  // filled with what was learnt about the tables
    std::uint32_t sector_bytes = 0;   // the drive's sector size; 0: drive_sector_bytes
};

enum class search_end_e { complete, stopped };

// The drive's logical sector size: a block device's (or a container's) own, else what the
// content was laid out for (detect_sector_bytes); 0 for a size other than 512 or 4096.
std::uint32_t drive_sector_bytes(platform::device_source_c& source);

// The table on the drive as the search reads it first (existing_table.h).
existing_table_s read_table_on(platform::device_source_c& source);

// Searches from sector 0 to the last whole sector of the source, in its logical sector
// size (drive_sector_bytes): the items and the layout count sectors of that size. An image
// that holds no table at all is counted in 512-byte sectors until its file systems tell
// otherwise (volumes_sector_bytes); then the list is given again (hooks.relisted).
search_end_e search_partitions(platform::device_source_c& source,
                               const partition_search_hooks_s& hooks);
