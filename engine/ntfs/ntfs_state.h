#pragma once
// The NTFS library's state behind a context block, and the reads that the scan and the
// restore share. Internal to the library: the engine sees only ntfs_scan.h.

#include "device/platform/platform_device.h"
#include "engine/cluster_claims.h"
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_scan.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace ntfs {

constexpr std::size_t block_bytes = 1 << 18;  // one sequential read of the $MFT

// Clusters [first, end) that a record's attribute claims; owner is the file reference of
// the base record (record number and sequence number) until the claims are sorted.
using claim_s = cluster_claim_s;
// A base record that claims clusters, itself or through its extension records.
struct owner_s {
    std::uint64_t number = 0;
    std::uint64_t change_ticks = 0;  // last change of the record ($STANDARD_INFORMATION)
    std::uint16_t sequence = 0;
    bool in_use = false;
};

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
    // The clusters every record read claims, for telling which deleted files later records
    // took clusters from; replaced after the scan by the sorted numbers of those files.
    std::vector<claim_s> claims;
    std::vector<owner_s> owners;
    std::vector<run_s> claim_runs;  // scratch
    bool claims_sorted = false;
    // Every extension record read: (its base record's reference, its own number), for files
    // whose attribute list no longer names all of their extension records.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extensions;
    bool extensions_sorted = false;
    std::vector<std::uint64_t> overwritten;
    // Records handed out after the $MFT's end, (number, sequence) in record order: deleted
    // files with an attribute list that no record of their own names (named from the folder
    // indexes when those have been read) or whose runs need extension records the list no
    // longer names. folders: every folder record read, whose $I30 indexes are then searched.
    std::vector<std::pair<std::uint64_t, std::uint16_t>> nameless;
    std::size_t nameless_next = 0;
    std::vector<std::uint64_t> folders;
    bool names_searched = false;
    // The best name found in an index for each nameless record, by record number.
    std::vector<std::pair<std::uint64_t, file_name_s>> index_names;
    std::vector<std::uint8_t> deferred;  // one nameless record read again
    // The named streams of the file handed out last, handed out next.
    std::vector<ntfs_record> pending_streams;
    std::size_t pending_next = 0;
};

inline scan_state_s* state_of(ntfs_scan_context* context) {
    return context && context->started ? static_cast<scan_state_s*>(context->state) : nullptr;
}

// Reads volume bytes; a read past the volume or a short read fails.
bool read_volume(scan_state_s* s, std::uint64_t offset, void* buffer, std::size_t length);
// Reads length bytes at byte offset of a non-resident stream described by runs (sorted by
// VCN). Sparse clusters read as zeros; bytes past the last run fail. With tolerate set, a
// piece that cannot be read is zeroed and the read goes on (and still reports failure).
bool read_stream(scan_state_s* s, const std::vector<run_s>& runs, std::uint64_t offset,
                 std::uint8_t* out, std::size_t length, bool tolerate);
// Reads one record by number into buffer and applies its fixups.
bool read_record(scan_state_s* s, std::uint64_t number, std::vector<std::uint8_t>* buffer);
// Adds the attributes held in the extension records that a base record's attribute list
// names.
void gather_extensions(scan_state_s* s, std::uint64_t number, file_facts_s* facts, bool keep_data);
// Gathers the facts of a base record (fixups applied) and of its extension records.
void gather_file(scan_state_s* s, std::uint64_t number, const std::uint8_t* record,
                 file_facts_s* facts, bool keep_data);

// Notes the clusters of every non-resident attribute of a record (fixups applied), base or
// extension. For a base record, facts holds what gather_file found in it.
void note_claims(scan_state_s* s, std::uint64_t number, const record_header_s& header,
                 const std::uint8_t* record, const file_facts_s* facts);
// Sorts the claims once and keeps the numbers of the deleted records whose clusters another
// record claims: a live one, or a deleted one changed at the same time or later.
void sort_claims(scan_state_s* s);

// Reads the $I30 indexes of every folder met, live and deleted, including what their index
// blocks hold after their used bytes, and keeps the names they give to the nameless records.
void search_index_names(scan_state_s* s);
// The name an index gave to a nameless record; null when none did.
const file_name_s* index_name(const scan_state_s* s, std::uint64_t number);

// Where a restore writes a file's bytes, in order from the first.
class data_sink_c {
  public:
    virtual ~data_sink_c() = default;
    virtual bool write(const std::uint8_t* data, std::size_t length) = 0;
    // length bytes of zeros (a hole), which a file can leave unwritten
    virtual bool skip(std::uint64_t length) = 0;
    // The end: size is the stream's whole size (past the last write or skip: zeros)
    virtual bool finish(std::uint64_t size) = 0;
};
// Writes the unnamed data stream of a file record to sink: 0, or an ntfs_error_* code.
int restore_to_sink(scan_state_s* s, std::uint64_t record_number, data_sink_c* sink);

// "/dev/hd<letters><number>" to a drive index (a-z 0-25, aa 26, ...) and a partition
// number; false when the name has another form.
bool parse_device_name(const char* name, int* drive, int* partition);

}  // namespace ntfs
