#include "container_source.h"

#include <QFile>

#include <sys/stat.h>

namespace platform {

container_source_c::container_source_c(std::unique_ptr<container_backend_c> backend, QString path,
                                       image_format_e format)
    : backend_(std::move(backend)), path_(std::move(path)), format_(format) {}

int container_source_c::read_at(std::uint64_t offset, void* buffer, std::size_t len) {
    count_read(len);
    return backend_->read(offset, buffer, len, &last_error_) ? 0 : -1;
}

std::uint64_t container_source_c::byte_size() const {
    return backend_->media_size();
}

std::uint32_t container_source_c::sector_size() const {
    return backend_->sector_size();
}

bool container_source_c::check_verify() {
    struct stat st {};
    return ::stat(QFile::encodeName(path_).constData(), &st) == 0 && st.st_size > 0;
}

bool container_source_c::is_writable() {
    return false;
}

}  // namespace platform
