#pragma once
// Helpers of the deep-scan tests: seeded random bytes (which hold no file of any type), an
// image file as the volume to scan, and a scan run to its end.
#include "engine/raw/raw_recovery.h"

#include <QByteArray>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtTest>

#include "test_support.h"

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
