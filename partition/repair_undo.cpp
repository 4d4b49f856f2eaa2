#include "repair_undo.h"

#include "master_boot_record.h"
#include "mbr_boot_code.h"
#include "sector_backup.h"

#include "device/platform/platform_write.h"

#include <QCryptographicHash>

#include <cstring>

namespace {

QByteArray sha256_of(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// An earlier version saved only sector 0 and no record of what it wrote: its repair left
// our boot loader, the disk signature bytes as they were, and 0x55 0xAA.
bool written_by_plain_repair(const QByteArray& now, const QByteArray& old) {
    return now.size() == 512 && old.size() == 512 &&
           std::memcmp(now.constData(), mbr_boot_code, mbr_code_bytes) == 0 &&
           now.mid(mbr_code_bytes, 6) == old.mid(mbr_code_bytes, 6) &&
           now.endsWith(QByteArray("\x55\xAA", 2));
}

}  // namespace

int undo_repair(const QString& backup_path, const platform::drive_desc_s& drive, bool force,
                undo_report_s* report) {
    *report = {};
    auto fail = [&](const QString& why) {
        report->error = why;
        return -1;
    };
    sector_backup_s backup;
    QString error;
    if (!load_sector_backup(backup_path, &backup, &error)) {
        return fail(error);
    }
    auto source = platform::open_drive(drive, &error);
    if (!source) {
        return fail(error);
    }
    platform::drive_identity_s identity;
    if (!source->identify(&identity)) {
        return fail(
            QStringLiteral("'%1' cannot be identified, so it is not written").arg(drive.name));
    }
    // An image is counted in the sectors the backup was made in; a disk keeps its own, and
    // a backup of other sectors belongs to another drive.
    identity = platform::in_sectors_of(identity, backup.sector_bytes);
    if (backup.sector_bytes != identity.sector_bytes) {
        return fail(QStringLiteral("the backup was made in %1-byte sectors, %2 has %3-byte "
                                   "sectors; it belongs to another drive. Nothing was written.")
                        .arg(backup.sector_bytes)
                        .arg(drive.name)
                        .arg(identity.sector_bytes));
    }
    const std::uint32_t sector_bytes = identity.sector_bytes;
    // The backup belongs to one drive: another one is refused whatever force says (force
    // only puts sectors back that changed since the repair).
    if (backup.drive_sectors != 0 && backup.drive_sectors != identity.sectors) {
        return fail(QStringLiteral("%1 has %2 sectors, but the backup was made of a drive of %3; "
                                   "it belongs to another drive. Nothing was written.")
                        .arg(drive.name)
                        .arg(identity.sectors)
                        .arg(backup.drive_sectors));
    }
    if (const QString medium = platform::drive_medium(drive);
        !backup.medium.isEmpty() && !medium.isEmpty() && medium != backup.medium) {
        return fail(QStringLiteral("the backup was made of another drive than %1 (%2, not %3); "
                                   "nothing was written")
                        .arg(drive.name, backup.medium, medium));
    }
    sector_backup_s own;
    own.drive = drive.name;
    own.drive_sectors = identity.sectors;
    own.sector_bytes = sector_bytes;
    own.medium = platform::drive_medium(drive);
    platform::write_request_s request;
    request.identity = identity;
    request.kind = platform::write_kind_e::undo;
    for (const backup_range_s& range : backup.ranges) {
        const std::uint64_t count = std::uint64_t(range.old_bytes.size()) / sector_bytes;
        if (range.lba >= identity.sectors || count > identity.sectors - range.lba) {
            return fail(QStringLiteral("the backup holds sectors beyond the end of %1; nothing "
                                       "was written")
                            .arg(drive.name));
        }
        QByteArray now(range.old_bytes.size(), '\0');
        if (source->read_at(range.lba * sector_bytes, now.data(), std::size_t(now.size())) != 0) {
            return fail(QStringLiteral("cannot read sector %1 of %2; nothing was written")
                            .arg(range.lba)
                            .arg(drive.name));
        }
        const bool as_written = range.written_hash.isEmpty()
                                    ? written_by_plain_repair(now, range.old_bytes)
                                    : sha256_of(now) == range.written_hash;
        if (!as_written && !force) {
            return fail(QStringLiteral("sector %1 of %2 is not what the repair wrote (it changed "
                                       "since); nothing was written (--force puts the backup "
                                       "back anyway)")
                            .arg(range.lba)
                            .arg(drive.name));
        }
        own.ranges << backup_range_s{range.lba, now, sha256_of(range.old_bytes)};
        for (std::uint64_t s = 0; s < count; ++s) {
            const char* old_sector = now.constData() + s * sector_bytes;
            const char* saved = range.old_bytes.constData() + s * sector_bytes;
            if (std::memcmp(old_sector, saved, sector_bytes) == 0) {
                continue;  // already as the backup holds it
            }
            platform::sector_write_s write;
            write.lba = range.lba + s;
            write.replaces = platform::sha256(old_sector, sector_bytes);
            write.bytes.assign(saved, saved + sector_bytes);
            request.writes.push_back(write);
        }
    }
    if (request.writes.size() > platform::max_sector_writes) {
        return fail(QStringLiteral("the backup holds more sectors than one write may carry"));
    }
    source.reset();
    report->backup_path = save_sector_backup(own, &error);
    if (report->backup_path.isEmpty()) {
        return fail(
            QStringLiteral("nothing was written: no backup could be saved (%1)").arg(error));
    }
    // Every sector of the backup is on the drive again, also those that were already.
    std::uint64_t restored = 0;
    for (const backup_range_s& range : backup.ranges) {
        restored += std::uint64_t(range.old_bytes.size()) / sector_bytes;
    }
    if (request.writes.empty()) {
        report->sectors = int(restored);
        return 0;  // the drive already holds every sector of the backup
    }
    const platform::write_result_s result = platform::write_sectors(drive, request);
    if (result.status != platform::write_status_e::written) {
        return fail(QString::fromStdString(result.message));
    }
    report->table_reread = result.table_reread;
    report->sectors = int(restored);
    return 0;
}
