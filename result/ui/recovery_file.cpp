#include "result/ui/recovery_file.h"

#include "engine/restore_names.h"
#include "result/ui/recovery_window.h"

#include <QSet>

recovery_file_c::recovery_file_c(recovery_window_c* page, QObject* parent)
    : QThread(parent), page(page) {}

recovery_file_c::~recovery_file_c() {
    stop_word = 1;
    wait();
}

void recovery_file_c::set_jobs(const QDir& folder, std::vector<restore_job_s> jobs) {
    destination = folder;
    jobs_ = std::move(jobs);
    files_done = 0;
    bytes_done = 0;
    current = -1;
    stop_word = 0;
    restored = 0;
    overwritten = 0;
    failures.clear();
}

void recovery_file_c::run() {
    QSet<QString> used;
    QSet<QString> made;
    const QString root = destination.absolutePath();
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        if (stop_word.load(std::memory_order_relaxed) != 0) {
            break;
        }
        current.store(static_cast<int>(i), std::memory_order_relaxed);
        const restore_job_s& job = jobs_[i];
        QString folder = root;
        for (const QString& part : job.folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            folder += QLatin1Char('/') + safe_file_name(part);
        }
        const QString shown = job.folder.isEmpty() || job.folder == QLatin1String("/")
                                  ? job.item.name
                                  : job.folder + QLatin1Char('/') + job.item.name;
        int result = -1;
        bool flagged = false;
        try {
            if (made.contains(folder) || QDir().mkpath(folder)) {
                made.insert(folder);
                result =
                    page->restore_to(job.item, unique_path(folder, job.item.name, &used), &flagged);
            }
        } catch (...) {
            result = -1;  // an exception must not end the program from this thread
        }
        if (result == 0) {
            ++restored;
            if (job.item.overwritten || flagged) {
                overwritten.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            failures << shown;
        }
        bytes_done.fetch_add(job.item.size, std::memory_order_relaxed);
        files_done.fetch_add(1, std::memory_order_relaxed);
    }
}
