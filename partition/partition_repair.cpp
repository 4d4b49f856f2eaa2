#include "partition_repair.h"

#include "boot_signature.h"
#include "master_boot_record.h"
#include "partition_search.h"

#include "app/diagnostics.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>

#include <array>
#include <cstring>
#include <exception>

namespace {

// A new file in the user's state folder holding the old sector 0, named after the drive
// and the time: "mbr-sdb-20261207-103512.bin". Returns its path, or empty on failure.
QString save_backup(const QString& drive_name, const std::uint8_t* sector, QString* error) {
    const QString folder = QFileInfo(error_log_path()).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return {};
    }
    QString base = QFileInfo(drive_name).fileName();
    base.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    if (base.isEmpty()) {
        base = QStringLiteral("drive");
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 0; n < 100; ++n) {
        const QString name = n == 0 ? QStringLiteral("mbr-%1-%2.bin").arg(base, stamp)
                                    : QStringLiteral("mbr-%1-%2-%3.bin").arg(base, stamp).arg(n);
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (file.exists()) {
                continue;
            }
            *error =
                QStringLiteral("cannot create %1: %2").arg(file.fileName(), file.errorString());
            return {};
        }
        if (file.write(reinterpret_cast<const char*>(sector), 512) != 512 || !file.flush()) {
            *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            file.remove();
            return {};
        }
        return file.fileName();
    }
    *error = QStringLiteral("too many backups named after %1 in %2").arg(base, folder);
    return {};
}

// Why sector 0 with these partitions found must not be replaced; empty when it may be.
QString refusal_for(const QString& drive_name, const QByteArray& sector,
                    const QList<partition_item_s>& found) {
    const QString file_system =
        sector.size() == 512
            ? volume_boot_sector_name(reinterpret_cast<const std::uint8_t*>(sector.constData()))
            : QString();
    QString held = file_system;
    for (const partition_item_s& item : found) {
        if (held.isEmpty() && item.start_sector == 0) {
            held = item.fs_name;
        }
    }
    if (!held.isEmpty()) {
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
    return refusal_for(drive_.name, first_sector_, partition_list);
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
    QByteArray first(boot_sector_bytes, '\0');
    if (source->read_at(0, first.data(), boot_sector_bytes) == 0) {
        QMutexLocker hold(&lock_);
        first_sector_ = first;
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
    QMutexLocker hold(&lock_);
    stopped_ = end == search_end_e::stopped;
    layout_ = layout;
}

int partition_repair_c::fail_repair(const QString& why) {
    repair_error_ = why;
    error_report(__FILE__, __LINE__, "%s", why.toUtf8().constData());
    return -1;
}

int partition_repair_c::repair_mbr() {
    repair_error_.clear();
    backup_path_.clear();
    left_out_.clear();
    table_reread_ = false;
    if (isRunning()) {
        repair_error_ = QStringLiteral("the search is still running");
        return -1;
    }
    const drive_item_s drive = current_drive();
    if (drive.name.isEmpty()) {
        repair_error_ = QStringLiteral("no drive was chosen");
        return -1;
    }
    if (const QString refused = repair_refusal(); !refused.isEmpty()) {
        repair_error_ = refused;
        return -1;
    }
    const QList<partition_item_s> found = partitions();
    QString error;
    auto device = platform::open_drive_for_repair(platform::drive_by_name(drive.name), &error);
    if (!device) {
        return fail_repair(error);
    }
    std::array<std::uint8_t, 512> record{};
    if (device->read_at(0, record.data(), record.size()) != 0) {
        return fail_repair(QStringLiteral("cannot read sector 0 of %1").arg(drive.name));
    }
    const QString refused = refusal_for(
        drive.name, QByteArray(reinterpret_cast<const char*>(record.data()), 512), found);
    if (!refused.isEmpty()) {
        return fail_repair(refused);
    }
    backup_path_ = save_backup(drive.name, record.data(), &error);
    if (backup_path_.isEmpty()) {
        return fail_repair(
            QStringLiteral("sector 0 was not changed: no backup could be saved (%1)").arg(error));
    }
    const std::uint32_t heads = drive.geometry ? drive.geometry->TracksPerCylinder : 0;
    const std::uint32_t per_track = drive.geometry ? drive.geometry->SectorsPerTrack : 0;
    if (build_master_boot_record(record.data(), found, heads, per_track, &left_out_) == 0) {
        return fail_repair(
            QStringLiteral("no found partition fits a table entry; sector 0 is "
                           "left as it is"));
    }
    if (device->write_at(0, record.data(), record.size()) != 0 || device->flush() != 0) {
        return fail_repair(QStringLiteral("writing sector 0 of %1 failed").arg(drive.name));
    }
    std::array<std::uint8_t, 512> check{};
    if (device->read_at(0, check.data(), check.size()) != 0 || check != record) {
        return fail_repair(
            QStringLiteral("sector 0 of %1 does not read back as written").arg(drive.name));
    }
    table_reread_ = device->reread_partition_table();
    return 0;
}
