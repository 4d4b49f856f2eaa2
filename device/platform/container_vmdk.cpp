// VMDK images through libvmdk.
#include "container_backend.h"

#include <QFile>

#include <libvmdk.h>

#include <string>
#include <string_view>

namespace platform {
namespace {

QString take_reason(libvmdk_error_t** error) {
    char text[2048] = {};
    if (error && *error) {
        libvmdk_error_backtrace_sprint(*error, text, sizeof text);
        libvmdk_error_free(error);
    }
    return library_reason(text);
}

class vmdk_backend_c final : public container_backend_c {
  public:
    ~vmdk_backend_c() override {
        if (handle_) {
            if (opened_) {
                libvmdk_handle_close(handle_, nullptr);
            }
            libvmdk_handle_free(&handle_, nullptr);
        }
    }

    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libvmdk_error_t* failure = nullptr;
        bool ok =
            libvmdk_handle_initialize(&handle_, &failure) == 1 &&
            libvmdk_handle_open(handle_, native.constData(), LIBVMDK_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        size64_t size = 0;
        ok = ok && libvmdk_handle_get_media_size(handle_, &size, &failure) == 1;
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
            libvmdk_error_t* failure = nullptr;
            const ssize_t n = libvmdk_handle_read_buffer_at_offset(
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
    bool open_more(libvmdk_error_t** failure, QString* own);

    libvmdk_handle_t* handle_ = nullptr;
    bool opened_ = false;
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

bool vmdk_backend_c::open_more(libvmdk_error_t** failure, QString* own) {
    // The extent files named by the descriptor, beside it. A name with a folder in it is
    // refused before the library joins it to the image's folder: that join overruns its
    // buffer on such names, and an extent outside the folder is no part of this image.
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(handle_, &extents, failure) != 1) {
        return false;
    }
    for (int i = 0; i < extents; ++i) {
        libvmdk_extent_descriptor_t* extent = nullptr;
        if (libvmdk_handle_get_extent_descriptor(handle_, i, &extent, failure) != 1) {
            return false;
        }
        std::size_t size = 0;
        std::string name;
        bool named = libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, failure) == 1;
        if (named && size > 0 && size <= 4096) {
            name.resize(size);
            named = libvmdk_extent_descriptor_get_utf8_filename(
                        extent, reinterpret_cast<std::uint8_t*>(name.data()), size, failure) == 1;
        }
        libvmdk_extent_descriptor_free(&extent, nullptr);
        const std::string_view view(name.c_str());
        if (named && size > 0 &&
            (size > 4096 || view.find('/') != std::string_view::npos ||
             view.find('\\') != std::string_view::npos || view == ".." || view == ".")) {
            *own = QStringLiteral("an extent file of the image lies outside its folder");
            return false;
        }
    }
    return libvmdk_handle_open_extent_data_files(handle_, failure) == 1;
}

}  // namespace

std::unique_ptr<container_backend_c> open_vmdk_backend(const QString& path, QString* error) {
    auto backend = std::make_unique<vmdk_backend_c>();
    if (!backend->open(path, error)) {
        return nullptr;
    }
    return backend;
}

}  // namespace platform
