#pragma once
// The restoration worker: writes a list of found files into the chosen folder, each through
// the scan page's restore step, and counts what it wrote.
//
// The page hands it a copy of the files when it starts, so opening another folder, ticking
// or sorting on the page changes nothing it reads. It runs on its own thread and touches no
// widget: the page samples the counters on its timer and reads the summary after finished().
// Owned by the scan page, created on first use and reused.

#include "result/recovery_item.h"

#include <QDir>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <vector>

class recovery_window_c;

// One file to restore, and the folder under the destination it goes to ("" for the
// destination itself, "/docs/reports" when the folders are kept).
struct restore_job_s {
    recovery_item_s item;
    QString folder;
};

class recovery_file_c : public QThread {
    Q_OBJECT
  public:
    explicit recovery_file_c(recovery_window_c* page, QObject* parent = nullptr);
    ~recovery_file_c() override;

    // Call only while the worker is not running.
    void set_jobs(const QDir& destination, std::vector<restore_job_s> jobs);

    recovery_window_c* page;
    QDir destination;

    // Written by run(), read by the page's timer.
    std::atomic<int> files_done{0};
    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<int> current{-1};  // the job being written, -1 before the first
    // Written by the page: stop now; the file being written is removed, not left half done.
    std::atomic<int> stop_word{0};

    const std::vector<restore_job_s>& jobs() const { return jobs_; }
    // Read after finished().
    int restored = 0;
    // Restored files whose data other files may have taken since (written by run()).
    std::atomic<int> overwritten{0};
    QStringList failures;  // names (with their folder) of the files not written whole, and why
    bool stopped = false;  // a stop request ended the run before every file was tried

  protected:
    void run() override;

  private:
    std::vector<restore_job_s> jobs_;
};
