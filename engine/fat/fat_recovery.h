#pragma once
// The scan engine for FAT12/16/32 volumes.
//
// Runs in its own thread: walks every directory of the volume through the FAT reader,
// deleted directories included, and records every directory and every deleted file, keyed
// by first cluster. Afterwards it links the entries into a tree and marks the folders that
// hold files. Owned by whoever scans (the scan page, the orvane tool); the results are read
// in place after finished() and stay until the next reset(). restore_file runs afterwards
// on the volume as the scan left it mounted; one FAT scan or restore runs at a time.

#include "engine/fat/fat_reader.h"
#include "engine/recovery_base.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <vector>

// One found entry.
struct fat_node {
    std::uint32_t first_cluster = 0;  // also the key; 0 only for the root
    // Where the data starts when the key is not the first cluster (a deleted file that
    // shares its first cluster with a later entry); 0 otherwise.
    std::uint32_t data_cluster = 0;
    std::uint32_t parent = 0;  // first cluster of the directory it was found in
    std::uint32_t size = 0;
    std::int64_t write_time = 0;  // seconds since 1970
    std::int64_t creation_time = 0;
    std::int64_t access_time = 0;  // the day's start; FAT keeps no hour
    std::uint8_t attributes = 0;   // 0x10 directory, 0x40 deleted or below a deleted folder
    std::uint8_t in_deleted_folder = 0;
    std::uint8_t has_files = 0;  // some file lies somewhere below this folder
    // A deleted file whose restore is in doubt: its first cluster is in use now, or a run
    // of used clusters it steps over is not whole chains of live files (see
    // mark_overwritten). Its data may be overwritten.
    std::uint8_t overwritten = 0;
    QString name;  // long name, else short name; '#' first for deleted ones
    // Keys of the nodes found in this folder, filled after the walk. Keys, not pointers: a
    // QHash moves its nodes on any insert, removal or detach of a shared copy.
    QList<std::uint32_t> children;

    std::uint32_t data_start() const { return data_cluster ? data_cluster : first_cluster; }
};

constexpr int fat_name_max = 259;
// Keys of deleted empty files (they have no cluster), counted down from here.
constexpr std::uint32_t fat_empty_file_keys = 0xFFFFFFFFu;
// Keys of deleted files whose first cluster another entry's key holds, counted up from here
// (above the largest FAT32 cluster number).
constexpr std::uint32_t fat_shared_file_keys = 0x10000000u;
// Key of the folder of orphaned folders (under the root): the end-of-chain value, which no
// cluster has.
constexpr std::uint32_t fat_orphans_key = 0x0FFFFFFFu;

class fat_recovery_c final : public recovery_base_c {
    Q_OBJECT
  public:
    using recovery_base_c::recovery_base_c;
    ~fat_recovery_c() override;

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
    bool last_restore_overwritten() override { return last_restore_overwritten_; }

    // The scan result; read only after the thread has finished.
    const QHash<std::uint32_t, fat_node>& nodes() const { return node_table_; }

  protected:
    void run() override;

  private:
    fat_result walk_volume();
    void merge(fat_node node, bool* walk_it);
    bool deleted_folder_intact(std::uint32_t cluster);
    void keep_displaced(fat_node&& node, const fat_node& holder);
    void link_and_mark();
    void mark_overwritten();
    bool whole_live_chains(std::uint32_t first, std::uint32_t end);

    QHash<std::uint32_t, fat_node> node_table_;
    QSet<std::uint32_t> walked_;              // directory clusters already walked
    std::vector<std::uint32_t> live_starts_;  // first clusters of live files and folders
    std::uint32_t empty_files_ = 0;           // deleted empty files recorded
    std::uint32_t shared_files_ = 0;          // deleted files kept under fat_shared_file_keys
    bool orphans_found_ = false;              // some folder went under fat_orphans_key
    volume_item_s target_;
    int drive_ = -1;          // the drive table slot the scan read
    QString drive_identity_;  // and the drive that was in it then
    QString error_text_;      // see get_error_text
    bool last_restore_overwritten_ = false;
    std::atomic<double> progress_{0.0};
    std::atomic<int> pause_{0};
    std::atomic<int> stop_{0};
    std::atomic<std::int64_t> read_count_{0};
    std::atomic<std::int64_t> found_count_{0};
};

// FAT date and time words to seconds since 1970, taken as local time; 0 when they do not
// convert.
std::int64_t fat_time_to_seconds(std::uint16_t date, std::uint16_t time);
