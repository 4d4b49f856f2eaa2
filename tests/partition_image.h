#pragma once
// Hand-made boot sectors and disks for the partition search and repair tests.

#include <QByteArray>
#include <QtEndian>

#include <cstdint>
#include <cstring>

// A FAT32 boot sector; with `bpb` a valid FAT32 parameter block, else only the OEM name.
inline QByteArray fat32_boot(const char* oem, std::uint32_t total, bool bpb = true) {
    QByteArray s(512, '\0');
    s[0] = char(0xEB);
    s[1] = 0x58;
    s[2] = char(0x90);
    std::memcpy(s.data() + 3, oem, std::min<std::size_t>(8, std::strlen(oem)));
    if (bpb) {
        qToLittleEndian<std::uint16_t>(512, s.data() + 11);
        s[13] = 8;
        qToLittleEndian<std::uint16_t>(32, s.data() + 14);
        s[16] = 2;
        std::memcpy(s.data() + 82, "FAT32   ", 8);
    }
    qToLittleEndian<std::uint32_t>(total, s.data() + 32);
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

inline QByteArray ntfs_boot(std::uint64_t total) {
    QByteArray s(512, '\0');
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    qToLittleEndian<std::uint64_t>(total, s.data() + 40);
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

// A sector that ends in 0x55 0xAA, as the FSInfo sector behind a FAT32 boot sector does.
inline QByteArray fsinfo_sector() {
    QByteArray s(512, '\0');
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

inline void put_sector(QByteArray& disk, std::uint64_t sector, const QByteArray& bytes) {
    std::memcpy(disk.data() + sector * 512, bytes.constData(), std::size_t(bytes.size()));
}
