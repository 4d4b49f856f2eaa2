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

// A folder to make under the destination: its name and its parent's position in the list
// of folders. The first folder of the list is the destination itself (no name, parent -1);
// every other comes after its parent. Paths are never stored: a folder nested thousands
// deep costs its own name only.
struct restore_folder_s {
    QString name;
    int parent = -1;
};

// One file to restore, and the folder it goes to: a position in the list of folders, 0 for
// the destination itself.
struct restore_job_s {
    recovery_item_s item;
    int folder = 0;
    std::int64_t modified = 0;  // the restored file's modification time; 0: the restore's
};

// "/" or "/docs/reports": where folders[index] lies below the destination. With a limit, a
// longer path keeps its last limit characters or so after "…".
QString restore_folder_path(const std::vector<restore_folder_s>& folders, int index,
                            qsizetype limit = -1);

class recovery_file_c : public QThread {
    Q_OBJECT
  public:
    explicit recovery_file_c(recovery_window_c* page, QObject* parent = nullptr);
    ~recovery_file_c() override;

    // Call only while the worker is not running. Without folders, every file goes to the
    // destination itself.
    void set_jobs(const QDir& destination, std::vector<restore_job_s> jobs,
                  std::vector<restore_folder_s> folders = {});

    recovery_window_c* page;
    QDir destination;

    // Written by run(), read by the page's timer.
    std::atomic<int> files_done{0};
    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<int> current{-1};  // the job being written, -1 before the first
    // Written by the page: stop now; the file being written is removed, not left half done.
    std::atomic<int> stop_word{0};

    const std::vector<restore_job_s>& jobs() const { return jobs_; }
    const std::vector<restore_folder_s>& folders() const { return folders_; }
    // Read after finished().
    int restored = 0;
    // Restored files whose data other files may have taken since (written by run()).
    std::atomic<int> overwritten{0};
    // Restored deep-scan files that the scan did not check whole (and not flagged above).
    std::atomic<int> unverified{0};
    QStringList failures;  // names (with their folder) of the files not written whole, and why
    bool stopped = false;  // a stop request ended the run before every file was tried

  protected:
    void run() override;

  private:
    std::vector<restore_job_s> jobs_;
    std::vector<restore_folder_s> folders_;
};
