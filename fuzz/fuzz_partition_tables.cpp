// libFuzzer harness for the table reader and the file-system probes: each input is a whole
// drive in memory. Its tables are read (sector 0 with its chain of extended boot records,
// and both GPTs) and checked, every sector is tested by the probes and as an extended boot
// record, a table is planned for what was found, and the sector writer's table check
// judges the plan and the drive's own sectors. The same drive is read again as a disk of
// 4096-byte logical sectors, and the detection of its sector size is run on it. Every
// input must end without a crash, a sanitizer report or a hang, and every answer must lie
// inside the drive.
#include "device/platform/sector_write.h"
#include "fuzz_support.h"
#include "partition/disk_layout.h"
#include "partition/fs_probe.h"
#include "partition/table_builder.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

namespace {

// The reader, the plan and the writer's check in 4096-byte sectors: `read` reads 512-byte
// units, the tables count 4096-byte sectors.
void read_in_4096_byte_sectors(const probe_read_f& read, std::uint64_t units) {
    const std::uint32_t detected = detect_sector_bytes(read, units);
    if (detected != 512 && detected != 4096) {
        std::abort();
    }
    const std::uint64_t drive = units / 8;
    disk_layout_s layout = read_disk_layout(read, drive, 4096);
    for (const table_entry_s& e : layout.existing.entries) {
        if (e.first > e.last || e.last >= drive || (e.confirmed && e.fs_name.isEmpty())) {
            std::abort();
        }
    }
    const QList<partition_item_s> found = table_items(layout);
    for (const partition_item_s& item : found) {
        if (item.start_sector > item.end_sector || item.end_sector >= drive ||
            item.sector_bytes != 4096) {
            std::abort();
        }
    }
    finish_layout(&layout, found, drive);
    QByteArray sector0(4096, '\0');
    if (units >= 8) {
        read(0, 8, reinterpret_cast<std::uint8_t*>(sector0.data()));
    }
    const table_plan_s plan = plan_table(layout, found, drive, sector0, 255, 63);
    std::vector<platform::sector_write_s> writes;
    for (const table_write_s& w : plan.writes) {
        if (w.bytes.isEmpty() || w.bytes.size() % 4096 != 0 || w.lba >= drive ||
            std::uint64_t(w.bytes.size() / 4096) > drive - w.lba) {
            std::abort();
        }
        for (qsizetype at = 0; at < w.bytes.size() && writes.size() < platform::max_sector_writes;
             at += 4096) {
            platform::sector_write_s s;
            s.lba = w.lba + std::uint64_t(at / 4096);
            s.bytes.assign(w.bytes.constData() + at, w.bytes.constData() + at + 4096);
            writes.push_back(s);
        }
    }
    const platform::old_sector_f old = [&](std::uint64_t lba, std::uint8_t* out) {
        return lba < drive && read(lba * 8, 8, out) == 0;
    };
    platform::check_table_writes(writes, platform::write_kind_e::table, drive, old, 4096);
}

}  // namespace

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
    const existing_table_s& existing = layout.existing;
    for (const table_entry_s& e : existing.entries) {
        if (e.first > e.last || e.last >= drive || (e.confirmed && e.fs_name.isEmpty())) {
            std::abort();
        }
        for (const table_entry_s& other : existing.entries) {
            const bool nested =
                e.kind == table_entry_kind_e::logical || other.kind == table_entry_kind_e::logical;
            if (&e != &other && !nested && e.first <= other.last && other.first <= e.last) {
                std::abort();  // entries that overlap are refused, never listed
            }
        }
    }
    if (existing.intact && !existing.problems.isEmpty()) {
        std::abort();
    }
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
    // The writer's check over the plan (at most what one request carries) and over the
    // drive's own sectors written back as an undo.
    const platform::old_sector_f old = [&](std::uint64_t lba, std::uint8_t* out) {
        return read(lba, 1, out) == 0;
    };
    std::vector<platform::sector_write_s> writes;
    for (const table_write_s& w : plan.writes) {
        for (qsizetype at = 0; at < w.bytes.size() && writes.size() < platform::max_sector_writes;
             at += 512) {
            platform::sector_write_s s;
            s.lba = w.lba + std::uint64_t(at / 512);
            std::memcpy(s.bytes.data(), w.bytes.constData() + at, 512);
            writes.push_back(s);
        }
    }
    platform::check_table_writes(writes, platform::write_kind_e::table, drive, old);
    std::vector<platform::sector_write_s> undo;
    for (std::uint64_t lba = 0; lba < std::min<std::uint64_t>(drive, 4); ++lba) {
        platform::sector_write_s s;
        s.lba = lba;
        std::memcpy(s.bytes.data(), data + lba * 512, 512);
        undo.push_back(s);
    }
    platform::check_table_writes(undo, platform::write_kind_e::undo, drive, old);
    read_in_4096_byte_sectors(read, drive);
    return 0;
}
