#pragma once
// The project's own NTFS library behind a C interface: it reads a volume's $MFT, hands out
// one file record per call, and writes one record's data out afterwards.
//
// The NTFS engine owns one context block and drives it from one thread at a time: the
// engine thread during a scan, the restoration step afterwards. The block's first word,
// the progress denominator and the three progress terms are read by the engine; the
// library keeps a pointer to its heap state in the block. Results: 0 or positive for
// success, negative codes (below) for failure.

#include <cstddef>
#include <cstdint>

extern "C" {

// The context block, 8248 bytes.
struct ntfs_scan_context {
    std::int32_t started;               // 0: non-zero while a scan lives in this block
    std::int32_t reserved0;             // 4
    std::int64_t progress_denominator;  // 8: eight times the number of MFT records
    void* state;                        // 16: the library's heap state
    unsigned char reserved1[8200];      // 24
    std::int32_t term_a;                // 8224: records examined that were in use
    std::int32_t term_b;                // 8228: records examined that were not in use
    std::int32_t term_c;                // 8232: eight times the records skipped as damaged
    std::int32_t reserved2[3];          // 8236
};

// Bits of ntfs_record::flags.
constexpr std::uint32_t ntfs_flag_directory = 0x01;
constexpr std::uint32_t ntfs_flag_file = 0x02;
constexpr std::uint32_t ntfs_flag_deleted = 0x80;
// A named data stream of a file (an alternate data stream), handed out right after its file
// under the name "file:stream" and the key ntfs_stream_key gives.
constexpr std::uint32_t ntfs_flag_stream = 0x04;

// The key of a named stream: bit 63, the stream's ordinal (from 1, in the order the file's
// records hold its named streams) in bits 48-62, the file's record number below. The scan
// hands it out as the record number, and ntfs_restore_record takes it.
constexpr std::uint64_t ntfs_stream_bit = 1ull << 63;
constexpr std::uint32_t ntfs_max_streams = 256;
inline std::uint64_t ntfs_stream_key(std::uint64_t record_number, std::uint32_t ordinal) {
    return ntfs_stream_bit | static_cast<std::uint64_t>(ordinal & 0x7FFF) << 48 |
           (record_number & 0x0000FFFFFFFFFFFFull);
}

// Bits of ntfs_record::extra_flags.
// Some cluster of a deleted file is in use again in the volume's cluster bitmap.
constexpr std::uint32_t ntfs_extra_overwritten = 0x01;
// The data is encrypted or its runs are damaged: it cannot be written out.
constexpr std::uint32_t ntfs_extra_unreadable = 0x02;

// An NTFS name has at most 255 UTF-16 units (its length is one byte): 256 hold it and its NUL.
constexpr int ntfs_record_name_units = 256;

// One file record as ntfs_scan_next fills it, 576 bytes, little-endian.
struct ntfs_record {
    std::uint64_t record_number;            // 0
    std::uint64_t parent_number;            // 8
    std::uint64_t size;                     // 16: bytes of the unnamed data stream
    std::int64_t creation_time;             // 24: seconds since 1970 ($STANDARD_INFORMATION)
    std::int64_t change_time;               // 32: last change of the record, seconds since 1970
    std::int64_t write_time;                // 40: last write of the data, seconds since 1970
    std::uint32_t flags;                    // 48: ntfs_flag_*
    std::uint32_t extra_flags;              // 52: ntfs_extra_*
    char16_t name[ntfs_record_name_units];  // 56: UTF-16, NUL-terminated
    // 568: the record's sequence number (NTFS raises it each time the record is freed)
    std::uint16_t sequence;
    // 570: the sequence number in the reference to the parent: the parent is the record
    // that parent_number names only while that record's sequence number still matches
    std::uint16_t parent_sequence;
    std::uint32_t reserved;  // 572: zero
};

static_assert(sizeof(ntfs_scan_context) == 8248);
static_assert(offsetof(ntfs_scan_context, started) == 0);
static_assert(offsetof(ntfs_scan_context, progress_denominator) == 8);
static_assert(offsetof(ntfs_scan_context, term_a) == 8224);
static_assert(offsetof(ntfs_scan_context, term_b) == 8228);
static_assert(offsetof(ntfs_scan_context, term_c) == 8232);
static_assert(sizeof(ntfs_record) == 576);
static_assert(offsetof(ntfs_record, parent_number) == 8);
static_assert(offsetof(ntfs_record, size) == 16);
static_assert(offsetof(ntfs_record, creation_time) == 24);
static_assert(offsetof(ntfs_record, write_time) == 40);
static_assert(offsetof(ntfs_record, flags) == 48);
static_assert(offsetof(ntfs_record, name) == 56);
static_assert(offsetof(ntfs_record, sequence) == 568);
static_assert(offsetof(ntfs_record, parent_sequence) == 570);

// Failure codes.
constexpr int ntfs_error_device_name = -1;  // not of the form /dev/hd<letters><number>
constexpr int ntfs_error_no_volume = -2;    // no such drive or partition
constexpr int ntfs_error_open = -3;         // the device cannot be opened or read
constexpr int ntfs_error_not_ntfs = -4;     // the boot sector is not an NTFS one
constexpr int ntfs_error_bad_mft = -5;      // the $MFT's own record or runs are unusable
constexpr int ntfs_error_no_memory = -6;
constexpr int ntfs_error_no_scan = -7;           // restore without a started scan
constexpr int ntfs_error_no_record = -8;         // the record cannot be read or holds no file
constexpr int ntfs_error_no_data = -9;           // encrypted or damaged data stream
constexpr int ntfs_error_read = -10;             // a cluster could not be read
constexpr int ntfs_error_write = -11;            // the destination could not be written
constexpr int ntfs_error_bad_compression = -12;  // a compression unit does not decompress

// Starts a scan of device ("/dev/hd<drive letters><partition number>") in context, which
// must be zeroed. Drives are lettered as Linux letters disks: a to z are drives 0 to 25,
// aa to az 26 to 51, and so on. 0 on success, negative on failure (the block is then not in use).
int ntfs_scan_startup(const char* device, ntfs_scan_context* context);
// Fills record with the next file record: 1, or 0 when the $MFT has been read to its end.
int ntfs_scan_next(ntfs_scan_context* context, ntfs_record* record);
// Ends the scan in context and frees what it holds. Always 0.
int ntfs_scan_end(ntfs_scan_context* context);
// After the scan has read the $MFT to its end (or was stopped): 1 when some cluster of
// record_number's data is claimed by another record, live or deleted later than it
// (by the records' last change), 0 when not, negative on failure. The first call sorts
// the clusters of every record read; later calls look the answer up.
int ntfs_scan_overwritten(ntfs_scan_context* context, std::uint64_t record_number);
// Writes the unnamed data stream of record_number (or the named stream a stream key names)
// to path (UTF-8): exactly its size, holes as zeros, compressed data decompressed. 0 when
// written whole.
int ntfs_restore_record(ntfs_scan_context* context, std::uint64_t record_number, const char* path);

// Where ntfs_restore_record_to writes a record's data, in order from its first byte: write
// appends bytes, zeros appends a run of zero bytes (holes and the tail past the initialised
// size) without writing them one by one. Each returns 0, or non-zero to end the restore at
// once (the destination failed or the user asked to stop): the call then returns
// ntfs_error_write.
struct ntfs_restore_output {
    void* owner;
    int (*write)(void* owner, const void* data, std::size_t bytes);
    int (*zeros)(void* owner, std::uint64_t bytes);
};
// Writes the unnamed data stream of record_number to output: exactly its size. 0 when
// written whole.
int ntfs_restore_record_to(ntfs_scan_context* context, std::uint64_t record_number,
                           const ntfs_restore_output* output);

// Text for a failure code, for logs.
const char* ntfs_error_text(int code);
}
