#include "existing_table.h"

#include "boot_signature.h"
#include "disk_bytes.h"
#include "disk_layout.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace disk_bytes;

namespace {

constexpr std::uint8_t type_protective = 0xEE;

bool is_extended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool overlap(std::uint64_t a_first, std::uint64_t a_last, std::uint64_t b_first,
             std::uint64_t b_last) {
    return a_first <= b_last && b_first <= a_last;
}

void confirm(table_entry_s* entry, const probe_read_f& read, std::uint64_t drive_sectors,
             std::uint32_t sector_bytes) {
    entry->confirmed = file_system_at(entry->first, drive_sectors, read, &entry->fs_name,
                                      &entry->fs_sectors, sector_bytes);
    if (!entry->confirmed) {
        entry->fs_name.clear();
    }
}

// Follows the extended boot records from the extended entry's first sector. Every record
// must lie inside the container after the one before it, and its logical partition
// inside the container behind the record; the walk stops at the first that does not.
void walk_logicals(const table_entry_s& container, const probe_read_f& read,
                   std::uint64_t drive_sectors, std::uint32_t sector_bytes,
                   existing_table_s* table) {
    std::uint64_t lba = container.first;
    std::uint64_t after = container.first;  // the next record and partition lie beyond this
    for (int n = 0; n < max_logical_partitions; ++n) {
        // The record is the first 512 bytes of its sector; the whole sector is kept.
        std::vector<std::uint8_t> whole(sector_bytes);
        const std::uint8_t* sector = whole.data();
        if (read(lba * (sector_bytes / 512), sector_bytes / 512, whole.data()) != 0) {
            table->problems
                << QStringLiteral("the extended boot record at sector %1 cannot be read").arg(lba);
            return;
        }
        const bool empty =
            std::all_of(sector + 446, sector + 510, [](std::uint8_t b) { return b == 0; });
        if (n == 0 && empty && sector[510] == 0x55 && sector[511] == 0xAA) {
            return;  // an extended partition without logical partitions
        }
        ebr_s ebr;
        if (!ebr_sector(sector, lba, &ebr) || ebr.logical_first <= lba ||
            ebr.logical_first < after || ebr.logical_last > container.last ||
            ebr.logical_last >= drive_sectors) {
            table->problems << QStringLiteral(
                                   "the chain of extended boot records breaks at sector %1")
                                   .arg(lba);
            return;
        }
        table_entry_s logical;
        logical.kind = table_entry_kind_e::logical;
        logical.slot = n;
        logical.type = ebr.type;
        logical.first = ebr.logical_first;
        logical.last = ebr.logical_last;
        logical.ebr_lba = lba;
        logical.record = QByteArray(reinterpret_cast<const char*>(sector), qsizetype(sector_bytes));
        logical.active = sector[446] == 0x80;
        confirm(&logical, read, drive_sectors, sector_bytes);
        table->entries << logical;
        after = ebr.logical_last + 1;
        if (ebr.next_offset == 0) {
            return;
        }
        if (ebr.next_offset > container.last - container.first) {
            table->problems << QStringLiteral(
                                   "the extended boot record at sector %1 links outside "
                                   "its extended partition")
                                   .arg(lba);
            return;
        }
        const std::uint64_t next = container.first + ebr.next_offset;
        if (next < after) {
            table->problems
                << QStringLiteral("the extended boot record at sector %1 links back").arg(lba);
            return;
        }
        lba = next;
    }
    table->problems << QStringLiteral("the chain of extended boot records is longer than %1")
                           .arg(max_logical_partitions);
}

void read_mbr_entries(const std::uint8_t* sector, const probe_read_f& read,
                      std::uint64_t drive_sectors, std::uint32_t sector_bytes,
                      existing_table_s* table) {
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t* e = sector + 446 + 16 * k;
        const std::uint8_t type = e[4];
        if (type == 0 || type == type_protective) {
            continue;
        }
        table_entry_s entry;
        entry.kind = is_extended(type) ? table_entry_kind_e::extended : table_entry_kind_e::primary;
        entry.slot = k;
        entry.type = type;
        entry.active = e[0] == 0x80;
        const std::uint32_t start = le32(e + 8);
        const std::uint32_t count = le32(e + 12);
        entry.first = start;
        entry.last = std::uint64_t(start) + count - 1;
        QString why;
        if (e[0] != 0 && e[0] != 0x80) {
            why = QStringLiteral("entry %1 has the status byte 0x%2").arg(k + 1).arg(e[0], 2, 16);
        } else if (start == 0 || count == 0) {
            why = QStringLiteral("entry %1 is empty but has the type 0x%2")
                      .arg(k + 1)
                      .arg(type, 2, 16);
        } else if (entry.last >= drive_sectors) {
            why = QStringLiteral("entry %1 runs past the end of the drive").arg(k + 1);
        } else {
            for (const table_entry_s& other : table->entries) {
                if (overlap(entry.first, entry.last, other.first, other.last)) {
                    why =
                        QStringLiteral("entry %1 overlaps entry %2").arg(k + 1).arg(other.slot + 1);
                    break;
                }
            }
        }
        if (!why.isEmpty()) {
            table->problems << why;
            table->refused << entry;
            continue;
        }
        if (entry.kind == table_entry_kind_e::primary) {
            confirm(&entry, read, drive_sectors, sector_bytes);
        }
        table->entries << entry;
    }
    const QList<table_entry_s> primaries = table->entries;
    int containers = 0;
    for (const table_entry_s& entry : primaries) {
        if (entry.kind == table_entry_kind_e::extended && ++containers == 1) {
            walk_logicals(entry, read, drive_sectors, sector_bytes, table);
        } else if (entry.kind == table_entry_kind_e::extended) {
            table->problems << QStringLiteral("sector 0 holds more than one extended entry");
        }
    }
}

}  // namespace

QList<table_entry_s> existing_table_s::partitions() const {
    QList<table_entry_s> out;
    for (const table_entry_s& e : entries) {
        if (e.kind != table_entry_kind_e::extended) {
            out << e;
        }
    }
    return out;
}

int existing_table_s::confirmed_count() const {
    int n = 0;
    for (const table_entry_s& e : entries) {
        n += e.confirmed ? 1 : 0;
    }
    return n;
}

existing_table_s read_existing_table(const probe_read_f& read, std::uint64_t drive_sectors,
                                     bool primary_ok, bool backup_ok, const gpt_table_s& gpt,
                                     std::uint32_t sector_bytes) {
    existing_table_s table;
    table.gpt_sector_bytes = sector_bytes;
    std::uint8_t sector[512];
    if (drive_sectors == 0 || read(0, 1, sector) != 0) {
        table.problems << QStringLiteral("sector 0 cannot be read");
        return table;
    }
    table.mbr_signature = sector[510] == 0x55 && sector[511] == 0xAA;
    // Only a master boot record has boot code; other bytes in a sector without the
    // signature are no loader of anybody's.
    table.mbr_code = table.mbr_signature &&
                     std::any_of(sector, sector + 440, [](std::uint8_t b) { return b != 0; });
    const bool volume = !volume_boot_sector_name(sector).isEmpty();
    int protective = 0;
    int others = 0;
    if (table.mbr_signature && !volume) {
        for (int k = 0; k < 4; ++k) {
            const std::uint8_t type = sector[446 + 16 * k + 4];
            protective += type == type_protective ? 1 : 0;
            others += type != 0 && type != type_protective ? 1 : 0;
        }
    }
    table.protective = protective == 1 && others == 0;
    table.hybrid = protective == 1 && others > 0;
    if (primary_ok || backup_ok) {
        if (!table.mbr_signature || volume || (protective == 0 && others > 0)) {
            // A master boot record of its own without a GPT entry is the live table; a
            // GPT behind it is left over from an earlier layout.
            if (others > 0 && !volume) {
                table.scheme = QStringLiteral("mbr");
                table.notes << QStringLiteral(
                    "a GPT is also on the drive, but sector 0 holds a master boot record without "
                    "a GPT entry; the master boot record is taken");
                read_mbr_entries(sector, read, drive_sectors, sector_bytes, &table);
                table.intact = table.problems.isEmpty();
                return table;
            }
            table.problems << QStringLiteral("sector 0 holds no protective master boot record");
        }
        if (protective > 1) {
            table.problems << QStringLiteral("sector 0 holds more than one GPT entry");
        }
        table.scheme = QStringLiteral("gpt");
        if (!primary_ok) {
            table.problems << QStringLiteral("the primary GPT is damaged");
        }
        if (!backup_ok) {
            table.problems << QStringLiteral("the backup GPT is damaged");
        }
        for (const gpt_entry_s& g : gpt.entries) {
            table_entry_s entry;
            entry.kind = table_entry_kind_e::gpt;
            entry.slot = g.index;
            entry.type_guid = guid_text(g.type_guid);
            entry.first = g.first;
            entry.last = g.last;
            entry.name = g.name;
            entry.unique_guid = guid_text(g.unique_guid);
            entry.attributes = g.attributes;
            confirm(&entry, read, drive_sectors, sector_bytes);
            table.entries << entry;
        }
        table.intact = table.problems.isEmpty();
        return table;
    }
    if (sector_bytes == 512 && drive_sectors >= 16 && drive_sectors % 8 == 0) {
        // A GPT written for 4096-byte sectors keeps its header at byte 4096 and its backup
        // in the last 4 KiB, each naming its own place in 4096-byte sectors.
        const std::uint64_t last_4k = drive_sectors / 8 - 1;
        for (const auto& [at, named] : {std::pair{std::uint64_t(8), std::uint64_t(1)},
                                        std::pair{drive_sectors - 8, last_4k}}) {
            std::uint8_t header[512];
            if (read(at, 1, header) == 0 && std::memcmp(header, "EFI PART", 8) == 0 &&
                disk_bytes::le64(header + 24) == named) {
                table.gpt_sector_bytes = 4096;
                table.scheme = QStringLiteral("gpt");
                table.problems << QStringLiteral(
                    "the GPT on the drive is written for 4096-byte sectors");
                return table;
            }
        }
    }
    if (protective > 0) {
        table.scheme = QStringLiteral("gpt");
        table.problems << QStringLiteral("sector 0 names a GPT, but neither GPT copy holds");
        return table;
    }
    if (!table.mbr_signature) {
        table.problems << QStringLiteral("sector 0 holds no partition table");
        return table;
    }
    if (volume) {
        table.problems << QStringLiteral("sector 0 holds a file system, not a partition table");
        return table;
    }
    table.scheme = QStringLiteral("mbr");
    read_mbr_entries(sector, read, drive_sectors, sector_bytes, &table);
    table.intact = table.problems.isEmpty();
    return table;
}

bool overlaps_table(const existing_table_s& table, std::uint64_t first, std::uint64_t last) {
    for (const table_entry_s& e : table.entries) {
        if (overlap(first, last, e.first, e.last)) {
            return true;
        }
    }
    return false;
}

const table_entry_s* free_in_extended(const existing_table_s& table, std::uint64_t first,
                                      std::uint64_t last) {
    const table_entry_s* container = nullptr;
    for (const table_entry_s& e : table.entries) {
        if (!overlap(first, last, e.first, e.last)) {
            continue;
        }
        if (e.kind != table_entry_kind_e::extended || first <= e.first || last > e.last ||
            container != nullptr) {
            return nullptr;
        }
        container = &e;
    }
    return container;
}

QString describe_existing_table(const existing_table_s& table) {
    if (table.scheme.isEmpty()) {
        return QStringLiteral("the drive holds no partition table (%1)")
            .arg(table.problems.join(QStringLiteral("; ")));
    }
    const QList<table_entry_s> parts = table.partitions();
    const QString scheme =
        table.scheme == QLatin1String("gpt")
            ? (table.hybrid ? QStringLiteral("GPT with a hybrid MBR") : QStringLiteral("GPT"))
            : QStringLiteral("MBR");
    QString text = QStringLiteral("the partition table %1: %2 %3 (%4, %5 confirmed)")
                       .arg(table.intact ? QStringLiteral("holds") : QStringLiteral("is damaged"))
                       .arg(parts.size())
                       .arg(parts.size() == 1 ? QStringLiteral("entry") : QStringLiteral("entries"))
                       .arg(scheme)
                       .arg(table.confirmed_count());
    for (const QString& line : table.problems + table.notes) {
        text += QStringLiteral("; ") + line;
    }
    return text;
}
