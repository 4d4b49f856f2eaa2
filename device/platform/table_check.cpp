#include "table_check.h"

#include "disk_crc.h"
#include "sector_write.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

namespace platform {
namespace {

using sector_t = std::vector<std::uint8_t>;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint64_t le64(const std::uint8_t* p) {
    return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32;
}

bool is_extended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

// A FAT, exFAT or NTFS boot sector: a file system that starts at this sector.
bool file_system_boot_sector(const std::uint8_t* s) {
    return std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0 ||
           std::memcmp(s + 54, "FAT12   ", 8) == 0 || std::memcmp(s + 54, "FAT16   ", 8) == 0 ||
           std::memcmp(s + 82, "FAT32   ", 8) == 0;
}

struct range_s {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// The table a view of the drive holds: the sectors that belong to it and the partitions
// it describes. `problem` says why the view holds no valid table where one is needed.
struct table_view_s {
    bool mbr = false;                    // sector 0 is a master boot record
    bool gpt_entry = false;              // ... with a type 0xEE entry
    std::set<std::uint64_t> sectors;     // sector 0, extended boot records, GPT headers, arrays
    std::set<std::uint64_t> gpt_arrays;  // the entry-array sectors among them
    std::vector<range_s> partitions;     // never the extended containers
    std::string problem;
};

class view_c {
  public:
    view_c(const std::map<std::uint64_t, const sector_t*>& overlay, const old_sector_f& old,
           std::uint64_t drive_sectors, std::uint32_t sector_bytes)
        : overlay_(overlay),
          old_(old),
          drive_sectors_(drive_sectors),
          sector_bytes_(sector_bytes) {}

    // `out` holds bytes() bytes.
    bool read(std::uint64_t lba, std::uint8_t* out) const {
        if (lba >= drive_sectors_) {
            return false;
        }
        if (const auto at = overlay_.find(lba); at != overlay_.end()) {
            std::memcpy(out, at->second->data(), sector_bytes_);
            return true;
        }
        return old_(lba, out);
    }
    std::uint64_t sectors() const { return drive_sectors_; }
    std::uint32_t bytes() const { return sector_bytes_; }
    sector_t sector() const { return sector_t(sector_bytes_); }

  private:
    const std::map<std::uint64_t, const sector_t*>& overlay_;
    const old_sector_f& old_;
    std::uint64_t drive_sectors_;
    std::uint32_t sector_bytes_;
};

void walk_chain(const view_c& view, const range_s& container, table_view_s* t) {
    std::uint64_t lba = container.first;
    std::uint64_t after = container.first;
    for (int n = 0; n < 128; ++n) {
        sector_t s = view.sector();
        if (!view.read(lba, s.data()) || s[510] != 0x55 || s[511] != 0xAA ||
            !all_zero(s.data() + 446 + 32, 32)) {
            t->problem =
                "the chain of extended boot records breaks at sector " + std::to_string(lba);
            return;
        }
        t->sectors.insert(lba);
        const std::uint8_t* logical = s.data() + 446;
        const std::uint8_t* link = logical + 16;
        if (logical[4] == 0) {
            return;  // an empty extended partition
        }
        const std::uint64_t first = lba + le32(logical + 8);
        const std::uint64_t count = le32(logical + 12);
        if (le32(logical + 8) == 0 || count == 0 || first < after ||
            first + count - 1 > container.last) {
            t->problem = "a logical partition of the record at sector " + std::to_string(lba) +
                         " lies outside its extended partition";
            return;
        }
        t->partitions.push_back({first, first + count - 1});
        after = first + count;
        if (link[4] == 0) {
            return;
        }
        const std::uint64_t next = container.first + le32(link + 8);
        if (!is_extended(link[4]) || next < after || next > container.last) {
            t->problem = "the extended boot record at sector " + std::to_string(lba) +
                         " links outside its extended partition";
            return;
        }
        lba = next;
    }
    t->problem = "the chain of extended boot records is too long";
}

void read_mbr(const view_c& view, table_view_s* t) {
    sector_t s = view.sector();
    if (!view.read(0, s.data()) || s[510] != 0x55 || s[511] != 0xAA ||
        file_system_boot_sector(s.data())) {
        t->problem = "sector 0 would not be a master boot record";
        return;
    }
    std::vector<range_s> primaries;
    std::vector<range_s> containers;
    int gpt_entries = 0;
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t* e = s.data() + 446 + 16 * k;
        if (e[4] == 0) {
            continue;
        }
        if (e[0] != 0 && e[0] != 0x80) {
            t->problem = "entry " + std::to_string(k + 1) + " of sector 0 has a bad status byte";
            return;
        }
        const std::uint64_t first = le32(e + 8);
        const std::uint64_t count = le32(e + 12);
        if (e[4] == 0xEE) {
            ++gpt_entries;
            continue;
        }
        if (first == 0 || count == 0 || first + count > view.sectors()) {
            t->problem = "entry " + std::to_string(k + 1) + " of sector 0 lies outside the drive";
            return;
        }
        const range_s r{first, first + count - 1};
        for (const range_s& other : primaries) {
            if (r.first <= other.last && other.first <= r.last) {
                t->problem = "entries of sector 0 overlap";
                return;
            }
        }
        primaries.push_back(r);
        (is_extended(e[4]) ? containers : t->partitions).push_back(r);
    }
    if (gpt_entries > 1 || containers.size() > 1) {
        t->problem = "sector 0 holds more than one GPT or extended entry";
        return;
    }
    t->mbr = true;
    t->gpt_entry = gpt_entries == 1;
    t->sectors.insert(0);
    for (const range_s& c : containers) {
        walk_chain(view, c, t);
    }
}

// One GPT header and its entry array, checked with their CRCs; adds its sectors and
// partitions to *t. `lba` is 1 or the last sector.
bool read_gpt(const view_c& view, std::uint64_t lba, table_view_s* t) {
    const std::uint32_t sector_bytes = view.bytes();
    sector_t h = view.sector();
    if (!view.read(lba, h.data()) || std::memcmp(h.data(), "EFI PART", 8) != 0) {
        return false;
    }
    const std::uint32_t size = le32(h.data() + 12);
    if (size < 92 || size > sector_bytes) {
        return false;
    }
    sector_t copy = h;
    std::memset(copy.data() + 16, 0, 4);
    if (crc32_ieee(copy.data(), size) != le32(h.data() + 16)) {
        return false;
    }
    const std::uint64_t last = view.sectors() - 1;
    const std::uint64_t my = le64(h.data() + 24);
    const std::uint64_t alternate = le64(h.data() + 32);
    const std::uint64_t first_usable = le64(h.data() + 40);
    const std::uint64_t last_usable = le64(h.data() + 48);
    const std::uint64_t entries_at = le64(h.data() + 72);
    const std::uint64_t count = le32(h.data() + 80);
    const std::uint64_t entry_bytes = le32(h.data() + 84);
    const std::uint64_t array_bytes = count * entry_bytes;
    const std::uint64_t n = (array_bytes + sector_bytes - 1) / sector_bytes;
    if (my != lba || alternate != (lba == 1 ? last : 1) || first_usable > last_usable ||
        last_usable >= last || entry_bytes < 128 || entry_bytes % 8 != 0 || count == 0 || n == 0 ||
        n > max_checked_array_sectors || entries_at < 2 || entries_at + n > view.sectors()) {
        return false;
    }
    const bool outside = lba == 1 ? entries_at + n - 1 < first_usable
                                  : entries_at > last_usable && entries_at + n - 1 < last;
    if (!outside) {
        return false;
    }
    std::vector<std::uint8_t> array(n * sector_bytes);
    for (std::uint64_t i = 0; i < n; ++i) {
        if (!view.read(entries_at + i, array.data() + i * sector_bytes)) {
            return false;
        }
    }
    if (crc32_ieee(array.data(), array_bytes) != le32(h.data() + 88)) {
        return false;
    }
    t->sectors.insert(lba);
    for (std::uint64_t i = 0; i < n; ++i) {
        t->sectors.insert(entries_at + i);
        t->gpt_arrays.insert(entries_at + i);
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* e = array.data() + i * entry_bytes;
        if (!all_zero(e, 16)) {
            t->partitions.push_back({le64(e + 32), le64(e + 40)});
        }
    }
    return true;
}

table_view_s read_view(const view_c& view) {
    table_view_s t;
    read_mbr(view, &t);
    if (view.sectors() > 2) {
        read_gpt(view, 1, &t);
        read_gpt(view, view.sectors() - 1, &t);
    }
    return t;
}

// A sector whose records could be GPT entries: each unused, or a range inside the drive.
bool looks_like_entries(const sector_t& s, std::uint64_t drive_sectors) {
    for (std::size_t at = 0; at + 128 <= s.size(); at += 128) {
        const std::uint8_t* e = s.data() + at;
        if (all_zero(e, 16)) {
            continue;
        }
        const std::uint64_t first = le64(e + 32);
        const std::uint64_t last = le64(e + 40);
        if (first > last || last >= drive_sectors) {
            return false;
        }
    }
    return true;
}

bool inside(const std::vector<range_s>& ranges, std::uint64_t lba) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [lba](const range_s& r) { return lba >= r.first && lba <= r.last; });
}

}  // namespace

std::string check_table_writes(const std::vector<sector_write_s>& writes, write_kind_e kind,
                               std::uint64_t drive_sectors, const old_sector_f& old_sector,
                               std::uint32_t sector_bytes) {
    if (sector_bytes != write_sector_bytes && sector_bytes != max_write_sector_bytes) {
        return "the sector size is neither 512 nor 4096 bytes";
    }
    std::map<std::uint64_t, const sector_t*> overlay;
    for (const sector_write_s& w : writes) {
        if (w.bytes.size() != sector_bytes) {
            return "sector " + std::to_string(w.lba) + " is not one whole sector";
        }
        overlay[w.lba] = &w.bytes;
    }
    const std::map<std::uint64_t, const sector_t*> nothing;
    const table_view_s before = read_view(view_c(nothing, old_sector, drive_sectors, sector_bytes));
    const table_view_s after = read_view(view_c(overlay, old_sector, drive_sectors, sector_bytes));
    const table_view_s& judged = kind == write_kind_e::table ? after : before;
    if (kind == write_kind_e::table) {
        if (!after.mbr || !after.problem.empty()) {
            return after.problem.empty() ? "sector 0 would not be a master boot record"
                                         : after.problem;
        }
        const bool any_gpt =
            std::any_of(writes.begin(), writes.end(), [&](const sector_write_s& w) {
                return after.gpt_arrays.count(w.lba) ||
                       ((w.lba == 1 || w.lba == drive_sectors - 1) && after.sectors.count(w.lba));
            });
        if (any_gpt && !after.gpt_entry) {
            return "a GPT is written behind a sector 0 without a GPT entry";
        }
    }
    for (const sector_write_s& w : writes) {
        const std::string where = "sector " + std::to_string(w.lba);
        if (!judged.sectors.count(w.lba)) {
            return where + (kind == write_kind_e::table
                                ? " is not a sector of a valid partition table at its place"
                                : " is not a sector of the partition table now on the drive");
        }
        if (inside(before.partitions, w.lba) || inside(after.partitions, w.lba)) {
            return where + " lies inside a partition";
        }
        if (kind == write_kind_e::undo) {
            continue;
        }
        sector_t old(sector_bytes);
        if (!old_sector(w.lba, old.data())) {
            return where + " cannot be read";
        }
        if (w.lba == 0) {
            if (file_system_boot_sector(old.data())) {
                return "sector 0 holds a file system's boot sector";
            }
            continue;
        }
        const bool replaceable =
            all_zero(old.data(), old.size()) || before.sectors.count(w.lba) ||
            ((w.lba == 1 || w.lba == drive_sectors - 1) &&
             std::memcmp(old.data(), "EFI PART", 8) == 0) ||
            (after.gpt_arrays.count(w.lba) && looks_like_entries(old, drive_sectors)) ||
            (!after.gpt_arrays.count(w.lba) && old[510] == 0x55 && old[511] == 0xAA &&
             !file_system_boot_sector(old.data()));
        if (!replaceable) {
            return where + " holds data that is not a partition table";
        }
    }
    return {};
}

}  // namespace platform
