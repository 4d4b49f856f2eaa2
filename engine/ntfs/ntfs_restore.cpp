// The NTFS library's restore: writes one record's unnamed data stream to a file.
#include "ntfs_state.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include <unistd.h>

namespace {

using namespace ntfs;

// Writes the data of facts to out: resident bytes, or the runs up to the initialised size.
// Holes (sparse runs, and the bytes after the initialised size) are skipped with a seek and
// the file is cut to its size at the end, so they read as zeros without being written one
// by one: a sparse file may be far larger than its volume.
int write_data(scan_state_s* s, const file_facts_s& f, std::FILE* out) {
    if (f.data_resident) {
        if (!f.resident_data.empty() &&
            std::fwrite(f.resident_data.data(), 1, f.resident_data.size(), out) !=
                f.resident_data.size()) {
            return ntfs_error_write;
        }
        return 0;
    }
    if (f.data_flags & (attribute_compressed | attribute_encrypted) || f.runs_damaged ||
        f.data_size > static_cast<std::uint64_t>(INT64_MAX)) {
        return ntfs_error_no_data;
    }
    const std::uint64_t cs = s->boot.cluster_size;
    const std::uint64_t initialized = std::min(f.initialized_size, f.data_size);
    std::vector<std::uint8_t> buffer(block_bytes);
    std::uint64_t done = 0;
    auto run = f.runs.begin();
    while (done < initialized) {
        const std::uint64_t vcn = done / cs;
        while (run != f.runs.end() && vcn >= run->vcn + run->length) {
            ++run;
        }
        if (run == f.runs.end() || vcn < run->vcn) {
            return ntfs_error_no_data;  // finish_runs has checked this; a guard only
        }
        const std::uint64_t run_end = std::min((run->vcn + run->length) * cs, initialized);
        if (run->lcn < 0) {
            if (fseeko(out, static_cast<off_t>(run_end - done), SEEK_CUR) != 0) {
                return ntfs_error_write;
            }
            done = run_end;
            continue;
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), run_end - done));
        if (!read_stream(s, f.runs, done, buffer.data(), piece, false)) {
            return ntfs_error_read;
        }
        if (std::fwrite(buffer.data(), 1, piece, out) != piece) {
            return ntfs_error_write;
        }
        done += piece;
    }
    if (std::fflush(out) != 0 || ftruncate(fileno(out), static_cast<off_t>(f.data_size)) != 0) {
        return ntfs_error_write;
    }
    return 0;
}

}  // namespace

extern "C" {

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
        gather_file(s, record_number, record.data(), &facts, true);
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
}
