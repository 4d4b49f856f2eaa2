#pragma once
// The process-wide list of volumes that a scan can take as its target.
//
// Built by the start-up worker and by the volume page's refresh; row 0 is the header row
// (all strings empty). Each record is copied into an engine by set_target.

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

struct volume_item_s {
    QString device_name;  // "/dev/sdb1", "<image>#2", or a drive holding a file system directly
    QString volume_name;  // name the device layer opens and locates (volume_locate)
    QString label;
    QString file_system;  // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT", or the Linux name
    QString path;         // first mount point, or device_name when not mounted
    std::uint64_t total_bytes = 0;
    std::uint64_t free_bytes = 0;  // meaningful only when free_known
    std::int32_t partition_number = -1;
    std::int32_t disk_number = -1;
    // The free space is known: from the mounted file system, or read from an unmounted FAT
    // or NTFS volume (volume_free_space.h). Unknown free space is shown as unknown, not 0.
    bool free_known = false;
};
Q_DECLARE_METATYPE(volume_item_s)

extern std::vector<volume_item_s> volume_list;
// What the last enumeration could not use, in plain words (damaged tables, unreadable
// drives); the tool prints them, the pages ignore them.
extern QStringList volume_warnings;

int enumerate_volumes();
// The same walk into a new list (header row first) without touching volume_list, for a
// refresh off the user-interface thread; *warnings gets what volume_warnings would.
std::vector<volume_item_s> build_volume_list(QStringList* warnings);
