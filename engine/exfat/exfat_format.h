#pragma once
// The on-disk structures of exFAT, decoded from byte spans: the boot sector and the
// checksum of the boot region, directory entry sets with their checksum, file times, the
// up-case table and the name hash. Pure functions with no device access, shared by the
// volume reader, the free-space reader and the fuzz harness. Every length and count read
// from the bytes is checked before use.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace exfat {

constexpr std::size_t entry_bytes = 32;
constexpr std::uint32_t first_cluster = 2;  // cluster numbers start at 2
constexpr std::uint32_t fat_bad = 0xFFFFFFF7U;
constexpr std::uint32_t fat_end = 0xFFFFFFFFU;
constexpr std::uint64_t directory_max_bytes = 256ULL << 20;  // no directory is larger
constexpr int name_max = 255;

// Entry types (byte 0 of a directory entry); bit 7 is the in-use bit.
constexpr std::uint8_t type_end = 0x00;
constexpr std::uint8_t type_bitmap = 0x81;
constexpr std::uint8_t type_upcase = 0x82;
constexpr std::uint8_t type_label = 0x83;
constexpr std::uint8_t type_file = 0x85;
constexpr std::uint8_t type_stream = 0xC0;
constexpr std::uint8_t type_name = 0xC1;
constexpr std::uint8_t in_use_bit = 0x80;

// File attributes (file entry 0x04), the same bits as FAT's.
constexpr std::uint16_t attr_read_only = 0x01;
constexpr std::uint16_t attr_hidden = 0x02;
constexpr std::uint16_t attr_system = 0x04;
constexpr std::uint16_t attr_directory = 0x10;
constexpr std::uint16_t attr_archive = 0x20;

// Stream extension 0x01: general secondary flags.
constexpr std::uint8_t flag_allocation_possible = 0x01;
constexpr std::uint8_t flag_no_fat_chain = 0x02;

std::uint16_t le16(const std::uint8_t* p);
std::uint32_t le32(const std::uint8_t* p);
std::uint64_t le64(const std::uint8_t* p);

// The fields of the main (or backup) boot sector that the reader uses.
struct boot_s {
    std::uint64_t volume_length = 0;  // 0x48: sectors
    std::uint32_t fat_offset = 0;     // 0x50: sectors from the volume's start
    std::uint32_t fat_length = 0;     // 0x54: sectors of one FAT
    std::uint32_t heap_offset = 0;    // 0x58: sectors to the cluster heap
    std::uint32_t cluster_count = 0;  // 0x5C
    std::uint32_t root_cluster = 0;   // 0x60: first cluster of the root directory
    std::uint32_t serial = 0;         // 0x64
    std::uint16_t volume_flags = 0;   // 0x6A: bit 0 the second FAT and bitmap are active
    std::uint8_t sector_shift = 9;    // 0x6C: log2 of bytes per sector, 9..12
    std::uint8_t cluster_shift = 0;   // 0x6D: log2 of sectors per cluster
    std::uint8_t fat_count = 1;       // 0x6E: 1 or 2
    std::uint32_t sector_bytes() const { return 1U << sector_shift; }
    std::uint64_t cluster_bytes() const { return 1ULL << (sector_shift + cluster_shift); }
    bool second_active() const { return fat_count == 2 && (volume_flags & 1); }
};

// Checks and decodes a boot sector (at least 512 bytes) of a volume of volume_bytes bytes
// (0: not known); false when it is not an exFAT boot sector whose layout holds together.
bool parse_boot_sector(const std::uint8_t* sector, std::size_t length, std::uint64_t volume_bytes,
                       boot_s* boot);
// The checksum of a boot region's first 11 sectors (sector_bytes each), leaving out the
// volume flags and the percent-in-use bytes of the boot sector.
std::uint32_t boot_checksum(const std::uint8_t* region, std::size_t sector_bytes);
// The 12 sectors of a boot region: a sound boot sector whose 12th sector repeats the
// checksum of the first 11.
bool check_boot_region(const std::uint8_t* region, std::size_t sector_bytes,
                       std::uint64_t volume_bytes, boot_s* boot);

// The checksum of an entry set of count entries (count * 32 bytes), leaving out the
// checksum field of its first entry.
std::uint16_t set_checksum(const std::uint8_t* entries, std::size_t count);
// The name hash of a name already converted to upper case.
std::uint16_t name_hash(const std::u16string& upcased);

// The up-case table as a full map of the 65536 UTF-16 units; identity where the table is
// silent.
class upcase_table_c {
  public:
    upcase_table_c();
    // Decodes a table of length bytes (compressed runs 0xFFFF,count allowed); false, with
    // the identity map kept, when it is malformed.
    bool load(const std::uint8_t* table, std::size_t length);
    char16_t up(char16_t c) const { return map_[c]; }
    std::u16string up(const std::u16string& s) const;

  private:
    std::vector<char16_t> map_;
};
// The 32-bit checksum of the up-case table's bytes (up-case entry 0x04).
std::uint32_t table_checksum(const std::uint8_t* table, std::size_t length);

// One file directory entry set, live or deleted, as found in a directory's bytes.
struct entry_set_s {
    std::size_t offset = 0;   // of the file entry, in bytes from the directory's start
    std::size_t entries = 0;  // 1 + secondary count
    bool deleted = false;     // the in-use bits are clear
    bool checksum_ok = false;
    bool name_hash_ok = true;  // set by the caller that has the up-case table
    std::uint16_t attributes = 0;
    std::uint8_t flags = 0;  // stream extension 0x01
    std::uint16_t name_hash = 0;
    std::uint32_t first_cluster = 0;
    std::uint64_t valid_length = 0;  // bytes written; the rest of the data reads as zeros
    std::uint64_t data_length = 0;
    std::int64_t create_ms = 0;  // milliseconds since 1970 UTC; 0 when not set
    std::int64_t modify_ms = 0;
    std::int64_t access_ms = 0;
    std::u16string name;
    bool no_fat_chain() const { return flags & flag_no_fat_chain; }
    bool is_directory() const { return attributes & attr_directory; }
};

// Reads a file entry set starting at byte offset at of a directory's bytes. Returns the
// number of entries to step over: the whole set when one was decoded into *set (a set whose
// checksum fails is still decoded, with checksum_ok false), or 1 when the entry at `at`
// starts no usable set (not a file entry, a set that runs past the end, a missing stream
// extension or name). A deleted set is checked with its in-use bits put back.
std::size_t parse_entry_set(const std::uint8_t* dir, std::size_t dir_bytes, std::size_t at,
                            entry_set_s* set);

// An exFAT timestamp with its 10 ms increment (0..199) and UTC offset byte to milliseconds
// since 1970 UTC; a time without a valid offset is taken as local time. 0 for a zero or
// impossible stamp.
std::int64_t time_to_ms(std::uint32_t stamp, std::uint8_t increment, std::uint8_t utc_offset);

}  // namespace exfat
