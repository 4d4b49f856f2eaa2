// VHD/VHDX images through libvhdi.
#include "container_libyal.h"

#include <QFile>

#include <libvhdi.h>

namespace platform {
namespace {

struct vhdi_calls {
    using handle_t = libvhdi_file_t;
    using error_t = libvhdi_error_t;
    static int close(handle_t* h) { return libvhdi_file_close(h, nullptr); }
    static int release(handle_t** h) { return libvhdi_file_free(h, nullptr); }
    static ssize_t read(handle_t* h, void* out, size_t len, off64_t at, error_t** e) {
        return libvhdi_file_read_buffer_at_offset(h, out, len, at, e);
    }
    static int media_size(handle_t* h, size64_t* size, error_t** e) {
        return libvhdi_file_get_media_size(h, size, e);
    }
    static int backtrace(error_t* e, char* text, size_t len) {
        return libvhdi_error_backtrace_sprint(e, text, len);
    }
    static void free_error(error_t** e) { libvhdi_error_free(e); }
};

class vhdi_backend_c final : public libyal_backend_c<vhdi_calls> {
  public:
    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libvhdi_error_t* failure = nullptr;
        bool ok = libvhdi_file_initialize(&handle_, &failure) == 1 &&
                  libvhdi_file_open(handle_, native.constData(), LIBVHDI_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        return finish_open(ok, &failure, own, error);
    }

  private:
    bool open_more(libvhdi_error_t** failure, QString* own);
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
    set_sector_size(sector);
    return true;
}

}  // namespace

std::unique_ptr<container_backend_c> open_vhdi_backend(const QString& path, QString* error) {
    return open_libyal_backend<vhdi_backend_c>(path, error);
}

}  // namespace platform
