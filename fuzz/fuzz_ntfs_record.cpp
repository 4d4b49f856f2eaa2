// libFuzzer harness for the NTFS library's decoding: each input is one file record (padded
// to whole 512-byte strides, at least 1 KiB). Its fixups are checked and applied, its
// attributes gathered, its data runs sorted and checked for gaps and its attribute list
// parsed, and a $FILE_NAME removed from it is looked for after its end marker; the raw input
// is also decoded as a run list, as an LZNT1 unit, as a folder index root and as an index
// block (with its slack searched for names). Nothing may crash, trip a sanitizer or hang.
#include "engine/ntfs/ntfs_format.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ntfs;
    constexpr std::uint64_t total_clusters = 1u << 20;
    std::vector<run_s> runs;
    decode_runs(data, size, 0, total_clusters, 4096, &runs);
    // The input as one LZNT1 compression unit of 64 KiB.
    std::vector<std::uint8_t> unit(65536);
    lznt1_decompress(data, size, unit.data(), unit.size());

    std::size_t record_size = size < 1024 ? 1024 : (size + 511) / 512 * 512;
    if (record_size > 65536) {
        return 0;
    }
    std::vector<std::uint8_t> record(record_size, 0);
    std::memcpy(record.data(), data, size);
    if (!apply_fixups(record.data(), record.size())) {
        // Decoding a record whose fixups failed must still be safe: the walker only trusts
        // lengths it has checked.
        std::memcpy(record.data(), data, size);
    }
    file_facts_s facts;
    gather_attributes(record.data(), record.size(), total_clusters, &facts);
    finish_runs(&facts, 4096);
    std::vector<list_entry_s> entries;
    parse_attribute_list(facts.list_value.data(), facts.list_value.size(), &entries);
    file_name_s removed;
    removed_file_name(record.data(), record.size(), size > 0 ? data[0] : 0, &removed);

    // The input as an $I30 index root and as an index block: every entry of any folder
    // whose record number is even is wanted.
    const auto wanted = [](std::uint64_t n) { return n % 2 == 0; };
    std::vector<index_name_s> names;
    index_root_s root;
    if (parse_index_root(data, size, &root)) {
        find_index_names(data, root.entries, root.allocated_end, 5, wanted, &names);
    }
    std::size_t first = 0, used_end = 0, allocated_end = 0;
    std::memcpy(record.data(), data, size);
    std::memcpy(record.data(), "INDX", 4);
    if (open_index_block(record.data(), record.size(), &first, &used_end, &allocated_end)) {
        find_index_names(record.data(), first, allocated_end, le64(record.data() + 0x10), wanted,
                         &names);
    }
    return 0;
}
