// Sector writes for the repair: in this process or through the privileged writer.
#include "platform_write.h"
#include "platform_helper.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

drive_desc_s drive_by_name(const QString& name) {
    for (const drive_desc_s& drive : list_drives()) {
        if (drive.name == name) {
            return drive;
        }
    }
    if (name.startsWith(QLatin1String("mem:"))) {
        return {name, drive_kind_e::memory};
    }
    return {name,
            name.startsWith(QLatin1String("/dev/")) ? drive_kind_e::block : drive_kind_e::image};
}

namespace {

// One short sysfs value, spaces folded.
QString sysfs_line(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(512)).simplified()
                                          : QString();
}

}  // namespace

QString drive_description(const drive_desc_s& drive) {
    if (drive.kind != drive_kind_e::block) {
        return {};
    }
    const QString base = QStringLiteral("/sys/block/") + QFileInfo(drive.name).fileName();
    const auto line = sysfs_line;
    const QString backing = line(base + QStringLiteral("/loop/backing_file"));
    if (!backing.isEmpty()) {
        return backing;
    }
    return (line(base + QStringLiteral("/device/vendor")) + QLatin1Char(' ') +
            line(base + QStringLiteral("/device/model")))
        .simplified();
}

QString drive_medium(const drive_desc_s& drive) {
    auto file_id = [](const QString& path) {
        struct stat st {};
        if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 ||
            !S_ISREG(st.st_mode)) {
            return QString();
        }
        return QStringLiteral("file:%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino));
    };
    if (drive.kind == drive_kind_e::image) {
        return file_id(drive.name);
    }
    if (drive.kind != drive_kind_e::block) {
        return {};
    }
    const QString base = QStringLiteral("/sys/block/") + QFileInfo(drive.name).fileName();
    const QString backing = sysfs_line(base + QStringLiteral("/loop/backing_file"));
    if (!backing.isEmpty()) {
        return file_id(backing);
    }
    for (const char* name : {"/device/wwid", "/wwid", "/device/serial"}) {
        const QString serial = sysfs_line(base + QLatin1String(name));
        if (!serial.isEmpty()) {
            return QStringLiteral("serial:") + serial;
        }
    }
    return {};
}

write_result_s write_sectors(const drive_desc_s& drive, write_request_s request) {
    if (drive.kind == drive_kind_e::memory) {
        write_result_s refused;
        refused.message =
            "'" + drive.name.toStdString() + "' is a memory drive and cannot be written";
        return refused;
    }
    request.device = QFile::encodeName(drive.name).toStdString();
    if (drive.kind == drive_kind_e::block && device_helper_enabled() && ::geteuid() != 0) {
        return write_through_helper(request);
    }
    return apply_sector_writes(request, drive.kind == drive_kind_e::block
                                            ? write_target_e::whole_disk
                                            : write_target_e::disk_or_image_file);
}

bool current_identity(const drive_desc_s& drive, drive_identity_s* identity, QString* error) {
    auto source = open_drive(drive, error);
    if (!source) {
        return false;
    }
    if (!source->identify(identity)) {
        if (error) {
            *error =
                QStringLiteral("'%1' cannot be identified, so it is not written").arg(drive.name);
        }
        return false;
    }
    return true;
}

}  // namespace platform
