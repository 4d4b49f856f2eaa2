#include "disk_layout.h"

#include "boot_signature.h"
#include "disk_bytes.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace disk_bytes;

namespace {

constexpr std::uint64_t two_tib_sectors = 1ull << 32;

bool is_extended_type(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

const ebr_s* ebr_at(const QList<ebr_s>& ebrs, std::uint64_t lba) {
    for (const ebr_s& e : ebrs) {
        if (e.lba == lba) {
            return &e;
        }
    }
    return nullptr;
}

// Follows the links from `head`; the records of the chain, or empty when a link points to
// no known record, backwards, or in a circle.
QList<ebr_s> walk_chain(const QList<ebr_s>& ebrs, const ebr_s& head) {
    QList<ebr_s> chain{head};
    const ebr_s* at = &head;
    while (at->next_offset != 0) {
        if (head.lba > UINT64_MAX - at->next_offset) {
            return {};
        }
        const ebr_s* next = ebr_at(ebrs, head.lba + at->next_offset);
        if (!next || next->lba <= at->lba || chain.size() >= max_recorded_ebrs) {
            return {};
        }
        chain << *next;
        at = next;
    }
    return chain;
}

}  // namespace

disk_layout_s read_disk_layout(const probe_read_f& read, std::uint64_t drive_sectors,
                               std::uint32_t sector_bytes) {
    disk_layout_s layout;
    layout.sector_bytes = sector_bytes;
    const std::uint32_t units = sector_bytes / 512;
    std::vector<std::uint8_t> sector(sector_bytes);
    if (drive_sectors > 0 && read(0, 1, sector.data()) == 0 && sector[510] == 0x55 &&
        sector[511] == 0xAA) {
        for (int k = 0; k < 4; ++k) {
            layout.protective_mbr |= sector[446 + 16 * k + 4] == 0xEE;
        }
    }
    if (drive_sectors < 3) {
        layout.existing = read_existing_table(read, drive_sectors, false, false, {}, sector_bytes);
        return layout;
    }
    // Each header sector is read once; an entry array only behind a header that holds.
    gpt_table_s tables[2];
    QString why[2];
    bool ok[2] = {false, false};
    const std::uint64_t where[2] = {1, drive_sectors - 1};
    for (int k = 0; k < 2; ++k) {
        if (read(where[k] * units, units, sector.data()) != 0) {
            continue;
        }
        if (std::memcmp(sector.data(), "EFI PART", 8) == 0) {
            layout.gpt_seen = true;
            ok[k] = gpt_from_header(sector.data(), where[k], read, drive_sectors, &tables[k],
                                    &why[k], sector_bytes);
        }
    }
    layout.primary_ok = ok[0];
    layout.backup_ok = ok[1];
    const gpt_table_s& primary = tables[0];
    const gpt_table_s& backup = tables[1];
    const QString& why_primary = why[0];
    const QString& why_backup = why[1];
    if (layout.backup_ok) {
        layout.gpt = backup;
    } else if (layout.primary_ok) {
        layout.gpt = primary;
    }
    if (layout.gpt_seen && !layout.primary_ok && !layout.backup_ok) {
        layout.gpt_problem = why_backup.isEmpty() ? why_primary : why_backup;
    }
    layout.existing = read_existing_table(read, drive_sectors, layout.primary_ok, layout.backup_ok,
                                          layout.gpt, sector_bytes);
    return layout;
}

std::uint32_t detect_sector_bytes(const probe_read_f& read, std::uint64_t drive_units) {
    constexpr std::uint32_t large = 4096;
    constexpr std::uint64_t per_large = large / 512;
    const std::uint64_t large_sectors = drive_units / per_large;
    if (large_sectors < 3) {
        return 512;
    }
    // A GPT header names its own sector: 1 for the primary, the last for the backup.
    auto header_names = [&read](std::uint64_t unit, std::uint64_t lba) {
        std::uint8_t header[512];
        return read(unit, 1, header) == 0 && std::memcmp(header, "EFI PART", 8) == 0 &&
               le64(header + 24) == lba;
    };
    if (header_names(1, 1) || header_names(drive_units - 1, drive_units - 1)) {
        return 512;
    }
    if (header_names(per_large, 1) ||
        header_names((large_sectors - 1) * per_large, large_sectors - 1)) {
        return large;
    }
    std::uint8_t sector[512];
    if (read(0, 1, sector) != 0 || sector[510] != 0x55 || sector[511] != 0xAA) {
        return 512;
    }
    // A volume from the first byte: its boot sector says its sector size.
    const std::uint16_t volume_sector = le16(sector + 11);  // BPB bytes per sector
    if (!volume_boot_sector_name(sector).isEmpty()) {
        const bool exfat = std::memcmp(sector + 3, "EXFAT   ", 8) == 0;
        return (exfat ? sector[108] == 12 : volume_sector == large) ? large : 512;
    }
    int small_hits = 0;
    int large_hits = 0;
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t* e = sector + 446 + 16 * k;
        const std::uint64_t start = le32(e + 8);
        if (e[4] == 0 || e[4] == 0xEE || is_extended_type(e[4]) || start == 0) {
            continue;
        }
        QString name;
        std::uint64_t sectors = 0;
        small_hits += file_system_at(start, drive_units, read, &name, &sectors) ? 1 : 0;
        large_hits += file_system_at(start, large_sectors, read, &name, &sectors, large) ? 1 : 0;
    }
    return large_hits > small_hits ? large : 512;
}

std::uint32_t volumes_sector_bytes(const probe_read_f& read, const QList<std::uint64_t>& starts) {
    int small = 0;
    int large = 0;
    for (std::uint64_t start : starts) {
        std::uint8_t sector[512];
        if (start % 8 != 0) {
            return 512;
        }
        if (read(start, 1, sector) != 0) {
            continue;
        }
        std::uint32_t own = 0;
        if (std::memcmp(sector, "XFSB", 4) == 0) {
            own = be16(sector + 102);  // sb_sectsize
        } else if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0) {
            own = exfat_boot_sector(sector) ? 1u << sector[108] : 0;  // BytesPerSectorShift
        } else if (!volume_boot_sector_name(sector).isEmpty()) {
            own = le16(sector + 11);  // BPB bytes per sector
        }
        small += own == 512 ? 1 : 0;
        large += own == 4096 ? 1 : 0;
    }
    return large > 0 && small == 0 ? 4096 : 512;
}

bool file_system_at(std::uint64_t start, std::uint64_t drive_sectors, const probe_read_f& read,
                    QString* fs_name, std::uint64_t* sectors, std::uint32_t sector_bytes) {
    if (start >= drive_sectors) {
        return false;
    }
    // The probes count 512-byte units; a found size is rounded up to whole sectors.
    const std::uint64_t units = sector_bytes / 512;
    const std::uint64_t first = start * units;
    const std::uint64_t drive_units = drive_sectors * units;
    auto found = [&](const QString& name, std::uint64_t unit_count) {
        *fs_name = name;
        *sectors = (unit_count + units - 1) / units;
        return true;
    };
    std::uint8_t two[1024];
    const bool has_next = first + 1 < drive_units && read(first, 2, two) == 0;
    if (has_next || read(first, 1, two) == 0) {
        const sector_reader_t one = [&read](std::uint64_t sector, std::uint8_t* out) {
            return read(sector, 1, out) == 0;
        };
        boot_candidate_s candidate;
        candidate.sector = two;
        candidate.next = has_next ? two + 512 : nullptr;
        candidate.at = first;
        candidate.drive_sectors = drive_units;
        candidate.read = &one;
        boot_hit_s boot;
        if (test_boot_sector(candidate, &boot) && boot.start == first) {
            return found(boot.fs_name, boot.sectors);
        }
    }
    // The sectors where the probed file systems keep their magic: the first (exFAT, FAT,
    // XFS), 1 KiB in (ext), the end of the first page (swap), 64 KiB in (btrfs).
    for (std::uint64_t anchor : {0, 2, 7, 128}) {
        std::uint8_t sector[512];
        fs_probe_s hit;
        if (first + anchor < drive_units && read(first + anchor, 1, sector) == 0 &&
            probe_file_system(sector, first + anchor, drive_units, read, &hit) &&
            hit.start_sector == first) {
            return found(hit.fs_name, hit.sectors);
        }
    }
    return false;
}

QList<partition_item_s> table_items(const disk_layout_s& layout) {
    QList<partition_item_s> items;
    for (const table_entry_s& entry : layout.existing.partitions()) {
        partition_item_s item;
        item.fs_name = entry.confirmed ? entry.fs_name : QStringLiteral("unknown");
        QString table_guid;
        fs_table_types(item.fs_name, &item.partition_type, &table_guid);
        if (entry.kind == table_entry_kind_e::gpt) {
            item.type_guid = entry.type_guid;
            item.unique_guid = entry.unique_guid;
            item.name = entry.name;
            item.attributes = entry.attributes;
        } else {
            item.partition_type = entry.type;
            item.type_guid = table_guid;
        }
        item.start_sector = entry.first;
        item.end_sector = entry.last;
        item.sector_bytes = layout.sector_bytes;
        item.from_table = true;
        item.confirmed = entry.confirmed;
        item.logical = entry.kind == table_entry_kind_e::logical;
        items << item;
    }
    std::sort(items.begin(), items.end(), [](const partition_item_s& a, const partition_item_s& b) {
        return a.start_sector < b.start_sector;
    });
    return items;
}

bool ebr_sector(const std::uint8_t* sector, std::uint64_t lba, ebr_s* ebr) {
    if (lba == 0 || sector[510] != 0x55 || sector[511] != 0xAA || sector[0] == 0xEB ||
        sector[0] == 0xE9) {
        return false;
    }
    const std::uint8_t* first = sector + 446;
    const std::uint8_t* second = first + 16;
    for (int i = 32; i < 64; ++i) {
        if (first[i] != 0) {
            return false;
        }
    }
    const std::uint32_t rel = le32(first + 8);
    const std::uint32_t count = le32(first + 12);
    if ((first[0] != 0 && first[0] != 0x80) || first[4] == 0 || is_extended_type(first[4]) ||
        first[4] == 0xEE || rel == 0 || count == 0) {
        return false;
    }
    const bool no_next = std::all_of(second, second + 16, [](std::uint8_t b) { return b == 0; });
    if (!no_next &&
        (!is_extended_type(second[4]) || le32(second + 8) == 0 || le32(second + 12) == 0)) {
        return false;
    }
    ebr->lba = lba;
    ebr->type = first[4];
    ebr->logical_first = lba + rel;
    ebr->logical_last = lba + rel + count - 1;
    ebr->next_offset = no_next ? 0 : le32(second + 8);
    return true;
}

const ebr_s* ebr_for(const disk_layout_s& layout, std::uint64_t start) {
    for (const ebr_s& e : layout.ebrs) {
        if (e.logical_first == start) {
            return &e;
        }
    }
    return nullptr;
}

void finish_layout(disk_layout_s* layout, const QList<partition_item_s>& found,
                   std::uint64_t drive_sectors) {
    // The chain: the first record (lowest sector) from which every link leads to a known
    // record and whose logical partitions include one the search found.
    for (const ebr_s& head : layout->ebrs) {
        const QList<ebr_s> chain = walk_chain(layout->ebrs, head);
        bool confirmed = false;
        std::uint64_t last = head.lba;
        for (const ebr_s& e : chain) {
            last = std::max(last, e.logical_last);
            for (const partition_item_s& item : found) {
                confirmed |= item.logical && item.start_sector == e.logical_first;
            }
        }
        if (confirmed && last < drive_sectors) {
            layout->extended_first = head.lba;
            layout->extended_last = last;
            break;
        }
    }
    bool beyond_2tib = drive_sectors > two_tib_sectors;
    int primaries = layout->extended_first != 0 ? 1 : 0;
    for (const partition_item_s& item : found) {
        if (item.earlier) {
            continue;
        }
        beyond_2tib |= item.end_sector >= two_tib_sectors;
        primaries += item.logical && layout->extended_first != 0 ? 0 : 1;
    }
    // More partitions than a master boot record holds, with no chain of extended boot
    // records to put the others in, were a GPT's.
    // The table on the drive decides first: a master boot record that holds is kept as one,
    // even over a GPT left behind by an earlier layout.
    const QString& existing = layout->existing.scheme;
    const bool gpt = existing.isEmpty()
                         ? layout->primary_ok || layout->backup_ok || layout->gpt_seen ||
                               layout->protective_mbr || beyond_2tib || primaries > 4
                         : existing == QLatin1String("gpt");
    layout->scheme = gpt ? QStringLiteral("gpt") : QStringLiteral("mbr");
}
