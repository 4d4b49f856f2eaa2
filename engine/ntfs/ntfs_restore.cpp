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
// Holes (sparse runs, and the bytes after the initialised size) go out as runs of zeros,
// never byte by byte: a sparse file may be far larger than its volume.
int write_data(scan_state_s* s, const file_facts_s& f, const ntfs_restore_output* out) {
    if (f.data_resident) {
        if (!f.resident_data.empty() &&
            out->write(out->owner, f.resident_data.data(), f.resident_data.size()) != 0) {
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
            if (out->zeros(out->owner, run_end - done) != 0) {
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
        if (out->write(out->owner, buffer.data(), piece) != 0) {
            return ntfs_error_write;
        }
        done += piece;
    }
    if (f.data_size > initialized && out->zeros(out->owner, f.data_size - initialized) != 0) {
        return ntfs_error_write;
    }
    return 0;
}

// An output into a stdio file of a path: holes are seeks, and the length is set at the end.
struct file_output_s {
    std::FILE* file;
    std::uint64_t length = 0;
};

int file_write(void* owner, const void* data, std::size_t bytes) {
    auto* o = static_cast<file_output_s*>(owner);
    o->length += bytes;
    return std::fwrite(data, 1, bytes, o->file) == bytes ? 0 : -1;
}

int file_zeros(void* owner, std::uint64_t bytes) {
    auto* o = static_cast<file_output_s*>(owner);
    o->length += bytes;
    return fseeko(o->file, static_cast<off_t>(bytes), SEEK_CUR) == 0 ? 0 : -1;
}

}  // namespace

extern "C" {

int ntfs_restore_record(ntfs_scan_context* context, std::uint64_t record_number, const char* path) {
    if (!state_of(context)) {
        return ntfs_error_no_scan;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        return ntfs_error_write;
    }
    file_output_s sink{file};
    const ntfs_restore_output output{&sink, file_write, file_zeros};
    int result = ntfs_restore_record_to(context, record_number, &output);
    if (result == 0 &&
        (std::fflush(file) != 0 || ftruncate(fileno(file), static_cast<off_t>(sink.length)) != 0)) {
        result = ntfs_error_write;
    }
    if (std::fclose(file) != 0 && result == 0) {
        result = ntfs_error_write;
    }
    if (result != 0) {
        std::remove(path);  // no empty or partial file under the name
    }
    return result;
}

int ntfs_restore_record_to(ntfs_scan_context* context, std::uint64_t record_number,
                           const ntfs_restore_output* output) {
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
        return facts.has_data ? write_data(s, facts, output) : 0;
    } catch (const std::bad_alloc&) {
        return ntfs_error_no_memory;
    }
}
}
