#include "exfat_recovery.h"

#include "engine/node_tree.h"

#include "app/diagnostics.h"
#include "device/platform/platform_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// Entries parsed between two looks at the stop and pause words.
constexpr std::size_t entries_per_check = 4096;

QString name_of(const std::u16string& name) {
    return QString::fromUtf16(name.data(), static_cast<qsizetype>(name.size()));
}

}  // namespace

exfat_recovery_c::exfat_recovery_c(QObject* parent) : recovery_base_c(parent) {}

exfat_recovery_c::~exfat_recovery_c() {
    if (isRunning()) {
        set_stop(stop_abort);
        wait();
    }
}

void exfat_recovery_c::reset() {
    progress_ = 0.0;
    pause_ = 0;
    stop_ = 0;
    read_count_ = 0;
    found_count_ = 0;
    node_table_.clear();
    walked_.clear();
    error_text_.clear();
}

void exfat_recovery_c::run() {
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
        device_.reset();
        QString name = target_.volume_name;
        if (name.endsWith(QLatin1Char('\\'))) {
            name.chop(1);
        }
        platform::volume_where_s where;
        const std::vector<platform::drive_desc_s> drives = platform::list_drives();
        if (!platform::locate_volume(name, &where) || where.drive_number < 0 ||
            where.drive_number >= static_cast<int>(drives.size())) {
            error_text_ = QStringLiteral("the volume was not found on any drive");
        } else {
            QString why;
            device_ =
                platform::open_drive(drives[static_cast<std::size_t>(where.drive_number)], &why);
            if (!device_) {
                error_text_ = QStringLiteral("its drive cannot be opened: %1").arg(why);
            }
        }
        if (!device_) {
            node_table_.insert(0, exfat_node{});
            node_table_[0].attributes = exfat::attr_directory;
            return;
        }
        const std::uint64_t base = where.start_sector * 512;
        const std::uint64_t size = where.byte_size;
        platform::device_source_c* device = device_.get();
        scan_reader(
            [device, base, size](std::uint64_t offset, void* buffer, std::size_t len) {
                if (offset > size || len > size - offset) {
                    return -1;
                }
                return device->read_at(base + offset, buffer, len);
            },
            size);
    } catch (...) {
        // Out of memory on a huge volume: keep what was found and end the scan.
        set_stop(stop_keep);
    }
}

void exfat_recovery_c::scan_reader(exfat::reader_f reader, std::uint64_t volume_bytes) {
    node_table_.clear();
    walked_.clear();
    error_text_.clear();
    exfat_node root;
    root.attributes = exfat::attr_directory;
    node_table_.insert(0, root);
    const int opened = volume_.open(std::move(reader), volume_bytes);
    if (opened != exfat::open_ok) {
        error_text_ = opened == exfat::open_not_exfat
                          ? QStringLiteral(
                                "no exFAT file system that this program can read was "
                                "found on it (main and backup boot regions checked)")
                          : QStringLiteral("reading its drive failed");
        return;
    }
    console_printf("Start exFAT scan%s.\n",
                   volume_.used_backup_boot() ? " (backup boot region)" : "");
    if (!volume_.bitmap_loaded()) {
        error_report(__FILE__, __LINE__, "exFAT: the allocation bitmap cannot be read");
    }
    scan_volume();
    link_and_mark();
}

bool exfat_recovery_c::wait_if_paused() {
    while (pause_.load(std::memory_order_relaxed) != 0) {
        if (stop_.load(std::memory_order_relaxed) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return stop_.load(std::memory_order_relaxed) == 0;
}

// Live directories first, depth first from the root; deleted directories after all live
// ones, so that a cluster a live folder holds now is read as that folder and not again as
// the deleted one that held it before.
void exfat_recovery_c::scan_volume() {
    std::vector<dir_job_s> live;
    std::vector<dir_job_s> deleted;
    dir_job_s root;
    root.plan = volume_.root_plan();
    live.push_back(std::move(root));
    std::size_t done = 0;
    while (!live.empty() || !deleted.empty()) {
        if (!wait_if_paused()) {
            return;
        }
        std::vector<dir_job_s>& from = live.empty() ? deleted : live;
        const dir_job_s job = std::move(from.back());
        from.pop_back();
        if (!job.plan.clusters.empty()) {
            const std::uint32_t first = job.plan.clusters.front();
            if (walked_.contains(first)) {
                continue;  // a loop, a cross-link, or a deleted folder whose cluster is reused
            }
            walked_.insert(first, true);
        }
        walk_directory(job, &live, &deleted);
        ++done;
        const double progress =
            static_cast<double>(done) / static_cast<double>(done + live.size() + deleted.size());
        progress_.store(std::min(progress, 0.99), std::memory_order_relaxed);
    }
}

void exfat_recovery_c::walk_directory(const dir_job_s& job, std::vector<dir_job_s>* live,
                                      std::vector<dir_job_s>* deleted) {
    std::vector<std::uint8_t> bytes;
    volume_.read_plan(job.plan, exfat::directory_max_bytes, &bytes);  // what was read is used
    const std::uint64_t cluster = volume_.cluster_bytes();
    const std::uint64_t heap =
        static_cast<std::uint64_t>(volume_.boot().heap_offset) * volume_.boot().sector_bytes();
    std::size_t since_check = 0;
    for (std::size_t at = 0; at + exfat::entry_bytes <= bytes.size();) {
        if (++since_check >= entries_per_check) {
            since_check = 0;
            if (!wait_if_paused()) {
                return;
            }
        }
        read_count_.fetch_add(1, std::memory_order_relaxed);
        exfat::entry_set_s set;
        const std::size_t step = exfat::parse_entry_set(bytes.data(), bytes.size(), at, &set);
        if (step <= 1) {
            at += exfat::entry_bytes;
            continue;
        }
        const std::size_t set_at = at;
        at += step * exfat::entry_bytes;
        const bool is_deleted = set.deleted || job.deleted;
        const bool is_dir = set.is_directory();
        if (!is_dir && !is_deleted) {
            continue;  // live files are not listed
        }
        const std::uint32_t in_cluster = job.plan.clusters[set_at / cluster];
        const std::uint64_t key =
            (heap + (in_cluster - static_cast<std::uint64_t>(exfat::first_cluster)) * cluster +
             set_at % cluster) /
            exfat::entry_bytes;
        if (key == 0 || node_table_.contains(key)) {
            continue;
        }
        if (volume_.upcase_loaded() &&
            exfat::name_hash(volume_.upcase().up(set.name)) != set.name_hash) {
            console_printf("exFAT: name hash differs for an entry set at %llu\n",
                           static_cast<unsigned long long>(key * exfat::entry_bytes));
        }
        exfat_node node;
        node.key = key;
        node.parent = job.key;
        node.size = set.data_length;
        node.valid_length = std::min(set.valid_length, set.data_length);
        node.first_cluster = set.first_cluster;
        node.modify_ms = set.modify_ms;
        node.create_ms = set.create_ms;
        node.access_ms = set.access_ms;
        node.attributes = static_cast<std::uint16_t>((set.attributes & ~exfat_attr_deleted) |
                                                     (is_deleted ? exfat_attr_deleted : 0));
        node.flags = set.flags;
        node.in_deleted_folder = job.deleted ? 1 : 0;
        node.name = name_of(set.name);
        if (is_dir) {
            dir_job_s next;
            next.key = key;
            next.deleted = is_deleted;
            next.plan = volume_.plan(set.first_cluster,
                                     std::min(set.data_length, exfat::directory_max_bytes),
                                     set.no_fat_chain(), is_deleted);
            (is_deleted ? deleted : live)->push_back(std::move(next));
        } else {
            const exfat::extent_plan_s where =
                volume_.plan(set.first_cluster, set.data_length, set.no_fat_chain(), true);
            node.overwritten = where.possibly_overwritten || !where.complete ? 1 : 0;
        }
        node_table_.insert(key, std::move(node));
        found_count_.fetch_add(1, std::memory_order_relaxed);
    }
}

void exfat_recovery_c::link_and_mark() {
    link_node_tree(node_table_, exfat::attr_directory);
}
