#include "result/ui/recovery_file.h"

#include "core/diagnostics.h"
#include "core/settings.h"
#include "engine/restore_writer.h"
#include "result/file_list.h"
#include "result/ui/recovery_window.h"

namespace {

constexpr qsizetype failure_path_limit = 512;  // characters of a folder's path in a failure

QString failure_words(restore_failure_e failure) {
    switch (failure) {
        case restore_failure_e::reading:
        case restore_failure_e::none:  // the engine's fill failed before the writer saw why
            return text("recovery_fail_reading");
        case restore_failure_e::space:
            return text("recovery_fail_space");
        case restore_failure_e::denied:
            return text("recovery_fail_denied");
        case restore_failure_e::moved:
            return text("recovery_fail_moved");
        case restore_failure_e::destination:
            break;
    }
    return text("recovery_fail_destination");
}

}  // namespace

QString restore_folder_path(const std::vector<restore_folder_s>& folders, int index,
                            qsizetype limit) {
    climbed_path_c path(limit);
    // Parents come before their folders, so the climb ends; the count is a guard only.
    for (std::size_t steps = 0;
         index > 0 && static_cast<std::size_t>(index) < folders.size() && steps < folders.size();
         ++steps) {
        const restore_folder_s& folder = folders[static_cast<std::size_t>(index)];
        if (!path.add(folder.name)) {
            break;
        }
        index = folder.parent;
    }
    return path.text();
}

recovery_file_c::recovery_file_c(recovery_window_c* page, QObject* parent)
    : QThread(parent), page(page) {}

recovery_file_c::~recovery_file_c() {
    stop_word = 1;
    wait();
}

void recovery_file_c::set_jobs(const QDir& folder, std::vector<restore_job_s> jobs,
                               std::vector<restore_folder_s> folders) {
    destination = folder;
    jobs_ = std::move(jobs);
    folders_ = std::move(folders);
    if (folders_.empty()) {
        folders_.push_back({});  // the destination itself
    }
    files_done = 0;
    bytes_done = 0;
    current = -1;
    stop_word = 0;
    restored = 0;
    overwritten = 0;
    unverified = 0;
    failures.clear();
}

void recovery_file_c::run() {
    stopped = false;
    restore_writer_c writer([this] { return stop_word.load(std::memory_order_relaxed) != 0; });
    if (!writer.open(destination.absolutePath())) {
        error_report(__FILE__, __LINE__, "%s", qPrintable(writer.error_text()));
        for (const restore_job_s& job : jobs_) {
            failures << job.item.name + QStringLiteral(": ") + failure_words(writer.failure());
        }
        return;
    }
    // The writer's folder for each folder of the list, made when a file first goes into it
    // (or into a folder below it).
    std::vector<int> made(folders_.size(), -1);
    made[0] = restore_writer_c::top_folder;
    const auto writer_folder = [&](int index) {
        if (index < 0 || static_cast<std::size_t>(index) >= folders_.size()) {
            return -1;
        }
        std::vector<int> up;
        for (int f = index; f >= 0 && made[static_cast<std::size_t>(f)] < 0;
             f = folders_[static_cast<std::size_t>(f)].parent) {
            if (f > 0 && folders_[static_cast<std::size_t>(f)].parent >= f) {
                return -1;  // a parent after its folder: not a list set_jobs takes
            }
            up.push_back(f);
        }
        for (auto it = up.rbegin(); it != up.rend(); ++it) {
            const restore_folder_s& f = folders_[static_cast<std::size_t>(*it)];
            const int parent = f.parent < 0 ? -1 : made[static_cast<std::size_t>(f.parent)];
            made[static_cast<std::size_t>(*it)] = parent < 0 ? -1 : writer.folder(parent, f.name);
        }
        return made[static_cast<std::size_t>(index)];
    };
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        if (stop_word.load(std::memory_order_relaxed) != 0) {
            stopped = true;
            break;
        }
        current.store(static_cast<int>(i), std::memory_order_relaxed);
        const restore_job_s& job = jobs_[i];
        const int folder = writer_folder(job.folder);
        // Only for a failure's line: the folder's path, its tail when it is long.
        const auto shown = [&] {
            const QString where = restore_folder_path(folders_, job.folder, failure_path_limit);
            return where == QLatin1String("/") ? job.item.name
                                               : where + QLatin1Char('/') + job.item.name;
        };
        QString why;
        bool flagged = false;
        const auto fill = [&](restore_sink_c* sink) {
            return page->restore_into(job.item, sink, &why, &flagged);
        };
        restore_result_e result = restore_failed;
        try {
            // A deep scan's job carries its found date; a quick scan's file its own times.
            const restore_times_s times{job.modified != 0 ? job.modified : job.item.date1,
                                        job.modified != 0 ? 0 : job.item.accessed};
            result = writer.write_file(folder, job.item.name, job.item.size, fill, nullptr, times);
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
            } else if (job.item.unverified) {
                unverified.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            if (!writer.error_text().isEmpty()) {
                why = writer.error_text();
            }
            // The user reads the kind of fault in their language; the details go to the log.
            error_report(__FILE__, __LINE__, "%s: %s", qPrintable(shown()), qPrintable(why));
            failures << shown() + QStringLiteral(": ") + failure_words(writer.failure());
        }
        bytes_done.fetch_add(job.item.size, std::memory_order_relaxed);
        files_done.fetch_add(1, std::memory_order_relaxed);
    }
}
