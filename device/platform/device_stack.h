#pragma once
// What a file system's device is built on, read from /sys: the whole disk a partition
// belongs to, the devices under a device-mapper or RAID device, and the file behind a loop
// device (and so the device that file lies on). The restore and the image copy use it to
// keep their outputs off the disk or image they read. Safe from any thread.

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace platform {

// A place that must not be written while it is read: a block device (with every device
// built on it) or an image file (with every loop device it backs).
struct read_source_s {
    QString disk_sys;  // the whole disk's /sys path, resolved; empty for an image
    bool has_file = false;
    dev_t file_device = 0;  // the image file, or the backing file of a loop disk
    ino_t file_inode = 0;
};

// The source for a drive or volume name: "/dev/sdb1" (its whole disk, /dev/sdb), an image's
// path or "IMAGE#N". False when the name leads to neither.
bool read_source_of(const QString& name, read_source_s* source);

// The device (a file system's st_dev) is the source's disk, one of its partitions, or built
// on them; or a loop device backed by the source's file, or built on one.
bool device_on_source(dev_t device, const read_source_s& source);

// The folder, or the nearest existing folder above it, lies on the source as above, or is
// on a file system mounted from it (the mount table names the device).
bool folder_on_source(const QString& folder, const read_source_s& source);

// The sources (device nodes for disk file systems) that the mount table gives for the file
// system with this device number.
QStringList mount_sources(dev_t device);

}  // namespace platform
