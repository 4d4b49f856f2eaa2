#pragma once
// Read-write access to one drive, for the master boot record repair alone.
//
// Every other piece of the program opens drives read-only (platform_device.h). The repair
// of sector 0 is the one place that writes to a device, so it is the one caller of
// open_drive_for_repair. Memory drives are read-only and refuse. Used from the thread that
// runs the repair; one object per repair.

#include "platform_device.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace platform {

class device_writer_c {
  public:
    virtual ~device_writer_c() = default;
    // Exact reads and writes: 0 on success, -1 on any error or short transfer.
    virtual int read_at(std::uint64_t offset, void* buffer, std::size_t len) = 0;
    virtual int write_at(std::uint64_t offset, const void* buffer, std::size_t len) = 0;
    // Flushes what was written to the device; 0 or -1.
    virtual int flush() = 0;
    // Asks the kernel to read the partition table again (block devices); false when it
    // refused, for example because a partition is in use. Images need nothing: true.
    virtual bool reread_partition_table() = 0;
};

// The drive description for a drive name as the drive list spells it ("mem:" names are
// memory drives, anything else a block device or an image file).
drive_desc_s drive_by_name(const QString& name);

// Opens a drive for reading and writing. Returns null and sets *error on failure.
std::unique_ptr<device_writer_c> open_drive_for_repair(const drive_desc_s& drive, QString* error);

}  // namespace platform
