#pragma once
// Writing whole logical sectors (512 or 4096 bytes) to a drive, checked first: the one function in
// the program that writes to a drive. The privileged writer helper runs it for the desktop program;
// the orvane tool (root, the 'disk' group, or an image) runs it in its own process.
//
// A request names the drive, the identity it had when it was read (device number, disk
// sequence number, size, hash of sector 0) and each sector to write with the hash of the
// sector it replaces. apply_sector_writes refuses while anything holds the drive (mounts
// of it or its partitions by device number, the kernel's holders, other loop devices over
// the same storage), opens it exclusively (O_EXCL), checks the identity, every old sector
// and that the sectors are a partition table at its places (table_check.h) on that
// descriptor, writes, syncs, reads back and closes. Nothing is written unless every check
// passed. Free of Qt: the helper links nothing else.

#include "drive_identity.h"
#include "sha256.h"
#include "table_check.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr std::size_t write_sector_bytes = 512;
// The largest logical sector written (4096-byte sectors of 4Kn disks and many USB bridges).
constexpr std::size_t max_write_sector_bytes = 4096;
// Enough for a GUID partition table and its backup (34 + 33 sectors) with room to spare.
constexpr std::size_t max_sector_writes = 256;

// One sector; its bytes are exactly the drive's logical sector size (the request's
// identity.sector_bytes).
struct sector_write_s {
    std::uint64_t lba = 0;
    sha256_t replaces{};  // hash of the sector as it must be before it is written
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(write_sector_bytes);
};

struct write_request_s {
    std::string device;  // "/dev/sdb" or an image file's path
    drive_identity_s identity;
    write_kind_e kind = write_kind_e::table;  // a repair's table, or an undo (table_check.h)
    std::vector<sector_write_s> writes;
};

enum class write_target_e {
    whole_disk,         // a block device that is a listed whole disk (the helper)
    disk_or_image_file  // also a regular file (the orvane tool, images)
};

enum class write_status_e {
    written,  // every sector written, synced and read back
    refused,  // a bad request or device: nothing written
    changed,  // the drive or a sector is not what the request expects: nothing written
    busy,     // the drive is in use (mounted, held): nothing written
    failed    // an error while writing or reading back: the drive may be partly written
};

struct write_result_s {
    write_status_e status = write_status_e::refused;
    std::string message;        // for the user, in plain words
    bool table_reread = false;  // the kernel took the new partition table at once
};

// The identity of an open drive (block device or image file); false with *error set when
// it cannot be read. A block device is counted in its own logical sectors, an image file
// in 512-byte ones (in_sectors_of counts it otherwise).
bool read_identity(int fd, drive_identity_s* identity, std::string* error);

write_result_s apply_sector_writes(const write_request_s& request, write_target_e target);

// The request as text, for the helper's socket, and back. decode_request takes at most
// max_request_bytes and refuses anything malformed, repeated or out of range.
constexpr std::size_t max_request_bytes = 3 << 20;
std::string encode_request(const write_request_s& request);
bool decode_request(const std::string& text, write_request_s* request, std::string* error);

// The helper's answer: one line "STATUS REREAD MESSAGE".
std::string encode_result(const write_result_s& result);
bool decode_result(const std::string& text, write_result_s* result);

}  // namespace platform
