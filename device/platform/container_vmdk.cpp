// VMDK images through libvmdk.
#include "container_libyal.h"

#include "safe_file.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <libvmdk.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

struct vmdk_calls {
    using handle_t = libvmdk_handle_t;
    using error_t = libvmdk_error_t;
    static int close(handle_t* h) { return libvmdk_handle_close(h, nullptr); }
    static int release(handle_t** h) { return libvmdk_handle_free(h, nullptr); }
    static ssize_t read(handle_t* h, void* out, size_t len, off64_t at, error_t** e) {
        return libvmdk_handle_read_buffer_at_offset(h, out, len, at, e);
    }
    static int media_size(handle_t* h, size64_t* size, error_t** e) {
        return libvmdk_handle_get_media_size(h, size, e);
    }
    static int backtrace(error_t* e, char* text, size_t len) {
        return libvmdk_error_backtrace_sprint(e, text, len);
    }
    static void free_error(error_t** e) { libvmdk_error_free(e); }
};

class vmdk_backend_c final : public libyal_backend_c<vmdk_calls> {
  public:
    bool open(const QString& path, QString* error) {
        path_ = path;
        const QByteArray native = QFile::encodeName(path);
        libvmdk_error_t* failure = nullptr;
        bool ok =
            libvmdk_handle_initialize(&handle_, &failure) == 1 &&
            libvmdk_handle_open(handle_, native.constData(), LIBVMDK_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        return finish_open(ok, &failure, own, error);
    }

  private:
    bool open_more(libvmdk_error_t** failure, QString* own);
    QString path_;
};

bool vmdk_backend_c::open_more(libvmdk_error_t** failure, QString* own) {
    // The extent files named by the descriptor, beside it. A name with a folder in it is
    // refused before the library joins it to the image's folder: that join overruns its
    // buffer on such names, and an extent outside the folder is no part of this image.
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(handle_, &extents, failure) != 1) {
        return false;
    }
    std::vector<std::string> names;
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
        if (named && !view.empty()) {
            names.emplace_back(view);
        }
    }
    // Each extent is opened here, O_NOFOLLOW, and must be a regular file: a link beside the
    // descriptor (to a disk, or to any file) is no extent. The library then opens the very
    // files opened here, through /proc/self/fd links in a private folder of this process.
    std::string why;
    const int folder =
        open_folder(QFile::encodeName(QFileInfo(path_).absolutePath()).toStdString(), false, &why);
    if (folder < 0) {
        *own = QStringLiteral("the image's folder cannot be opened: %1")
                   .arg(QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    std::vector<int> opened;
    const auto close_all = [&] {
        for (const int fd : opened) {
            ::close(fd);
        }
        ::close(folder);
    };
    for (const std::string& name : names) {
        const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            close_all();
            *own = QStringLiteral(
                       "the extent file '%1' of the image is not a regular file beside "
                       "it (a link, a device or missing)")
                       .arg(QString::fromStdString(name));
            return false;
        }
        opened.push_back(fd);
    }
    QTemporaryDir links;
    bool linked = links.isValid();
    for (std::size_t i = 0; linked && i < names.size(); ++i) {
        const std::string target = "/proc/self/fd/" + std::to_string(opened[i]);
        const QByteArray at = QFile::encodeName(links.path() + QLatin1Char('/')) +
                              QByteArray::fromStdString(names[i]);
        linked = ::symlink(target.c_str(), at.constData()) == 0 || errno == EEXIST;
    }
    const QByteArray where = QFile::encodeName(links.path());
    const bool ok =
        linked &&
        libvmdk_handle_set_extent_data_files_path(
            handle_, where.constData(), static_cast<size_t>(where.size()), failure) == 1 &&
        libvmdk_handle_open_extent_data_files(handle_, failure) == 1;
    close_all();
    if (!linked) {
        *own = QStringLiteral("a private folder for the image's extents cannot be made");
    }
    return ok;
}

}  // namespace

std::unique_ptr<container_backend_c> open_vmdk_backend(const QString& path, QString* error) {
    return open_libyal_backend<vmdk_backend_c>(path, error);
}

}  // namespace platform
