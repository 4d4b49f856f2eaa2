#include "result/ui/recovery_file.h"

#include "engine/restore_writer.h"
#include "result/ui/recovery_window.h"

#include <QHash>

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
    stopped = false;
    restore_writer_c writer([this] { return stop_word.load(std::memory_order_relaxed) != 0; });
    if (!writer.open(destination.absolutePath())) {
        for (const restore_job_s& job : jobs_) {
            failures << job.item.name + QStringLiteral(": ") + writer.error_text();
        }
        return;
    }
    QHash<QString, int> folders;  // a found folder's path -> the writer's folder
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        if (stop_word.load(std::memory_order_relaxed) != 0) {
            stopped = true;
            break;
        }
        current.store(static_cast<int>(i), std::memory_order_relaxed);
        const restore_job_s& job = jobs_[i];
        int folder = folders.value(job.folder, -1);
        if (folder < 0) {
            folder = restore_writer_c::top_folder;
            for (const QString& part : job.folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
                folder = writer.folder(folder, part);
            }
            folders.insert(job.folder, folder);
        }
        const QString shown = job.folder.isEmpty() || job.folder == QLatin1String("/")
                                  ? job.item.name
                                  : job.folder + QLatin1Char('/') + job.item.name;
        QString why;
        bool flagged = false;
        const auto fill = [&](restore_sink_c* sink) {
            return page->restore_into(job.item, sink, &why, &flagged);
        };
        restore_result_e result = restore_failed;
        try {
            result = writer.write_file(folder, job.item.name, job.item.size, fill);
        } catch (...) {
            result = restore_failed;  // an exception must not end the program from this thread
        }
        if (result == restore_stopped) {
            stopped = true;
            break;  // the file being written was removed; it is neither restored nor failed
        }
        if (result == restore_written) {
            ++restored;
            if (job.item.overwritten || flagged) {
                overwritten.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            if (!writer.error_text().isEmpty()) {
                why = writer.error_text();
            }
            failures << (why.isEmpty() ? shown : shown + QStringLiteral(": ") + why);
        }
        bytes_done.fetch_add(job.item.size, std::memory_order_relaxed);
        files_done.fetch_add(1, std::memory_order_relaxed);
    }
}
