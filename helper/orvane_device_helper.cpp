// orvane-device-helper: opens one disk for the desktop program and hands the descriptor back.
//
// The desktop program runs as the user. When the user may not read a disk, the program
// starts this helper through pkexec, whose polkit action decides whether the user may:
//
//     pkexec /usr/libexec/orvane-device-helper read  /dev/sdb    (scans: read-only)
//     pkexec /usr/libexec/orvane-device-helper write /dev/sdb    (boot record repair)
//
// Standard output must be one end of a Unix socket pair; the helper sends the open
// descriptor over it with SCM_RIGHTS and exits. It accepts only what the program lists as
// a drive or a volume: a whole-disk block device (sd*, vd*, hd*, xvd*, nvme*n*, mmcblk*),
// a loop device with a backing file, or a partition of one of these. The path is resolved
// first and the node checked again after opening, so a symbolic link, a regular file, a
// character device (/dev/mem) or a node made elsewhere is refused. The helper reads and
// writes nothing on the device itself; it logs what it opened to the system log.
//
// Exit codes: 0 the descriptor was sent, 1 refused or failed (the reason on standard
// error), 2 usage error.
//
// Deliberately free of Qt and of the program's libraries: it runs as root.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

int refuse(const std::string& message) {
    std::fprintf(stderr, "orvane-device-helper: %s\n", message.c_str());
    return exit_refused;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool all_digits(const std::string& text, size_t from) {
    if (from >= text.size()) {
        return false;
    }
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

bool all_lower(const std::string& text, size_t from) {
    if (from >= text.size()) {
        return false;
    }
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] < 'a' || text[i] > 'z') {
            return false;
        }
    }
    return true;
}

// The whole disks the program lists: sd*, vd*, hd*, xvd* (letters), nvme<c>n<n>,
// mmcblk<n>. RAM disks, zram, optical drives and device-mapper nodes are not drives.
bool is_disk_name(const std::string& name) {
    if (starts_with(name, "xvd")) {
        return all_lower(name, 3);
    }
    if (starts_with(name, "sd") || starts_with(name, "vd") || starts_with(name, "hd")) {
        return all_lower(name, 2);
    }
    if (starts_with(name, "mmcblk")) {
        return all_digits(name, 6);
    }
    if (starts_with(name, "nvme")) {
        size_t n = name.find('n', 4);
        return n != std::string::npos && all_digits(name.substr(0, n), 4) &&
               all_digits(name, n + 1);
    }
    return false;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A loop device counts as a drive only while a file is attached to it.
bool is_attached_loop(const std::string& name) {
    return starts_with(name, "loop") && all_digits(name, 4) &&
           exists("/sys/block/" + name + "/loop/backing_file");
}

bool is_listed_disk(const std::string& name) {
    return is_disk_name(name) || is_attached_loop(name);
}

std::string read_line(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        return {};
    }
    char buffer[64] = {};
    std::string line;
    if (std::fgets(buffer, sizeof buffer, file)) {
        line = buffer;
    }
    std::fclose(file);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// Checks that /dev/<name> is a listed drive or a partition of one, and that the kernel's
// device numbers for that name are the ones the node carries. Returns an empty string when
// it may be opened, else the reason.
std::string check_listed(const std::string& name, dev_t rdev) {
    const std::string sys = "/sys/class/block/" + name;
    if (!exists(sys)) {
        return "is not a disk or partition that the program lists";
    }
    if (exists(sys + "/partition")) {
        char parent[PATH_MAX];
        if (!::realpath((sys + "/..").c_str(), parent)) {
            return "has no parent disk";
        }
        std::string disk = parent;
        disk = disk.substr(disk.rfind('/') + 1);
        if (!is_listed_disk(disk)) {
            return "is a partition of " + disk + ", which is not a disk that the program lists";
        }
    } else if (!is_listed_disk(name)) {
        return "is not a disk or partition that the program lists";
    }
    const std::string numbers = std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    if (read_line(sys + "/dev") != numbers) {
        return "does not carry the device numbers of /dev/" + name;
    }
    return {};
}

// Sends one descriptor over the socket on standard output; 0 or -1.
int send_descriptor(int socket_fd, int fd) {
    char byte = 'F';
    struct iovec data {};
    data.iov_base = &byte;
    data.iov_len = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    ssize_t sent;
    do {
        sent = ::sendmsg(socket_fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == 1 ? 0 : -1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-device-helper read|write DEVICE\n"
                 "Opens DEVICE (a listed disk or partition) and sends the descriptor over\n"
                 "the Unix socket on standard output. Started by the desktop program\n"
                 "through pkexec.\n");
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return usage();
    }
    const std::string mode = argv[1];
    if (mode != "read" && mode != "write") {
        return usage();
    }
    const bool write = mode == "write";
    const std::string given = argv[2];

    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISSOCK(out.st_mode)) {
        return refuse("standard output is not a Unix socket; nothing was opened");
    }

    // Resolve every symbolic link and relative part, then look at what the path names.
    char resolved_buffer[PATH_MAX];
    if (!::realpath(given.c_str(), resolved_buffer)) {
        return refuse("'" + given + "': " + std::strerror(errno));
    }
    const std::string resolved = resolved_buffer;
    struct stat node {};
    if (::lstat(resolved.c_str(), &node) != 0) {
        return refuse("'" + given + "': " + std::strerror(errno));
    }
    if (S_ISDIR(node.st_mode)) {
        return refuse("'" + given + "' is a directory, not a disk");
    }
    if (S_ISREG(node.st_mode)) {
        return refuse("'" + given + "' is a regular file, not a disk (open images directly)");
    }
    if (S_ISCHR(node.st_mode)) {
        return refuse("'" + given + "' is a character device, not a disk");
    }
    if (!S_ISBLK(node.st_mode)) {
        return refuse("'" + given + "' is not a block device");
    }
    const std::string name = resolved.substr(resolved.rfind('/') + 1);
    if (resolved != "/dev/" + name) {
        return refuse("'" + given + "' is a block device outside /dev; only listed disks open");
    }
    const std::string unlisted = check_listed(name, node.st_rdev);
    if (!unlisted.empty()) {
        return refuse("'" + given + "' " + unlisted);
    }

    // Open without following a link put there since, then check the node again.
    const int flags = (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    const int fd = ::open(resolved.c_str(), flags);
    if (fd < 0) {
        return refuse("cannot open '" + resolved + "': " + std::strerror(errno));
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISBLK(opened.st_mode) || opened.st_rdev != node.st_rdev) {
        ::close(fd);
        return refuse("'" + resolved + "' changed while it was opened; nothing was passed on");
    }

    const char* caller = std::getenv("PKEXEC_UID");
    ::openlog("orvane-device-helper", LOG_PID, LOG_AUTHPRIV);
    if (send_descriptor(STDOUT_FILENO, fd) != 0) {
        const int error = errno;
        ::syslog(LOG_WARNING, "opened %s %s for uid %s but could not pass it on: %s",
                 resolved.c_str(), write ? "read-write" : "read-only", caller ? caller : "?",
                 std::strerror(error));
        ::close(fd);
        return refuse("cannot pass the descriptor on: " + std::string(std::strerror(error)));
    }
    ::syslog(write ? LOG_NOTICE : LOG_INFO, "opened %s %s for uid %s", resolved.c_str(),
             write ? "read-write for the boot record repair" : "read-only", caller ? caller : "?");
    ::closelog();
    ::close(fd);
    return 0;
}
