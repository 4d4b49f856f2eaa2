#pragma once
// File-system probes of the partition search: does a sector hold the superblock magic of
// exFAT, FAT12/16, ext2/3/4, XFS, btrfs or Linux swap, and if so, where does the file
// system start and how many sectors does it declare?
//
// Every probe checks far more than the magic (checksums where the format has them, block
// and sector sizes, counts that agree with each other, the size within the drive) before
// it answers. Copies of a superblock that a format keeps inside the volume (ext backup
// superblocks, XFS secondary superblocks, btrfs mirrors, the exFAT backup boot region)
// are mapped back to the start of their file system, so a volume whose first sectors are
// lost is still found where it starts.
//
// The sizes are the file system's own: ext, XFS, btrfs and swap round the partition down
// to their block or page size, and any of them may have been made smaller than its
// partition (mkfs with a size, a shrink), so a surviving table entry's end is preferred
// when one exists. Pure functions over bytes read from the drive (hostile); used by the
// search thread and by the fuzzer.

#include <QString>

#include <cstdint>
#include <functional>

struct fs_probe_s {
    QString fs_name;                  // "ext4", "XFS", "btrfs", "swap", "exFAT", "FAT16", ...
    std::int32_t partition_type = 0;  // master boot record type code (0x83, 0x82, 7, ...)
    QString type_guid;                // GPT partition type GUID, upper case
    std::uint64_t start_sector = 0;   // absolute 512-byte sector where the file system starts
    std::uint64_t sectors = 0;        // its size in 512-byte sectors
};

// Reads `count` 512-byte sectors from absolute sector `first` into `out`: 0 on success,
// -1 when any of them cannot be read.
using probe_read_f =
    std::function<int(std::uint64_t first, std::uint32_t count, std::uint8_t* out)>;

// GPT type GUIDs of the partitions the repair describes.
extern const char* const gpt_type_linux_fs;
extern const char* const gpt_type_linux_swap;
extern const char* const gpt_type_basic_data;

// Master boot record type code and GPT type GUID for a file-system name ("NTFS", "ext4",
// ...): Linux file systems 0x83, swap 0x82, NTFS and exFAT 7, FAT32 0x0C, FAT16 0x0E,
// FAT12 1.
void fs_table_types(const QString& fs_name, std::int32_t* partition_type, QString* type_guid);

// Tests the sector at absolute `lba` (its 512 bytes in `sector`) as the place where one of
// the probed file systems keeps its magic. Reads more through `read` to validate. A hit's
// start may lie before `lba` (ext keeps its superblock 1 KiB in, btrfs 64 KiB, swap its
// magic at the end of the first page, and the copies further in); it is never after it.
bool probe_file_system(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                       const probe_read_f& read, fs_probe_s* hit);

// The single probes, also reached by probe_file_system; each fills *hit on success.
bool probe_exfat(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit);
bool probe_fat16(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit);
bool probe_ext(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
               const probe_read_f& read, fs_probe_s* hit);
bool probe_xfs(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
               const probe_read_f& read, fs_probe_s* hit);
bool probe_btrfs(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit);
bool probe_swap(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                const probe_read_f& read, fs_probe_s* hit);

// Shared by the probes.
namespace fs_probe_detail {
// True when the sectors [start, start + sectors) are some and lie on the drive.
bool within_drive(std::uint64_t start, std::uint64_t sectors, std::uint64_t drive_sectors);
// A hit for the file system fs_name at start, with its partition type code and type GUID.
void fill_hit(const QString& fs_name, std::uint64_t start, std::uint64_t sectors, fs_probe_s* hit);
}  // namespace fs_probe_detail
