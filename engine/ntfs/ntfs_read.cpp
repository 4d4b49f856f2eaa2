// Reads shared by the NTFS library's scan and restore: volume bytes, streams through their
// runs, single records, and a file's attributes over its extension records.
#include "ntfs_state.h"

#include <algorithm>
#include <cstring>

namespace ntfs {
namespace {

constexpr std::size_t max_extension_records = 512;

}  // namespace

// Reads volume bytes; a read past the volume or a short read fails.
bool read_volume(scan_state_s* s, std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > s->volume_bytes || length > s->volume_bytes - offset) {
        return false;
    }
    return s->device->read_at(s->volume_offset + offset, buffer, length) == 0;
}

// Reads length bytes at byte offset of a non-resident stream described by runs. Sparse
// clusters read as zeros; bytes past the last run fail. With tolerate set, a piece that
// cannot be read is zeroed and the read goes on (and still reports failure).
bool read_stream(scan_state_s* s, const std::vector<run_s>& runs, std::uint64_t offset,
                 std::uint8_t* out, std::size_t length, bool tolerate) {
    const std::uint64_t cs = s->boot.cluster_size;
    bool ok = true;
    auto run = std::upper_bound(runs.begin(), runs.end(), offset / cs,
                                [](std::uint64_t vcn, const run_s& r) { return vcn < r.vcn; });
    if (run == runs.begin()) {
        std::memset(out, 0, length);
        return false;
    }
    --run;
    while (length > 0) {
        const std::uint64_t vcn = offset / cs;
        while (run != runs.end() && vcn >= run->vcn + run->length) {
            ++run;
        }
        if (run == runs.end() || vcn < run->vcn) {
            std::memset(out, 0, length);
            return false;
        }
        const std::uint64_t run_end = (run->vcn + run->length) * cs;
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, run_end - offset));
        if (piece == 0) {
            std::memset(out, 0, length);  // cluster numbers that wrap: a damaged list
            return false;
        }
        if (run->lcn < 0) {
            std::memset(out, 0, piece);
        } else {
            const std::uint64_t at =
                static_cast<std::uint64_t>(run->lcn) * cs + (offset - run->vcn * cs);
            if (!read_volume(s, at, out, piece)) {
                ok = false;
                if (!tolerate) {
                    return false;
                }
                std::memset(out, 0, piece);
            }
        }
        out += piece;
        offset += piece;
        length -= piece;
    }
    return ok;
}

// Reads one record by number into buffer and applies its fixups.
bool read_record(scan_state_s* s, std::uint64_t number, std::vector<std::uint8_t>* buffer) {
    if (number >= s->mft_records) {
        return false;
    }
    const std::uint32_t rs = s->boot.record_size;
    buffer->resize(rs);
    return read_stream(s, s->mft_runs, number * rs, buffer->data(), rs, false) &&
           apply_fixups(buffer->data(), rs);
}

namespace {

// The name of a file whose $FILE_NAME the attribute list places in an extension record that
// no longer holds it: a driver that deletes such a file empties the extension record, and
// the attribute's bytes stay after the record's end marker.
void name_from_list(scan_state_s* s, std::uint64_t number, file_facts_s* facts) {
    std::size_t tried = 0;
    for (const list_entry_s& entry : s->list_entries) {
        if (entry.type != attr_file_name || entry.record_number == number ||
            ++tried > max_extension_records) {
            continue;
        }
        record_header_s header;
        file_name_s found;
        if (!read_record(s, entry.record_number, &s->extension) ||
            !parse_record_header(s->extension.data(), s->extension.size(), &header) ||
            (header.base_reference & reference_mask) != number ||
            !removed_file_name(s->extension.data(), s->extension.size(), entry.attribute_id,
                               &found) ||
            found.rank <= facts->name_rank) {
            continue;
        }
        facts->has_name = true;
        facts->name_rank = found.rank;
        facts->parent = found.parent;
        facts->name.swap(found.name);
    }
}

}  // namespace

// Adds the attributes held in the extension records that a base record's attribute list
// names. A list that names its own record, a record of another file or more records than
// any file needs is not followed further.
void gather_extensions(scan_state_s* s, std::uint64_t number, file_facts_s* facts, bool keep_data) {
    std::vector<std::uint8_t> list;
    if (!facts->list_value.empty()) {
        list.swap(facts->list_value);
    } else if (!facts->list_runs.empty() && facts->list_size > 0) {
        list.resize(static_cast<std::size_t>(facts->list_size));
        if (!read_stream(s, facts->list_runs, 0, list.data(), list.size(), true)) {
            return;
        }
    }
    s->list_entries.clear();
    parse_attribute_list(list.data(), list.size(), &s->list_entries);
    std::vector<std::uint64_t> seen;
    for (const list_entry_s& entry : s->list_entries) {
        const std::uint64_t other = entry.record_number;
        if (other == number || std::find(seen.begin(), seen.end(), other) != seen.end()) {
            continue;
        }
        if (seen.size() >= max_extension_records) {
            break;
        }
        seen.push_back(other);
        record_header_s header;
        if (!read_record(s, other, &s->extension) ||
            !parse_record_header(s->extension.data(), s->extension.size(), &header) ||
            (header.base_reference & reference_mask) != number) {
            continue;
        }
        const bool had_list = facts->has_attribute_list;
        gather_attributes(s->extension.data(), s->extension.size(), s->boot.total_clusters, facts,
                          keep_data);
        facts->has_attribute_list = had_list;  // lists inside extensions are not followed
    }
    if (!facts->has_name) {
        name_from_list(s, number, facts);
    }
}

namespace {

void clear_facts(file_facts_s* f) {
    f->has_standard_information = f->has_name = f->has_attribute_list = false;
    f->has_data = f->data_resident = f->runs_damaged = false;
    f->creation_time = f->write_time = f->change_time = 0;
    f->change_ticks = 0;
    f->name_rank = -1;
    f->parent = f->list_size = f->data_size = f->initialized_size = 0;
    f->data_flags = f->compression_unit = 0;
    f->name.clear();
    f->list_value.clear();
    f->list_runs.clear();
    f->resident_data.clear();
    f->runs.clear();
    f->streams.clear();
    f->index_root.clear();
    f->index_runs.clear();
    f->index_size = 0;
}

}  // namespace

namespace {

// A deleted file's attribute list may be an old copy that misses extension records added
// later: the extension records that name the record as their base (with its sequence
// number) are read as well. True when some were.
bool gather_unlisted(scan_state_s* s, std::uint64_t number, const std::uint8_t* record,
                     file_facts_s* facts) {
    if (!s->extensions_sorted) {
        std::sort(s->extensions.begin(), s->extensions.end(), [](const auto& a, const auto& b) {
            return (a.first & reference_mask) != (b.first & reference_mask)
                       ? (a.first & reference_mask) < (b.first & reference_mask)
                       : a.second < b.second;
        });
        s->extensions_sorted = true;
    }
    const std::uint16_t sequence = le16(record + 0x10);
    const bool in_use = le16(record + 0x16) & record_in_use;
    auto it = std::lower_bound(
        s->extensions.begin(), s->extensions.end(), number,
        [](const auto& e, std::uint64_t n) { return (e.first & reference_mask) < n; });
    bool added = false;
    for (std::size_t count = 0;
         it != s->extensions.end() && (it->first & reference_mask) == number &&
         count < max_extension_records;
         ++it, ++count) {
        if (!reference_matches(reference_sequence(it->first), sequence, in_use)) {
            continue;
        }
        record_header_s header;
        if (!read_record(s, it->second, &s->extension) ||
            !parse_record_header(s->extension.data(), s->extension.size(), &header) ||
            header.base_reference != it->first) {
            continue;
        }
        const bool had_list = facts->has_attribute_list;
        gather_attributes(s->extension.data(), s->extension.size(), s->boot.total_clusters, facts,
                          true);
        facts->has_attribute_list = had_list;
        added = true;
    }
    return added;
}

}  // namespace

// Gathers the facts of a base record (fixups applied) and of its extension records.
void gather_file(scan_state_s* s, std::uint64_t number, const std::uint8_t* record,
                 file_facts_s* facts, bool keep_data) {
    clear_facts(facts);
    gather_attributes(record, s->boot.record_size, s->boot.total_clusters, facts, keep_data);
    if (facts->has_attribute_list) {
        gather_extensions(s, number, facts, keep_data);
    }
    if (facts->has_data && !facts->data_resident) {
        if (!finish_runs(facts, s->boot.cluster_size) && keep_data &&
            gather_unlisted(s, number, record, facts)) {
            facts->runs_damaged = false;
        }
        if (!finish_runs(facts, s->boot.cluster_size)) {
            facts->runs_damaged = true;
        }
        // A file cannot own more clusters than the volume has: runs that claim so repeat
        // themselves and would make a restore write without end.
        std::uint64_t allocated = 0;
        for (const run_s& run : facts->runs) {
            allocated += run.lcn >= 0 ? run.length : 0;
        }
        if (allocated > s->boot.total_clusters) {
            facts->runs_damaged = true;
        }
    }
}

}  // namespace ntfs
