// libFuzzer harness for the table reader and the file-system probes: each input is a whole
// drive in memory. Its tables are read (sector 0 and both GPTs), every sector is tested by
// the probes and as an extended boot record, and a table is planned for what was found.
// Every input must end without a crash, a sanitizer report or a hang, and every answer
// must lie inside the drive.
#include "fuzz_support.h"
#include "partition/disk_layout.h"
#include "partition/fs_probe.h"
#include "partition/table_builder.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t drive = size / 512;
    const probe_read_f read = [&](std::uint64_t first, std::uint32_t count, std::uint8_t* out) {
        if (first >= drive || count > drive - first) {
            return -1;
        }
        std::memcpy(out, data + first * 512, std::size_t(count) * 512);
        return 0;
    };
    disk_layout_s layout = read_disk_layout(read, drive);
    QList<partition_item_s> found = table_items(layout);
    for (const partition_item_s& item : found) {
        if (item.start_sector > item.end_sector || item.end_sector >= drive) {
            std::abort();
        }
    }
    std::uint64_t floor = 0;
    for (std::uint64_t at = 0; at < drive; ++at) {
        const std::uint8_t* sector = data + at * 512;
        fs_probe_s hit;
        if (probe_file_system(sector, at, drive, read, &hit)) {
            if (hit.start_sector > at || hit.sectors == 0 || hit.start_sector >= drive ||
                hit.sectors > drive - hit.start_sector || hit.type_guid.isEmpty()) {
                std::abort();
            }
            if (hit.start_sector >= floor) {
                partition_item_s item;
                item.fs_name = hit.fs_name;
                item.partition_type = hit.partition_type;
                item.start_sector = hit.start_sector;
                item.end_sector = hit.start_sector + hit.sectors - 1;
                found << item;
                floor = item.end_sector + 1;
            }
        }
        ebr_s ebr;
        if (layout.ebrs.size() < max_recorded_ebrs && ebr_sector(sector, at, &ebr)) {
            layout.ebrs << ebr;
        }
    }
    finish_layout(&layout, found, drive);
    const table_plan_s plan = plan_table(layout, found, drive, QByteArray(512, '\0'), 255, 63);
    for (const table_write_s& w : plan.writes) {
        if (w.bytes.isEmpty() || w.bytes.size() % 512 != 0 || w.lba >= drive ||
            std::uint64_t(w.bytes.size() / 512) > drive - w.lba) {
            std::abort();
        }
    }
    return 0;
}
