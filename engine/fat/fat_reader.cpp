#include "fat_reader.h"

#include "device/disk_table.h"
#include "fat_reader_internal.h"

#include <cstddef>
#include <cstring>

using fat_internal::byte_span;
using fat_internal::cluster_to_sector;
using fat_internal::drive_ready;
using fat_internal::entries_per_sector;
using fat_internal::load_u16;
using fat_internal::load_u32;
using fat_internal::move_window;
using fat_internal::object_valid;
using fat_internal::rewind_dir;

fat_volume_slot_s fat_volume_slot[fat_volume_count];

namespace fat_internal {

// Brings sector into the volume's window. Sector 0 is never metadata after a mount (the
// reserved area is at least one sector), and window_sector 0 means "nothing loaded", so a
// request for it is a caller fault rather than something to satisfy from a stale window.
fat_result move_window(fat_volume* volume, std::uint64_t sector) {
    if (sector == volume->window_sector) {
        return fat_ok;
    }
    if (sector == 0) {
        return fat_internal_error;
    }
    std::uint8_t buffer[fat_sector_bytes];
    if (disk_read_sectors(volume->drive, buffer, sector, 1) != disk_ok) {
        return fat_disk_error;
    }
    std::memcpy(volume->window, buffer, fat_sector_bytes);
    volume->window_sector = sector;
    return fat_ok;
}

bool drive_ready(const fat_volume* volume) {
    return !(disk_get_status(volume->drive) & disk_status_not_initialised);
}

}  // namespace fat_internal

namespace {

fat_volume* registered_volumes[fat_volume_count] = {};
std::uint16_t mount_counter = 0;

// Boot sector / BPB offsets.
constexpr std::size_t bpb_bytes_per_sector = 11;
constexpr std::size_t bpb_sectors_per_cluster = 13;
constexpr std::size_t bpb_reserved_sectors = 14;
constexpr std::size_t bpb_fat_count = 16;
constexpr std::size_t bpb_root_entries = 17;
constexpr std::size_t bpb_total_sectors16 = 19;
constexpr std::size_t bpb_fat_size16 = 22;
constexpr std::size_t bpb_total_sectors32 = 32;
constexpr std::size_t bpb_fat_size32 = 36;
constexpr std::size_t bpb_root_cluster = 44;
constexpr std::size_t bs_file_system_type16 = 54;
constexpr std::size_t bs_file_system_type32 = 82;
constexpr std::size_t bs_signature = 510;

byte_span window_of(const fat_volume* volume) {
    return byte_span(volume->window, fat_sector_bytes);
}

std::uint32_t cluster_count(const fat_volume* volume) {
    return volume->fat_entry_count - 2;
}

// Kinds of boot record found by check_boot_record.
enum boot_kind_e { boot_fat = 0, boot_not_fat = 1, boot_no_signature = 2, boot_read_failed = 3 };

boot_kind_e check_boot_record(fat_volume* volume, std::uint64_t sector) {
    std::uint8_t buffer[fat_sector_bytes];
    if (disk_read_sectors(volume->drive, buffer, sector, 1) != disk_ok) {
        volume->window_sector = 0;
        return boot_read_failed;
    }
    std::memcpy(volume->window, buffer, fat_sector_bytes);
    // The boot sector's number may be 0, which is also "nothing loaded"; it is parsed once
    // straight from the window and never looked up through move_window.
    volume->window_sector = 0;
    byte_span bytes = window_of(volume);
    if (load_u16(bytes, bs_signature) != 0xAA55) {
        return boot_no_signature;
    }
    if (std::memcmp(volume->window + bs_file_system_type16, "FAT", 3) == 0 ||
        std::memcmp(volume->window + bs_file_system_type32, "FAT", 3) == 0) {
        return boot_fat;
    }
    return boot_not_fat;
}

// Validates the BPB in the window and fills the volume's geometry; base is the boot
// sector's absolute number.
fat_result parse_bpb(fat_volume* volume, std::uint64_t base) {
    byte_span bpb = window_of(volume);
    if (load_u16(bpb, bpb_bytes_per_sector) != fat_sector_bytes) {
        return fat_no_file_system;
    }
    std::uint32_t fat_size = load_u16(bpb, bpb_fat_size16);
    if (fat_size == 0) {
        fat_size = load_u32(bpb, bpb_fat_size32);
    }
    const std::uint8_t fat_count = bpb[bpb_fat_count];
    if (fat_count != 1 && fat_count != 2) {
        return fat_no_file_system;
    }
    const std::uint8_t sectors_per_cluster = bpb[bpb_sectors_per_cluster];
    if (sectors_per_cluster == 0 || (sectors_per_cluster & (sectors_per_cluster - 1)) != 0) {
        return fat_no_file_system;
    }
    const std::uint16_t root_entries = load_u16(bpb, bpb_root_entries);
    if (root_entries % entries_per_sector != 0) {
        return fat_no_file_system;
    }
    std::uint32_t total_sectors = load_u16(bpb, bpb_total_sectors16);
    if (total_sectors == 0) {
        total_sectors = load_u32(bpb, bpb_total_sectors32);
    }
    const std::uint16_t reserved = load_u16(bpb, bpb_reserved_sectors);
    if (reserved == 0) {
        return fat_no_file_system;
    }
    // 64-bit: FAT size x 2 can exceed 32 bits on a hostile BPB.
    const std::uint64_t system_sectors = static_cast<std::uint64_t>(reserved) +
                                         static_cast<std::uint64_t>(fat_size) * fat_count +
                                         root_entries / entries_per_sector;
    if (total_sectors < system_sectors) {
        return fat_no_file_system;
    }
    const std::uint64_t clusters = (total_sectors - system_sectors) / sectors_per_cluster;
    if (clusters == 0) {
        return fat_no_file_system;
    }
    // The FAT specification's rule: fewer than 4085 clusters is FAT12, fewer than 65525
    // FAT16, anything more FAT32.
    std::uint8_t type = fat_type_fat12;
    if (clusters >= 65525) {
        type = fat_type_fat32;
    } else if (clusters >= 4085) {
        type = fat_type_fat16;
    }
    const std::uint64_t entry_count = clusters + 2;
    const std::uint64_t fat_start = base + reserved;
    std::uint64_t root_start = 0;
    std::uint64_t needed_bytes = 0;
    if (type == fat_type_fat32) {
        if (root_entries != 0) {
            return fat_no_file_system;
        }
        root_start = load_u32(bpb, bpb_root_cluster);
        needed_bytes = entry_count * 4;
    } else {
        if (root_entries == 0) {
            return fat_no_file_system;
        }
        root_start = fat_start + static_cast<std::uint64_t>(fat_size) * fat_count;
        needed_bytes =
            type == fat_type_fat16 ? entry_count * 2 : entry_count * 3 / 2 + (entry_count & 1);
    }
    if (fat_size < (needed_bytes + fat_sector_bytes - 1) / fat_sector_bytes) {
        return fat_no_file_system;
    }
    // Reaching here, the FAT holds an entry for every cluster, which bounds entry_count
    // below 2^32 (each cluster costs at least 1 sector plus its FAT bytes).
    if (entry_count > UINT32_MAX) {
        return fat_no_file_system;
    }
    volume->sectors_per_cluster = sectors_per_cluster;
    volume->fat_count = fat_count;
    volume->root_entry_count = root_entries;
    volume->fat_entry_count = static_cast<std::uint32_t>(entry_count);
    volume->fat_size = fat_size;
    volume->fat_start = fat_start;
    volume->root_start = root_start;
    volume->data_start = base + system_sectors;
    volume->type = type;
    return fat_ok;
}

// Mounts the volume registered as number if it is not mounted already.
fat_result mount_volume(int number, fat_volume** out) {
    fat_volume* volume = registered_volumes[number];
    if (!volume) {
        return fat_no_volume_object;
    }
    *out = volume;
    if (volume->type != fat_type_none &&
        !(disk_get_status(volume->drive) & disk_status_not_initialised)) {
        return fat_ok;
    }
    volume->type = fat_type_none;
    const fat_volume_slot_s& slot = fat_volume_slot[number];
    volume->drive = slot.drive;
    if (disk_init_drive(volume->drive) & disk_status_not_initialised) {
        return fat_not_ready;
    }
    std::uint64_t base = 0;
    boot_kind_e kind;
    if (slot.partition != 0) {
        // A partition's own start is authoritative; sector 0 (the partition table, or a
        // damaged one) has nothing to say about where the volume is.
        base = slot.start_sector;
        kind = check_boot_record(volume, base);
    } else {
        kind = check_boot_record(volume, 0);
        if (kind == boot_not_fat) {
            base = slot.start_sector;
            kind = check_boot_record(volume, base);
        }
    }
    if (kind == boot_read_failed) {
        return fat_disk_error;
    }
    if (kind != boot_fat) {
        return fat_no_file_system;
    }
    fat_result result = parse_bpb(volume, base);
    if (result != fat_ok) {
        volume->type = fat_type_none;
        return result;
    }
    // Objects carry the mount id; 0 is skipped so that a zeroed object never matches.
    if (++mount_counter == 0) {
        ++mount_counter;
    }
    volume->mount_id = mount_counter;
    volume->window_sector = 0;
    return fat_ok;
}

// ---- files ----

// The cluster that follows current for a read in the given mode, or a result code.
fat_result next_cluster(fat_file* file, int mode, std::uint32_t* cluster) {
    fat_volume* volume = file->volume;
    const std::uint32_t current = file->cluster;
    if (mode == fat_read_chain) {
        std::uint32_t next = fat_get_entry(volume, current);
        if (next == fat_entry_read_failed) {
            return fat_disk_error;
        }
        // A chain that meets its remembered cluster again loops; moving the mark at each
        // power of two finds any loop within about twice its length plus its lead-in.
        if (next == file->chain_mark) {
            return fat_internal_error;
        }
        ++file->chain_steps;
        if ((file->chain_steps & (file->chain_steps - 1)) == 0) {
            file->chain_mark = next;
        }
        *cluster = next;
        return fat_ok;
    }
    if (current >= volume->fat_entry_count - 1) {
        return fat_internal_error;  // the run would step past the last cluster
    }
    std::uint32_t next = current + 1;
    if (mode == fat_read_skip_used) {
        // Clusters only go up, so a whole read scans the FAT at most once.
        for (;;) {
            if (next >= volume->fat_entry_count) {
                return fat_internal_error;
            }
            std::uint32_t entry = fat_get_entry(volume, next);
            if (entry == fat_entry_read_failed) {
                return fat_disk_error;
            }
            if (entry == 0) {
                break;
            }
            ++next;
            ++file->skipped_clusters;
        }
    }
    *cluster = next;
    return fat_ok;
}

fat_result fail_file(fat_file* file, fat_result result) {
    file->flags |= fat_file_error;
    return result;
}

}  // namespace

const char* fat_result_text(fat_result result) {
    switch (result) {
        case fat_ok:
            return "success";
        case fat_disk_error:
            return "disk error";
        case fat_internal_error:
            return "internal error (bad cluster number or broken chain)";
        case fat_not_ready:
            return "drive not ready";
        case fat_no_more_entries:
            return "no more entries";
        case fat_path_not_found:
            return "path not found";
        case fat_invalid_name:
            return "invalid name";
        case fat_access_denied:
            return "access denied";
        case fat_invalid_object:
            return "invalid object";
        case fat_invalid_volume:
            return "invalid volume number";
        case fat_no_volume_object:
            return "no volume object registered";
        case fat_no_file_system:
            return "no FAT file system";
        case fat_out_of_memory:
            return "out of memory";
    }
    return "unknown result";
}

std::uint32_t fat_get_entry(fat_volume* volume, std::uint32_t cluster) {
    if (!volume || cluster < 2 || cluster >= volume->fat_entry_count) {
        return 1;
    }
    switch (volume->type) {
        case fat_type_fat12: {
            // 12-bit entries are packed in byte pairs and may straddle two sectors.
            const std::uint32_t offset = cluster + cluster / 2;
            if (move_window(volume, volume->fat_start + offset / fat_sector_bytes) != fat_ok) {
                return fat_entry_read_failed;
            }
            std::uint32_t word = volume->window[offset % fat_sector_bytes];
            if (move_window(volume, volume->fat_start + (offset + 1) / fat_sector_bytes) !=
                fat_ok) {
                return fat_entry_read_failed;
            }
            word |= static_cast<std::uint32_t>(volume->window[(offset + 1) % fat_sector_bytes])
                    << 8;
            return (cluster & 1) ? word >> 4 : word & 0xFFF;
        }
        case fat_type_fat16:
            if (move_window(volume, volume->fat_start + cluster / (fat_sector_bytes / 2)) !=
                fat_ok) {
                return fat_entry_read_failed;
            }
            return load_u16(window_of(volume), (cluster % (fat_sector_bytes / 2)) * 2);
        case fat_type_fat32:
            if (move_window(volume, volume->fat_start + cluster / (fat_sector_bytes / 4)) !=
                fat_ok) {
                return fat_entry_read_failed;
            }
            return load_u32(window_of(volume), (cluster % (fat_sector_bytes / 4)) * 4) & 0x0FFFFFFF;
        default:
            return 1;
    }
}

fat_result f_mount(int volume_number, fat_volume* volume) {
    if (volume_number < 0 || volume_number >= fat_volume_count) {
        return fat_invalid_volume;
    }
    if (fat_volume* old = registered_volumes[volume_number]) {
        old->type = fat_type_none;
    }
    if (volume) {
        volume->type = fat_type_none;
    }
    registered_volumes[volume_number] = volume;
    return fat_ok;
}

fat_result f_opendir(fat_dir* dir, const char* path) {
    if (!dir || !path) {
        return fat_invalid_object;
    }
    int number = 0;
    if (path[0] != 0 && path[1] == ':') {
        if (path[0] < '0' || path[0] > '9') {
            return fat_invalid_volume;
        }
        number = path[0] - '0';
        path += 2;
    }
    while (*path == '/' || *path == '\\') {
        ++path;
    }
    if (*path != 0) {
        return fat_path_not_found;  // only the root is opened by path
    }
    fat_volume* volume = nullptr;
    fat_result result = mount_volume(number, &volume);
    if (result != fat_ok) {
        return result;
    }
    dir->volume = volume;
    dir->mount_id = volume->mount_id;
    dir->start_cluster = 0;
    dir->cluster = 0;
    dir->long_name_buffer = nullptr;
    return rewind_dir(dir);
}

fat_result f_read(fat_file* file, void* buffer, std::uint32_t count, std::uint32_t* bytes_read,
                  int contiguous) {
    std::uint32_t done = 0;
    if (bytes_read) {
        *bytes_read = 0;
    }
    if (!file || !object_valid(file->volume, file->mount_id)) {
        return fat_invalid_object;
    }
    fat_volume* volume = file->volume;
    if (!drive_ready(volume)) {
        return fat_not_ready;
    }
    if (file->flags & fat_file_error) {
        return fat_internal_error;
    }
    if (!(file->flags & fat_file_readable)) {
        return fat_access_denied;
    }
    std::uint32_t remaining = file->position < file->size ? file->size - file->position : 0;
    if (count > remaining) {
        count = remaining;
    }
    if (count > 0 && !buffer) {
        return fat_invalid_object;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint32_t spc = volume->sectors_per_cluster;
    const std::uint64_t cluster_bytes = static_cast<std::uint64_t>(spc) * fat_sector_bytes;
    fat_result result = fat_ok;
    while (count > 0) {
        const std::uint32_t in_sector = file->position % fat_sector_bytes;
        const std::uint32_t sector_in_cluster = (file->position / fat_sector_bytes) & (spc - 1);
        if (in_sector == 0 && sector_in_cluster == 0) {
            std::uint32_t cluster = file->first_cluster;
            if (file->position == 0) {
                file->chain_mark = cluster;
                file->chain_steps = 0;
            } else {
                // A chain has at most one link per cluster of the volume; more means it
                // loops back on itself.
                if (file->position / cluster_bytes >= cluster_count(volume)) {
                    result = fail_file(file, fat_internal_error);
                    break;
                }
                result = next_cluster(file, contiguous, &cluster);
                if (result != fat_ok) {
                    fail_file(file, result);
                    break;
                }
            }
            if (cluster < 2) {
                result = fail_file(file, fat_internal_error);
                break;
            }
            file->cluster = cluster;
        }
        const std::uint64_t first = cluster_to_sector(volume, file->cluster);
        if (first == 0) {
            result = fail_file(file, fat_internal_error);
            break;
        }
        const std::uint64_t sector = first + sector_in_cluster;
        if (in_sector == 0 && count >= fat_sector_bytes) {
            // Whole sectors go straight to the caller, up to the end of the cluster.
            std::uint32_t sectors = count / fat_sector_bytes;
            if (sectors > spc - sector_in_cluster) {
                sectors = spc - sector_in_cluster;
            }
            if (disk_read_sectors(volume->drive, out, sector, sectors) != disk_ok) {
                result = fail_file(file, fat_disk_error);
                break;
            }
            const std::uint32_t moved = sectors * fat_sector_bytes;
            file->position += moved;
            out += moved;
            done += moved;
            count -= moved;
            continue;
        }
        if (file->cached_sector != sector) {
            if (disk_read_sectors(volume->drive, file->sector_buffer, sector, 1) != disk_ok) {
                file->cached_sector = 0;
                result = fail_file(file, fat_disk_error);
                break;
            }
            file->cached_sector = sector;
        }
        std::uint32_t part = fat_sector_bytes - in_sector;
        if (part > count) {
            part = count;
        }
        std::memcpy(out, file->sector_buffer + in_sector, part);
        file->position += part;
        out += part;
        done += part;
        count -= part;
    }
    if (bytes_read) {
        *bytes_read = done;
    }
    return result;
}
