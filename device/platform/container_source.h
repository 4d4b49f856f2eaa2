#pragma once
// A disk-image container as a drive: the sector interface over a container backend.

#include "container_backend.h"
#include "platform_device.h"

namespace platform {

class container_source_c final : public device_source_c {
  public:
    container_source_c(std::unique_ptr<container_backend_c> backend, QString path,
                       image_format_e format);
    int read_at(std::uint64_t offset, void* buffer, std::size_t len) override;
    std::uint64_t byte_size() const override;
    std::uint32_t sector_size() const override;
    // The container's file is still there and not empty.
    bool check_verify() override;
    // Containers are never written.
    bool is_writable() override;

    image_format_e format() const { return format_; }
    // Why the last read failed, in the library's words.
    const QString& last_error() const { return last_error_; }

  private:
    std::unique_ptr<container_backend_c> backend_;
    QString path_;
    image_format_e format_;
    QString last_error_;
};

}  // namespace platform
