// Names read from where a file's own record no longer holds them: the bytes a driver left
// after a removed $FILE_NAME attribute, and the entries of folder indexes ($I30), the live
// ones and those left in an index block's slack. Pure functions over byte spans.
#include "ntfs_format.h"

namespace ntfs {
namespace {

constexpr std::size_t entry_key = 0x10;           // index entry 0x10: the key, a $FILE_NAME
constexpr std::uint16_t entry_last = 0x02;        // index entry flag: the end entry, no key
constexpr std::size_t index_header_root = 0x10;   // INDEX_ROOT 0x10: its index header
constexpr std::size_t index_header_block = 0x18;  // INDX 0x18: its index header

bool is_power_of_two(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// The three offsets of an index header at header, as offsets into a span of size bytes.
bool read_index_header(const std::uint8_t* data, std::size_t size, std::size_t header,
                       std::size_t* entries, std::size_t* used_end, std::size_t* allocated_end) {
    if (header + 0x10 > size) {
        return false;
    }
    // header 0x00: first entry, 0x04: bytes used, 0x08: bytes allocated (all from header)
    const std::uint64_t first = header + static_cast<std::uint64_t>(le32(data + header));
    std::uint64_t allocated = header + static_cast<std::uint64_t>(le32(data + header + 8));
    allocated = std::min<std::uint64_t>(allocated, size);
    std::uint64_t used = header + static_cast<std::uint64_t>(le32(data + header + 4));
    used = std::min(used, allocated);
    if (first < header + 0x10 || first > used) {
        return false;
    }
    *entries = static_cast<std::size_t>(first);
    *used_end = static_cast<std::size_t>(used);
    *allocated_end = static_cast<std::size_t>(allocated);
    return true;
}

}  // namespace

bool removed_file_name(const std::uint8_t* record, std::size_t size, std::uint16_t attribute_id,
                       file_name_s* out) {
    attribute_walker_c walker(record, size);
    attribute_s a;
    while (walker.next(&a)) {
    }
    const std::size_t at = walker.offset();
    if (at == 0 || at + 0x18 > size || le32(record + at) != attr_end) {
        return false;
    }
    const std::uint8_t* h = record + at;
    // What the end marker left of a resident attribute's header: 0x08 non-resident flag,
    // 0x09 name length, 0x0E id, 0x10 value length, 0x14 value offset.
    const std::size_t value_length = le32(h + 0x10);
    const std::size_t value_offset = le16(h + 0x14);
    if (h[8] != 0 || h[9] != 0 || le16(h + 0x0E) != attribute_id || value_offset != 0x18 ||
        value_length > size - at - value_offset) {
        return false;
    }
    return parse_file_name(h + value_offset, value_length, out);
}

bool parse_index_root(const std::uint8_t* value, std::size_t size, index_root_s* out) {
    if (size < index_header_root + 0x10 || le32(value) != attr_file_name) {
        return false;  // 0x00: the indexed attribute type; $I30 indexes $FILE_NAME
    }
    index_root_s root;
    root.block_size = le32(value + 8);  // 0x08: bytes of one index block
    if (!is_power_of_two(root.block_size) || root.block_size < 512 || root.block_size > 65536) {
        root.block_size = 0;  // the entries of the root are still read
    }
    if (!read_index_header(value, size, index_header_root, &root.entries, &root.used_end,
                           &root.allocated_end)) {
        return false;
    }
    *out = root;
    return true;
}

bool open_index_block(std::uint8_t* block, std::size_t size, std::size_t* entries,
                      std::size_t* used_end, std::size_t* allocated_end) {
    return apply_fixups(block, size, "INDX") &&
           read_index_header(block, size, index_header_block, entries, used_end, allocated_end);
}

bool parse_index_entry(const std::uint8_t* p, std::size_t available, index_name_s* out) {
    if (available < entry_key + 0x42) {
        return false;
    }
    // 0x08: entry length, 0x0A: key length, 0x0C: flags
    const std::size_t length = le16(p + 8);
    const std::size_t key_length = le16(p + 10);
    if ((le16(p + 12) & entry_last) || length % 8 != 0 || length > available || key_length < 0x42 ||
        entry_key + key_length > length) {
        return false;
    }
    index_name_s entry;
    entry.file_reference = le64(p);
    if (!parse_file_name(p + entry_key, key_length, &entry.file_name)) {
        return false;
    }
    *out = std::move(entry);
    return true;
}

}  // namespace ntfs
