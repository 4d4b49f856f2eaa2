#pragma once
// Helpers of the deep-scan tests: small titled PNG files, seeded random bytes (which hold no
// file of any type), an image file as the volume to scan, and a scan run to its end.
#include "engine/raw/raw_recovery.h"

#include <QByteArray>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtTest>

#include "test_support.h"

#include <zlib.h>

// A 1x1 grey PNG whose tEXt chunk gives it a title (none when empty), and whose tIME chunk
// the time it was changed when one is given (7 bytes: year, month, day, hour, minute,
// second).
inline QByteArray titled_png(const QByteArray& title, const QByteArray& changed = {}) {
    const auto chunk = [](const QByteArray& kind, const QByteArray& body) {
        QByteArray out;
        const auto length = static_cast<std::uint32_t>(body.size());
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.append(static_cast<char>(length >> shift));
        }
        const QByteArray crc_part = kind + body;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(crc_part.constData()),
                  static_cast<uInt>(crc_part.size())));
        out += crc_part;
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.append(static_cast<char>(crc >> shift));
        }
        return out;
    };
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += chunk("IHDR", QByteArray("\0\0\0\1\0\0\0\1\x08\0\0\0\0", 13));
    if (!title.isEmpty()) {
        png += chunk("tEXt", "Title" + QByteArray(1, '\0') + title);
    }
    if (!changed.isEmpty()) {
        png += chunk("tIME", changed);
    }
    png += chunk("IDAT", qCompress(QByteArray(2, '\0')).mid(4));
    png += chunk("IEND", {});
    return png;
}

inline QByteArray noise(qsizetype bytes, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray data(bytes, '\0');
    random.fillRange(reinterpret_cast<quint32*>(data.data()), bytes / 4);
    return data;
}

// The image as the only drive, and as the volume a deep scan reads whole.
inline volume_item_s image_volume(const QString& path) {
    use_images({path});
    volume_item_s target;
    target.device_name = target.volume_name = target.path = QFileInfo(path).canonicalFilePath();
    target.total_bytes = static_cast<std::uint64_t>(QFileInfo(path).size());
    return target;
}

// Scans the volume to its end with the engine (a test fails when it takes five minutes).
inline void scan(raw_recovery_c* engine, const volume_item_s& target) {
    engine->reset();
    engine->set_target(target);
    engine->start();
    QVERIFY(engine->wait(300000));
}
