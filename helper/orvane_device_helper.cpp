// orvane-device-helper: opens one disk or partition read-only for the desktop program and
// hands the descriptor back.
//
// The desktop program runs as the user. When the user may not read a disk, the program
// starts this helper through pkexec, whose polkit action decides whether the user may:
//
//     pkexec /usr/libexec/orvane-device-helper read /dev/sdb
//
// Standard output must be one end of a Unix socket pair; the helper sends the open,
// read-only descriptor over it with SCM_RIGHTS and exits. It accepts only the literal
// /dev/NAME of what the program lists: a whole-disk block device (sd*, vd*, hd*, xvd*,
// nvme*n*, mmcblk*), a loop device with a backing file, or a partition of one of these. No
// link is followed and no other path resolved: the node is looked at with lstat, opened
// with O_NOFOLLOW and checked again after opening. Writing is not in this program (see
// orvane-device-writer). Every open and every refusal goes to the system log.
//
// Exit codes: 0 the descriptor was sent, 1 refused or failed (the reason on standard
// error), 2 usage error.

#include "device/platform/device_node.h"
#include "helper_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-device-helper read /dev/NAME\n"
                 "Opens a listed disk or partition read-only and sends the descriptor over\n"
                 "the Unix socket on standard output. Started by the desktop program\n"
                 "through pkexec. The boot record repair uses orvane-device-writer.\n");
    return helper::exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "read") {
        return usage();
    }
    helper::start_log("orvane-device-helper");
    const std::string device = argv[2];
    if (!helper::output_is_socket()) {
        return helper::refuse(device, "standard output is not a Unix socket; nothing was opened");
    }
    struct stat node {};
    const std::string why =
        platform::check_device_node(device, platform::node_scope_e::disk_or_partition, &node);
    if (!why.empty()) {
        return helper::refuse(device, "'" + device + "' " + why);
    }
    const int fd = ::open(device.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return helper::refuse(device, "cannot open '" + device + "': " + std::strerror(errno));
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISBLK(opened.st_mode) || opened.st_rdev != node.st_rdev) {
        ::close(fd);
        return helper::refuse(
            device, "'" + device + "' changed while it was opened; nothing was passed on");
    }
    if (helper::send_descriptor(fd) != 0) {
        const int error = errno;
        ::close(fd);
        return helper::refuse(
            device, "cannot pass the descriptor on: " + std::string(std::strerror(error)));
    }
    ::close(fd);
    helper::note("opened " + device + " read-only for uid " + helper::caller());
    return 0;
}
