#pragma once
// The partition worker: searches a whole drive for lost partitions and surviving tables in
// its own thread, and writes a partition table for them on request.
//
// Owned by the partition page (or the orvane tool). The page sets the drive, starts the
// thread and reads search_progress on its timer; the found partitions are read through
// the locked accessors, from any thread, while the search still appends to them. The
// search opens the drive read-only and closes it on every path; stopping is cooperative
// (request_stop). plan_repair, repair_table and repair_mbr run on the caller's thread,
// only while no search runs; the repairs are the one place that writes to the drive.

#include "disk_layout.h"
#include "partition_item.h"
#include "table_builder.h"

#include "device/drive_list.h"
#include "device/platform/drive_identity.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>

namespace platform {
class device_source_c;
}

// 512-byte units at a partition's start compared at write time: 4 KiB (one sector of a
// drive of 4096-byte sectors), which holds the boot sector of FAT, exFAT and NTFS, the
// ext superblock and XFS's.
constexpr std::uint32_t start_check_sectors = 8;

class partition_repair_c : public QThread {
    Q_OBJECT

  public:
    explicit partition_repair_c(QObject* parent = nullptr);
    ~partition_repair_c() override;

    // The drive to search and repair; refused (-1) while a search runs.
    int set_drive(const drive_item_s& drive);
    drive_item_s current_drive() const;

    // The same as repair_table: the master boot record of a drive without a GPT is planned
    // like any other table (what holds is kept, what was found is added).
    int repair_mbr();

    // The table a repair of what the last search found writes (table_builder.h): a GPT
    // restored from its surviving backup or built new, or a master boot record (with an
    // extended entry over a surviving chain). Planned from the drive as the search read it
    // and kept, so that repair_table writes this very table, new partition GUIDs included.
    // Empty writes and plan.error (why) when nothing would be written: the refusals of
    // repair_refusal, a drive that cannot be written, no partition that fits a table.
    table_plan_s plan_repair();

    // Writes the table that what the search found calls for: the plan kept by plan_repair,
    // or a new one like it. Refuses, doing nothing, when no drive is set, the search runs,
    // nothing needs repair (repair_refusal), the drive is not the one searched (device
    // number, disk sequence number, size or sector 0 changed), or the first sectors of a
    // partition in the plan changed since the search. Only sectors whose bytes change are
    // written; every one is saved first to backup_path (synced), one range per run, and
    // written with the hash of what it replaces, exclusively, by platform::write_sectors
    // (the privileged writer in the desktop program). 0 when written, -1 otherwise
    // (repair_error says why).
    int repair_table();
    QString repair_scheme() const { return repair_scheme_; }
    QList<partition_item_s> described() const { return described_; }

    // Asks the search to end before its next block.
    void request_stop();

    // The partitions found so far, in the order found.
    QList<partition_item_s> partitions() const;
    qsizetype partition_count() const;
    partition_item_s partition_at(qsizetype row) const;

    // Fraction 0.0-1.0 of the drive searched; written by the search thread only.
    std::atomic<double> search_progress{0.0};
    // Sectors of the drive the last search could not read.
    std::atomic<std::uint64_t> unreadable_sectors{0};

    // Read after finished(): why the search could not run (empty when it ran) and whether
    // it was stopped before the end of the drive.
    QString search_error() const;
    bool search_stopped() const;
    // What the last search learnt about the drive's tables (the scheme a repair writes,
    // a surviving GPT, extended boot records); read after finished().
    disk_layout_s disk_layout() const;

    // Why a repair of what the last search found would be refused before anything is
    // asked (empty when it may be offered): nothing was found, a partition was found at
    // sector 0, or sector 0 holds a file system's own boot sector (a drive formatted whole
    // needs no partition table; the quick scan reaches its files).
    QString repair_refusal() const;
    // Why the table on the drive needs no repair after the last search (it holds and
    // nothing was found outside its entries); empty when it may need one.
    QString table_holds() const;
    // The file system that starts at sector 0 of the searched drive ("FAT32", "NTFS",
    // "exFAT", ...), which makes a partition table wrong there; empty when none does.
    QString whole_volume_file_system() const;

    // Read after a repair: why it failed, the backup of the sectors it replaced, the
    // partitions that no table entry can describe (beyond 2 TiB), and whether the kernel
    // took the new table at once (block devices).
    QString repair_error() const { return repair_error_; }
    QString backup_path() const { return backup_path_; }
    QList<partition_item_s> left_out() const { return left_out_; }
    bool table_reread() const { return table_reread_; }

  signals:
    void partition_found();

  protected:
    void run() override;

  private:
    void search();
    int fail_repair(const QString& why);
    // SHA-256 of the first 4 KiB of a partition starting at sector `start` (less at the end
    // of the drive); empty when they cannot be read.
    static QByteArray start_hash(platform::device_source_c& source, std::uint64_t start,
                                 std::uint32_t sector_bytes);
    // Forgets the last repair's report and checks that one may begin on *drive (the drive
    // searched); false with repair_error() set otherwise.
    bool begin_repair(drive_item_s* drive);

    mutable QMutex lock_;  // guards partition_list, drive_, search_error_ and stopped_
    QList<partition_item_s> partition_list;
    drive_item_s drive_;
    QString search_error_;
    bool stopped_ = false;
    disk_layout_s layout_;
    QByteArray first_sector_;  // the whole sector 0 as the search read it; empty when unread
    QMap<std::uint64_t, QByteArray> first_sectors_;  // start_hash of each partition found
    platform::drive_identity_s identity_;            // the searched drive's, when identified
    bool identified_ = false;
    std::atomic<int> stop_word_{0};  // written by request_stop, read by the search

    QString repair_error_;
    QString backup_path_;
    QList<partition_item_s> left_out_;
    QString repair_scheme_;
    QList<partition_item_s> described_;
    table_plan_s plan_;  // kept by plan_repair for this search; guarded by lock_
    bool planned_ = false;
    bool table_reread_ = false;
};
