// libFuzzer harness for the deep scan's checkpoint reader: each input is a checkpoint file.
// A checkpoint that loads must be whole: every piece names a record of its table, and each
// record has its verification and the digest of its first bytes. A continue is set up from
// it as the scan session would, on the memory drive "mem:fuzz" made of the input itself,
// and the records it found must keep their pieces.
#include "engine/raw/raw_recovery.h"
#include "engine/raw/scan_checkpoint.h"
#include "fuzz_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QTemporaryDir* folder = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_prepare_process();
    folder = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_load_input(data, size);
    const QString path = fuzz_input_file(folder->path(), QStringLiteral("input.scan"), data, size);
    scan_checkpoint_s checkpoint;
    if (!read_checkpoint(path, &checkpoint)) {
        return 0;
    }
    if (checkpoint.levels.size() != checkpoint.records.size() ||
        checkpoint.heads.size() != checkpoint.records.size()) {
        std::abort();
    }
    for (const scan_checkpoint_s::piece_s& piece : checkpoint.pieces) {
        if (piece.position >= checkpoint.records.size()) {
            std::abort();
        }
    }
    checkpoint.device_path = QStringLiteral("mem:fuzz");
    checkpoint_files_unchanged(checkpoint);
    raw_recovery_c engine;
    volume_item_s volume;
    volume.device_name = volume.volume_name = QStringLiteral("mem:fuzz");
    volume.total_bytes = size;
    engine.set_target(volume);
    engine.continue_from(checkpoint);
    if (engine.records().size() != checkpoint.records.size()) {
        std::abort();
    }
    for (const scan_checkpoint_s::piece_s& piece : checkpoint.pieces) {
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        if (!engine.second_piece(piece.position, &first, &second)) {
            std::abort();
        }
    }
    return 0;
}
