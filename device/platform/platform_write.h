#pragma once
// Writing sectors to a drive, for the partition-table repair and its undo alone.
//
// Every other piece of the program reads drives (platform_device.h). A repair never holds a
// writable descriptor in the desktop program: it hands the new sectors, the drive's
// identity and the hashes of what they replace to the privileged writer, which checks and
// writes them. The orvane tool, which opens devices itself, and image files run the same
// checks and writes in this process (sector_write.h: one function for both). Memory
// drives refuse. Called from the thread that runs the repair.

#include "platform_device.h"
#include "sector_write.h"

#include <QString>

namespace platform {

// The drive description for a drive name as the drive list spells it ("mem:" names are
// memory drives, anything else a block device or an image file).
drive_desc_s drive_by_name(const QString& name);

// How the user knows a drive besides its name: a disk's vendor and model, a loop device's
// backing file; empty for images and where sysfs tells nothing.
QString drive_description(const drive_desc_s& drive);

// What tells this medium from another of the same size, recorded in a repair's backup
// and compared by its undo: "file:DEV:INODE" for an image and for a loop device's backing
// file, "serial:TEXT" for a disk whose sysfs names its WWID or serial; empty when unknown.
QString drive_medium(const drive_desc_s& drive);

// Writes the request's sectors to the drive after every check of apply_sector_writes:
// through orvane-device-writer in the desktop program (the helper is on and this process
// is not root), else in this process. request.device is set from the drive's name.
write_result_s write_sectors(const drive_desc_s& drive, write_request_s request);

// The identity of the drive as it is now, read on a read-only descriptor; false with
// *error set when it cannot be read (memory drives have none).
bool current_identity(const drive_desc_s& drive, drive_identity_s* identity, QString* error);

}  // namespace platform
