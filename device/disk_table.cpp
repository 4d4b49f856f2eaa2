#include "disk_table.h"

#include "core/diagnostics.h"
#include "platform/platform_device.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct disk_entry_s {
    std::atomic<std::uint8_t> status{disk_status_not_initialised};
    std::atomic<std::uint16_t> sector_size{0};
    std::atomic<std::uint64_t> sector_count{0};
    std::atomic<bool> watched{false};
    std::unique_ptr<platform::device_source_c> device;  // guarded by disk_lock
    QString identity;                                   // guarded by disk_lock
};

// The drive lock. Timed acquisition polls a plain mutex: the thread sanitizer cannot see
// std::timed_mutex's timed lock, and waits here are rare and short anyway.
class disk_lock_c {
  public:
    bool try_lock_for(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!mutex_.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

  private:
    std::mutex mutex_;
};

struct disk_shared_s {
    std::array<disk_entry_s, disk_max_drives> table;
    std::atomic<int> opened_count{0};
    disk_lock_c lock;
    std::unique_ptr<unsigned char[]> transfer_buffer;
    std::once_flag monitor_started;
};

// Never freed: the monitor thread runs until the process ends and must never find the table
// destroyed under it by the exit-time destructors.
disk_shared_s& shared = *new disk_shared_s;
std::array<disk_entry_s, disk_max_drives>& disk_table = shared.table;
std::atomic<int>& opened_count = shared.opened_count;
disk_lock_c& disk_lock = shared.lock;
std::unique_ptr<unsigned char[]>& transfer_buffer = shared.transfer_buffer;
std::once_flag& monitor_started = shared.monitor_started;

// Brings a slot to a known state: answers, 512-byte sectors, write protection.
bool query_drive(disk_entry_s& entry) {
    if (!entry.device || !entry.device->check_verify()) {
        entry.status = disk_status_not_initialised;
        return false;
    }
    std::uint32_t sector = entry.device->sector_size();
    entry.sector_size = static_cast<std::uint16_t>(sector);
    if (sector != 512) {
        entry.status = disk_status_not_initialised;
        return false;
    }
    entry.sector_count = entry.device->byte_size() / 512;
    entry.status = entry.device->is_writable() ? 0 : disk_status_write_protected;
    return true;
}

// Fills the table from the platform's drive list. A drive that cannot be opened keeps its
// slot, marked not ready, so that the drives after it keep their numbers.
int open_table() {
    auto drives = platform::list_drives();
    int count = 0;
    for (std::size_t n = 0; n < drives.size() && n < disk_table.size(); ++n) {
        disk_entry_s& entry = disk_table[n];
        QString error;
        entry.device = platform::open_drive(drives[n], &error);
        entry.identity = platform::drive_identity(drives[n]);
        // Slot 0 is normally the system disk and is not watched; images never are that.
        entry.watched = n != 0 || drives[n].kind != platform::drive_kind_e::block;
        QString line = QStringLiteral("Disk# %1 <== %2").arg(n).arg(drives[n].name);
        if (query_drive(entry)) {
            std::uint64_t mib = entry.sector_count.load() * 512 / 1024 / 1024;
            line += QStringLiteral(" (%1MB, %2 bytes * %3 sectors)\n")
                        .arg(mib)
                        .arg(entry.sector_size.load())
                        .arg(entry.sector_count.load());
        } else {
            line += QStringLiteral(" (Not Ready)\n");
        }
        console_print(line);
        ++count;
    }
    for (std::size_t n = static_cast<std::size_t>(count); n < disk_table.size(); ++n) {
        disk_table[n].device.reset();
        disk_table[n].identity.clear();
        disk_table[n].status = disk_status_not_initialised;
    }
    return count;
}

[[noreturn]] void monitor_body() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int count = opened_count.load();
        for (int n = 0; n < count; ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            disk_entry_s& entry = disk_table[static_cast<std::size_t>(n)];
            if (entry.status.load() & disk_status_not_initialised) {
                continue;
            }
            if (!entry.watched.load()) {
                continue;
            }
            if (!disk_lock.try_lock_for(std::chrono::milliseconds(100))) {
                continue;
            }
            if (entry.device && !entry.device->check_verify()) {
                entry.status.fetch_or(disk_status_not_initialised);
            }
            disk_lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

}  // namespace

int disk_open_all() {
    if (!transfer_buffer) {
        transfer_buffer = std::make_unique<unsigned char[]>(disk_transfer_bytes);
    }
    int count = 0;
    {
        std::lock_guard<disk_lock_c> hold(disk_lock);
        count = open_table();
        opened_count = count;
    }
    bool started = true;
    std::call_once(monitor_started, [&started] {
        try {
            std::thread(monitor_body).detach();
        } catch (...) {
            started = false;
        }
    });
    if (!started) {
        opened_count = 0;
        return 0;
    }
    return count;
}

int disk_reopen_all() {
    std::lock_guard<disk_lock_c> hold(disk_lock);
    for (auto& entry : disk_table) {
        entry.device.reset();
    }
    int count = open_table();
    opened_count = count;
    return count;
}

std::uint8_t disk_init_drive(int drive) {
    if (drive < 0 || drive >= opened_count.load()) {
        return disk_status_not_initialised;
    }
    if (!disk_lock.try_lock_for(std::chrono::milliseconds(5000))) {
        return disk_status_not_initialised;
    }
    disk_entry_s& entry = disk_table[static_cast<std::size_t>(drive)];
    query_drive(entry);
    std::uint8_t status = entry.status.load();
    disk_lock.unlock();
    return status;
}

std::uint8_t disk_get_status(int drive) {
    if (drive < 0 || drive >= opened_count.load()) {
        return disk_status_not_initialised;
    }
    return disk_table[static_cast<std::size_t>(drive)].status.load();
}

int disk_count() {
    return opened_count.load();
}

QString disk_identity(int drive) {
    if (drive < 0 || drive >= opened_count.load()) {
        return {};
    }
    std::lock_guard<disk_lock_c> hold(disk_lock);
    return disk_table[static_cast<std::size_t>(drive)].identity;
}

disk_result disk_read_sectors(int drive, void* destination, std::uint64_t first_sector,
                              std::uint32_t count) {
    if (drive < 0 || drive >= opened_count.load()) {
        return disk_not_ready;
    }
    disk_entry_s& entry = disk_table[static_cast<std::size_t>(drive)];
    if (entry.status.load() & disk_status_not_initialised) {
        return disk_not_ready;
    }
    if (!disk_lock.try_lock_for(std::chrono::milliseconds(3000))) {
        return disk_not_ready;
    }
    std::lock_guard<disk_lock_c> hold(disk_lock, std::adopt_lock);
    const std::uint64_t sector_size = entry.sector_size.load();
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sector_size;
    if (bytes > disk_transfer_bytes) {
        return disk_bad_parameter;
    }
    if (bytes == 0) {
        return disk_ok;
    }
    if (!entry.device || !transfer_buffer || first_sector > UINT64_MAX / sector_size) {
        return disk_read_error;
    }
    if (entry.device->read_at(first_sector * sector_size, transfer_buffer.get(), bytes) != 0) {
        return disk_read_error;
    }
    std::memcpy(destination, transfer_buffer.get(), bytes);
    return disk_ok;
}

bool volume_locate(const QString& volume_path, volume_location_s* location) {
    platform::volume_where_s where;
    if (!platform::locate_volume(volume_path, &where)) {
        return false;
    }
    location->disk_number = where.drive_number;
    location->partition_number = where.partition_number;
    location->start_sector = where.start_sector;
    return true;
}

const char* disk_result_text(disk_result result) {
    switch (result) {
        case disk_ok:
            return "success";
        case disk_read_error:
            return "read error";
        case disk_not_ready:
            return "drive not ready";
        case disk_bad_parameter:
            return "request larger than the transfer buffer";
    }
    return "unknown result";
}
