#pragma once
// The one place where the program meets the operating system's devices.
//
// Everything above this folder sees drives as numbered byte ranges: whole-disk block
// devices from /sys/block, disk-image files the user added, and memory buffers that tests
// and fuzzers register. Every device is opened read-only here; nothing in the program
// writes to a device it scans. Thread use: the calls are safe from any thread; a
// device_source_c object is used by one thread at a time (the drive table locks it).

#include "container_backend.h"
#include "drive_identity.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

enum class drive_kind_e { block, image, memory };

// Drives are numbered 0 to max_drives - 1; the drive list holds no more. Far more than a
// machine has: the lists scroll, and an opened image is never pushed out of sight.
constexpr int max_drives = 128;

// One entry of the drive list, in drive-number order.
struct drive_desc_s {
    QString name;  // "/dev/sdb", an image's absolute path, or "mem:<name>"
    drive_kind_e kind = drive_kind_e::image;
};

// Byte-range access to one drive. All reads are exact: a short read is an error.
class device_source_c {
  public:
    virtual ~device_source_c() = default;
    // Reads len bytes at byte offset; 0 on success, -1 on any error or short read.
    virtual int read_at(std::uint64_t offset, void* buffer, std::size_t len) = 0;
    virtual std::uint64_t byte_size() const = 0;
    virtual std::uint32_t sector_size() const = 0;
    // sector_size() is the device's own (a block device's logical sector size, a container
    // that declares one other than 512); false for raw images and memory drives, whose
    // sector size only their content tells.
    virtual bool sector_size_known() const { return sector_size() != 512; }
    // The device still answers a size query with a non-zero size.
    virtual bool check_verify() = 0;
    virtual bool is_writable() = 0;
    // The first run of stored data at or after byte `offset`: [*start, *end). Everything
    // outside such runs reads as zeros (the holes of a sparse image file), so a search for
    // structures may pass over it. *start == byte_size() when no data follows. A source
    // that cannot tell (a disk, a memory drive) answers with the whole rest of itself.
    virtual void data_run(std::uint64_t offset, std::uint64_t* start, std::uint64_t* end) {
        *start = std::min(offset, byte_size());
        *end = byte_size();
    }
    // What tells this drive from another that later takes its name (drive_identity.h),
    // read on this descriptor; false for drives that cannot be written (memory drives,
    // containers).
    virtual bool identify(drive_identity_s* identity) {
        (void)identity;
        return false;
    }
    // Reads from now on bypass the system's cache (block devices only), so that a failing
    // sector fails alone rather than with the page around it. Reads must then be whole
    // sectors into buffers aligned to 4096 bytes. False where not possible.
    virtual bool set_unbuffered() { return false; }
};

// Drives in drive-number order, at most max_drives: the machine's disks (unless
// ORVANE_BLOCK_DEVICES=0), then the images of ORVANE_IMAGES, of the settings and of
// add_image, then memory drives, then loop devices that have a backing file (not those of
// packages, is_packaged_loop). Drives past
// the limit are named in image_warnings().
std::vector<drive_desc_s> list_drives();

// The drive order of list_drives applied to drives found: disks in name order (numbers
// compared as numbers), images and memory drives as given, loop devices last; the first
// max_drives are kept and the names of the others go to *left_out.
std::vector<drive_desc_s> arrange_drives(const std::vector<drive_desc_s>& found,
                                         QStringList* left_out);
// A loop device (its /sys/block folder) that backs a read-only squashfs image, as snap
// packages do: left out of the drive list.
bool is_packaged_loop(const QString& sys_block);
// A /sys/block name of a whole disk: sd*, vd*, hd*, xvd*, nvme<c>n<n>, mmcblk<n>.
bool is_disk_name(const QString& name);

// Images added for this process. Returns false and sets *error for a path that cannot be
// a drive (missing, a directory, empty, unreadable).
bool add_image(const QString& path, QString* error);
void set_configured_images(const QStringList& paths);  // from the settings file
void clear_images();
// Warnings met by the last list_drives: image paths from the environment and the settings
// that cannot be used, and drives left out past max_drives.
QStringList image_warnings();

// Memory drives for tests and fuzzers; the name becomes "mem:<name>".
void add_memory_drive(const QString& name, std::shared_ptr<const QByteArray> data);
void clear_memory_drives();

// What tells this drive from another that later takes its number: its name, and for a
// block device (also one added as an image) its device number.
QString drive_identity(const drive_desc_s& drive);

// The container format of an image drive, recognised by its content (container_backend.h);
// raw for block devices, memory drives and plain images.
image_format_e drive_image_format(const drive_desc_s& drive);
// "raw", "EWF", "VHD", "VHDX", "VMDK" or "QCOW2" for an image; empty for other drives.
QString drive_format_name(const drive_desc_s& drive);

// What the device layer has done since the process started, for tests and benchmarks that
// show what an operation costs: drives opened, containers opened through their library
// (each open of an E01 or a VHDX reads its headers and tables again), reads of a drive's
// bytes and the bytes read. Relaxed counters: any thread, never reset.
struct device_counts_s {
    std::uint64_t drive_opens = 0;
    std::uint64_t container_opens = 0;
    std::uint64_t reads = 0;
    std::uint64_t bytes_read = 0;
};
device_counts_s device_counts();
void count_drive_open();
void count_container_open();
void count_read(std::size_t bytes);

// Opens a drive read-only: block devices and raw images through a descriptor, containers
// through their library (the disk inside is the drive). Returns null and sets *error on
// failure.
std::unique_ptr<device_source_c> open_drive(const drive_desc_s& drive, QString* error);

// Geometry and size without reading a sector (sysfs for block devices, stat for images).
struct drive_geometry_s {
    std::uint64_t byte_size = 0;
    std::uint32_t sector_size = 0;
};
bool query_geometry(const drive_desc_s& drive, drive_geometry_s* geometry);

// One volume found on a drive.
struct volume_desc_s {
    int partition_number = 0;        // 0: the drive holds a file system directly
    std::uint64_t start_sector = 0;  // in 512-byte units from the start of the drive
    std::uint64_t byte_size = 0;
    QString device_name;  // "/dev/sdb1", "<image>#2", or the drive name
    QString file_system;  // "FAT32", "NTFS", "exFAT", "ext4", ... or empty
    QString label;
    QString mount_path;               // first mount point, empty when not mounted
    std::uint64_t mounted_total = 0;  // statvfs totals when mounted
    std::uint64_t mounted_free = 0;
    bool readable = true;  // the process can open the volume for reading
};

struct drive_probe_s {
    QString table_type;  // "dos", "gpt" or empty
    std::vector<volume_desc_s> volumes;
    QStringList warnings;  // damaged tables, partitions past the end, ...
};
drive_probe_s probe_drive(const drive_desc_s& drive);

// Splits a volume name into its drive's name and partition number; false when it names
// no volume of a listed drive.
struct volume_where_s {
    int drive_number = -1;
    int partition_number = 0;
    std::uint64_t start_sector = 0;
    std::uint64_t byte_size = 0;
};
bool locate_volume(const QString& volume_name, volume_where_s* where);

// Writing into the folder, or the nearest existing folder above it, could change what the
// volume holds: it lies on the volume's disk (any partition of it, or a device built on
// them), or for an image's volume, in a file system mounted from that image through a loop
// device (device_stack.h).
bool folder_on_volume(const QString& folder, const QString& volume_device);

// A volume or image name with its file part made canonical (symbolic links and relative
// paths resolved, "#N" kept), as the drive and volume lists spell it; other names unchanged.
QString canonical_volume_name(const QString& name);

}  // namespace platform
