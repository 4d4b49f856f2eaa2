// The read-write open of a drive for the master boot record repair.
#include "platform_write.h"
#include "platform_helper.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

class fd_writer_c final : public device_writer_c {
  public:
    fd_writer_c(int fd, bool block) : fd_(fd), block_(block) {}
    ~fd_writer_c() override { ::close(fd_); }

    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override {
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
                return -1;
            }
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }

    int write_at(std::uint64_t offset, const void* buffer, std::size_t len) override {
        if (offset > static_cast<std::uint64_t>(INT64_MAX) - len) {
            return -1;
        }
        const auto* in = static_cast<const unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < len) {
            ssize_t n = ::pwrite(fd_, in + done, len - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return -1;
            }
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }

    int flush() override { return ::fsync(fd_) == 0 ? 0 : -1; }

    bool reread_partition_table() override { return !block_ || ::ioctl(fd_, BLKRRPART) == 0; }

  private:
    int fd_;
    bool block_;
};

}  // namespace

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

std::unique_ptr<device_writer_c> open_drive_for_repair(const drive_desc_s& drive, QString* error) {
    if (drive.kind == drive_kind_e::memory) {
        if (error) {
            *error = QStringLiteral("'%1' is a memory drive and cannot be written").arg(drive.name);
        }
        return nullptr;
    }
    QByteArray native = QFile::encodeName(drive.name);
    int fd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && drive.kind == drive_kind_e::block && helper_applies(errno)) {
        QString why;
        fd = open_through_helper(drive.name, helper_mode_e::write, &why);
        if (fd < 0) {
            if (error) {
                *error = QStringLiteral("cannot open '%1' for writing: %2").arg(drive.name, why);
            }
            return nullptr;
        }
    }
    if (fd < 0) {
        if (error) {
            *error = QStringLiteral("cannot open '%1' for writing: %2")
                         .arg(drive.name, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))) {
        ::close(fd);
        if (error) {
            *error =
                QStringLiteral("'%1' is neither a block device nor an image file").arg(drive.name);
        }
        return nullptr;
    }
    return std::make_unique<fd_writer_c>(fd, S_ISBLK(st.st_mode));
}

}  // namespace platform
