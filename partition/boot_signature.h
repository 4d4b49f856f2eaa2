#pragma once
// The boot-sector tests of the partition search: does a 512-byte sector start an NTFS or
// a FAT32 partition, and how many sectors does that partition declare?
//
// Pure functions over sector bytes read from the drive (hostile data); used by the search
// thread and by the fuzzer.

#include <QString>

#include <cstdint>

constexpr std::uint32_t boot_sector_bytes = 512;

struct boot_hit_s {
    QString fs_name;                  // "NTFS" or "FAT32"
    std::int32_t partition_type = 0;  // 7 or 0x0C
    std::uint64_t sectors = 0;        // the partition's length in sectors; 0 when it declares none
};

// NTFS: 0x55 0xAA at bytes 510-511 and "NTFS    " at bytes 3-10.
bool ntfs_boot_sector(const std::uint8_t* sector);
// FAT32: 0x55 0xAA at the end of this sector and of the next (the FSInfo sector), and
// either the OEM name "MSWIN" or "MSDOS" at bytes 3-7 or a valid FAT32 parameter block.
// `next` may be null (the last sector of the drive, or an unreadable one): no hit.
bool fat32_boot_sector(const std::uint8_t* sector, const std::uint8_t* next);
// A FAT32 BIOS parameter block as any formatter writes it: 512 bytes per sector, a power
// of two sectors per cluster, reserved sectors, one or two FATs, no fixed root directory
// and "FAT32   " as the file-system type.
bool fat32_parameter_block(const std::uint8_t* sector);

// Tests NTFS first, then FAT32; fills *hit on success.
bool test_boot_sector(const std::uint8_t* sector, const std::uint8_t* next, boot_hit_s* hit);
