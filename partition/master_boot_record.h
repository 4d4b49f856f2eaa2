#pragma once
// The master boot record the repair writes: our boot loader, the drive's own disk
// signature, and one partition entry for each of the first four found partitions that a
// table entry can describe.
//
// Pure functions over a 512-byte sector; the repair (partition_repair_c) reads sector 0,
// builds the new record here and writes it.

#include "partition_item.h"

#include <QList>

#include <cstdint>

constexpr int mbr_code_bytes = 440;
constexpr int mbr_table_offset = 446;
constexpr int mbr_entry_bytes = 16;
constexpr int mbr_entries = 4;

// Cylinder, head and sector of a sector number with the drive's geometry, as the three
// bytes of a table entry: head; sector (1-based) in bits 0-5 with bits 8-9 of the
// cylinder in bits 6-7; bits 0-7 of the cylinder. The cylinder is not clamped at 1023,
// only its low ten bits are stored. A geometry without heads or sectors counts as the
// usual 255 heads and 63 sectors per track.
void encode_chs(std::uint64_t sector, std::uint32_t heads, std::uint32_t sectors_per_track,
                std::uint8_t* out);

// A partition a table entry can describe: its first sector and its length fit 32 bits.
bool fits_table_entry(const partition_item_s& item);

// Fills one 16-byte table entry for `item` (which must fit one): status byte, CHS start,
// type, CHS end, first sector and length.
void write_table_entry(std::uint8_t* entry, const partition_item_s& item, bool active,
                       std::uint32_t heads, std::uint32_t sectors_per_track);

// Rewrites `record` (sector 0 as read from the drive) in place: bytes 0-439 our boot
// loader, bytes 440-445 kept, entries from the first four found partitions that fit
// (entry 0 active), the other entries cleared, 0x55 0xAA at the end. Partitions that do
// not fit an entry go to *left_out (may be null). Returns the number of entries filled.
int build_master_boot_record(std::uint8_t* record, const QList<partition_item_s>& found,
                             std::uint32_t heads, std::uint32_t sectors_per_track,
                             QList<partition_item_s>* left_out);
