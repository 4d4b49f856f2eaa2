#pragma once
// A volume as the signature library reads it: a byte range of a drive, opened read-only
// through the device layer.

#include "device/platform/platform_device.h"

#include <cstdint>
#include <memory>

namespace sig {

struct volume_s {
    std::unique_ptr<platform::device_source_c> source;
    std::uint64_t base = 0;  // byte offset of the volume on its drive
    std::uint64_t size = 0;  // bytes
    // Reads len bytes at pos within the volume; false past its end or on a read error.
    bool read(std::uint64_t pos, void* buffer, std::size_t len) const {
        if (pos > size || len > size - pos) {
            return false;
        }
        return source->read_at(base + pos, buffer, len) == 0;
    }
};

// Opens the volume a device path names: a volume of the drive list (as the volume list
// names it), or a whole drive (a disk image or device that holds no recognised volume).
bool open_volume(const char* device_path, volume_s* volume);

}  // namespace sig
