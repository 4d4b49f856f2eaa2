#pragma once
// The deep-scan engine: finds files on a volume by their content through the signature
// library, keeps them as 32-byte records grouped by type, and copies one out of the volume
// through the library's device calls.
//
// Runs the library's scan on its own thread; the library reports each found file on that
// thread through on_found. The page (or the orvane tool) writes pause and stop into the
// scan block and reads the records after finished(). The same object holds the records of
// a loaded scan file. Owned by the scan session for its whole life.

#include "engine/raw/file_metadata.h"
#include "engine/raw/meta_child.h"
#include "engine/raw/sig_volume.h"
#include "engine/raw/sigscan.h"
#include "engine/raw/sparse_meta.h"
#include "engine/recovery_base.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// One found file; also the unit of the scan file, byte for byte.
struct signature_record {
    std::uint64_t index = 0;   // position in the record table
    std::uint64_t offset = 0;  // first byte, from the start of the volume
    std::uint64_t size = 0;    // bytes
    char type[8] = {};         // NUL-padded; a name of 8 characters has no terminator
};
static_assert(sizeof(signature_record) == 32, "a record is 32 bytes");

// The type name of a record: at most 8 bytes, up to the first NUL.
QByteArray record_type(const signature_record& record);

// How far the scan vouches for a found file's bytes (the numbers of the signature library's
// verify_e, and 0 for a record of a scan file written before the scan said).
enum verified_e : std::uint8_t {
    verified_unknown = 0,
    verified_start = 1,   // its header and size hold; the rest is not checked
    verified_whole = 2,   // checked from its first byte to its last
    verified_joined = 3,  // put together from two pieces across which the whole check held
};
// "unknown", "start", "whole" or "joined" (the --json names).
const char* verified_name(int level);
// Whole or joined: the restored bytes are the ones the scan checked.
inline bool is_verified(int level) {
    return level == verified_whole || level == verified_joined;
}
// A digest of a found file's first bytes (its first 4 KiB, or all of a smaller file), which a
// continued scan compares with the volume's bytes now.
std::uint64_t head_digest(const std::uint8_t* bytes, std::size_t n);
constexpr std::size_t head_bytes = 4096;

// What ties a scan file to its volume (the trailer of raw_scan_file.cpp).
struct scan_volume_id_s {
    std::uint64_t start = 0;  // bytes from the start of the volume's drive
    std::uint64_t size = 0;   // the volume's bytes
    QByteArray hash;          // the first 16 bytes of the SHA-256 of its first 512 bytes

    bool operator==(const scan_volume_id_s&) const = default;
};
// Reads the identity of a volume (its first sector through the signature library's device
// calls); false when the volume cannot be read.
bool scan_volume_identity(const volume_item_s& volume, scan_volume_id_s* id);

class raw_recovery_c final : public recovery_base_c {
    Q_OBJECT
  public:
    using recovery_base_c::recovery_base_c;
    ~raw_recovery_c() override;

    void set_target(const volume_item_s& target) override;
    double get_progress() override;
    void set_progress(double progress) override;
    void set_stop(int code) override;
    int get_stop() override;
    int get_pause() override;
    void set_pause(int pause) override;
    std::int64_t get_read_count() override { return 0; }
    void reset() override;
    int restore_into(std::uint64_t file_key, restore_sink_c* sink) override;
    int get_file_path(std::uint64_t file_key, QString* path) override;
    std::int64_t get_found_count() override { return 0; }
    // Closes the volume that restore_into keeps open between files (the end of a restore
    // run; a new target, a reset or a loaded scan file close it too).
    void release_volume();
    // Why the last restore_into refused a record loaded from a scan file; empty otherwise.
    QString get_error_text() override { return error_text_; }

    // The scan file: the device path and every record. 0, or -1 when there is no record or
    // the file cannot be written.
    int write_scan_file(const QString& path);
    // Loads a scan file's records and returns its device path; an empty text, with nothing
    // changed, when the file is not a valid scan file or a scan is running. Records are
    // read by position; those that cannot be a found file are kept but not listed (see
    // refused_records).
    QString read_scan_file(const QString& path);
    // The volume identity the loaded scan file carries, if it carries one.
    const std::optional<scan_volume_id_s>& file_identity() const { return file_identity_; }
    // Records of the loaded scan file left out of the listing: index beyond the table,
    // unknown type, larger than the type's limit, or not inside the volume.
    std::size_t refused_records() const { return refused_records_; }
    // The loaded records are to be restored from a volume of this many bytes: records that
    // do not lie inside it are left out of the listing and refused by restore_into.
    void limit_to_volume(std::uint64_t volume_bytes);

    // Read after finished() or after a scan file was loaded.
    const std::vector<signature_record>& records() const { return records_; }
    // What the scan has found so far, copied under the lock the scanning thread appends
    // under: any thread, also while the scan runs (the page lists it while paused).
    void found_so_far(struct scan_checkpoint_s* found);
    const QHash<QByteArray, QList<std::uint64_t>>& type_index() const { return type_index_; }
    const QString& device_path() const { return device_path_; }
    // What the found file at that position of the table says about itself; null when it
    // says nothing (or its metadata was not read).
    const file_meta_s* meta(std::uint64_t position) const;
    // Reads the metadata of the records from the volume (after a scan file that does not
    // carry it was loaded); does nothing when it is known already (metadata_known). step,
    // when given, hears of every record read (done, total) and ends the reading by
    // returning false; wanted, when given, names the positions worth reading. The records
    // not read say nothing about themselves. Any thread, while nothing else uses the engine.
    void read_metadata(const std::function<bool(std::size_t, std::size_t)>& step = {},
                       const std::function<bool(std::uint64_t)>& wanted = {});
    // Every record's names and dates are at hand: found by the scan, carried by the loaded
    // scan file, or read whole from the volume.
    bool metadata_known() const { return meta_complete_ && meta_.size() == records_.size(); }
    // Makes the next start() continue the checkpoint's scan: its records are kept (their
    // metadata is read by the scan's thread) and the scan begins where it stopped. The checkpoint
    // must be of this engine's target. While any deep scan runs, its checkpoint is written every
    // few seconds (scan_checkpoint.h) and removed when the scan reaches the end of the volume.
    void continue_from(const struct scan_checkpoint_s& checkpoint);
    // A file found in two pieces: the first piece's length and where the rest lies. False
    // for a file stored whole.
    bool second_piece(std::uint64_t position, std::uint64_t* first_size,
                      std::uint64_t* second_offset) const;
    // How far the scan vouched for the file at that position of the table (verified_e).
    int verified(std::uint64_t position) const {
        return position < levels_.size() ? levels_[position] : static_cast<int>(verified_unknown);
    }
    // Files found so far by the running scan, for a progress line.
    std::int64_t found_so_far() const { return found_so_far_.load(std::memory_order_relaxed); }

  protected:
    void run() override;

  private:
    struct second_piece_s {
        std::uint64_t first_size = 0;
        std::uint64_t offset = 0;
    };
    static void on_found_pieces(void* owner, const char* type, std::uint64_t offset,
                                std::uint64_t first_size, std::uint64_t second_offset,
                                std::uint64_t size);
    void write_checkpoint_now(const QByteArray& identity, std::uint64_t volume_size);
    static void on_inspect(void* owner, const char* type, sig::window_c& file,
                           sig::verify_e verified);
    static void on_found(void* owner, const char* type, std::uint32_t offset_low,
                         std::uint32_t offset_high, std::uint32_t size_low,
                         std::uint32_t size_high);

    void rebuild_type_index();

    static constexpr std::size_t restore_block = 1 << 20;  // bytes copied per read

    volume_item_s target_;
    QString device_path_;
    std::optional<scan_volume_id_s> file_identity_;
    // The records came from a scan file, which anyone may have written: each is checked
    // against its type before its bytes are copied out.
    bool records_from_file_ = false;
    QString error_text_;
    std::size_t refused_records_ = 0;
    std::uint64_t volume_bytes_ = 0;  // 0: not known
    sig_scan_block block_{};
    std::vector<signature_record> records_;
    sparse_meta_c meta_;         // by position; shorter than records_ when not read
    bool meta_complete_ = true;  // meta_ holds every record's (none left out by a filter)
    // Reads the found files' metadata apart from this process, for one scan or one reading.
    std::unique_ptr<meta_child_c> meta_child_;
    QHash<std::uint64_t, second_piece_s> second_pieces_;  // by position
    file_meta_s inspected_;                               // of the file about to be reported
    std::uint8_t inspected_level_ = verified_unknown;     // of the file about to be reported
    std::uint64_t inspected_head_ = 0;                    // of the file about to be reported
    std::vector<std::uint8_t> levels_;  // by position; verified_unknown past its end
    std::vector<std::uint64_t> heads_;  // head_digest by position (a scan's records only)
    sig::scan_mark_s mark_;             // the library's: every file before it reported
    std::uint64_t resume_work_ = 0;     // the joint searches' work before resume_at_
    std::uint64_t resume_at_ = 0;       // where the next scan starts (a continued scan: not 0)
    bool continuing_ = false;           // the next run keeps the records of a checkpoint
    std::mutex records_lock_;           // the scanning thread appends; the checkpoint copies
    std::mutex restore_lock_;           // restore_into may run on a thread of its own
    std::unique_ptr<sig::volume_s> restore_volume_;  // opened by the first restore_into
    QHash<QByteArray, QList<std::uint64_t>> type_index_;
    std::atomic<std::int64_t> found_so_far_{0};
};
