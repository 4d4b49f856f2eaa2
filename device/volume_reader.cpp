#include "volume_reader.h"

#include "device/platform/platform_device.h"

volume_range_s::volume_range_s() = default;
volume_range_s::~volume_range_s() = default;
volume_range_s::volume_range_s(volume_range_s&&) noexcept = default;
volume_range_s& volume_range_s::operator=(volume_range_s&&) noexcept = default;

int volume_range_s::read(std::uint64_t offset, void* buffer, std::size_t len) const {
    if (!device || offset > size || len > size - offset) {
        return -1;
    }
    return device->read_at(base + offset, buffer, len);
}

bool open_volume_range(const QString& volume_name, volume_range_s* range, QString* why) {
    QString name = volume_name;
    if (name.endsWith(QLatin1Char('\\'))) {
        name.chop(1);
    }
    platform::volume_where_s where;
    const std::vector<platform::drive_desc_s> drives = platform::list_drives();
    if (!platform::locate_volume(name, &where) || where.drive_number < 0 ||
        where.drive_number >= static_cast<int>(drives.size())) {
        if (why) {
            *why = QStringLiteral("the volume was not found on any drive");
        }
        return false;
    }
    QString error;
    range->device =
        platform::open_drive(drives[static_cast<std::size_t>(where.drive_number)], &error);
    if (!range->device) {
        if (why) {
            *why = QStringLiteral("its drive cannot be opened: %1").arg(error);
        }
        return false;
    }
    range->base = where.start_sector * 512;
    range->size = where.byte_size;
    return true;
}
