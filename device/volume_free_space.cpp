#include "volume_free_space.h"

#include "device/volume_reader.h"
#include "engine/exfat/exfat_volume.h"
#include "platform/platform_device.h"
#include "platform/platform_helper.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <exception>

namespace {

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

constexpr std::size_t chunk_bytes = 65536;

}  // namespace

bool fat_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                    std::uint64_t* free_bytes) {
    unsigned char boot[512];
    if (read(0, boot, sizeof boot) != 0) {
        return false;
    }
    const std::uint32_t bytes_per_sector = le16(boot + 11);  // BPB_BytsPerSec
    const std::uint32_t sectors_per_cluster = boot[13];      // BPB_SecPerClus
    const std::uint32_t reserved = le16(boot + 14);          // BPB_RsvdSecCnt
    const std::uint32_t fat_count = boot[16];                // BPB_NumFATs
    const std::uint32_t root_entries = le16(boot + 17);      // BPB_RootEntCnt
    const std::uint32_t total16 = le16(boot + 19);           // BPB_TotSec16
    const std::uint32_t fat_size16 = le16(boot + 22);        // BPB_FATSz16
    const std::uint32_t total32 = le32(boot + 32);           // BPB_TotSec32
    const std::uint32_t fat_size32 = le32(boot + 36);        // BPB_FATSz32
    if (!std::has_single_bit(bytes_per_sector) || bytes_per_sector < 512 ||
        bytes_per_sector > 4096 || !std::has_single_bit(sectors_per_cluster) || reserved == 0 ||
        fat_count == 0) {
        return false;
    }
    const std::uint64_t fat_sectors = fat_size16 != 0 ? fat_size16 : fat_size32;
    const std::uint64_t total_sectors = total16 != 0 ? total16 : total32;
    const std::uint64_t root_sectors =
        (static_cast<std::uint64_t>(root_entries) * 32 + bytes_per_sector - 1) / bytes_per_sector;
    const std::uint64_t meta = reserved + fat_count * fat_sectors + root_sectors;
    if (fat_sectors == 0 || total_sectors <= meta ||
        total_sectors > volume_bytes / bytes_per_sector) {
        return false;
    }
    const std::uint64_t clusters = (total_sectors - meta) / sectors_per_cluster;
    const std::uint64_t cluster_bytes =
        static_cast<std::uint64_t>(bytes_per_sector) * sectors_per_cluster;
    // The type follows from the cluster count alone (FAT specification).
    const int bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    const std::uint64_t fat_bytes = fat_sectors * bytes_per_sector;
    const std::uint64_t entries_needed = clusters + 2;
    if (entries_needed * bits > fat_bytes * 8) {
        return false;  // the FAT cannot describe every cluster
    }

    if (bits == 32) {
        // FSInfo: lead and structure signatures, the free count, the trail signature.
        const std::uint32_t info_sector = le16(boot + 48);  // BPB_FSInfo
        unsigned char info[512];
        if (info_sector != 0 && info_sector < reserved &&
            read(static_cast<std::uint64_t>(info_sector) * bytes_per_sector, info, sizeof info) ==
                0 &&
            le32(info) == 0x41615252U && le32(info + 484) == 0x61417272U &&
            le32(info + 508) == 0xAA550000U) {
            const std::uint32_t free_count = le32(info + 488);  // FSI_Free_Count
            if (free_count != 0xFFFFFFFFU && free_count <= clusters) {
                *free_bytes = free_count * cluster_bytes;
                return true;
            }
        }
    }

    // Count the free entries of the first FAT, clusters 2 to clusters + 1.
    const std::uint64_t fat_start = static_cast<std::uint64_t>(reserved) * bytes_per_sector;
    const std::uint64_t used_bytes = bits == 12 ? (entries_needed * 3 + 1) / 2
                                                : entries_needed * static_cast<unsigned>(bits / 8);
    std::vector<unsigned char> buffer;
    std::uint64_t free_clusters = 0;
    if (bits == 12) {
        // A FAT12 table is at most 6 KiB: read it whole, entries straddle bytes.
        buffer.resize(static_cast<std::size_t>(used_bytes) + 1, 0);
        if (read(fat_start, buffer.data(), static_cast<std::size_t>(used_bytes)) != 0) {
            return false;
        }
        for (std::uint64_t n = 2; n < entries_needed; ++n) {
            const std::uint64_t at = n + n / 2;
            const unsigned pair = le16(buffer.data() + at);
            const unsigned entry = (n & 1) ? pair >> 4 : pair & 0x0FFF;
            free_clusters += entry == 0;
        }
    } else {
        const unsigned entry_bytes = static_cast<unsigned>(bits / 8);
        buffer.resize(chunk_bytes);
        std::uint64_t n = 0;
        for (std::uint64_t offset = 0; offset < used_bytes; offset += chunk_bytes) {
            const std::size_t len =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, used_bytes - offset));
            if (read(fat_start + offset, buffer.data(), len) != 0) {
                return false;
            }
            for (std::size_t at = 0; at + entry_bytes <= len; at += entry_bytes, ++n) {
                if (n < 2) {
                    continue;  // the two reserved entries
                }
                const std::uint32_t entry = entry_bytes == 2
                                                ? le16(buffer.data() + at)
                                                : le32(buffer.data() + at) & 0x0FFFFFFFU;
                free_clusters += entry == 0;
            }
        }
    }
    *free_bytes = free_clusters * cluster_bytes;
    return true;
}

namespace {

// One run of a non-resident attribute: length in clusters and first cluster (lcn < 0: a
// sparse run).
struct ntfs_run_s {
    std::uint64_t length = 0;
    std::int64_t lcn = -1;
};

bool decode_runs(const unsigned char* p, const unsigned char* end, std::vector<ntfs_run_s>* runs) {
    std::int64_t lcn = 0;
    while (p < end && *p != 0) {
        const unsigned length_size = *p & 0x0F;
        const unsigned offset_size = *p >> 4;
        ++p;
        if (length_size == 0 || length_size > 8 || offset_size > 8 ||
            end - p < static_cast<std::ptrdiff_t>(length_size + offset_size)) {
            return false;
        }
        std::uint64_t length = 0;
        for (unsigned i = 0; i < length_size; ++i) {
            length |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        }
        p += length_size;
        ntfs_run_s run;
        run.length = length;
        if (offset_size != 0) {
            std::uint64_t delta = 0;
            for (unsigned i = 0; i < offset_size; ++i) {
                delta |= static_cast<std::uint64_t>(p[i]) << (8 * i);
            }
            if (offset_size < 8 && (p[offset_size - 1] & 0x80)) {
                delta |= ~0ULL << (8 * offset_size);  // sign-extend
            }
            lcn += static_cast<std::int64_t>(delta);
            if (lcn < 0) {
                return false;
            }
            run.lcn = lcn;
        }
        p += offset_size;
        runs->push_back(run);
        if (runs->size() > 100000) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ntfs_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                     std::uint64_t* free_bytes) {
    unsigned char boot[512];
    if (read(0, boot, sizeof boot) != 0 || std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
        return false;
    }
    const std::uint32_t bytes_per_sector = le16(boot + 11);
    const std::uint8_t cluster_field = boot[13];
    if (!std::has_single_bit(bytes_per_sector) || bytes_per_sector < 256 ||
        bytes_per_sector > 4096 || cluster_field == 0) {
        return false;
    }
    // 0x0D: sectors per cluster, or 2^(256 - value) sectors above 128
    std::uint64_t sectors_per_cluster = cluster_field;
    if (cluster_field > 0x80) {
        const unsigned shift = 256U - cluster_field;
        if (shift > 20) {
            return false;
        }
        sectors_per_cluster = 1ULL << shift;
    } else if (!std::has_single_bit(static_cast<unsigned>(cluster_field))) {
        return false;
    }
    const std::uint64_t cluster_bytes = sectors_per_cluster * bytes_per_sector;
    const std::uint64_t total_sectors = le64(boot + 40);           // 0x28: sectors in the volume
    const std::uint64_t mft_lcn = le64(boot + 48);                 // 0x30: first cluster of $MFT
    const auto record_field = static_cast<std::int8_t>(boot[64]);  // 0x40
    std::uint64_t record_bytes = 0;
    if (record_field > 0) {
        record_bytes = static_cast<std::uint64_t>(record_field) * cluster_bytes;
    } else if (record_field < 0 && record_field >= -31) {
        record_bytes = 1ULL << (-record_field);
    }
    if (record_bytes < 512 || record_bytes > 65536 || total_sectors == 0 ||
        total_sectors > volume_bytes / bytes_per_sector) {
        return false;
    }
    const std::uint64_t clusters = total_sectors / sectors_per_cluster;
    if (mft_lcn >= clusters) {
        return false;
    }

    // Record 6 of the $MFT is $Bitmap; the first records lie in the $MFT's first run.
    std::vector<unsigned char> record(static_cast<std::size_t>(record_bytes));
    if (read(mft_lcn * cluster_bytes + 6 * record_bytes, record.data(), record.size()) != 0 ||
        std::memcmp(record.data(), "FILE", 4) != 0) {
        return false;
    }
    // Update sequence: each 512-byte stride ends with the sequence number, which the array
    // replaces with the original bytes.
    const std::uint32_t usa_offset = le16(record.data() + 4);
    const std::uint32_t usa_count = le16(record.data() + 6);
    if (usa_count == 0 || usa_count - 1 != record_bytes / 512 ||
        usa_offset + usa_count * 2ULL > record_bytes) {
        return false;
    }
    const std::uint16_t usn = le16(record.data() + usa_offset);
    for (std::uint32_t i = 1; i < usa_count; ++i) {
        unsigned char* tail = record.data() + i * 512 - 2;
        if (le16(tail) != usn) {
            return false;
        }
        std::memcpy(tail, record.data() + usa_offset + i * 2, 2);
    }

    // Find the unnamed $DATA attribute (type 0x80).
    std::uint32_t at = le16(record.data() + 20);
    const std::uint32_t in_use =
        std::min<std::uint32_t>(le32(record.data() + 24), static_cast<std::uint32_t>(record_bytes));
    std::vector<ntfs_run_s> runs;
    std::vector<unsigned char> resident;
    bool found = false;
    std::uint64_t data_bytes = 0;
    while (at + 16 <= in_use) {
        const unsigned char* attr = record.data() + at;
        const std::uint32_t type = le32(attr);
        if (type == 0xFFFFFFFFU) {
            break;
        }
        const std::uint32_t length = le32(attr + 4);
        if (length < 16 || at + length > in_use) {
            return false;
        }
        if (type == 0x80 && attr[9] == 0) {
            if (attr[8] == 0) {
                const std::uint32_t value_length = le32(attr + 16);
                const std::uint32_t value_offset = le16(attr + 20);
                if (length < 24 ||
                    value_offset + static_cast<std::uint64_t>(value_length) > length) {
                    return false;
                }
                resident.assign(attr + value_offset, attr + value_offset + value_length);
                data_bytes = value_length;
            } else {
                if (length < 64 || le64(attr + 16) != 0) {
                    return false;  // the bitmap is described by one extent of runs
                }
                const std::uint32_t runs_offset = le16(attr + 32);
                data_bytes = le64(attr + 48);
                if (runs_offset >= length ||
                    !decode_runs(attr + runs_offset, attr + length, &runs)) {
                    return false;
                }
            }
            found = true;
            break;
        }
        at += length;
    }
    const std::uint64_t needed_bytes = (clusters + 7) / 8;
    if (!found || data_bytes < needed_bytes) {
        return false;
    }

    std::uint64_t used = 0;
    std::uint64_t bits_left = clusters;
    const auto count_bits = [&](const unsigned char* bytes, std::size_t len) {
        for (std::size_t i = 0; i < len && bits_left > 0; ++i) {
            unsigned value = bytes[i];
            if (bits_left < 8) {
                value &= (1U << bits_left) - 1;
                bits_left = 0;
            } else {
                bits_left -= 8;
            }
            used += static_cast<unsigned>(std::popcount(value));
        }
    };
    if (!resident.empty() || runs.empty()) {
        count_bits(resident.data(), resident.size());
    } else {
        std::vector<unsigned char> buffer(chunk_bytes);
        for (const ntfs_run_s& run : runs) {
            if (bits_left == 0) {
                break;
            }
            if (run.length > clusters) {
                return false;
            }
            std::uint64_t run_bytes = run.length * cluster_bytes;
            std::uint64_t position = 0;
            while (run_bytes > 0 && bits_left > 0) {
                const std::size_t len =
                    static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, run_bytes));
                if (run.lcn < 0) {
                    std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(len), 0);
                } else {
                    const std::uint64_t offset =
                        static_cast<std::uint64_t>(run.lcn) * cluster_bytes + position;
                    if (static_cast<std::uint64_t>(run.lcn) + run.length > clusters ||
                        read(offset, buffer.data(), len) != 0) {
                        return false;
                    }
                }
                count_bits(buffer.data(), len);
                run_bytes -= len;
                position += len;
            }
        }
    }
    if (bits_left > 0) {
        return false;  // the bitmap ended before the last cluster
    }
    *free_bytes = (clusters - used) * cluster_bytes;
    return true;
}

bool exfat_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                      std::uint64_t* free_bytes) {
    exfat::exfat_volume_c volume;
    if (volume.open(read, volume_bytes) != exfat::open_ok || !volume.bitmap_loaded()) {
        return false;
    }
    *free_bytes = volume.free_clusters() * volume.cluster_bytes();
    return true;
}

bool read_volume_free_bytes(const QString& volume_name, const QString& file_system,
                            std::uint64_t* free_bytes) {
    const bool fat = file_system.startsWith(QLatin1String("FAT"));
    const bool ntfs = file_system == QLatin1String("NTFS");
    const bool exfat = file_system == QLatin1String("exFAT");
    if (!fat && !ntfs && !exfat) {
        return false;
    }
    // Free space is no reason to ask for a password: a disk the user has not opened yet
    // keeps its free space unknown.
    platform::helper_prompts_off_c no_prompts;
    volume_range_s range;
    if (!open_volume_range(volume_name, &range)) {
        return false;
    }
    const std::uint64_t size = range.size;
    const volume_reader_f read = [&](std::uint64_t offset, void* buffer, std::size_t len) {
        return range.read(offset, buffer, len);
    };
    if (exfat) {
        return exfat_free_bytes(read, size, free_bytes);
    }
    return fat ? fat_free_bytes(read, size, free_bytes) : ntfs_free_bytes(read, size, free_bytes);
}

int fill_unknown_free_space(std::vector<volume_item_s>& volumes) {
    int filled = 0;
    for (volume_item_s& volume : volumes) {
        if (volume.free_known || volume.volume_name.isEmpty()) {
            continue;
        }
        std::uint64_t free = 0;
        if (read_volume_free_bytes(volume.volume_name, volume.file_system, &free)) {
            volume.free_bytes = free;
            volume.free_known = true;
            ++filled;
        }
    }
    return filled;
}

volume_free_space_c::volume_free_space_c(QObject* parent) : QThread(parent) {}

volume_free_space_c::~volume_free_space_c() {
    request_stop();
    wait();
}

bool volume_free_space_c::set_volumes(const std::vector<volume_item_s>& volumes) {
    if (isRunning()) {
        return false;
    }
    volumes_ = volumes;
    found_.clear();
    stop_word.store(0, std::memory_order_relaxed);
    return true;
}

int volume_free_space_c::apply_to(std::vector<volume_item_s>& volumes) const {
    int filled = 0;
    for (const found_s& found : found_) {
        for (volume_item_s& volume : volumes) {
            if (!volume.free_known && volume.volume_name == found.volume_name) {
                volume.free_bytes = found.free_bytes;
                volume.free_known = true;
                ++filled;
            }
        }
    }
    return filled;
}

void volume_free_space_c::run() {
    try {
        for (const volume_item_s& volume : volumes_) {
            if (stop_word.load(std::memory_order_relaxed) != 0) {
                break;
            }
            if (volume.free_known || volume.volume_name.isEmpty()) {
                continue;
            }
            std::uint64_t free = 0;
            if (read_volume_free_bytes(volume.volume_name, volume.file_system, &free)) {
                found_.append({volume.volume_name, free});
            }
        }
    } catch (const std::exception&) {
        // what was read so far stands; the rest stays unknown
    } catch (...) {
    }
}
