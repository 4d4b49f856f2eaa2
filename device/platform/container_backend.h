#pragma once
// Disk-image containers (EWF, VHD, VHDX, VMDK, QCOW2) read through their libraries.
//
// Every container is reached through container_backend_c: a read of the disk inside at a
// byte offset, its size and its sector size. open_drive wraps a backend into a
// device_source_c, so that everything above the device layer reads a container with the
// same sector calls as a raw image or a disk. Containers are opened read-only; the format
// is recognised by the file's content, never by its name. A backend is used by one thread
// at a time.

#include <QString>

#include <cstdint>
#include <memory>

namespace platform {

enum class image_format_e { raw, ewf, vhd, vhdx, vmdk, qcow2 };

// "raw", "EWF", "VHD", "VHDX", "VMDK", "QCOW2".
QString image_format_name(image_format_e format);

// The format of an image file, from its first and last bytes. A file that is none of the
// containers (or cannot be read) is raw.
image_format_e detect_image_format(const QString& path);

class container_backend_c {
  public:
    virtual ~container_backend_c() = default;
    // Reads exactly len bytes of the disk inside at offset; false with *error otherwise.
    virtual bool read(std::uint64_t offset, void* buffer, std::size_t len, QString* error) = 0;
    virtual std::uint64_t media_size() const = 0;
    virtual std::uint32_t sector_size() const = 0;
};

// Opens a container of a known format; null with *error (the library's reason in plain
// words) when it cannot be read.
std::unique_ptr<container_backend_c> open_container_backend(const QString& path,
                                                            image_format_e format, QString* error);

// One backend per library (container_ewf.cpp, container_vhdi.cpp, container_vmdk.cpp,
// container_qcow.cpp).
std::unique_ptr<container_backend_c> open_ewf_backend(const QString& path, QString* error);
std::unique_ptr<container_backend_c> open_vhdi_backend(const QString& path, QString* error);
std::unique_ptr<container_backend_c> open_vmdk_backend(const QString& path, QString* error);
std::unique_ptr<container_backend_c> open_qcow_backend(const QString& path, QString* error);

// The last, most specific line of a library's error text, for a message in plain words.
QString library_reason(const char* text);

}  // namespace platform
