#pragma once
// Decoding of NTFS on-disk structures from byte spans: the boot sector, the update-sequence
// fixups of a file record, its attributes, data runs and attribute lists.
//
// Every structure comes from a disk and may be hostile: each function checks every length
// and offset against the span it was given before reading, and reports malformed input
// instead of trusting it. Pure functions, safe from any thread.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ntfs {

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(le16(p)) | static_cast<std::uint32_t>(le16(p + 2)) << 16;
}
inline std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

// Attribute type codes.
constexpr std::uint32_t attr_standard_information = 0x10;
constexpr std::uint32_t attr_attribute_list = 0x20;
constexpr std::uint32_t attr_file_name = 0x30;
constexpr std::uint32_t attr_data = 0x80;
constexpr std::uint32_t attr_index_root = 0x90;
constexpr std::uint32_t attr_index_allocation = 0xA0;
constexpr std::uint32_t attr_end = 0xFFFFFFFF;

// File reference: the low 48 bits are the record number, the high 16 the sequence number.
constexpr std::uint64_t reference_mask = 0x0000FFFFFFFFFFFFull;
inline std::uint16_t reference_sequence(std::uint64_t reference) {
    return static_cast<std::uint16_t>(reference >> 48);
}
// True when a reference that carries sequence still names a record whose header holds
// record_sequence. NTFS raises a record's sequence number when it frees the record (never
// to zero), so a reference made while a now deleted record was in use is one behind it.
// A sequence of zero in either place was never set and is not checked.
bool reference_matches(std::uint16_t sequence, std::uint16_t record_sequence, bool record_in_use);

struct boot_info_s {
    std::uint32_t bytes_per_sector = 0;
    std::uint64_t cluster_size = 0;  // bytes
    std::uint32_t record_size = 0;   // bytes of one file record
    std::uint64_t total_clusters = 0;
    std::uint64_t mft_lcn = 0;
    std::uint64_t mirror_lcn = 0;  // $MFTMirr: copies of the first records of $MFT
};

// Reads the boot sector (at least 512 bytes): "NTFS    " at 0x03, sizes at 0x0B, 0x0D,
// 0x28, 0x30 and 0x40. False when it is not a usable NTFS boot sector.
bool parse_boot_sector(const std::uint8_t* data, std::size_t size, boot_info_s* info);

// Checks a file record's signature and update-sequence array and puts the saved words back
// in place. False, leaving the record unusable, when the signature is not "FILE" (or the
// one given: "INDX" for an index block), the array lies outside the record or a sector's
// last word does not match the sequence number.
bool apply_fixups(std::uint8_t* record, std::size_t size, const char* signature = "FILE");

// The file record header fields the library uses.
struct record_header_s {
    std::uint16_t sequence = 0;  // raised each time the record is freed
    std::uint16_t flags = 0;     // 0x01 in use, 0x02 directory
    std::uint16_t first_attribute = 0;
    std::uint32_t bytes_in_use = 0;
    std::uint64_t base_reference = 0;  // non-zero for an extension record
};
constexpr std::uint16_t record_in_use = 0x01;
constexpr std::uint16_t record_directory = 0x02;

bool parse_record_header(const std::uint8_t* record, std::size_t size, record_header_s* header);

// One attribute, its pointers into the record it came from.
struct attribute_s {
    std::uint32_t type = 0;
    bool resident = true;
    std::uint8_t name_length = 0;        // UTF-16 units
    const std::uint8_t* name = nullptr;  // name_length little-endian UTF-16 units
    std::uint16_t flags = 0;             // 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
    std::uint16_t id = 0;                // the attribute's number within its file
    // resident
    const std::uint8_t* value = nullptr;
    std::uint32_t value_length = 0;
    // non-resident
    std::uint64_t start_vcn = 0;
    std::uint64_t last_vcn = 0;
    const std::uint8_t* runs = nullptr;
    std::size_t runs_length = 0;
    std::uint16_t compression_unit = 0;
    std::uint64_t real_size = 0;
    std::uint64_t initialized_size = 0;
};
constexpr std::uint16_t attribute_compressed = 0x0001;
constexpr std::uint16_t attribute_encrypted = 0x4000;

// Walks the attributes of a record whose fixups have been applied. next() returns false at
// the end marker, at the end of the used bytes or at the first malformed attribute.
class attribute_walker_c {
  public:
    attribute_walker_c(const std::uint8_t* record, std::size_t size);
    bool next(attribute_s* attribute);

    // Where the walk stopped: the end marker's offset once next() has returned false there.
    std::size_t offset() const { return offset_; }

  private:
    const std::uint8_t* record_;
    std::size_t end_;
    std::size_t offset_;
    int count_ = 0;
};

// One data run: length clusters from vcn, at lcn; lcn is -1 for a sparse run (zeros).
struct run_s {
    std::uint64_t vcn = 0;
    std::int64_t lcn = -1;
    std::uint64_t length = 0;
};

// Decodes a mapping-pairs array that starts at start_vcn and appends its runs. Stops at
// the terminating zero byte; false when a pair runs past the span, a field is wider than
// eight bytes, a length is zero or negative, a run on the volume leaves 0..total_clusters or
// more than max_runs runs appear.
bool decode_runs(const std::uint8_t* data, std::size_t size, std::uint64_t start_vcn,
                 std::uint64_t total_clusters, std::size_t max_runs, std::vector<run_s>* runs);

// One entry of an $ATTRIBUTE_LIST value.
struct list_entry_s {
    std::uint32_t type = 0;
    std::uint8_t name_length = 0;
    std::uint64_t start_vcn = 0;
    std::uint64_t record_number = 0;  // where the attribute lives
    std::uint16_t attribute_id = 0;
};
// False when an entry's length is zero or runs past the value; the entries read before the
// bad one are kept.
bool parse_attribute_list(const std::uint8_t* value, std::size_t size,
                          std::vector<list_entry_s>* entries);

// 100-nanosecond ticks since 1601 to seconds since 1970.
std::int64_t filetime_to_unix(std::uint64_t ticks);

// A $FILE_NAME value: the parent reference and the name. rank 1 for a Win32 or POSIX
// name, 0 for a DOS 8.3 one.
struct file_name_s {
    std::uint64_t parent = 0;
    int rank = 0;
    std::vector<char16_t> name;
};
// Decodes a $FILE_NAME value of length bytes (0x42 bytes of fields, then the name). False
// when it is too short, the name is empty or runs past it, its name space is not one of the
// four, or the name holds a character no NTFS name holds (NUL or '/').
bool parse_file_name(const std::uint8_t* value, std::size_t length, file_name_s* out);

// One named data stream of a file.
struct stream_info_s {
    std::u16string name;
    std::uint64_t size = 0;
    bool resident = false;  // held in the record
};

// What a file's attributes say about it, gathered over its base record and any extension
// records that its attribute list names.
struct file_facts_s {
    bool has_standard_information = false;
    std::int64_t creation_time = 0;
    std::int64_t write_time = 0;
    std::int64_t change_time = 0;
    std::uint64_t change_ticks = 0;  // the same, in 100-nanosecond ticks since 1601
    bool has_name = false;
    int name_rank = -1;        // a Win32 or POSIX name outranks a DOS 8.3 one
    std::uint64_t parent = 0;  // the reference: record number and sequence number
    std::vector<char16_t> name;
    // Inputs, kept by gather_file: the named stream read as the file's data (empty: the
    // unnamed one), and whether the folder index ($I30) is wanted.
    std::u16string select_stream;
    bool want_index = false;
    // The named data streams, in the order they were met (base record first).
    std::vector<stream_info_s> streams;
    // The folder index, with want_index: the $I30 INDEX_ROOT value and the runs and size of
    // its INDEX_ALLOCATION.
    std::vector<std::uint8_t> index_root;
    std::vector<run_s> index_runs;
    std::uint64_t index_size = 0;
    // The attribute list, when there is one.
    bool has_attribute_list = false;
    std::vector<std::uint8_t> list_value;  // resident value
    std::vector<run_s> list_runs;          // or its runs
    std::uint64_t list_size = 0;
    // The unnamed $DATA stream.
    bool has_data = false;
    bool data_resident = false;
    std::vector<std::uint8_t> resident_data;
    std::uint16_t data_flags = 0;
    std::uint16_t compression_unit = 0;
    std::uint64_t data_size = 0;
    std::uint64_t initialized_size = 0;
    bool runs_damaged = false;  // some extent's runs did not decode
    std::vector<run_s> runs;    // from every extent, in VCN order once sorted
};

// The $FILE_NAME attribute that a driver removed from a record (a deleted file's extension
// record is emptied so), read from the bytes left after the end marker: the marker covers
// only the attribute's type and length. attribute_id is the one the attribute list gives.
// False unless a resident unnamed $FILE_NAME with that id and a valid value lies there.
bool removed_file_name(const std::uint8_t* record, std::size_t size, std::uint16_t attribute_id,
                       file_name_s* out);

// One entry of a folder index ($I30) naming a file: the file's reference and its name.
struct index_name_s {
    std::uint64_t file_reference = 0;
    file_name_s file_name;
};
// The geometry that an $I30 INDEX_ROOT value gives: the size of the index blocks, and
// where its own entries lie in the value (offsets into it: first entry, end of the used
// bytes, end of the allocated bytes).
struct index_root_s {
    std::uint32_t block_size = 0;
    std::size_t entries = 0;
    std::size_t used_end = 0;
    std::size_t allocated_end = 0;
};
bool parse_index_root(const std::uint8_t* value, std::size_t size, index_root_s* out);
// Checks an index block's "INDX" signature and fixups; on success, the offsets of its first
// entry and of the ends of its used and allocated bytes.
bool open_index_block(std::uint8_t* block, std::size_t size, std::size_t* entries,
                      std::size_t* used_end, std::size_t* allocated_end);
// Collects the entries of a folder's index that lie in data[entries, end): the live ones
// and those left in the slack after the used bytes when entries were removed. Every 8-byte
// step is tried, and an entry counts only when its lengths fit, its name's parent is folder
// (record number) and its file's record number is one that wanted accepts.
template <typename Wanted>
void find_index_names(const std::uint8_t* data, std::size_t entries, std::size_t end,
                      std::uint64_t folder, const Wanted& wanted, std::vector<index_name_s>* out);
// Decodes one index entry at p (available bytes); false when it is not a valid file entry.
bool parse_index_entry(const std::uint8_t* p, std::size_t available, index_name_s* out);

template <typename Wanted>
void find_index_names(const std::uint8_t* data, std::size_t entries, std::size_t end,
                      std::uint64_t folder, const Wanted& wanted, std::vector<index_name_s>* out) {
    for (std::size_t at = entries; at + 0x52 <= end; at += 8) {
        const std::uint8_t* p = data + at;
        // 0x10: the key, whose first field is the parent reference: a cheap test first
        if ((le64(p + 0x10) & reference_mask) != folder || !wanted(le64(p) & reference_mask)) {
            continue;
        }
        index_name_s entry;
        if (parse_index_entry(p, end - at, &entry)) {
            out->push_back(std::move(entry));
        }
    }
}

// Adds what one record (fixups applied) holds to facts. total_clusters bounds the runs.
// Resident data bytes are copied only with keep_data (a scan needs only their size).
void gather_attributes(const std::uint8_t* record, std::size_t size, std::uint64_t total_clusters,
                       file_facts_s* facts, bool keep_data = true);
// Sorts the data runs by VCN and drops overlapping ones; false when extents are missing
// (the runs do not cover the clusters the data size needs).
bool finish_runs(file_facts_s* facts, std::uint64_t cluster_size);

// Decompresses one LZNT1 compression unit held in in (its stored clusters; zeros after the
// last chunk end it) into exactly out_size bytes of out: what no chunk fills is zero. False,
// with out partly filled, when a chunk header, a length or a back reference is malformed;
// nothing is ever written outside out.
bool lznt1_decompress(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                      std::size_t out_size);

}  // namespace ntfs
