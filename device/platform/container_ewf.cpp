// Expert Witness (EWF: .E01, split into .E01, .E02, ...) images through libewf.
#include "container_backend.h"

#include <QFile>

#include <libewf.h>

namespace platform {
namespace {

QString take_reason(libewf_error_t** error) {
    char text[2048] = {};
    if (error && *error) {
        libewf_error_backtrace_sprint(*error, text, sizeof text);
        libewf_error_free(error);
    }
    return library_reason(text);
}

class ewf_backend_c final : public container_backend_c {
  public:
    ~ewf_backend_c() override {
        if (handle_) {
            libewf_handle_close(handle_, nullptr);
            libewf_handle_free(&handle_, nullptr);
        }
    }

    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libewf_error_t* failure = nullptr;
        char** names = nullptr;
        int count = 0;
        // The segment files that belong to this one, found from its name.
        if (libewf_glob(native.constData(), static_cast<size_t>(native.size()),
                        LIBEWF_FORMAT_UNKNOWN, &names, &count, &failure) != 1 ||
            count < 1) {
            *error = take_reason(&failure);
            return false;
        }
        bool ok = libewf_handle_initialize(&handle_, &failure) == 1 &&
                  libewf_handle_open(handle_, names, count, LIBEWF_OPEN_READ, &failure) == 1;
        libewf_glob_free(names, count, nullptr);
        size64_t size = 0;
        uint32_t sector = 0;
        ok = ok && libewf_handle_get_media_size(handle_, &size, &failure) == 1 &&
             libewf_handle_get_bytes_per_sector(handle_, &sector, &failure) == 1;
        if (!ok) {
            *error = take_reason(&failure);
            return false;
        }
        size_ = size;
        sector_ = sector != 0 ? sector : 512;
        return true;
    }

    bool read(std::uint64_t offset, void* buffer, std::size_t len, QString* error) override {
        if (offset > size_ || len > size_ - offset) {
            *error = QStringLiteral("read past the end of the image");
            return false;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::size_t done = 0; done < len;) {
            libewf_error_t* failure = nullptr;
            const ssize_t n = libewf_handle_read_random(
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
    libewf_handle_t* handle_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

}  // namespace

std::unique_ptr<container_backend_c> open_ewf_backend(const QString& path, QString* error) {
    auto backend = std::make_unique<ewf_backend_c>();
    if (!backend->open(path, error)) {
        return nullptr;
    }
    return backend;
}

}  // namespace platform
