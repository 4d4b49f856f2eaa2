#pragma once
// The GUID partition table: reading a header and its entry array from the drive (hostile
// data, every value bounded), and building the exact sectors of a whole table to write.
//
// A table on disk is a protective master boot record in sector 0, the primary header in
// sector 1 with its entry array behind it, and the backup entry array followed by the
// backup header in the drive's last sector. Pure functions; the reader takes a
// probe_read_f so that the search, the tests and the fuzzer can feed it.

#include "fs_probe.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

constexpr std::uint32_t gpt_header_bytes = 92;
constexpr std::uint32_t gpt_standard_entries = 128;
constexpr std::uint32_t gpt_standard_entry_bytes = 128;
// Entry arrays larger than this are refused (the standard one is 16 KiB).
constexpr std::uint32_t gpt_max_array_bytes = 1u << 20;

struct gpt_header_s {
    std::uint64_t my_lba = 0;
    std::uint64_t alternate_lba = 0;
    std::uint64_t first_usable = 0;
    std::uint64_t last_usable = 0;
    std::uint64_t entry_lba = 0;
    std::uint32_t entry_count = 0;
    std::uint32_t entry_bytes = 0;
    std::uint32_t array_crc = 0;
    QByteArray disk_guid;  // 16 bytes as stored
};

struct gpt_entry_s {
    int index = 0;           // position in the entry array
    QByteArray type_guid;    // 16 bytes as stored
    QByteArray unique_guid;  // 16 bytes as stored
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t attributes = 0;
    QString name;
};

struct gpt_table_s {
    gpt_header_s header;
    QByteArray array;            // entry_count * entry_bytes bytes as stored
    QList<gpt_entry_s> entries;  // the used entries, in array order
};

// One run of whole sectors to write: sectors * sector size bytes from `lba`.
struct table_write_s {
    std::uint64_t lba = 0;
    QByteArray bytes;
};

// GUIDs: the text form ("0FC63DAF-8483-4772-8E79-3D69D8477DE4") and the 16 bytes as GPT
// stores them (the first three groups little-endian). Bad text gives an empty array.
QByteArray guid_bytes(const QString& text);
QString guid_text(const QByteArray& bytes);
QByteArray random_guid_bytes();

// Sector numbers and counts of these functions are in the drive's logical sectors of
// `sector_bytes` (512 or 4096); `read` always reads 512-byte units (fs_probe.h).

// Checks a header sector read at `lba`: signature, revision, size, CRC, its own LBA, the
// usable range inside the drive, and an entry array of bounded size that lies outside
// the usable range. Fills *header, or says why in *why.
bool parse_gpt_header(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                      gpt_header_s* header, QString* why, std::uint32_t sector_bytes = 512);
// Checks an entry array against its header: its CRC, and every used entry inside the
// usable range with first <= last and no two overlapping.
bool parse_gpt_entries(const gpt_header_s& header, const QByteArray& array,
                       QList<gpt_entry_s>* entries, QString* why);
// Reads and checks the primary (sector 1) or the backup (last sector) table.
bool read_gpt(const probe_read_f& read, std::uint64_t drive_sectors, bool backup,
              gpt_table_s* table, QString* why, std::uint32_t sector_bytes = 512);
// The same from a header sector already read at `lba`.
bool gpt_from_header(const std::uint8_t* sector, std::uint64_t lba, const probe_read_f& read,
                     std::uint64_t drive_sectors, gpt_table_s* table, QString* why,
                     std::uint32_t sector_bytes = 512);

// Sector 0 of a GPT disk: one entry of type 0xEE from sector 1 to the end of the drive
// (or 2^32 - 1 sectors; its CHS end all ones when 1024 cylinders do not reach the end),
// no boot code, 0x55 0xAA; padded with zeros to `sector_bytes`.
QByteArray protective_mbr(std::uint64_t drive_sectors, std::uint32_t sector_bytes = 512);

// The standard usable range of a drive with a 128-entry array: 34 to drive - 34 in
// 512-byte sectors, 6 to drive - 6 in 4096-byte ones.
std::uint64_t gpt_first_usable_standard(std::uint32_t sector_bytes = 512);
std::uint64_t gpt_last_usable_standard(std::uint64_t drive_sectors,
                                       std::uint32_t sector_bytes = 512);

// Every sector of a whole table: protective record, primary header and array at 1 and 2,
// backup array and header at the end of the drive, both headers with correct CRCs. The
// array's size must be entry_count * entry_bytes; it is padded to whole sectors with
// zeros. Returns an empty list when the layout does not fit the drive.
QList<table_write_s> build_gpt(std::uint64_t drive_sectors, const QByteArray& disk_guid,
                               std::uint64_t first_usable, std::uint64_t last_usable,
                               std::uint32_t entry_count, std::uint32_t entry_bytes,
                               const QByteArray& array, std::uint32_t sector_bytes = 512);

// One 128-byte entry.
QByteArray gpt_entry_bytes(const QByteArray& type_guid, const QByteArray& unique_guid,
                           std::uint64_t first, std::uint64_t last, std::uint64_t attributes,
                           const QString& name);
