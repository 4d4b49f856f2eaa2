// libFuzzer harness for the FAT engine: each input is a drive image that the engine scans as
// a superfloppy from start to end, linking and marking included; then every found entry's
// path is composed and a few found files are restored into a sink that counts them. The engine must
// finish every input without a crash, a sanitizer report or a hang.
#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "engine/fat/fat_recovery.h"
#include "fuzz_support.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// Takes the bytes of a restored file and keeps only their count.
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_load_input(data, size);
    volume_item_s target;
    target.device_name = target.volume_name = target.path = QStringLiteral("mem:fuzz");
    target.file_system = QStringLiteral("FAT");
    target.partition_number = 0;
    target.disk_number = 0;

    fat_recovery_c engine;
    engine.set_target(target);
    engine.start();
    engine.wait();
    if (!engine.nodes().contains(0)) {
        std::abort();  // the root is always there after a scan
    }
    int restored = 0;
    for (auto it = engine.nodes().constBegin(); it != engine.nodes().constEnd(); ++it) {
        QString path;
        engine.get_file_path(it.key(), &path);
        if (restored < 8 && it.key() != 0 && !(it.value().attributes & fat_attr_directory) &&
            it.value().size < (1u << 20)) {
            counting_sink_c sink;
            if (engine.restore_into(it.key(), &sink) == 0 && sink.written() != it.value().size) {
                std::abort();  // a restore that succeeds wrote exactly the file's size
            }
            ++restored;
        }
    }
    return 0;
}
