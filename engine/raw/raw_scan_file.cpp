// The scan file: a 256-byte header with the device path, then the records, 32 bytes each,
// little-endian. No magic, no count: a valid file is 256 + 32 x N bytes with N >= 1.
#include "raw_recovery.h"

#include <QFile>
#include <QSaveFile>

#include <cstring>

namespace {

constexpr qint64 header_bytes = 256;
constexpr qint64 record_bytes = 32;

void put64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>(value >> (8 * i));
    }
}

std::uint64_t get64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(in[i]);
    }
    return value;
}

}  // namespace

int raw_recovery_c::write_scan_file(const QString& path) {
    if (records_.empty()) {
        return -1;
    }
    QByteArray data(header_bytes + record_bytes * static_cast<qint64>(records_.size()), '\0');
    const QByteArray device = device_path_.toLocal8Bit().left(header_bytes - 1);
    std::memcpy(data.data(), device.constData(), static_cast<std::size_t>(device.size()));
    char* out = data.data() + header_bytes;
    for (const signature_record& r : records_) {
        put64(out, r.index);
        put64(out + 8, r.offset);
        put64(out + 16, r.size);
        std::memcpy(out + 24, r.type, 8);
        out += record_bytes;
    }
    // Written whole or not at all: an old scan file of that name survives a failed write.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        return -1;
    }
    return 0;
}

QString raw_recovery_c::read_scan_file(const QString& path) {
    if (isRunning()) {
        return {};  // the running scan appends to the table a load would replace
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const qint64 length = file.size();
    if (length < header_bytes + record_bytes || (length - header_bytes) % record_bytes != 0) {
        return {};
    }
    const QByteArray data = file.readAll();
    if (data.size() != length) {
        return {};
    }
    // The header's text up to its first NUL, in the encoding write_scan_file used.
    const char* header = data.constData();
    const QString device =
        QString::fromLocal8Bit(header, static_cast<qsizetype>(strnlen(header, header_bytes)));
    std::vector<signature_record> records(
        static_cast<std::size_t>((length - header_bytes) / record_bytes));
    const char* in = data.constData() + header_bytes;
    QHash<QByteArray, QList<std::uint64_t>> index;
    for (signature_record& r : records) {
        r.index = get64(in);
        r.offset = get64(in + 8);
        r.size = get64(in + 16);
        std::memcpy(r.type, in + 24, 8);
        index[record_type(r)].append(r.index);
        in += record_bytes;
    }
    device_path_ = device;
    records_ = std::move(records);
    type_index_ = std::move(index);
    return device;
}
