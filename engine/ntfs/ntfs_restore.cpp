// The NTFS library's restore: writes one record's unnamed data stream to a sink, and the C
// calls that write it to the restore writer's output or to a file.
#include "ntfs_state.h"

#include "device/platform/safe_file.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ntfs {
namespace {

// At most 16 clusters of at most 4 KiB: NTFS compresses only on volumes of small clusters.
constexpr std::uint64_t max_unit_bytes = 65536;

// Writes the stored bytes of the runs from done up to end (holes skipped).
int write_plain(scan_state_s* s, const file_facts_s& f, std::uint64_t done, std::uint64_t end,
                std::vector<std::uint8_t>* buffer, data_sink_c* sink) {
    const std::uint64_t cs = s->boot.cluster_size;
    auto run = std::upper_bound(f.runs.begin(), f.runs.end(), done / cs,
                                [](std::uint64_t vcn, const run_s& r) { return vcn < r.vcn; });
    if (run == f.runs.begin()) {
        return ntfs_error_no_data;
    }
    --run;
    while (done < end) {
        const std::uint64_t vcn = done / cs;
        while (run != f.runs.end() && vcn >= run->vcn + run->length) {
            ++run;
        }
        if (run == f.runs.end() || vcn < run->vcn) {
            return ntfs_error_no_data;  // finish_runs has checked this; a guard only
        }
        const std::uint64_t run_end = std::min((run->vcn + run->length) * cs, end);
        if (run->lcn < 0) {
            if (!sink->skip(run_end - done)) {
                return ntfs_error_write;
            }
            done = run_end;
            continue;
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer->size(), run_end - done));
        if (!read_stream(s, f.runs, done, buffer->data(), piece, false)) {
            return ntfs_error_read;
        }
        if (!sink->write(buffer->data(), piece)) {
            return ntfs_error_write;
        }
        done += piece;
    }
    return 0;
}

// Clusters of [first, end) that the runs hold on the volume (not sparse).
std::uint64_t stored_clusters(const std::vector<run_s>& runs, std::uint64_t first,
                              std::uint64_t end) {
    std::uint64_t count = 0;
    auto run = std::upper_bound(runs.begin(), runs.end(), first,
                                [](std::uint64_t vcn, const run_s& r) { return vcn < r.vcn; });
    if (run != runs.begin()) {
        --run;
    }
    for (; run != runs.end() && run->vcn < end; ++run) {
        const std::uint64_t a = std::max(first, run->vcn);
        const std::uint64_t b = std::min(end, run->vcn + run->length);
        if (run->lcn >= 0 && b > a) {
            count += b - a;
        }
    }
    return count;
}

// Writes a compressed stream unit by unit: a unit without stored clusters is a hole, one
// whose clusters are all stored is kept as it is, and any other holds LZNT1 chunks.
int write_compressed(scan_state_s* s, const file_facts_s& f, std::uint64_t initialized,
                     data_sink_c* sink) {
    const std::uint64_t cs = s->boot.cluster_size;
    if (f.compression_unit == 0 || f.compression_unit > 16 ||
        (cs << f.compression_unit) > max_unit_bytes) {
        return ntfs_error_no_data;
    }
    const std::uint64_t unit_clusters = 1ull << f.compression_unit;
    const std::uint64_t unit_bytes = cs * unit_clusters;
    std::vector<std::uint8_t> stored(unit_bytes);
    std::vector<std::uint8_t> plain(unit_bytes);
    for (std::uint64_t start = 0; start < initialized; start += unit_bytes) {
        const std::uint64_t vcn = start / cs;
        const std::uint64_t clusters = stored_clusters(f.runs, vcn, vcn + unit_clusters);
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(unit_bytes, initialized - start));
        if (clusters == 0) {
            if (!sink->skip(length)) {
                return ntfs_error_write;
            }
            continue;
        }
        if (clusters >= unit_clusters) {
            const int result = write_plain(s, f, start, start + length, &stored, sink);
            if (result != 0) {
                return result;
            }
            continue;
        }
        const auto held = static_cast<std::size_t>(clusters * cs);
        if (!read_stream(s, f.runs, start, stored.data(), held, false)) {
            return ntfs_error_read;
        }
        if (!lznt1_decompress(stored.data(), held, plain.data(), plain.size())) {
            return ntfs_error_bad_compression;
        }
        if (!sink->write(plain.data(), length)) {
            return ntfs_error_write;
        }
    }
    return 0;
}

// Writes the data of facts: resident bytes, or the runs up to the initialised size; the
// bytes after it are zeros.
int write_data(scan_state_s* s, const file_facts_s& f, data_sink_c* sink) {
    if (f.data_resident) {
        if (!f.resident_data.empty() &&
            !sink->write(f.resident_data.data(), f.resident_data.size())) {
            return ntfs_error_write;
        }
        return sink->finish(f.resident_data.size()) ? 0 : ntfs_error_write;
    }
    if (f.data_flags & attribute_encrypted || f.runs_damaged ||
        f.data_size > static_cast<std::uint64_t>(INT64_MAX)) {
        return ntfs_error_no_data;
    }
    const std::uint64_t initialized = std::min(f.initialized_size, f.data_size);
    int result = 0;
    if (f.data_flags & attribute_compressed) {
        result = write_compressed(s, f, initialized, sink);
    } else if (initialized > 0) {
        std::vector<std::uint8_t> buffer(block_bytes);
        result = write_plain(s, f, 0, initialized, &buffer, sink);
    }
    if (result != 0) {
        return result;
    }
    return sink->finish(f.data_size) ? 0 : ntfs_error_write;
}

// The restore writer's output (or a file's) as a sink: holes and the bytes after the last
// write go out as runs of zeros, which the output may leave unwritten.
class output_sink_c final : public data_sink_c {
  public:
    explicit output_sink_c(const ntfs_restore_output* output) : out_(output) {}
    bool write(const std::uint8_t* data, std::size_t length) override {
        at_ += length;
        return out_->write(out_->owner, data, length) == 0;
    }
    bool skip(std::uint64_t length) override {
        at_ += length;
        return out_->zeros(out_->owner, length) == 0;
    }
    bool finish(std::uint64_t size) override { return size <= at_ || skip(size - at_); }

  private:
    const ntfs_restore_output* out_;
    std::uint64_t at_ = 0;
};

// A file through stdio: zeros are skipped with a seek, and the caller cuts the file to the
// length reached.
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
    if (bytes > static_cast<std::uint64_t>(INT64_MAX) - o->length) {
        return -1;
    }
    o->length += bytes;
    return fseeko(o->file, static_cast<off_t>(bytes), SEEK_CUR) == 0 ? 0 : -1;
}

}  // namespace

int restore_to_sink(scan_state_s* s, std::uint64_t key, data_sink_c* sink) {
    const bool stream = key & ntfs_stream_bit;
    const std::uint64_t record_number = key & reference_mask;
    std::vector<std::uint8_t> record;
    record_header_s header;
    if (!read_record(s, record_number, &record) ||
        !parse_record_header(record.data(), record.size(), &header) ||
        (!stream && (header.flags & record_directory)) ||
        (header.base_reference & reference_mask) != 0) {
        return ntfs_error_no_record;
    }
    file_facts_s facts;
    if (stream) {
        // The stream's ordinal names it among the file's named streams, in their order.
        const std::size_t ordinal = (key >> 48) & 0x7FFF;
        gather_file(s, record_number, record.data(), &facts, false);
        if (ordinal == 0 || ordinal > facts.streams.size()) {
            return ntfs_error_no_record;
        }
        facts.select_stream = facts.streams[ordinal - 1].name;
    }
    gather_file(s, record_number, record.data(), &facts, true);
    if (!facts.has_data) {
        return stream ? ntfs_error_no_record : sink->finish(0) ? 0 : ntfs_error_write;
    }
    return write_data(s, facts, sink);
}

}  // namespace ntfs

extern "C" {

int ntfs_restore_record(ntfs_scan_context* context, std::uint64_t record_number, const char* path) {
    if (!ntfs::state_of(context)) {
        return ntfs_error_no_scan;
    }
    // Created or truncated as the call promises, but never through a link, and only a
    // regular file of the caller's is truncated.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                          platform::new_file_mode());
    struct stat st {};
    if (fd < 0) {
        return ntfs_error_write;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return ntfs_error_write;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        return ntfs_error_write;
    }
    ntfs::file_output_s sink{file};
    const ntfs_restore_output output{&sink, ntfs::file_write, ntfs::file_zeros};
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
    ntfs::scan_state_s* s = ntfs::state_of(context);
    if (!s) {
        return ntfs_error_no_scan;
    }
    try {
        ntfs::output_sink_c sink(output);
        return ntfs::restore_to_sink(s, record_number, &sink);
    } catch (const std::bad_alloc&) {
        return ntfs_error_no_memory;
    }
}
}
