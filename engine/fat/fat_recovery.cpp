#include "fat_recovery.h"

#include "core/diagnostics.h"
#include "device/disk_table.h"
#include "engine/fat/fat_reader.h"

#include <algorithm>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace {

// The reader's volume object and the shared long-name buffer of the walk: process-wide, as
// only one FAT scan or restore runs at a time.
fat_volume scan_volume;
char16_t long_name_buffer[512];

constexpr double reads_for_full_progress = 2000.0;

QString name_of(const fat_entry_info& info) {
    const char16_t* source = info.long_name && info.long_name[0] ? info.long_name : info.short_name;
    int length = 0;
    while (length < fat_name_max && source[length]) {
        ++length;
    }
    return QString::fromUtf16(source, length);
}

// The reason a volume could not be read, for the user.
QString unreadable_text(fat_result result) {
    switch (result) {
        case fat_no_file_system:
            return QStringLiteral(
                "no FAT file system that this program can read was found on it (only volumes "
                "of 512-byte sectors can be read)");
        case fat_disk_error:
            return QStringLiteral("reading its drive failed");
        case fat_not_ready:
            return QStringLiteral("its drive is not ready");
        default:
            return QString::fromLatin1(fat_result_text(result));
    }
}

void sleep_a_while() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

std::int64_t fat_time_to_seconds(std::uint16_t date, std::uint16_t time) {
    // mktime consults the time zone on every call; a volume repeats few stamps.
    thread_local QHash<std::uint32_t, std::int64_t> converted;
    const std::uint32_t stamp = static_cast<std::uint32_t>(date) << 16 | time;
    if (auto known = converted.constFind(stamp); known != converted.constEnd()) {
        return known.value();
    }
    if (converted.size() > 100000) {
        converted.clear();
    }
    // A zero date (never set, as many drivers leave the access date) or a month, day or
    // clock field out of range is no time at all, not one mktime would roll over.
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    if (month < 1 || month > 12 || day < 1 || (time >> 11) > 23 || ((time >> 5) & 0x3F) > 59 ||
        (time & 0x1F) > 29) {
        return 0;
    }
    std::tm fields{};
    fields.tm_year = 1980 + (date >> 9) - 1900;
    fields.tm_mon = ((date >> 5) & 0x0F) - 1;
    fields.tm_mday = date & 0x1F;
    fields.tm_hour = time >> 11;
    fields.tm_min = (time >> 5) & 0x3F;
    fields.tm_sec = (time & 0x1F) * 2;
    fields.tm_isdst = -1;  // the local rules say whether summer time applied on that day
    std::time_t seconds = std::mktime(&fields);
    const std::int64_t result =
        seconds == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(seconds);
    converted.insert(stamp, result);
    return result;
}

fat_recovery_c::~fat_recovery_c() {
    // The object must not go while its thread runs: end the scan and wait for it.
    if (isRunning()) {
        set_stop(stop_abort);
        wait();
    }
}

void fat_recovery_c::reset() {
    progress_ = 0.0;
    pause_ = 0;
    stop_ = 0;
    read_count_ = 0;
    found_count_ = 0;
    node_table_.clear();
    walked_.clear();
    live_starts_.clear();
    empty_files_ = 0;
    shared_files_ = 0;
    orphans_found_ = false;
    drive_ = -1;
    drive_identity_.clear();
    error_text_.clear();
}

void fat_recovery_c::run() {
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
        QString name = target_.volume_name;
        if (name.endsWith(QLatin1Char('\\'))) {
            name.chop(1);
        }
        volume_location_s where;
        if (volume_locate(name, &where)) {
            fat_volume_slot[0].drive = static_cast<std::uint8_t>(where.disk_number);
            fat_volume_slot[0].partition = static_cast<std::uint8_t>(where.partition_number);
            fat_volume_slot[0].start_sector = where.start_sector;
            // The slot number alone is not the drive: a refresh of the drive table may give
            // it to another drive before a restore.
            drive_ = where.disk_number;
            drive_identity_ = disk_identity(drive_);
            f_mount(0, &scan_volume);
            console_printf("Start Fat Scan.\n");
            const fat_result opened = walk_volume();
            if (opened != fat_ok) {
                error_text_ = unreadable_text(opened);
            }
        } else {
            error_text_ = QStringLiteral("the volume was not found on any drive");
        }
        fat_node root;
        root.attributes = fat_attr_directory;
        node_table_.insert(0, root);
        if (orphans_found_) {
            fat_node orphans;
            orphans.first_cluster = fat_orphans_key;
            orphans.attributes = fat_attr_directory | fat_attr_deleted;
            orphans.name = orphans_folder_name();
            node_table_.insert(fat_orphans_key, orphans);
        }
        link_and_mark();
        if (error_text_.isEmpty()) {
            mark_overwritten();
        }
    } catch (...) {
        // Out of memory on a huge volume: keep what was found and end the scan.
        set_stop(stop_keep);
    }
}

// Walks the root directory and, depth first, every directory found, deleted ones included.
// An explicit stack instead of recursion: a hostile volume may nest folders thousands deep.
// Returns the result of opening the root directory: anything but fat_ok means nothing of the
// volume could be read.
fat_result fat_recovery_c::walk_volume() {
    struct frame_s {
        fat_dir dir;
        std::uint32_t parent;  // key recorded as the parent of this directory's entries
        bool deleted;          // the directory lies in (or is) a deleted folder
    };
    std::vector<frame_s> stack;
    stack.push_back({});
    const fat_result opened = f_opendir(&stack.back().dir, "/");
    if (opened != fat_ok) {
        console_printf("f_opendir failed 1.\n");
        return opened;
    }
    stack.back().parent = 0;
    stack.back().deleted = false;

    // Walks what the stack holds; false when a stop request ended it.
    const auto walk = [&]() -> bool {
        while (!stack.empty()) {
            if (stop_.load(std::memory_order_relaxed) != 0) {
                return false;
            }
            while (pause_.load(std::memory_order_relaxed) != 0) {
                if (stop_.load(std::memory_order_relaxed) != 0) {
                    return false;
                }
                sleep_a_while();
            }
            frame_s& frame = stack.back();
            const std::int64_t reads = read_count_.load(std::memory_order_relaxed);
            const double progress = static_cast<double>(reads) / reads_for_full_progress;
            progress_.store(progress > 1.0 ? 0.99 : progress, std::memory_order_relaxed);
            read_count_.store(reads + 1, std::memory_order_relaxed);
            console_printf("file count:%d\n", static_cast<int>(reads + 1));

            fat_entry_info info{};
            info.long_name = long_name_buffer;
            info.long_name_capacity = 512;
            if (f_readdir(&frame.dir, &info) != fat_ok) {
                console_printf("f_readdir failed 1.\n");
                stack.pop_back();
                continue;
            }
            if (info.short_name[0] == 0) {
                stack.pop_back();  // end of this directory
                continue;
            }
            const bool is_dir = info.attributes & fat_attr_directory;
            const bool is_deleted = info.attributes & fat_attr_deleted;
            if (!is_dir && !is_deleted && !frame.deleted && info.first_cluster >= 2) {
                live_starts_.push_back(info.first_cluster);  // a live file's chain starts here
            }
            // A deleted empty file has no cluster; it still has its name, under a key of its own
            // counted down from the top, where no cluster of a FAT lies.
            const bool empty_file = info.first_cluster == 0 && !is_dir && is_deleted &&
                                    info.size == 0 && info.short_name[0] != u'.';
            if ((info.first_cluster == 0 && !empty_file) || info.short_name[0] == u'.' ||
                (!is_dir && !is_deleted)) {
                continue;
            }
            fat_node node;
            node.first_cluster =
                empty_file ? fat_empty_file_keys - empty_files_++ : info.first_cluster;
            node.parent = frame.parent;
            node.size = info.size;
            node.write_time = fat_time_to_seconds(info.write_date, info.write_time);
            node.creation_time = fat_time_to_seconds(info.creation_date, info.creation_time);
            node.access_time = fat_time_to_seconds(info.access_date, 0);
            node.in_deleted_folder = frame.deleted ? 1 : 0;
            node.attributes = info.attributes | (frame.deleted ? fat_attr_deleted : 0);
            node.name = name_of(info);
            // A long name is whole, even a deleted one's; a short name's first character is the
            // deletion mark, or for a live entry below a deleted folder marked the same way.
            const bool long_name = info.long_name && info.long_name[0];
            if ((node.attributes & fat_attr_deleted) && !long_name && !node.name.isEmpty()) {
                node.name[0] = QLatin1Char('#');
            }
            const bool child_deleted = frame.deleted || (node.attributes & fat_attr_deleted);
            if (is_dir && !child_deleted && node.first_cluster >= 2) {
                live_starts_.push_back(node.first_cluster);
            }
            if (is_dir && child_deleted && !deleted_folder_intact(node.first_cluster)) {
                // Its cluster holds something else now: listing that as entries would show a
                // file's bytes as names, sizes and dates. The folder stays, empty and flagged.
                node.overwritten = 1;
            }
            const bool walkable = !node.overwritten;
            const std::uint32_t child = node.first_cluster;
            bool walk_it = false;
            merge(std::move(node), &walk_it);
            if (!walk_it || !is_dir || !walkable) {
                continue;
            }
            frame_s next{};
            if (f_opendir(&next.dir, "/") != fat_ok) {
                console_printf("f_opendir failed 2.\n");
                continue;
            }
            next.dir.start_cluster = child;
            next.dir.cluster = child;
            if (f_readdir(&next.dir, nullptr) != fat_ok) {
                continue;  // cluster 1 or beyond the FAT: recorded, not walked
            }
            next.parent = child;
            next.deleted = child_deleted;
            stack.push_back(next);
        }
        return true;
    };
    if (!walk()) {
        return fat_ok;
    }
    // Folders that no walked folder reached: their entry is gone, or their parent's
    // cluster went to a file. Found among the free clusters, in cluster order, and walked
    // as deleted folders under their ".." folder when it is known, else under the folder
    // of orphaned files.
    const fat_result searched = fat_find_directory_starts(
        &scan_volume,
        [&](std::uint32_t cluster, std::uint32_t parent) {
            if (walked_.contains(cluster)) {
                return stop_.load(std::memory_order_relaxed) == 0;
            }
            fat_node node;
            node.first_cluster = cluster;
            const auto above = node_table_.constFind(parent);
            const bool known =
                parent == 0 || (above != node_table_.constEnd() &&
                                (above->attributes & fat_attr_directory) && !above->overwritten);
            node.parent = known ? parent : fat_orphans_key;
            orphans_found_ |= !known;
            node.attributes = fat_attr_directory | fat_attr_deleted;
            node.in_deleted_folder = 1;
            node.name = QStringLiteral("[cluster %1]").arg(cluster);
            bool walk_it = false;
            merge(std::move(node), &walk_it);
            frame_s next{};
            if (walk_it && f_opendir(&next.dir, "/") == fat_ok) {
                next.dir.start_cluster = cluster;
                next.dir.cluster = cluster;
                if (f_readdir(&next.dir, nullptr) == fat_ok) {
                    next.parent = cluster;
                    next.deleted = true;
                    stack.push_back(next);
                    // Walked at once, so that a folder below it is reached through it.
                    return walk();
                }
            }
            return stop_.load(std::memory_order_relaxed) == 0;
        },
        [&] {
            while (pause_.load(std::memory_order_relaxed) != 0 &&
                   stop_.load(std::memory_order_relaxed) == 0) {
                sleep_a_while();
            }
            return stop_.load(std::memory_order_relaxed) == 0;
        });
    if (searched != fat_ok) {
        console_printf("orphan search: %s\n", fat_result_text(searched));
    }
    return fat_ok;
}

// A deleted folder's first cluster is still its own: free in the FAT (a deleted folder's
// chain is cleared, so a used cluster went to a later file or folder) and still shaped
// like a directory. A cluster that cannot be read is left to the walk, which reports it.
bool fat_recovery_c::deleted_folder_intact(std::uint32_t cluster) {
    if (cluster < 2 || cluster >= scan_volume.fat_entry_count) {
        return true;  // not walked anyway
    }
    const std::uint32_t entry = fat_get_entry(&scan_volume, cluster);
    if (entry != 0 && entry != fat_entry_read_failed) {
        return false;
    }
    bool sound = false;
    return fat_check_directory_cluster(&scan_volume, cluster, &sound) != fat_ok || sound;
}

// Keeps a deleted file that lost its first cluster's key to another entry, under a key of
// its own above every cluster number, flagged: some later file wrote over its start. The
// same entry seen again (a copy of a folder's cluster, read twice) is not kept twice.
void fat_recovery_c::keep_displaced(fat_node&& node, const fat_node& holder) {
    if (!(node.attributes & fat_attr_deleted) || (node.attributes & fat_attr_directory) ||
        shared_files_ >= fat_empty_file_keys - fat_shared_file_keys - empty_files_) {
        return;
    }
    if (node.size == holder.size && node.write_time == holder.write_time &&
        node.creation_time == holder.creation_time && node.name == holder.name) {
        return;
    }
    node.data_cluster = node.first_cluster;
    node.first_cluster = fat_shared_file_keys + shared_files_++;
    node.overwritten = 1;
    const std::uint32_t key = node.first_cluster;
    node_table_.insert(key, std::move(node));
    found_count_.fetch_add(1, std::memory_order_relaxed);
}

// Puts a new node into the table by first cluster. *walk_it tells whether a directory now
// holds its key and has not been walked yet. Each cluster is walked at most once, which
// keeps cross-linked or looping folders from being read again; a live folder whose cluster
// an older deleted file had claimed first is still walked.
void fat_recovery_c::merge(fat_node node, bool* walk_it) {
    const std::uint32_t key = node.first_cluster;
    // A folder flagged overwritten is not read, and leaves its cluster to a live folder.
    const bool is_directory = (node.attributes & fat_attr_directory) && !node.overwritten;
    *walk_it = false;
    auto existing = node_table_.find(key);
    if (existing == node_table_.end()) {
        node_table_.insert(key, std::move(node));
        found_count_.fetch_add(1, std::memory_order_relaxed);
        if (is_directory) {
            walked_.insert(key);
            *walk_it = true;
        }
        return;
    }
    const auto replace = [&](fat_node&& newer) {
        fat_node displaced = std::move(existing.value());
        existing.value() = std::move(newer);
        keep_displaced(std::move(displaced), existing.value());
        if (is_directory && !walked_.contains(key)) {
            walked_.insert(key);
            *walk_it = true;
        }
    };
    fat_node& old = existing.value();
    const bool is_dir = node.attributes & fat_attr_directory;
    const bool is_deleted = node.attributes & fat_attr_deleted;
    const bool old_is_live_dir =
        (old.attributes & fat_attr_directory) && !(old.attributes & fat_attr_deleted);
    if ((!old.in_deleted_folder && node.in_deleted_folder) || old_is_live_dir) {
        keep_displaced(std::move(node), old);
        return;
    }
    if (!is_dir || is_deleted) {
        // Of two deleted entries with one first cluster the one made later wrote it last.
        if (std::pair(node.creation_time, node.write_time) >
            std::pair(old.creation_time, old.write_time)) {
            replace(std::move(node));
        } else {
            keep_displaced(std::move(node), old);
        }
        return;
    }
    replace(std::move(node));  // a live directory always wins
}

void fat_recovery_c::link_and_mark() {
    for (auto it = node_table_.begin(); it != node_table_.end(); ++it) {
        const fat_node& node = it.value();
        if (node.first_cluster == 0 && node.parent == 0) {
            continue;  // the root
        }
        auto parent = node_table_.find(node.parent);
        if (parent != node_table_.end()) {
            parent.value().children.append(it.key());
        }
    }
    const auto limit = node_table_.size();
    for (auto it = node_table_.begin(); it != node_table_.end(); ++it) {
        // A deleted folder that is no longer readable is shown, empty, like a file.
        const fat_node& node = it.value();
        if ((node.attributes & fat_attr_directory) &&
            !((node.attributes & fat_attr_deleted) && node.overwritten)) {
            continue;
        }
        std::uint32_t key = node.parent;
        // A damaged volume can make parents loop; no climb is longer than the table.
        for (qsizetype steps = 0; steps <= limit; ++steps) {
            auto parent = node_table_.find(key);
            if (parent == node_table_.end() || parent.value().has_files) {
                break;
            }
            parent.value().has_files = 1;
            if (key == 0) {
                break;
            }
            key = parent.value().parent;
        }
    }
}

// A deleted file is restored from its first cluster on, stepping over the clusters that the
// FAT gives to files now. That read is in doubt, and the file marked possibly overwritten,
// when its first cluster is in use now (some file took its start), or when a run of
// clusters it steps over is not made of whole chains of live files and folders that start
// inside the run (then some cluster of the run may have been the deleted file's own, taken
// by a file that also uses clusters elsewhere). A run made of whole live chains was laid
// out before the file was written, and the file's clusters went around it.
// Files are looked at in cluster order so that the FAT is read front to back. A stop
// request ends the look; what was marked stays.
void fat_recovery_c::mark_overwritten() {
    const std::uint64_t cluster_bytes =
        static_cast<std::uint64_t>(scan_volume.sectors_per_cluster) * fat_sector_bytes;
    const std::uint32_t entries = scan_volume.fat_entry_count;
    if (scan_volume.type == fat_type_none || cluster_bytes == 0) {
        return;
    }
    std::sort(live_starts_.begin(), live_starts_.end());
    live_starts_.erase(std::unique(live_starts_.begin(), live_starts_.end()), live_starts_.end());
    const auto in_use = [](std::uint32_t entry) { return entry != 0; };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> files;  // first cluster, key
    for (auto it = node_table_.cbegin(); it != node_table_.cend(); ++it) {
        const fat_node& node = it.value();
        if (!(node.attributes & fat_attr_directory) && (node.attributes & fat_attr_deleted) &&
            node.size > 0 && node.data_start() >= 2 && node.data_start() < entries) {
            files.emplace_back(node.data_start(), it.key());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& [first, key] : files) {
        if (stop_.load(std::memory_order_relaxed) != 0) {
            return;
        }
        fat_node& node = node_table_[key];
        if (in_use(fat_get_entry(&scan_volume, first))) {
            node.overwritten = 1;
            continue;
        }
        std::uint64_t needed = (node.size + cluster_bytes - 1) / cluster_bytes - 1;
        std::uint32_t cluster = first + 1;
        while (needed > 0 && cluster < entries) {
            const std::uint32_t entry = fat_get_entry(&scan_volume, cluster);
            if (entry == fat_entry_read_failed) {
                break;  // the restore will fail there and say so
            }
            if (!in_use(entry)) {
                --needed;
                ++cluster;
                continue;
            }
            std::uint32_t end = cluster;  // the run of used clusters is [cluster, end)
            while (end < entries && in_use(fat_get_entry(&scan_volume, end))) {
                ++end;
            }
            if (!whole_live_chains(cluster, end)) {
                node.overwritten = 1;
                break;
            }
            cluster = end;
        }
    }
}

// The used clusters [first, end) are exactly the chains of the live files and folders that
// start among them: every chain from such a start stays inside, and together they cover the
// run.
bool fat_recovery_c::whole_live_chains(std::uint32_t first, std::uint32_t end) {
    std::uint64_t covered = 0;
    const std::uint64_t length = end - first;
    auto start = std::lower_bound(live_starts_.begin(), live_starts_.end(), first);
    for (; start != live_starts_.end() && *start < end; ++start) {
        std::uint32_t cluster = *start;
        for (std::uint64_t steps = 0;; ++steps) {
            if (cluster < first || cluster >= end || steps >= length) {
                return false;  // leaves the run, or loops
            }
            ++covered;
            const std::uint32_t next = fat_get_entry(&scan_volume, cluster);
            if (next == fat_entry_read_failed || next == 0 || next == 1) {
                return false;
            }
            if (next >= scan_volume.fat_entry_count) {
                break;  // the end-of-chain mark (or a bad-cluster mark)
            }
            cluster = next;
        }
    }
    return covered == length;
}

int fat_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    auto found = node_table_.constFind(static_cast<std::uint32_t>(file_key));
    if (found == node_table_.constEnd()) {
        error_text_ = QStringLiteral("the file is not among the scan's results");
        return -1;
    }
    const fat_node& node = found.value();
    error_text_.clear();
    last_restore_overwritten_ = false;
    if (drive_ < 0 || disk_identity(drive_) != drive_identity_) {
        // Reading on would restore another drive's bytes under this file's name.
        error_text_ = QStringLiteral(
                          "the scanned drive %1 is no longer drive %2 (the drives were listed "
                          "again since the scan); scan the volume again")
                          .arg(drive_identity_.section(QLatin1Char(' '), 0, 0))
                          .arg(drive_);
        return -1;
    }
    if (node.size == 0) {
        return 0;  // an empty file: nothing to read
    }
    fat_file file{};
    file.volume = &scan_volume;
    file.mount_id = scan_volume.mount_id;
    file.flags = fat_file_readable;
    file.position = 0;
    file.size = node.size;
    file.first_cluster = node.data_start();
    // A deleted file's chain is gone: read on from its first cluster, stepping over the
    // clusters that live files hold now.
    const int mode = (node.attributes & fat_attr_deleted) ? fat_read_skip_used : fat_read_chain;
    std::vector<char> buffer(4096);
    std::uint64_t total = 0;
    for (;;) {
        std::uint32_t got = 0;
        const fat_result result =
            f_read(&file, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got, mode);
        if (got > 0 && !sink->write(buffer.data(), got)) {
            return -1;
        }
        total += got;
        if (result != fat_ok) {
            error_text_ = QStringLiteral("reading its clusters failed after %1 of %2 bytes: %3")
                              .arg(total)
                              .arg(node.size)
                              .arg(QString::fromLatin1(fat_result_text(result)));
            return -1;
        }
        if (got == 0) {
            break;
        }
    }
    last_restore_overwritten_ = node.overwritten != 0;
    if (total != node.size) {
        error_text_ = QStringLiteral("only %1 of %2 bytes could be read").arg(total).arg(node.size);
        return -1;
    }
    return 0;
}

int fat_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    QString result = target_.path;
    if (result.endsWith(QLatin1Char('/')) || result.endsWith(QLatin1Char('\\'))) {
        result.chop(1);
    }
    QStringList names;
    std::uint32_t key = static_cast<std::uint32_t>(file_key);
    for (qsizetype steps = 0;; ++steps) {
        auto found = node_table_.constFind(key);
        if (found == node_table_.constEnd() || steps > node_table_.size()) {
            return -1;
        }
        names.prepend(found.value().name);
        if (found.value().parent == 0) {
            break;
        }
        key = found.value().parent;
    }
    for (const QString& name : names) {
        result += QLatin1Char('/') + name;
    }
    *path = result;
    return 0;
}
