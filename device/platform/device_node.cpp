#include "device_node.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include <dirent.h>
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

}  // namespace platform
