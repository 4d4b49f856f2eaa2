#pragma once
// Set-up shared by the libFuzzer harnesses: the input is the only drive, a memory drive, so
// no harness ever touches the machine's disks or configured images.

#include "device/disk_table.h"
#include "device/platform/platform_device.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

inline void fuzz_prepare_process() {
    setenv("ORVANE_BLOCK_DEVICES", "0", 1);
    unsetenv("ORVANE_IMAGES");
    unsetenv("ORVANE_CONSOLE");
    platform::clear_images();
    disk_open_all();
}

// Makes the input drive 0 and reopens the drive table.
inline void fuzz_load_input(const std::uint8_t* data, std::size_t size) {
    platform::clear_memory_drives();
    platform::add_memory_drive(QStringLiteral("fuzz"), std::make_shared<const QByteArray>(
                                                           reinterpret_cast<const char*>(data),
                                                           static_cast<qsizetype>(size)));
    disk_reopen_all();
}

// Writes the input into a file of that name in folder (for the readers of files); its path.
inline QString fuzz_input_file(const QString& folder, const QString& name, const std::uint8_t* data,
                               std::size_t size) {
    const QString path = folder + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size)) {
        std::abort();
    }
    return path;
}
