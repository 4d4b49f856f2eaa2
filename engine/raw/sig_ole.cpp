// Compound files (OLE2: legacy Word, Excel and PowerPoint documents, Outlook messages,
// Windows Installer packages). The header names the sectors of the allocation table (the
// first 109 itself, the rest through a chain of DIFAT sectors); the file ends after the last
// sector the table marks as used. The directory, a chain of sectors, names the streams: the
// root storage's children tell the kind of document. The file is vouched for whole when every
// stream's chain (of sectors, or of 64-byte mini sectors inside the root's mini stream) runs
// inside the file, is as long as the stream, and ends where the table says.
#include "sig_format.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace sig {
namespace {

constexpr std::uint32_t end_of_chain = 0xFFFFFFFE;
constexpr std::uint32_t free_sector = 0xFFFFFFFF;
constexpr std::uint32_t fat_sector = 0xFFFFFFFD;
constexpr std::uint32_t difat_sector = 0xFFFFFFFC;
constexpr std::uint32_t last_regular = 0xFFFFFFFA;
constexpr std::size_t max_entries = 1u << 16;  // directory entries read

struct entry_s {
    std::u16string name;
    std::uint8_t type = 0;  // 1 storage, 2 stream, 5 root
    std::uint32_t left = free_sector;
    std::uint32_t right = free_sector;
    std::uint32_t child = free_sector;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
    std::uint8_t clsid[16] = {};
};

// The chain from first through table: its sectors in order; false when it leaves the table,
// loops, or does not end after exactly count sectors (count 0: any length).
bool follow(const std::vector<std::uint32_t>& table, std::uint32_t first, std::uint64_t count,
            std::vector<std::uint32_t>* chain) {
    chain->clear();
    for (std::uint32_t s = first; s != end_of_chain;) {
        if (s > last_regular || s >= table.size() || chain->size() >= table.size() ||
            (count != 0 && chain->size() >= count)) {
            return false;
        }
        chain->push_back(s);
        s = table[s];
    }
    return count == 0 || chain->size() == count;
}

bool named(const entry_s& e, const char* ascii, bool prefix = false) {
    const std::size_t n = std::strlen(ascii);
    if (e.name.size() < n || (!prefix && e.name.size() != n)) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (e.name[i] != static_cast<unsigned char>(ascii[i])) {
            return false;
        }
    }
    return true;
}

// The kind of document from the root storage's children (a binary tree of siblings).
const char* ole_kind(const std::vector<entry_s>& entries) {
    static const std::uint8_t msi_class[16] = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    if (std::memcmp(entries[0].clsid, msi_class, 16) == 0) {
        return "msi";
    }
    bool word = false, excel = false, powerpoint = false, message = false, installer = false;
    std::vector<std::uint32_t> pending{entries[0].child};
    std::set<std::uint32_t> seen;
    while (!pending.empty()) {
        const std::uint32_t i = pending.back();
        pending.pop_back();
        if (i >= entries.size() || !seen.insert(i).second) {
            continue;
        }
        const entry_s& e = entries[i];
        word = word || named(e, "WordDocument");
        excel = excel || named(e, "Workbook") || named(e, "Book");
        powerpoint = powerpoint || named(e, "PowerPoint Document");
        message = message || named(e, "__substg1.0_", true);
        // Installer tables' stream names are packed into the CJK block from U+3800, and the
        // table names begin with U+4840.
        installer = installer || (!e.name.empty() && e.name[0] == 0x4840);
        pending.push_back(e.left);
        pending.push_back(e.right);
    }
    return message      ? "msg"
           : installer  ? "msi"
           : word       ? "doc"
           : powerpoint ? "ppt"
           : excel      ? "xls"
                        : "ole";
}

}  // namespace

found_s measure_ole(window_c& w) {
    const std::uint8_t* h = w.at(0, 512);
    if (!h) {
        return {};
    }
    std::uint8_t header[512];
    std::memcpy(header, h, 512);
    const std::uint16_t major = le16(header + 0x1A);
    const std::uint16_t shift = le16(header + 0x1E);
    if (le16(header + 0x1C) != 0xFFFE ||
        !((major == 3 && shift == 9) || (major == 4 && shift == 12)) || le16(header + 0x20) != 6 ||
        le32(header + 0x38) != 4096) {
        return {};
    }
    const std::uint64_t sector = 1ull << shift;
    const std::uint64_t sectors_in_bound = w.bound() / sector;  // the header's sector too
    const std::uint32_t fat_count = le32(header + 0x2C);
    const std::uint32_t difat_count = le32(header + 0x48);
    const std::uint32_t per_sector = static_cast<std::uint32_t>(sector / 4);
    // A table larger than the sectors the window can hold is not one.
    if (fat_count == 0 || fat_count > sectors_in_bound / per_sector + 1 ||
        difat_count > fat_count) {
        return {};
    }
    // The allocation table's sectors: 109 in the header, the rest in the DIFAT chain.
    std::vector<std::uint32_t> fat_sectors;
    std::vector<std::uint32_t> difat_sectors;
    for (std::uint32_t i = 0; i < 109 && fat_sectors.size() < fat_count; ++i) {
        fat_sectors.push_back(le32(header + 0x4C + 4 * i));
    }
    for (std::uint32_t d = le32(header + 0x44); fat_sectors.size() < fat_count;) {
        if (d > last_regular || d + 1 >= sectors_in_bound || difat_sectors.size() >= difat_count) {
            return {};
        }
        difat_sectors.push_back(d);
        const std::uint8_t* p = w.at((d + 1ull) * sector, static_cast<std::size_t>(sector));
        if (!p) {
            return {};
        }
        for (std::uint32_t i = 0; i + 1 < per_sector && fat_sectors.size() < fat_count; ++i) {
            fat_sectors.push_back(le32(p + 4 * i));
        }
        d = le32(p + sector - 4);
    }
    std::vector<std::uint32_t> fat;
    fat.reserve(static_cast<std::size_t>(fat_count) * per_sector);
    for (const std::uint32_t s : fat_sectors) {
        if (s > last_regular || s + 1ull >= sectors_in_bound) {
            return {};
        }
        const std::uint8_t* p = w.at((s + 1ull) * sector, static_cast<std::size_t>(sector));
        if (!p) {
            return {};
        }
        for (std::uint32_t i = 0; i < per_sector; ++i) {
            fat.push_back(le32(p + 4 * i));
        }
    }
    // The table marks its own sectors and the DIFAT's.
    for (const std::uint32_t s : fat_sectors) {
        if (s >= fat.size() || fat[s] != fat_sector) {
            return {};
        }
    }
    for (const std::uint32_t s : difat_sectors) {
        if (s >= fat.size() || fat[s] != difat_sector) {
            return {};
        }
    }
    std::uint64_t used = 0;  // sectors after the header
    for (std::size_t i = fat.size(); i > 0; --i) {
        if (fat[i - 1] != free_sector) {
            used = i;
            break;
        }
    }
    const std::uint64_t size = (used + 1) * sector;
    if (size > w.bound()) {
        return {};
    }
    fat.resize(static_cast<std::size_t>(used));  // sectors past the file's end are not in it
    // The directory.
    std::vector<std::uint32_t> chain;
    if (!follow(fat, le32(header + 0x30), 0, &chain)) {
        return {};
    }
    std::vector<entry_s> entries;
    for (const std::uint32_t s : chain) {
        const std::uint8_t* p = w.at((s + 1ull) * sector, static_cast<std::size_t>(sector));
        if (!p) {
            return {};
        }
        for (std::uint64_t off = 0; off < sector && entries.size() < max_entries; off += 128) {
            const std::uint8_t* d = p + off;
            entry_s e;
            const std::uint16_t name_bytes = le16(d + 0x40);
            e.type = d[0x42];
            if (name_bytes > 64 || name_bytes % 2 != 0 || e.type > 5) {
                return {};
            }
            for (std::uint16_t i = 0; i + 2 < name_bytes; i += 2) {  // without its NUL
                e.name.push_back(static_cast<char16_t>(le16(d + i)));
            }
            e.left = le32(d + 0x44);
            e.right = le32(d + 0x48);
            e.child = le32(d + 0x4C);
            std::memcpy(e.clsid, d + 0x50, 16);
            e.start = le32(d + 0x74);
            e.size = major == 3 ? le32(d + 0x78) : le64(d + 0x78);
            entries.push_back(std::move(e));
        }
    }
    if (entries.empty() || entries[0].type != 5) {
        return {};
    }
    const char* kind = ole_kind(entries);
    // Every stream's chain inside the file and as long as the stream.
    bool whole = true;
    const entry_s& root = entries[0];
    std::vector<std::uint32_t> mini_chain;
    std::vector<std::uint32_t> mini_fat;
    if (root.size > 0) {
        whole = follow(fat, root.start, (root.size + sector - 1) / sector, &mini_chain);
        std::vector<std::uint32_t> mini_fat_chain;
        const std::uint32_t mini_fat_first = le32(header + 0x3C);
        if (whole && mini_fat_first != end_of_chain) {
            whole = follow(fat, mini_fat_first, le32(header + 0x40), &mini_fat_chain);
        }
        for (const std::uint32_t s : mini_fat_chain) {
            const std::uint8_t* p = w.at((s + 1ull) * sector, static_cast<std::size_t>(sector));
            if (!p) {
                return {};
            }
            for (std::uint32_t i = 0; i < per_sector; ++i) {
                mini_fat.push_back(le32(p + 4 * i));
            }
        }
        mini_fat.resize(std::min<std::size_t>(mini_fat.size(), (root.size + 63) / 64));
    }
    for (std::size_t i = 1; i < entries.size() && whole; ++i) {
        const entry_s& e = entries[i];
        if (e.type != 2 || e.size == 0) {
            continue;
        }
        if (e.size < 4096) {
            whole = follow(mini_fat, e.start, (e.size + 63) / 64, &chain);
        } else {
            whole = e.size <= size && follow(fat, e.start, (e.size + sector - 1) / sector, &chain);
        }
    }
    return {size, kind, whole};
}

}  // namespace sig
