#include "device_node.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {
namespace {

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool all_of(const std::string& text, std::size_t from, char low, char high) {
    if (from >= text.size()) {
        return false;
    }
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] < low || text[i] > high) {
            return false;
        }
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string read_line(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        return {};
    }
    char buffer[256] = {};
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

std::vector<std::string> folder_entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

// A name the kernel gives a disk or partition: lower-case letters and digits only.
bool plain_device_name(const std::string& name) {
    if (name.empty() || name.size() > 32) {
        return false;
    }
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return true;
}

// The disk a partition belongs to: its folder's parent in /sys/block.
std::string parent_disk(const std::string& name) {
    for (const std::string& disk : folder_entries("/sys/block")) {
        if (exists("/sys/block/" + disk + "/" + name + "/partition")) {
            return disk;
        }
    }
    return {};
}

}  // namespace

bool is_listed_disk_name(const std::string& name) {
    if (starts_with(name, "xvd")) {
        return all_of(name, 3, 'a', 'z');
    }
    if (starts_with(name, "sd") || starts_with(name, "vd") || starts_with(name, "hd")) {
        return all_of(name, 2, 'a', 'z');
    }
    if (starts_with(name, "mmcblk")) {
        return all_of(name, 6, '0', '9');
    }
    if (starts_with(name, "nvme")) {
        const std::size_t n = name.find('n', 4);
        return n != std::string::npos && all_of(name.substr(0, n), 4, '0', '9') &&
               all_of(name, n + 1, '0', '9');
    }
    if (starts_with(name, "loop")) {
        return all_of(name, 4, '0', '9') && exists("/sys/block/" + name + "/loop/backing_file");
    }
    return false;
}

std::string check_device_node(const std::string& path, node_scope_e scope, struct stat* node) {
    const std::string name = starts_with(path, "/dev/") ? path.substr(5) : std::string();
    if (!plain_device_name(name)) {
        return "is not the name of a disk or partition in /dev (only /dev/NAME is accepted)";
    }
    if (::lstat(path.c_str(), node) != 0) {
        return std::strerror(errno);
    }
    if (S_ISLNK(node->st_mode)) {
        return "is a symbolic link; only the device's own name is accepted";
    }
    if (S_ISCHR(node->st_mode)) {
        return "is a character device, not a disk";
    }
    if (!S_ISBLK(node->st_mode)) {
        return "is not a block device";
    }
    const std::string sys = "/sys/class/block/" + name;
    if (!exists(sys)) {
        return "is not a disk or partition that the program lists";
    }
    if (exists(sys + "/partition")) {
        if (scope == node_scope_e::whole_disk) {
            return "is a partition; only a whole disk is written";
        }
        const std::string disk = parent_disk(name);
        if (!is_listed_disk_name(disk)) {
            return "is a partition of " + (disk.empty() ? std::string("no disk") : disk) +
                   ", which is not a disk that the program lists";
        }
    } else if (!is_listed_disk_name(name)) {
        return "is not a disk or partition that the program lists";
    }
    const std::string numbers =
        std::to_string(major(node->st_rdev)) + ":" + std::to_string(minor(node->st_rdev));
    if (read_line(sys + "/dev") != numbers) {
        return "does not carry the device numbers of " + name;
    }
    return {};
}

std::string describe_holders(const std::string& name) {
    if (!plain_device_name(name)) {
        return {};
    }
    // The disk and its partitions, by device numbers and by name.
    std::map<std::string, std::string> numbers;  // "8:17" -> "sdb1"
    std::set<std::string> names{name};
    numbers[read_line("/sys/block/" + name + "/dev")] = name;
    for (const std::string& entry : folder_entries("/sys/block/" + name)) {
        if (exists("/sys/block/" + name + "/" + entry + "/partition")) {
            names.insert(entry);
            numbers[read_line("/sys/block/" + name + "/" + entry + "/dev")] = entry;
        }
    }
    numbers.erase(std::string());
    std::vector<std::string> found;
    // mountinfo: ID PARENT MAJOR:MINOR ROOT MOUNT-POINT ... - TYPE SOURCE ...
    if (FILE* table = std::fopen("/proc/self/mountinfo", "re")) {
        char line[4096];
        while (std::fgets(line, sizeof line, table) && found.size() < 8) {
            char device[64] = {};
            char point[2048] = {};
            if (std::sscanf(line, "%*s %*s %63s %*s %2047s", device, point) == 2 &&
                numbers.count(device)) {
                found.push_back("/dev/" + numbers[device] + " is mounted on " + point);
            }
        }
        std::fclose(table);
    }
    if (FILE* swaps = std::fopen("/proc/swaps", "re")) {
        char line[1024];
        while (std::fgets(line, sizeof line, swaps)) {
            char device[512] = {};
            if (std::sscanf(line, "%511s", device) == 1 && starts_with(device, "/dev/") &&
                names.count(std::string(device).substr(5))) {
                found.push_back(std::string(device) + " is used as swap");
            }
        }
        std::fclose(swaps);
    }
    for (const std::string& part : names) {
        const std::string folder = part == name ? "/sys/block/" + name + "/holders"
                                                : "/sys/block/" + name + "/" + part + "/holders";
        for (const std::string& holder : folder_entries(folder)) {
            found.push_back(part + " is held by " + holder);
        }
    }
    std::string text;
    for (const std::string& item : found) {
        text += (text.empty() ? "" : "; ") + item;
    }
    return text;
}

std::string describe_aliases(const struct stat& target) {
    const bool block = S_ISBLK(target.st_mode);
    // What the target itself stands on: a loop device's backing file, or the device
    // numbers of a disk and its partitions.
    bool backed = false;
    std::uint64_t backing_dev = 0;
    std::uint64_t backing_ino = 0;
    std::set<std::uint64_t> numbers;
    std::string self;
    if (block) {
        const std::string key =
            std::to_string(major(target.st_rdev)) + ":" + std::to_string(minor(target.st_rdev));
        for (const std::string& disk : folder_entries("/sys/block")) {
            if (read_line("/sys/block/" + disk + "/dev") == key) {
                self = disk;
            }
        }
        if (!plain_device_name(self)) {
            return {};
        }
        numbers.insert(target.st_rdev);
        for (const std::string& entry : folder_entries("/sys/block/" + self)) {
            unsigned maj = 0;
            unsigned min = 0;
            if (exists("/sys/block/" + self + "/" + entry + "/partition") &&
                std::sscanf(read_line("/sys/block/" + self + "/" + entry + "/dev").c_str(), "%u:%u",
                            &maj, &min) == 2) {
                numbers.insert(makedev(maj, min));
            }
        }
        if (starts_with(self, "loop")) {
            const int fd = ::open(("/dev/" + self).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            loop_info64 info{};
            if (fd >= 0 && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
                backed = true;
                backing_dev = info.lo_device;
                backing_ino = info.lo_inode;
            }
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } else {
        backed = true;
        backing_dev = target.st_dev;
        backing_ino = target.st_ino;
    }
    std::string text;
    for (const std::string& loop : folder_entries("/sys/block")) {
        if (loop == self || !starts_with(loop, "loop") || !all_of(loop, 4, '0', '9') ||
            !exists("/sys/block/" + loop + "/loop")) {
            continue;
        }
        const int fd = ::open(("/dev/" + loop).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        loop_info64 info{};
        const bool known = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        ::close(fd);
        if (!known) {
            continue;
        }
        const bool same_file =
            backed && info.lo_device == backing_dev && info.lo_inode == backing_ino;
        const bool on_disk = block && info.lo_rdevice != 0 && numbers.count(info.lo_rdevice);
        if (same_file || on_disk) {
            text += (text.empty() ? "" : "; ") + std::string("/dev/") + loop +
                    " is a loop device over the same storage";
            const std::string held = describe_holders(loop);
            if (!held.empty()) {
                text += " (" + held + ")";
            }
        }
    }
    return text;
}

}  // namespace platform
