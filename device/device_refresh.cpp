#include "device_refresh.h"

#include "disk_table.h"

#include <exception>

device_refresh_c::device_refresh_c(QObject* parent) : QThread(parent) {}

device_refresh_c::~device_refresh_c() {
    wait();
}

bool device_refresh_c::set_work(bool want_volumes, bool want_drives) {
    if (isRunning()) {
        return false;
    }
    volumes_wanted = want_volumes;
    drives_wanted = want_drives;
    return true;
}

void device_refresh_c::run() {
    volumes.clear();
    drives.clear();
    warnings.clear();
    try {
        if (volumes_wanted) {
            volumes = build_volume_list(&warnings);
            disk_reopen_all();
        }
        if (drives_wanted) {
            drives = build_drive_list();
        }
    } catch (const std::exception& error) {
        warnings << QStringLiteral("device enumeration failed: %1")
                        .arg(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        warnings << QStringLiteral("device enumeration failed");
    }
}

void device_refresh_c::take_results() {
    if (volumes_wanted) {
        if (volumes.empty()) {
            volumes.push_back(volume_item_s{});  // the header row stays
        }
        volume_list = std::move(volumes);
        volume_warnings = warnings;
    }
    if (drives_wanted) {
        if (drives.empty()) {
            drives.push_back(drive_item_s{});
        }
        drive_list = std::move(drives);
    }
    volumes.clear();
    drives.clear();
}
