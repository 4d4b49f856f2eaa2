// The checkpoint file: "ORVDSCK2", then little-endian 64-bit fields: resume offset, record
// count, piece count, device path length, identity length, the joint searches' work; the device
// path (UTF-8), the identity, the 32-byte records and 24-byte pieces, then one byte per record (how
// far the scan vouched for it) and one 64-bit digest per record (of its first 4 KiB).
#include "scan_checkpoint.h"

#include "device/platform/safe_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstring>

namespace {

constexpr char magic[9] = "ORVDSCK2";
constexpr qsizetype fixed_bytes = 8 + 6 * 8;

void put64(QByteArray* out, std::uint64_t value) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(value >> (8 * i));
    }
    out->append(bytes, 8);
}

std::uint64_t get64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(in[i]);
    }
    return value;
}

}  // namespace

QString checkpoint_path(const QString& device_path) {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) {
        state = QDir::homePath() + QStringLiteral("/.local/state");
    }
    const QByteArray key =
        QCryptographicHash::hash(device_path.toUtf8(), QCryptographicHash::Sha1).toHex();
    return state + QStringLiteral("/OrvaneRecovery/deep-scans/") + QString::fromLatin1(key) +
           QStringLiteral(".scan");
}

QByteArray volume_identity(const QString& device_path) {
    const intptr_t handle = sig_open(device_path.toLocal8Bit().constData());
    if (handle == 0) {
        return {};
    }
    // The size: the furthest offset a seek accepts.
    std::uint64_t low = 0;
    std::uint64_t high = 1ull << 50;
    while (low < high) {
        const std::uint64_t mid = low + (high - low + 1) / 2;
        if (sig_seek(handle, static_cast<std::uint32_t>(mid), static_cast<std::uint32_t>(mid >> 32),
                     0) >= 0) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    const std::uint64_t size = low;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    QByteArray buffer(65536, '\0');
    for (const std::uint64_t at : {std::uint64_t(0), size > 65536 ? size - 65536 : 0}) {
        if (sig_seek(handle, static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(at >> 32),
                     0) < 0) {
            sig_close(handle);
            return {};
        }
        const std::int32_t got = sig_read(handle, buffer.data(), 65536);
        if (got < 0) {
            sig_close(handle);
            return {};
        }
        digest.addData(QByteArrayView(buffer.constData(), got));
    }
    sig_close(handle);
    QByteArray identity;
    put64(&identity, size);
    return identity + digest.result();
}

bool write_checkpoint(const QString& path, const scan_checkpoint_s& checkpoint) {
    QByteArray data(magic, 8);
    const QByteArray device = checkpoint.device_path.toUtf8();
    put64(&data, checkpoint.resume_at);
    put64(&data, checkpoint.records.size());
    put64(&data, checkpoint.pieces.size());
    put64(&data, static_cast<std::uint64_t>(device.size()));
    put64(&data, static_cast<std::uint64_t>(checkpoint.identity.size()));
    put64(&data, checkpoint.join_work);
    data += device + checkpoint.identity;
    for (const signature_record& r : checkpoint.records) {
        put64(&data, r.index);
        put64(&data, r.offset);
        put64(&data, r.size);
        data.append(r.type, 8);
    }
    for (const scan_checkpoint_s::piece_s& p : checkpoint.pieces) {
        put64(&data, p.position);
        put64(&data, p.first_size);
        put64(&data, p.second_offset);
    }
    for (std::size_t i = 0; i < checkpoint.records.size(); ++i) {
        data.append(static_cast<char>(i < checkpoint.levels.size() ? checkpoint.levels[i] : 0));
    }
    for (std::size_t i = 0; i < checkpoint.records.size(); ++i) {
        put64(&data, i < checkpoint.heads.size() ? checkpoint.heads[i] : 0);
    }
    std::string why;
    return platform::replace_file_at(QFile::encodeName(path).toStdString(), true, data.constData(),
                                     static_cast<std::size_t>(data.size()), &why);
}

bool read_checkpoint(const QString& path, scan_checkpoint_s* checkpoint) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > (qint64(1) << 34)) {
        return false;
    }
    const QByteArray data = file.readAll();
    if (data.size() < fixed_bytes || std::memcmp(data.constData(), magic, 8) != 0) {
        return false;
    }
    const char* in = data.constData() + 8;
    const std::uint64_t resume = get64(in);
    const std::uint64_t records = get64(in + 8);
    const std::uint64_t pieces = get64(in + 16);
    const std::uint64_t device_length = get64(in + 24);
    const std::uint64_t identity_length = get64(in + 32);
    const std::uint64_t join_work = get64(in + 40);
    const auto size = static_cast<std::uint64_t>(data.size());
    if (device_length > 4096 || identity_length > 256 || records > size / 32 ||
        pieces > size / 24 ||
        static_cast<std::uint64_t>(fixed_bytes) + device_length + identity_length + records * 41 +
                pieces * 24 !=
            size) {
        return false;
    }
    scan_checkpoint_s out;
    out.resume_at = resume;
    out.join_work = join_work;
    const char* p = data.constData() + fixed_bytes;
    out.device_path = QString::fromUtf8(p, static_cast<qsizetype>(device_length));
    p += device_length;
    out.identity = QByteArray(p, static_cast<qsizetype>(identity_length));
    p += identity_length;
    out.records.resize(static_cast<std::size_t>(records));
    for (signature_record& r : out.records) {
        r.index = get64(p);
        r.offset = get64(p + 8);
        r.size = get64(p + 16);
        std::memcpy(r.type, p + 24, 8);
        p += 32;
    }
    for (std::uint64_t i = 0; i < pieces; ++i, p += 24) {
        const scan_checkpoint_s::piece_s piece{get64(p), get64(p + 8), get64(p + 16)};
        if (piece.position >= records) {
            return false;
        }
        out.pieces.push_back(piece);
    }
    out.levels.assign(p, p + records);
    p += records;
    out.heads.resize(static_cast<std::size_t>(records));
    for (std::uint64_t& head : out.heads) {
        head = get64(p);
        p += 8;
    }
    *checkpoint = std::move(out);
    return true;
}

bool checkpoint_files_unchanged(const scan_checkpoint_s& checkpoint) {
    const intptr_t handle = sig_open(checkpoint.device_path.toLocal8Bit().constData());
    if (handle == 0) {
        return false;
    }
    QHash<std::uint64_t, const scan_checkpoint_s::piece_s*> pieces;
    for (const scan_checkpoint_s::piece_s& p : checkpoint.pieces) {
        pieces.insert(p.position, &p);
    }
    const auto read_at = [&](std::uint64_t offset, char* out, std::size_t n) {
        if (sig_seek(handle, static_cast<std::uint32_t>(offset),
                     static_cast<std::uint32_t>(offset >> 32), 0) < 0) {
            return false;
        }
        std::size_t done = 0;
        while (done < n) {
            const std::int32_t got =
                sig_read(handle, out + done, static_cast<std::int32_t>(n - done));
            if (got <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
    bool same = checkpoint.heads.size() == checkpoint.records.size();
    char head[head_bytes];
    for (std::size_t i = 0; same && i < checkpoint.records.size(); ++i) {
        const signature_record& r = checkpoint.records[i];
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(head_bytes, r.size));
        std::size_t first = n;
        const auto piece = pieces.constFind(i);
        if (piece != pieces.constEnd() && (*piece)->first_size < n) {
            first = static_cast<std::size_t>((*piece)->first_size);
        }
        // A digest of 0 was not recorded (the file's first bytes could not be read then).
        same = checkpoint.heads[i] == 0 ||
               (read_at(r.offset, head, first) &&
                (first == n || read_at((*piece)->second_offset, head + first, n - first)) &&
                head_digest(reinterpret_cast<const std::uint8_t*>(head), n) == checkpoint.heads[i]);
    }
    sig_close(handle);
    return same;
}
