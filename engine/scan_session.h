#pragma once
// One scan at a time over a set of engines: the start rules, stop, abort and pause, and the
// end of a scan. The scan page drives its scans through this object; the orvane tool does
// the same without an event loop.
//
// Lives on the user-interface thread (or the tool's main thread). Owns one engine of each
// kind for its whole life and a pointer to the current one, which is the null engine until
// the first scan.

#include "engine/engine_choice.h"
#include "engine/exfat/exfat_recovery.h"
#include "engine/ext4/ext4_recovery.h"
#include "engine/fat/fat_recovery.h"
#include "engine/ntfs/ntfs_recovery.h"
#include "engine/raw/raw_recovery.h"
#include "engine/recovery_stop.h"

#include <QObject>

class scan_session_c : public QObject {
    Q_OBJECT
  public:
    explicit scan_session_c(QObject* parent = nullptr);
    ~scan_session_c() override;

    // Starts a scan of target: -1 while a scan runs or when no engine reads the volume.
    int start(const volume_item_s& target, bool deep_scan);
    // Continues an interrupted deep scan of target from its checkpoint (scan_checkpoint.h;
    // the caller has checked that it belongs to this volume). 0, or -1 while a scan runs.
    int continue_deep_scan(const volume_item_s& target, const struct scan_checkpoint_s& checkpoint);
    // The stop button: end the scan and keep what it found.
    void stop();
    // Leaving the scan: end a running scan and discard its results, or drop the last results.
    void abort();
    // Pauses a running scan, or resumes a paused one; returns the new pause word.
    int toggle_pause();
    // Loads a scan file into the signature engine and makes it current, with the volume
    // that the file's device path names exactly as its target. A file that carries its
    // volume's identity loads only when that volume's start, size and first sector are the
    // same now; one without loads only when trust_unbound_scan_files() was set (the user
    // agreed: such a file can name any bytes of the volume) and the volume holds every
    // record whole; else the result is resume_untrusted. -1 while a
    // scan runs, when the file is not a scan file (nothing changes), or when no volume
    // matches (the records stay loaded; *why says why); *device_path gets the file's.
    // The files' names and dates are read from the volume before it returns, unless
    // with_metadata is false: then the caller reads them (raw_engine().read_metadata(), on a
    // thread of its own) before it lists the files.
    int resume_scan_file(const QString& path, const std::vector<volume_item_s>& volumes,
                         QString* device_path = nullptr, QString* why = nullptr,
                         bool with_metadata = true);

    static constexpr int resume_untrusted = -2;
    void trust_unbound_scan_files(bool trust) { trust_unbound_ = trust; }

    recovery_base_c* current() const { return current_; }
    engine_kind_e engine_kind() const { return engine_kind_; }
    bool scanning() const { return scanning_; }
    // The last scan ended and kept its results (natural end or stop button).
    bool has_results() const { return has_results_; }
    const volume_item_s& target() const { return target_; }
    // The engine's progress when its thread ended, before the end set it to 1: what a
    // stopped scan really covered.
    double progress_at_end() const { return progress_at_end_; }
    fat_recovery_c& fat_engine() { return fat_engine_; }
    ntfs_recovery_c& ntfs_engine() { return ntfs_engine_; }
    exfat_recovery_c& exfat_engine() { return exfat_engine_; }
    ext4_recovery_c& ext4_engine() { return ext4_engine_; }
    raw_recovery_c& raw_engine() { return raw_engine_; }
    const raw_recovery_c& raw_engine() const { return raw_engine_; }

  public slots:
    // The engine thread has ended (its finished() signal).
    void on_thread_finished();

  private:
    recovery_base_c* engine_for(engine_kind_e kind);

    recovery_stop_c null_engine_;
    fat_recovery_c fat_engine_;
    ntfs_recovery_c ntfs_engine_;
    exfat_recovery_c exfat_engine_;
    ext4_recovery_c ext4_engine_;
    raw_recovery_c raw_engine_;
    recovery_base_c* current_ = &null_engine_;
    engine_kind_e engine_kind_ = engine_none;
    volume_item_s target_;
    bool scanning_ = false;
    bool has_results_ = false;
    bool trust_unbound_ = false;
    double progress_at_end_ = 0.0;
};
