#pragma once
// The process-wide table of drives 0 to 9 with read-only sector access.
//
// Opened once at start-up (disk_open_all) and again after each refresh of the volume list
// (disk_reopen_all). A disk that only the privileged helper may open is opened, and the
// password asked, when it is first used (disk_init_drive), not when the table is opened.
// The FAT reader reads sectors through it from the engine thread; a
// monitor thread marks drives that stop answering. One lock serialises every use of a
// drive and of the 64 KiB transfer buffer.

#include "device/platform/platform_device.h"

#include <QString>

#include <cstdint>

// Status bits of a drive slot.
constexpr std::uint8_t disk_status_not_initialised = 0x01;
constexpr std::uint8_t disk_status_write_protected = 0x04;

// Results of disk_read_sectors.
enum disk_result : int {
    disk_ok = 0,
    disk_read_error = 1,
    disk_not_ready = 3,
    disk_bad_parameter = 4,
};

constexpr int disk_max_drives = platform::max_drives;
constexpr std::uint32_t disk_transfer_bytes = 65536;

struct volume_location_s {
    int disk_number = -1;
    int partition_number = 0;
    std::uint64_t start_sector = 0;  // byte offset of the volume / 512
};

int disk_open_all();
int disk_reopen_all();
std::uint8_t disk_init_drive(int drive);
std::uint8_t disk_get_status(int drive);
disk_result disk_read_sectors(int drive, void* destination, std::uint64_t first_sector,
                              std::uint32_t count);
int disk_count();
// The identity (platform::drive_identity) of the drive in this slot since the last opening
// of the table; empty for a slot out of range.
QString disk_identity(int drive);
// Turns a volume name into its drive, partition number and start sector; false when the
// name names no volume on a listed drive.
bool volume_locate(const QString& volume_path, volume_location_s* location);
const char* disk_result_text(disk_result result);
