#pragma once
// The interface through which the scan page and the restoration step drive every engine.
//
// An engine is a QThread: the page hands it a volume (set_target), starts it, samples its
// progress and counters on a timer, writes the pause and stop words, and reads the results
// in place after finished(). The engine thread writes progress and counters; the page
// writes pause and stop. Engines keep those words as relaxed atomics so that every read
// sees a whole value.

#include "device/volume_list.h"
#include "engine/restore_sink.h"

#include <QString>
#include <QThread>

#include <cstdint>

// Stop codes written by the page.
constexpr int stop_none = 0;
constexpr int stop_abort = 2;  // leave the page: end the scan and discard the results
constexpr int stop_keep = 3;   // the stop button: end the scan and keep the results

class recovery_base_c : public QThread {
    Q_OBJECT
  public:
    using QThread::QThread;
    ~recovery_base_c() override = default;

    virtual void set_target(const volume_item_s& target) = 0;
    virtual double get_progress() = 0;
    virtual void set_progress(double progress) = 0;
    virtual void set_stop(int code) = 0;
    virtual int get_stop() { return 1; }
    virtual int get_pause() = 0;
    virtual void set_pause(int pause) = 0;
    virtual std::int64_t get_read_count() = 0;
    virtual void reset() = 0;
    // Writes the found file with this key into the sink that the restore writer gives it
    // (engine/restore_sink.h), first byte to last; 0 when it wrote the whole file. Engines
    // never open a destination themselves.
    virtual int restore_into(std::uint64_t file_key, restore_sink_c* sink) = 0;
    // Writes the found file with this key to exactly the destination path, through the
    // restore writer (replacing a regular file of that name, never writing through a link);
    // 0 when written whole. Restores of many files go through restore_writer_c instead.
    virtual int restore_file(std::uint64_t file_key, const QString& destination);
    // The path of a found entry under the volume's mount path; negative on failure.
    virtual int get_file_path(std::uint64_t file_key, QString* path) {
        (void)file_key;
        (void)path;
        return 0;
    }
    virtual std::int64_t get_found_count() { return 0; }
    // Why the last scan could not read its volume, or why the last restore_file refused, in
    // plain words for the user; empty when nothing failed. Read after the thread finished
    // (or after restore_file returned).
    virtual QString get_error_text() { return {}; }
    // How the last scan read a volume it could read, when the user should know it (a damaged
    // structure it went around); empty otherwise. Read after the thread finished.
    virtual QString get_status_text() { return {}; }
    // The same for the desktop program: the language key of a text that goes on the scan's
    // status line (its texts start with their own separator); empty when there is none.
    virtual QString get_status_key() { return {}; }

    // The name of the folder that holds what a scan found without its parent folder (the
    // language key ntfs_orphans_folder, which every engine shares).
    static QString orphans_folder_name();
    // The last restore_file had to step over data that other files hold now: what it wrote
    // may not be the file's own bytes.
    virtual bool last_restore_overwritten() { return false; }
};
