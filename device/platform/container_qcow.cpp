// QCOW2 images through libqcow.
#include "container_backend.h"

#include <QFile>

#include <libqcow.h>

namespace platform {
namespace {

QString take_reason(libqcow_error_t** error) {
    char text[2048] = {};
    if (error && *error) {
        libqcow_error_backtrace_sprint(*error, text, sizeof text);
        libqcow_error_free(error);
    }
    return library_reason(text);
}

class qcow_backend_c final : public container_backend_c {
  public:
    ~qcow_backend_c() override {
        if (handle_) {
            if (opened_) {
                libqcow_file_close(handle_, nullptr);
            }
            libqcow_file_free(&handle_, nullptr);
        }
    }

    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libqcow_error_t* failure = nullptr;
        bool ok = libqcow_file_initialize(&handle_, &failure) == 1 &&
                  libqcow_file_open(handle_, native.constData(), LIBQCOW_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        size64_t size = 0;
        ok = ok && libqcow_file_get_media_size(handle_, &size, &failure) == 1;
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
            libqcow_error_t* failure = nullptr;
            const ssize_t n = libqcow_file_read_buffer_at_offset(
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
    bool open_more(libqcow_error_t** failure, QString* own);

    libqcow_file_t* handle_ = nullptr;
    bool opened_ = false;
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

bool qcow_backend_c::open_more(libqcow_error_t** failure, QString* own) {
    uint32_t method = 0;
    if (libqcow_file_get_encryption_method(handle_, &method, failure) != 1) {
        return false;
    }
    size_t backing = 0;
    if (libqcow_file_get_utf8_backing_filename_size(handle_, &backing, failure) == -1) {
        return false;
    }
    if (method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        *own = QStringLiteral("the image is encrypted");
        return false;
    }
    if (backing > 1) {
        *own = QStringLiteral(
            "it holds only the changes to a backing image; open the backing image instead");
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<container_backend_c> open_qcow_backend(const QString& path, QString* error) {
    auto backend = std::make_unique<qcow_backend_c>();
    if (!backend->open(path, error)) {
        return nullptr;
    }
    return backend;
}

}  // namespace platform
