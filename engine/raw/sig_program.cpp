// Databases, programs and fonts: SQLite, PE executables, ELF and TrueType/OpenType.
#include "sig_format.h"

#include <algorithm>
#include <cstring>

namespace sig {

// SQLite 3: page size times the page count of the header, when the header says that count
// is current (its version-valid-for number equals the change counter).
found_s measure_sqlite(window_c& w) {
    const std::uint8_t* p = w.at(0, 100);
    if (!p || std::memcmp(p, "SQLite format 3", 16) != 0) {
        return {};
    }
    std::uint64_t page = be16(p + 16);
    if (page == 1) {
        page = 65536;
    }
    if (page < 512 || page > 65536 || (page & (page - 1)) || p[18] < 1 || p[18] > 2 || p[19] < 1 ||
        p[19] > 2 || p[21] != 64 || p[22] != 32 || p[23] != 32) {
        return {};
    }
    const std::uint32_t pages = be32(p + 28);
    if (pages == 0 || be32(p + 92) != be32(p + 24)) {
        return {};
    }
    const std::uint64_t size = page * pages;
    if (size > w.bound()) {
        return {};
    }
    return {size, "sqlite"};
}

// PE (Microsoft PE/COFF): the DOS header's pointer to the PE header, the optional header,
// and the section table; the file ends after the last section's raw data or the
// certificate table, whichever lies later.
found_s measure_exe(window_c& w) {
    const std::uint8_t* p = w.at(0, 64);
    if (!p || p[0] != 'M' || p[1] != 'Z') {
        return {};
    }
    const std::uint32_t pe = le32(p + 0x3C);
    if (pe < 0x40 || pe > 0x10000 || (pe & 3)) {
        return {};
    }
    const std::uint8_t* h = w.at(pe, 24 + 2);
    if (!h || std::memcmp(h, "PE\0\0", 4) != 0) {
        return {};
    }
    const std::uint16_t sections = le16(h + 6);
    const std::uint16_t optional_size = le16(h + 20);
    const std::uint16_t characteristics = le16(h + 22);
    const std::uint16_t magic = le16(h + 24);
    if (sections == 0 || sections > 96 || (magic != 0x10B && magic != 0x20B) ||
        !(characteristics & 0x0002)) {
        return {};
    }
    const std::uint8_t* o = w.at(pe + 24, optional_size);
    const std::uint32_t directories_at = magic == 0x10B ? 96 : 112;
    if (!o || optional_size < directories_at) {
        return {};
    }
    const std::uint32_t file_alignment = le32(o + 36);
    std::uint64_t end = le32(o + 60);  // SizeOfHeaders
    if (file_alignment < 512 && file_alignment != 0) {
        // small alignments exist (drivers); accepted
    }
    const std::uint32_t directory_count = le32(o + directories_at - 4);
    std::uint64_t certificate_end = 0;
    if (directory_count > 4 && directories_at + 5 * 8 <= optional_size) {
        const std::uint32_t offset = le32(o + directories_at + 4 * 8);
        const std::uint32_t size = le32(o + directories_at + 4 * 8 + 4);
        if (offset != 0 && size != 0) {
            certificate_end = static_cast<std::uint64_t>(offset) + size;
        }
    }
    const std::uint64_t table = pe + 24ull + optional_size;
    for (std::uint16_t i = 0; i < sections; ++i) {
        const std::uint8_t* s = w.at(table + 40ull * i, 40);
        if (!s) {
            return {};
        }
        const std::uint32_t raw_size = le32(s + 16);
        const std::uint32_t raw_pointer = le32(s + 20);
        if (raw_size != 0 && raw_pointer != 0) {
            end = std::max(end, static_cast<std::uint64_t>(raw_pointer) + raw_size);
        }
    }
    end = std::max<std::uint64_t>({end, certificate_end, table + 40ull * sections});
    if (end > w.bound()) {
        return {};
    }
    return {end, (characteristics & 0x2000) ? "dll" : "exe"};
}

// ELF: the program and section header tables and every segment and section with file
// contents; the file ends after the last of them.
found_s measure_elf(window_c& w) {
    const std::uint8_t* p = w.at(0, 64);
    if (!p || std::memcmp(p,
                          "\x7F"
                          "ELF",
                          4) != 0) {
        return {};
    }
    const bool wide = p[4] == 2;
    const bool big = p[5] == 2;
    if ((p[4] != 1 && p[4] != 2) || (p[5] != 1 && p[5] != 2) || p[6] != 1) {
        return {};
    }
    auto u16 = [big](const std::uint8_t* q) { return big ? be16(q) : le16(q); };
    auto u32 = [big](const std::uint8_t* q) { return big ? be32(q) : le32(q); };
    auto u64 = [big](const std::uint8_t* q) { return big ? be64(q) : le64(q); };
    auto word = [&](const std::uint8_t* q) -> std::uint64_t { return wide ? u64(q) : u32(q); };
    const std::uint64_t ph_offset = word(p + (wide ? 32 : 28));
    const std::uint64_t sh_offset = word(p + (wide ? 40 : 32));
    const std::uint16_t header_size = u16(p + (wide ? 52 : 40));
    const std::uint16_t ph_size = u16(p + (wide ? 54 : 42));
    const std::uint16_t ph_count = u16(p + (wide ? 56 : 44));
    const std::uint16_t sh_size = u16(p + (wide ? 58 : 46));
    const std::uint16_t sh_count = u16(p + (wide ? 60 : 48));
    if (header_size != (wide ? 64 : 52) || u32(p + 20) != 1 ||
        (ph_count && ph_size != (wide ? 56 : 32)) || (sh_count && sh_size != (wide ? 64 : 40)) ||
        (ph_count == 0 && sh_count == 0)) {
        return {};
    }
    std::uint64_t end = header_size;
    if (ph_count) {
        end = std::max(end, ph_offset + static_cast<std::uint64_t>(ph_count) * ph_size);
        for (std::uint16_t i = 0; i < ph_count; ++i) {
            const std::uint8_t* ph =
                w.at(ph_offset + static_cast<std::uint64_t>(i) * ph_size, ph_size);
            if (!ph) {
                return {};
            }
            const std::uint64_t offset = word(ph + (wide ? 8 : 4));
            const std::uint64_t file_size = word(ph + (wide ? 32 : 16));
            if (offset > w.bound() || file_size > w.bound() - offset) {
                return {};
            }
            end = std::max(end, offset + file_size);
        }
    }
    if (sh_count) {
        end = std::max(end, sh_offset + static_cast<std::uint64_t>(sh_count) * sh_size);
        for (std::uint16_t i = 0; i < sh_count; ++i) {
            const std::uint8_t* sh =
                w.at(sh_offset + static_cast<std::uint64_t>(i) * sh_size, sh_size);
            if (!sh) {
                return {};
            }
            const std::uint32_t type = u32(sh + 4);
            const std::uint64_t offset = word(sh + (wide ? 24 : 16));
            const std::uint64_t size = word(sh + (wide ? 32 : 20));
            if (type == 8 || type == 0) {
                continue;  // SHT_NOBITS and SHT_NULL have no bytes in the file
            }
            if (offset > w.bound() || size > w.bound() - offset) {
                return {};
            }
            end = std::max(end, offset + size);
        }
    }
    if (end > w.bound()) {
        return {};
    }
    return {end, "elf"};
}

// TrueType and OpenType (sfnt): the table directory, whose search fields must agree with
// the table count; the font ends after its last table, padded to four bytes as tables are.
found_s measure_font(window_c& w) {
    const std::uint8_t* p = w.at(0, 12);
    if (!p) {
        return {};
    }
    const std::uint32_t version = be32(p);
    const bool otf = version == 0x4F54544F;  // "OTTO"
    if (version != 0x00010000 && version != 0x74727565 && !otf) {
        return {};
    }
    const std::uint16_t tables = be16(p + 4);
    if (tables == 0 || tables > 256) {
        return {};
    }
    std::uint16_t power = 1;
    std::uint16_t selector = 0;
    while (power * 2 <= tables) {
        power *= 2;
        ++selector;
    }
    if (be16(p + 6) != power * 16 || be16(p + 8) != selector ||
        be16(p + 10) != tables * 16 - power * 16) {
        return {};
    }
    std::uint64_t end = 12 + 16ull * tables;
    for (std::uint16_t i = 0; i < tables; ++i) {
        const std::uint8_t* t = w.at(12 + 16ull * i, 16);
        if (!t) {
            return {};
        }
        for (int k = 0; k < 4; ++k) {
            if (t[k] < 0x20 || t[k] > 0x7E) {
                return {};
            }
        }
        const std::uint64_t table_end = static_cast<std::uint64_t>(be32(t + 8)) + be32(t + 12);
        end = std::max<std::uint64_t>(end, (table_end + 3) & ~3ull);
    }
    if (end > w.bound()) {
        return {};
    }
    return {end, otf ? "otf" : "ttf"};
}

}  // namespace sig

namespace sig {
namespace {

// Big-endian fields read one after another from a window; any read past it fails the rest.
class class_reader_c {
  public:
    explicit class_reader_c(window_c& w) : w_(w) {}
    std::uint32_t take(int n) {
        const std::uint8_t* p = ok_ ? w_.at(pos_, static_cast<std::size_t>(n)) : nullptr;
        if (!p) {
            ok_ = false;
            return 0;
        }
        pos_ += static_cast<std::uint64_t>(n);
        return n == 1 ? p[0] : n == 2 ? be16(p) : be32(p);
    }
    void skip(std::uint64_t n) {
        if (n > w_.bound() || pos_ > w_.bound() - n) {
            ok_ = false;
        }
        pos_ += ok_ ? n : 0;
    }
    bool ok() const { return ok_; }
    std::uint64_t pos() const { return pos_; }

  private:
    window_c& w_;
    std::uint64_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

// Java class files: CA FE BA BE (which Mach-O universal binaries share: theirs is followed by
// a small count of architectures, a class file's by a version from 45 on), the constant pool,
// the class, its interfaces, fields, methods and attributes; every name a member or attribute
// gives must be a UTF-8 constant. The file ends after its last attribute.
found_s measure_class(window_c& w) {
    class_reader_c r(w);
    if (r.take(4) != 0xCAFEBABE) {
        return {};
    }
    r.take(2);  // minor version
    const std::uint32_t major = r.take(2);
    const std::uint32_t count = r.take(2);
    if (!r.ok() || major < 45 || major > 80 || count < 2) {
        return {};
    }
    std::vector<std::uint8_t> tags(count, 0);
    std::vector<std::uint16_t> names(count, 0);  // a class constant's name
    for (std::uint32_t i = 1; i < count && r.ok(); ++i) {
        const std::uint32_t tag = r.take(1);
        tags[i] = static_cast<std::uint8_t>(tag);
        switch (tag) {
            case 1: {
                const std::uint32_t length = r.take(2);
                for (std::uint32_t k = 0; k < length && r.ok(); ++k) {
                    const std::uint32_t b = r.take(1);
                    if (b == 0 || b >= 0xF0) {  // modified UTF-8 holds neither
                        return {};
                    }
                }
                break;
            }
            case 3:
            case 4:
            case 9:
            case 10:
            case 11:
            case 12:
            case 17:
            case 18:
                r.skip(4);
                break;
            case 5:
            case 6:
                r.skip(8);
                ++i;  // takes two slots
                break;
            case 7:
                names[i] = static_cast<std::uint16_t>(r.take(2));
                break;
            case 8:
            case 16:
            case 19:
            case 20:
                r.skip(2);
                break;
            case 15:
                r.skip(3);
                break;
            default:
                return {};
        }
    }
    const auto utf8 = [&](std::uint32_t index) { return index < count && tags[index] == 1; };
    const auto a_class = [&](std::uint32_t index) {
        return index < count && tags[index] == 7 && utf8(names[index]);
    };
    r.take(2);  // access flags
    const std::uint32_t this_class = r.take(2);
    const std::uint32_t super_class = r.take(2);
    if (!r.ok() || !a_class(this_class) || (super_class != 0 && !a_class(super_class))) {
        return {};
    }
    const std::uint32_t interfaces = r.take(2);
    for (std::uint32_t i = 0; i < interfaces && r.ok(); ++i) {
        if (!a_class(r.take(2))) {
            return {};
        }
    }
    const auto attributes = [&] {
        const std::uint32_t n = r.take(2);
        for (std::uint32_t i = 0; i < n && r.ok(); ++i) {
            if (!utf8(r.take(2))) {
                return false;
            }
            r.skip(r.take(4));
        }
        return r.ok();
    };
    for (int members = 0; members < 2; ++members) {  // fields, then methods
        const std::uint32_t n = r.take(2);
        for (std::uint32_t i = 0; i < n && r.ok(); ++i) {
            r.take(2);  // access flags
            if (!utf8(r.take(2)) || !utf8(r.take(2)) || !attributes()) {
                return {};
            }
        }
    }
    if (!attributes()) {
        return {};
    }
    return {r.pos(), "class"};
}

}  // namespace sig
