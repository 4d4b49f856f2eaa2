#include "ntfs_recovery.h"

#include "core/diagnostics.h"
#include "core/settings.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr ntfs_library_s ntfs_scan_library = {ntfs_scan_startup,      ntfs_scan_next,
                                              ntfs_scan_end,          ntfs_restore_record,
                                              ntfs_restore_record_to, ntfs_scan_overwritten};

int sink_write(void* owner, const void* data, std::size_t bytes) {
    return static_cast<restore_sink_c*>(owner)->write(data, bytes) ? 0 : -1;
}

int sink_zeros(void* owner, std::uint64_t bytes) {
    return static_cast<restore_sink_c*>(owner)->zeros(bytes) ? 0 : -1;
}

}  // namespace

ntfs_recovery_c::ntfs_recovery_c(QObject* parent)
    : recovery_base_c(parent), library_(ntfs_scan_library) {}

ntfs_recovery_c::~ntfs_recovery_c() {
    if (isRunning()) {
        set_stop(stop_abort);
        wait();
    }
    // The context stays open from scan to scan; the engine's end is the last chance to end it.
    if (context_.started) {
        library_.scan_end(&context_);
    }
}

void ntfs_recovery_c::reset() {
    progress_ = 0.0;
    pause_ = 0;
    stop_ = 0;
    read_count_ = 0;
    found_count_ = 0;
    tree_.clear();
    error_text_.clear();
}

QByteArray ntfs_recovery_c::device_name(const volume_item_s& target) {
    // Drives as Linux letters disks: a-z, then aa-az, ba-bz and so on.
    QByteArray letters;
    for (long n = std::max(0L, static_cast<long>(target.disk_number)) + 1; n > 0;
         n = (n - 1) / 26) {
        letters.prepend(static_cast<char>('a' + (n - 1) % 26));
    }
    char name[260];
    std::snprintf(name, sizeof name, "/dev/hd%s%d", letters.constData(),
                  static_cast<int>(target.partition_number));
    return QByteArray(name);
}

void ntfs_recovery_c::run() {
    try {
        // A stop or pause written before this thread started is meant for this scan.
        const int stop = get_stop();
        const int pause = get_pause();
        reset();
        if (stop != stop_none) {
            set_stop(stop);
            return;
        }
        set_pause(pause);
        const QByteArray device = device_name(target_);
        if (context_.started) {
            library_.scan_end(&context_);
        }
        std::memset(&context_, 0, sizeof context_);
        const int result = library_.scan_startup(device.constData(), &context_);
        if (result < 0) {
            error_report("ntfs_recovery", 105, "ntfs_scan_startup failed with return value (%d)",
                         result);
            error_text_ = QStringLiteral("not readable as an NTFS volume: %1 (%2)")
                              .arg(QString::fromUtf8(ntfs_error_text(result)))
                              .arg(result);
            return;
        }
        fetch_records();
        link_and_mark();
    } catch (...) {
        // Out of memory on a huge volume: keep what was found and end the scan.
        set_stop(stop_keep);
    }
}

void ntfs_recovery_c::fetch_records() {
    ntfs_record record;
    while (stop_.load(std::memory_order_relaxed) == 0) {
        bool stopped = false;
        while (pause_.load(std::memory_order_relaxed) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (stop_.load(std::memory_order_relaxed) != 0) {
                stopped = true;
                break;
            }
        }
        if (stopped) {
            break;
        }
        std::memset(&record, 0, sizeof record);
        if (library_.scan_next(&context_, &record) == 0) {
            break;
        }
        // Terms are summed in 64 bits: 32-bit sums would overflow on a very large $MFT.
        const std::int64_t examined = static_cast<std::int64_t>(context_.term_c) +
                                      8 * (static_cast<std::int64_t>(context_.term_a) +
                                           static_cast<std::int64_t>(context_.term_b));
        if (context_.progress_denominator > 0) {
            progress_.store(
                static_cast<double>(examined) / static_cast<double>(context_.progress_denominator),
                std::memory_order_relaxed);
        }
        read_count_.fetch_add(1, std::memory_order_relaxed);
        const std::uint32_t flags = record.flags;
        if ((flags & ntfs_flag_deleted) || !(flags & ntfs_flag_file)) {
            found_count_.fetch_add(1, std::memory_order_relaxed);
            tree_.add(record);
        }
    }
}

void ntfs_recovery_c::link_and_mark() {
    tree_.finish(orphans_folder_name());
    // Deleted files whose clusters a later record took, which $Bitmap cannot show when that
    // record was deleted too.
    if (library_.scan_overwritten) {
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const ntfs_node& node = tree_.at(i);
            if ((node.flags & ntfs_flag_deleted) && (node.flags & ntfs_flag_file) &&
                !(node.extra_flags & ntfs_extra_overwritten) &&
                library_.scan_overwritten(&context_, node.record_number) > 0) {
                tree_.add_extra_flags(node.record_number, ntfs_extra_overwritten);
            }
        }
    }
}

int ntfs_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    error_text_.clear();
    if (!library_.restore_record_to) {
        error_text_ = QStringLiteral("this NTFS library cannot restore");
        return -1;
    }
    const ntfs_restore_output output{sink, sink_write, sink_zeros};
    const int result = library_.restore_record_to(&context_, file_key, &output);
    if (result != 0) {
        error_text_ = QString::fromUtf8(ntfs_error_text(result));
    }
    return result;
}

int ntfs_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    QString result = target_.path;
    if (result.endsWith(QLatin1Char('/')) || result.endsWith(QLatin1Char('\\'))) {
        result.chop(1);
    }
    QStringList names;
    std::uint64_t key = file_key;
    for (std::size_t steps = 0;; ++steps) {
        const ntfs_node* found = tree_.find(key);
        if (!found || steps > tree_.size()) {
            return -1;
        }
        names.prepend(tree_.name(*found));
        if (found->parent_number == ntfs_root_record) {
            break;
        }
        key = found->parent_number;
    }
    for (const QString& name : names) {
        result += QLatin1Char('/') + name;
    }
    *path = result;
    return 0;
}
