// libFuzzer harness for the NTFS library over a whole volume: a small real volume written by
// ntfs-3g (tests/fixtures/make_ntfs_depth.sh) whose boot sector and first $MFT records are
// replaced by the input (its first 512 bytes the boot sector, the rest the $MFT from its
// first record on). Each input is scanned to the end, the overwritten clusters are sorted
// out, the records are linked into the engine's tree (orphans, loops) and listed folder by
// folder, and one deleted file (picked by the input's last byte) is restored into memory.
// Nothing may crash, trip a sanitizer or hang; a restore never writes more than its file's
// size.
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_scan.h"
#include "engine/ntfs/ntfs_state.h"
#include "engine/ntfs/ntfs_tree.h"
#include "fuzz_support.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t mft_area_bytes = 96 * 1024;
constexpr std::uint64_t restore_cap = 4u << 20;

std::shared_ptr<QByteArray> volume;  // the working copy the memory drive shares
QByteArray pristine;
std::uint64_t mft_offset = 0;

// Counts what a restore writes and checks that it never passes the size it ends with.
class counting_sink_c final : public ntfs::data_sink_c {
  public:
    bool write(const std::uint8_t* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; i += 4096) {
            sum_ += data[i];
        }
        at_ += length;
        return at_ <= restore_cap;
    }
    bool skip(std::uint64_t length) override {
        at_ += length;
        return at_ <= restore_cap;
    }
    bool finish(std::uint64_t size) override {
        if (at_ > size) {
            std::abort();  // bytes written past the end of the file
        }
        return true;
    }

  private:
    std::uint64_t at_ = 0;
    unsigned sum_ = 0;
};

void patch(const std::uint8_t* data, std::size_t size) {
    char* bytes = volume->data();
    std::memcpy(bytes, data, std::min<std::size_t>(size, 512));
    if (size > 512) {
        const std::size_t length = std::min(size - 512, mft_area_bytes);
        std::memcpy(bytes + mft_offset, data + 512, length);
    }
}

void unpatch() {
    std::memcpy(volume->data(), pristine.constData(), 512);
    std::memcpy(volume->data() + mft_offset, pristine.constData() + mft_offset, mft_area_bytes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    const char* path = std::getenv("ORVANE_FUZZ_NTFS_VOLUME");
    QFile file(QString::fromLocal8Bit(path ? path : FUZZ_NTFS_VOLUME));
    ntfs::boot_info_s boot;
    if (!file.open(QIODevice::ReadOnly) || (pristine = file.readAll()).size() < 4096 ||
        !ntfs::parse_boot_sector(reinterpret_cast<const std::uint8_t*>(pristine.constData()), 512,
                                 &boot)) {
        std::fprintf(stderr, "fuzz_ntfs_volume: no base volume at %s\n",
                     qPrintable(file.fileName()));
        std::abort();
    }
    mft_offset = boot.mft_lcn * boot.cluster_size;
    if (mft_offset + mft_area_bytes > static_cast<std::uint64_t>(pristine.size())) {
        std::abort();
    }
    volume = std::make_shared<QByteArray>(pristine);
    volume->detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::clear_memory_drives();
    patch(data, size);
    // The drive shares the working copy's bytes: nothing is copied per input.
    platform::add_memory_drive(QStringLiteral("fuzz"), std::shared_ptr<const QByteArray>(volume));
    disk_reopen_all();

    ntfs_scan_context context{};
    if (ntfs_scan_startup("/dev/hda0", &context) == 0) {
        ntfs_tree_c tree;
        ntfs_record record{};
        std::vector<std::uint64_t> deleted_files;
        int records = 0;
        while (ntfs_scan_next(&context, &record) == 1 && records++ < 100000) {
            const bool deleted = record.flags & ntfs_flag_deleted;
            if (deleted || !(record.flags & ntfs_flag_file)) {
                tree.add(record);
            }
            if (deleted && (record.flags & ntfs_flag_file)) {
                deleted_files.push_back(record.record_number);
            }
            std::memset(&record, 0, sizeof record);
        }
        tree.finish(QStringLiteral("[Orphaned files]"));
        for (std::size_t i = 0; i < tree.size(); ++i) {
            const ntfs_node& node = tree.at(i);
            if (node.flags & ntfs_flag_deleted) {
                ntfs_scan_overwritten(&context, node.record_number);
            }
            for (const std::uint32_t child : tree.children(node)) {
                if (child >= tree.size() || tree.name(tree.at(child)).size() > 255) {
                    std::abort();
                }
            }
        }
        // The input's last byte picks the deleted file restored.
        if (!deleted_files.empty() && size > 0) {
            counting_sink_c sink;
            ntfs::restore_to_sink(ntfs::state_of(&context),
                                  deleted_files[data[size - 1] % deleted_files.size()], &sink);
        }
        ntfs_scan_end(&context);
    }
    platform::clear_memory_drives();
    unpatch();
    return 0;
}
