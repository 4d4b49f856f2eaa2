#pragma once
// What the partition search learns about the drive's tables besides the partitions: a
// protective master boot record, surviving GPTs, extended boot records met on the way,
// and from all that, which kind of table a repair writes.
//
// Filled by search_partitions (partition_search.h) and read by the repair. Pure functions
// over sectors read from the drive (hostile data).

#include "existing_table.h"
#include "fs_probe.h"
#include "gpt_table.h"
#include "partition_item.h"

#include <QList>
#include <QString>

#include <cstdint>

// One extended boot record: a logical partition and the link to the next record.
struct ebr_s {
    std::uint64_t lba = 0;            // where the record is
    std::int32_t type = 0;            // the logical partition's type code
    std::uint64_t logical_first = 0;  // absolute first and last sector of the logical partition
    std::uint64_t logical_last = 0;
    std::uint64_t next_offset = 0;  // next record, from the extended partition's start; 0: none
};

// The search keeps at most this many extended boot records (a hostile drive may be full
// of sectors shaped like one).
constexpr int max_recorded_ebrs = 4096;

struct disk_layout_s {
    QString scheme;               // "gpt" or "mbr": the table a repair writes
    bool protective_mbr = false;  // sector 0 holds a type 0xEE entry
    bool gpt_seen = false;        // a GPT header signature at sector 1 or the last sector
    bool primary_ok = false;      // the primary GPT and its array pass every check
    bool backup_ok = false;       // the same for the backup GPT
    QString gpt_problem;          // why a GPT that was seen was not taken
    gpt_table_s gpt;              // the surviving table, the backup's when both hold
    QList<ebr_s> ebrs;            // extended boot records met by the search
    // A surviving chain of extended boot records, as the extended partition that holds
    // it; both 0 when there is none.
    std::uint64_t extended_first = 0;
    std::uint64_t extended_last = 0;
    existing_table_s existing;  // the table on the drive as it was read before the search
    // The drive's logical sector size (512 or 4096): every sector number above, of the
    // table and of the partitions found, counts sectors of this size.
    std::uint32_t sector_bytes = 512;
};

// Sector numbers and counts below are in logical sectors of `sector_bytes` (512 or 4096);
// `read` always reads 512-byte units (fs_probe.h), so sector L starts at unit L * 8 on a
// drive of 4096-byte sectors.

// Reads sector 0, both GPTs and the table on the drive (existing_table.h).
disk_layout_s read_disk_layout(const probe_read_f& read, std::uint64_t drive_sectors,
                               std::uint32_t sector_bytes = 512);

// The logical sector size that the content of a drive of `drive_units` 512-byte units was
// laid out for, where nothing else tells it (an image file): 4096 when a GPT header
// names its own place in 4096-byte sectors (at byte 4096, or in the last 4 KiB) and none
// does in 512-byte ones, when more entries of the master boot record find their file
// system counted in 4096-byte sectors than in 512-byte ones, or when the drive holds a
// FAT, exFAT or NTFS volume of 4096-byte sectors from its first byte; 512 otherwise.
std::uint32_t detect_sector_bytes(const probe_read_f& read, std::uint64_t drive_units);

// The entries of the table on the drive that hold a partition, in start order, named by
// the file system found at their start ("unknown" when none is: not confirmed). Their
// ends are the table's.
QList<partition_item_s> table_items(const disk_layout_s& layout);

// The logical sector size that the file systems found on a drive without any table were
// made for (their starts in 512-byte units): 4096 when one of them declares 4096-byte
// sectors (NTFS, FAT, exFAT, XFS), none declares 512-byte ones and every one starts on a
// 4096-byte boundary; 512 otherwise.
std::uint32_t volumes_sector_bytes(const probe_read_f& read, const QList<std::uint64_t>& starts);

// The file system that starts at `start` (NTFS, FAT32 or a probed one): its name and its
// size in sectors (rounded up to whole sectors), or false.
bool file_system_at(std::uint64_t start, std::uint64_t drive_sectors, const probe_read_f& read,
                    QString* fs_name, std::uint64_t* sectors, std::uint32_t sector_bytes = 512);

// A sector shaped like an extended boot record at `lba`: 0x55 0xAA, a logical partition
// in the first entry, an empty or extended second entry, nothing in the others.
bool ebr_sector(const std::uint8_t* sector, std::uint64_t lba, ebr_s* ebr);

// The recorded extended boot record whose logical partition starts at `start`, or null.
const ebr_s* ebr_for(const disk_layout_s& layout, std::uint64_t start);

// After the search: finds the chain of extended boot records that describes logical
// partitions the search found (the extended partition's range), and decides the scheme:
// the scheme of the table on the drive when it has one; else GPT when a GPT or a
// protective record was seen, the drive is over 2 TiB, a partition
// lies beyond it, or more partitions were found than four entries and a surviving chain
// can hold; a master boot record otherwise.
void finish_layout(disk_layout_s* layout, const QList<partition_item_s>& found,
                   std::uint64_t drive_sectors);
