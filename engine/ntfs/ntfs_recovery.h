#pragma once
// The scan engine for NTFS volumes.
//
// Runs in its own thread: names the volume's device for the NTFS library, fetches every
// file record it hands out, keeps the directories and the deleted entries by record
// number, then links them into a tree (checking each parent reference's sequence number;
// files without a valid parent go to a folder of orphaned files) and marks the folders that
// hold files. Owned by
// whoever scans (the scan page, the orvane tool); the results are read in place after
// finished() and stay until the next reset(). The library context stays open after a scan
// so that restore_file can use it; the next scan ends it first.

#include "engine/ntfs/ntfs_scan.h"
#include "engine/ntfs/ntfs_tree.h"
#include "engine/recovery_base.h"

#include <QString>

#include <atomic>
#include <cstdint>

// The NTFS library's calls; tests put a scripted library in their place. scan_overwritten
// may be null (a library without it flags only what $Bitmap shows).
struct ntfs_library_s {
    int (*scan_startup)(const char* device, ntfs_scan_context* context);
    int (*scan_next)(ntfs_scan_context* context, ntfs_record* record);
    int (*scan_end)(ntfs_scan_context* context);
    int (*restore_record)(ntfs_scan_context* context, std::uint64_t record_number,
                          const char* path);
    // The same restore into the restore writer's sink; when missing, restore_into fails.
    int (*restore_record_to)(ntfs_scan_context* context, std::uint64_t record_number,
                             const ntfs_restore_output* output) = nullptr;
    int (*scan_overwritten)(ntfs_scan_context* context, std::uint64_t record_number) = nullptr;
};

class ntfs_recovery_c final : public recovery_base_c {
    Q_OBJECT
  public:
    explicit ntfs_recovery_c(QObject* parent = nullptr);
    ~ntfs_recovery_c() override;

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

    // The scan result; read only after the thread has finished.
    const ntfs_tree_c& tree() const { return tree_; }
    // The device name the scan hands to the library for a target: /dev/hd, the drive's
    // letters (a-z, then aa, ab, ...) and the partition number.
    static QByteArray device_name(const volume_item_s& target);
    // Replaces the library's calls (tests); call only while no scan runs.
    void set_library(const ntfs_library_s& library) { library_ = library; }

  protected:
    void run() override;

  private:
    void fetch_records();
    void link_and_mark();

    ntfs_scan_context context_{};
    volume_item_s target_;
    std::atomic<double> progress_{0.0};
    std::atomic<int> pause_{0};
    std::atomic<int> stop_{0};
    std::atomic<std::int64_t> read_count_{0};
    std::atomic<std::int64_t> found_count_{0};
    ntfs_tree_c tree_;
    ntfs_library_s library_;
    QString error_text_;  // why the scan could not start or the last restore failed
};
