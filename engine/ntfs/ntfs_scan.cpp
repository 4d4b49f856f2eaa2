// The NTFS library's scan: opens the volume, reads the $MFT in large sequential blocks and
// hands out its file records one by one.
#include "ntfs_scan.h"

#include "device/platform/platform_device.h"
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_state.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace ntfs {

bool parse_device_name(const char* name, int* drive, int* partition) {
    if (!name || std::strncmp(name, "/dev/hd", 7) != 0) {
        return false;
    }
    const char* p = name + 7;
    int letters = 0;
    int index = 0;  // letters as a bijective base-26 number: a = 1, z = 26, aa = 27
    for (; *p >= 'a' && *p <= 'z'; ++p) {
        if (++letters > 3) {
            return false;
        }
        index = index * 26 + (*p - 'a' + 1);
    }
    if (letters == 0 || *p == 0) {
        return false;
    }
    int number = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || number > 100000) {
            return false;
        }
        number = number * 10 + (*p - '0');
    }
    *drive = index - 1;
    *partition = number;
    return true;
}

}  // namespace ntfs

namespace {

using namespace ntfs;

constexpr std::size_t bitmap_chunk = 1 << 16;     // bytes of $Bitmap per cached piece
constexpr std::size_t bitmap_cache_chunks = 256;  // at most 16 MiB of $Bitmap in memory
constexpr std::size_t max_mft_runs = 1 << 16;
constexpr std::uint64_t mft_record_number = 0;
constexpr std::size_t max_extensions = std::size_t{1} << 22;
constexpr std::uint64_t bitmap_record_number = 6;
constexpr std::uint64_t last_system_record = 11;  // records 0-11 are the volume's own files
constexpr std::size_t max_folders = std::size_t{1} << 24;
constexpr std::size_t max_nameless = std::size_t{1} << 20;
constexpr std::size_t max_streams_checked = 16;  // of one file

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
    out->parent_number = f.parent & reference_mask;
    out->sequence = header.sequence;
    out->parent_sequence = reference_sequence(f.parent);
    out->reserved = 0;
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
        if (f.data_flags & attribute_encrypted || f.runs_damaged) {
            out->extra_flags |= ntfs_extra_unreadable;
        }
        if (deleted && !directory && clusters_in_use(s, f.runs)) {
            out->extra_flags |= ntfs_extra_overwritten;
        }
    }
    if (!f.has_name) {
        // A deleted file whose name went with an extension record the driver emptied: its
        // data may be whole. It is named after its record and has no parent.
        char text[48];
        const int length = std::snprintf(text, sizeof text, "[record %llu]",
                                         static_cast<unsigned long long>(number));
        for (int i = 0; i <= length; ++i) {
            out->name[i] = static_cast<char16_t>(text[i]);
        }
        out->parent_number = 0;
        out->parent_sequence = 0;
        return;
    }
    const std::size_t units = std::min<std::size_t>(f.name.size(), ntfs_record_name_units - 1);
    std::copy(f.name.begin(), f.name.begin() + static_cast<std::ptrdiff_t>(units), out->name);
    out->name[units] = 0;
}

// Queues the named streams of the file just filled into file (its base record raw, fixups
// applied), each as a record of its own: "name:stream", the stream's size and key, and its
// own flags for damaged or reused clusters. The volume's own records' streams are not files.
void queue_streams(scan_state_s* s, const std::uint8_t* raw, const record_header_s& header,
                   const ntfs_record& file) {
    s->pending_streams.clear();
    s->pending_next = 0;
    if (s->facts.streams.empty() || file.record_number <= last_system_record) {
        return;
    }
    const std::vector<stream_info_s> streams = s->facts.streams;
    std::size_t base_units = 0;
    while (base_units < ntfs_record_name_units - 1 && file.name[base_units]) {
        ++base_units;
    }
    std::size_t checked = 0;
    for (std::size_t i = 0; i < streams.size() && i < ntfs_max_streams; ++i) {
        ntfs_record out = file;
        out.record_number = ntfs_stream_key(file.record_number, static_cast<std::uint32_t>(i + 1));
        out.flags = (file.flags & ntfs_flag_deleted) | ntfs_flag_file | ntfs_flag_stream;
        out.size = streams[i].size;
        out.extra_flags = 0;
        // "name:stream", cut to what the record holds: the stream's name first keeps its
        // whole, the file's name is cut when both do not fit.
        const std::u16string& stream = streams[i].name;
        const std::size_t room = ntfs_record_name_units - 1;
        const std::size_t stream_units = std::min(stream.size(), room - 1);
        const std::size_t keep = std::min(base_units, room - 1 - stream_units);
        out.name[keep] = u':';
        std::copy(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream_units),
                  out.name + keep + 1);
        out.name[keep + 1 + stream_units] = 0;
        if (streams[i].resident) {
            s->pending_streams.push_back(out);  // held in the record: no clusters to check
            continue;
        }
        if (++checked > max_streams_checked) {
            // Each check reads the file's records again: past the first streams a deleted
            // file's are flagged, not checked.
            out.extra_flags |= (file.flags & ntfs_flag_deleted) ? ntfs_extra_overwritten : 0;
            s->pending_streams.push_back(out);
            continue;
        }
        s->facts.select_stream = stream;
        gather_file(s, file.record_number, raw, &s->facts, false);
        if (s->facts.has_data && !s->facts.data_resident) {
            out.size = s->facts.data_size;
            if (s->facts.data_flags & attribute_encrypted || s->facts.runs_damaged) {
                out.extra_flags |= ntfs_extra_unreadable;
            }
            if (!(header.flags & record_in_use) && clusters_in_use(s, s->facts.runs)) {
                out.extra_flags |= ntfs_extra_overwritten;
            }
        }
        s->pending_streams.push_back(out);
    }
    s->facts.select_stream.clear();
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

// Resolves "/dev/hd<letters><number>" to a drive and a byte range on it.
int open_device(const char* name, scan_state_s* s) {
    int drive = 0;
    int partition = 0;
    if (!parse_device_name(name, &drive, &partition)) {
        return ntfs_error_device_name;
    }
    const auto drives = platform::list_drives();
    if (drive >= static_cast<int>(drives.size())) {
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
        gather_extensions(s, mft_record_number, &facts, false);
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
        if (s->pending_next < s->pending_streams.size()) {
            *record = s->pending_streams[s->pending_next++];
            return 1;
        }
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
                note_claims(s, number, header, raw, nullptr);
                if (s->extensions.size() < max_extensions) {
                    s->extensions.emplace_back(header.base_reference, number);
                    s->extensions_sorted = false;
                }
                continue;  // an extension record: read with its base record
            }
            s->facts.select_stream.clear();
            gather_file(s, number, raw, &s->facts, false);
            note_claims(s, number, header, raw, &s->facts);
            if ((header.flags & record_directory) && s->folders.size() < max_folders) {
                s->folders.push_back(number);
            }
            const bool nameless_data = !(header.flags & record_in_use) &&
                                       !(header.flags & record_directory) && s->facts.has_data &&
                                       s->facts.has_attribute_list;
            if (nameless_data && (!s->facts.has_name || s->facts.runs_damaged) &&
                s->nameless.size() < max_nameless) {
                // Handed out after the $MFT's end: named then where an index still names it,
                // and read with the extension records its attribute list no longer names.
                s->nameless.emplace_back(number, header.sequence);
                continue;
            }
            if (!s->facts.has_name && !nameless_data) {
                continue;
            }
            fill_record(s, number, header, s->facts, record);
            queue_streams(s, raw, header, *record);
            return 1;
        }
        if (!s->names_searched) {
            search_index_names(s);
        }
        while (s->nameless_next < s->nameless.size()) {
            const std::uint64_t number = s->nameless[s->nameless_next++].first;
            record_header_s header;
            if (!read_record(s, number, &s->deferred) ||
                !parse_record_header(s->deferred.data(), s->deferred.size(), &header)) {
                continue;
            }
            const std::vector<std::uint8_t> raw = s->deferred;
            s->facts.select_stream.clear();
            // Every extension record is known by now: those the attribute list no longer
            // names are read too (which a scan in progress leaves to the restore).
            gather_file(s, number, raw.data(), &s->facts, true);
            if (!s->facts.has_name) {
                if (const file_name_s* found = index_name(s, number)) {
                    s->facts.has_name = true;
                    s->facts.parent = found->parent;
                    s->facts.name = found->name;
                }
            }
            fill_record(s, number, header, s->facts, record);
            queue_streams(s, raw.data(), header, *record);
            return 1;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 0;
}

int ntfs_scan_overwritten(ntfs_scan_context* context, std::uint64_t record_number) {
    scan_state_s* s = state_of(context);
    if (!s) {
        return ntfs_error_no_scan;
    }
    try {
        sort_claims(s);
    } catch (const std::bad_alloc&) {
        return ntfs_error_no_memory;
    }
    // A named stream shares its file's record, and the record's claims.
    return std::binary_search(s->overwritten.begin(), s->overwritten.end(),
                              record_number & reference_mask)
               ? 1
               : 0;
}

int ntfs_scan_end(ntfs_scan_context* context) {
    if (context && context->started) {
        delete static_cast<scan_state_s*>(context->state);
        context->state = nullptr;
        context->started = 0;
    }
    return 0;
}

const char* ntfs_error_text(int code) {
    switch (code) {
        case 0:
            return "success";
        case ntfs_error_device_name:
            return "not a device name of the form /dev/hd<letters><number>";
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
            return "the data is encrypted or its runs are damaged";
        case ntfs_error_read:
            return "a cluster could not be read";
        case ntfs_error_write:
            return "the destination could not be written";
        case ntfs_error_bad_compression:
            return "a compression unit of the data is damaged";
    }
    return "unknown result";
}
}
