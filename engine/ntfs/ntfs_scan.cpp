// The NTFS library: reads the $MFT of a volume in large sequential blocks, hands out its file
// records one by one, and writes a record's data stream out on request.
#include "ntfs_scan.h"

#include "device/platform/platform_device.h"
#include "engine/ntfs/ntfs_format.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

using namespace ntfs;

constexpr std::size_t block_bytes = 1 << 20;      // one sequential read of the $MFT
constexpr std::size_t bitmap_chunk = 1 << 16;     // bytes of $Bitmap per cached piece
constexpr std::size_t bitmap_cache_chunks = 256;  // at most 16 MiB of $Bitmap in memory
constexpr std::size_t max_extension_records = 512;
constexpr std::size_t max_mft_runs = 1 << 16;
constexpr std::uint64_t mft_record_number = 0;
constexpr std::uint64_t bitmap_record_number = 6;

// The library's state behind a context block.
struct scan_state_s {
    std::unique_ptr<platform::device_source_c> device;
    std::uint64_t volume_offset = 0;  // bytes from the start of the drive
    std::uint64_t volume_bytes = 0;
    boot_info_s boot;
    std::vector<run_s> mft_runs;
    std::uint64_t mft_records = 0;
    std::uint64_t next_record = 0;
    // The block of records read last: records block_first .. block_first + block_count - 1.
    std::vector<std::uint8_t> block;
    std::uint64_t block_first = 0;
    std::uint64_t block_count = 0;
    std::vector<std::uint8_t> extension;  // one record read on its own
    file_facts_s facts;                   // reused from record to record
    std::vector<list_entry_s> list_entries;
    // The volume's cluster bitmap, read in pieces as deleted files need it.
    std::vector<run_s> bitmap_runs;
    std::uint64_t bitmap_bytes = 0;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> bitmap_cache;
};

scan_state_s* state_of(ntfs_scan_context* context) {
    return context && context->started ? static_cast<scan_state_s*>(context->state) : nullptr;
}

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

// Adds the attributes held in the extension records that a base record's attribute list
// names. A list that names its own record, a record of another file or more records than
// any file needs is not followed further.
void gather_extensions(scan_state_s* s, std::uint64_t number, file_facts_s* facts) {
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
        gather_attributes(s->extension.data(), s->extension.size(), s->boot.total_clusters, facts);
        facts->has_attribute_list = had_list;  // lists inside extensions are not followed
    }
}

void clear_facts(file_facts_s* f) {
    f->has_standard_information = f->has_name = f->has_attribute_list = false;
    f->has_data = f->data_resident = f->runs_damaged = false;
    f->creation_time = f->write_time = f->change_time = 0;
    f->name_rank = -1;
    f->parent = f->list_size = f->data_size = f->initialized_size = 0;
    f->data_flags = f->compression_unit = 0;
    f->name.clear();
    f->list_value.clear();
    f->list_runs.clear();
    f->resident_data.clear();
    f->runs.clear();
}

// Gathers the facts of a base record (fixups applied) and of its extension records.
void gather_file(scan_state_s* s, std::uint64_t number, const std::uint8_t* record,
                 file_facts_s* facts) {
    clear_facts(facts);
    gather_attributes(record, s->boot.record_size, s->boot.total_clusters, facts);
    if (facts->has_attribute_list) {
        gather_extensions(s, number, facts);
    }
    if (facts->has_data && !facts->data_resident) {
        if (!finish_runs(facts, s->boot.cluster_size)) {
            facts->runs_damaged = true;
        }
    }
}

// The piece of $Bitmap that holds byte index; null when it cannot be read.
const std::uint8_t* bitmap_piece(scan_state_s* s, std::uint64_t index) {
    const std::uint64_t chunk = index / bitmap_chunk;
    auto found = s->bitmap_cache.find(chunk);
    if (found != s->bitmap_cache.end()) {
        return found->second.data();
    }
    const std::uint64_t start = chunk * bitmap_chunk;
    if (start >= s->bitmap_bytes) {
        return nullptr;
    }
    std::vector<std::uint8_t> piece(bitmap_chunk, 0);
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(bitmap_chunk, s->bitmap_bytes - start));
    if (!read_stream(s, s->bitmap_runs, start, piece.data(), length, false)) {
        return nullptr;
    }
    if (s->bitmap_cache.size() >= bitmap_cache_chunks) {
        s->bitmap_cache.clear();
    }
    return s->bitmap_cache.emplace(chunk, std::move(piece)).first->second.data();
}

// True when some cluster of the runs is marked in use in $Bitmap now.
bool clusters_in_use(scan_state_s* s, const std::vector<run_s>& runs) {
    for (const run_s& run : runs) {
        if (run.lcn < 0) {
            continue;
        }
        std::uint64_t cluster = static_cast<std::uint64_t>(run.lcn);
        const std::uint64_t end = cluster + run.length;
        while (cluster < end) {
            const std::uint8_t* piece = bitmap_piece(s, cluster / 8);
            if (!piece) {
                return false;  // no bitmap to tell: not claimed as overwritten
            }
            const std::uint8_t byte = piece[(cluster / 8) % bitmap_chunk];
            if (cluster % 8 == 0 && end - cluster >= 8) {
                if (byte != 0) {
                    return true;
                }
                cluster += 8;
                continue;
            }
            if (byte & (1u << (cluster % 8))) {
                return true;
            }
            ++cluster;
        }
    }
    return false;
}

void fill_record(scan_state_s* s, std::uint64_t number, const record_header_s& header,
                 const file_facts_s& f, ntfs_record* out) {
    out->record_number = number;
    out->parent_number = f.parent;
    const bool directory = header.flags & record_directory;
    const bool deleted = !(header.flags & record_in_use);
    out->flags =
        (directory ? ntfs_flag_directory : ntfs_flag_file) | (deleted ? ntfs_flag_deleted : 0);
    out->size = directory || !f.has_data ? 0 : f.data_size;
    out->creation_time = f.creation_time;
    out->change_time = f.change_time;
    out->write_time = f.write_time;
    out->extra_flags = 0;
    if (f.has_data && !f.data_resident) {
        if (f.data_flags & (attribute_compressed | attribute_encrypted) || f.runs_damaged) {
            out->extra_flags |= ntfs_extra_unreadable;
        }
        if (deleted && !directory && clusters_in_use(s, f.runs)) {
            out->extra_flags |= ntfs_extra_overwritten;
        }
    }
    const std::size_t units = std::min<std::size_t>(f.name.size(), ntfs_record_name_units - 1);
    std::copy(f.name.begin(), f.name.begin() + static_cast<std::ptrdiff_t>(units), out->name);
    out->name[units] = 0;
}

// Reads the block of records that starts at first; unreadable pieces read as zeros.
void load_block(scan_state_s* s, std::uint64_t first) {
    const std::uint32_t rs = s->boot.record_size;
    const std::uint64_t count = std::min<std::uint64_t>(block_bytes / rs, s->mft_records - first);
    s->block.resize(static_cast<std::size_t>(count * rs));
    read_stream(s, s->mft_runs, first * rs, s->block.data(), s->block.size(), true);
    s->block_first = first;
    s->block_count = count;
}

void add_term(std::int32_t* term, std::int32_t amount) {
    if (*term <= INT32_MAX - amount) {
        *term += amount;
    }
}

// Resolves "/dev/hd<letter><number>" to a drive and a byte range on it.
int open_device(const char* name, scan_state_s* s) {
    if (!name || std::strncmp(name, "/dev/hd", 7) != 0 || name[7] < 'a' || name[7] > 'z') {
        return ntfs_error_device_name;
    }
    const int drive = name[7] - 'a';
    int partition = 0;
    const char* p = name + 8;
    if (*p == 0) {
        return ntfs_error_device_name;
    }
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || partition > 100000) {
            return ntfs_error_device_name;
        }
        partition = partition * 10 + (*p - '0');
    }
    const auto drives = platform::list_drives();
    if (drive >= static_cast<int>(drives.size()) || drive >= 10) {
        return ntfs_error_no_volume;
    }
    const platform::drive_desc_s& desc = drives[static_cast<std::size_t>(drive)];
    s->device = platform::open_drive(desc, nullptr);
    if (!s->device) {
        return ntfs_error_open;
    }
    if (partition == 0) {
        s->volume_offset = 0;
        s->volume_bytes = s->device->byte_size();
        return 0;
    }
    for (const platform::volume_desc_s& v : platform::probe_drive(desc).volumes) {
        if (v.partition_number == partition) {
            s->volume_offset = v.start_sector * 512;
            s->volume_bytes = v.byte_size;
            return 0;
        }
    }
    return ntfs_error_no_volume;
}

// Reads the boot sector, the $MFT's own record (and its extension records) and $Bitmap's.
int open_volume(scan_state_s* s) {
    std::uint8_t boot[512];
    if (!read_volume(s, 0, boot, sizeof boot)) {
        return ntfs_error_open;
    }
    if (!parse_boot_sector(boot, sizeof boot, &s->boot)) {
        return ntfs_error_not_ntfs;
    }
    const std::uint64_t cs = s->boot.cluster_size;
    const std::uint32_t rs = s->boot.record_size;
    s->boot.total_clusters = std::min(s->boot.total_clusters, s->volume_bytes / cs);
    if (s->boot.mft_lcn >= s->boot.total_clusters) {
        return ntfs_error_bad_mft;
    }
    // Record 0 is read from the cluster the boot sector names; its first runs then lead
    // to any extension records of the $MFT itself.
    // When that record is damaged, the copy in $MFTMirr stands in for it.
    std::vector<std::uint8_t> record;
    bool read = false;
    for (std::uint64_t lcn : {s->boot.mft_lcn, s->boot.mirror_lcn}) {
        s->mft_runs = {run_s{0, static_cast<std::int64_t>(lcn), (rs + cs - 1) / cs}};
        s->mft_records = 1;
        if (lcn < s->boot.total_clusters && read_record(s, mft_record_number, &record)) {
            read = true;
            break;
        }
    }
    if (!read) {
        return ntfs_error_bad_mft;
    }
    file_facts_s facts;
    gather_attributes(record.data(), rs, s->boot.total_clusters, &facts);
    if (!facts.has_data || facts.data_resident || facts.runs.empty()) {
        return ntfs_error_bad_mft;
    }
    std::vector<run_s> first_runs = facts.runs;
    std::sort(first_runs.begin(), first_runs.end(),
              [](const run_s& a, const run_s& b) { return a.vcn < b.vcn; });
    s->mft_runs = first_runs;
    s->mft_records = std::min<std::uint64_t>(facts.data_size, s->volume_bytes) / rs;
    if (facts.has_attribute_list) {
        gather_extensions(s, mft_record_number, &facts);
    }
    finish_runs(&facts, cs);  // what is covered from VCN 0 on is used
    std::vector<run_s> runs;
    std::uint64_t covered = 0;
    for (const run_s& run : facts.runs) {
        if (run.vcn != covered || run.lcn < 0 || runs.size() >= max_mft_runs) {
            break;
        }
        runs.push_back(run);
        covered += run.length;
    }
    if (runs.empty()) {
        return ntfs_error_bad_mft;
    }
    s->mft_runs = runs;
    const std::uint64_t stream_bytes = std::min<std::uint64_t>(
        {facts.data_size, covered <= UINT64_MAX / cs ? covered * cs : UINT64_MAX, s->volume_bytes});
    s->mft_records = stream_bytes / rs;
    if (s->mft_records == 0) {
        return ntfs_error_bad_mft;
    }
    // $Bitmap: one bit per cluster, set while the cluster belongs to something.
    if (read_record(s, bitmap_record_number, &record)) {
        file_facts_s bitmap;
        gather_attributes(record.data(), rs, s->boot.total_clusters, &bitmap);
        if (bitmap.has_data && !bitmap.data_resident && finish_runs(&bitmap, cs)) {
            s->bitmap_runs = bitmap.runs;
            s->bitmap_bytes = std::min(bitmap.data_size, (s->boot.total_clusters + 7) / 8);
        }
    }
    return 0;
}

// Writes the data of facts to out: resident bytes, or the runs up to the initialised size
// and zeros after it and in holes.
int write_data(scan_state_s* s, const file_facts_s& f, std::FILE* out) {
    if (f.data_resident) {
        if (!f.resident_data.empty() &&
            std::fwrite(f.resident_data.data(), 1, f.resident_data.size(), out) !=
                f.resident_data.size()) {
            return ntfs_error_write;
        }
        return 0;
    }
    if (f.data_flags & (attribute_compressed | attribute_encrypted) || f.runs_damaged) {
        return ntfs_error_no_data;
    }
    const std::uint64_t initialized = std::min(f.initialized_size, f.data_size);
    std::vector<std::uint8_t> buffer(block_bytes);
    for (std::uint64_t done = 0; done < f.data_size;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), f.data_size - done));
        std::size_t from_disk = 0;
        if (done < initialized) {
            from_disk =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece, initialized - done));
            if (!read_stream(s, f.runs, done, buffer.data(), from_disk, false)) {
                return ntfs_error_read;
            }
        }
        std::memset(buffer.data() + from_disk, 0, piece - from_disk);
        if (std::fwrite(buffer.data(), 1, piece, out) != piece) {
            return ntfs_error_write;
        }
        done += piece;
    }
    return 0;
}

}  // namespace

extern "C" {

int ntfs_scan_startup(const char* device, ntfs_scan_context* context) {
    if (!context) {
        return ntfs_error_no_scan;
    }
    context->started = 0;
    context->state = nullptr;
    scan_state_s* s = new (std::nothrow) scan_state_s;
    if (!s) {
        return ntfs_error_no_memory;
    }
    int result = 0;
    try {
        result = open_device(device, s);
        if (result == 0) {
            result = open_volume(s);
        }
    } catch (const std::bad_alloc&) {
        result = ntfs_error_no_memory;
    }
    if (result != 0) {
        delete s;
        return result;
    }
    context->state = s;
    context->started = 1;
    context->progress_denominator = static_cast<std::int64_t>(s->mft_records) * 8;
    context->term_a = context->term_b = context->term_c = 0;
    return 0;
}

int ntfs_scan_next(ntfs_scan_context* context, ntfs_record* record) {
    scan_state_s* s = state_of(context);
    if (!s || !record) {
        return 0;
    }
    const std::uint32_t rs = s->boot.record_size;
    try {
        while (s->next_record < s->mft_records) {
            const std::uint64_t number = s->next_record++;
            if (number < s->block_first || number >= s->block_first + s->block_count) {
                load_block(s, number);
            }
            std::uint8_t* raw = s->block.data() + (number - s->block_first) * rs;
            record_header_s header;
            if (!apply_fixups(raw, rs) || !parse_record_header(raw, rs, &header)) {
                // A never-used record is zeros; anything else that fails is damaged.
                const bool blank = raw[0] == 0 && std::memcmp(raw, raw + 1, 63) == 0;
                add_term(blank ? &context->term_b : &context->term_c, blank ? 1 : 8);
                continue;
            }
            add_term(header.flags & record_in_use ? &context->term_a : &context->term_b, 1);
            if ((header.base_reference & reference_mask) != 0) {
                continue;  // an extension record: read with its base record
            }
            gather_file(s, number, raw, &s->facts);
            if (!s->facts.has_name) {
                continue;
            }
            fill_record(s, number, header, s->facts, record);
            return 1;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 0;
}

int ntfs_scan_end(ntfs_scan_context* context) {
    if (context && context->started) {
        delete static_cast<scan_state_s*>(context->state);
        context->state = nullptr;
        context->started = 0;
    }
    return 0;
}

int ntfs_restore_record(ntfs_scan_context* context, std::uint64_t record_number, const char* path) {
    scan_state_s* s = state_of(context);
    if (!s) {
        return ntfs_error_no_scan;
    }
    try {
        std::vector<std::uint8_t> record;
        record_header_s header;
        if (!read_record(s, record_number, &record) ||
            !parse_record_header(record.data(), record.size(), &header) ||
            (header.flags & record_directory) || (header.base_reference & reference_mask) != 0) {
            return ntfs_error_no_record;
        }
        file_facts_s facts;
        gather_file(s, record_number, record.data(), &facts);
        std::FILE* out = std::fopen(path, "wb");
        if (!out) {
            return ntfs_error_write;
        }
        int result = facts.has_data ? write_data(s, facts, out) : 0;
        if (std::fclose(out) != 0 && result == 0) {
            result = ntfs_error_write;
        }
        return result;
    } catch (const std::bad_alloc&) {
        return ntfs_error_no_memory;
    }
}

const char* ntfs_error_text(int code) {
    switch (code) {
        case 0:
            return "success";
        case ntfs_error_device_name:
            return "not a device name of the form /dev/hd<letter><number>";
        case ntfs_error_no_volume:
            return "no such drive or partition";
        case ntfs_error_open:
            return "the device cannot be opened or read";
        case ntfs_error_not_ntfs:
            return "not an NTFS volume";
        case ntfs_error_bad_mft:
            return "the $MFT cannot be read";
        case ntfs_error_no_memory:
            return "out of memory";
        case ntfs_error_no_scan:
            return "no scan has been started";
        case ntfs_error_no_record:
            return "the record holds no file";
        case ntfs_error_no_data:
            return "the data is compressed, encrypted or its runs are damaged";
        case ntfs_error_read:
            return "a cluster could not be read";
        case ntfs_error_write:
            return "the destination could not be written";
    }
    return "unknown result";
}
}
