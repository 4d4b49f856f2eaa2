// libFuzzer harness for the partition search: each input is a whole drive, searched from
// its first sector to its last through the memory device; the found partitions then fill
// a master boot record. Every input must end without a crash, a sanitizer report or a hang,
// and the partitions must come in order without overlapping.
#include "fuzz_support.h"
#include "partition/master_boot_record.h"
#include "partition/partition_search.h"

#include <QByteArray>
#include <QList>

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_load_input(data, size);
    auto source =
        platform::open_drive({QStringLiteral("mem:fuzz"), platform::drive_kind_e::memory}, nullptr);
    if (!source) {
        std::abort();
    }
    QList<partition_item_s> found;
    std::atomic<double> progress{0.0};
    partition_search_hooks_s hooks;
    // The entries of the table on the drive come first; the search's own finds follow in
    // order, and no two of those overlap (an earlier file system overlaps an entry of the
    // table by its nature).
    hooks.found = [&](const partition_item_s& item) {
        if (item.end_sector < item.start_sector) {
            std::abort();
        }
        const partition_item_s* last_found = nullptr;
        for (const partition_item_s& other : found) {
            const bool overlap =
                item.start_sector <= other.end_sector && other.start_sector <= item.end_sector;
            if (!other.from_table && !other.earlier) {
                last_found = &other;
            }
            if (overlap && !item.earlier && !other.earlier) {
                std::abort();
            }
        }
        if (!item.from_table && !item.earlier && last_found &&
            item.start_sector <= last_found->end_sector) {
            std::abort();
        }
        found << item;
    };
    hooks.progress = &progress;
    if (search_partitions(*source, hooks) != search_end_e::complete || progress.load() != 1.0) {
        std::abort();
    }
    std::uint8_t record[512] = {};
    std::memcpy(record, data, size < sizeof record ? size : sizeof record);
    build_master_boot_record(record, found, size > 0 ? data[0] : 0, 63, nullptr);
    if (record[510] != 0x55 || record[511] != 0xAA) {
        std::abort();
    }
    return 0;
}
