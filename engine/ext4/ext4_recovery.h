#pragma once
// The scan engine for ext2, ext3 and ext4 volumes.
//
// Runs in its own thread: opens the volume through the ext4 reader, searches the journal
// for older copies of metadata blocks, walks every live directory from the root and then
// every deleted directory found on the way, and records every directory and every deleted
// entry: those that survive in a directory block's slack, and those that only an older
// journal copy of the block still holds (today's kernels wipe a deleted entry). A deleted
// entry's inode is taken from the newest journal copy whose block map is not yet cleared
// and whose generation matches, else from the inode itself when its map survived (ext2);
// without one the entry is listed but cannot be restored. Inodes that only the journal
// remembers go to "[Orphaned files]". Owned by whoever scans (the scan page, the orvane
// tool); the results are read in place after finished() and stay until the next reset().
// The volume stays open after a scan for restore_into, which runs on the thread that calls
// it while no scan runs.

#include "device/volume_reader.h"
#include "engine/ext4/ext4_volume.h"
#include "engine/recovery_base.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Attribute bits of a found entry (the FAT engine's bits).
constexpr std::uint16_t ext4_attr_directory = 0x10;
constexpr std::uint16_t ext4_attr_deleted = 0x40;
// A deleted entry whose inode (as it was before the deletion) was not found: listed by
// name, its data left to a deep scan.
constexpr std::uint16_t ext4_attr_no_inode = 0x200;

// The name of the folder that holds files found only in the journal.
inline constexpr char ext4_orphan_folder[] = "[Orphaned files]";

// One found entry.
struct ext4_node {
    std::uint64_t key = 0;     // a number of the scan's own; 0 the root
    std::uint64_t parent = 0;  // key of the folder it was found in
    std::uint32_t inode = 0;   // 0 when the entry's inode number was lost
    std::uint64_t size = 0;    // bytes, from the inode (or its journal copy)
    std::int64_t mtime = 0;    // seconds since 1970 UTC
    std::int64_t crtime = 0;
    std::uint16_t attributes = 0;  // ext4_attr_directory, ext4_attr_deleted
    // Where the data is: blocks from the inode copy, or the inline bytes.
    std::vector<ext4::extent_s> extents;
    std::vector<std::uint8_t> inline_bytes;
    std::uint8_t restorable = 0;      // an inode with its block map (or inline data) was found
    std::uint8_t from_journal = 0;    // that inode came from a journal copy
    std::uint8_t overwritten = 0;     // some block is in use now, or a tree block was missing
    std::uint8_t has_files = 0;       // some file lies somewhere below this folder
    std::uint32_t copy_sequence = 0;  // the journal transaction of the inode copy
    QString name;
    QList<std::uint64_t> children;  // keys, filled after the walk
};

// Takes the file's bytes in order; false to end the write.
using ext4_sink_f = std::function<bool(const char* data, std::size_t length)>;
using ext4_zeros_f = std::function<bool(std::uint64_t length)>;

class ext4_recovery_c final : public recovery_base_c {
    Q_OBJECT
  public:
    explicit ext4_recovery_c(QObject* parent = nullptr);
    ~ext4_recovery_c() override;

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
    const QHash<std::uint64_t, ext4_node>& nodes() const { return node_table_; }
    const ext4::ext4_volume_c& volume() const { return volume_; }
    // Writes the bytes of a found file to sink (holes and unwritten runs to zeros when
    // given): 0 when all were located and written.
    int write_file(std::uint64_t file_key, const ext4_sink_f& sink,
                   const ext4_zeros_f& zeros = nullptr);
    // Scans a volume through a reader instead of a listed volume (tests, fuzzing); runs on
    // the calling thread.
    void scan_reader(ext4::reader_f reader, std::uint64_t volume_bytes);

  protected:
    void run() override;

  private:
    struct dir_job_s {
        std::uint64_t key = 0;
        std::uint32_t inode = 0;
        std::uint32_t generation = 0;  // tells the folder's own blocks (metadata_csum)
        bool deleted = false;
        ext4::block_map_s map;
        std::vector<std::uint8_t> inline_bytes;  // a directory kept inside its inode
        std::uint32_t flags = 0;
    };
    // The inode a deleted entry named, as it was before the deletion.
    struct found_inode_s {
        bool found = false;
        bool from_journal = false;
        std::uint32_t sequence = 0;
        ext4::inode_s inode;
        std::vector<std::uint8_t> raw;
        // No older life of the inode was found, and it is in use: the entry's name was
        // renamed or moved away from a file that still exists.
        bool name_of_live_file = false;
    };
    void clear_results(bool with_top);
    void scan_volume();
    bool wait_if_paused();
    void walk_directory(const dir_job_s& job, std::vector<dir_job_s>* live,
                        std::vector<dir_job_s>* deleted);
    void add_entry(const dir_job_s& job, const ext4::dirent_s& entry, bool deleted,
                   std::uint32_t seen_in, std::vector<dir_job_s>* live,
                   std::vector<dir_job_s>* deleted_dirs);
    found_inode_s find_deleted_inode(std::uint32_t ino, std::uint8_t file_type,
                                     std::uint32_t seen_in) const;
    void fill_from_inode(ext4_node* node, const found_inode_s& found);
    ext4::block_map_s map_as_of(const ext4::inode_s& inode, std::uint32_t sequence,
                                bool from_journal) const;
    void find_orphans();
    void mark_claims();
    void link_and_mark();
    std::uint64_t add_node(ext4_node node);

    ext4::ext4_volume_c volume_;
    volume_range_s range_;
    QHash<std::uint64_t, ext4_node> node_table_;
    QSet<std::uint32_t> walked_dirs_;    // directory inodes read
    QSet<std::uint64_t> walked_blocks_;  // directory blocks read as live folders
    QSet<std::uint32_t> named_inodes_;   // inodes some found entry names
    std::uint64_t next_key_ = 1;
    volume_item_s target_;
    QString error_text_;
    bool last_restore_overwritten_ = false;
    std::atomic<double> progress_{0.0};
    std::atomic<int> pause_{0};
    std::atomic<int> stop_{0};
    std::atomic<std::int64_t> read_count_{0};
    std::atomic<std::int64_t> found_count_{0};
};
