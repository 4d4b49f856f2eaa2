// libFuzzer harness for the FAT engine: each input is a drive image that the engine scans as
// a superfloppy from start to end, linking and marking included; then every found entry's
// path is composed and a few found files are restored to /dev/null. The engine must finish
// every input without a crash, a sanitizer report or a hang.
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
            engine.restore_file(it.key(), QStringLiteral("/dev/null"));
            ++restored;
        }
    }
    return 0;
}
