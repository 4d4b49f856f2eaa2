#pragma once
// Putting back what a repair replaced, from its backup file.
//
// Writes the backup's sectors back only while the drive still holds what the repair wrote
// there (unless forced), with the same identity and exclusivity checks as the repair, and
// after saving what it replaces to a backup of its own. Runs on the caller's thread; used
// by `orvane partitions --undo`.

#include "device/platform/platform_device.h"

#include <QString>

struct undo_report_s {
    QString error;        // why nothing (or not everything) was written; empty on success
    QString backup_path;  // the undo's own backup of what it replaced
    bool table_reread = false;
    int sectors = 0;  // sectors put back
};

// 0 when every sector of the backup was written back, -1 otherwise (report->error).
int undo_repair(const QString& backup_path, const platform::drive_desc_s& drive, bool force,
                undo_report_s* report);
