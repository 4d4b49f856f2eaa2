#pragma once
// What tells a drive from another that later takes its name: recorded when a drive is
// read for a repair and checked again on the descriptor that writes. Free of Qt.

#include "sha256.h"

#include <cstdint>

namespace platform {

struct drive_identity_s {
    std::uint64_t device = 0;         // st_rdev of a block device; st_dev of an image file
    std::uint64_t inode = 0;          // an image file's inode; 0 for a block device
    std::uint64_t disk_sequence = 0;  // BLKGETDISKSEQ (new with every medium); 0: none
    std::uint64_t sectors = 0;        // whole sectors of sector_bytes
    sha256_t first_sector{};          // hash of the first 512 bytes as read
    // The logical sector size: a block device's own (BLKSSZGET); 512 for an image file
    // until in_sectors_of counts it in the sectors its content was laid out for.
    std::uint32_t sector_bytes = 512;

    bool operator==(const drive_identity_s&) const = default;
};

// An image file's identity counted in sectors of `sector_bytes` (512 or 4096) instead; a
// block device's (inode 0) stays in its own sector size.
inline drive_identity_s in_sectors_of(drive_identity_s id, std::uint32_t sector_bytes) {
    if (id.inode != 0 && sector_bytes != 0 && id.sector_bytes != 0 &&
        sector_bytes != id.sector_bytes) {
        id.sectors = id.sectors * id.sector_bytes / sector_bytes;
        id.sector_bytes = sector_bytes;
    }
    return id;
}

}  // namespace platform
