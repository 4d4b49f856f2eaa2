// libFuzzer harness for the scan-file reader: each input is a scan file. It is loaded, bound
// to a volume made of the input itself (the memory drive "mem:fuzz"), listed, and a few
// listed records are restored into a sink that counts bytes. Every listed record must lie
// inside the volume and within the table, and a restore (which first checks the record's
// bytes against its type, as for any loaded scan file) that succeeds must write exactly the
// record's size. The listing is also made as both front ends make it (names from the
// files' own metadata, read from the input): every row is a listed record with a name.
#include "engine/raw/raw_recovery.h"
#include "fuzz_support.h"
#include "result/file_list.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

class counting_sink_c final : public restore_sink_c {
  public:
    bool write(const void*, std::size_t bytes) override {
        written_ += bytes;
        return true;
    }
    bool zeros(std::uint64_t bytes) override {
        written_ += bytes;
        return true;
    }
    bool stop_requested() const override { return false; }
    std::uint64_t written() const override { return written_; }

  private:
    std::uint64_t written_ = 0;
};

QTemporaryDir* folder = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    folder = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_load_input(data, size);
    const QString path = fuzz_input_file(folder->path(), QStringLiteral("input.sav"), data, size);
    raw_recovery_c engine;
    volume_item_s volume;
    volume.device_name = volume.volume_name = QStringLiteral("mem:fuzz");
    volume.total_bytes = size;
    engine.set_target(volume);
    const QString device = engine.read_scan_file(path);
    if (device.isEmpty()) {
        return 0;
    }
    scan_volume_id_s id;
    scan_volume_identity(volume, &id);
    engine.limit_to_volume(size);
    const auto& records = engine.records();
    int restored = 0;
    for (auto it = engine.type_index().cbegin(); it != engine.type_index().cend(); ++it) {
        for (const std::uint64_t position : it.value()) {
            if (position >= records.size()) {
                std::abort();  // listed, but not a record of the table
            }
            const signature_record& r = records[position];
            if (r.offset > size || r.size > size - r.offset || r.index >= records.size()) {
                std::abort();  // listed, but not inside the volume or beyond the table
            }
            if (restored < 4) {
                ++restored;
                counting_sink_c sink;
                if (engine.restore_into(position, &sink) == 0 && sink.written() != r.size) {
                    std::abort();
                }
            }
        }
    }
    engine.read_metadata();
    std::vector<recovery_item_s> files;
    for (const result_folder_s& listed : list_result_folders(&engine, engine_signature)) {
        fill_file_list(files, &engine, engine_signature, listed.ref);
        const file_totals_s totals = count_file_list(&engine, engine_signature, listed.ref);
        if (totals.files != static_cast<std::int64_t>(files.size())) {
            std::abort();
        }
        for (const recovery_item_s& file : files) {
            if (file.file_key >= records.size() || file.name.isEmpty() ||
                file.size != records[file.file_key].size) {
                std::abort();
            }
        }
    }
    return 0;
}
