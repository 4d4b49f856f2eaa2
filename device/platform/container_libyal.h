#pragma once
// The container libraries (libewf, libvhdi, libvmdk, libqcow) share one shape: an error
// object with a backtrace, and a handle that is initialised, opened, read at byte offsets,
// closed and freed. libyal_backend_c is that shape once; each backend names its library's
// calls in a small struct:
//
//   using handle_t = ...; using error_t = ...;
//   static int close(handle_t*);
//   static int release(handle_t**);
//   static ssize_t read(handle_t*, void*, size_t, off64_t, error_t**);
//   static int media_size(handle_t*, size64_t*, error_t**);   (size64_t is uint64_t)
//   static int backtrace(error_t*, char*, size_t);
//   static void free_error(error_t**);
//
// and opens the file in its own way, ending with finish_open().
#include "container_backend.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

#include <sys/types.h>

namespace platform {

// The library's reason for *error in plain words; the error object is freed.
template <typename Lib>
QString libyal_reason(typename Lib::error_t** error) {
    char text[2048] = {};
    if (error && *error) {
        Lib::backtrace(*error, text, sizeof text);
        Lib::free_error(error);
    }
    return library_reason(text);
}

template <typename Lib>
class libyal_backend_c : public container_backend_c {
  public:
    using handle_t = typename Lib::handle_t;
    using error_t = typename Lib::error_t;

    ~libyal_backend_c() override {
        if (handle_) {
            if (opened_) {
                Lib::close(handle_);
            }
            Lib::release(&handle_);
        }
    }

    bool read(std::uint64_t offset, void* buffer, std::size_t len, QString* error) override {
        if (offset > size_ || len > size_ - offset) {
            *error = QStringLiteral("read past the end of the image");
            return false;
        }
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::size_t done = 0; done < len;) {
            error_t* failure = nullptr;
            const ssize_t n = Lib::read(handle_, out + done, len - done,
                                        static_cast<off64_t>(offset + done), &failure);
            if (n <= 0) {
                *error = n < 0 ? libyal_reason<Lib>(&failure) : QStringLiteral("short read");
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::uint64_t media_size() const override { return size_; }
    std::uint32_t sector_size() const override { return sector_; }

  protected:
    // Ends an open: with ok so far, reads the media size; otherwise *error gets own (the
    // backend's reason) or the library's.
    bool finish_open(bool ok, error_t** failure, const QString& own, QString* error) {
        std::uint64_t size = 0;  // the libraries' size64_t
        ok = ok && Lib::media_size(handle_, &size, failure) == 1;
        if (!ok) {
            *error = own.isEmpty() ? libyal_reason<Lib>(failure) : own;
            return false;
        }
        size_ = size;
        return true;
    }
    void set_sector_size(std::uint32_t bytes) { sector_ = bytes != 0 ? bytes : 512; }

    handle_t* handle_ = nullptr;
    bool opened_ = false;  // close before free only what was opened

  private:
    std::uint64_t size_ = 0;
    std::uint32_t sector_ = 512;
};

// A backend opened on path, or null with *error.
template <typename Backend>
std::unique_ptr<container_backend_c> open_libyal_backend(const QString& path, QString* error) {
    auto backend = std::make_unique<Backend>();
    if (!backend->open(path, error)) {
        return nullptr;
    }
    return backend;
}

}  // namespace platform
