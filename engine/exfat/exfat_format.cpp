#include "exfat_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>

namespace exfat {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool parse_boot_sector(const std::uint8_t* s, std::size_t length, std::uint64_t volume_bytes,
                       boot_s* boot) {
    if (length < 512 || s[0] != 0xEB || s[1] != 0x76 || s[2] != 0x90 ||
        std::memcmp(s + 3, "EXFAT   ", 8) != 0 || s[510] != 0x55 || s[511] != 0xAA) {
        return false;
    }
    for (int i = 11; i < 64; ++i) {  // the FAT BIOS parameter block must be zero
        if (s[i] != 0) {
            return false;
        }
    }
    boot_s b;
    b.volume_length = le64(s + 0x48);
    b.fat_offset = le32(s + 0x50);
    b.fat_length = le32(s + 0x54);
    b.heap_offset = le32(s + 0x58);
    b.cluster_count = le32(s + 0x5C);
    b.root_cluster = le32(s + 0x60);
    b.serial = le32(s + 0x64);
    b.volume_flags = le16(s + 0x6A);
    b.sector_shift = s[0x6C];
    b.cluster_shift = s[0x6D];
    b.fat_count = s[0x6E];
    if (b.sector_shift < 9 || b.sector_shift > 12 || b.cluster_shift > 25 - b.sector_shift ||
        (b.fat_count != 1 && b.fat_count != 2) || b.fat_offset < 24 || b.cluster_count == 0 ||
        b.cluster_count > 0xFFFFFFF5U) {
        return false;
    }
    const std::uint64_t sector = b.sector_bytes();
    const std::uint64_t fat_needed = ((b.cluster_count + 2ULL) * 4 + sector - 1) / sector;
    const std::uint64_t fats_end = static_cast<std::uint64_t>(b.fat_offset) +
                                   static_cast<std::uint64_t>(b.fat_length) * b.fat_count;
    if (b.fat_length < fat_needed || b.heap_offset < fats_end || b.volume_length <= b.heap_offset) {
        return false;
    }
    const std::uint64_t heap_clusters = (b.volume_length - b.heap_offset) >> b.cluster_shift;
    if (b.cluster_count > heap_clusters || b.root_cluster < first_cluster ||
        b.root_cluster > b.cluster_count + 1ULL) {
        return false;
    }
    if (volume_bytes != 0 && static_cast<std::uint64_t>(b.heap_offset) * sector >= volume_bytes) {
        return false;
    }
    *boot = b;
    return true;
}

std::uint32_t boot_checksum(const std::uint8_t* region, std::size_t sector_bytes) {
    std::uint32_t sum = 0;
    const std::size_t bytes = sector_bytes * 11;
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == 106 || i == 107 || i == 112) {
            continue;  // volume flags and percent in use change without a new checksum
        }
        sum = ((sum & 1) ? 0x80000000U : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

bool check_boot_region(const std::uint8_t* region, std::size_t sector_bytes,
                       std::uint64_t volume_bytes, boot_s* boot) {
    boot_s b;
    if (!parse_boot_sector(region, sector_bytes, volume_bytes, &b) ||
        b.sector_bytes() != sector_bytes) {
        return false;
    }
    const std::uint32_t sum = boot_checksum(region, sector_bytes);
    const std::uint8_t* check = region + 11 * sector_bytes;
    for (std::size_t i = 0; i + 4 <= sector_bytes; i += 4) {
        if (le32(check + i) != sum) {
            return false;
        }
    }
    *boot = b;
    return true;
}

std::uint16_t set_checksum(const std::uint8_t* entries, std::size_t count) {
    std::uint16_t sum = 0;
    const std::size_t bytes = count * entry_bytes;
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == 2 || i == 3) {
            continue;
        }
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + entries[i]);
    }
    return sum;
}

std::uint16_t name_hash(const std::u16string& upcased) {
    std::uint16_t hash = 0;
    for (const char16_t c : upcased) {
        hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (c & 0xFF));
        hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + (c >> 8));
    }
    return hash;
}

std::uint32_t table_checksum(const std::uint8_t* table, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum = ((sum & 1) ? 0x80000000U : 0) + (sum >> 1) + table[i];
    }
    return sum;
}

upcase_table_c::upcase_table_c() : map_(65536) {
    for (std::size_t i = 0; i < map_.size(); ++i) {
        map_[i] = static_cast<char16_t>(i);
    }
}

bool upcase_table_c::load(const std::uint8_t* table, std::size_t length) {
    std::vector<char16_t> map(65536);
    for (std::size_t i = 0; i < map.size(); ++i) {
        map[i] = static_cast<char16_t>(i);
    }
    if (length % 2 != 0 || length == 0) {
        return false;
    }
    std::size_t index = 0;
    for (std::size_t at = 0; at + 2 <= length && index < map.size(); at += 2) {
        const std::uint16_t unit = le16(table + at);
        if (unit == 0xFFFF && at + 4 <= length) {
            index += le16(table + at + 2);  // a run of characters that map to themselves
            at += 2;
            continue;
        }
        map[index++] = unit;
    }
    map_ = std::move(map);
    return true;
}

std::u16string upcase_table_c::up(const std::u16string& s) const {
    std::u16string out(s);
    for (char16_t& c : out) {
        c = map_[c];
    }
    return out;
}

std::size_t parse_entry_set(const std::uint8_t* dir, std::size_t dir_bytes, std::size_t at,
                            entry_set_s* set) {
    if (at + 3 * entry_bytes > dir_bytes || (dir[at] & 0x7F) != (type_file & 0x7F)) {
        return 1;
    }
    const bool deleted = !(dir[at] & in_use_bit);
    const std::uint8_t use = deleted ? 0 : in_use_bit;
    const std::size_t secondary = dir[at + 1];
    const std::size_t count = 1 + secondary;
    if (secondary < 2 || at + count * entry_bytes > dir_bytes) {
        return 1;
    }
    const std::uint8_t* file = dir + at;
    const std::uint8_t* stream = file + entry_bytes;
    if (stream[0] != ((type_stream & 0x7F) | use)) {
        return 1;
    }
    const std::size_t name_length = stream[3];
    const std::size_t name_entries = (name_length + 14) / 15;
    if (name_length == 0 || name_entries > secondary - 1) {
        return 1;
    }
    for (std::size_t n = 0; n < name_entries; ++n) {
        if (stream[(n + 1) * entry_bytes] != ((type_name & 0x7F) | use)) {
            return 1;
        }
    }
    // The checksum was made while the set was in use: put the in-use bits back first. A
    // driver that leaves the bits of its benign secondaries alone is matched as well.
    std::array<std::uint8_t, 256 * entry_bytes> copy;
    std::memcpy(copy.data(), file, count * entry_bytes);
    const std::uint16_t stored = le16(file + 2);
    bool ok = set_checksum(copy.data(), count) == stored;
    if (!ok && deleted) {
        for (std::size_t e = 0; e < count; ++e) {
            copy[e * entry_bytes] |= in_use_bit;
        }
        ok = set_checksum(copy.data(), count) == stored;
    }
    entry_set_s s;
    s.offset = at;
    s.entries = count;
    s.deleted = deleted;
    s.checksum_ok = ok;
    s.attributes = le16(file + 4);
    s.create_ms = time_to_ms(le32(file + 8), file[20], file[22]);
    s.modify_ms = time_to_ms(le32(file + 12), file[21], file[23]);
    s.access_ms = time_to_ms(le32(file + 16), 0, file[24]);
    s.flags = stream[1];
    s.name_hash = le16(stream + 4);
    s.valid_length = le64(stream + 8);
    s.first_cluster = le32(stream + 20);
    s.data_length = le64(stream + 24);
    s.name.reserve(name_length);
    for (std::size_t i = 0; i < name_length; ++i) {
        const std::uint8_t* entry = stream + (i / 15 + 1) * entry_bytes;
        s.name.push_back(static_cast<char16_t>(le16(entry + 2 + (i % 15) * 2)));
    }
    *set = std::move(s);
    return ok ? count : 1;
}

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Local civil time to seconds since 1970 by the time-zone rules; cached, as a volume
// repeats few stamps and mktime consults the zone on every call.
std::int64_t local_seconds(std::uint32_t stamp) {
    static std::mutex lock;
    static std::unordered_map<std::uint32_t, std::int64_t> converted;
    const std::lock_guard guard(lock);
    if (auto known = converted.find(stamp); known != converted.end()) {
        return known->second;
    }
    if (converted.size() > 100000) {
        converted.clear();
    }
    std::tm fields{};
    fields.tm_year = 1980 + static_cast<int>(stamp >> 25) - 1900;
    fields.tm_mon = static_cast<int>((stamp >> 21) & 0x0F) - 1;
    fields.tm_mday = static_cast<int>((stamp >> 16) & 0x1F);
    fields.tm_hour = static_cast<int>((stamp >> 11) & 0x1F);
    fields.tm_min = static_cast<int>((stamp >> 5) & 0x3F);
    fields.tm_sec = static_cast<int>(stamp & 0x1F) * 2;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    const std::int64_t result =
        seconds == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(seconds);
    converted.emplace(stamp, result);
    return result;
}

}  // namespace

std::int64_t time_to_ms(std::uint32_t stamp, std::uint8_t increment, std::uint8_t utc_offset) {
    if (stamp == 0) {
        return 0;
    }
    const unsigned seconds2 = stamp & 0x1F;
    const unsigned minute = (stamp >> 5) & 0x3F;
    const unsigned hour = (stamp >> 11) & 0x1F;
    const unsigned day = (stamp >> 16) & 0x1F;
    const unsigned month = (stamp >> 21) & 0x0F;
    const unsigned year = 1980 + (stamp >> 25);
    if (seconds2 > 29 || minute > 59 || hour > 23 || day == 0 || month == 0 || month > 12) {
        return 0;
    }
    const std::int64_t extra_ms = increment <= 199 ? increment * 10 : 0;
    if (utc_offset & 0x80) {
        // Seven-bit two's complement count of 15-minute steps east of UTC.
        const int steps = (utc_offset & 0x40) ? static_cast<int>(utc_offset & 0x7F) - 128
                                              : static_cast<int>(utc_offset & 0x7F);
        const std::int64_t civil =
            days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + seconds2 * 2;
        return (civil - steps * 15 * 60) * 1000 + extra_ms;
    }
    const std::int64_t seconds = local_seconds(stamp);
    return seconds == 0 ? 0 : seconds * 1000 + extra_ms;
}

}  // namespace exfat
