#include "partition_repair.h"

#include "boot_signature.h"
#include "master_boot_record.h"
#include "partition_search.h"
#include "sector_backup.h"
#include "table_builder.h"

#include "core/diagnostics.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutexLocker>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

namespace {

// The file system whose boot sector is sector 0, or that a partition found at sector 0
// has; empty when there is none. *by_backup: only found by a backup of its boot sector
// (sector 0 itself names nothing).
QString held_file_system(const QByteArray& sector, const QList<partition_item_s>& found,
                         bool* by_backup = nullptr) {
    bool ignored = false;
    by_backup = by_backup ? by_backup : &ignored;
    QString held =
        sector.size() == 512
            ? volume_boot_sector_name(reinterpret_cast<const std::uint8_t*>(sector.constData()))
            : QString();
    *by_backup = false;
    for (const partition_item_s& item : found) {
        if (held.isEmpty() && item.start_sector == 0) {
            held = item.fs_name;
            *by_backup = true;
        }
    }
    return held;
}

// Why sector 0 with these partitions found must not be replaced; empty when it may be.
QString refusal_for(const QString& drive_name, const QByteArray& sector,
                    const QList<partition_item_s>& found) {
    bool by_backup = false;
    if (const QString held = held_file_system(sector, found, &by_backup); by_backup) {
        // A damaged boot sector is no partition table's fault: a table would not mend it.
        return QStringLiteral(
                   "%1 holds a file system (%2) without a partition table, starting at sector "
                   "0, whose main boot sector is damaged; only its backup was found. A "
                   "partition table would not mend it; %3")
            .arg(drive_name, held,
                 held == QLatin1String("exFAT")
                     ? QStringLiteral("the quick scan reads it from its backup boot region")
                     : QStringLiteral("a deep scan finds its files by their content"));
    } else if (!held.isEmpty()) {
        return QStringLiteral(
                   "%1 holds a file system (%2) without a partition table: it starts at "
                   "sector 0 and needs no repair; the quick scan reaches its files")
            .arg(drive_name, held);
    }
    if (found.isEmpty()) {
        return QStringLiteral("no partition was found; sector 0 is left as it is");
    }
    return {};
}

}  // namespace

partition_repair_c::partition_repair_c(QObject* parent) : QThread(parent) {}

partition_repair_c::~partition_repair_c() {
    request_stop();
    wait();
}

int partition_repair_c::set_drive(const drive_item_s& drive) {
    if (isRunning()) {
        return -1;
    }
    QMutexLocker hold(&lock_);
    drive_ = drive;
    stop_word_.store(0, std::memory_order_relaxed);
    return 0;
}

drive_item_s partition_repair_c::current_drive() const {
    QMutexLocker hold(&lock_);
    return drive_;
}

void partition_repair_c::request_stop() {
    stop_word_.store(1, std::memory_order_relaxed);
}

QList<partition_item_s> partition_repair_c::partitions() const {
    QMutexLocker hold(&lock_);
    return partition_list;
}

qsizetype partition_repair_c::partition_count() const {
    QMutexLocker hold(&lock_);
    return partition_list.size();
}

partition_item_s partition_repair_c::partition_at(qsizetype row) const {
    QMutexLocker hold(&lock_);
    return row >= 0 && row < partition_list.size() ? partition_list.at(row) : partition_item_s{};
}

QString partition_repair_c::search_error() const {
    QMutexLocker hold(&lock_);
    return search_error_;
}

QString partition_repair_c::repair_refusal() const {
    QMutexLocker hold(&lock_);
    if (const QString refused = refusal_for(drive_.name, first_sector_, partition_list);
        !refused.isEmpty()) {
        return refused;
    }
    return repair_not_needed(layout_, partition_list);
}

QString partition_repair_c::table_holds() const {
    QMutexLocker hold(&lock_);
    return repair_not_needed(layout_, partition_list);
}

QString partition_repair_c::whole_volume_file_system() const {
    QMutexLocker hold(&lock_);
    return held_file_system(first_sector_, partition_list);
}

bool partition_repair_c::search_stopped() const {
    QMutexLocker hold(&lock_);
    return stopped_;
}

disk_layout_s partition_repair_c::disk_layout() const {
    QMutexLocker hold(&lock_);
    return layout_;
}

void partition_repair_c::run() {
    {
        QMutexLocker hold(&lock_);
        partition_list.clear();
        layout_ = {};
        search_error_.clear();
        stopped_ = false;
        first_sector_.clear();
        first_sectors_.clear();
        identified_ = false;
        plan_ = {};
        planned_ = false;
    }
    search_progress.store(0.0, std::memory_order_relaxed);
    unreadable_sectors.store(0, std::memory_order_relaxed);
    try {
        search();
    } catch (const std::exception& e) {
        QMutexLocker hold(&lock_);
        search_error_ = QStringLiteral("the search failed: %1").arg(QString::fromUtf8(e.what()));
    } catch (...) {
        QMutexLocker hold(&lock_);
        search_error_ = QStringLiteral("the search failed");
    }
    stop_word_.store(0, std::memory_order_relaxed);
}

void partition_repair_c::search() {
    const drive_item_s drive = current_drive();
    auto fail = [this](const QString& why) {
        QMutexLocker hold(&lock_);
        search_error_ = why;
    };
    if (drive.name.isEmpty()) {
        fail(QStringLiteral("no drive was chosen"));
        return;
    }
    QString error;
    auto source = platform::open_drive(platform::drive_by_name(drive.name), &error);
    if (!source) {
        fail(error);
        return;
    }
    if (source->sector_size() != boot_sector_bytes) {
        fail(QStringLiteral("%1 has %2-byte sectors; only 512-byte sectors are searched")
                 .arg(drive.name)
                 .arg(source->sector_size()));
        return;
    }
    // What the repair checks again before it writes: this drive, as it is now.
    QByteArray first(boot_sector_bytes, '\0');
    platform::drive_identity_s identity;
    const bool identified = source->identify(&identity);
    if (source->read_at(0, first.data(), boot_sector_bytes) == 0) {
        QMutexLocker hold(&lock_);
        first_sector_ = first;
        identity_ = identity;
        identified_ = identified;
    }
    partition_search_hooks_s hooks;
    hooks.found = [this](const partition_item_s& item) {
        {
            QMutexLocker hold(&lock_);
            partition_list.append(item);
        }
        emit partition_found();
    };
    hooks.progress = &search_progress;
    hooks.stop = &stop_word_;
    hooks.unreadable = &unreadable_sectors;
    disk_layout_s layout;
    hooks.layout = &layout;
    const search_end_e end = search_partitions(*source, hooks);
    // The first sectors of every partition as the search saw them: a repair writes only
    // while they are still the same.
    QMap<std::uint64_t, QByteArray> starts;
    for (const partition_item_s& item : partitions()) {
        if (!item.earlier) {
            starts.insert(item.start_sector, start_hash(*source, item.start_sector));
        }
    }
    QMutexLocker hold(&lock_);
    stopped_ = end == search_end_e::stopped;
    layout_ = layout;
    first_sectors_ = starts;
}

QByteArray partition_repair_c::start_hash(platform::device_source_c& source, std::uint64_t start) {
    const std::uint64_t sectors = source.byte_size() / boot_sector_bytes;
    if (start >= sectors) {
        return {};
    }
    QByteArray bytes(qsizetype(std::min<std::uint64_t>(start_check_sectors, sectors - start)) *
                         boot_sector_bytes,
                     '\0');
    if (source.read_at(start * boot_sector_bytes, bytes.data(), std::size_t(bytes.size())) != 0) {
        return {};
    }
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

int partition_repair_c::fail_repair(const QString& why) {
    repair_error_ = why;
    error_report(__FILE__, __LINE__, "%s", why.toUtf8().constData());
    return -1;
}

bool partition_repair_c::begin_repair(drive_item_s* drive) {
    repair_error_.clear();
    backup_path_.clear();
    left_out_.clear();
    repair_scheme_.clear();
    described_.clear();
    table_reread_ = false;
    if (isRunning()) {
        repair_error_ = QStringLiteral("the search is still running");
        return false;
    }
    *drive = current_drive();
    if (drive->name.isEmpty()) {
        repair_error_ = QStringLiteral("no drive was chosen");
        return false;
    }
    if (const QString refused = repair_refusal(); !refused.isEmpty()) {
        repair_error_ = refused;
        return false;
    }
    return true;
}

int partition_repair_c::repair_mbr() {
    // One way to write a table: the plan keeps what holds on the drive and adds the rest.
    return repair_table();
}
