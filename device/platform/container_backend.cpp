// Recognising container formats by content, and choosing the library that reads each.
#include "container_backend.h"
#include "platform_device.h"

#include <QFile>
#include <QStringList>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

QString image_format_name(image_format_e format) {
    switch (format) {
        case image_format_e::raw:
            return QStringLiteral("raw");
        case image_format_e::ewf:
            return QStringLiteral("EWF");
        case image_format_e::vhd:
            return QStringLiteral("VHD");
        case image_format_e::vhdx:
            return QStringLiteral("VHDX");
        case image_format_e::vmdk:
            return QStringLiteral("VMDK");
        case image_format_e::qcow2:
            return QStringLiteral("QCOW2");
    }
    return {};
}

image_format_e detect_image_format(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return image_format_e::raw;
    }
    unsigned char head[512] = {};
    unsigned char tail[512] = {};
    struct stat st {};
    const bool have_head = ::pread(fd, head, sizeof head, 0) >= 64;
    // A fixed-size VHD is the disk followed by a 512-byte footer (511 in old files).
    bool footer = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 1024) {
        footer =
            ::pread(fd, tail, sizeof tail, st.st_size - 512) == 512 &&
            (std::memcmp(tail, "conectix", 8) == 0 || std::memcmp(tail + 1, "conectix", 8) == 0);
    }
    ::close(fd);
    if (!have_head) {
        return image_format_e::raw;
    }
    const auto starts = [&](const char* magic, std::size_t len) {
        return std::memcmp(head, magic, len) == 0;
    };
    if (starts("EVF\x09\x0d\x0a\xff\x00", 8) || starts("EVF2\x0d\x0a\x81\x00", 8)) {
        return image_format_e::ewf;
    }
    if (starts("vhdxfile", 8)) {
        return image_format_e::vhdx;
    }
    if (starts("conectix", 8) || footer) {
        return image_format_e::vhd;
    }
    if (starts("KDMV", 4) || starts("COWD", 4)) {
        return image_format_e::vmdk;
    }
    // The text descriptor of a split or flat VMDK, which names its extent files.
    const QByteArray text(reinterpret_cast<const char*>(head), sizeof head);
    if (text.startsWith("# Disk DescriptorFile") ||
        (text.contains("createType=") && text.contains("# Extent description"))) {
        return image_format_e::vmdk;
    }
    if (starts("QFI\xfb", 4)) {
        return image_format_e::qcow2;
    }
    return image_format_e::raw;
}

QString library_reason(const char* text) {
    // The libraries report a chain of "function: message." lines, the cause first and then
    // each caller's context: the first two say what was wrong with the file.
    QStringList lines;
    for (const QString& line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        QString plain = line.trimmed();
        const qsizetype colon = plain.indexOf(QLatin1String(": "));
        if (colon > 0 && !plain.left(colon).contains(QLatin1Char(' '))) {
            plain = plain.mid(colon + 2);  // the library's function name
        }
        while (plain.endsWith(QLatin1Char('.'))) {
            plain.chop(1);
        }
        if (!plain.isEmpty()) {
            lines << plain;
        }
    }
    if (lines.isEmpty()) {
        return QStringLiteral("the library gave no reason");
    }
    return lines.size() == 1 ? lines[0] : lines[1] + QStringLiteral(": ") + lines[0];
}

std::unique_ptr<container_backend_c> open_container_backend(const QString& path,
                                                            image_format_e format, QString* error) {
    QString reason;
    std::unique_ptr<container_backend_c> backend;
    count_container_open();
    switch (format) {
        case image_format_e::ewf:
            backend = open_ewf_backend(path, &reason);
            break;
        case image_format_e::vhd:
        case image_format_e::vhdx:
            backend = open_vhdi_backend(path, &reason);
            break;
        case image_format_e::vmdk:
            backend = open_vmdk_backend(path, &reason);
            break;
        case image_format_e::qcow2:
            backend = open_qcow_backend(path, &reason);
            break;
        case image_format_e::raw:
            reason = QStringLiteral("a raw image is read directly");
            break;
    }
    if (backend && backend->media_size() == 0) {
        backend.reset();
        reason = QStringLiteral("the disk inside is empty");
    }
    if (!backend && error) {
        *error = QStringLiteral("cannot read the %1 image '%2': %3")
                     .arg(image_format_name(format), path, reason);
    }
    return backend;
}

}  // namespace platform
