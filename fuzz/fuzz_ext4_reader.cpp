// libFuzzer harness for the ext4 reader, the journal search and the engine: each input is a
// volume. The engine scans it (superblock, group descriptors, the journal inode and every
// journal block, directories live and deleted, inode copies, orphans), every found entry's
// path is composed and the found files' bytes are written to a sink that drops them; the raw
// input is also read as a journal of 1 KiB blocks, as a directory block and as an extent
// tree node. Nothing may crash, trip a sanitizer or hang.
#include "engine/ext4/ext4_format.h"
#include "engine/ext4/ext4_journal.h"
#include "engine/ext4/ext4_recovery.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ext4::dirent_options_s options;
    options.inodes_count = 1 << 20;
    ext4::parse_dir_block(data, std::min<std::size_t>(size, 4096), options);
    ext4::extent_node_s node;
    ext4::parse_extent_node(data, std::min<std::size_t>(size, 4096), &node);
    ext4::journal_index_c journal;
    if (journal.load_bytes(data, size, 1024)) {
        std::vector<std::uint8_t> block(1024);
        for (const std::uint64_t b : journal.blocks()) {
            for (const ext4::journal_copy_s& c : journal.copies(b)) {
                journal.read_copy(c, block.data());
            }
        }
    }

    ext4_recovery_c engine;
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
    for (auto it = engine.nodes().constBegin(); it != engine.nodes().constEnd(); ++it) {
        QString path;
        engine.get_file_path(it.key(), &path);
        if (it.key() == 0 || (it.value().attributes & ext4_attr_directory)) {
            continue;
        }
        std::uint64_t bytes = 0;
        engine.write_file(
            it.key(),
            [&bytes, size](const char*, std::size_t length) {
                bytes += length;
                // the blocks of a file lie on the volume: more means a runaway loop
                return bytes <= size;
            },
            [](std::uint64_t) { return true; });
    }
    return 0;
}
