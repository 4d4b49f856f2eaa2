// libFuzzer harness for disk-image containers and the copy's map. The first byte picks:
//   0      the rest is a map file (GNU ddrescue's format) for a 1 MiB source;
//   1      the rest is a disk whose tables the container prober copies from;
//   2..6   the rest is an EWF, VHD, VHDX, VMDK or QCOW2 file, opened through its library,
//          read at its start, middle and end, and probed.
// Every input must end without a crash, a sanitizer report or a hang.
#include "fuzz_support.h"

#include "device/imaging/rescue_map.h"
#include "device/platform/container_backend.h"
#include "device/platform/container_probe.h"

#include <QFile>

#include <cstring>

#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    return 0;
}

namespace {

void probe_copies(platform::device_source_c& source) {
    platform::probe_copy_c copy(source);
    if (!copy.copy_tables()) {
        return;
    }
    // Volumes where a table might put them, and past the end.
    const std::uint64_t size = source.byte_size();
    for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{512}, size / 2, size - 1, size + 7}) {
        copy.copy_volume(at, size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t mode = data[0] % 7;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));
    if (mode == 0) {
        rescue_map_c map;
        QString error;
        if (map.parse(rest, 1 << 20, &error)) {
            std::uint64_t covered = 0;
            for (const rescue_block_s& b : map.blocks()) {
                if (b.pos != covered || b.size == 0) {
                    std::abort();
                }
                covered += b.size;
            }
            if (covered != 1 << 20) {
                std::abort();
            }
            map.set(4096, 8192, '-');
            // The map written again reads back, and its source is never in conflict with
            // itself.
            rescue_map_c again;
            if (!again.parse(map.text(QStringLiteral("fuzz"), '?', 1), 1 << 20, &error) ||
                (map.identity.known() && !map.identity.conflict_with(map.identity).isEmpty())) {
                std::abort();
            }
        }
        return 0;
    }
    if (mode == 1) {
        fuzz_load_input(data + 1, size - 1);
        auto source = platform::open_drive(
            {QStringLiteral("mem:fuzz"), platform::drive_kind_e::memory}, nullptr);
        if (source) {
            probe_copies(*source);
        }
        return 0;
    }
    static const char* const extensions[] = {"E01", "vhd", "vhdx", "vmdk", "qcow2"};
    static const platform::image_format_e formats[] = {
        platform::image_format_e::ewf, platform::image_format_e::vhd,
        platform::image_format_e::vhdx, platform::image_format_e::vmdk,
        platform::image_format_e::qcow2};
    const QString path = QStringLiteral("/tmp/orvane-fuzz-%1.%2")
                             .arg(::getpid())
                             .arg(QLatin1String(extensions[mode - 2]));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(rest) != rest.size()) {
            return 0;
        }
    }
    QString error;
    auto backend = platform::open_container_backend(path, formats[mode - 2], &error);
    if (backend) {
        char buffer[4096];
        const std::uint64_t inner = backend->media_size();
        for (std::uint64_t at :
             {std::uint64_t{0}, inner / 2, inner - std::min<std::uint64_t>(inner, 4096)}) {
            backend->read(at, buffer,
                          static_cast<std::size_t>(std::min<std::uint64_t>(4096, inner - at)),
                          &error);
        }
        auto source = platform::open_drive({path, platform::drive_kind_e::image}, &error);
        if (source && source->byte_size() <= (1ULL << 40)) {
            probe_copies(*source);
        }
    }
    QFile::remove(path);
    return 0;
}
