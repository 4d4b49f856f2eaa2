#pragma once
// The process-wide list of physical drives and the byte-count formatter.
//
// Built by the start-up worker and by the drive page's refresh; read by the drive list
// model and by partition search. Row 0 is the header row.

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The synthetic geometry of a drive: 255 heads, 63 sectors per track.
struct DISK_GEOMETRY {
    std::int64_t Cylinders = 0;
    std::uint32_t MediaType = 0;
    std::uint32_t TracksPerCylinder = 0;
    std::uint32_t SectorsPerTrack = 0;
    std::uint32_t BytesPerSector = 0;
};

struct drive_item_s {
    QString name;            // device node or image path; empty in the header row
    std::uint64_t size = 0;  // exact size in bytes; 0 when the drive does not answer
                             // (not ready; its geometry is all zeros)
    std::shared_ptr<const DISK_GEOMETRY> geometry;  // null in the header row
    QString format;  // an image's container format ("raw", "EWF", "VMDK", ...); empty for
                     // disks. The size is that of the disk inside.
};
Q_DECLARE_METATYPE(drive_item_s)

extern std::vector<drive_item_s> drive_list;

int enumerate_physical_drives();
// The same enumeration into a new list (header row first) without touching drive_list, for
// a refresh off the user-interface thread.
std::vector<drive_item_s> build_drive_list();
QString format_size(std::uint64_t bytes);
void register_device_meta_types();
