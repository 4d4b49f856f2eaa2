#include "boot_signature.h"

#include "partition_item.h"

#include <cstring>

namespace {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool ends_in_55aa(const std::uint8_t* sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

}  // namespace

bool ntfs_boot_sector(const std::uint8_t* sector) {
    return ends_in_55aa(sector) && std::memcmp(sector + 3, "NTFS    ", 8) == 0;
}

bool fat32_parameter_block(const std::uint8_t* sector) {
    const std::uint16_t bytes_per_sector = le16(sector + 11);  // BPB_BytsPerSec
    const std::uint8_t per_cluster = sector[13];               // BPB_SecPerClus
    const std::uint16_t reserved = le16(sector + 14);          // BPB_RsvdSecCnt
    const std::uint8_t fats = sector[16];                      // BPB_NumFATs
    const std::uint16_t root_entries = le16(sector + 17);      // BPB_RootEntCnt
    return bytes_per_sector == 512 && per_cluster != 0 && (per_cluster & (per_cluster - 1)) == 0 &&
           reserved != 0 && (fats == 1 || fats == 2) && root_entries == 0 &&
           std::memcmp(sector + 82, "FAT32   ", 8) == 0;  // BS_FilSysType
}

bool fat32_boot_sector(const std::uint8_t* sector, const std::uint8_t* next) {
    if (next == nullptr || !ends_in_55aa(sector) || !ends_in_55aa(next)) {
        return false;
    }
    return std::memcmp(sector + 3, "MSWIN", 5) == 0 || std::memcmp(sector + 3, "MSDOS", 5) == 0 ||
           fat32_parameter_block(sector);
}

bool test_boot_sector(const std::uint8_t* sector, const std::uint8_t* next, boot_hit_s* hit) {
    if (sector[510] != 0x55) {
        return false;  // the common case, decided by one byte
    }
    if (ntfs_boot_sector(sector)) {
        // bytes 40-47: total sectors; the backup boot sector lies one sector beyond them
        const std::uint64_t total = le64(sector + 40);
        hit->fs_name = QStringLiteral("NTFS");
        hit->partition_type = partition_type_ntfs;
        hit->sectors = total == UINT64_MAX ? UINT64_MAX : total + 1;
        return true;
    }
    if (fat32_boot_sector(sector, next)) {
        hit->fs_name = QStringLiteral("FAT32");
        hit->partition_type = partition_type_fat32;
        hit->sectors = le32(sector + 32);  // BPB_TotSec32
        return true;
    }
    return false;
}
