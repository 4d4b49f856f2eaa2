// The repair of a whole partition table: a GPT restored from its surviving backup or built
// new, or a master boot record with an extended entry over a surviving chain of extended
// boot records (table_builder.h). Every sector it replaces is saved first.
//
// These writes span many sectors (a GPT: the first 34 and the last 33), which the drive
// helper's single-sector write does not yet take; until it does, only image files are
// written here, through the same read-write opening as the master boot record repair.
#include "partition_repair.h"

#include "table_builder.h"

#include "app/diagnostics.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <unistd.h>

namespace {

// Saves the sectors every write will replace, run after run, to a new file in the user's
// state folder ("table-<drive>-<time>.bin") and syncs it. Returns its path, or empty.
QString save_table_backup(const QString& drive_name, const QList<QByteArray>& old_runs,
                          QString* error) {
    const QString folder = QFileInfo(error_log_path()).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return {};
    }
    QString base = QFileInfo(drive_name).fileName();
    base.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 0; n < 100; ++n) {
        const QString name = n == 0 ? QStringLiteral("table-%1-%2.bin").arg(base, stamp)
                                    : QStringLiteral("table-%1-%2-%3.bin").arg(base, stamp).arg(n);
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (file.exists()) {
                continue;
            }
            *error =
                QStringLiteral("cannot create %1: %2").arg(file.fileName(), file.errorString());
            return {};
        }
        bool ok = true;
        for (const QByteArray& run : old_runs) {
            ok = ok && file.write(run) == run.size();
        }
        ok = ok && file.flush() && ::fsync(file.handle()) == 0;
        if (!ok) {
            *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            file.remove();
            return {};
        }
        file.close();
        QFile dir_handle(folder);
        if (dir_handle.open(QIODevice::ReadOnly)) {
            ::fsync(dir_handle.handle());
        }
        return file.fileName();
    }
    *error = QStringLiteral("too many backups named after %1 in %2").arg(base, folder);
    return {};
}

}  // namespace

int partition_repair_c::repair_table() {
    repair_error_.clear();
    backup_path_.clear();
    left_out_.clear();
    table_reread_ = false;
    undo_commands_.clear();
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
    const platform::drive_desc_s desc = platform::drive_by_name(drive.name);
    if (desc.kind != platform::drive_kind_e::image) {
        return fail_repair(QStringLiteral("a whole partition table is written to image files only "
                                          "for now; %1 was not changed")
                               .arg(drive.name));
    }
    QString error;
    auto device = platform::open_drive_for_repair(desc, &error);
    if (!device) {
        return fail_repair(error);
    }
    const std::uint64_t drive_sectors = drive.size / 512;
    QByteArray sector0(512, '\0');
    if (device->read_at(0, sector0.data(), 512) != 0) {
        return fail_repair(QStringLiteral("cannot read sector 0 of %1").arg(drive.name));
    }
    const std::uint32_t heads = drive.geometry ? drive.geometry->TracksPerCylinder : 0;
    const std::uint32_t per_track = drive.geometry ? drive.geometry->SectorsPerTrack : 0;
    const table_plan_s plan =
        plan_table(disk_layout(), partitions(), drive_sectors, sector0, heads, per_track);
    left_out_ = plan.left_out;
    if (plan.writes.isEmpty()) {
        return fail_repair(QStringLiteral("nothing was written: %1").arg(plan.error));
    }
    QList<QByteArray> old_runs;
    qint64 offset = 0;
    for (const table_write_s& w : plan.writes) {
        QByteArray old(w.bytes.size(), '\0');
        if (device->read_at(w.lba * 512, old.data(), std::size_t(old.size())) != 0) {
            return fail_repair(
                QStringLiteral("cannot read sector %1 of %2").arg(w.lba).arg(drive.name));
        }
        old_runs << old;
        undo_commands_ << QStringLiteral(
                              "dd if='BACKUP' of='%1' bs=512 skip=%2 seek=%3 count=%4 "
                              "conv=notrunc")
                              .arg(drive.name)
                              .arg(offset / 512)
                              .arg(w.lba)
                              .arg(w.bytes.size() / 512);
        offset += old.size();
    }
    backup_path_ = save_table_backup(drive.name, old_runs, &error);
    if (backup_path_.isEmpty()) {
        undo_commands_.clear();
        return fail_repair(
            QStringLiteral("nothing was written: no backup could be saved (%1)").arg(error));
    }
    for (QString& command : undo_commands_) {
        command.replace(QLatin1String("BACKUP"), backup_path_);
    }
    repair_scheme_ = plan.scheme;
    described_ = plan.described;
    for (const table_write_s& w : plan.writes) {
        if (device->write_at(w.lba * 512, w.bytes.constData(), std::size_t(w.bytes.size())) != 0) {
            return fail_repair(QStringLiteral("writing sector %1 of %2 failed; the backup is %3")
                                   .arg(w.lba)
                                   .arg(drive.name, backup_path_));
        }
    }
    if (device->flush() != 0) {
        return fail_repair(QStringLiteral("flushing %1 failed").arg(drive.name));
    }
    for (const table_write_s& w : plan.writes) {
        QByteArray check(w.bytes.size(), '\0');
        if (device->read_at(w.lba * 512, check.data(), std::size_t(check.size())) != 0 ||
            check != w.bytes) {
            return fail_repair(QStringLiteral("sector %1 of %2 does not read back as written")
                                   .arg(w.lba)
                                   .arg(drive.name));
        }
    }
    table_reread_ = device->reread_partition_table();
    return 0;
}
