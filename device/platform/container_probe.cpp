#include "container_probe.h"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::uint64_t mib = 1 << 20;
constexpr std::uint64_t sector = 512;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(le16(p)) | (static_cast<std::uint32_t>(le16(p + 2)) << 16);
}
std::uint64_t le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool is_extended_type(unsigned char type) {
    return type == 0x05 || type == 0x0f || type == 0x85;
}

}  // namespace

probe_copy_c::probe_copy_c(device_source_c& source) : source_(source) {}

probe_copy_c::~probe_copy_c() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void probe_copy_c::copy(std::uint64_t offset, std::uint64_t len) {
    if (offset >= size_) {
        return;
    }
    len = std::min(len, size_ - offset);
    // Whole sectors, and nothing twice.
    std::uint64_t at = offset / sector * sector;
    const std::uint64_t end = std::min(size_, (offset + len + sector - 1) / sector * sector);
    std::vector<unsigned char> chunk;
    while (at < end) {
        bool skip = false;
        for (const auto& range : done_) {
            if (at >= range.first && at < range.second) {
                at = range.second;
                skip = true;
                break;
            }
        }
        if (skip) {
            continue;
        }
        std::uint64_t stop = end;
        for (const auto& range : done_) {
            if (range.first > at && range.first < stop) {
                stop = range.first;
            }
        }
        chunk.resize(static_cast<std::size_t>(stop - at));
        // An unreadable part stays zero: the probe then finds less, as it would on the disk.
        if (source_.read_at(at, chunk.data(), chunk.size()) == 0) {
            if (::pwrite(fd_, chunk.data(), chunk.size(), static_cast<off_t>(at)) !=
                static_cast<ssize_t>(chunk.size())) {
                return;
            }
        }
        done_.emplace_back(at, stop);
        at = stop;
    }
}

bool probe_copy_c::read_copied(std::uint64_t offset, void* buffer, std::size_t len) {
    if (offset > size_ || len > size_ - offset) {
        return false;
    }
    copy(offset, len);
    return ::pread(fd_, buffer, len, static_cast<off_t>(offset)) == static_cast<ssize_t>(len);
}

bool probe_copy_c::copy_tables() {
    size_ = source_.byte_size();
    if (size_ == 0 || size_ > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    fd_ = ::memfd_create("orvane-probe", MFD_CLOEXEC);
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        return false;
    }
    unsigned char mbr[sector];
    if (source_.read_at(0, mbr, sizeof mbr) != 0) {
        return false;
    }
    copy(0, mib);
    copy(size_ - std::min(size_, mib), mib);
    // Both GPT headers (512-byte sectors; the backup is named by the primary).
    unsigned char header[sector];
    if (read_copied(sector, header, sizeof header) && std::memcmp(header, "EFI PART", 8) == 0) {
        copy_gpt_entries(sector);
        const std::uint64_t backup = le64(header + 32);
        if (backup < size_ / sector) {
            copy_gpt_entries(backup * sector);
        }
    }
    if (mbr[510] == 0x55 && mbr[511] == 0xaa) {
        for (int i = 0; i < 4; ++i) {
            const unsigned char* entry = mbr + 446 + i * 16;
            if (is_extended_type(entry[4])) {
                copy_ebr_chain(static_cast<std::uint64_t>(le32(entry + 8)) * sector);
            }
        }
    }
    return true;
}

void probe_copy_c::copy_gpt_entries(std::uint64_t header_offset) {
    unsigned char header[sector];
    if (!read_copied(header_offset, header, sizeof header) ||
        std::memcmp(header, "EFI PART", 8) != 0) {
        return;
    }
    const std::uint64_t first = le64(header + 72);
    const std::uint64_t bytes = static_cast<std::uint64_t>(le32(header + 80)) * le32(header + 84);
    if (first < size_ / sector) {
        copy(first * sector, std::min<std::uint64_t>(bytes, 4 * mib));
    }
}

void probe_copy_c::copy_ebr_chain(std::uint64_t extended_start) {
    // Each extended boot record names its logical partition and the next record, relative to
    // the extended partition's start. Bounded, and a loop ends the walk.
    std::uint64_t at = extended_start;
    std::vector<std::uint64_t> seen;
    for (int n = 0; n < 256 && at != 0 && at < size_; ++n) {
        if (std::find(seen.begin(), seen.end(), at) != seen.end()) {
            return;
        }
        seen.push_back(at);
        unsigned char ebr[sector];
        if (!read_copied(at, ebr, sizeof ebr) || ebr[510] != 0x55 || ebr[511] != 0xaa) {
            return;
        }
        const unsigned char* next = ebr + 446 + 16;
        if (!is_extended_type(next[4]) || le32(next + 8) == 0) {
            return;
        }
        at = extended_start + static_cast<std::uint64_t>(le32(next + 8)) * sector;
    }
}

void probe_copy_c::copy_volume(std::uint64_t offset, std::uint64_t size) {
    if (offset >= size_) {
        return;
    }
    size = std::min(size, size_ - offset);
    copy(offset, std::min(size, mib));
    copy(offset + size - std::min(size, mib), mib);
    unsigned char boot[sector];
    if (!read_copied(offset, boot, sizeof boot)) {
        return;
    }
    const auto copy_inside = [&](std::uint64_t at, std::uint64_t len) {
        if (at < size) {
            copy(offset + at, std::min(len, size - at));
        }
    };
    if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) {
        // The master file table's first records: the volume's name is in record 3.
        const std::uint64_t bytes_per_sector = le16(boot + 11);
        const unsigned char spc = boot[13];
        const std::uint64_t cluster =
            bytes_per_sector * (spc <= 0x80 ? spc : (1ULL << std::min(256 - spc, 31)));
        const std::uint64_t lcn = le64(boot + 48);
        if (cluster != 0 && lcn < size / cluster) {
            copy_inside(lcn * cluster, 64 * 1024);
        }
        return;
    }
    if (std::memcmp(boot + 3, "EXFAT   ", 8) == 0) {
        const unsigned sector_shift = std::min<unsigned>(boot[108], 12);
        const unsigned shift = sector_shift + std::min<unsigned>(boot[109], 25);
        const std::uint64_t heap = static_cast<std::uint64_t>(le32(boot + 88)) << sector_shift;
        const std::uint64_t root = le32(boot + 96);
        copy_inside(static_cast<std::uint64_t>(le32(boot + 80)) << sector_shift, 64 * 1024);
        if (root >= 2 && root - 2 <= (size >> shift)) {
            copy_inside(heap + ((root - 2) << shift), 256 * 1024);
        }
        return;
    }
    const bool fat32 = std::memcmp(boot + 82, "FAT32   ", 8) == 0;
    const bool fat = fat32 || std::memcmp(boot + 54, "FAT1", 4) == 0;
    const std::uint64_t bytes_per_sector = le16(boot + 11);
    if (!fat || bytes_per_sector == 0 || boot[13] == 0) {
        return;
    }
    // The FATs' start and the root folder, where the volume's name entry is.
    const std::uint64_t reserved = le16(boot + 14) * bytes_per_sector;
    const std::uint64_t fat_bytes = (fat32 ? le32(boot + 36) : le16(boot + 22)) * bytes_per_sector;
    const std::uint64_t fats_end = reserved + boot[16] * fat_bytes;
    copy_inside(reserved, 64 * 1024);
    if (fat32) {
        const std::uint64_t root = le32(boot + 44);
        if (root >= 2) {
            copy_inside(fats_end + (root - 2) * boot[13] * bytes_per_sector, 256 * 1024);
        }
    } else {
        copy_inside(fats_end, static_cast<std::uint64_t>(le16(boot + 17)) * 32);
    }
}

}  // namespace platform
