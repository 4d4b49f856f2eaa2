#pragma once
// One partition found by the partition search.
//
// Made by the search thread (partition_repair_c) and handed to the page, the orvane tool
// and the repair by value. Travels whole inside a QVariant under the name
// "partition_item_s".

#include <QMetaType>
#include <QString>

#include <cstdint>

struct partition_item_s {
    QString fs_name;  // "NTFS", "FAT32", "ext4", ...; empty marks a column-title row
    std::int32_t partition_type = 0;  // table entry type: 7 NTFS, 0x0C FAT32, 0x83 Linux, ...
    std::uint64_t start_sector = 0;   // absolute sector of the boot sector
    std::uint64_t end_sector = 0;     // absolute last sector (start + size - 1)
    // From a surviving GPT entry (empty otherwise): type and partition GUIDs in text form,
    // the entry's name and attributes.
    QString type_guid{};
    QString unique_guid{};
    QString name{};
    std::uint64_t attributes = 0;
    bool from_table = false;  // an entry of the table on the drive, not found by the search
    bool confirmed = false;   // from_table: its file system was found at its start
    // Found by the search where it overlaps an entry of the table on the drive: an earlier
    // file system whose space the entry now holds. Shown, never written into a table.
    bool earlier = false;
    bool logical = false;  // a logical partition of a surviving extended boot record chain
    // The drive's logical sector size: start_sector and end_sector count sectors of it.
    std::uint32_t sector_bytes = 512;
};
Q_DECLARE_METATYPE(partition_item_s)

constexpr std::int32_t partition_type_ntfs = 7;
constexpr std::int32_t partition_type_fat32 = 0x0C;

void register_partition_meta_types();
