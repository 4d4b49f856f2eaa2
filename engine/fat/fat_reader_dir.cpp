// Directory reading for the FAT reader: entries one by one, deleted ones included, with
// their long names when the long-name parts still match.

#include "cp936.h"
#include "fat_reader.h"
#include "fat_reader_internal.h"

#include "device/disk_table.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

using fat_internal::byte_span;
using fat_internal::cluster_to_sector;
using fat_internal::drive_ready;
using fat_internal::entries_per_sector;
using fat_internal::entry_bytes;
using fat_internal::load_u16;
using fat_internal::load_u32;
using fat_internal::move_window;
using fat_internal::object_valid;
using fat_internal::rewind_dir;

namespace fat_internal {

fat_result rewind_dir(fat_dir* dir) {
    fat_volume* volume = dir->volume;
    dir->index = 0;
    dir->pending = fat_ok;
    dir->sector = 0;
    dir->entry = volume->window;
    std::uint32_t cluster = dir->start_cluster;
    if (cluster == 1 || cluster >= volume->fat_entry_count) {
        return fat_internal_error;
    }
    if (cluster == 0 && volume->type == fat_type_fat32) {
        if (volume->root_start > UINT32_MAX) {
            return fat_internal_error;
        }
        cluster = static_cast<std::uint32_t>(volume->root_start);
    }
    if (cluster == 0) {
        if (volume->type == fat_type_fat32 || volume->root_entry_count == 0) {
            return fat_internal_error;
        }
        dir->cluster = 0;
        dir->sector = volume->root_start;
        return fat_ok;
    }
    std::uint64_t sector = cluster_to_sector(volume, cluster);
    if (sector == 0) {
        return fat_internal_error;
    }
    dir->cluster = cluster;
    dir->sector = sector;
    return fat_ok;
}

}  // namespace fat_internal

namespace {

constexpr std::uint32_t long_name_units = 256;  // work buffer, terminator included
constexpr std::uint32_t long_name_limit = 255;  // a position from here on fails capture
constexpr std::uint8_t long_name_attribute = 0x0F;
constexpr std::uint8_t deleted_mark = 0xE5;

// Directory entry offsets.
constexpr std::size_t dir_attributes = 11;
constexpr std::size_t dir_case_flags = 12;
constexpr std::size_t dir_creation_time = 14;
constexpr std::size_t dir_creation_date = 16;
constexpr std::size_t dir_access_date = 18;
constexpr std::size_t dir_cluster_high = 20;
constexpr std::size_t dir_write_time = 22;
constexpr std::size_t dir_write_date = 24;
constexpr std::size_t dir_cluster_low = 26;
constexpr std::size_t dir_size = 28;
constexpr std::size_t ldir_checksum = 13;
constexpr std::uint8_t case_lower_name = 0x08;
constexpr std::uint8_t case_lower_extension = 0x10;
constexpr std::uint8_t ldir_last_part = 0x40;

// Where the 13 UTF-16 characters of a long-name part sit in its entry.
constexpr std::size_t long_name_offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// Steps to the next entry. fat_no_more_entries at the end of the directory: the root's
// last entry, the end of the cluster chain, or 65536 entries (which also ends any chain
// that loops back on itself).
fat_result advance_dir(fat_dir* dir) {
    fat_volume* volume = dir->volume;
    const auto next_index = static_cast<std::uint16_t>(dir->index + 1);
    if (next_index == 0 || dir->sector == 0) {
        return fat_no_more_entries;
    }
    if (next_index % entries_per_sector == 0) {
        dir->sector += 1;
        if (dir->cluster == 0) {
            if (next_index >= volume->root_entry_count) {
                return fat_no_more_entries;
            }
        } else if (((next_index / entries_per_sector) & (volume->sectors_per_cluster - 1u)) == 0) {
            std::uint32_t next = fat_get_entry(volume, dir->cluster);
            if (next == fat_entry_read_failed) {
                return fat_disk_error;
            }
            if (next <= 1) {
                return fat_internal_error;
            }
            if (next >= volume->fat_entry_count) {
                return fat_no_more_entries;
            }
            dir->cluster = next;
            dir->sector = cluster_to_sector(volume, next);
        }
    }
    dir->index = next_index;
    dir->entry = volume->window + (next_index % entries_per_sector) * entry_bytes;
    return fat_ok;
}

std::uint8_t short_name_checksum(byte_span entry) {
    std::uint8_t sum = 0;
    for (std::size_t n = 0; n < 11; ++n) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[n]);
    }
    return sum;
}

// Copies the 13 characters of one long-name part into buffer at the part's position.
bool capture_long_name_part(char16_t* buffer, byte_span entry) {
    const int order = entry[0] & 0x3F;
    if (order == 0) {
        return false;
    }
    std::uint32_t position = static_cast<std::uint32_t>(order - 1) * 13;
    char16_t previous = 1;
    for (std::size_t offset : long_name_offsets) {
        const char16_t unit = load_u16(entry, offset);
        if (previous != 0) {
            if (position >= long_name_limit) {
                return false;
            }
            buffer[position++] = unit;
            previous = unit;
        } else if (unit != 0xFFFF) {
            return false;
        }
    }
    if (entry[0] & ldir_last_part) {
        if (position >= long_name_limit) {
            return false;
        }
        buffer[position] = 0;
    }
    return true;
}

// ---- long names of deleted entries ----
//
// Deleting a file overwrites the first byte of its short entry and of each long-name part
// with 0xE5, and nothing else: the parts keep their 13 characters and the checksum of the
// short name. Their order bytes are gone, so the parts are taken as they lie: the run of
// deleted parts directly in front of the entry, nearest first, is the name from its first
// character on. The name is used only when everything that is left agrees: one checksum in
// every part, a terminator (or a name of whole parts), characters a long name may hold,
// and a short name that is the name's own (its lost first byte, which the checksum fixes,
// and its second byte and extension follow from the long name the way short names are
// made). Anything else, such as parts partly taken by a newer entry, gives no long name.

constexpr int deleted_parts_max = 20;  // 20 parts of 13 characters hold the longest name

// Deleted long-name parts met in a row, in on-disk order (the farthest first).
struct deleted_parts_s {
    std::uint8_t entries[deleted_parts_max][entry_bytes] = {};
    int count = 0;

    void add(byte_span entry) {
        if (count == deleted_parts_max) {
            std::memmove(entries[0], entries[1], sizeof entries - entry_bytes);
            --count;
        }
        std::memcpy(entries[count++], entry.data(), entry_bytes);
    }
};

bool is_long_name_unit(char16_t unit) {
    if (unit < 0x20) {
        return false;
    }
    for (char16_t bad : u"\"*/:<>?\\|") {
        if (bad != 0 && unit == bad) {
            return false;
        }
    }
    return true;
}

// The short-name byte that a character of a long name becomes, as far as it can be told:
// ASCII letters upper-cased, characters short names cannot hold as '_', and anything
// beyond ASCII as a code-page byte, '_' or the letter it is based on.
bool short_byte_fits(char16_t c, std::uint8_t b) {
    if (c >= 0x80) {
        if (b >= 0x80 || b == '_' || b == 0x05) {
            return true;
        }
        const QChar base = QString(QChar(c)).normalized(QString::NormalizationForm_D).at(0);
        return base.unicode() < 0x80 && base.toUpper().unicode() == b;
    }
    if (c >= 'a' && c <= 'z') {
        return b == c - ('a' - 'A');
    }
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return b == c;
    }
    for (char16_t kept : u"$%'-_@~`!(){}^#&") {
        if (kept != 0 && c == kept) {
            return b == c;
        }
    }
    return b == '_';
}

// The long name and the deleted short entry belong together (see above); checksum is the
// one its parts carry.
bool short_name_matches(const char16_t* name, std::size_t length, byte_span entry,
                        std::uint8_t checksum) {
    // The one first byte that gives the checksum: each byte gives a different sum.
    std::uint8_t bytes[11];
    std::memcpy(bytes, entry.data(), 11);
    int first = -1;
    for (int b = 0; b < 256 && first < 0; ++b) {
        bytes[0] = static_cast<std::uint8_t>(b);
        if (short_name_checksum(byte_span(bytes, 11)) == checksum) {
            first = b;
        }
    }
    if (first <= ' ' || first == deleted_mark || first == '.') {
        return false;
    }
    // Short names are made from the name without leading dots, spaces and inner dots; the
    // last dot starts the extension.
    std::size_t start = 0;
    while (start < length && (name[start] == u'.' || name[start] == u' ')) {
        ++start;
    }
    std::size_t dot = length;
    for (std::size_t n = start; n < length; ++n) {
        if (name[n] == u'.') {
            dot = n;
        }
    }
    char16_t basis[2];
    std::size_t basis_length = 0;
    for (std::size_t n = start; n < dot && basis_length < 2; ++n) {
        if (name[n] != u' ' && name[n] != u'.') {
            basis[basis_length++] = name[n];
        }
    }
    if (basis_length == 0 || !short_byte_fits(basis[0], static_cast<std::uint8_t>(first))) {
        return false;
    }
    // After a character beyond ASCII the next byte may be the second half of its code.
    if (basis_length == 2 && basis[0] < 0x80 && basis[1] < 0x80 &&
        !short_byte_fits(basis[1], entry[1])) {
        return false;
    }
    std::size_t extension = 0;
    for (std::size_t n = dot + 1; n < length && extension < 3; ++n) {
        if (name[n] == u' ') {
            continue;
        }
        if (name[n] < 0x80 && !short_byte_fits(name[n], entry[8 + extension])) {
            return false;
        }
        if (name[n] >= 0x80) {
            return true;  // a code-page character's bytes cannot be told apart from here
        }
        ++extension;
    }
    return extension == 3 || entry[8 + extension] == ' ';
}

// Rebuilds the long name of the deleted short entry from the deleted parts in front of it,
// into out (room for long_name_units). Returns false when the parts do not make its name.
bool recover_deleted_long_name(const deleted_parts_s& parts, byte_span entry, char16_t* out) {
    if (parts.count == 0) {
        return false;
    }
    const std::uint8_t checksum = parts.entries[parts.count - 1][ldir_checksum];
    std::size_t length = 0;
    bool terminated = false;
    for (int k = parts.count - 1; k >= 0 && !terminated; --k) {
        byte_span part(parts.entries[k], entry_bytes);
        // LDIR_Type (byte 12) and LDIR_FstClusLO (bytes 26-27) are always 0 in a part
        if (part[ldir_checksum] != checksum || part[12] != 0 || load_u16(part, 26) != 0) {
            break;  // a part of another name: this one has ended
        }
        for (std::size_t offset : long_name_offsets) {
            const char16_t unit = load_u16(part, offset);
            if (terminated) {
                if (unit != 0xFFFF) {
                    return false;
                }
            } else if (unit == 0) {
                terminated = true;
            } else if (!is_long_name_unit(unit) || unit == 0xFFFF ||
                       length + 1 >= long_name_limit) {
                return false;
            } else {
                out[length++] = unit;
            }
        }
    }
    if (length == 0) {
        return false;
    }
    out[length] = 0;
    return short_name_matches(out, length, entry, checksum);
}

// Decodes one field of a short name (8 name or 3 extension bytes) up to its first space.
// Returns the number of units written to out.
std::size_t decode_short_field(byte_span field, bool lower, bool first_is_mark, char16_t* out) {
    std::size_t written = 0;
    std::size_t n = 0;
    while (n < field.size() && field[n] != ' ') {
        const std::uint8_t byte = field[n];
        if (n == 0 && first_is_mark) {
            out[written++] = u'?';  // the deletion mark, not a character of the name
            ++n;
            continue;
        }
        if (cp936_is_lead_byte(byte) && n + 1 < field.size() && cp936_is_trail_byte(field[n + 1])) {
            out[written++] = cp936_decode(static_cast<std::uint16_t>(byte << 8 | field[n + 1]));
            n += 2;
            continue;
        }
        if (lower && byte >= 'A' && byte <= 'Z') {
            out[written++] = static_cast<char16_t>(byte + ('a' - 'A'));
        } else {
            out[written++] = cp936_decode(byte);
        }
        ++n;
    }
    return written;
}

void fill_short_name(byte_span entry, bool deleted, char16_t* out) {
    std::uint8_t name[8];
    std::memcpy(name, entry.data(), 8);
    if (name[0] == 0x05) {
        name[0] = deleted_mark;  // a real first byte 0xE5 is stored as 0x05
    }
    const std::uint8_t case_flags = entry[dir_case_flags];
    std::size_t length =
        decode_short_field(byte_span(name, 8), case_flags & case_lower_name, deleted, out);
    if (length == 0) {
        // A blank name field is damage, not a name; an empty result would read as the end
        // of the directory and a bare ".EXT" as a dot entry.
        out[length++] = u'?';
    }
    if (entry[8] != ' ') {
        out[length++] = u'.';
        length += decode_short_field(entry.subspan(8, 3), case_flags & case_lower_extension, false,
                                     out + length);
    }
    out[length] = 0;
}

void clear_entry_info(fat_entry_info* info) {
    char16_t* long_name = info->long_name;
    std::uint32_t capacity = info->long_name_capacity;
    *info = fat_entry_info{};
    info->long_name = long_name;
    info->long_name_capacity = capacity;
    if (long_name && capacity > 0) {
        long_name[0] = 0;
    }
}

void fill_entry_info(const fat_dir* dir, fat_entry_info* info) {
    const fat_volume* volume = dir->volume;
    byte_span entry(dir->entry, entry_bytes);
    fill_short_name(entry, dir->deleted != 0, info->short_name);
    // Bit 0x40 of the stored byte is reserved; it is cleared so that only the deletion mark
    // can make an entry read as deleted.
    info->attributes = static_cast<std::uint8_t>((entry[dir_attributes] & ~fat_attr_deleted) |
                                                 (dir->deleted ? fat_attr_deleted : 0));
    std::uint32_t cluster = load_u16(entry, dir_cluster_low);
    if (volume->type == fat_type_fat32) {
        cluster |= static_cast<std::uint32_t>(load_u16(entry, dir_cluster_high)) << 16;
    }
    info->first_cluster = cluster;
    info->size = load_u32(entry, dir_size);
    info->write_date = load_u16(entry, dir_write_date);
    info->write_time = load_u16(entry, dir_write_time);
    info->creation_date = load_u16(entry, dir_creation_date);
    info->creation_time = load_u16(entry, dir_creation_time);
    info->access_date = load_u16(entry, dir_access_date);
    if (info->long_name && info->long_name_capacity > 0) {
        info->long_name[0] = 0;
        if (dir->long_name_index != 0xFFFF) {
            std::uint32_t length = 0;
            while (length < long_name_units && dir->long_name_buffer[length] != 0) {
                ++length;
            }
            if (length < long_name_units && length + 1 <= info->long_name_capacity) {
                std::memcpy(info->long_name, dir->long_name_buffer,
                            (length + 1) * sizeof(char16_t));
            }
        }
    }
}

// Finds the next entry worth returning: skips dot entries, volume labels and long-name
// parts (collecting the parts into the work buffer).
fat_result read_entry(fat_dir* dir) {
    fat_volume* volume = dir->volume;
    fat_result result = fat_no_more_entries;
    std::uint8_t order = 0xFF;
    std::uint8_t checksum = 0xFF;
    deleted_parts_s deleted_parts;
    dir->long_name_index = 0xFFFF;
    while (dir->sector != 0) {
        result = move_window(volume, dir->sector);
        if (result != fat_ok) {
            break;
        }
        dir->entry = volume->window + (dir->index % entries_per_sector) * entry_bytes;
        byte_span entry(dir->entry, entry_bytes);
        const std::uint8_t first = entry[0];
        if (first == 0) {
            result = fat_no_more_entries;
            break;
        }
        const std::uint8_t attributes = entry[dir_attributes] & 0x7F;
        dir->deleted = first == deleted_mark ? 1 : 0;
        const bool deleted_part = dir->deleted && attributes == long_name_attribute;
        if (!deleted_part && (first == '.' || (attributes & fat_attr_volume))) {
            deleted_parts.count = 0;
        }
        if (first == '.') {
            order = 0xFF;
        } else if ((attributes & fat_attr_volume) && attributes != long_name_attribute) {
            order = 0xFF;
        } else if (attributes == long_name_attribute) {
            std::uint8_t part = first;
            bool in_sequence = true;
            if (part & ldir_last_part) {
                checksum = entry[ldir_checksum];
                part &= static_cast<std::uint8_t>(~ldir_last_part);
                order = part;
                dir->long_name_index = dir->index;
            } else if (part != order) {
                in_sequence = false;
            }
            if (in_sequence && checksum == entry[ldir_checksum] &&
                capture_long_name_part(dir->long_name_buffer, entry)) {
                order = static_cast<std::uint8_t>(order - 1);
            } else {
                order = 0xFF;
            }
        } else {
            if (order != 0 || checksum != short_name_checksum(entry)) {
                dir->long_name_index = 0xFFFF;
            }
            if (dir->deleted && dir->long_name_index == 0xFFFF &&
                recover_deleted_long_name(deleted_parts, entry, dir->long_name_buffer)) {
                dir->long_name_index = dir->index;
            }
            return fat_ok;
        }
        if (deleted_part) {
            deleted_parts.add(entry);
        } else if (attributes == long_name_attribute) {
            deleted_parts.count = 0;  // a live part ends any run of deleted ones
        }
        result = advance_dir(dir);
        if (result != fat_ok) {
            break;
        }
    }
    dir->sector = 0;
    return result;
}

}  // namespace

fat_result f_readdir(fat_dir* dir, fat_entry_info* info) {
    if (!dir || !object_valid(dir->volume, dir->mount_id)) {
        return fat_invalid_object;
    }
    if (!drive_ready(dir->volume)) {
        return fat_not_ready;
    }
    if (!info) {
        return rewind_dir(dir);
    }
    clear_entry_info(info);
    if (dir->pending != fat_ok) {
        fat_result pending = dir->pending;
        dir->pending = fat_ok;
        return pending;
    }
    std::unique_ptr<char16_t[]> work(new (std::nothrow) char16_t[long_name_units]());
    if (!work) {
        return fat_out_of_memory;
    }
    dir->long_name_buffer = work.get();
    fat_result result = read_entry(dir);
    if (result == fat_ok) {
        fill_entry_info(dir, info);
        fat_result step = advance_dir(dir);
        if (step != fat_ok) {
            dir->sector = 0;
            if (step != fat_no_more_entries) {
                dir->pending = step;
            }
        }
    } else if (result == fat_no_more_entries) {
        result = fat_ok;  // the end: success with an empty short name
    }
    dir->long_name_buffer = nullptr;
    return result;
}

namespace {

// A FAT date word that is either unset or a real day; a time word of a real clock.
bool stamp_valid(std::uint16_t date, std::uint16_t time) {
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    const bool date_ok = date == 0 || (month >= 1 && month <= 12 && day >= 1);
    return date_ok && (time >> 11) <= 23 && ((time >> 5) & 0x3F) <= 59 && (time & 0x1F) <= 29;
}

// A byte a short name may hold: no control character and none of the characters every FAT
// driver refuses.
bool short_name_byte_valid(std::uint8_t byte) {
    static constexpr char refused[] = "\"*+,./:;<=>?[\\]|";
    return byte >= 0x20 && std::memchr(refused, byte, sizeof refused - 1) == nullptr;
}

// One 32-byte entry of a directory cluster that could have been written by a FAT driver.
bool entry_plausible(byte_span entry, const fat_volume* volume, std::uint64_t volume_bytes) {
    const std::uint8_t attributes = entry[dir_attributes];
    if ((attributes & 0x3F) == long_name_attribute) {
        return entry[0] == deleted_mark || ((entry[0] & 0x1F) >= 1 && (entry[0] & 0x1F) <= 20);
    }
    if (attributes & 0xC0) {
        return false;  // reserved bits
    }
    for (std::size_t n = 0; n < 11; ++n) {
        const std::uint8_t byte = entry[n];
        const bool mark = n == 0 && (byte == deleted_mark || byte == 0x05);
        if (!mark && !short_name_byte_valid(byte)) {
            return false;
        }
    }
    std::uint32_t cluster = load_u16(entry, dir_cluster_low);
    if (volume->type == fat_type_fat32) {
        cluster |= static_cast<std::uint32_t>(load_u16(entry, dir_cluster_high)) << 16;
    }
    return cluster < volume->fat_entry_count && load_u32(entry, dir_size) <= volume_bytes &&
           stamp_valid(load_u16(entry, dir_write_date), load_u16(entry, dir_write_time)) &&
           stamp_valid(load_u16(entry, dir_creation_date), load_u16(entry, dir_creation_time)) &&
           stamp_valid(load_u16(entry, dir_access_date), 0);
}

}  // namespace

fat_result fat_check_directory_cluster(fat_volume* volume, std::uint32_t cluster, bool* sound) {
    *sound = false;
    const std::uint64_t first = cluster_to_sector(volume, cluster);
    if (!object_valid(volume, volume ? volume->mount_id : 0) || first == 0) {
        return fat_ok;
    }
    const std::uint64_t volume_bytes = static_cast<std::uint64_t>(volume->fat_entry_count - 2) *
                                       volume->sectors_per_cluster * fat_sector_bytes;
    // Every driver begins a sub-directory with its "." and ".." entries; a cluster without
    // them passes only with at least one entry, every entry sound.
    std::uint32_t index = 0;
    int dots = 0;
    bool entries = false;
    for (std::uint32_t s = 0; s < volume->sectors_per_cluster; ++s) {
        if (const fat_result read = move_window(volume, first + s); read != fat_ok) {
            return read;
        }
        for (std::uint32_t e = 0; e < entries_per_sector; ++e, ++index) {
            byte_span entry(volume->window + e * entry_bytes, entry_bytes);
            if (index < 2 && dots == static_cast<int>(index) && entry[0] == '.' &&
                entry[1] == (index == 0 ? ' ' : '.') &&
                std::all_of(entry.begin() + 2, entry.begin() + 11,
                            [](std::uint8_t b) { return b == ' '; }) &&
                (entry[dir_attributes] & fat_attr_directory)) {
                ++dots;
                continue;
            }
            if (entry[0] == 0) {
                *sound = dots == 2 || entries;  // the end mark: nothing after it was written
                return fat_ok;
            }
            if (!entry_plausible(entry, volume, volume_bytes)) {
                return fat_ok;
            }
            entries = true;
        }
    }
    *sound = dots == 2 || entries;
    return fat_ok;
}

fat_result fat_find_directory_starts(fat_volume* volume,
                                     const std::function<bool(std::uint32_t, std::uint32_t)>& found,
                                     const std::function<bool()>& keep_going) {
    if (!object_valid(volume, volume ? volume->mount_id : 0)) {
        return fat_invalid_object;
    }
    // The FAT sector in use, kept apart from the window: one read per FAT sector and one
    // per run of free clusters, both in order.
    std::uint8_t fat_copy[fat_sector_bytes];
    std::uint64_t fat_copied = 0;
    const auto entry_of = [&](std::uint32_t cluster) -> std::uint32_t {
        if (volume->type == fat_type_fat12) {
            return fat_get_entry(volume, cluster);  // entries straddle sectors; volumes are small
        }
        const bool fat16 = volume->type == fat_type_fat16;
        const std::uint32_t per_sector = fat_sector_bytes / (fat16 ? 2 : 4);
        const std::uint64_t sector = volume->fat_start + cluster / per_sector;
        if (sector != fat_copied) {
            if (move_window(volume, sector) != fat_ok) {
                return fat_entry_read_failed;
            }
            std::memcpy(fat_copy, volume->window, sizeof fat_copy);
            fat_copied = sector;
        }
        const byte_span copy(fat_copy, sizeof fat_copy);
        const std::size_t at = (cluster % per_sector) * (fat16 ? 2 : 4);
        return fat16 ? load_u16(copy, at) : load_u32(copy, at) & 0x0FFFFFFF;
    };
    // Free clusters side by side are read at once, as much as one transfer takes.
    const std::uint32_t per_cluster = volume->sectors_per_cluster;
    const std::uint32_t run_limit =
        std::max<std::uint32_t>(1, disk_transfer_bytes / fat_sector_bytes / per_cluster);
    std::vector<std::uint8_t> run(static_cast<std::size_t>(run_limit) * per_cluster *
                                  fat_sector_bytes);
    const auto is_dots = [](byte_span e, bool two) {
        return e[0] == '.' && e[1] == (two ? '.' : ' ') &&
               std::all_of(e.begin() + 2, e.begin() + 11,
                           [](std::uint8_t b) { return b == ' '; }) &&
               (e[dir_attributes] & fat_attr_directory) && !(e[dir_attributes] & 0xC0);
    };
    const auto cluster_of = [volume](byte_span e) {
        std::uint32_t c = load_u16(e, dir_cluster_low);
        if (volume->type == fat_type_fat32) {
            c |= static_cast<std::uint32_t>(load_u16(e, dir_cluster_high)) << 16;
        }
        return c;
    };
    for (std::uint32_t cluster = 2; cluster < volume->fat_entry_count;) {
        if (keep_going && !keep_going()) {
            break;
        }
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        while (cluster < volume->fat_entry_count && count < run_limit) {
            const std::uint32_t entry = entry_of(cluster);
            if (entry == fat_entry_read_failed) {
                return fat_disk_error;
            }
            ++cluster;
            if (entry != 0) {
                if (count > 0) {
                    break;
                }
                continue;
            }
            first = count == 0 ? cluster - 1 : first;
            ++count;
        }
        if (count == 0) {
            continue;
        }
        if (disk_read_sectors(volume->drive, run.data(), cluster_to_sector(volume, first),
                              count * per_cluster) != disk_ok) {
            return fat_disk_error;
        }
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint8_t* at =
                run.data() + static_cast<std::size_t>(k) * per_cluster * fat_sector_bytes;
            const byte_span dot(at, entry_bytes);
            const byte_span dotdot(at + entry_bytes, entry_bytes);
            const std::uint32_t here = first + k;
            if (!is_dots(dot, false) || !is_dots(dotdot, true) || cluster_of(dot) != here) {
                continue;
            }
            const std::uint32_t parent = cluster_of(dotdot);
            if (parent == 1 || parent >= volume->fat_entry_count || parent == here) {
                continue;
            }
            if (!found(here, parent)) {
                return fat_ok;
            }
        }
    }
    return fat_ok;
}
