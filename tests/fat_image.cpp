#include "fat_image.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstring>

namespace {

std::uint32_t le16(const QByteArray& b, int at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}

std::uint32_t le32(const QByteArray& b, int at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}

}  // namespace

std::unique_ptr<fat_image_c> fat_image_c::make(int size_kib, const QStringList& mkfs_arguments,
                                               QString* error) {
    QTemporaryDir dir;
    const QString path = dir.filePath("volume.img");
    QProcess mkfs;
    mkfs.start("mkfs.fat", QStringList{"-C", path, QString::number(size_kib)} + mkfs_arguments);
    if (!mkfs.waitForFinished(60000) || mkfs.exitCode() != 0) {
        *error = QString::fromLocal8Bit(mkfs.readAllStandardError());
        return nullptr;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read the volume mkfs.fat made";
        return nullptr;
    }
    auto image = std::unique_ptr<fat_image_c>(new fat_image_c);
    image->bytes_ = file.readAll();
    const QByteArray& b = image->bytes_;
    image->sectors_per_cluster_ = static_cast<std::uint8_t>(b[13]);
    image->reserved_ = le16(b, 14);
    image->fat_count_ = static_cast<std::uint8_t>(b[16]);
    image->root_entries_ = le16(b, 17);
    image->fat_sectors_ = le16(b, 22) ? le16(b, 22) : le32(b, 36);
    const std::uint32_t total = le16(b, 19) ? le16(b, 19) : le32(b, 32);
    const std::uint32_t system =
        image->reserved_ + image->fat_sectors_ * image->fat_count_ + image->root_entries_ / 16;
    image->clusters_ = (total - system) / image->sectors_per_cluster_;
    image->fat_bits_ = image->clusters_ < 4085 ? 12 : image->clusters_ < 65525 ? 16 : 32;
    return image;
}

std::uint64_t fat_image_c::root_offset() const {
    return (static_cast<std::uint64_t>(reserved_) + fat_sectors_ * fat_count_) * 512;
}

std::uint64_t fat_image_c::cluster_offset(std::uint32_t cluster) const {
    return root_offset() + static_cast<std::uint64_t>(root_entries_) * 32 +
           static_cast<std::uint64_t>(cluster - 2) * cluster_bytes();
}

void fat_image_c::set_fat(std::uint32_t cluster, std::uint32_t value) {
    for (std::uint32_t copy = 0; copy < fat_count_; ++copy) {
        const std::uint64_t fat =
            (static_cast<std::uint64_t>(reserved_) + copy * fat_sectors_) * 512;
        auto* p = reinterpret_cast<unsigned char*>(bytes_.data()) + fat;
        if (fat_bits_ == 12) {
            const std::uint32_t at = cluster + cluster / 2;
            if (cluster & 1) {
                p[at] = static_cast<unsigned char>((p[at] & 0x0F) | ((value & 0x0F) << 4));
                p[at + 1] = static_cast<unsigned char>(value >> 4);
            } else {
                p[at] = static_cast<unsigned char>(value);
                p[at + 1] = static_cast<unsigned char>((p[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
            }
        } else if (fat_bits_ == 16) {
            p[cluster * 2] = static_cast<unsigned char>(value);
            p[cluster * 2 + 1] = static_cast<unsigned char>(value >> 8);
        } else {
            for (int i = 0; i < 4; ++i) {
                p[cluster * 4 + i] = static_cast<unsigned char>(value >> (8 * i));
            }
        }
    }
}

void fat_image_c::put_entry(std::uint64_t offset, const char* name11, std::uint8_t attributes,
                            std::uint32_t first_cluster, std::uint32_t size, bool deleted) {
    auto* e = reinterpret_cast<unsigned char*>(bytes_.data()) + offset;
    std::memset(e, 0, 32);
    std::memcpy(e, name11, 11);
    if (deleted) {
        e[0] = 0xE5;
    }
    e[11] = attributes;
    e[13] = 0;
    const std::uint16_t date = static_cast<std::uint16_t>((44 << 9) | (3 << 5) | 15);  // 2024-03-15
    const std::uint16_t time = static_cast<std::uint16_t>((12 << 11) | (30 << 5));     // 12:30:00
    e[14] = time & 0xFF;
    e[15] = time >> 8;
    e[16] = date & 0xFF;
    e[17] = date >> 8;
    e[20] = static_cast<unsigned char>(first_cluster >> 16);
    e[21] = static_cast<unsigned char>(first_cluster >> 24);
    e[22] = time & 0xFF;
    e[23] = time >> 8;
    e[24] = date & 0xFF;
    e[25] = date >> 8;
    e[26] = static_cast<unsigned char>(first_cluster);
    e[27] = static_cast<unsigned char>(first_cluster >> 8);
    for (int i = 0; i < 4; ++i) {
        e[28 + i] = static_cast<unsigned char>(size >> (8 * i));
    }
}

std::unique_ptr<fat_image_c> fat_image_c::looping_folders(int folders, QString* error) {
    auto image = make(16384, {"-F", "16", "-s", "4", "-r", "1024", "-f", "1", "-S", "512"}, error);
    if (!image) {
        return nullptr;
    }
    for (std::uint32_t d = 0; d < static_cast<std::uint32_t>(folders); ++d) {
        const QByteArray name =
            QStringLiteral("D%1   ").arg(d, 4, 10, QLatin1Char('0')).toLatin1() + "   ";
        image->put_entry(image->root_offset() + d * 32, name.constData(), 0x10, 2 + d, 0);
        image->set_fat(2 + d, 2 + d);
        for (std::uint32_t e = 0; e < image->cluster_bytes() / 32; ++e) {
            image->put_entry(image->cluster_offset(2 + d) + e * 32, "XILE    TXT", 0x20, 2000 + d,
                             10, true);
        }
    }
    return image;
}
