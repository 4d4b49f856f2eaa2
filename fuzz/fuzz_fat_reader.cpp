// libFuzzer harness for the FAT volume reader: each input is a drive image. It is mounted
// as a superfloppy, every directory is walked by cluster as the FAT engine walks it, and
// every entry with a first cluster is read in all three read modes; the free clusters are
// searched for folders no walk reached. The reader must finish every input without a crash,
// a sanitizer report or a hang.
#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "engine/fat/fat_reader.h"
#include "fuzz_support.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <unordered_set>
#include <vector>

namespace {

constexpr int max_depth = 32;
constexpr int max_entries = 20000;                 // per input, over all directories
constexpr int max_files = 64;                      // files read per input
constexpr std::uint32_t max_file_bytes = 1 << 20;  // read per file and mode

fat_volume volume;

struct walk_s {
    std::unordered_set<std::uint32_t> visited;
    int entries = 0;
    int files = 0;
    std::vector<char> buffer = std::vector<char>(70000);
};

void read_file(walk_s& walk, const fat_entry_info& info) {
    static const int modes[] = {fat_read_chain, fat_attr_deleted, fat_read_skip_used};
    // Odd, sector-sized and larger-than-a-transfer chunks reach every path of f_read.
    static const std::uint32_t chunks[] = {4096, 1, 777, 512, 65536 + 512};
    for (int mode : modes) {
        fat_file file;
        file.volume = &volume;
        file.mount_id = volume.mount_id;
        file.flags = fat_file_readable;
        file.size = info.size;
        file.first_cluster = info.first_cluster;
        const std::uint32_t chunk =
            chunks[static_cast<std::size_t>(walk.files) % std::size(chunks)];
        // Byte-by-byte reads cost a call per byte; a shorter stretch of them is enough.
        const std::uint32_t limit = chunk == 1 ? max_file_bytes / 64 : max_file_bytes;
        std::uint32_t total = 0;
        while (total < limit) {
            std::uint32_t got = 0;
            fat_result result = f_read(&file, walk.buffer.data(), chunk, &got, mode);
            if (got > chunk) {
                std::abort();  // more bytes than asked for
            }
            total += got;
            if (result != fat_ok || got == 0) {
                break;
            }
        }
        if (total > info.size) {
            std::abort();  // more bytes than the file has
        }
    }
}

void walk_directory(walk_s& walk, std::uint32_t cluster, int depth) {
    fat_dir dir;
    if (f_opendir(&dir, "/") != fat_ok) {
        return;
    }
    if (cluster != 0) {
        dir.start_cluster = cluster;
        dir.cluster = cluster;
        if (f_readdir(&dir, nullptr) != fat_ok) {
            return;
        }
    }
    char16_t long_name[512];
    while (walk.entries < max_entries) {
        fat_entry_info info;
        info.long_name = long_name;
        info.long_name_capacity = 512;
        if (f_readdir(&dir, &info) != fat_ok || info.short_name[0] == 0) {
            return;
        }
        ++walk.entries;
        if (info.first_cluster == 0) {
            continue;
        }
        if (info.attributes & fat_attr_directory) {
            bool sound = false;
            fat_check_directory_cluster(&volume, info.first_cluster, &sound);
            if (depth < max_depth && walk.visited.insert(info.first_cluster).second) {
                walk_directory(walk, info.first_cluster, depth + 1);
            }
        } else if (walk.files < max_files) {
            ++walk.files;
            read_file(walk, info);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_load_input(data, size);
    fat_volume_slot[0] = {0, 0, 0};
    f_mount(0, &volume);
    walk_s walk;
    walk.visited.insert(0);
    walk_directory(walk, 0, 0);
    // The search for folders no walk reached, over every free cluster; each one found is
    // checked and walked like any other.
    int found = 0;
    fat_find_directory_starts(&volume, [&](std::uint32_t cluster, std::uint32_t parent) {
        if (cluster < 2 || cluster >= volume.fat_entry_count || parent == cluster) {
            std::abort();  // not a data cluster, or its own parent
        }
        if (walk.visited.insert(cluster).second) {
            walk_directory(walk, cluster, 1);
        }
        return ++found < max_files;
    });
    return 0;
}
