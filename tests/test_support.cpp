#include "test_support.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

QString fixture_path(const QString& relative) {
    return qEnvironmentVariable("ORVANE_FIXTURES") + QLatin1Char('/') + relative;
}

bool fixture_exists(const QString& relative) {
    return QFile::exists(fixture_path(relative));
}

int use_images(const QStringList& images) {
    platform::clear_images();
    for (const QString& image : images) {
        platform::add_image(image, nullptr);
    }
    static bool opened = false;
    if (!opened) {
        opened = true;
        return disk_open_all();
    }
    return disk_reopen_all();
}

int run_orvane(const QStringList& arguments, QByteArray* out, QByteArray* err, int timeout_ms) {
    QProcess process;
    process.start(qEnvironmentVariable("ORVANE_BIN") + QStringLiteral("/orvane"), arguments);
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (out) {
        *out = process.readAllStandardOutput();
    }
    if (err) {
        *err = process.readAllStandardError();
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray sha256_of_file(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

volume_item_s memory_volume(const QString& name, std::shared_ptr<const QByteArray> bytes,
                            const QString& file_system) {
    platform::clear_memory_drives();
    platform::add_memory_drive(name, std::move(bytes));
    use_images({});
    volume_item_s target;
    target.device_name = target.volume_name = target.path = "mem:" + name;
    target.file_system = file_system;
    target.partition_number = 0;
    target.disk_number = 0;
    return target;
}
