#pragma once
// A listed volume opened read-only as a byte range of its drive: what the quick-scan engines
// and the free-space reader read through. Used on the thread that opened it.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class device_source_c;
}

struct volume_range_s {
    volume_range_s();
    ~volume_range_s();
    volume_range_s(volume_range_s&&) noexcept;
    volume_range_s& operator=(volume_range_s&&) noexcept;
    std::unique_ptr<platform::device_source_c> device;  // the drive, kept open
    std::uint64_t base = 0;                             // bytes from the drive's start
    std::uint64_t size = 0;                             // bytes of the volume
    // Reads len bytes at an offset from the volume's start; -1 on an error, a short read
    // or a range past the volume's end. Valid while device is.
    int read(std::uint64_t offset, void* buffer, std::size_t len) const;
};

// Opens the drive of the volume named volume_name (volume_item_s::volume_name, a trailing
// backslash allowed). False with *why in plain words when the volume is not on a listed
// drive or the drive cannot be opened.
bool open_volume_range(const QString& volume_name, volume_range_s* range, QString* why = nullptr);
