#pragma once
// A small read-only FAT12/FAT16/FAT32 reader for the FAT engine.
//
// It works on absolute 512-byte sectors of a physical drive through the drive table
// (device/disk_table.h) and differs from an ordinary reader in that it returns deleted
// directory entries (attribute bit fat_attr_deleted), lets the caller read file data as a
// run of clusters without the FAT, reports each entry's first cluster and creation stamp,
// and finds a volume at the start sector the volume locator gave for it.
//
// Thread use: the slot table, the registered volumes and the mount counter are process-wide
// and unlocked; one FAT scan or restore runs at a time. Objects belong to the caller.

#include <cstdint>
#include <functional>

constexpr int fat_volume_count = 10;
constexpr std::uint32_t fat_sector_bytes = 512;

// Where logical volume N lives; the FAT engine fills slot 0 before each scan.
struct fat_volume_slot_s {
    std::uint8_t drive = 0;      // physical drive number in the drive table
    std::uint8_t partition = 0;  // non-zero: use start_sector even if sector 0 is a FAT boot sector
    std::uint64_t start_sector = 0;  // absolute sector of the volume's boot sector
};
extern fat_volume_slot_s fat_volume_slot[fat_volume_count];

enum fat_result : int {
    fat_ok = 0,
    fat_disk_error = 1,
    fat_internal_error = 2,
    fat_not_ready = 3,
    fat_no_more_entries = 4,
    fat_path_not_found = 5,
    fat_invalid_name = 6,
    fat_access_denied = 7,
    fat_invalid_object = 9,
    fat_invalid_volume = 11,
    fat_no_volume_object = 12,
    fat_no_file_system = 13,
    fat_out_of_memory = 17,
};
const char* fat_result_text(fat_result result);

// fat_volume::type
constexpr std::uint8_t fat_type_none = 0;
constexpr std::uint8_t fat_type_fat12 = 1;
constexpr std::uint8_t fat_type_fat16 = 2;
constexpr std::uint8_t fat_type_fat32 = 3;

// Attribute bits of fat_entry_info::attributes (directory entry byte 11, plus deleted).
constexpr std::uint8_t fat_attr_read_only = 0x01;
constexpr std::uint8_t fat_attr_hidden = 0x02;
constexpr std::uint8_t fat_attr_system = 0x04;
constexpr std::uint8_t fat_attr_volume = 0x08;
constexpr std::uint8_t fat_attr_directory = 0x10;
constexpr std::uint8_t fat_attr_archive = 0x20;
constexpr std::uint8_t fat_attr_deleted = 0x40;

// fat_file::flags
constexpr std::uint8_t fat_file_readable = 0x01;
constexpr std::uint8_t fat_file_error = 0x80;

// The contiguous argument of f_read: 0 follows the FAT chain; fat_read_skip_used reads
// consecutive clusters but steps over every cluster the FAT marks as in use; any other
// non-zero value reads a plain run of consecutive clusters.
constexpr int fat_read_chain = 0;
constexpr int fat_read_skip_used = 0x100;

// fat_get_entry's answer when the FAT sector cannot be read.
constexpr std::uint32_t fat_entry_read_failed = 0xFFFFFFFF;

// One mounted volume; owned by the caller and registered with f_mount.
struct fat_volume {
    std::uint8_t type = fat_type_none;
    std::uint8_t drive = 0;
    std::uint8_t sectors_per_cluster = 0;
    std::uint8_t fat_count = 0;
    std::uint16_t mount_id = 0;
    std::uint16_t root_entry_count = 0;  // FAT12/16 root size in entries; 0 on FAT32
    std::uint32_t fat_entry_count = 0;   // clusters + 2
    std::uint32_t fat_size = 0;          // sectors per FAT
    std::uint64_t fat_start = 0;         // absolute sector of the first FAT
    std::uint64_t root_start = 0;        // FAT12/16: absolute sector; FAT32: first cluster
    std::uint64_t data_start = 0;        // absolute sector of cluster 2
    std::uint64_t window_sector = 0;     // sector held in window; 0 = none
    std::uint8_t window[fat_sector_bytes] = {};
};

// A directory being read. f_opendir fills it; the engine may then set start_cluster and
// cluster to any directory's first cluster and rewind it with f_readdir(dir, nullptr).
struct fat_dir {
    fat_volume* volume = nullptr;
    std::uint16_t mount_id = 0;
    std::uint16_t index = 0;               // entry number within the directory
    std::uint32_t start_cluster = 0;       // 0 = the root directory
    std::uint32_t cluster = 0;             // 0 while in a FAT12/16 root
    std::uint64_t sector = 0;              // current absolute sector; 0 = finished
    const std::uint8_t* entry = nullptr;   // current 32-byte entry inside volume->window
    char16_t* long_name_buffer = nullptr;  // work buffer, only valid during a call
    std::uint16_t long_name_index = 0xFFFF;
    std::uint16_t deleted = 0;
    // A failure met while stepping past the entry just returned; reported by the next
    // read so that the entry itself is not lost.
    fat_result pending = fat_ok;
};

// What f_readdir returns for one entry. An empty short_name means no more entries.
struct fat_entry_info {
    std::uint32_t size = 0;
    std::uint32_t first_cluster = 0;
    std::uint16_t write_date = 0;
    std::uint16_t write_time = 0;
    std::uint16_t creation_date = 0;
    std::uint16_t creation_time = 0;
    std::uint16_t access_date = 0;  // a day only
    std::uint8_t attributes = 0;
    char16_t short_name[13] = {};
    char16_t* long_name = nullptr;         // caller's buffer, filled or emptied
    std::uint32_t long_name_capacity = 0;  // in UTF-16 units, terminator included
};

// A file being read. The caller fills volume, mount_id, flags (fat_file_readable), size
// and first_cluster; everything else starts at zero.
struct fat_file {
    fat_volume* volume = nullptr;
    std::uint16_t mount_id = 0;
    std::uint8_t flags = 0;
    std::uint32_t position = 0;
    std::uint32_t size = 0;
    std::uint32_t first_cluster = 0;
    std::uint32_t cluster = 0;
    std::uint64_t cached_sector = 0;  // sector in sector_buffer; 0 = none
    // Loop detection on the cluster chain (a cluster remembered at every power-of-two
    // step); a chain that comes back to it is broken.
    std::uint32_t chain_mark = 0;
    std::uint32_t chain_steps = 0;
    // Clusters in use that a fat_read_skip_used read stepped over.
    std::uint32_t skipped_clusters = 0;
    std::uint8_t sector_buffer[fat_sector_bytes] = {};
};

// Registers a volume object for volume_number (0-9), or removes it with nullptr. Both the
// old and the new object are unmounted so that the next f_opendir mounts afresh.
fat_result f_mount(int volume_number, fat_volume* volume);
// Mounts on demand and opens the root directory. path is "/" or "N:/" (N one digit);
// directories below the root are opened by cluster, never by name.
fat_result f_opendir(fat_dir* dir, const char* path);
// Reads the next entry into info, or rewinds dir when info is nullptr. At the end of the
// directory it succeeds with an empty short name.
fat_result f_readdir(fat_dir* dir, fat_entry_info* info);
// Reads up to count bytes from the file's position; contiguous chooses how clusters
// follow each other (see fat_read_chain / fat_read_skip_used).
fat_result f_read(fat_file* file, void* buffer, std::uint32_t count, std::uint32_t* bytes_read,
                  int contiguous);
// Whether cluster still reads as the first cluster of a sub-directory: its "." and ".."
// entries (or, without them, at least one entry), then entries a FAT driver could have
// written (names of valid characters, sizes within the volume, real dates, clusters inside
// the FAT) up to the end mark or the end of the cluster. *sound is false for a cluster some file's
// data now fills; the result is fat_ok unless a sector could not be read.
fat_result fat_check_directory_cluster(fat_volume* volume, std::uint32_t cluster, bool* sound);
// Looks at every cluster the FAT marks free, in cluster order, for the first cluster of a
// sub-directory: one whose "." entry names the cluster itself and whose ".." entry follows.
// found(cluster, parent) gets each ("..": the parent's first cluster, 0 for the root) and
// returns false to end the search; keep_going, asked every few thousand clusters, ends it
// when false. Reads the FAT once and every free cluster once, in order, a transfer at a
// time.
fat_result fat_find_directory_starts(fat_volume* volume,
                                     const std::function<bool(std::uint32_t, std::uint32_t)>& found,
                                     const std::function<bool()>& keep_going = {});
// The FAT entry of cluster: fat_entry_read_failed when the FAT sector cannot be read, 1
// for a cluster outside 2 .. fat_entry_count-1.
std::uint32_t fat_get_entry(fat_volume* volume, std::uint32_t cluster);
