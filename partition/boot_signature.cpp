#include "boot_signature.h"

#include "partition_item.h"

#include <array>
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

bool power_of_two(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

bool sane_sector_size(std::uint32_t bytes) {
    return bytes >= 512 && bytes <= 4096 && power_of_two(bytes);
}

// EB xx 90 or E9 xx xx: the jump over the parameter block that every FAT volume starts with.
bool jump_instruction(const std::uint8_t* sector) {
    return (sector[0] == 0xEB && sector[2] == 0x90) || sector[0] == 0xE9;
}

// `count` sectors starting at `first` lie inside a drive of `drive_sectors`.
bool inside_drive(std::uint64_t first, std::uint64_t count, std::uint64_t drive_sectors) {
    return count <= drive_sectors && first <= drive_sectors - count;
}

// The sector starts with "FILE": an MFT record.
bool mft_record_at(const boot_candidate_s& c, std::uint64_t sector) {
    std::array<std::uint8_t, boot_sector_bytes> bytes{};
    return sector < c.drive_sectors && c.read && (*c.read)(sector, bytes.data()) &&
           std::memcmp(bytes.data(), "FILE", 4) == 0;
}

// The sector starts like a FAT32 table: entry 0 holds the media byte with all other bits
// set, entry 1 an end-of-chain mark (its two top bits are the volume's dirty flags).
bool fat32_table_at(const boot_candidate_s& c, std::uint64_t sector, std::uint8_t media) {
    std::array<std::uint8_t, boot_sector_bytes> bytes{};
    if (sector >= c.drive_sectors || !c.read || !(*c.read)(sector, bytes.data())) {
        return false;
    }
    const std::uint32_t entry0 = le32(bytes.data()) & 0x0FFFFFFF;
    const std::uint32_t entry1 = le32(bytes.data() + 4) & 0x0FFFFFFF;
    return entry0 == (0x0FFFFF00u | media) && (entry1 | 0x0C000000u) == 0x0FFFFFFFu;
}

}  // namespace

bool ntfs_boot_fields(const std::uint8_t* sector, ntfs_fields_s* fields) {
    if (!ends_in_55aa(sector) || std::memcmp(sector + 3, "NTFS    ", 8) != 0) {
        return false;
    }
    ntfs_fields_s f;
    f.bytes_per_sector = le16(sector + 11);  // 0x0B: bytes per sector
    const std::uint8_t per_cluster = sector[13];
    // 0x0D: sectors per cluster; from 0xF4 on it is the negated power of two (big clusters)
    if (per_cluster <= 0x80) {
        f.sectors_per_cluster = per_cluster;
    } else if (per_cluster >= 0xF4) {
        f.sectors_per_cluster = std::uint64_t(1) << (256 - per_cluster);
    }
    if (!sane_sector_size(f.bytes_per_sector) || !power_of_two(f.sectors_per_cluster)) {
        return false;
    }
    // NTFS keeps these FAT fields zero: reserved sectors, FATs, root entries, the 16-bit
    // sector count, the FAT size and the 32-bit sector count.
    if (le16(sector + 14) != 0 || sector[16] != 0 || le16(sector + 17) != 0 ||
        le16(sector + 19) != 0 || le16(sector + 22) != 0 || le32(sector + 32) != 0) {
        return false;
    }
    f.total_sectors = le64(sector + 40);  // 0x28
    const std::uint64_t mft_cluster = le64(sector + 48);
    const std::uint64_t mirror_cluster = le64(sector + 56);
    const std::uint64_t clusters = f.total_sectors / f.sectors_per_cluster;
    if (f.total_sectors == 0 || mft_cluster >= clusters || mirror_cluster >= clusters ||
        sector[64] == 0) {  // 0x40: clusters (or a negated power of two bytes) per record
        return false;
    }
    f.mft_sector = mft_cluster * f.sectors_per_cluster;
    f.mirror_sector = mirror_cluster * f.sectors_per_cluster;
    *fields = f;
    return true;
}

bool fat_boot_fields(const std::uint8_t* sector, fat_fields_s* fields) {
    if (!ends_in_55aa(sector) || !jump_instruction(sector)) {
        return false;
    }
    fat_fields_s f;
    f.bytes_per_sector = le16(sector + 11);        // BPB_BytsPerSec
    f.sectors_per_cluster = sector[13];            // BPB_SecPerClus
    f.reserved_sectors = le16(sector + 14);        // BPB_RsvdSecCnt
    f.fats = sector[16];                           // BPB_NumFATs
    const std::uint32_t root = le16(sector + 17);  // BPB_RootEntCnt
    const std::uint16_t total16 = le16(sector + 19);
    f.media = sector[21];  // BPB_Media
    const std::uint16_t fat16_size = le16(sector + 22);
    const std::uint32_t total32 = le32(sector + 32);
    const std::uint32_t fat32_size = le32(sector + 36);
    if (!sane_sector_size(f.bytes_per_sector) || !power_of_two(f.sectors_per_cluster) ||
        f.sectors_per_cluster > 128 || f.reserved_sectors == 0 || f.fats == 0 || f.fats > 2 ||
        (f.media != 0xF0 && f.media < 0xF8)) {
        return false;
    }
    f.fat_sectors = fat16_size != 0 ? fat16_size : fat32_size;
    f.total_sectors = total16 != 0 ? total16 : total32;
    const bool fat32 = fat16_size == 0;
    if (f.fat_sectors == 0 || f.total_sectors == 0 || (fat32 && (root != 0 || total16 != 0)) ||
        (!fat32 && root == 0)) {
        return false;
    }
    const std::uint64_t root_sectors =
        (std::uint64_t(root) * 32 + f.bytes_per_sector - 1) / f.bytes_per_sector;
    const std::uint64_t meta =
        f.reserved_sectors + std::uint64_t(f.fats) * f.fat_sectors + root_sectors;
    if (meta >= f.total_sectors) {
        return false;
    }
    const std::uint64_t clusters = (f.total_sectors - meta) / f.sectors_per_cluster;
    const std::uint64_t fat_bytes = std::uint64_t(f.fat_sectors) * f.bytes_per_sector;
    std::uint64_t entries = 0;
    if (fat32) {
        f.kind = fat_kind_e::fat32;
        entries = fat_bytes / 4;
        if (le32(sector + 44) < 2) {  // BPB_RootClus
            return false;
        }
        f.backup_sector = le16(sector + 50);  // BPB_BkBootSec
        if (f.backup_sector >= f.reserved_sectors) {
            f.backup_sector = 0;
        }
    } else if (clusters < 4085) {
        f.kind = fat_kind_e::fat12;
        entries = fat_bytes * 2 / 3;
    } else {
        f.kind = fat_kind_e::fat16;
        entries = fat_bytes / 2;
    }
    if (clusters == 0 || entries < clusters + 2) {
        return false;
    }
    *fields = f;
    return true;
}

bool exfat_boot_sector(const std::uint8_t* sector) {
    if (!ends_in_55aa(sector) || std::memcmp(sector + 3, "EXFAT   ", 8) != 0) {
        return false;
    }
    for (int i = 11; i < 64; ++i) {  // MustBeZero: where a FAT parameter block would be
        if (sector[i] != 0) {
            return false;
        }
    }
    const std::uint8_t sector_shift = sector[108];   // BytesPerSectorShift
    const std::uint8_t cluster_shift = sector[109];  // SectorsPerClusterShift
    const std::uint8_t fats = sector[110];           // NumberOfFats
    return sector_shift >= 9 && sector_shift <= 12 && cluster_shift <= 25 - sector_shift &&
           (fats == 1 || fats == 2) && le64(sector + 72) != 0;  // VolumeLength
}

QString volume_boot_sector_name(const std::uint8_t* sector) {
    ntfs_fields_s ntfs;
    if (ntfs_boot_fields(sector, &ntfs)) {
        return QStringLiteral("NTFS");
    }
    if (exfat_boot_sector(sector)) {
        return QStringLiteral("exFAT");
    }
    fat_fields_s fat;
    if (fat_boot_fields(sector, &fat)) {
        switch (fat.kind) {
            case fat_kind_e::fat12:
                return QStringLiteral("FAT12");
            case fat_kind_e::fat16:
                return QStringLiteral("FAT16");
            case fat_kind_e::fat32:
                return QStringLiteral("FAT32");
            case fat_kind_e::none:
                break;
        }
    }
    return {};
}

bool ntfs_candidate(const boot_candidate_s& c, boot_hit_s* hit) {
    ntfs_fields_s f;
    if (!ntfs_boot_fields(c.sector, &f)) {
        return false;
    }
    // The volume's own sectors, counted in the 512-byte units of the search.
    const std::uint64_t units = f.bytes_per_sector / boot_sector_bytes;
    if (f.total_sectors >= UINT64_MAX / units - 1) {
        return false;
    }
    // The partition holds the volume and, behind it, the backup boot sector.
    const std::uint64_t volume = f.total_sectors * units;
    const std::uint64_t sectors = volume + units;
    auto confirmed = [&](std::uint64_t start) {
        return mft_record_at(c, start + f.mft_sector * units) ||
               mft_record_at(c, start + f.mirror_sector * units);
    };
    std::uint64_t start = 0;
    bool backup = false;
    if (inside_drive(c.at, sectors, c.drive_sectors) && confirmed(c.at)) {
        start = c.at;
    } else if (volume <= c.at && confirmed(c.at - volume)) {
        // the backup boot sector, the partition's last sector
        start = c.at - volume;
        backup = true;
    } else {
        return false;
    }
    hit->fs_name = QStringLiteral("NTFS");
    hit->partition_type = partition_type_ntfs;
    hit->start = start;
    hit->sectors = sectors;
    hit->from_backup = backup;
    return true;
}

bool fat32_candidate(const boot_candidate_s& c, boot_hit_s* hit) {
    fat_fields_s f;
    if (!fat_boot_fields(c.sector, &f) || f.kind != fat_kind_e::fat32) {
        return false;
    }
    // The volume's own sectors, counted in the 512-byte units of the search. Its FSInfo
    // sector follows the boot sector (and ends in 0x55 0xAA like it).
    const std::uint64_t units = f.bytes_per_sector / boot_sector_bytes;
    std::array<std::uint8_t, boot_sector_bytes> info{};
    const std::uint8_t* next = c.next;
    if (units > 1) {
        next = c.at + units < c.drive_sectors && c.read && (*c.read)(c.at + units, info.data())
                   ? info.data()
                   : nullptr;
    }
    if (next == nullptr || !ends_in_55aa(next)) {
        return false;
    }
    const std::uint64_t total = std::uint64_t(f.total_sectors) * units;
    auto confirmed = [&](std::uint64_t start) {
        return inside_drive(start, total, c.drive_sectors) &&
               fat32_table_at(c, start + std::uint64_t(f.reserved_sectors) * units, f.media);
    };
    // The backup copy is tried first: read as a primary, it would find the FAT a few
    // sectors into the real one, where two end-of-chain marks may well stand.
    const std::uint64_t backup_at = std::uint64_t(f.backup_sector) * units;
    std::uint64_t start = 0;
    bool backup = false;
    if (f.backup_sector != 0 && c.at >= backup_at && confirmed(c.at - backup_at)) {
        start = c.at - backup_at;
        backup = true;
    } else if (confirmed(c.at)) {
        start = c.at;
    } else {
        return false;
    }
    hit->fs_name = QStringLiteral("FAT32");
    hit->partition_type = partition_type_fat32;
    hit->start = start;
    hit->sectors = total;
    hit->from_backup = backup;
    return true;
}

bool test_boot_sector(const boot_candidate_s& candidate, boot_hit_s* hit) {
    if (candidate.sector[510] != 0x55) {
        return false;  // the common case, decided by one byte
    }
    return ntfs_candidate(candidate, hit) || fat32_candidate(candidate, hit);
}
