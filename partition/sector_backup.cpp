#include "sector_backup.h"

#include "core/diagnostics.h"
#include "device/platform/safe_file.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char magic[] = "ORVANE-SECTOR-BACKUP 1";
constexpr qint64 largest_backup = 64LL << 20;
constexpr int largest_range_count = 1024;

}  // namespace

QByteArray encode_sector_backup(const sector_backup_s& backup) {
    QByteArray text = QByteArray(magic) + '\n';
    QString drive = backup.drive;
    drive.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text += "drive " + drive.toUtf8() + '\n';
    text += "sectors " + QByteArray::number(qulonglong(backup.drive_sectors)) + '\n';
    text += "sector_bytes " + QByteArray::number(backup.sector_bytes) + '\n';
    if (!backup.medium.isEmpty()) {
        QString medium = backup.medium;
        medium.replace(QLatin1Char('\n'), QLatin1Char(' '));
        text += "medium " + medium.toUtf8() + '\n';
    }
    for (const backup_range_s& range : backup.ranges) {
        text += "range " + QByteArray::number(qulonglong(range.lba)) + ' ' +
                QByteArray::number(range.old_bytes.size() / 512) + ' ' +
                (range.written_hash.isEmpty() ? QByteArray("-") : range.written_hash.toHex()) +
                '\n';
    }
    QByteArray data;
    for (const backup_range_s& range : backup.ranges) {
        data += range.old_bytes;
    }
    text +=
        "check " + QCryptographicHash::hash(text + data, QCryptographicHash::Sha256).toHex() + '\n';
    return text + "data\n" + data;
}

bool decode_sector_backup(const QByteArray& bytes, sector_backup_s* backup, QString* error) {
    sector_backup_s b;
    if (bytes.size() == 512 && !bytes.startsWith(magic)) {
        b.plain = true;
        b.ranges << backup_range_s{0, bytes, {}};
        *backup = b;
        return true;
    }
    auto fail = [&](const QString& why) {
        *error = QStringLiteral("not a sector backup of this program: %1").arg(why);
        return false;
    };
    if (bytes.size() > largest_backup) {
        return fail(QStringLiteral("too large"));
    }
    qsizetype at = 0;
    auto next_line = [&](QByteArray* line) {
        const qsizetype end = bytes.indexOf('\n', at);
        if (end < 0 || end - at > 8192) {
            return false;
        }
        *line = bytes.mid(at, end - at);
        at = end + 1;
        return true;
    };
    QByteArray line;
    if (!next_line(&line) || line != magic) {
        return fail(QStringLiteral("unknown format"));
    }
    if (!next_line(&line) || !line.startsWith("drive ")) {
        return fail(QStringLiteral("no drive"));
    }
    b.drive = QString::fromUtf8(line.mid(6));
    bool ok = false;
    if (!next_line(&line) || !line.startsWith("sectors ") ||
        (b.drive_sectors = line.mid(8).toULongLong(&ok), !ok)) {
        return fail(QStringLiteral("no drive size"));
    }
    QList<std::pair<std::uint64_t, qint64>> sizes;  // lba, sectors
    qint64 data_bytes = 0;
    QByteArray check;
    qsizetype checked_until = 0;  // the check covers the header before its own line
    for (;;) {
        const qsizetype line_start = at;
        if (!next_line(&line)) {
            return fail(QStringLiteral("the header does not end"));
        }
        if (line == "data") {
            break;
        }
        if (line.startsWith("sector_bytes ")) {
            b.sector_bytes = line.mid(13).toUInt(&ok);
            if (!ok || (b.sector_bytes != 512 && b.sector_bytes != 4096)) {
                return fail(QStringLiteral("a bad sector size"));
            }
            continue;
        }
        if (line.startsWith("medium ")) {
            b.medium = QString::fromUtf8(line.mid(7));
            continue;
        }
        if (line.startsWith("check ") && check.isEmpty()) {
            check = QByteArray::fromHex(line.mid(6));
            checked_until = line_start;
            if (check.size() != 32 || line.size() != 6 + 64) {
                return fail(QStringLiteral("a bad check line"));
            }
            continue;
        }
        const QList<QByteArray> w = line.split(' ');
        bool ok_lba = false;
        bool ok_count = false;
        if (w.size() != 4 || w[0] != "range" || sizes.size() == largest_range_count) {
            return fail(QStringLiteral("a bad range line"));
        }
        const std::uint64_t lba = w[1].toULongLong(&ok_lba);
        const qint64 count = w[2].toLongLong(&ok_count);
        if (!ok_lba || !ok_count || count <= 0 || count > largest_backup / 512 ||
            lba > UINT64_MAX - std::uint64_t(count)) {
            return fail(QStringLiteral("a bad range"));
        }
        backup_range_s range;
        range.lba = lba;
        if (w[3] != "-") {
            range.written_hash = QByteArray::fromHex(w[3]);
            if (range.written_hash.size() != 32 || w[3].size() != 64) {
                return fail(QStringLiteral("a bad hash"));
            }
        }
        data_bytes += count * 512;
        if (data_bytes > largest_backup) {
            return fail(QStringLiteral("too large"));
        }
        sizes << std::pair{lba, count};
        b.ranges << range;
    }
    if (b.ranges.isEmpty() || bytes.size() - at != data_bytes) {
        return fail(QStringLiteral("the data does not match the ranges"));
    }
    if (!check.isEmpty() && QCryptographicHash::hash(bytes.left(checked_until) + bytes.mid(at),
                                                     QCryptographicHash::Sha256) != check) {
        return fail(QStringLiteral("it is damaged (its check does not match)"));
    }
    for (qsizetype i = 0; i < b.ranges.size(); ++i) {
        b.ranges[i].old_bytes = bytes.mid(at, sizes[i].second * 512);
        at += sizes[i].second * 512;
    }
    *backup = b;
    return true;
}

QString save_sector_backup(const sector_backup_s& backup, QString* error) {
    const QString folder = QFileInfo(error_log_path()).absolutePath();
    std::string why;
    const int dir = platform::open_folder(QFile::encodeName(folder).toStdString(), true, &why);
    if (dir < 0) {
        *error = QStringLiteral("cannot create the folder %1: %2")
                     .arg(folder, QString::fromLocal8Bit(why.c_str()));
        return {};
    }
    QString base = QFileInfo(backup.drive).fileName();
    base.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    if (base.isEmpty()) {
        base = QStringLiteral("drive");
    }
    const QByteArray bytes = encode_sector_backup(backup);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const auto fail = [&](const QString& text, const QByteArray& made) {
        *error = text;
        if (!made.isEmpty()) {
            ::unlinkat(dir, made.constData(), 0);
        }
        ::close(dir);
        return QString();
    };
    for (int n = 0; n < 100; ++n) {
        const QString name = n == 0
                                 ? QStringLiteral("sectors-%1-%2.bin").arg(base, stamp)
                                 : QStringLiteral("sectors-%1-%2-%3.bin").arg(base, stamp).arg(n);
        const QString path = folder + QLatin1Char('/') + name;
        const QByteArray native = QFile::encodeName(name);
        const int fd = platform::create_file(dir, native.toStdString(), O_WRONLY);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return fail(QStringLiteral("cannot create %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno))),
                        {});
        }
        // On disk before the drive is written: the file's bytes, then its name in the folder.
        QFile file;
        const bool written = file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) &&
                             file.write(bytes) == bytes.size() && file.flush() && ::fsync(fd) == 0;
        const QString reason = file.errorString();
        file.close();
        if (!written) {
            return fail(QStringLiteral("cannot write %1: %2").arg(path, reason), native);
        }
        if (::fsync(dir) != 0) {
            return fail(QStringLiteral("cannot sync the folder %1: %2")
                            .arg(folder, QString::fromLocal8Bit(std::strerror(errno))),
                        native);
        }
        ::close(dir);
        return path;
    }
    return fail(QStringLiteral("too many backups named after %1 in %2").arg(base, folder), {});
}

bool load_sector_backup(const QString& path, sector_backup_s* backup, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > largest_backup) {
        *error = QStringLiteral("%1 is too large to be a sector backup").arg(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (!decode_sector_backup(bytes, backup, error)) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    return true;
}
