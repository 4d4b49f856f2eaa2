#pragma once
// The scan engine for NTFS volumes.
//
// Runs in its own thread: names the volume's device for the NTFS library, fetches every
// file record it hands out, keeps the directories and the deleted entries by record
// number, then links them into a tree and marks the folders that hold files. Owned by
// whoever scans (the scan page, the orvane tool); the results are read in place after
// finished() and stay until the next reset(). The library context stays open after a scan
// so that restore_file can use it; the next scan ends it first.

#include "engine/ntfs/ntfs_scan.h"
#include "engine/recovery_base.h"

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>

// One kept record.
struct ntfs_node {
    ntfs_record record{};
    std::uint8_t has_files = 0;  // some file lies somewhere below this folder
    // Record numbers of the nodes whose parent this is, filled after the scan. Keys, not
    // pointers: a QHash moves its nodes when it grows or detaches from a shared copy.
    QList<std::uint64_t> children;
};

// The NTFS library's four calls; tests put a scripted library in their place.
struct ntfs_library_s {
    int (*scan_startup)(const char* device, ntfs_scan_context* context);
    int (*scan_next)(ntfs_scan_context* context, ntfs_record* record);
    int (*scan_end)(ntfs_scan_context* context);
    int (*restore_record)(ntfs_scan_context* context, std::uint64_t record_number,
                          const char* path);
    // The same restore into the restore writer's sink; when missing, restore_into fails.
    int (*restore_record_to)(ntfs_scan_context* context, std::uint64_t record_number,
                             const ntfs_restore_output* output) = nullptr;
};

// The record's name as text.
QString ntfs_node_name(const ntfs_node& node);

constexpr std::uint64_t ntfs_root_record = 5;
constexpr std::uint64_t ntfs_last_system_record = 11;  // records 0-11 are the volume's own

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
    const QHash<std::uint64_t, ntfs_node>& nodes() const { return node_table_; }
    // The device name the scan hands to the library for a target.
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
    QHash<std::uint64_t, ntfs_node> node_table_;
    ntfs_library_s library_;
    QString error_text_;  // why the scan could not start or the last restore failed
};
