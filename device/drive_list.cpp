#include "drive_list.h"

#include "platform/platform_device.h"
#include "volume_list.h"

std::vector<drive_item_s> drive_list;

int enumerate_physical_drives() {
    drive_list = build_drive_list();
    return 0;
}

std::vector<drive_item_s> build_drive_list() {
    std::vector<drive_item_s> list;
    list.push_back(drive_item_s{});
    const auto drives = platform::list_drives();
    for (std::size_t n = 0; n < drives.size(); ++n) {
        platform::drive_geometry_s facts;
        auto geometry = std::make_shared<DISK_GEOMETRY>();
        if (!platform::query_geometry(drives[n], &facts)) {
            // A drive that does not answer keeps its slot, so that the drives after it keep
            // the numbers the drive table gives them; size 0 shows it as not ready.
            drive_item_s item;
            item.name = drives[n].name;
            item.format = platform::drive_format_name(drives[n]);
            item.geometry = std::move(geometry);
            list.push_back(std::move(item));
            continue;
        }
        geometry->BytesPerSector = facts.sector_size;
        geometry->SectorsPerTrack = 63;
        geometry->TracksPerCylinder = 255;
        geometry->MediaType = 12;  // FixedMedia
        geometry->Cylinders =
            static_cast<std::int64_t>(facts.byte_size / (255ULL * 63ULL * facts.sector_size));
        drive_item_s item;
        item.name = drives[n].name;
        item.format = platform::drive_format_name(drives[n]);
        item.size = facts.byte_size;
        item.geometry = std::move(geometry);
        list.push_back(std::move(item));
    }
    return list;
}

QString format_size(std::uint64_t bytes) {
    if (bytes > 1073741824ULL) {
        return QString::asprintf("%.2fG", static_cast<double>(bytes) / 1073741824.0);
    }
    if (bytes > 1048576ULL) {
        return QString::asprintf("%.2fM", static_cast<double>(bytes) / 1048576.0);
    }
    if (bytes > 1024ULL) {
        return QString::asprintf("%.2fK", static_cast<double>(bytes) / 1024.0);
    }
    return QString::asprintf("%dB", static_cast<int>(bytes));
}

void register_device_meta_types() {
    qRegisterMetaType<drive_item_s>("drive_item_s");
    qRegisterMetaType<volume_item_s>("volume_item_s");
}
