#include "gpt_table.h"

#include "device/platform/disk_crc.h"
#include "disk_bytes.h"
#include "master_boot_record.h"

#include <QUuid>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace disk_bytes;

namespace {

std::uint64_t array_sectors(std::uint32_t count, std::uint32_t entry_bytes,
                            std::uint32_t sector_bytes) {
    return (std::uint64_t(count) * entry_bytes + sector_bytes - 1) / sector_bytes;
}

// 512-byte units per logical sector: 1 or 8.
std::uint32_t units_of(std::uint32_t sector_bytes) {
    return sector_bytes / 512;
}

bool all_zero(const char* p, int len) {
    return std::all_of(p, p + len, [](char c) { return c == 0; });
}

QString fail(QString* why, const QString& text) {
    if (why) {
        *why = text;
    }
    return text;
}

// A header's sector, its CRC filled in.
QByteArray header_sector(std::uint32_t sector_bytes, std::uint64_t my_lba, std::uint64_t alternate,
                         std::uint64_t first_usable, std::uint64_t last_usable,
                         const QByteArray& disk_guid, std::uint64_t entry_lba, std::uint32_t count,
                         std::uint32_t entry_bytes, std::uint32_t array_crc) {
    QByteArray s(sector_bytes, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(s.data());
    std::memcpy(p, "EFI PART", 8);
    put_le32(p + 8, 0x00010000);
    put_le32(p + 12, gpt_header_bytes);
    put_le64(p + 24, my_lba);
    put_le64(p + 32, alternate);
    put_le64(p + 40, first_usable);
    put_le64(p + 48, last_usable);
    std::memcpy(p + 56, disk_guid.constData(), 16);
    put_le64(p + 72, entry_lba);
    put_le32(p + 80, count);
    put_le32(p + 84, entry_bytes);
    put_le32(p + 88, array_crc);
    put_le32(p + 16, crc32_ieee(p, gpt_header_bytes));
    return s;
}

}  // namespace

QByteArray guid_bytes(const QString& text) {
    const QUuid id(text);
    if (id.isNull() && text.count(QLatin1Char('0')) != 32) {
        return {};
    }
    QByteArray out(16, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(out.data());
    put_le32(p, id.data1);
    put_le16(p + 4, id.data2);
    put_le16(p + 6, id.data3);
    std::memcpy(p + 8, id.data4, 8);
    return out;
}

QString guid_text(const QByteArray& bytes) {
    if (bytes.size() != 16) {
        return {};
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const QUuid id(le32(p), le16(p + 4), le16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14],
                   p[15]);
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QByteArray random_guid_bytes() {
    return guid_bytes(QUuid::createUuid().toString());
}

bool parse_gpt_header(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                      gpt_header_s* header, QString* why, std::uint32_t sector_bytes) {
    if (std::memcmp(sector, "EFI PART", 8) != 0) {
        fail(why, QStringLiteral("no GPT header at sector %1").arg(lba));
        return false;
    }
    const std::uint32_t size = le32(sector + 12);
    if ((le32(sector + 8) >> 16) != 1 || size < gpt_header_bytes || size > sector_bytes) {
        fail(
            why,
            QStringLiteral("the GPT header at sector %1 has an unknown revision or size").arg(lba));
        return false;
    }
    std::vector<std::uint8_t> copy(sector, sector + size);
    put_le32(copy.data() + 16, 0);
    if (crc32_ieee(copy.data(), size) != le32(sector + 16)) {
        fail(why, QStringLiteral("the GPT header at sector %1 fails its CRC").arg(lba));
        return false;
    }
    gpt_header_s h;
    h.my_lba = le64(sector + 24);
    h.alternate_lba = le64(sector + 32);
    h.first_usable = le64(sector + 40);
    h.last_usable = le64(sector + 48);
    h.disk_guid = QByteArray(reinterpret_cast<const char*>(sector + 56), 16);
    h.entry_lba = le64(sector + 72);
    h.entry_count = le32(sector + 80);
    h.entry_bytes = le32(sector + 84);
    h.array_crc = le32(sector + 88);
    if (h.my_lba != lba || h.alternate_lba >= drive_sectors || h.alternate_lba == lba) {
        fail(why, QStringLiteral("the GPT header at sector %1 names the wrong sectors for itself "
                                 "or its other copy")
                      .arg(lba));
        return false;
    }
    if (h.first_usable > h.last_usable || h.first_usable < 2 || h.last_usable >= drive_sectors) {
        fail(why, QStringLiteral("the GPT header at sector %1 has a usable range outside the drive")
                      .arg(lba));
        return false;
    }
    if (h.entry_bytes < 128 || h.entry_bytes > 4096 || !is_power_of_two(h.entry_bytes) ||
        h.entry_count == 0 || std::uint64_t(h.entry_count) * h.entry_bytes > gpt_max_array_bytes) {
        fail(why, QStringLiteral("the GPT header at sector %1 has an entry count or size out of "
                                 "range")
                      .arg(lba));
        return false;
    }
    const std::uint64_t n = array_sectors(h.entry_count, h.entry_bytes, sector_bytes);
    const bool before_usable = h.entry_lba >= 1 && h.entry_lba + n <= h.first_usable;
    const bool after_usable = h.entry_lba > h.last_usable && h.entry_lba < drive_sectors &&
                              n <= drive_sectors - h.entry_lba;
    const bool covers_header = h.entry_lba <= lba && lba < h.entry_lba + n;
    if ((!before_usable && !after_usable) || covers_header) {
        fail(why, QStringLiteral("the GPT header at sector %1 places its entry array over data or "
                                 "past the drive")
                      .arg(lba));
        return false;
    }
    *header = h;
    return true;
}

bool parse_gpt_entries(const gpt_header_s& header, const QByteArray& array,
                       QList<gpt_entry_s>* entries, QString* why) {
    const std::uint64_t bytes = std::uint64_t(header.entry_count) * header.entry_bytes;
    if (std::uint64_t(array.size()) < bytes ||
        crc32_ieee(array.constData(), bytes) != header.array_crc) {
        fail(
            why,
            QStringLiteral("the GPT entry array at sector %1 fails its CRC").arg(header.entry_lba));
        return false;
    }
    QList<gpt_entry_s> used;
    for (std::uint32_t k = 0; k < header.entry_count; ++k) {
        const char* e = array.constData() + std::size_t(k) * header.entry_bytes;
        if (all_zero(e, 16)) {
            continue;
        }
        const auto* p = reinterpret_cast<const std::uint8_t*>(e);
        gpt_entry_s entry;
        entry.index = int(k);
        entry.type_guid = QByteArray(e, 16);
        entry.unique_guid = QByteArray(e + 16, 16);
        entry.first = le64(p + 32);
        entry.last = le64(p + 40);
        entry.attributes = le64(p + 48);
        QString name;
        for (int c = 0; c < 36; ++c) {
            const char16_t unit = le16(p + 56 + 2 * c);
            if (unit == 0) {
                break;
            }
            name += QChar(unit);
        }
        entry.name = name;
        if (entry.first > entry.last || entry.first < header.first_usable ||
            entry.last > header.last_usable) {
            fail(why, QStringLiteral("GPT entry %1 lies outside the usable sectors").arg(k + 1));
            return false;
        }
        used << entry;
    }
    QList<gpt_entry_s> by_start = used;
    std::sort(by_start.begin(), by_start.end(),
              [](const gpt_entry_s& a, const gpt_entry_s& b) { return a.first < b.first; });
    for (qsizetype k = 1; k < by_start.size(); ++k) {
        if (by_start[k].first <= by_start[k - 1].last) {
            fail(why, QStringLiteral("GPT entries %1 and %2 overlap")
                          .arg(by_start[k - 1].index + 1)
                          .arg(by_start[k].index + 1));
            return false;
        }
    }
    *entries = used;
    return true;
}

bool read_gpt(const probe_read_f& read, std::uint64_t drive_sectors, bool backup,
              gpt_table_s* table, QString* why, std::uint32_t sector_bytes) {
    if (drive_sectors < 3) {
        fail(why, QStringLiteral("the drive is too small for a GPT"));
        return false;
    }
    const std::uint64_t lba = backup ? drive_sectors - 1 : 1;
    const std::uint32_t units = units_of(sector_bytes);
    std::vector<std::uint8_t> sector(sector_bytes);
    if (read(lba * units, units, sector.data()) != 0) {
        fail(why, QStringLiteral("sector %1 cannot be read").arg(lba));
        return false;
    }
    return gpt_from_header(sector.data(), lba, read, drive_sectors, table, why, sector_bytes);
}

bool gpt_from_header(const std::uint8_t* sector, std::uint64_t lba, const probe_read_f& read,
                     std::uint64_t drive_sectors, gpt_table_s* table, QString* why,
                     std::uint32_t sector_bytes) {
    gpt_table_s t;
    if (!parse_gpt_header(sector, lba, drive_sectors, &t.header, why, sector_bytes)) {
        return false;
    }
    const std::uint32_t units = units_of(sector_bytes);
    const std::uint64_t n = array_sectors(t.header.entry_count, t.header.entry_bytes, sector_bytes);
    t.array = QByteArray(qsizetype(n * sector_bytes), '\0');
    if (read(t.header.entry_lba * units, std::uint32_t(n * units),
             reinterpret_cast<std::uint8_t*>(t.array.data())) != 0) {
        fail(why, QStringLiteral("the GPT entry array at sector %1 cannot be read")
                      .arg(t.header.entry_lba));
        return false;
    }
    t.array.truncate(qsizetype(std::uint64_t(t.header.entry_count) * t.header.entry_bytes));
    if (!parse_gpt_entries(t.header, t.array, &t.entries, why)) {
        return false;
    }
    *table = t;
    return true;
}

QByteArray protective_mbr(std::uint64_t drive_sectors, std::uint32_t sector_bytes) {
    QByteArray s(sector_bytes, '\0');
    auto* e = reinterpret_cast<std::uint8_t*>(s.data()) + 446;
    e[1] = 0x00;  // CHS of sector 1: head 0, sector 2, cylinder 0
    e[2] = 0x02;
    e[3] = 0x00;
    e[4] = 0xEE;
    // The CHS address of the drive's last sector where 1024 cylinders reach it, else all
    // ones.
    const std::uint64_t rest = drive_sectors > 1 ? drive_sectors - 1 : 0;
    if (rest < 1024ull * 255 * 63) {
        encode_chs(rest, 255, 63, e + 5);
    } else {
        e[5] = e[6] = e[7] = 0xFF;
    }
    put_le32(e + 8, 1);
    put_le32(e + 12, static_cast<std::uint32_t>(std::min<std::uint64_t>(rest, UINT32_MAX)));
    s[510] = 0x55;
    s[511] = char(0xAA);
    return s;
}

std::uint64_t gpt_first_usable_standard(std::uint32_t sector_bytes) {
    return 2 + array_sectors(gpt_standard_entries, gpt_standard_entry_bytes, sector_bytes);
}

std::uint64_t gpt_last_usable_standard(std::uint64_t drive_sectors, std::uint32_t sector_bytes) {
    const std::uint64_t tail =
        1 + array_sectors(gpt_standard_entries, gpt_standard_entry_bytes, sector_bytes);
    return drive_sectors > tail ? drive_sectors - tail - 1 : 0;
}

QList<table_write_s> build_gpt(std::uint64_t drive_sectors, const QByteArray& disk_guid,
                               std::uint64_t first_usable, std::uint64_t last_usable,
                               std::uint32_t entry_count, std::uint32_t entry_bytes,
                               const QByteArray& array, std::uint32_t sector_bytes) {
    const std::uint64_t bytes = std::uint64_t(entry_count) * entry_bytes;
    if ((sector_bytes != 512 && sector_bytes != 4096) || disk_guid.size() != 16 ||
        entry_count == 0 || entry_bytes < 128 || bytes > gpt_max_array_bytes ||
        std::uint64_t(array.size()) != bytes) {
        return {};
    }
    const std::uint64_t n = array_sectors(entry_count, entry_bytes, sector_bytes);
    if (drive_sectors < 2 * n + 4 || 2 + n > first_usable || first_usable > last_usable ||
        last_usable >= drive_sectors - 1 - n) {
        return {};
    }
    const std::uint64_t last = drive_sectors - 1;
    const std::uint64_t backup_array = last - n;
    const std::uint32_t array_crc = crc32_ieee(array.constData(), bytes);
    QByteArray padded = array;
    padded.append(QByteArray(qsizetype(n * sector_bytes - bytes), '\0'));
    QList<table_write_s> writes;
    writes << table_write_s{0, protective_mbr(drive_sectors, sector_bytes)};
    writes << table_write_s{1, header_sector(sector_bytes, 1, last, first_usable, last_usable,
                                             disk_guid, 2, entry_count, entry_bytes, array_crc) +
                                   padded};
    writes << table_write_s{
        backup_array,
        padded + header_sector(sector_bytes, last, 1, first_usable, last_usable, disk_guid,
                               backup_array, entry_count, entry_bytes, array_crc)};
    return writes;
}

QByteArray gpt_entry_bytes(const QByteArray& type_guid, const QByteArray& unique_guid,
                           std::uint64_t first, std::uint64_t last, std::uint64_t attributes,
                           const QString& name) {
    QByteArray e(gpt_standard_entry_bytes, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(e.data());
    std::memcpy(p, type_guid.constData(), std::min<qsizetype>(16, type_guid.size()));
    std::memcpy(p + 16, unique_guid.constData(), std::min<qsizetype>(16, unique_guid.size()));
    put_le64(p + 32, first);
    put_le64(p + 40, last);
    put_le64(p + 48, attributes);
    for (qsizetype c = 0; c < std::min<qsizetype>(36, name.size()); ++c) {
        put_le16(p + 56 + 2 * c, name.at(c).unicode());
    }
    return e;
}
