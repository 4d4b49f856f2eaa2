#include "master_boot_record.h"

#include "mbr_boot_code.h"

#include <cstring>

namespace {

void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

void encode_chs(std::uint64_t sector, std::uint32_t heads, std::uint32_t sectors_per_track,
                std::uint8_t* out) {
    if (heads == 0 || sectors_per_track == 0) {
        heads = 255;
        sectors_per_track = 63;
    }
    // The low 32 bits of the sector number, taken unsigned: past 2^31 sectors a signed
    // value would give negative heads and sectors.
    const auto lba = static_cast<std::uint32_t>(sector);
    const std::uint32_t cylinder = lba / sectors_per_track / heads;
    const std::uint32_t head = (lba / sectors_per_track) % heads;
    const std::uint32_t sector_1 = lba % sectors_per_track + 1;
    out[0] = static_cast<std::uint8_t>(head);
    out[1] = static_cast<std::uint8_t>((sector_1 & 0x3F) | ((cylinder >> 2) & 0xC0));
    out[2] = static_cast<std::uint8_t>(cylinder);
}

bool fits_table_entry(const partition_item_s& item) {
    return item.end_sector >= item.start_sector && item.start_sector <= UINT32_MAX &&
           item.end_sector - item.start_sector < UINT32_MAX;
}

void write_table_entry(std::uint8_t* entry, const partition_item_s& item, bool active,
                       std::uint32_t heads, std::uint32_t sectors_per_track) {
    entry[0] = active ? 0x80 : 0x00;
    encode_chs(item.start_sector, heads, sectors_per_track, entry + 1);
    entry[4] = static_cast<std::uint8_t>(item.partition_type);
    encode_chs(item.end_sector, heads, sectors_per_track, entry + 5);
    put_le32(entry + 8, static_cast<std::uint32_t>(item.start_sector));
    put_le32(entry + 12, static_cast<std::uint32_t>(item.end_sector - item.start_sector + 1));
}

int build_master_boot_record(std::uint8_t* record, const QList<partition_item_s>& found,
                             std::uint32_t heads, std::uint32_t sectors_per_track,
                             QList<partition_item_s>* left_out) {
    std::memcpy(record, mbr_boot_code, mbr_code_bytes);
    std::memset(record + mbr_table_offset, 0, mbr_entries * mbr_entry_bytes);
    int filled = 0;
    for (const partition_item_s& item : found) {
        if (filled == mbr_entries) {
            break;
        }
        if (!fits_table_entry(item)) {
            if (left_out) {
                *left_out << item;
            }
            continue;
        }
        std::uint8_t* entry = record + mbr_table_offset + filled * mbr_entry_bytes;
        // Only the first entry is active; a second active one would make the loader refuse
        // the table.
        write_table_entry(entry, item, filled == 0, heads, sectors_per_track);
        ++filled;
    }
    record[510] = 0x55;
    record[511] = 0xAA;
    return filled;
}
