#include "app/ui/init.h"

#include "core/diagnostics.h"
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/volume_list.h"

#include <exception>

std::atomic<int> init_done{0};

void init_c::enumerate_devices() {
    // Linux has no disk partitioning step to run first: volumes are listed whether or not
    // they are mounted.
    enumerate_volumes();
    enumerate_physical_drives();
    disk_open_all();  // its result does not matter here: a drive that fails shows as such
}

void init_c::run() {
    try {
        enumerate_devices();
    } catch (const std::exception& error) {
        error_report("init", __LINE__, "device enumeration failed: %s", error.what());
    } catch (...) {
        error_report("init", __LINE__, "device enumeration failed");
    }
    // Both lists are complete before init_done, and init_done before the signal.
    init_done.store(1);
    emit init_finished();
}
