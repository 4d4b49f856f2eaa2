#pragma once
// The checks made on a device path before it is opened as root or for writing: it must be
// the literal /dev/NAME of a disk that the program lists (or of a partition of one), a
// block device node and not a link, carrying the kernel's device numbers for NAME. Also:
// what holds a disk that cannot be opened exclusively.
//
// Free of Qt: the privileged helpers use it as well as the orvane tool. Callable from any
// thread; reads /sys and /proc only.

#include <string>

#include <sys/stat.h>

namespace platform {

enum class node_scope_e { disk_or_partition, whole_disk };

// sd*, vd*, hd*, xvd* (letters), nvme<c>n<n>, mmcblk<n>, or a loop device with a file
// attached.
bool is_listed_disk_name(const std::string& name);

// Empty when `path` may be opened, else the reason (a phrase that follows the path, as in
// "'/dev/sdb1' is a partition, not a whole disk"). Nothing but /dev/NAME itself is looked
// at: no link is followed and no other folder walked. *node receives lstat's answer.
std::string check_device_node(const std::string& path, node_scope_e scope, struct stat* node);

// What holds the disk NAME or one of its partitions: mounts (from the mount table), swap,
// and the kernel's holders (device mapper, RAID). Empty when nothing is found.
std::string describe_holders(const std::string& name);

// The other loop devices over the same storage as `target` (lstat of a whole disk's node
// or of an image file): loop devices backed by the same file as a loop device target, by
// the image file, or by the disk or one of its partitions (LOOP_GET_STATUS64's backing
// device and inode). A file system mounted through one of them is invisible to O_EXCL on
// the disk itself. Empty when there is none.
std::string describe_aliases(const struct stat& target);

}  // namespace platform
