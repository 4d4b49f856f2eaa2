#pragma once
// The boot-sector tests of the partition search and of the repair: does a 512-byte sector
// start an NTFS or a FAT32 partition (or is it the backup copy of one), where does that
// partition start and how many sectors does it declare; and does sector 0 of a drive hold
// a file system of its own.
//
// A candidate counts only when its fields are sane for its file system and the structures
// it points to are where it says: NTFS its $MFT (or $MFTMirr) record, FAT32 its first FAT.
// Functions over sector bytes read from the drive (hostile data) and a reader for the few
// sectors a probe looks at besides; used by the search thread, the repair and the fuzzer.
// Each file system has one probe; test_boot_sector runs them in turn.

#include <QString>

#include <cstdint>
#include <functional>

constexpr std::uint32_t boot_sector_bytes = 512;

// Reads one 512-byte sector by its absolute number; false when it lies past the end of
// the drive or cannot be read.
using sector_reader_t = std::function<bool(std::uint64_t sector, std::uint8_t* out)>;

// What a probe looks at: one sector of the drive, the sector behind it (the FSInfo sector
// of a FAT32 volume), and a reader for anything else.
struct boot_candidate_s {
    const std::uint8_t* sector = nullptr;  // 512 bytes
    const std::uint8_t* next = nullptr;    // null: the last sector, or an unreadable one
    std::uint64_t at = 0;                  // absolute number of `sector`
    std::uint64_t drive_sectors = 0;       // whole 512-byte sectors of the drive
    const sector_reader_t* read = nullptr;
};

// Sector numbers here count 512-byte units; a volume of larger sectors (4096 bytes, as on
// a disk of 4096-byte logical sectors) is measured in them all the same.
struct boot_hit_s {
    QString fs_name;                  // "NTFS" or "FAT32"
    std::int32_t partition_type = 0;  // 7 or 0x0C
    std::uint64_t start = 0;          // absolute first unit of the partition
    std::uint64_t sectors = 0;        // the partition's length in units, never 0
    bool from_backup = false;         // found by its backup boot sector (start < at)
};

// The fields of an NTFS boot sector that the search uses, decoded and checked.
struct ntfs_fields_s {
    std::uint32_t bytes_per_sector = 0;
    std::uint64_t sectors_per_cluster = 0;
    std::uint64_t total_sectors = 0;  // bytes 40-47: the volume without its backup sector
    std::uint64_t mft_sector = 0;     // $MFT, relative to the volume's first sector
    std::uint64_t mirror_sector = 0;  // $MFTMirr, likewise
};
// "NTFS    " at 3, 0x55 0xAA at 510, a sane sector and cluster size, the fields that NTFS
// keeps zero at zero, a non-zero size and both $MFT and $MFTMirr inside the volume.
bool ntfs_boot_fields(const std::uint8_t* sector, ntfs_fields_s* fields);

enum class fat_kind_e { none, fat12, fat16, fat32 };
struct fat_fields_s {
    fat_kind_e kind = fat_kind_e::none;
    std::uint32_t bytes_per_sector = 0;
    std::uint32_t sectors_per_cluster = 0;
    std::uint32_t reserved_sectors = 0;
    std::uint32_t fat_sectors = 0;  // one FAT
    std::uint32_t fats = 0;
    std::uint32_t total_sectors = 0;
    std::uint32_t backup_sector = 0;  // FAT32 BPB_BkBootSec, 0 when it keeps none
    std::uint8_t media = 0;
};
// A FAT boot sector with a sane BIOS parameter block: a jump instruction, 0x55 0xAA, a
// power-of-two sector (512-4096 bytes) and cluster size, reserved sectors, one or two
// FATs large enough for the clusters, a known media byte; the kind from the FAT16 size
// and the cluster count.
bool fat_boot_fields(const std::uint8_t* sector, fat_fields_s* fields);

// An exFAT boot sector: "EXFAT   " at 3, the must-be-zero area, sane size shifts.
bool exfat_boot_sector(const std::uint8_t* sector);

// The file system whose boot sector this is: "FAT12", "FAT16", "FAT32", "exFAT" or
// "NTFS"; empty when the sector is none of these (a partition table, zeros, ...).
QString volume_boot_sector_name(const std::uint8_t* sector);

// The probes. Each fills *hit when the candidate is a confirmed boot sector, or the backup
// copy of one (the hit then names the partition's real start).
bool ntfs_candidate(const boot_candidate_s& candidate, boot_hit_s* hit);
bool fat32_candidate(const boot_candidate_s& candidate, boot_hit_s* hit);

// Tests NTFS first, then FAT32; fills *hit on success.
bool test_boot_sector(const boot_candidate_s& candidate, boot_hit_s* hit);
