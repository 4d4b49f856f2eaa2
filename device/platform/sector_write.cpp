#include "sector_write.h"

#include "device_node.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

namespace platform {
namespace {

constexpr char request_magic[] = "orvane-sector-write 1";

std::string errno_text(int err) {
    return std::strerror(err);
}

bool read_exact(int fd, std::uint64_t offset, void* buffer, std::size_t len) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - len) {
        return false;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, out + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_exact(int fd, std::uint64_t offset, const void* buffer, std::size_t len) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - len) {
        return false;
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pwrite(fd, in + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

write_result_s result(write_status_e status, std::string message) {
    write_result_s r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

// Closes the descriptor on every way out.
struct fd_guard_s {
    int fd = -1;
    ~fd_guard_s() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::string bytes_hex(const std::uint8_t* bytes, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool hex_bytes(const std::string& text, std::uint8_t* bytes, std::size_t len) {
    if (text.size() != len * 2) {
        return false;
    }
    auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < len; ++i) {
        const int high = value(text[2 * i]);
        const int low = value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

// A decimal number of at most 20 digits that fits 64 bits.
bool number(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        out.push_back(word);
    }
    return out;
}

}  // namespace

bool read_identity(int fd, drive_identity_s* identity, std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = errno_text(errno);
        return false;
    }
    drive_identity_s id;
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
            *error = "the device does not tell its size: " + errno_text(errno);
            return false;
        }
        int logical = 0;
        if (::ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) {
            *error = "the device does not tell its sector size: " + errno_text(errno);
            return false;
        }
        id.device = st.st_rdev;
        id.sector_bytes = static_cast<std::uint32_t>(logical);
        id.sectors = bytes / id.sector_bytes;
        std::uint64_t sequence = 0;
        if (::ioctl(fd, BLKGETDISKSEQ, &sequence) == 0) {
            id.disk_sequence = sequence;
        }
    } else if (S_ISREG(st.st_mode)) {
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.sectors = static_cast<std::uint64_t>(st.st_size) / write_sector_bytes;
    } else {
        *error = "neither a block device nor an image file";
        return false;
    }
    std::array<std::uint8_t, write_sector_bytes> first{};
    if (id.sectors == 0 || !read_exact(fd, 0, first.data(), first.size())) {
        *error = "sector 0 cannot be read";
        return false;
    }
    id.first_sector = sha256(first.data(), first.size());
    *identity = id;
    return true;
}

write_result_s apply_sector_writes(const write_request_s& request, write_target_e target) {
    const std::string& path = request.device;
    const std::string quoted = "'" + path + "'";
    if (request.writes.empty() || request.writes.size() > max_sector_writes) {
        return result(write_status_e::refused, "the request names no sectors, or too many");
    }
    if (request.identity.sector_bytes != 512 && request.identity.sector_bytes != 4096) {
        return result(write_status_e::refused, "the request names an unknown sector size");
    }
    std::set<std::uint64_t> seen;
    for (const sector_write_s& w : request.writes) {
        if (w.bytes.size() != request.identity.sector_bytes) {
            return result(write_status_e::refused, "the request holds a sector of the wrong size");
        }
        if (w.lba >= request.identity.sectors || !seen.insert(w.lba).second) {
            return result(write_status_e::refused, "the request names sector " +
                                                       std::to_string(w.lba) +
                                                       " twice or beyond the end of the drive");
        }
    }

    // Only the device's own name, never a link, and for the helper only a whole disk.
    struct stat node {};
    bool block = true;
    if (target == write_target_e::whole_disk || path.rfind("/dev/", 0) == 0) {
        const std::string why = check_device_node(path, node_scope_e::whole_disk, &node);
        if (!why.empty()) {
            return result(write_status_e::refused, quoted + " " + why + "; nothing was written");
        }
    } else {
        if (::lstat(path.c_str(), &node) != 0 || !S_ISREG(node.st_mode)) {
            return result(write_status_e::refused,
                          quoted +
                              " is not an image file (a link is not followed); nothing "
                              "was written");
        }
        block = false;
    }

    // Whatever holds the storage, also through another device: O_EXCL below sees only
    // what holds this very device.
    {
        std::string held = block ? describe_holders(path.substr(5)) : std::string();
        const std::string aliases = describe_aliases(node);
        if (!aliases.empty()) {
            held += (held.empty() ? "" : "; ") + aliases;
        }
        if (!held.empty()) {
            return result(write_status_e::busy, quoted + " is in use (" + held +
                                                    "); unmount and detach what holds it and "
                                                    "try again. Nothing was written.");
        }
    }
    // O_EXCL on a block device: the kernel refuses while the disk or one of its partitions
    // is mounted or held by another exclusive user.
    fd_guard_s guard;
    const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | (block ? O_EXCL : 0);
    guard.fd = ::open(path.c_str(), flags);
    if (guard.fd < 0) {
        const int err = errno;
        if (err == EBUSY) {
            std::string held = describe_holders(path.substr(5));
            return result(write_status_e::busy,
                          quoted + " is in use" + (held.empty() ? "" : " (" + held + ")") +
                              "; unmount its partitions and try again. Nothing was written.");
        }
        return result(write_status_e::refused,
                      "cannot open " + quoted + " for writing: " + errno_text(err));
    }
    const int fd = guard.fd;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 ||
        (block ? !S_ISBLK(opened.st_mode) || opened.st_rdev != node.st_rdev
               : !S_ISREG(opened.st_mode) || opened.st_dev != node.st_dev ||
                     opened.st_ino != node.st_ino)) {
        return result(write_status_e::changed,
                      quoted + " changed while it was opened; nothing was written");
    }
    const std::uint32_t sector_bytes = request.identity.sector_bytes;
    if (block) {
        int logical = 0;
        if (::ioctl(fd, BLKSSZGET, &logical) != 0 || logical != int(sector_bytes)) {
            return result(write_status_e::refused, quoted + " does not have " +
                                                       std::to_string(sector_bytes) +
                                                       "-byte sectors; nothing was written");
        }
    }

    drive_identity_s now;
    std::string error;
    if (!read_identity(fd, &now, &error)) {
        return result(write_status_e::failed,
                      "cannot identify " + quoted + ": " + error + "; nothing was written");
    }
    now = in_sectors_of(now, sector_bytes);  // an image: as its content was laid out
    if (!(now == request.identity)) {
        return result(write_status_e::changed,
                      "the drive " + quoted +
                          " changed since the search (another medium, size or sector 0); "
                          "search again. Nothing was written.");
    }
    std::vector<std::uint8_t> sector(sector_bytes);
    for (const sector_write_s& w : request.writes) {
        if (!read_exact(fd, w.lba * sector_bytes, sector.data(), sector.size())) {
            return result(write_status_e::failed, "cannot read sector " + std::to_string(w.lba) +
                                                      " of " + quoted + "; nothing was written");
        }
        if (sha256(sector.data(), sector.size()) != w.replaces) {
            return result(write_status_e::changed,
                          "sector " + std::to_string(w.lba) + " of " + quoted +
                              " is not what it was when it was read; search again. Nothing "
                              "was written.");
        }
    }

    const std::string refused = check_table_writes(
        request.writes, request.kind, now.sectors,
        [fd, sector_bytes](std::uint64_t lba, std::uint8_t* out) {
            return read_exact(fd, lba * sector_bytes, out, sector_bytes);
        },
        sector_bytes);
    if (!refused.empty()) {
        return result(write_status_e::refused,
                      "only partition tables are written: " + refused + "; nothing was written");
    }
    for (const sector_write_s& w : request.writes) {
        if (!write_exact(fd, w.lba * sector_bytes, w.bytes.data(), w.bytes.size())) {
            return result(write_status_e::failed, "writing sector " + std::to_string(w.lba) +
                                                      " of " + quoted +
                                                      " failed: " + errno_text(errno) +
                                                      "; the drive may be partly written");
        }
    }
    if (::fsync(fd) != 0) {
        return result(write_status_e::failed, "syncing " + quoted +
                                                  " failed: " + errno_text(errno) +
                                                  "; the drive may be partly written");
    }
    if (block) {
        ::ioctl(fd, BLKFLSBUF, 0);  // read back from the device, not from the cache
    }
    for (const sector_write_s& w : request.writes) {
        if (!read_exact(fd, w.lba * sector_bytes, sector.data(), sector.size()) ||
            sector != w.bytes) {
            return result(write_status_e::failed, "sector " + std::to_string(w.lba) + " of " +
                                                      quoted + " does not read back as written");
        }
    }
    write_result_s done =
        result(write_status_e::written, "wrote " + std::to_string(request.writes.size()) +
                                            (request.writes.size() == 1 ? " sector" : " sectors") +
                                            " to " + quoted);
    done.table_reread = !block || ::ioctl(fd, BLKRRPART) == 0;
    return done;
}

std::string encode_request(const write_request_s& request) {
    const drive_identity_s& id = request.identity;
    std::string text = std::string(request_magic) + "\n";
    text += "device " + request.device + "\n";
    text += "identity " + std::to_string(id.device) + " " + std::to_string(id.inode) + " " +
            std::to_string(id.disk_sequence) + " " + std::to_string(id.sectors) + " " +
            to_hex(id.first_sector);
    if (id.sector_bytes != write_sector_bytes) {
        text += " " + std::to_string(id.sector_bytes);  // 512 goes without saying
    }
    text += "\n";
    text += std::string("kind ") + (request.kind == write_kind_e::undo ? "undo" : "table") + "\n";
    for (const sector_write_s& w : request.writes) {
        text += "write " + std::to_string(w.lba) + " " + to_hex(w.replaces) + " " +
                bytes_hex(w.bytes.data(), w.bytes.size()) + "\n";
    }
    text += "end\n";
    return text;
}

bool decode_request(const std::string& text, write_request_s* request, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "malformed request: " + why;
        return false;
    };
    if (text.size() > max_request_bytes) {
        return fail("too long");
    }
    write_request_s r;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != request_magic) {
        return fail("unknown format");
    }
    if (!std::getline(in, line) || line.rfind("device ", 0) != 0 || line.size() <= 7 ||
        line.size() > 4096) {
        return fail("no device");
    }
    r.device = line.substr(7);
    if (!std::getline(in, line)) {
        return fail("no identity");
    }
    std::vector<std::string> w = words(line);
    drive_identity_s& id = r.identity;
    std::uint64_t sector_bytes = write_sector_bytes;
    if ((w.size() != 6 && w.size() != 7) || w[0] != "identity" || !number(w[1], &id.device) ||
        !number(w[2], &id.inode) || !number(w[3], &id.disk_sequence) ||
        !number(w[4], &id.sectors) || !from_hex(w[5], &id.first_sector) ||
        (w.size() == 7 && (!number(w[6], &sector_bytes) ||
                           (sector_bytes != 512 && sector_bytes != max_write_sector_bytes)))) {
        return fail("bad identity");
    }
    id.sector_bytes = static_cast<std::uint32_t>(sector_bytes);
    if (!std::getline(in, line) || (line != "kind table" && line != "kind undo")) {
        return fail("no kind");
    }
    r.kind = line == "kind undo" ? write_kind_e::undo : write_kind_e::table;
    bool ended = false;
    while (std::getline(in, line)) {
        if (line == "end") {
            ended = true;
            break;
        }
        w = words(line);
        sector_write_s s;
        s.bytes.resize(id.sector_bytes);
        if (w.size() != 4 || w[0] != "write" || !number(w[1], &s.lba) ||
            !from_hex(w[2], &s.replaces) || !hex_bytes(w[3], s.bytes.data(), s.bytes.size())) {
            return fail("bad write line");
        }
        if (r.writes.size() == max_sector_writes) {
            return fail("too many sectors");
        }
        r.writes.push_back(s);
    }
    if (!ended || std::getline(in, line)) {
        return fail("no end, or something behind it");
    }
    *request = std::move(r);
    return true;
}

std::string encode_result(const write_result_s& r) {
    static const char* const names[] = {"written", "refused", "changed", "busy", "failed"};
    std::string message = r.message;
    for (char& c : message) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return std::string(names[static_cast<int>(r.status)]) + (r.table_reread ? " 1 " : " 0 ") +
           message + "\n";
}

bool decode_result(const std::string& text, write_result_s* r) {
    static const char* const names[] = {"written", "refused", "changed", "busy", "failed"};
    const std::size_t first = text.find(' ');
    if (first == std::string::npos || text.size() < first + 3 || text[first + 2] != ' ') {
        return false;
    }
    const std::string status = text.substr(0, first);
    for (int i = 0; i < 5; ++i) {
        if (status == names[i]) {
            r->status = static_cast<write_status_e>(i);
            r->table_reread = text[first + 1] == '1';
            r->message = text.substr(first + 3);
            while (!r->message.empty() && r->message.back() == '\n') {
                r->message.pop_back();
            }
            return true;
        }
    }
    return false;
}

}  // namespace platform
