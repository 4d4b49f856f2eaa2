#include "device_stack.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace platform {
namespace {

constexpr int max_depth = 8;  // device mapper over RAID over loop over a partition...

// The /sys/dev/block directory of a block device, resolved: its path names the disk and
// the partition, e.g. .../block/sda/sda1.
QString sys_path(dev_t device) {
    return QFileInfo(QStringLiteral("/sys/dev/block/%1:%2").arg(major(device)).arg(minor(device)))
        .canonicalFilePath();
}

QByteArray read_small(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

// The file a loop device reads, from its /sys folder; false when it is no loop device.
bool loop_backing(const QString& sys, struct stat* file) {
    QByteArray name = read_small(sys + QStringLiteral("/loop/backing_file"));
    if (name.isEmpty()) {
        return false;
    }
    return ::stat(name.constData(), file) == 0;
}

bool on_source(dev_t device, const read_source_s& source, int depth) {
    const QString path = sys_path(device);
    if (path.isEmpty() || depth > max_depth) {
        return false;
    }
    if (!source.disk_sys.isEmpty() &&
        (path == source.disk_sys || path.startsWith(source.disk_sys + QLatin1Char('/')))) {
        return true;
    }
    // A partition of a loop device: the loop folder is the disk's.
    const QString disk =
        QFile::exists(path + QStringLiteral("/partition")) ? QFileInfo(path).absolutePath() : path;
    struct stat file {};
    if (loop_backing(disk, &file)) {
        if (source.has_file && file.st_dev == source.file_device &&
            file.st_ino == source.file_inode) {
            return true;
        }
        // Writing into the file writes to the device it lies on.
        if (on_source(file.st_dev, source, depth + 1)) {
            return true;
        }
    }
    const QDir slaves(path + QStringLiteral("/slaves"));
    for (const QString& name : slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> numbers =
            read_small(slaves.filePath(name + QStringLiteral("/dev"))).split(':');
        if (numbers.size() == 2 &&
            on_source(makedev(numbers[0].toUInt(), numbers[1].toUInt()), source, depth + 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool read_source_of(const QString& name, read_source_s* source) {
    *source = {};
    QString path = name;
    const int hash = name.lastIndexOf(QLatin1Char('#'));
    if (hash > 0 && !QFileInfo::exists(name) && QFileInfo(name.left(hash)).isFile()) {
        path = name.left(hash);
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        source->has_file = true;
        source->file_device = st.st_dev;
        source->file_inode = st.st_ino;
        return true;
    }
    if (!S_ISBLK(st.st_mode)) {
        return false;
    }
    QString sys = sys_path(st.st_rdev);
    if (sys.isEmpty()) {
        return false;
    }
    if (QFile::exists(sys + QStringLiteral("/partition"))) {
        sys = QFileInfo(sys).absolutePath();  // .../block/sdb/sdb1 -> .../block/sdb
    }
    source->disk_sys = sys;
    struct stat file {};
    if (loop_backing(sys, &file)) {
        source->has_file = true;
        source->file_device = file.st_dev;
        source->file_inode = file.st_ino;
    }
    return true;
}

bool device_on_source(dev_t device, const read_source_s& source) {
    return on_source(device, source, 0);
}

bool folder_on_source(const QString& folder, const read_source_s& source) {
    // The folder need not exist yet; the nearest folder above it that does decides.
    QString existing = QFileInfo(folder).absoluteFilePath();
    struct stat place {};
    while (::stat(QFile::encodeName(existing).constData(), &place) != 0) {
        const QString up = QFileInfo(existing).absolutePath();
        if (up == existing) {
            return false;
        }
        existing = up;
    }
    if (S_ISBLK(place.st_mode) && device_on_source(place.st_rdev, source)) {
        return true;
    }
    if (device_on_source(place.st_dev, source)) {
        return true;
    }
    // File systems whose st_dev is no block device (btrfs): the mount table names it.
    for (const QString& name : mount_sources(place.st_dev)) {
        struct stat device {};
        if (name.startsWith(QLatin1String("/dev/")) &&
            ::stat(QFile::encodeName(name).constData(), &device) == 0 && S_ISBLK(device.st_mode) &&
            device_on_source(device.st_rdev, source)) {
            return true;
        }
    }
    return false;
}

}  // namespace platform
