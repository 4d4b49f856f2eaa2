// The dispatcher of the file-system probes, the table types, and the probes of the
// formats that Windows and cameras write: exFAT and FAT12/16.
#include "fs_probe.h"

#include "disk_bytes.h"

#include <cstring>
#include <vector>

using namespace disk_bytes;

const char* const gpt_type_linux_fs = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const char* const gpt_type_linux_swap = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
const char* const gpt_type_basic_data = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

namespace fs_probe_detail {

bool within_drive(std::uint64_t start, std::uint64_t sectors, std::uint64_t drive_sectors) {
    return sectors > 0 && start < drive_sectors && sectors <= drive_sectors - start;
}

void fill_hit(const QString& fs_name, std::uint64_t start, std::uint64_t sectors, fs_probe_s* hit) {
    hit->fs_name = fs_name;
    hit->start_sector = start;
    hit->sectors = sectors;
    fs_table_types(fs_name, &hit->partition_type, &hit->type_guid);
}

}  // namespace fs_probe_detail

using namespace fs_probe_detail;

namespace {

// The checksum of the exFAT boot region: its first eleven sectors, without the volume
// flags (bytes 106-107) and the percent in use (byte 112), which change in use.
std::uint32_t exfat_boot_checksum(const std::uint8_t* region, std::size_t bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == 106 || i == 107 || i == 112) {
            continue;
        }
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

// The first FAT entry of an exFAT volume holds the media type 0xF8 with all other bits set.
bool exfat_fat_starts_at(std::uint64_t fat_sector, std::uint64_t drive_sectors,
                         const probe_read_f& read) {
    std::uint8_t first[512];
    return fat_sector < drive_sectors && read(fat_sector, 1, first) == 0 &&
           le32(first) == 0xFFFFFFF8u;
}

}  // namespace

void fs_table_types(const QString& fs_name, std::int32_t* partition_type, QString* type_guid) {
    const QString name = fs_name.toLower();
    if (name.startsWith(QLatin1String("ext")) || name == QLatin1String("xfs") ||
        name == QLatin1String("btrfs")) {
        *partition_type = 0x83;
        *type_guid = QString::fromLatin1(gpt_type_linux_fs);
    } else if (name == QLatin1String("swap")) {
        *partition_type = 0x82;
        *type_guid = QString::fromLatin1(gpt_type_linux_swap);
    } else {
        *partition_type = name == QLatin1String("fat32")   ? 0x0C
                          : name == QLatin1String("fat16") ? 0x0E
                          : name == QLatin1String("fat12") ? 0x01
                                                           : 0x07;  // NTFS, exFAT
        *type_guid = QString::fromLatin1(gpt_type_basic_data);
    }
}

bool probe_exfat(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit) {
    if (std::memcmp(sector + 3, "EXFAT   ", 8) != 0 || sector[510] != 0x55 || sector[511] != 0xAA) {
        return false;
    }
    for (int i = 11; i < 64; ++i) {  // MustBeZero: where a FAT parameter block would be
        if (sector[i] != 0) {
            return false;
        }
    }
    const std::uint64_t volume_length = le64(sector + 72);
    const std::uint32_t fat_offset = le32(sector + 80);
    const std::uint32_t fat_length = le32(sector + 84);
    const std::uint32_t heap_offset = le32(sector + 88);
    const std::uint32_t cluster_count = le32(sector + 92);
    const std::uint32_t root_cluster = le32(sector + 96);
    const std::uint8_t sector_shift = sector[108];
    const std::uint8_t cluster_shift = sector[109];
    const std::uint8_t fats = sector[110];
    if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25 - sector_shift ||
        (fats != 1 && fats != 2) || sector[105] != 1 || fat_offset < 24 || fat_length == 0 ||
        heap_offset < fat_offset + std::uint64_t(fat_length) * fats || cluster_count == 0 ||
        root_cluster < 2 || root_cluster - 2 >= cluster_count) {
        return false;
    }
    const std::uint32_t per_sector = 1u << (sector_shift - 9);  // 512-byte units per sector
    if (volume_length > UINT64_MAX / per_sector ||
        heap_offset + (std::uint64_t(cluster_count) << cluster_shift) > volume_length ||
        std::uint64_t(cluster_count) + 2 > std::uint64_t(fat_length) << (sector_shift - 2)) {
        return false;
    }
    const std::uint64_t sectors = volume_length * per_sector;
    // The main and the backup boot region (sectors 0-11 and 12-23) are alike; the first
    // FAT, seen from the right one, tells them apart.
    const std::uint64_t backup_units = 12ull * per_sector;
    std::uint64_t start = lba;
    if (!exfat_fat_starts_at(lba + std::uint64_t(fat_offset) * per_sector, drive_sectors, read)) {
        if (lba < backup_units ||
            !exfat_fat_starts_at(lba - backup_units + std::uint64_t(fat_offset) * per_sector,
                                 drive_sectors, read)) {
            return false;
        }
        start = lba - backup_units;
    }
    if (!within_drive(start, sectors, drive_sectors)) {
        return false;
    }
    const std::size_t bytes_per_sector = std::size_t(512) * per_sector;
    std::vector<std::uint8_t> region(12 * bytes_per_sector);
    if (read(lba, 12 * per_sector, region.data()) != 0) {
        return false;
    }
    const std::uint32_t sum = exfat_boot_checksum(region.data(), 11 * bytes_per_sector);
    for (std::size_t at = 11 * bytes_per_sector; at < region.size(); at += 4) {
        if (le32(region.data() + at) != sum) {
            return false;
        }
    }
    fill_hit(QStringLiteral("exFAT"), start, sectors, hit);
    return true;
}

bool probe_fat16(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit) {
    if (sector[510] != 0x55 || sector[511] != 0xAA || !(sector[0] == 0xEB || sector[0] == 0xE9)) {
        return false;
    }
    const std::uint16_t bytes_per_sector = le16(sector + 11);
    const std::uint8_t per_cluster = sector[13];
    const std::uint16_t reserved = le16(sector + 14);
    const std::uint8_t fats = sector[16];
    const std::uint16_t root_entries = le16(sector + 17);
    const std::uint16_t total16 = le16(sector + 19);
    const std::uint8_t media = sector[21];
    const std::uint16_t fat_size = le16(sector + 22);
    const std::uint32_t total32 = le32(sector + 32);
    if (bytes_per_sector < 512 || bytes_per_sector > 4096 || !is_power_of_two(bytes_per_sector) ||
        !is_power_of_two(per_cluster) || reserved == 0 || fats == 0 || fats > 2 ||
        root_entries == 0 || fat_size == 0 || (media != 0xF0 && media < 0xF8)) {
        return false;
    }
    const std::uint32_t total = total16 != 0 ? total16 : total32;
    const std::uint32_t root_sectors =
        (root_entries * 32u + bytes_per_sector - 1) / bytes_per_sector;
    const std::uint64_t meta = reserved + std::uint64_t(fats) * fat_size + root_sectors;
    if (total <= meta) {
        return false;
    }
    const std::uint64_t clusters = (total - meta) / per_cluster;
    if (clusters == 0 || clusters >= 65525) {
        return false;  // FAT32 (or nothing): not this probe's
    }
    const bool fat12 = clusters < 4085;
    // The FAT must hold every cluster: 1.5 or 2 bytes each, plus the two reserved entries.
    const std::uint64_t fat_bytes_needed = fat12 ? (clusters + 2) * 3 / 2 : (clusters + 2) * 2;
    if (std::uint64_t(fat_size) * bytes_per_sector < fat_bytes_needed) {
        return false;
    }
    const std::uint32_t per_sector = bytes_per_sector / 512;
    const std::uint64_t sectors = std::uint64_t(total) * per_sector;
    if (!within_drive(lba, sectors, drive_sectors)) {
        return false;
    }
    // The first FAT entry repeats the media byte with the other bits set.
    std::uint8_t fat[512];
    if (read(lba + std::uint64_t(reserved) * per_sector, 1, fat) != 0 || fat[0] != media ||
        fat[1] != 0xFF || (!fat12 && fat[2] == 0 && fat[3] == 0)) {
        return false;
    }
    fill_hit(fat12 ? QStringLiteral("FAT12") : QStringLiteral("FAT16"), lba, sectors, hit);
    return true;
}

bool probe_file_system(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                       const probe_read_f& read, fs_probe_s* hit) {
    // One or two bytes decide for nearly every sector which probe could apply at all.
    if (sector[510] == 0x55 && sector[511] == 0xAA) {
        if (sector[3] == 'E' && probe_exfat(sector, lba, drive_sectors, read, hit)) {
            return true;
        }
        if (probe_fat16(sector, lba, drive_sectors, read, hit)) {
            return true;
        }
    }
    if (sector[56] == 0x53 && sector[57] == 0xEF &&
        probe_ext(sector, lba, drive_sectors, read, hit)) {
        return true;
    }
    if (sector[0] == 'X' && probe_xfs(sector, lba, drive_sectors, read, hit)) {
        return true;
    }
    if (sector[0x40] == '_' && probe_btrfs(sector, lba, drive_sectors, read, hit)) {
        return true;
    }
    return sector[502] == 'S' && probe_swap(sector, lba, drive_sectors, read, hit);
}
