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
    std::uint64_t sectors = 0;        // whole 512-byte sectors
    sha256_t first_sector{};          // hash of sector 0 as read

    bool operator==(const drive_identity_s&) const = default;
};

}  // namespace platform
