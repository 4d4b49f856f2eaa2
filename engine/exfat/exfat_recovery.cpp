#include "exfat_recovery.h"

#include "engine/node_tree.h"

#include "core/diagnostics.h"
#include "device/platform/platform_device.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <thread>
#include <unordered_set>

namespace {

// Entries parsed between two looks at the stop and pause words.
constexpr std::size_t entries_per_check = 4096;
// Cluster runs of deleted entries kept for telling which lost clusters to later ones (384 MiB
// at most); past it the rest are not compared.
constexpr std::size_t max_claims = std::size_t{1} << 24;
// The free clusters searched for orphaned folders are read this many bytes at a time.
constexpr std::uint64_t orphan_read_bytes = 1 << 20;

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
    claims_.clear();
    claimants_.clear();
    error_text_.clear();
    status_text_.clear();
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
    claims_.clear();
    claimants_.clear();
    error_text_.clear();
    status_text_.clear();
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
    if (volume_.used_backup_boot()) {
        status_text_ = QStringLiteral(
            "the main boot region is damaged; the volume was read through its backup boot "
            "region (sectors 12-23)");
    }
    if (!volume_.bitmap_loaded()) {
        error_report(__FILE__, __LINE__, "exFAT: the allocation bitmap cannot be read");
    }
    scan_volume();
    mark_lost_claims();
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
    bool orphans_searched = false;
    while (!live.empty() || !deleted.empty() || !orphans_searched) {
        if (!wait_if_paused()) {
            return;
        }
        if (live.empty() && deleted.empty()) {
            orphans_searched = true;
            find_orphans(&deleted);
            continue;
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
            if (is_deleted) {
                note_claims(key, node, next.plan, set.no_fat_chain());
            }
            (is_deleted ? deleted : live)->push_back(std::move(next));
        } else {
            const exfat::extent_plan_s where =
                volume_.plan(set.first_cluster, set.data_length, set.no_fat_chain(), true);
            node.overwritten = where.possibly_overwritten || !where.complete ? 1 : 0;
            note_claims(key, node, where, set.no_fat_chain());
        }
        node_table_.insert(key, std::move(node));
        found_count_.fetch_add(1, std::memory_order_relaxed);
    }
}

void exfat_recovery_c::link_and_mark() {
    link_node_tree(node_table_, exfat::attr_directory);
}

// Keeps the clusters of a deleted entry as runs of consecutive clusters: all of them when
// they are known (contiguous, or a chain still in the FAT), else only the first; the rest
// of a guessed order would blame files whose clusters the guess merely stepped into.
void exfat_recovery_c::note_claims(std::uint64_t key, const exfat_node& node,
                                   const exfat::extent_plan_s& plan, bool contiguous) {
    std::span<const std::uint32_t> clusters(plan.clusters);
    if (!contiguous && !plan.chain_followed) {
        clusters = clusters.first(std::min<std::size_t>(clusters.size(), 1));
    }
    if (clusters.empty() || claims_.size() >= max_claims) {
        return;
    }
    const std::uint64_t owner = claimants_.size();
    claimants_.push_back(
        {key, {node.create_ms, node.modify_ms}, !(node.attributes & exfat::attr_directory)});
    for (std::size_t i = 0; i < clusters.size() && claims_.size() < max_claims;) {
        std::size_t end = i + 1;
        while (end < clusters.size() && clusters[end] == clusters[end - 1] + 1) {
            ++end;
        }
        claims_.push_back({clusters[i], clusters[i] + std::uint64_t{end - i}, owner});
        i = end;
    }
}

// A deleted file whose clusters a deleted entry made at the same time or later also claims
// lost them to it: the allocation bitmap shows them free, yet they hold the later
// entry's bytes. (Clusters that live files hold the bitmap shows; the plan flagged those.)
void exfat_recovery_c::mark_lost_claims() {
    const std::vector<std::uint8_t> lost = flag_lost_claims(
        claims_, claimants_.size(), [this](std::uint64_t o) { return claimants_[o].written_ms; },
        [this](std::uint64_t o) { return claimants_[o].file; });
    for (std::size_t o = 0; o < claimants_.size(); ++o) {
        if (lost[o]) {
            const auto node = node_table_.find(claimants_[o].key);
            if (node != node_table_.end()) {
                node.value().overwritten = 1;
            }
        }
    }
    std::vector<cluster_claim_s>().swap(claims_);
    std::vector<claimant_s>().swap(claimants_);
}

// Directory clusters that no walked folder reached (their folder's entry is gone, or its
// parent's cluster went to a file): every cluster the bitmap shows free is read once, in
// cluster order, and one holding a file entry set whose checksum holds is a directory's.
// Those that no other such cluster names as a folder's first cluster are walked as deleted
// folders under the folder of orphaned files; the others are reached through them.
void exfat_recovery_c::find_orphans(std::vector<dir_job_s>* deleted) {
    if (!volume_.bitmap_loaded()) {
        return;
    }
    const std::uint64_t cluster_bytes = volume_.cluster_bytes();
    std::vector<std::uint8_t> bytes;
    exfat::extent_plan_s run;  // free clusters side by side, read at once
    std::vector<std::uint32_t> found;
    std::unordered_set<std::uint32_t> named;  // first clusters of folders the found ones hold
    const std::uint64_t end = std::uint64_t{volume_.cluster_count()} + exfat::first_cluster;
    for (std::uint64_t c = exfat::first_cluster; c < end && volume_.valid_cluster(c);) {
        if (!wait_if_paused()) {
            return;
        }
        run.clusters.clear();
        for (; c < end && volume_.valid_cluster(c) &&
               run.clusters.size() * cluster_bytes < orphan_read_bytes;
             ++c) {
            const auto cluster = static_cast<std::uint32_t>(c);
            if (volume_.allocated(cluster) || walked_.contains(cluster)) {
                if (!run.clusters.empty()) {
                    break;
                }
                continue;
            }
            run.clusters.push_back(cluster);
        }
        if (run.clusters.empty() || !volume_.read_plan(run, ~std::uint64_t{0}, &bytes) ||
            bytes.size() != run.clusters.size() * cluster_bytes) {
            continue;
        }
        for (std::size_t k = 0; k < run.clusters.size(); ++k) {
            const std::uint8_t* one = bytes.data() + k * cluster_bytes;
            bool directory = false;
            for (std::size_t at = 0; at + exfat::entry_bytes <= cluster_bytes;) {
                exfat::entry_set_s set;
                const std::size_t step = exfat::parse_entry_set(one, cluster_bytes, at, &set);
                if (step <= 1 || !set.checksum_ok) {
                    at += exfat::entry_bytes;
                    continue;
                }
                directory = true;
                if (set.is_directory()) {
                    named.insert(set.first_cluster);
                }
                at += step * exfat::entry_bytes;
            }
            if (directory) {
                found.push_back(run.clusters[k]);
            }
        }
    }
    // Pushed so that the unnamed ones are walked first (the jobs are taken from the back).
    std::stable_partition(found.begin(), found.end(),
                          [&](std::uint32_t c) { return named.contains(c); });
    // Each under a folder of its own, named by its cluster (its name was in the entry that
    // is gone), keyed from the top down where no entry's offset reaches.
    std::uint64_t key = exfat_orphans_key;
    for (const std::uint32_t cluster : found) {
        exfat_node folder;
        folder.key = --key;
        folder.parent = exfat_orphans_key;
        folder.first_cluster = cluster;
        folder.attributes = exfat::attr_directory | exfat_attr_deleted;
        folder.in_deleted_folder = 1;
        folder.name = QStringLiteral("[cluster %1]").arg(cluster);
        node_table_.insert(key, folder);
        dir_job_s job;
        job.key = key;
        job.deleted = true;
        job.plan.clusters.assign(1, cluster);
        deleted->push_back(std::move(job));
    }
    if (!found.empty()) {
        exfat_node orphans;
        orphans.key = exfat_orphans_key;
        orphans.attributes = exfat::attr_directory | exfat_attr_deleted;
        orphans.name = orphans_folder_name();
        node_table_.insert(exfat_orphans_key, orphans);
    }
}
