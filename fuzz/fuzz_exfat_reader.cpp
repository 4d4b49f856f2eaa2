// libFuzzer harness for the exFAT reader and engine: each input is a volume. The engine
// scans it (boot regions, FAT chains, bitmap, up-case table, every directory, deleted ones
// included), every found entry's path is composed and the found files' bytes are written to
// a sink that drops them; the raw input is also read as directory entries and as an up-case
// table. Nothing may crash, trip a sanitizer or hang.
#include "engine/exfat/exfat_recovery.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at + exfat::entry_bytes <= size && at < 8192;
         at += exfat::entry_bytes) {
        exfat::entry_set_s set;
        exfat::parse_entry_set(data, size, at, &set);
    }
    exfat::upcase_table_c upcase;
    upcase.load(data, size);

    exfat_recovery_c engine;
    engine.scan_reader(
        [data, size](std::uint64_t offset, void* buffer, std::size_t len) {
            if (offset > size || len > size - offset) {
                return -1;
            }
            std::memcpy(buffer, data + offset, len);
            return 0;
        },
        size);
    if (!engine.nodes().contains(0)) {
        std::abort();  // the root is always there after a scan
    }
    std::uint64_t total = 0;
    for (auto it = engine.nodes().constBegin(); it != engine.nodes().constEnd(); ++it) {
        QString path;
        engine.get_file_path(it.key(), &path);
        if (it.key() != 0 && !(it.value().attributes & exfat::attr_directory)) {
            engine.write_file(it.key(), [&total, size](const char*, std::size_t length) {
                total += length;
                // a file can hold no more bytes than the volume, zeros past its valid length
                // aside; a sink that goes on taking them would mean a runaway loop
                return total <= (std::uint64_t{1} << 32) + size;
            });
        }
    }
    return 0;
}
