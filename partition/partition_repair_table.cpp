// The repair of a whole partition table: a GPT restored from its surviving backup or built
// new, or a master boot record with an extended entry over a surviving chain of extended
// boot records (table_builder.h). It goes the same safe way as the master boot record
// repair: the drive's identity checked again, every sector it replaces saved first (one
// backup with a range per run, which `orvane partitions --undo` puts back), and the
// sectors written with the hash of what each replaces, exclusively, by the writer.
#include "partition_repair.h"

#include "sector_backup.h"
#include "table_builder.h"

#include "core/diagnostics.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QMutexLocker>

#include <cstring>

table_plan_s partition_repair_c::plan_repair() {
    table_plan_s plan;
    if (isRunning()) {
        plan.error = QStringLiteral("the search is still running");
        return plan;
    }
    if (const QString refused = repair_refusal(); !refused.isEmpty()) {
        plan.error = refused;
        return plan;
    }
    const drive_item_s drive = current_drive();
    const QList<partition_item_s> found = partitions();
    const disk_layout_s layout = disk_layout();
    QMutexLocker hold(&lock_);
    if (!identified_ || first_sector_.size() != 512) {
        plan.error =
            QStringLiteral("%1 cannot be written (it is no block device or raw image file)")
                .arg(drive.name);
        return plan;
    }
    const std::uint32_t heads = drive.geometry ? drive.geometry->TracksPerCylinder : 0;
    const std::uint32_t per_track = drive.geometry ? drive.geometry->SectorsPerTrack : 0;
    plan = plan_table(layout, found, identity_.sectors, first_sector_, heads, per_track);
    plan_ = plan;
    planned_ = !plan.writes.isEmpty();
    return plan;
}

int partition_repair_c::repair_table() {
    drive_item_s drive;
    if (!begin_repair(&drive)) {
        return -1;
    }
    platform::drive_identity_s searched;
    {
        QMutexLocker hold(&lock_);
        if (!identified_) {
            repair_error_ = QStringLiteral(
                                "%1 cannot be written (it is no block device or raw "
                                "image file)")
                                .arg(drive.name);
            return -1;
        }
        searched = identity_;
    }
    const platform::drive_desc_s desc = platform::drive_by_name(drive.name);
    QString error;
    auto source = platform::open_drive(desc, &error);
    if (!source) {
        return fail_repair(error);
    }
    platform::drive_identity_s now;
    QByteArray sector0(512, '\0');
    if (!source->identify(&now) || source->read_at(0, sector0.data(), 512) != 0) {
        return fail_repair(QStringLiteral("cannot read sector 0 of %1").arg(drive.name));
    }
    if (!(now == searched) || platform::sha256(sector0.constData(), 512) != searched.first_sector) {
        return fail_repair(QStringLiteral("the drive %1 changed since the search; search again. "
                                          "Nothing was written.")
                               .arg(drive.name));
    }
    // The drive is the one searched, with the same sector 0: the plan made from what the
    // search read is the plan for the drive as it is now.
    table_plan_s plan;
    {
        QMutexLocker hold(&lock_);
        if (planned_) {
            plan = plan_;
        }
    }
    if (plan.writes.isEmpty()) {
        const std::uint32_t heads = drive.geometry ? drive.geometry->TracksPerCylinder : 0;
        const std::uint32_t per_track = drive.geometry ? drive.geometry->SectorsPerTrack : 0;
        plan = plan_table(disk_layout(), partitions(), searched.sectors, sector0, heads, per_track);
    }
    left_out_ = plan.left_out;
    if (plan.writes.isEmpty()) {
        return fail_repair(QStringLiteral("nothing was written: %1").arg(plan.error));
    }
    // The partitions the table will hold must still start as the search saw them: a
    // partition wiped or reformatted since would get an entry for what is no longer there.
    QMap<std::uint64_t, QByteArray> seen;
    {
        QMutexLocker hold(&lock_);
        seen = first_sectors_;
    }
    for (const partition_item_s& item : plan.described) {
        const auto at = seen.constFind(item.start_sector);
        if (at != seen.constEnd() && start_hash(*source, item.start_sector) != at.value()) {
            return fail_repair(QStringLiteral("the disk changed since the search; search again "
                                              "(the partition at sector %1 is not what it was). "
                                              "Nothing was written.")
                                   .arg(item.start_sector));
        }
    }
    sector_backup_s backup;
    backup.drive = drive.name;
    backup.drive_sectors = searched.sectors;
    backup.medium = platform::drive_medium(desc);
    platform::write_request_s request;
    request.identity = searched;
    for (const table_write_s& w : plan.writes) {
        QByteArray old(w.bytes.size(), '\0');
        if (source->read_at(w.lba * 512, old.data(), std::size_t(old.size())) != 0) {
            return fail_repair(
                QStringLiteral("cannot read sector %1 of %2").arg(w.lba).arg(drive.name));
        }
        backup.ranges << backup_range_s{
            w.lba, old, QCryptographicHash::hash(w.bytes, QCryptographicHash::Sha256)};
        for (qsizetype at = 0; at < w.bytes.size(); at += 512) {
            if (std::memcmp(old.constData() + at, w.bytes.constData() + at, 512) == 0) {
                continue;  // already as planned: not written
            }
            platform::sector_write_s write;
            write.lba = w.lba + std::uint64_t(at / 512);
            write.replaces = platform::sha256(old.constData() + at, 512);
            std::memcpy(write.bytes.data(), w.bytes.constData() + at, 512);
            request.writes.push_back(write);
        }
    }
    if (request.writes.empty()) {
        return fail_repair(
            QStringLiteral("the drive already holds this table; nothing was written"));
    }
    if (request.writes.size() > platform::max_sector_writes) {
        return fail_repair(
            QStringLiteral("the table is too large to write at once; nothing was "
                           "written"));
    }
    source.reset();
    backup_path_ = save_sector_backup(backup, &error);
    if (backup_path_.isEmpty()) {
        return fail_repair(
            QStringLiteral("nothing was written: no backup could be saved (%1)").arg(error));
    }
    repair_scheme_ = plan.scheme;
    described_ = plan.described;
    const platform::write_result_s result = platform::write_sectors(desc, request);
    if (result.status == platform::write_status_e::written ||
        result.status == platform::write_status_e::failed) {
        QMutexLocker hold(&lock_);
        planned_ = false;  // the drive no longer holds what the plan was made from
    }
    if (result.status != platform::write_status_e::written) {
        if (result.status != platform::write_status_e::failed) {
            QFile::remove(backup_path_);  // nothing was written: nothing to undo
            backup_path_.clear();
        }
        return fail_repair(QString::fromStdString(result.message));
    }
    table_reread_ = result.table_reread;
    return 0;
}
