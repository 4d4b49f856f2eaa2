// Expert Witness (EWF: .E01, split into .E01, .E02, ...) images through libewf.
#include "container_libyal.h"

#include <QFile>

#include <libewf.h>

#include <sys/stat.h>

namespace platform {
namespace {

struct ewf_calls {
    using handle_t = libewf_handle_t;
    using error_t = libewf_error_t;
    static int close(handle_t* h) { return libewf_handle_close(h, nullptr); }
    static int release(handle_t** h) { return libewf_handle_free(h, nullptr); }
    static ssize_t read(handle_t* h, void* out, size_t len, off64_t at, error_t** e) {
        return libewf_handle_read_random(h, out, len, at, e);
    }
    static int media_size(handle_t* h, size64_t* size, error_t** e) {
        return libewf_handle_get_media_size(h, size, e);
    }
    static int backtrace(error_t* e, char* text, size_t len) {
        return libewf_error_backtrace_sprint(e, text, len);
    }
    static void free_error(error_t** e) { libewf_error_free(e); }
};

class ewf_backend_c final : public libyal_backend_c<ewf_calls> {
  public:
    bool open(const QString& path, QString* error) {
        const QByteArray native = QFile::encodeName(path);
        libewf_error_t* failure = nullptr;
        char** names = nullptr;
        int count = 0;
        // The segment files that belong to this one, found from its name.
        if (libewf_glob(native.constData(), static_cast<size_t>(native.size()),
                        LIBEWF_FORMAT_UNKNOWN, &names, &count, &failure) != 1 ||
            count < 1) {
            *error = libyal_reason<ewf_calls>(&failure);
            return false;
        }
        // Every segment must be a regular file, not a link (to a disk or to any file).
        for (int i = 0; i < count; ++i) {
            struct stat st {};
            if (::lstat(names[i], &st) != 0 || !S_ISREG(st.st_mode)) {
                *error = QStringLiteral(
                             "the segment file '%1' of the image is not a regular file "
                             "(a link, a device or missing)")
                             .arg(QFile::decodeName(names[i]));
                libewf_glob_free(names, count, nullptr);
                return false;
            }
        }
        bool ok = libewf_handle_initialize(&handle_, &failure) == 1 &&
                  libewf_handle_open(handle_, names, count, LIBEWF_OPEN_READ, &failure) == 1;
        libewf_glob_free(names, count, nullptr);
        opened_ = ok;
        uint32_t sector = 0;
        ok = ok && libewf_handle_get_bytes_per_sector(handle_, &sector, &failure) == 1;
        set_sector_size(sector);
        return finish_open(ok, &failure, {}, error);
    }
};

}  // namespace

std::unique_ptr<container_backend_c> open_ewf_backend(const QString& path, QString* error) {
    return open_libyal_backend<ewf_backend_c>(path, error);
}

}  // namespace platform
