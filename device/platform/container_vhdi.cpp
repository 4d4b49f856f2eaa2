// VHD/VHDX images through libvhdi.
#include "container_backend.h"

#include <QFile>

#include <libvhdi.h>

namespace platform {
namespace {

QString take_reason(libvhdi_error_t** error) {
    char text[2048] = {};
    if (error && *error) {
        libvhdi_error_backtrace_sprint(*error, text, sizeof text);
        libvhdi_error_free(error);
    }
    return library_reason(text);
}

class vhdi_backend_c final : public container_backend_c {
  public:
    ~vhdi_backend_c() override {
        if (handle_) {
            if (opened_) {
                libvhdi_file_close(handle_, nullptr);
            }
            libvhdi_file_free(&handle_, nullptr);
        }
    }

    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libvhdi_error_t* failure = nullptr;
        bool ok = libvhdi_file_initialize(&handle_, &failure) == 1 &&
                  libvhdi_file_open(handle_, native.constData(), LIBVHDI_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        size64_t size = 0;
        ok = ok && libvhdi_file_get_media_size(handle_, &size, &failure) == 1;
        if (!ok) {
            *error = own.isEmpty() ? take_reason(&failure) : own;
            return false;
        }
        size_ = size;
        return true;
    }

    bool read(std::uint64_t offset, void* buffer, std::size_t len, QString* error) override {
        if (offset > size_ || len > size_ - offset) {
            *error = QStringLiteral("read past the end of the image");
            return false;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::size_t done = 0; done < len;) {
            libvhdi_error_t* failure = nullptr;
            const ssize_t n = libvhdi_file_read_buffer_at_offset(
                handle_, out + done, len - done, static_cast<off64_t>(offset + done), &failure);
            if (n <= 0) {
                *error = n < 0 ? take_reason(&failure) : QStringLiteral("short read");
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::uint64_t media_size() const override { return size_; }
    std::uint32_t sector_size() const override { return sector_; }

  private:
    bool open_more(libvhdi_error_t** failure, QString* own);

    libvhdi_file_t* handle_ = nullptr;
    bool opened_ = false;
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

bool vhdi_backend_c::open_more(libvhdi_error_t** failure, QString* own) {
    uint32_t type = 0;
    uint32_t sector = 0;
    if (libvhdi_file_get_disk_type(handle_, &type, failure) != 1 ||
        libvhdi_file_get_bytes_per_sector(handle_, &sector, failure) != 1) {
        return false;
    }
    if (type == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        *own = QStringLiteral(
            "it is a differencing disk, which holds only the changes to its parent disk; open "
            "the parent disk instead");
        return false;
    }
    sector_ = sector != 0 ? sector : 512;
    return true;
}

}  // namespace

std::unique_ptr<container_backend_c> open_vhdi_backend(const QString& path, QString* error) {
    auto backend = std::make_unique<vhdi_backend_c>();
    if (!backend->open(path, error)) {
        return nullptr;
    }
    return backend;
}

}  // namespace platform
