// Partition tables, file-system names and labels (libblkid), mount points and the volume
// locator for Linux drives.
#include "container_probe.h"
#include "device_stack.h"
#include "platform_device.h"
#include "platform_helper.h"

#include "engine/exfat/exfat_format.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <blkid/blkid.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {
namespace {

// Owns a read-only descriptor for the duration of a probe.
struct fd_holder_s {
    int fd = -1;
    ~fd_holder_s() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// A descriptor over the drive's bytes. Memory drives are copied into a sealed memfd so that
// the prober reads them like any file.
int open_for_probe(const drive_desc_s& drive) {
    if (drive.kind != drive_kind_e::memory) {
        int fd = ::open(QFile::encodeName(drive.name).constData(), O_RDONLY | O_CLOEXEC);
        const int error = errno;
        if (fd < 0 && drive.kind == drive_kind_e::block && helper_applies(error)) {
            fd = open_through_helper(drive.name, nullptr);
            errno = error;  // the caller reports why the disk could not be read
        }
        return fd;
    }
    QString error;
    auto source = open_drive(drive, &error);
    if (!source) {
        return -1;
    }
    int fd = ::memfd_create("orvane-probe", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::vector<char> chunk(1 << 20);
    std::uint64_t size = source->byte_size();
    for (std::uint64_t at = 0; at < size;) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
        if (source->read_at(at, chunk.data(), n) != 0 ||
            ::pwrite(fd, chunk.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
            ::close(fd);
            return -1;
        }
        at += n;
    }
    return fd;
}

std::uint64_t fd_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        blkid_probe pr = blkid_new_probe();
        if (pr && blkid_probe_set_device(pr, fd, 0, 0) == 0) {
            bytes = static_cast<std::uint64_t>(blkid_probe_get_size(pr));
        }
        if (pr) {
            blkid_free_probe(pr);
        }
        return bytes;
    }
    return st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Windows names FAT by its width and capitalises NTFS and exFAT; the rest keep their
// Linux names.
QString windows_fs_name(const QString& type, const QString& version) {
    if (type == QLatin1String("vfat") || type == QLatin1String("msdos")) {
        if (version.startsWith(QLatin1String("FAT"))) {
            return version;
        }
        return QStringLiteral("FAT");
    }
    if (type == QLatin1String("ntfs")) {
        return QStringLiteral("NTFS");
    }
    if (type == QLatin1String("exfat")) {
        return QStringLiteral("exFAT");
    }
    return type;
}

// An exFAT volume whose main boot region is damaged but whose backup (sectors 12-23) is
// sound: libblkid reads only the main boot sector, the exFAT engine reads the backup too.
bool exfat_backup_region(int fd, std::uint64_t offset, std::uint64_t size) {
    std::vector<std::uint8_t> region;
    for (std::uint64_t sector = 512; sector <= 4096; sector *= 2) {
        region.resize(12 * sector);
        if (size < 24 * sector ||
            ::pread(fd, region.data(), region.size(), static_cast<off_t>(offset + 12 * sector)) !=
                static_cast<ssize_t>(region.size())) {
            continue;
        }
        exfat::boot_s boot;
        if (exfat::check_boot_region(region.data(), sector, size, &boot)) {
            return true;
        }
    }
    return false;
}

// Probes one byte range for a file system; fills file_system and label.
void probe_file_system(int fd, std::uint64_t offset, std::uint64_t size, volume_desc_s* volume) {
    blkid_probe pr = blkid_new_probe();
    if (!pr) {
        return;
    }
    if (blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(size)) == 0) {
        blkid_probe_enable_partitions(pr, 0);
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(
            pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
        if (blkid_do_safeprobe(pr) == 0) {
            const char* value = nullptr;
            QString type;
            QString version;
            if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0) {
                type = QString::fromUtf8(value);
            }
            if (blkid_probe_lookup_value(pr, "VERSION", &value, nullptr) == 0) {
                version = QString::fromUtf8(value);
            }
            if (blkid_probe_lookup_value(pr, "LABEL", &value, nullptr) == 0) {
                volume->label = QString::fromUtf8(value);
            }
            volume->file_system = windows_fs_name(type, version);
        }
    }
    blkid_free_probe(pr);
    if (volume->file_system.isEmpty() && exfat_backup_region(fd, offset, size)) {
        volume->file_system = QStringLiteral("exFAT");
    }
}

// The kernel's device node for partition n of a block device, from sysfs.
QString block_partition_node(const QString& disk_node, int number, std::uint64_t* start) {
    QString disk = QFileInfo(disk_node).fileName();
    QDir dir(QStringLiteral("/sys/block/") + disk);
    for (const QString& child : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile part(dir.filePath(child + QStringLiteral("/partition")));
        if (!part.open(QIODevice::ReadOnly)) {
            continue;
        }
        if (part.readAll().trimmed().toInt() == number) {
            QFile start_file(dir.filePath(child + QStringLiteral("/start")));
            if (start && start_file.open(QIODevice::ReadOnly)) {
                *start = start_file.readAll().trimmed().toULongLong();
            }
            return QStringLiteral("/dev/") + child;
        }
    }
    return {};
}

QString unescape_mount_field(const QByteArray& field) {
    QByteArray out;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

// One line of /proc/self/mountinfo.
struct mount_entry_s {
    QByteArray device;  // "major:minor" of the mounted file system
    QByteArray root;    // the folder of the file system mounted here ("/" unless a bind mount)
    QString mount_point;
    QString source;  // the mount source, a device node for disk file systems
};

// The process's mount table. /proc files report a size of 0, so the table is read to its end
// rather than up to a size.
std::vector<mount_entry_s> read_mount_table() {
    std::vector<mount_entry_s> table;
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return table;
    }
    const QByteArray text = file.readAll();
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        // id parent major:minor root mount-point options [optional...] - type source options
        const qsizetype separator = fields.indexOf(QByteArray("-"), 6);
        if (fields.size() < 5 || separator < 0) {
            continue;
        }
        mount_entry_s entry;
        entry.device = fields[2];
        entry.root = fields[3];
        entry.mount_point = unescape_mount_field(fields[4]);
        if (separator + 2 < fields.size()) {
            entry.source = unescape_mount_field(fields[separator + 2]);
        }
        table.push_back(std::move(entry));
    }
    return table;
}

QByteArray device_text(dev_t device) {
    return QByteArray::number(major(device)) + ':' + QByteArray::number(minor(device));
}

// The source names this block device (btrfs and others report a private device number in
// the table, so the source is compared as well).
bool source_is_device(const QString& source, dev_t device) {
    struct stat st {};
    return source.startsWith(QLatin1String("/dev/")) &&
           ::stat(QFile::encodeName(source).constData(), &st) == 0 && S_ISBLK(st.st_mode) &&
           st.st_rdev == device;
}

// First mount point of the block device with this number.
QString mount_point_of(dev_t device) {
    const QByteArray wanted = device_text(device);
    const std::vector<mount_entry_s> table = read_mount_table();
    for (const mount_entry_s& entry : table) {
        if (entry.root == "/" && entry.device == wanted) {
            return entry.mount_point;
        }
    }
    for (const mount_entry_s& entry : table) {
        if (entry.root == "/" && source_is_device(entry.source, device)) {
            return entry.mount_point;
        }
    }
    return {};
}

void fill_mount_facts(volume_desc_s* volume) {
    if (!volume->device_name.startsWith(QLatin1String("/dev/"))) {
        return;
    }
    QByteArray native = QFile::encodeName(volume->device_name);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return;
    }
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    // A volume the helper can open counts as readable; it is asked when the volume is read.
    volume->readable = fd >= 0 || helper_applies(errno);
    if (fd >= 0) {
        ::close(fd);
    }
    volume->mount_path = mount_point_of(st.st_rdev);
    struct statvfs vfs {};
    if (!volume->mount_path.isEmpty() &&
        ::statvfs(QFile::encodeName(volume->mount_path).constData(), &vfs) == 0) {
        volume->mounted_total = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
        volume->mounted_free = static_cast<std::uint64_t>(vfs.f_bfree) * vfs.f_frsize;
    }
}

bool has_protective_mbr(int fd) {
    unsigned char sector[512];
    if (::pread(fd, sector, sizeof sector, 0) != static_cast<ssize_t>(sizeof sector)) {
        return false;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (sector[446 + i * 16 + 4] == 0xEE) {
            return true;
        }
    }
    return false;
}

// What udev recorded of a block device ("E:KEY=VALUE" lines of /run/udev/data/bMAJ:MIN),
// which every user may read, unlike the device itself.
QHash<QByteArray, QByteArray> udev_properties(const QString& sys_folder) {
    QHash<QByteArray, QByteArray> properties;
    QFile dev(sys_folder + QStringLiteral("/dev"));
    if (!dev.open(QIODevice::ReadOnly)) {
        return properties;
    }
    const QByteArray numbers = dev.read(32).trimmed();
    QFile data(QStringLiteral("/run/udev/data/b") + QString::fromLatin1(numbers));
    if (numbers.isEmpty() || !data.open(QIODevice::ReadOnly)) {
        return properties;
    }
    for (const QByteArray& line : data.read(64 * 1024).split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (line.startsWith("E:") && equals > 2) {
            properties.insert(line.mid(2, equals - 2), line.mid(equals + 1));
        }
    }
    return properties;
}

// udev's ID_FS_LABEL_ENC: the label with unsafe bytes written as \xNN.
QString udev_label(const QHash<QByteArray, QByteArray>& properties) {
    const QByteArray text = properties.value("ID_FS_LABEL_ENC");
    QByteArray label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        bool ok = false;
        const int code = text.mid(i, 2) == "\\x" ? text.mid(i + 2, 2).toInt(&ok, 16) : 0;
        if (ok && i + 3 < text.size()) {
            label.append(static_cast<char>(code));
            i += 3;
        } else {
            label.append(text[i]);
        }
    }
    return QString::fromUtf8(label);
}

// A disk that only the helper may open, before the user opened it: its partitions as the
// kernel lists them, named by what udev found on them. Nothing is opened or asked; the
// full probe follows once the helper has opened the disk.
void probe_unopened(const drive_desc_s& drive, drive_probe_s* result) {
    const QString disk_folder = QStringLiteral("/sys/block/") + QFileInfo(drive.name).fileName();
    const auto sys_number = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.read(32).trimmed().toULongLong() : 0ull;
    };
    const auto describe = [&](volume_desc_s* v, const QHash<QByteArray, QByteArray>& udev) {
        const QByteArray type = udev.value("ID_FS_TYPE");
        if (!type.isEmpty()) {
            v->file_system = windows_fs_name(QString::fromLatin1(type),
                                             QString::fromLatin1(udev.value("ID_FS_VERSION")));
        }
        v->label = udev_label(udev);
        fill_mount_facts(v);
    };
    const QHash<QByteArray, QByteArray> whole_udev = udev_properties(disk_folder);
    result->table_type = QString::fromLatin1(whole_udev.value("ID_PART_TABLE_TYPE"));
    for (const QString& child : QDir(disk_folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = disk_folder + QLatin1Char('/') + child;
        if (!QFileInfo::exists(folder + QStringLiteral("/partition"))) {
            continue;
        }
        const QHash<QByteArray, QByteArray> udev = udev_properties(folder);
        const QByteArray entry_type = udev.value("ID_PART_ENTRY_TYPE");
        const std::uint64_t sectors = sys_number(folder + QStringLiteral("/size"));
        if (entry_type == "0x5" || entry_type == "0xf" || entry_type == "0x85" || sectors <= 2) {
            continue;  // an extended partition: the logical ones are listed themselves
        }
        volume_desc_s v;
        v.partition_number = static_cast<int>(sys_number(folder + QStringLiteral("/partition")));
        v.start_sector = sys_number(folder + QStringLiteral("/start"));
        v.byte_size = sectors * 512;  // sysfs counts 512-byte units
        v.device_name = QStringLiteral("/dev/") + child;
        describe(&v, udev);
        result->volumes.push_back(v);
    }
    std::sort(result->volumes.begin(), result->volumes.end(),
              [](const volume_desc_s& a, const volume_desc_s& b) {
                  return a.partition_number < b.partition_number;
              });
    if (result->volumes.empty() && !whole_udev.value("ID_FS_TYPE").isEmpty()) {
        volume_desc_s whole;
        whole.byte_size = sys_number(disk_folder + QStringLiteral("/size")) * 512;
        whole.device_name = drive.name;
        describe(&whole, whole_udev);
        result->volumes.push_back(whole);
    }
}

}  // namespace

drive_probe_s probe_drive(const drive_desc_s& drive) {
    // Listing asks for no password: a disk only the helper may open is listed from what the
    // system knows of it until the user opens it.
    helper_prompts_off_c no_prompts;
    drive_probe_s result;
    fd_holder_s holder;
    // A container: the prober reads a copy of the parts of the disk inside that it needs.
    std::unique_ptr<device_source_c> container;
    std::unique_ptr<probe_copy_c> copy;
    if (drive_image_format(drive) != image_format_e::raw) {
        QString error;
        container = open_drive(drive, &error);
        if (!container) {
            result.warnings << QStringLiteral("%1: cannot be read: %2").arg(drive.name, error);
            return result;
        }
        copy = std::make_unique<probe_copy_c>(*container);
        if (!copy->copy_tables()) {
            result.warnings << QStringLiteral(
                                   "%1: cannot be read: the start of the disk inside "
                                   "the image is unreadable")
                                   .arg(drive.name);
            return result;
        }
        holder.fd = ::fcntl(copy->fd(), F_DUPFD_CLOEXEC, 0);  // the same memory file
    } else {
        holder.fd = open_for_probe(drive);
    }
    const auto copy_volume = [&](std::uint64_t offset, std::uint64_t size) {
        if (copy) {
            copy->copy_volume(offset, size);
        }
    };
    if (holder.fd < 0) {
        const int error = errno;
        if (drive.kind == drive_kind_e::block && helper_applies(error)) {
            probe_unopened(drive, &result);
            return result;
        }
        QString message = QStringLiteral("%1: cannot be read: %2")
                              .arg(drive.name, QString::fromLocal8Bit(std::strerror(error)));
        if ((error == EACCES || error == EPERM) && ::geteuid() != 0) {
            message +=
                QStringLiteral(" (reading a disk needs root or membership of the 'disk' group)");
        }
        result.warnings << message;
        return result;
    }
    const std::uint64_t disk_bytes = fd_size(holder.fd);
    if (disk_bytes == 0) {
        result.warnings << QStringLiteral("%1: the drive is empty").arg(drive.name);
        return result;
    }

    blkid_probe pr = blkid_new_probe();
    if (!pr) {
        return result;
    }
    std::vector<volume_desc_s> parts;
    if (blkid_probe_set_device(pr, holder.fd, 0, 0) == 0) {
        blkid_probe_enable_superblocks(pr, 0);
        blkid_probe_enable_partitions(pr, 1);
        blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
        if (blkid_do_safeprobe(pr) == 0) {
            blkid_partlist list = blkid_probe_get_partitions(pr);
            if (list) {
                blkid_parttable table = blkid_partlist_get_table(list);
                if (table && blkid_parttable_get_type(table)) {
                    result.table_type = QString::fromLatin1(blkid_parttable_get_type(table));
                }
                int count = blkid_partlist_numof_partitions(list);
                for (int i = 0; i < count; ++i) {
                    blkid_partition part = blkid_partlist_get_partition(list, i);
                    if (!part || blkid_partition_is_extended(part)) {
                        continue;
                    }
                    volume_desc_s v;
                    v.partition_number = blkid_partition_get_partno(part);
                    auto start = blkid_partition_get_start(part);  // 512-byte sectors
                    auto size = blkid_partition_get_size(part);
                    if (start < 0 || size <= 0) {
                        continue;
                    }
                    v.start_sector = static_cast<std::uint64_t>(start);
                    v.byte_size = static_cast<std::uint64_t>(size) * 512;
                    parts.push_back(v);
                }
            }
        }
    }
    blkid_free_probe(pr);

    // A file system on the whole drive. Its boot sector can pass for an empty MBR (an exFAT
    // boot sector carries the 0x55AA signature and zeros where the entries would be), so an
    // MS-DOS table without partitions does not hide it.
    if (parts.empty()) {
        volume_desc_s whole;
        whole.partition_number = 0;
        whole.byte_size = disk_bytes;
        whole.device_name = drive.name;
        copy_volume(0, disk_bytes);
        probe_file_system(holder.fd, 0, disk_bytes, &whole);
        if (!whole.file_system.isEmpty()) {
            fill_mount_facts(&whole);
            result.volumes.push_back(whole);
            result.table_type.clear();
        } else if (!result.table_type.isEmpty()) {
            return result;  // an empty table
        } else if (has_protective_mbr(holder.fd)) {
            result.warnings
                << QStringLiteral(
                       "%1: the disk has a protective MBR but neither GPT header is valid")
                       .arg(drive.name);
        } else {
            result.warnings << QStringLiteral("%1: no partition table or file system recognised")
                                   .arg(drive.name);
        }
        return result;
    }

    for (volume_desc_s& v : parts) {
        const std::uint64_t start_byte = v.start_sector * 512;
        if (v.start_sector >= disk_bytes / 512) {
            result.warnings << QStringLiteral(
                                   "%1: partition %2 starts past the end of the disk; skipped")
                                   .arg(drive.name)
                                   .arg(v.partition_number);
            continue;
        }
        if (v.byte_size > disk_bytes - start_byte) {
            result.warnings << QStringLiteral(
                                   "%1: partition %2 runs past the end of the disk; only the %3 "
                                   "bytes present are used")
                                   .arg(drive.name)
                                   .arg(v.partition_number)
                                   .arg(disk_bytes - start_byte);
            v.byte_size = disk_bytes - start_byte;
        }
        for (const volume_desc_s& other : result.volumes) {
            const std::uint64_t other_start = other.start_sector * 512;
            if (start_byte < other_start + other.byte_size &&
                other_start < start_byte + v.byte_size) {
                result.warnings << QStringLiteral("%1: partitions %2 and %3 overlap")
                                       .arg(drive.name)
                                       .arg(other.partition_number)
                                       .arg(v.partition_number);
            }
        }
        if (drive.kind == drive_kind_e::block) {
            v.device_name = block_partition_node(drive.name, v.partition_number, nullptr);
        }
        if (v.device_name.isEmpty()) {
            v.device_name = drive.name + QLatin1Char('#') + QString::number(v.partition_number);
        }
        copy_volume(start_byte, v.byte_size);
        probe_file_system(holder.fd, start_byte, v.byte_size, &v);
        fill_mount_facts(&v);
        result.volumes.push_back(v);
    }
    return result;
}

QString canonical_volume_name(const QString& name) {
    const int hash = name.lastIndexOf(QLatin1Char('#'));
    if (hash > 0 && QFileInfo(name.left(hash)).isFile()) {
        return QFileInfo(name.left(hash)).canonicalFilePath() + name.mid(hash);
    }
    // Device nodes too: /dev/disk/by-label/... names the same volume as /dev/sdb1.
    if (QFileInfo(name).isFile() ||
        (name.startsWith(QLatin1String("/dev/")) && QFileInfo::exists(name))) {
        return QFileInfo(name).canonicalFilePath();
    }
    return name;
}

QStringList mount_sources(dev_t device) {
    const QByteArray wanted = device_text(device);
    QStringList sources;
    for (const mount_entry_s& entry : read_mount_table()) {
        if (entry.device == wanted) {
            sources << entry.source;
        }
    }
    return sources;
}

bool folder_on_volume(const QString& folder, const QString& volume_device) {
    read_source_s source;
    return read_source_of(volume_device, &source) && folder_on_source(folder, source);
}

bool locate_volume(const QString& volume_name, volume_where_s* where) {
    QString name = volume_name;
    if (name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'))) {
        name.chop(1);
    }
    if (name.isEmpty()) {
        return false;
    }
    name = canonical_volume_name(name);
    QString resolved =
        name.startsWith(QLatin1String("/dev/")) ? QFileInfo(name).canonicalFilePath() : name;
    const std::vector<drive_desc_s> drives = list_drives();
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const drive_desc_s& drive = drives[i];
        const bool whole = name == drive.name || (!resolved.isEmpty() && resolved == drive.name);
        const bool by_number = name.startsWith(drive.name + QLatin1Char('#'));
        bool by_node = false;
        if (!whole && !by_number && drive.kind == drive_kind_e::block && !resolved.isEmpty()) {
            by_node = resolved.startsWith(drive.name);
        }
        if (!whole && !by_number && !by_node) {
            continue;
        }
        drive_probe_s probe = probe_drive(drive);
        for (const volume_desc_s& v : probe.volumes) {
            bool match = whole ? v.partition_number == 0
                               : (v.device_name == name || v.device_name == resolved);
            if (match) {
                where->drive_number = static_cast<int>(i);
                where->partition_number = v.partition_number;
                where->start_sector = v.start_sector;
                where->byte_size = v.byte_size;
                return true;
            }
        }
    }
    return false;
}

}  // namespace platform
