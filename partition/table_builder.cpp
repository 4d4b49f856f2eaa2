#include "table_builder.h"

#include "disk_bytes.h"
#include "master_boot_record.h"
#include "mbr_boot_code.h"

#include <algorithm>
#include <cstring>

using disk_bytes::put_le32;

namespace {

QList<partition_item_s> by_start(QList<partition_item_s> items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const partition_item_s& a, const partition_item_s& b) {
                         return a.start_sector < b.start_sector;
                     });
    return items;
}

struct range_s {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

bool overlaps_any(const QList<range_s>& ranges, std::uint64_t first, std::uint64_t last) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const range_s& r) { return first <= r.last && r.first <= last; });
}

// The found partitions a repair may add: neither an entry of the table on the drive nor
// an earlier file system under one.
QList<partition_item_s> additions(const QList<partition_item_s>& found) {
    QList<partition_item_s> out;
    for (const partition_item_s& item : found) {
        if (!item.from_table && !item.earlier) {
            out << item;
        }
    }
    return by_start(out);
}

// A new GPT entry for a found partition: its type GUID by file system, a new random
// partition GUID and the file-system name as its name; *bytes gets the 128-byte entry.
partition_item_s new_gpt_entry(const partition_item_s& item, QByteArray* bytes) {
    partition_item_s entry = item;
    if (entry.type_guid.isEmpty()) {
        std::int32_t type = 0;
        fs_table_types(entry.fs_name, &type, &entry.type_guid);
    }
    const QByteArray unique = random_guid_bytes();
    entry.unique_guid = guid_text(unique);
    entry.name = entry.fs_name;
    *bytes = gpt_entry_bytes(guid_bytes(entry.type_guid), unique, entry.start_sector,
                             entry.end_sector, 0, entry.name);
    return entry;
}

partition_item_s item_of(const table_entry_s& entry, std::uint32_t sector_bytes) {
    partition_item_s item;
    item.sector_bytes = sector_bytes;
    item.fs_name = entry.fs_name.isEmpty() ? QStringLiteral("unknown") : entry.fs_name;
    item.partition_type = entry.type;
    item.start_sector = entry.first;
    item.end_sector = entry.last;
    item.from_table = true;
    return item;
}

// Sector 0 in front of a GPT: a protective or hybrid record on the drive stays as it is;
// a new protective record keeps the boot code and disk signature of the sector it replaces,
// and in a sector larger than the record, what follows the record.
void settle_sector0(const existing_table_s& existing, const QByteArray& sector0,
                    std::uint32_t sector_bytes, table_plan_s* plan) {
    for (qsizetype k = 0; k < plan->writes.size(); ++k) {
        table_write_s& w = plan->writes[k];
        if (w.lba != 0) {
            continue;
        }
        const bool whole = sector0.size() == qsizetype(sector_bytes);
        if (existing.mbr_signature && (existing.protective || existing.hybrid)) {
            if (w.bytes.size() == qsizetype(sector_bytes)) {
                plan->writes.removeAt(k);
            } else if (whole) {
                w.bytes.replace(0, sector_bytes, sector0);
            }
            return;
        }
        if (existing.mbr_code && whole) {
            w.bytes.replace(0, mbr_table_offset, sector0.left(mbr_table_offset));
        }
        if (whole && sector_bytes > 512) {
            w.bytes.replace(512, sector_bytes - 512, sector0.mid(512));
        }
        return;
    }
}

table_plan_s plan_gpt(const disk_layout_s& layout, const QList<partition_item_s>& found,
                      std::uint64_t drive_sectors, const QByteArray& sector0) {
    table_plan_s plan;
    plan.scheme = QStringLiteral("gpt");
    const std::uint32_t sector_bytes = layout.sector_bytes;
    if (layout.existing.gpt_sector_bytes != sector_bytes) {
        plan.error = QStringLiteral(
                         "the GPT on the drive is written for %1-byte sectors; it is "
                         "not rewritten in %2-byte sectors")
                         .arg(layout.existing.gpt_sector_bytes)
                         .arg(sector_bytes);
        return plan;
    }
    if (layout.primary_ok || layout.backup_ok) {
        // The surviving table, with what was found outside its entries in free slots.
        const gpt_header_s& h = layout.gpt.header;
        QByteArray array = layout.gpt.array;
        QList<range_s> taken;
        for (const gpt_entry_s& e : layout.gpt.entries) {
            taken << range_s{e.first, e.last};
        }
        for (const partition_item_s& item : found) {
            if (item.from_table) {
                plan.kept << item;
            }
        }
        std::uint32_t slot = 0;
        for (const partition_item_s& item : additions(found)) {
            const bool fits = item.start_sector >= h.first_usable &&
                              item.end_sector <= h.last_usable &&
                              item.start_sector <= item.end_sector &&
                              !overlaps_any(taken, item.start_sector, item.end_sector);
            auto free_slot = [&]() {
                for (; slot < h.entry_count; ++slot) {
                    const char* type = array.constData() + qsizetype(slot) * h.entry_bytes;
                    if (std::all_of(type, type + 16, [](char b) { return b == 0; })) {
                        return true;
                    }
                }
                return false;
            };
            if (!fits || !free_slot()) {
                plan.left_out << item;
                continue;
            }
            QByteArray bytes;
            const partition_item_s entry = new_gpt_entry(item, &bytes);
            array.replace(qsizetype(slot) * h.entry_bytes, gpt_standard_entry_bytes, bytes);
            ++slot;
            taken << range_s{item.start_sector, item.end_sector};
            plan.added << entry;
        }
        plan.writes = build_gpt(drive_sectors, h.disk_guid, h.first_usable, h.last_usable,
                                h.entry_count, h.entry_bytes, array, sector_bytes);
        if (plan.writes.isEmpty()) {
            plan.error = QStringLiteral(
                "the surviving GPT does not fit a standard layout on "
                "this drive");
            return plan;
        }
        plan.restored = !(layout.primary_ok && layout.backup_ok);
        plan.described = plan.kept + plan.added;
        settle_sector0(layout.existing, sector0, sector_bytes, &plan);
        return plan;
    }
    const QByteArray array = new_gpt_array(additions(found), drive_sectors, &plan.described,
                                           &plan.left_out, sector_bytes);
    if (plan.described.isEmpty()) {
        plan.error = QStringLiteral("no found partition fits inside a GPT's usable sectors");
        return plan;
    }
    plan.added = plan.described;
    plan.writes =
        build_gpt(drive_sectors, random_guid_bytes(), gpt_first_usable_standard(sector_bytes),
                  gpt_last_usable_standard(drive_sectors, sector_bytes), gpt_standard_entries,
                  gpt_standard_entry_bytes, array, sector_bytes);
    if (plan.writes.isEmpty()) {
        plan.error = QStringLiteral("the drive is too small for a GPT");
    }
    settle_sector0(layout.existing, sector0, sector_bytes, &plan);
    return plan;
}

// The partitions found in the free space of the extended partition on the drive (its
// chain broke before them, or never held them) appended to its chain of extended boot
// records: a new record in the first free sector behind the last logical partition that
// holds (the extended partition's first sector when none does), linked from the record
// before it. Only the link entry of that record changes; every logical entry that holds
// stays byte for byte. The records to write go to plan->writes in ascending order.
void append_logicals(const existing_table_s& existing, const table_entry_s& container,
                     const QList<partition_item_s>& inside, std::uint32_t sector_bytes,
                     std::uint32_t heads, std::uint32_t sectors_per_track, table_plan_s* plan) {
    const table_entry_s* last_live = nullptr;
    for (const table_entry_s& e : existing.entries) {
        if (e.kind == table_entry_kind_e::logical) {
            last_live = &e;  // in chain order
        }
    }
    if (last_live && last_live->record.size() != qsizetype(sector_bytes)) {
        plan->left_out << inside;
        return;
    }
    QByteArray previous = last_live ? last_live->record : QByteArray();
    std::uint64_t previous_lba = last_live ? last_live->ebr_lba : 0;
    bool previous_new = false;
    std::uint64_t free_from = last_live ? last_live->last + 1 : container.first;
    QList<table_write_s> records;
    for (const partition_item_s& item : by_start(inside)) {
        const std::uint64_t at = free_from;  // the new record's sector
        if (item.start_sector <= at || item.end_sector > container.last ||
            item.end_sector < item.start_sector || !fits_table_entry(item) ||
            free_in_extended(existing, item.start_sector, item.end_sector) != &container ||
            item.start_sector - at > UINT32_MAX || at - container.first > UINT32_MAX) {
            plan->left_out << item;
            continue;
        }
        QByteArray sector(qsizetype(sector_bytes), '\0');
        auto* record = reinterpret_cast<std::uint8_t*>(sector.data());
        write_table_entry(record + mbr_table_offset, item, false, heads, sectors_per_track);
        put_le32(record + mbr_table_offset + 8, std::uint32_t(item.start_sector - at));
        record[510] = 0x55;
        record[511] = 0xAA;
        if (!previous.isEmpty()) {
            // The link: the next record's place from the extended partition's start, and
            // the sectors up to the end of its logical partition.
            partition_item_s link;
            link.partition_type = 0x05;
            link.start_sector = at;
            link.end_sector = item.end_sector;
            auto* entry = reinterpret_cast<std::uint8_t*>(previous.data()) + mbr_table_offset +
                          mbr_entry_bytes;
            write_table_entry(entry, link, false, heads, sectors_per_track);
            put_le32(entry + 8, std::uint32_t(at - container.first));
            records << table_write_s{previous_lba, previous};
        }
        previous = sector;
        previous_lba = at;
        previous_new = true;
        free_from = item.end_sector + 1;
        partition_item_s added = item;
        added.logical = true;
        plan->added << added;
    }
    if (previous_new) {
        records << table_write_s{previous_lba, previous};
    }
    std::sort(records.begin(), records.end(),
              [](const table_write_s& a, const table_write_s& b) { return a.lba < b.lba; });
    plan->writes << records;
}

table_plan_s plan_mbr(const disk_layout_s& layout, const QList<partition_item_s>& found,
                      const QByteArray& sector0, std::uint32_t heads,
                      std::uint32_t sectors_per_track) {
    table_plan_s plan;
    plan.scheme = QStringLiteral("mbr");
    const existing_table_s& existing = layout.existing;
    const bool keep_table = existing.scheme == QLatin1String("mbr");
    // The record is the first 512 bytes of sector 0; the rest of a larger sector stays.
    const qsizetype sector_bytes = layout.sector_bytes;
    QByteArray record = sector0.size() == sector_bytes ? sector0 : QByteArray(sector_bytes, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(record.data());
    bool used[mbr_entries] = {};
    bool active = false;
    QList<range_s> taken;
    if (keep_table) {
        // Every entry that holds stays byte for byte in its slot; a refused one is cleared.
        for (const table_entry_s& e : existing.entries) {
            if (e.kind == table_entry_kind_e::primary || e.kind == table_entry_kind_e::extended) {
                used[e.slot] = true;
                active |= e.active;
                taken << range_s{e.first, e.last};
            }
        }
        for (const partition_item_s& item : found) {
            if (item.from_table) {
                plan.kept << item;
            }
        }
        for (const table_entry_s& e : existing.refused) {
            std::memset(bytes + mbr_table_offset + e.slot * mbr_entry_bytes, 0, mbr_entry_bytes);
            plan.removed << item_of(e, layout.sector_bytes);
        }
    } else {
        std::memset(bytes + mbr_table_offset, 0, mbr_entries * mbr_entry_bytes);
    }
    // What the search found outside the table: primaries, the logical partitions of a
    // surviving chain of extended boot records under one extended entry, and those in the
    // free space of the extended partition on the drive.
    QList<partition_item_s> candidates;
    QList<partition_item_s> logical;
    QList<partition_item_s> inside;
    const table_entry_s* container = nullptr;
    for (const partition_item_s& item : additions(found)) {
        if (const table_entry_s* holder =
                keep_table ? free_in_extended(existing, item.start_sector, item.end_sector)
                           : nullptr) {
            container = holder;
            inside << item;
            continue;
        }
        const bool in_chain = layout.extended_first != 0 && item.logical &&
                              item.start_sector > layout.extended_first &&
                              item.end_sector <= layout.extended_last;
        (in_chain ? logical : candidates) << item;
    }
    if (layout.extended_first != 0 && !logical.isEmpty()) {
        partition_item_s extended;
        extended.fs_name = QStringLiteral("extended");
        extended.partition_type = 0x0F;
        extended.start_sector = layout.extended_first;
        extended.end_sector = layout.extended_last;
        extended.sector_bytes = layout.sector_bytes;
        candidates << extended;
        candidates = by_start(candidates);
    }
    // Our boot loader goes only into a record without code of its own; it starts the
    // active entry, so the first entry added is made active when no entry is.
    const bool own_loader = !existing.mbr_code;
    int slot = 0;
    for (const partition_item_s& item : candidates) {
        while (slot < mbr_entries && used[slot]) {
            ++slot;
        }
        const bool is_extended =
            item.partition_type == 0x0F && item.fs_name == QLatin1String("extended");
        if (slot == mbr_entries || !fits_table_entry(item) ||
            overlaps_any(taken, item.start_sector, item.end_sector)) {
            plan.left_out << (is_extended ? logical : QList<partition_item_s>{item});
            continue;
        }
        const bool make_active = own_loader && !active;
        write_table_entry(bytes + mbr_table_offset + slot * mbr_entry_bytes, item, make_active,
                          heads, sectors_per_track);
        active |= make_active;
        used[slot] = true;
        taken << range_s{item.start_sector, item.end_sector};
        plan.added << (is_extended ? logical : QList<partition_item_s>{item});
    }
    // Sector 0 is written only when one of its entries changes: logical partitions added to
    // a chain leave it (and a record without code) as it is.
    const bool sector0_changes = !plan.added.isEmpty() || !plan.removed.isEmpty();
    QList<table_write_s> records;
    if (container) {
        table_plan_s chain;
        append_logicals(existing, *container, inside, layout.sector_bytes, heads, sectors_per_track,
                        &chain);
        plan.added << chain.added;
        plan.left_out << chain.left_out;
        records = chain.writes;
    }
    if (plan.added.isEmpty() && plan.removed.isEmpty()) {
        plan.error = keep_table ? QStringLiteral("no found partition fits a free table entry")
                                : QStringLiteral("no found partition fits a table entry");
        return plan;
    }
    plan.described = plan.kept + plan.added;
    if (sector0_changes) {
        if (own_loader) {
            std::memcpy(bytes, mbr_boot_code, mbr_code_bytes);
        }
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        plan.writes << table_write_s{0, record};
    }
    plan.writes << records;
    return plan;
}

}  // namespace

QString repair_not_needed(const disk_layout_s& layout, const QList<partition_item_s>& found) {
    const existing_table_s& existing = layout.existing;
    if (!existing.intact || !additions(found).isEmpty()) {
        return {};
    }
    const QList<table_entry_s> parts = existing.partitions();
    if (existing.confirmed_count() == parts.size()) {
        return QStringLiteral(
            "the partition table holds and every entry is confirmed; nothing "
            "to repair");
    }
    return QStringLiteral(
        "the partition table holds and nothing was found outside its "
        "entries; nothing to repair");
}

QByteArray new_gpt_array(const QList<partition_item_s>& found, std::uint64_t drive_sectors,
                         QList<partition_item_s>* described, QList<partition_item_s>* left_out,
                         std::uint32_t sector_bytes) {
    QByteArray array;
    const std::uint64_t first = gpt_first_usable_standard(sector_bytes);
    const std::uint64_t last = gpt_last_usable_standard(drive_sectors, sector_bytes);
    std::uint64_t free_from = first;
    for (const partition_item_s& item : by_start(found)) {
        const bool fits = item.start_sector >= free_from && item.end_sector <= last &&
                          item.start_sector <= item.end_sector &&
                          array.size() < qsizetype(gpt_standard_entries * gpt_standard_entry_bytes);
        if (!fits) {
            *left_out << item;
            continue;
        }
        QByteArray bytes;
        *described << new_gpt_entry(item, &bytes);
        array += bytes;
        free_from = item.end_sector + 1;
    }
    array.append(QByteArray(
        qsizetype(gpt_standard_entries * gpt_standard_entry_bytes) - array.size(), '\0'));
    return array;
}

table_plan_s plan_table(const disk_layout_s& layout, const QList<partition_item_s>& found,
                        std::uint64_t drive_sectors, const QByteArray& sector0, std::uint32_t heads,
                        std::uint32_t sectors_per_track) {
    if (found.isEmpty()) {
        table_plan_s plan;
        plan.error = QStringLiteral("no partition was found");
        return plan;
    }
    return layout.scheme == QLatin1String("gpt")
               ? plan_gpt(layout, found, drive_sectors, sector0)
               : plan_mbr(layout, found, sector0, heads, sectors_per_track);
}
