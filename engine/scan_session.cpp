#include "scan_session.h"

#include "engine/raw/scan_checkpoint.h"

#include "core/settings.h"

scan_session_c::scan_session_c(QObject* parent) : QObject(parent) {
    connect(&fat_engine_, &QThread::finished, this, &scan_session_c::on_thread_finished);
    connect(&ntfs_engine_, &QThread::finished, this, &scan_session_c::on_thread_finished);
    connect(&exfat_engine_, &QThread::finished, this, &scan_session_c::on_thread_finished);
    connect(&ext4_engine_, &QThread::finished, this, &scan_session_c::on_thread_finished);
    connect(&raw_engine_, &QThread::finished, this, &scan_session_c::on_thread_finished);
    // The signature library's types and limits, read once before any scan.
    const QByteArray config =
        (data_folder() + QStringLiteral("/Orvanerecovery.conf")).toLocal8Bit();
    sig_load_config(config.constData());
}

scan_session_c::~scan_session_c() {
    // Engines must not be destroyed while their thread runs.
    if (current_->isRunning()) {
        current_->set_stop(stop_abort);
        current_->wait();
    }
}

recovery_base_c* scan_session_c::engine_for(engine_kind_e kind) {
    switch (kind) {
        case engine_fat:
            return &fat_engine_;
        case engine_ntfs:
            return &ntfs_engine_;
        case engine_signature:
            return &raw_engine_;
        case engine_exfat:
            return &exfat_engine_;
        case engine_ext4:
            return &ext4_engine_;
        case engine_none:
            break;
    }
    return nullptr;
}

int scan_session_c::start(const volume_item_s& target, bool deep_scan) {
    if (scanning_) {
        return -1;
    }
    const engine_kind_e kind = choose_engine(target, deep_scan);
    recovery_base_c* engine = engine_for(kind);
    if (!engine) {
        return -1;
    }
    current_->reset();
    current_ = engine;
    engine_kind_ = kind;
    target_ = target;
    has_results_ = false;
    current_->reset();
    current_->set_target(target_);
    scanning_ = true;
    current_->start(QThread::InheritPriority);
    return 0;
}

int scan_session_c::continue_deep_scan(const volume_item_s& target,
                                       const scan_checkpoint_s& checkpoint) {
    if (scanning_) {
        return -1;
    }
    current_->reset();
    current_ = &raw_engine_;
    engine_kind_ = engine_signature;
    target_ = target;
    has_results_ = false;
    raw_engine_.set_target(target_);
    raw_engine_.continue_from(checkpoint);
    scanning_ = true;
    raw_engine_.start(QThread::InheritPriority);
    return 0;
}

void scan_session_c::stop() {
    if (scanning_) {
        current_->set_stop(stop_keep);
    }
}

void scan_session_c::abort() {
    if (scanning_) {
        current_->set_stop(stop_abort);
    } else {
        current_->reset();
        has_results_ = false;
    }
}

int scan_session_c::toggle_pause() {
    if (!scanning_) {
        return 0;
    }
    const int pause = current_->get_pause() != 0 ? 0 : 1;
    current_->set_pause(pause);
    return pause;
}

void scan_session_c::on_thread_finished() {
    if (!scanning_ || current_->isRunning()) {
        return;  // already handled (the tool calls this itself after waiting)
    }
    scanning_ = false;
    progress_at_end_ = current_->get_progress();
    if (current_->get_stop() == stop_abort) {
        current_->reset();
        has_results_ = false;
        return;
    }
    current_->set_progress(1.0);
    has_results_ = true;
}

namespace {

QString without_backslash(QString name) {
    if (name.endsWith(QLatin1Char('\\'))) {
        name.chop(1);
    }
    return name;
}

}  // namespace

int scan_session_c::resume_scan_file(const QString& path, const std::vector<volume_item_s>& volumes,
                                     QString* device_path, QString* why, bool with_metadata) {
    if (scanning_) {
        return -1;
    }
    const QString device = raw_engine_.read_scan_file(path);
    if (device_path) {
        *device_path = device;
    }
    if (device.isEmpty()) {
        return -1;
    }
    const auto refuse = [&](const QString& reason) {
        if (why) {
            *why = reason;
        }
        return -1;
    };
    // The volume the file names, by its whole name: never a volume whose name merely begins
    // with it (a whole image's partitions do).
    const volume_item_s* match = nullptr;
    for (const volume_item_s& v : volumes) {
        if (!v.volume_name.isEmpty() && without_backslash(v.volume_name) == device) {
            match = &v;
            break;
        }
    }
    if (!match) {
        return refuse(QStringLiteral("no listed volume is named '%1'").arg(device));
    }
    const auto& identity = raw_engine_.file_identity();
    std::uint64_t volume_bytes = match->total_bytes;
    scan_volume_id_s now;
    const bool readable = scan_volume_identity(*match, &now);
    if (identity) {
        if (!readable) {
            return refuse(QStringLiteral("'%1' cannot be read").arg(device));
        }
        if (!(now == *identity)) {
            return refuse(QStringLiteral("'%1' is not the volume this scan was made of (its "
                                         "start, size or boot sector differ)")
                              .arg(device));
        }
        volume_bytes = identity->size;
    } else {
        if (!trust_unbound_) {
            if (why) {
                *why = QStringLiteral(
                           "the scan file does not say which volume it was made of "
                           "(it was not written by this program, or by an old "
                           "version), so its records may name any bytes of '%1'")
                           .arg(device);
            }
            return resume_untrusted;
        }
        if (readable) {
            volume_bytes = now.size;
        }
        // No identity to compare: the volume must at least hold every record whole.
        for (const signature_record& r : raw_engine_.records()) {
            if (volume_bytes == 0 || r.offset > volume_bytes || r.size > volume_bytes - r.offset) {
                return refuse(QStringLiteral("'%1' is smaller than the scan's records; it is not "
                                             "the volume this scan was made of")
                                  .arg(device));
            }
        }
    }
    if (current_ != &raw_engine_) {
        current_->reset();
    }
    current_ = &raw_engine_;
    engine_kind_ = engine_signature;
    target_ = *match;
    raw_engine_.set_target(target_);
    raw_engine_.limit_to_volume(volume_bytes);
    if (with_metadata) {
        raw_engine_.read_metadata();  // names and dates, from the files on the volume
    }
    raw_engine_.set_progress(1.0);
    progress_at_end_ = 1.0;
    has_results_ = true;
    return 0;
}
