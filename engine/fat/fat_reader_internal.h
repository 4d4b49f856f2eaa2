#pragma once
// Pieces the FAT reader's two halves share: fat_reader.cpp mounts volumes, reads the FAT and
// reads files; fat_reader_dir.cpp walks directories. Only the reader includes this.

#include "fat_reader.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace fat_internal {

using byte_span = std::span<const std::uint8_t>;

constexpr std::uint32_t entry_bytes = 32;
constexpr std::uint32_t entries_per_sector = fat_sector_bytes / entry_bytes;

// Little-endian loads; an offset past the end reads as 0.
inline std::uint16_t load_u16(byte_span bytes, std::size_t offset) {
    if (offset + 2 > bytes.size()) {
        return 0;
    }
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t load_u32(byte_span bytes, std::size_t offset) {
    if (offset + 4 > bytes.size()) {
        return 0;
    }
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// Brings sector into the volume's window; sector 0 is refused (see fat_reader.cpp).
fat_result move_window(fat_volume* volume, std::uint64_t sector);

// First sector of cluster, or 0 for a number that is not a data cluster of the volume.
inline std::uint64_t cluster_to_sector(const fat_volume* volume, std::uint32_t cluster) {
    if (cluster < 2 || cluster >= volume->fat_entry_count) {
        return 0;
    }
    return static_cast<std::uint64_t>(cluster - 2) * volume->sectors_per_cluster +
           volume->data_start;
}

// The object still refers to the current mount of its volume.
inline bool object_valid(const fat_volume* volume, std::uint16_t mount_id) {
    return volume && volume->type != fat_type_none && volume->mount_id == mount_id;
}

bool drive_ready(const fat_volume* volume);

// Points dir back at its first entry (start_cluster, or the root when it is 0). Lives in
// fat_reader_dir.cpp; f_opendir uses it too.
fat_result rewind_dir(fat_dir* dir);

}  // namespace fat_internal
