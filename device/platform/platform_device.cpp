// Linux drives: block devices, image files and memory buffers, all read-only.
#include "platform_device.h"
#include "container_source.h"
#include "platform_helper.h"
#include "sector_write.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<std::uint64_t> drive_opens{0};
std::atomic<std::uint64_t> container_opens{0};
std::atomic<std::uint64_t> reads_made{0};
std::atomic<std::uint64_t> bytes_read{0};

std::mutex registry_lock;
QStringList added_images;
QStringList configured_images;
QStringList collected_warnings;
std::vector<std::pair<QString, std::shared_ptr<const QByteArray>>> memory_drives;

QString errno_text(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// A loop device is listed only when something is attached to it.
bool is_attached_loop(const QString& name) {
    static const QRegularExpression loop(QStringLiteral("^loop[0-9]+$"));
    return loop.match(name).hasMatch() &&
           QFileInfo::exists(QStringLiteral("/sys/block/%1/loop/backing_file").arg(name));
}

}  // namespace

bool is_packaged_loop(const QString& sys_block) {
    // A snap (or AppImage-like) package: a read-only loop device over a squashfs image. A
    // desktop has dozens; they hold programs, never anyone's lost files.
    QFile read_only(sys_block + QStringLiteral("/ro"));
    if (!read_only.open(QIODevice::ReadOnly) || read_only.read(8).trimmed() != "1") {
        return false;
    }
    QFile backing_name(sys_block + QStringLiteral("/loop/backing_file"));
    if (!backing_name.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QString backing = QString::fromLocal8Bit(backing_name.read(4096).trimmed());
    if (backing.endsWith(QLatin1String(".snap"))) {
        return true;
    }
    // squashfs superblock offset 0: the magic 0x73717368, "hsqs" little-endian. The backing
    // file is opened without following a link and only its first four bytes read.
    const int fd = ::open(QFile::encodeName(backing).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    char magic[4] = {};
    const bool squashfs =
        ::pread(fd, magic, sizeof magic, 0) == 4 && std::memcmp(magic, "hsqs", 4) == 0;
    ::close(fd);
    return squashfs;
}

namespace {

// Name order with runs of digits compared as numbers: loop2 before loop10.
bool natural_less(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype i_end = i;
            qsizetype j_end = j;
            while (i_end < a.size() && a[i_end].isDigit()) {
                ++i_end;
            }
            while (j_end < b.size() && b[j_end].isDigit()) {
                ++j_end;
            }
            const QString x = a.mid(i, i_end - i);
            const QString y = b.mid(j, j_end - j);
            // no leading zeros in device names: the longer number is the larger one
            if (x.size() != y.size() || x != y) {
                return x.size() != y.size() ? x.size() < y.size() : x < y;
            }
            i = i_end;
            j = j_end;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool is_loop_drive(const drive_desc_s& drive) {
    return drive.kind == drive_kind_e::block && drive.name.startsWith(QLatin1String("/dev/loop"));
}

bool block_devices_enabled() {
    return qEnvironmentVariable("ORVANE_BLOCK_DEVICES") != QLatin1String("0");
}

// A container that its library cannot open is no drive. The answer is kept for the file as it
// is (size and time), so that listing the drives again does not open every container again.
bool check_container(const QString& path, const struct stat& st, QString* error) {
    if (detect_image_format(path) == image_format_e::raw) {
        return true;
    }
    static std::mutex cache_lock;
    static QHash<QString, std::pair<QString, QString>> cache;  // path: (file state, error)
    const QString state =
        QStringLiteral("%1 %2.%3").arg(st.st_size).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
    {
        std::lock_guard<std::mutex> hold(cache_lock);
        auto found = cache.constFind(path);
        if (found != cache.constEnd() && found->first == state) {
            *error = found->second;
            return error->isEmpty();
        }
    }
    QString message;
    open_container_backend(path, detect_image_format(path), &message);
    std::lock_guard<std::mutex> hold(cache_lock);
    cache.insert(path, {state, message});
    *error = message;
    return message.isEmpty();
}

// Checks that a path can serve as an image drive; returns its canonical form.
bool check_image_path(const QString& path, QString* canonical, QString* error) {
    QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        *error = QStringLiteral("cannot open image '%1': %2").arg(path, errno_text(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("cannot use '%1' as an image: it is a directory").arg(path);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        *error = QStringLiteral("cannot use '%1' as an image: not a regular file").arg(path);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        *error = QStringLiteral("cannot use '%1' as an image: the file is empty").arg(path);
        return false;
    }
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open image '%1': %2").arg(path, errno_text(errno));
        return false;
    }
    ::close(fd);
    *canonical = QFileInfo(path).canonicalFilePath();
    if (S_ISREG(st.st_mode)) {
        return check_container(*canonical, st, error);
    }
    return true;
}

// A drive read through a file descriptor: a block device or an image file.
class fd_source_c final : public device_source_c {
  public:
    fd_source_c(int fd, QString path, bool block) : fd_(fd), path_(std::move(path)), block_(block) {
        refresh_size();
    }
    ~fd_source_c() override { ::close(fd_); }

    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
        count_read(len);
        if (offset > static_cast<std::uint64_t>(INT64_MAX) - len) {
            return -1;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < len) {
            ssize_t n = ::pread(fd_, out + done, len - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return -1;  // an error, or the end of the device: a short read
            }
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }
    std::uint64_t byte_size() const override { return size_; }
    std::uint32_t sector_size() const override { return sector_; }
    bool sector_size_known() const override { return block_ || sector_ != 512; }
    bool set_unbuffered() override {
        const int flags = ::fcntl(fd_, F_GETFL);
        return block_ && flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0;
    }

    bool check_verify() override {
        if (block_) {
            std::uint64_t bytes = 0;
            return ::ioctl(fd_, BLKGETSIZE64, &bytes) == 0 && bytes > 0;
        }
        // An image that was deleted or truncated no longer answers, even though the open
        // descriptor still reads the old inode: look at the path.
        struct stat st {};
        return ::stat(QFile::encodeName(path_).constData(), &st) == 0 && st.st_size > 0;
    }
    bool is_writable() override {
        if (block_) {
            int ro = 1;
            return ::ioctl(fd_, BLKROGET, &ro) == 0 && ro == 0;
        }
        return ::access(QFile::encodeName(path_).constData(), W_OK) == 0;
    }
    void data_run(std::uint64_t offset, std::uint64_t* start, std::uint64_t* end) override {
        *start = std::min(offset, size_);
        *end = size_;
        if (block_ || offset >= size_) {
            return;  // a disk is read end to end
        }
        const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                *start = size_;  // only a hole follows
            }
            return;  // EINVAL: the file system cannot tell, all of it counts as data
        }
        const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
        *start = std::min(static_cast<std::uint64_t>(data), size_);
        if (hole > data) {
            *end = std::min(static_cast<std::uint64_t>(hole), size_);
        }
    }
    bool identify(drive_identity_s* identity) override {
        std::string ignored;
        return read_identity(fd_, identity, &ignored);
    }

  private:
    void refresh_size() {
        if (block_) {
            std::uint64_t bytes = 0;
            int logical = 0;
            if (::ioctl(fd_, BLKGETSIZE64, &bytes) == 0) {
                size_ = bytes;
            }
            if (::ioctl(fd_, BLKSSZGET, &logical) == 0 && logical > 0) {
                sector_ = static_cast<std::uint32_t>(logical);
            }
        } else {
            struct stat st {};
            if (::fstat(fd_, &st) == 0 && st.st_size > 0) {
                size_ = static_cast<std::uint64_t>(st.st_size);
            }
        }
    }

    int fd_;
    QString path_;
    bool block_;
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

class memory_source_c final : public device_source_c {
  public:
    explicit memory_source_c(std::shared_ptr<const QByteArray> data) : data_(std::move(data)) {}
    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
        count_read(len);
        auto size = static_cast<std::uint64_t>(data_->size());
        if (offset > size || len > size - offset) {
            return -1;
        }
        std::memcpy(buffer, data_->constData() + offset, len);
        return 0;
    }
    std::uint64_t byte_size() const override { return static_cast<std::uint64_t>(data_->size()); }
    std::uint32_t sector_size() const override { return 512; }
    bool check_verify() override { return !data_->isEmpty(); }
    bool is_writable() override { return false; }

  private:
    std::shared_ptr<const QByteArray> data_;
};

// A disk the user may not open: the privileged helper opens it (the desktop program only).
std::unique_ptr<device_source_c> open_block_through_helper(const drive_desc_s& drive,
                                                           QString* error) {
    QString why;
    int fd = open_through_helper(drive.name, &why);
    if (fd < 0) {
        if (error) {
            *error = QStringLiteral("cannot open '%1': %2").arg(drive.name, why);
        }
        return nullptr;
    }
    return std::make_unique<fd_source_c>(fd, drive.name, true);
}

}  // namespace

bool is_disk_name(const QString& name) {
    static const QRegularExpression disk(
        QStringLiteral("^(sd[a-z]+|vd[a-z]+|hd[a-z]+|xvd[a-z]+|nvme[0-9]+n[0-9]+|mmcblk[0-9]+)$"));
    return disk.match(name).hasMatch();
}

std::vector<drive_desc_s> arrange_drives(const std::vector<drive_desc_s>& found,
                                         QStringList* left_out) {
    std::vector<drive_desc_s> disks;
    std::vector<drive_desc_s> added;  // images and memory drives, in the order given
    std::vector<drive_desc_s> loops;
    for (const drive_desc_s& drive : found) {
        if (is_loop_drive(drive)) {
            loops.push_back(drive);
        } else if (drive.kind == drive_kind_e::block) {
            disks.push_back(drive);
        } else {
            added.push_back(drive);
        }
    }
    const auto by_name = [](const drive_desc_s& a, const drive_desc_s& b) {
        return natural_less(a.name, b.name);
    };
    std::stable_sort(disks.begin(), disks.end(), by_name);
    std::stable_sort(loops.begin(), loops.end(), by_name);
    std::vector<drive_desc_s> drives = disks;
    drives.insert(drives.end(), added.begin(), added.end());
    drives.insert(drives.end(), loops.begin(), loops.end());
    for (std::size_t n = max_drives; n < drives.size(); ++n) {
        if (left_out) {
            *left_out << drives[n].name;
        }
    }
    if (drives.size() > static_cast<std::size_t>(max_drives)) {
        drives.resize(max_drives);
    }
    return drives;
}

std::vector<drive_desc_s> list_drives() {
    std::vector<drive_desc_s> drives;
    if (block_devices_enabled()) {
        const QStringList names =
            QDir(QStringLiteral("/sys/block")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& name : names) {
            if (is_disk_name(name) || (is_attached_loop(name) &&
                                       !is_packaged_loop(QStringLiteral("/sys/block/") + name))) {
                drives.push_back({QStringLiteral("/dev/") + name, drive_kind_e::block});
            }
        }
    }
    std::lock_guard<std::mutex> hold(registry_lock);
    QStringList seen;
    QStringList candidates =
        qEnvironmentVariable("ORVANE_IMAGES").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    candidates += configured_images;
    candidates += added_images;
    collected_warnings.clear();
    for (const QString& path : candidates) {
        QString canonical;
        QString error;
        if (!check_image_path(path, &canonical, &error)) {
            collected_warnings << error;
            continue;
        }
        if (seen.contains(canonical)) {
            continue;
        }
        seen << canonical;
        drives.push_back({canonical, drive_kind_e::image});
    }
    for (const auto& entry : memory_drives) {
        drives.push_back({QStringLiteral("mem:") + entry.first, drive_kind_e::memory});
    }
    QStringList left_out;
    drives = arrange_drives(drives, &left_out);
    if (!left_out.isEmpty()) {
        collected_warnings << QStringLiteral("only %1 drives can be used; left out: %2")
                                  .arg(max_drives)
                                  .arg(left_out.join(QStringLiteral(", ")));
    }
    return drives;
}

bool add_image(const QString& path, QString* error) {
    QString canonical;
    QString message;
    if (!check_image_path(path, &canonical, &message)) {
        if (error) {
            *error = message;
        }
        return false;
    }
    std::lock_guard<std::mutex> hold(registry_lock);
    if (!added_images.contains(canonical)) {
        added_images << canonical;
    }
    return true;
}

void set_configured_images(const QStringList& paths) {
    std::lock_guard<std::mutex> hold(registry_lock);
    configured_images = paths;
}

void clear_images() {
    std::lock_guard<std::mutex> hold(registry_lock);
    added_images.clear();
    configured_images.clear();
}

QStringList image_warnings() {
    std::lock_guard<std::mutex> hold(registry_lock);
    return collected_warnings;
}

void add_memory_drive(const QString& name, std::shared_ptr<const QByteArray> data) {
    std::lock_guard<std::mutex> hold(registry_lock);
    memory_drives.emplace_back(name, std::move(data));
}

void clear_memory_drives() {
    std::lock_guard<std::mutex> hold(registry_lock);
    memory_drives.clear();
}

QString drive_identity(const drive_desc_s& drive) {
    struct stat st {};
    if (drive.kind != drive_kind_e::memory &&
        ::stat(QFile::encodeName(drive.name).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        return QStringLiteral("%1 %2:%3")
            .arg(drive.name)
            .arg(major(st.st_rdev))
            .arg(minor(st.st_rdev));
    }
    return drive.name;
}

image_format_e drive_image_format(const drive_desc_s& drive) {
    struct stat st {};
    if (drive.kind != drive_kind_e::image ||
        ::stat(QFile::encodeName(drive.name).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return image_format_e::raw;
    }
    return detect_image_format(drive.name);
}

QString drive_format_name(const drive_desc_s& drive) {
    return drive.kind == drive_kind_e::image ? image_format_name(drive_image_format(drive))
                                             : QString();
}

device_counts_s device_counts() {
    return {drive_opens.load(std::memory_order_relaxed),
            container_opens.load(std::memory_order_relaxed),
            reads_made.load(std::memory_order_relaxed), bytes_read.load(std::memory_order_relaxed)};
}
void count_drive_open() {
    drive_opens.fetch_add(1, std::memory_order_relaxed);
}
void count_container_open() {
    container_opens.fetch_add(1, std::memory_order_relaxed);
}
void count_read(std::size_t bytes) {
    reads_made.fetch_add(1, std::memory_order_relaxed);
    bytes_read.fetch_add(bytes, std::memory_order_relaxed);
}

std::unique_ptr<device_source_c> open_drive(const drive_desc_s& drive, QString* error) {
    count_drive_open();
    if (drive.kind == drive_kind_e::memory) {
        std::lock_guard<std::mutex> hold(registry_lock);
        for (const auto& entry : memory_drives) {
            if (QStringLiteral("mem:") + entry.first == drive.name) {
                return std::make_unique<memory_source_c>(entry.second);
            }
        }
        if (error) {
            *error = QStringLiteral("no memory drive named '%1'").arg(drive.name);
        }
        return nullptr;
    }
    const image_format_e format = drive_image_format(drive);
    if (format != image_format_e::raw) {
        QString why;
        auto backend = open_container_backend(drive.name, format, &why);
        if (!backend) {
            if (error) {
                *error = why;
            }
            return nullptr;
        }
        return std::make_unique<container_source_c>(std::move(backend), drive.name, format);
    }
    QByteArray native = QFile::encodeName(drive.name);
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && drive.kind == drive_kind_e::block && helper_applies(errno)) {
        return open_block_through_helper(drive, error);
    }
    if (fd < 0) {
        if (error) {
            *error = QStringLiteral("cannot open '%1': %2").arg(drive.name, errno_text(errno));
        }
        return nullptr;
    }
    struct stat st {};
    bool block = ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
    return std::make_unique<fd_source_c>(fd, drive.name, block);
}

bool query_geometry(const drive_desc_s& drive, drive_geometry_s* geometry) {
    *geometry = {};
    if (drive.kind == drive_kind_e::block) {
        QString base = QStringLiteral("/sys/block/") + QFileInfo(drive.name).fileName();
        QFile size_file(base + QStringLiteral("/size"));
        QFile sector_file(base + QStringLiteral("/queue/logical_block_size"));
        if (!size_file.open(QIODevice::ReadOnly) || !sector_file.open(QIODevice::ReadOnly)) {
            return false;
        }
        bool ok1 = false;
        bool ok2 = false;
        // sysfs counts the size in 512-byte units whatever the logical sector size
        std::uint64_t units = size_file.readAll().trimmed().toULongLong(&ok1);
        std::uint32_t sector = sector_file.readAll().trimmed().toUInt(&ok2);
        if (!ok1 || !ok2 || units == 0 || sector == 0) {
            return false;
        }
        geometry->byte_size = units * 512;
        geometry->sector_size = sector;
        return true;
    }
    QString error;
    auto source = open_drive(drive, &error);
    if (!source || source->byte_size() == 0) {
        return false;
    }
    geometry->byte_size = source->byte_size();
    geometry->sector_size = source->sector_size();
    return true;
}

}  // namespace platform
