// libFuzzer harness for what the repair reads back from outside: the privileged writer's
// request (it comes over a socket from an unprivileged program) and the backup file that an
// undo loads. Every input must end without a crash or sanitizer report; what decodes must
// encode and decode to the same thing again.
#include "device/platform/sector_write.h"
#include "partition/sector_backup.h"

#include <QByteArray>
#include <QString>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::write_request_s request;
    std::string error;
    if (platform::decode_request(text, &request, &error)) {
        platform::write_request_s again;
        if (!platform::decode_request(platform::encode_request(request), &again, &error) ||
            !(again.identity == request.identity) || again.writes.size() != request.writes.size() ||
            again.device != request.device || again.kind != request.kind) {
            std::abort();
        }
    }
    platform::write_result_s result;
    platform::decode_result(text, &result);

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    sector_backup_s backup;
    QString why;
    if (decode_sector_backup(bytes, &backup, &why)) {
        sector_backup_s again;
        if (!decode_sector_backup(encode_sector_backup(backup), &again, &why) ||
            again.ranges.size() != backup.ranges.size()) {
            std::abort();
        }
        for (const backup_range_s& range : backup.ranges) {
            if (range.old_bytes.isEmpty() || range.old_bytes.size() % 512 != 0) {
                std::abort();
            }
        }
    }
    return 0;
}
