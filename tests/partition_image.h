#pragma once
// Hand-made boot sectors and disks for the partition search and repair tests.

#include <QByteArray>
#include <QtEndian>

#include <cstdint>
#include <cstring>

// A FAT32 boot sector; with `bpb` a sane FAT32 parameter block (one sector per cluster,
// 8 reserved sectors with the backup boot sector at 6, two FATs as large as the volume
// needs), else only the OEM name. The volume's first FAT is at its sector 8.
constexpr std::uint32_t test_fat32_reserved = 8;
inline QByteArray fat32_boot(const char* oem, std::uint32_t total, bool bpb = true) {
    QByteArray s(512, '\0');
    s[0] = char(0xEB);
    s[1] = 0x58;
    s[2] = char(0x90);
    std::memcpy(s.data() + 3, oem, std::min<std::size_t>(8, std::strlen(oem)));
    if (bpb) {
        qToLittleEndian<std::uint16_t>(512, s.data() + 11);
        s[13] = 1;
        qToLittleEndian<std::uint16_t>(test_fat32_reserved, s.data() + 14);
        s[16] = 2;
        s[21] = char(0xF8);
        qToLittleEndian<std::uint32_t>((std::uint64_t(total) + 2 + 127) / 128, s.data() + 36);
        qToLittleEndian<std::uint32_t>(2, s.data() + 44);  // root cluster
        qToLittleEndian<std::uint16_t>(1, s.data() + 48);  // FSInfo
        qToLittleEndian<std::uint16_t>(6, s.data() + 50);  // backup boot sector
        std::memcpy(s.data() + 82, "FAT32   ", 8);
    }
    qToLittleEndian<std::uint32_t>(total, s.data() + 32);
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

// The first sector of a FAT32 table: the media byte, end-of-chain marks.
inline QByteArray fat32_table() {
    QByteArray s(512, '\0');
    s.replace(0, 12, QByteArray("\xF8\xFF\xFF\x0F\xFF\xFF\xFF\x0F\xFF\xFF\xFF\x0F", 12));
    return s;
}

// An NTFS boot sector: one sector per cluster, $MFT at cluster 2, $MFTMirr at cluster 1.
constexpr std::uint64_t test_ntfs_mft = 2;
inline QByteArray ntfs_boot(std::uint64_t total) {
    QByteArray s(512, '\0');
    s[0] = char(0xEB);
    s[1] = 0x52;
    s[2] = char(0x90);
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    qToLittleEndian<std::uint16_t>(512, s.data() + 11);
    s[13] = 1;
    s[21] = char(0xF8);
    qToLittleEndian<std::uint64_t>(total, s.data() + 40);
    qToLittleEndian<std::uint64_t>(test_ntfs_mft, s.data() + 48);
    qToLittleEndian<std::uint64_t>(1, s.data() + 56);
    s[64] = char(0xF6);  // 1024-byte records
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

// The start of an MFT record.
inline QByteArray mft_record() {
    QByteArray s(512, '\0');
    std::memcpy(s.data(), "FILE", 4);
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

// A whole NTFS volume as far as the search looks: the boot sector, the $MFT record it
// names and, unless `backup` is false, the backup boot sector behind the volume.
inline void put_ntfs(QByteArray& disk, std::uint64_t at, std::uint64_t total, bool backup = true) {
    put_sector(disk, at, ntfs_boot(total));
    put_sector(disk, at + test_ntfs_mft, mft_record());
    if (backup && (at + total + 1) * 512 <= std::uint64_t(disk.size())) {
        put_sector(disk, at + total, ntfs_boot(total));
    }
}

// A FAT32 volume as far as the search looks: boot sector, FSInfo, the backup pair at 6
// and 7, and the first FAT.
inline void put_fat32(QByteArray& disk, std::uint64_t at, std::uint32_t total,
                      const char* oem = "mkfs.fat") {
    put_sector(disk, at, fat32_boot(oem, total));
    put_sector(disk, at + 1, fsinfo_sector());
    put_sector(disk, at + 6, fat32_boot(oem, total));
    put_sector(disk, at + 7, fsinfo_sector());
    put_sector(disk, at + test_fat32_reserved, fat32_table());
}
