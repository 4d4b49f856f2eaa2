#include "device/ui/image_worker.h"

#include "device/platform/platform_write.h"

image_worker_c::image_worker_c(const QString& drive_name, const QString& output, bool trust_map,
                               QObject* parent)
    : QThread(parent), drive_name_(drive_name), output_(output), trust_map_(trust_map) {}

image_worker_c::~image_worker_c() {
    request_stop();
    wait();
}

rescue_progress_s image_worker_c::progress() const {
    QMutexLocker hold(&lock_);
    return progress_;
}

void image_worker_c::run() {
    QString error;
    auto source = platform::open_drive(platform::drive_by_name(drive_name_), &error);
    if (!source) {
        error_ = error;
        outcome_ = image_rescue_c::outcome_e::failed;
        return;
    }
    image_rescue_c::settings_s settings;
    settings.map_path = map_path();
    settings.trust_unnamed_map = trust_map_;
    settings.source_name = drive_name_;
    settings.command_line =
        QStringLiteral("orvane-recovery: save %1 as %2").arg(drive_name_, output_);
    image_rescue_c rescue(*source, settings);
    if (!rescue.open(output_, &error)) {
        map_unnamed_ = rescue.map_names_no_source();
        error_ = error;
        outcome_ = image_rescue_c::outcome_e::failed;
        return;
    }
    {
        QMutexLocker hold(&lock_);
        progress_.size = rescue.map().source_size();
        progress_.rescued = rescue.map().bytes('+');
    }
    outcome_ = rescue.run(
        stop_word, &pause_word,
        [this](const rescue_progress_s& p) {
            QMutexLocker hold(&lock_);
            progress_ = p;
        },
        &error);
    error_ = error;
}
