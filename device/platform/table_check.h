#pragma once
// What the sector writer accepts: partition-table sectors at their places, nothing else.
// Checked on the descriptor that writes, over the drive as it is and as it would be after
// the write, so that no caller can have a file system, a file or any other sector written.
//
// A repair (write_kind_e::table) may write sector 0, which must then hold a master boot
// record (0x55 0xAA, entries inside the drive that do not overlap, at most one GPT
// entry), extended boot records where the new chain puts them, and GPT headers at sector
// 1 and the last sector with correct CRCs, their entry arrays where the headers say.
// An undo (write_kind_e::undo) may write back only sectors that the table now on the
// drive holds: what a repair wrote there. Neither writes inside a partition of the table
// before or after the write, nor over a file system's boot sector or any sector whose
// old content is neither empty nor a partition table's. Free of Qt, for the helper.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct sector_write_s;

enum class write_kind_e { table, undo };

// Reads the logical sector `lba` (sector_bytes) as the drive holds it now; false when it
// cannot.
using old_sector_f = std::function<bool(std::uint64_t lba, std::uint8_t* out)>;

// Empty when every write may go ahead; else why not, a phrase for the user. Sector
// numbers and `drive_sectors` count logical sectors of `sector_bytes` (512 or 4096);
// every write must carry exactly one such sector. The master boot record and the
// extended boot records are the first 512 bytes of their sectors.
std::string check_table_writes(const std::vector<sector_write_s>& writes, write_kind_e kind,
                               std::uint64_t drive_sectors, const old_sector_f& old_sector,
                               std::uint32_t sector_bytes = 512);

// The GPT entry arrays this checker accepts: at most this many sectors each.
constexpr std::uint64_t max_checked_array_sectors = 64;

}  // namespace platform
