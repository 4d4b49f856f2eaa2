#pragma once
// The scan engine for exFAT volumes.
//
// Runs in its own thread: opens the volume through the exFAT reader, walks every live
// directory from the root, then every deleted directory found on the way, and records every
// directory and every deleted file (a file entry set whose in-use bits are clear, or any set
// inside a deleted folder) whose set checksum holds. Afterwards it links the entries into a
// tree and marks the folders that hold files. Owned by whoever scans (the scan page, the
// orvane tool); the results are read in place after finished() and stay until the next
// reset(). The volume stays open after a scan for restore_file, which runs on the thread
// that calls it while no scan runs.

#include "engine/cluster_claims.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/recovery_base.h"

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace platform {
class device_source_c;
}

// Attribute bit of a found entry that is deleted or lies below a deleted folder (the same
// bit as the FAT engine's; exFAT leaves it reserved).
constexpr std::uint16_t exfat_attr_deleted = 0x40;
// Key of the folder of orphaned files (under the root): no entry lies at that offset.
constexpr std::uint64_t exfat_orphans_key = ~std::uint64_t{0};

// One found entry.
struct exfat_node {
    std::uint64_t key = 0;           // the file entry's byte offset on the volume / 32; 0 the root
    std::uint64_t parent = 0;        // key of the directory it was found in
    std::uint64_t size = 0;          // stream extension: data length in bytes
    std::uint64_t valid_length = 0;  // bytes written; the rest reads as zeros
    std::uint32_t first_cluster = 0;
    std::int64_t modify_ms = 0;  // milliseconds since 1970 UTC, with the 10 ms parts
    std::int64_t create_ms = 0;
    std::int64_t access_ms = 0;
    std::uint16_t attributes = 0;  // file attributes, plus exfat_attr_deleted
    std::uint8_t flags = 0;        // stream extension flags (bit 1: no FAT chain)
    std::uint8_t in_deleted_folder = 0;
    std::uint8_t has_files = 0;  // some file lies somewhere below this folder
    // A deleted file whose clusters are allocated again, or whose cluster order had to be
    // guessed: what a restore writes may not be its own bytes.
    std::uint8_t overwritten = 0;
    QString name;
    QList<std::uint64_t> children;  // keys, filled after the walk
};

// Takes the file's bytes in order; false to end the write (the output failed, or a stop).
using exfat_sink_f = std::function<bool(const char* data, std::size_t length)>;
// Takes a run of zero bytes; false to end the write.
using exfat_zeros_f = std::function<bool(std::uint64_t length)>;

class exfat_recovery_c final : public recovery_base_c {
    Q_OBJECT
  public:
    explicit exfat_recovery_c(QObject* parent = nullptr);
    ~exfat_recovery_c() override;

    void set_target(const volume_item_s& target) override { target_ = target; }
    double get_progress() override { return progress_.load(std::memory_order_relaxed); }
    void set_progress(double progress) override {
        progress_.store(progress, std::memory_order_relaxed);
    }
    void set_stop(int code) override { stop_.store(code, std::memory_order_relaxed); }
    int get_stop() override { return stop_.load(std::memory_order_relaxed); }
    int get_pause() override { return pause_.load(std::memory_order_relaxed); }
    void set_pause(int pause) override { pause_.store(pause, std::memory_order_relaxed); }
    std::int64_t get_read_count() override { return read_count_.load(std::memory_order_relaxed); }
    std::int64_t get_found_count() override { return found_count_.load(std::memory_order_relaxed); }
    void reset() override;
    int restore_into(std::uint64_t file_key, restore_sink_c* sink) override;
    int get_file_path(std::uint64_t file_key, QString* path) override;
    QString get_error_text() override { return error_text_; }
    QString get_status_text() override { return status_text_; }
    QString get_status_key() override {
        return status_text_.isEmpty() ? QString() : QStringLiteral("recovery_backup_boot");
    }
    bool last_restore_overwritten() override { return last_restore_overwritten_; }

    // The scan result; read only after the thread has finished.
    const QHash<std::uint64_t, exfat_node>& nodes() const { return node_table_; }
    // Writes the bytes of a found file to sink (the zeros past its valid data length to
    // zeros, when given, else to sink): 0 when all were located and written.
    int write_file(std::uint64_t file_key, const exfat_sink_f& sink,
                   const exfat_zeros_f& zeros = nullptr);
    // Scans a volume through a reader instead of a listed volume (tests, fuzzing); runs on
    // the calling thread.
    void scan_reader(exfat::reader_f reader, std::uint64_t volume_bytes);

  protected:
    void run() override;

  private:
    struct dir_job_s {
        std::uint64_t key = 0;
        exfat::extent_plan_s plan;
        bool deleted = false;
    };
    void scan_volume();
    bool wait_if_paused();
    void walk_directory(const dir_job_s& job, std::vector<dir_job_s>* live,
                        std::vector<dir_job_s>* deleted);
    void link_and_mark();
    void find_orphans(std::vector<dir_job_s>* deleted);
    void note_claims(std::uint64_t key, const exfat_node& node, const exfat::extent_plan_s& plan,
                     bool contiguous);
    void mark_lost_claims();

    // A deleted entry whose clusters are claimed: its key and when it was last written.
    struct claimant_s {
        std::uint64_t key = 0;
        // When it took its clusters: made (creation time) first, then last written; the
        // modification time alone can be set back by any program.
        std::pair<std::int64_t, std::int64_t> written_ms;
        bool file = false;  // only files are flagged; a deleted folder only claims
    };

    exfat::exfat_volume_c volume_;
    std::unique_ptr<platform::device_source_c> device_;
    QHash<std::uint64_t, exfat_node> node_table_;
    QHash<std::uint32_t, bool> walked_;    // first clusters of the directories read
    std::vector<cluster_claim_s> claims_;  // the clusters of every deleted entry, as runs
    std::vector<claimant_s> claimants_;
    volume_item_s target_;
    QString error_text_;
    QString status_text_;  // see get_status_text
    bool last_restore_overwritten_ = false;
    std::atomic<double> progress_{0.0};
    std::atomic<int> pause_{0};
    std::atomic<int> stop_{0};
    std::atomic<std::int64_t> read_count_{0};
    std::atomic<std::int64_t> found_count_{0};
};
