#include "ntfs_format.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace ntfs {
namespace {

constexpr std::size_t fixup_stride = 512;  // the update sequence covers 512-byte strides
constexpr std::int64_t seconds_1601_to_1970 = 11644473600LL;
constexpr std::size_t max_list_entries = 65536;
constexpr std::size_t max_list_bytes = 1 << 20;
constexpr std::size_t max_data_runs = 1 << 20;

bool is_power_of_two(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

constexpr std::size_t max_streams = 256;  // named streams listed for one file

// True when the attribute's name is name (compared unit by unit, as NTFS stores it).
bool same_name(const attribute_s& a, std::u16string_view name) {
    if (a.name_length != name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (le16(a.name + 2 * i) != name[i]) {
            return false;
        }
    }
    return true;
}

// Adds a named $DATA attribute to the file's streams, once per name; its size comes from
// the resident value or the first extent.
void note_stream(const attribute_s& a, file_facts_s* facts) {
    std::u16string name(a.name_length, u'\0');
    for (std::size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char16_t>(le16(a.name + 2 * i));
    }
    auto found = std::find_if(facts->streams.begin(), facts->streams.end(),
                              [&](const stream_info_s& s) { return s.name == name; });
    if (found == facts->streams.end()) {
        if (facts->streams.size() >= max_streams) {
            return;
        }
        facts->streams.push_back({std::move(name), 0});
        found = facts->streams.end() - 1;
    }
    found->resident = a.resident;
    if (a.resident) {
        found->size = a.value_length;
    } else if (a.start_vcn == 0) {
        found->size = a.real_size;
    }
}

}  // namespace

bool parse_boot_sector(const std::uint8_t* data, std::size_t size, boot_info_s* info) {
    if (size < 512 || std::memcmp(data + 3, "NTFS    ", 8) != 0 || data[510] != 0x55 ||
        data[511] != 0xAA) {
        return false;
    }
    boot_info_s out;
    out.bytes_per_sector = le16(data + 0x0B);  // boot sector 0x0B: bytes per sector
    if (!is_power_of_two(out.bytes_per_sector) || out.bytes_per_sector < 256 ||
        out.bytes_per_sector > 4096) {
        return false;
    }
    // 0x0D: sectors per cluster; above 0x80 it is a negative power of two (2^(256 - v)),
    // which is how clusters of 128 KiB and more are written.
    const std::uint8_t spc_byte = data[0x0D];
    std::uint64_t sectors_per_cluster = spc_byte;
    if (spc_byte > 0x80) {
        const int shift = 256 - spc_byte;
        if (shift > 20) {
            return false;
        }
        sectors_per_cluster = 1ull << shift;
    }
    if (!is_power_of_two(sectors_per_cluster)) {
        return false;
    }
    out.cluster_size = sectors_per_cluster * out.bytes_per_sector;
    if (out.cluster_size > (2u << 20)) {
        return false;
    }
    const std::uint64_t total_sectors = le64(data + 0x28);  // 0x28: sectors in the volume
    out.total_clusters = total_sectors / sectors_per_cluster;
    out.mft_lcn = le64(data + 0x30);     // 0x30: first cluster of $MFT
    out.mirror_lcn = le64(data + 0x38);  // 0x38: first cluster of $MFTMirr
    if (out.total_clusters == 0 || out.mft_lcn >= out.total_clusters) {
        return false;
    }
    // 0x40: clusters per file record; negative means 2^(-v) bytes.
    const auto per_record = static_cast<std::int8_t>(data[0x40]);
    std::uint64_t record_size = 0;
    if (per_record < 0) {
        if (per_record < -31) {
            return false;
        }
        record_size = 1ull << -per_record;
    } else {
        record_size = static_cast<std::uint64_t>(per_record) * out.cluster_size;
    }
    if (!is_power_of_two(record_size) || record_size < 512 || record_size > 65536) {
        return false;
    }
    out.record_size = static_cast<std::uint32_t>(record_size);
    *info = out;
    return true;
}

bool apply_fixups(std::uint8_t* record, std::size_t size, const char* signature) {
    if (size < fixup_stride || size % fixup_stride != 0 || std::memcmp(record, signature, 4) != 0) {
        return false;
    }
    const std::size_t offset = le16(record + 4);  // 0x04: update sequence array offset
    const std::size_t count = le16(record + 6);   // 0x06: its entries, the first is the number
    if (count != size / fixup_stride + 1 || offset < 8 || offset + 2 * count > size) {
        return false;
    }
    const std::uint8_t* usa = record + offset;
    for (std::size_t i = 1; i < count; ++i) {
        std::uint8_t* tail = record + i * fixup_stride - 2;
        if (tail[0] != usa[0] || tail[1] != usa[1]) {
            return false;  // a torn or damaged write: the record is not trusted
        }
    }
    for (std::size_t i = 1; i < count; ++i) {
        std::uint8_t* tail = record + i * fixup_stride - 2;
        tail[0] = usa[2 * i];
        tail[1] = usa[2 * i + 1];
    }
    return true;
}

bool parse_record_header(const std::uint8_t* record, std::size_t size, record_header_s* header) {
    if (size < 0x30) {
        return false;
    }
    header->sequence = le16(record + 0x10);
    header->first_attribute = le16(record + 0x14);
    header->flags = le16(record + 0x16);
    header->bytes_in_use = le32(record + 0x18);
    header->base_reference = le64(record + 0x20);
    return header->first_attribute >= 0x18 && header->first_attribute + 4u <= size;
}

attribute_walker_c::attribute_walker_c(const std::uint8_t* record, std::size_t size)
    : record_(record), end_(0), offset_(0) {
    record_header_s header;
    if (!parse_record_header(record, size, &header)) {
        return;
    }
    end_ = std::min<std::size_t>(header.bytes_in_use, size);
    offset_ = header.first_attribute;
}

bool attribute_walker_c::next(attribute_s* out) {
    if (offset_ + 16 > end_ || ++count_ > 4096) {
        return false;
    }
    const std::uint8_t* a = record_ + offset_;
    const std::uint32_t type = le32(a);
    if (type == attr_end) {
        return false;
    }
    const std::size_t length = le32(a + 4);
    if (length < 16 || length > end_ - offset_) {
        return false;
    }
    attribute_s attribute;
    attribute.type = type;
    attribute.resident = a[8] == 0;
    attribute.name_length = a[9];
    const std::size_t name_offset = le16(a + 10);
    attribute.flags = le16(a + 12);
    attribute.id = le16(a + 14);
    if (attribute.name_length != 0 && name_offset + 2u * attribute.name_length > length) {
        return false;
    }
    attribute.name = a + name_offset;
    if (attribute.resident) {
        if (length < 0x18) {
            return false;
        }
        attribute.value_length = le32(a + 0x10);
        const std::size_t value_offset = le16(a + 0x14);
        if (value_offset + static_cast<std::uint64_t>(attribute.value_length) > length) {
            return false;
        }
        attribute.value = a + value_offset;
    } else {
        if (length < 0x40) {
            return false;
        }
        attribute.start_vcn = le64(a + 0x10);
        attribute.last_vcn = le64(a + 0x18);
        const std::size_t runs_offset = le16(a + 0x20);
        attribute.compression_unit = le16(a + 0x22);
        attribute.real_size = le64(a + 0x30);
        attribute.initialized_size = le64(a + 0x38);
        if (runs_offset < 0x40 || runs_offset >= length) {
            return false;
        }
        attribute.runs = a + runs_offset;
        attribute.runs_length = length - runs_offset;
    }
    offset_ += length;
    *out = attribute;
    return true;
}

bool decode_runs(const std::uint8_t* data, std::size_t size, std::uint64_t start_vcn,
                 std::uint64_t total_clusters, std::size_t max_runs, std::vector<run_s>* runs) {
    std::size_t pos = 0;
    std::uint64_t vcn = start_vcn;
    std::int64_t lcn = 0;
    std::size_t added = 0;
    while (pos < size) {
        const std::uint8_t header = data[pos];
        if (header == 0) {
            return true;
        }
        const std::size_t length_bytes = header & 0x0F;
        const std::size_t offset_bytes = header >> 4;
        if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8 ||
            1 + length_bytes + offset_bytes > size - pos) {
            return false;
        }
        const std::uint8_t* field = data + pos + 1;
        std::uint64_t length = 0;
        for (std::size_t i = 0; i < length_bytes; ++i) {
            length |= static_cast<std::uint64_t>(field[i]) << (8 * i);
        }
        if (length == 0 || (field[length_bytes - 1] & 0x80)) {
            return false;  // zero or negative
        }
        run_s run;
        run.vcn = vcn;
        run.length = length;
        if (offset_bytes == 0) {
            run.lcn = -1;  // sparse
        } else {
            std::uint64_t raw = 0;
            for (std::size_t i = 0; i < offset_bytes; ++i) {
                raw |= static_cast<std::uint64_t>(field[length_bytes + i]) << (8 * i);
            }
            if (offset_bytes < 8 && (raw >> (8 * offset_bytes - 1)) & 1) {
                raw |= ~0ull << (8 * offset_bytes);  // sign-extend
            }
            // Clusters on the volume; a sparse run may be longer than the volume is.
            std::int64_t next = 0;
            if (length > total_clusters ||
                __builtin_add_overflow(lcn, static_cast<std::int64_t>(raw), &next) || next < 0 ||
                static_cast<std::uint64_t>(next) > total_clusters - length) {
                return false;
            }
            lcn = next;
            run.lcn = lcn;
        }
        if (__builtin_add_overflow(vcn, length, &vcn) || added >= max_runs) {
            return false;
        }
        runs->push_back(run);
        ++added;
        pos += 1 + length_bytes + offset_bytes;
    }
    return true;  // the attribute ended without a terminator: what was decoded stands
}

bool parse_attribute_list(const std::uint8_t* value, std::size_t size,
                          std::vector<list_entry_s>* entries) {
    std::size_t pos = 0;
    while (pos + 0x1A <= size) {
        const std::uint8_t* e = value + pos;
        const std::size_t length = le16(e + 4);
        if (length < 0x1A || length > size - pos || entries->size() >= max_list_entries) {
            return false;
        }
        list_entry_s entry;
        entry.type = le32(e);
        entry.name_length = e[6];
        entry.start_vcn = le64(e + 8);
        entry.record_number = le64(e + 0x10) & reference_mask;
        entry.attribute_id = le16(e + 0x18);
        entries->push_back(entry);
        pos += length;
    }
    return true;
}

bool reference_matches(std::uint16_t sequence, std::uint16_t record_sequence, bool record_in_use) {
    if (sequence == 0 || record_sequence == 0 || sequence == record_sequence) {
        return true;
    }
    const std::uint16_t freed = sequence == 0xFFFF ? 1 : static_cast<std::uint16_t>(sequence + 1);
    return !record_in_use && record_sequence == freed;
}

bool parse_file_name(const std::uint8_t* value, std::size_t length, file_name_s* out) {
    if (length < 0x42) {
        return false;
    }
    const std::size_t units = value[0x40];        // 0x40: name length in UTF-16 units
    const std::uint8_t name_space = value[0x41];  // 0 POSIX, 1 Win32, 2 DOS, 3 both
    if (units == 0 || 0x42 + 2 * units > length || name_space > 3) {
        return false;
    }
    std::vector<char16_t> name(units);
    for (std::size_t i = 0; i < units; ++i) {
        name[i] = static_cast<char16_t>(le16(value + 0x42 + 2 * i));
        if (name[i] == 0 || name[i] == u'/') {
            return false;
        }
    }
    out->parent = le64(value);
    out->rank = name_space == 2 ? 0 : 1;
    out->name.swap(name);
    return true;
}

std::int64_t filetime_to_unix(std::uint64_t ticks) {
    if (ticks == 0) {
        return 0;  // never set (mkntfs -T writes zeros)
    }
    return static_cast<std::int64_t>(ticks / 10000000) - seconds_1601_to_1970;
}

void gather_attributes(const std::uint8_t* record, std::size_t size, std::uint64_t total_clusters,
                       file_facts_s* facts, bool keep_data) {
    attribute_walker_c walker(record, size);
    attribute_s a;
    while (walker.next(&a)) {
        switch (a.type) {
            case attr_standard_information:
                if (a.resident && a.value_length >= 32 && !facts->has_standard_information) {
                    facts->has_standard_information = true;
                    facts->creation_time = filetime_to_unix(le64(a.value));
                    facts->write_time = filetime_to_unix(le64(a.value + 8));
                    facts->change_ticks = le64(a.value + 16);
                    facts->change_time = filetime_to_unix(facts->change_ticks);
                }
                break;
            case attr_file_name: {
                file_name_s found;
                if (!a.resident || !parse_file_name(a.value, a.value_length, &found) ||
                    found.rank <= facts->name_rank) {
                    break;
                }
                facts->has_name = true;
                facts->name_rank = found.rank;
                facts->parent = found.parent;
                facts->name.swap(found.name);
                break;
            }
            case attr_attribute_list:
                if (facts->has_attribute_list) {
                    break;
                }
                facts->has_attribute_list = true;
                if (a.resident) {
                    facts->list_value.assign(a.value, a.value + a.value_length);
                } else if (a.start_vcn == 0) {
                    facts->list_size = std::min<std::uint64_t>(a.real_size, max_list_bytes);
                    decode_runs(a.runs, a.runs_length, 0, total_clusters, 1024, &facts->list_runs);
                }
                break;
            case attr_data: {
                if (a.name_length != 0) {
                    note_stream(a, facts);
                }
                if (!same_name(a, facts->select_stream)) {
                    break;  // another stream than the one read
                }
                if (a.resident) {
                    if (!facts->has_data) {
                        facts->has_data = true;
                        facts->data_resident = true;
                        if (keep_data) {
                            facts->resident_data.assign(a.value, a.value + a.value_length);
                        }
                        facts->data_size = a.value_length;
                        facts->initialized_size = a.value_length;
                    }
                    break;
                }
                if (facts->data_resident) {
                    break;
                }
                facts->has_data = true;
                if (a.start_vcn == 0) {
                    facts->data_size = a.real_size;
                    facts->initialized_size = a.initialized_size;
                    facts->data_flags = a.flags;
                    facts->compression_unit = a.compression_unit;
                }
                if (!decode_runs(a.runs, a.runs_length, a.start_vcn, total_clusters,
                                 max_data_runs - std::min(max_data_runs, facts->runs.size()),
                                 &facts->runs)) {
                    facts->runs_damaged = true;
                }
                break;
            }
            case attr_index_root:
                if (facts->want_index && a.resident && same_name(a, u"$I30") &&
                    facts->index_root.empty()) {
                    facts->index_root.assign(a.value, a.value + a.value_length);
                }
                break;
            case attr_index_allocation:
                if (facts->want_index && !a.resident && same_name(a, u"$I30")) {
                    if (a.start_vcn == 0) {
                        facts->index_size = a.real_size;
                    }
                    decode_runs(a.runs, a.runs_length, a.start_vcn, total_clusters,
                                max_data_runs - std::min(max_data_runs, facts->index_runs.size()),
                                &facts->index_runs);
                }
                break;
            default:
                break;
        }
    }
}

bool finish_runs(file_facts_s* facts, std::uint64_t cluster_size) {
    auto& runs = facts->runs;
    std::stable_sort(runs.begin(), runs.end(),
                     [](const run_s& a, const run_s& b) { return a.vcn < b.vcn; });
    std::vector<run_s> kept;
    kept.reserve(runs.size());
    std::uint64_t end = 0;
    for (const run_s& run : runs) {
        if (run.vcn < end) {
            continue;  // an extent seen twice, or overlapping runs from a damaged list
        }
        kept.push_back(run);
        end = run.vcn + run.length;
    }
    runs.swap(kept);
    const std::uint64_t needed =
        facts->data_size / cluster_size + (facts->data_size % cluster_size != 0 ? 1 : 0);
    std::uint64_t cursor = 0;
    for (const run_s& run : runs) {
        if (cursor >= needed) {
            break;
        }
        if (run.vcn != cursor) {
            return false;
        }
        cursor += run.length;
    }
    return cursor >= needed;
}

}  // namespace ntfs
