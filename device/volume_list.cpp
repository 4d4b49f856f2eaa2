#include "volume_list.h"

#include "platform/platform_device.h"

#include <algorithm>

std::vector<volume_item_s> volume_list;
QStringList volume_warnings;

namespace {

struct volume_info {
    volume_item_s item;
    QString sort_key;  // first mount path; empty when not mounted
    int drive_number = 0;
};

}  // namespace

int enumerate_volumes() {
    volume_list.clear();
    std::vector<volume_info> found;
    const auto drives = platform::list_drives();
    // what the listing just met: images that cannot be used, drives left out
    volume_warnings = platform::image_warnings();
    for (std::size_t n = 0; n < drives.size(); ++n) {
        platform::drive_probe_s probe = platform::probe_drive(drives[n]);
        volume_warnings += probe.warnings;
        for (const platform::volume_desc_s& v : probe.volumes) {
            if (!v.readable) {
                continue;  // listed only for a user who may read the device
            }
            volume_info info;
            info.drive_number = static_cast<int>(n);
            info.sort_key = v.mount_path;
            volume_item_s& item = info.item;
            item.device_name = v.device_name;
            item.volume_name = v.device_name;
            item.label = v.label;
            item.file_system = v.file_system;
            item.path = v.mount_path.isEmpty() ? v.device_name : v.mount_path;
            item.total_bytes = v.mount_path.isEmpty() ? v.byte_size : v.mounted_total;
            item.free_bytes = v.mount_path.isEmpty() ? 0 : v.mounted_free;
            item.partition_number = v.partition_number;
            item.disk_number = static_cast<int>(n);
            found.push_back(info);
        }
    }
    // Mount-path order, code unit by code unit; unmounted volumes (empty key) first, in
    // drive and partition order.
    std::stable_sort(found.begin(), found.end(), [](const volume_info& a, const volume_info& b) {
        return a.sort_key < b.sort_key;
    });
    volume_list.push_back(volume_item_s{});
    for (const volume_info& info : found) {
        volume_list.push_back(info.item);
    }
    return 0;
}
