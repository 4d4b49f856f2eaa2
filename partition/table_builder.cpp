#include "table_builder.h"

#include "master_boot_record.h"

#include <algorithm>

namespace {

QList<partition_item_s> by_start(QList<partition_item_s> items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const partition_item_s& a, const partition_item_s& b) {
                         return a.start_sector < b.start_sector;
                     });
    return items;
}

table_plan_s plan_gpt(const disk_layout_s& layout, const QList<partition_item_s>& found,
                      std::uint64_t drive_sectors) {
    table_plan_s plan;
    plan.scheme = QStringLiteral("gpt");
    if (!layout.gpt.entries.isEmpty()) {
        const gpt_header_s& h = layout.gpt.header;
        plan.writes = build_gpt(drive_sectors, h.disk_guid, h.first_usable, h.last_usable,
                                h.entry_count, h.entry_bytes, layout.gpt.array);
        if (plan.writes.isEmpty()) {
            plan.error = QStringLiteral(
                "the surviving GPT does not fit a standard layout on "
                "this drive");
            return plan;
        }
        plan.restored = true;
        for (const partition_item_s& item : found) {
            (item.from_table ? plan.described : plan.left_out) << item;
        }
        return plan;
    }
    const QByteArray array = new_gpt_array(found, drive_sectors, &plan.described, &plan.left_out);
    if (plan.described.isEmpty()) {
        plan.error = QStringLiteral("no found partition fits inside a GPT's usable sectors");
        return plan;
    }
    plan.writes = build_gpt(drive_sectors, random_guid_bytes(), gpt_first_usable_standard(),
                            gpt_last_usable_standard(drive_sectors), gpt_standard_entries,
                            gpt_standard_entry_bytes, array);
    if (plan.writes.isEmpty()) {
        plan.error = QStringLiteral("the drive is too small for a GPT");
    }
    return plan;
}

table_plan_s plan_mbr(const disk_layout_s& layout, const QList<partition_item_s>& found,
                      const QByteArray& sector0, std::uint32_t heads,
                      std::uint32_t sectors_per_track) {
    table_plan_s plan;
    plan.scheme = QStringLiteral("mbr");
    QList<partition_item_s> entries;
    QList<partition_item_s> logical;
    for (const partition_item_s& item : by_start(found)) {
        const bool in_chain = layout.extended_first != 0 && item.logical &&
                              item.start_sector > layout.extended_first &&
                              item.end_sector <= layout.extended_last;
        (in_chain ? logical : entries) << item;
    }
    if (layout.extended_first != 0) {
        partition_item_s extended;
        extended.fs_name = QStringLiteral("extended");
        extended.partition_type = 0x0F;
        extended.start_sector = layout.extended_first;
        extended.end_sector = layout.extended_last;
        entries << extended;
        entries = by_start(entries);
    }
    QByteArray record = sector0.size() == 512 ? sector0 : QByteArray(512, '\0');
    QList<partition_item_s> left;
    const int filled = build_master_boot_record(reinterpret_cast<std::uint8_t*>(record.data()),
                                                entries, heads, sectors_per_track, &left);
    if (filled == 0) {
        plan.error = QStringLiteral("no found partition fits a table entry");
        return plan;
    }
    // The builder fills the first four that fit; the rest stay out.
    int taken = 0;
    for (const partition_item_s& item : entries) {
        const bool fits = fits_table_entry(item);
        if (fits && taken < mbr_entries) {
            ++taken;
            if (item.partition_type == 0x0F && item.fs_name == QLatin1String("extended")) {
                plan.described << logical;
            } else {
                plan.described << item;
            }
        } else {
            plan.left_out << item;
        }
    }
    plan.writes << table_write_s{0, record};
    return plan;
}

}  // namespace

QByteArray new_gpt_array(const QList<partition_item_s>& found, std::uint64_t drive_sectors,
                         QList<partition_item_s>* described, QList<partition_item_s>* left_out) {
    QByteArray array;
    const std::uint64_t first = gpt_first_usable_standard();
    const std::uint64_t last = gpt_last_usable_standard(drive_sectors);
    std::uint64_t free_from = first;
    for (const partition_item_s& item : by_start(found)) {
        const bool fits = item.start_sector >= free_from && item.end_sector <= last &&
                          item.start_sector <= item.end_sector &&
                          array.size() < qsizetype(gpt_standard_entries * gpt_standard_entry_bytes);
        if (!fits) {
            *left_out << item;
            continue;
        }
        partition_item_s entry = item;
        if (entry.type_guid.isEmpty()) {
            std::int32_t type = 0;
            fs_table_types(entry.fs_name, &type, &entry.type_guid);
        }
        const QByteArray unique = random_guid_bytes();
        entry.unique_guid = guid_text(unique);
        entry.name = entry.fs_name;
        array += gpt_entry_bytes(guid_bytes(entry.type_guid), unique, entry.start_sector,
                                 entry.end_sector, 0, entry.name);
        *described << entry;
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
               ? plan_gpt(layout, found, drive_sectors)
               : plan_mbr(layout, found, sector0, heads, sectors_per_track);
}
