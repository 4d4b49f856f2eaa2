#pragma once
// An exFAT volume opened for reading: the boot region (the backup when the main one is
// damaged), the active FAT, the allocation bitmap, the up-case table and the bytes of
// directories and files, located by FAT chain or as one contiguous run.
//
// Reads through a byte reader over the volume (a drive range, a memory buffer in tests and
// fuzzers). Used by one thread at a time: the exFAT engine's thread during a scan, the
// restoring thread afterwards. Everything read from the volume is bounded before use; a
// chain that loops or leaves the volume ends the walk.

#include "engine/exfat/exfat_format.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace exfat {

// Reads len bytes at a byte offset of the volume: 0 on success, -1 on an error or short read.
using reader_f = std::function<int(std::uint64_t offset, void* buffer, std::size_t len)>;

// Results of open().
enum open_result_e : int {
    open_ok = 0,
    open_read_error = 1,  // the boot region could not be read
    open_not_exfat = 2,   // neither boot region is a sound exFAT boot region
};
const char* open_result_text(int result);

// Where a file's (or directory's) data lies, as found.
struct extent_plan_s {
    std::vector<std::uint32_t> clusters;  // in file order
    // Some of these clusters belong to another file now, or the order is a guess (a
    // deleted chain whose FAT entries were cleared).
    bool possibly_overwritten = false;
    bool chain_followed = false;  // taken from an intact FAT chain
    bool complete = true;         // as many clusters as the length needs were found
};

class exfat_volume_c {
  public:
    // Opens the volume of volume_bytes bytes (0: unknown). On failure nothing else may be
    // called but open().
    int open(reader_f reader, std::uint64_t volume_bytes);
    bool is_open() const { return open_; }
    const boot_s& boot() const { return boot_; }
    bool used_backup_boot() const { return used_backup_; }
    bool upcase_loaded() const { return upcase_loaded_; }
    // Without a readable allocation bitmap no cluster counts as used, and every deleted
    // file is possibly overwritten.
    bool bitmap_loaded() const { return !bitmap_.empty(); }
    const upcase_table_c& upcase() const { return upcase_; }
    std::uint64_t cluster_bytes() const { return boot_.cluster_bytes(); }
    std::uint32_t cluster_count() const { return boot_.cluster_count; }
    // A cluster of the heap that lies within the volume's bytes.
    bool valid_cluster(std::uint64_t c) const {
        return c >= first_cluster && c < cluster_limit_ + 2ULL;
    }
    // The allocation bitmap's bit of a cluster; clusters outside the heap count as used.
    bool allocated(std::uint32_t cluster) const;
    std::uint64_t free_clusters() const;
    std::uint64_t used_clusters() const { return boot_.cluster_count - free_clusters(); }
    // The active FAT's entry for a cluster; fat_bad when it cannot be read.
    std::uint32_t fat_entry(std::uint32_t cluster);
    // Follows the FAT from first for at most max_clusters clusters (stops at the end mark);
    // false when the chain leaves the heap, loops, or a FAT read fails (what was found
    // before stays in *out).
    bool follow_chain(std::uint32_t first, std::uint64_t max_clusters,
                      std::vector<std::uint32_t>* out);
    // Where the data of a live or deleted entry set lies (length bytes from first cluster).
    extent_plan_s plan(std::uint32_t first, std::uint64_t length, bool no_fat_chain, bool deleted);
    // The clusters of the root directory (a FAT chain with no length).
    extent_plan_s root_plan();
    // Reads one cluster into buffer (cluster_bytes() long).
    bool read_cluster(std::uint32_t cluster, std::uint8_t* buffer);
    // Reads the clusters of a plan into out, at most max_bytes.
    bool read_plan(const extent_plan_s& plan, std::uint64_t max_bytes,
                   std::vector<std::uint8_t>* out);
    std::uint64_t read_bytes() const { return read_bytes_; }

  private:
    bool read(std::uint64_t offset, void* buffer, std::size_t len);
    bool load_root_entries();

    reader_f reader_;
    std::uint64_t volume_bytes_ = 0;
    boot_s boot_;
    bool open_ = false;
    bool used_backup_ = false;
    bool upcase_loaded_ = false;
    upcase_table_c upcase_;
    std::vector<std::uint8_t> bitmap_;
    std::uint64_t fat_start_ = 0;  // bytes from the volume's start to the active FAT
    // The clusters that the volume's bytes hold: the cluster count, or fewer when the boot
    // sector claims more than the device has (a cut image, a hostile count).
    std::uint32_t cluster_limit_ = 0;
    // One page of the FAT read last.
    std::vector<std::uint8_t> fat_page_;
    std::uint64_t fat_page_first_ = ~0ULL;  // first entry of the page
    std::uint64_t read_bytes_ = 0;
};

}  // namespace exfat
