#pragma once
// The careful copy of a drive into an image file (image_rescue_c) in a thread of its own,
// for the imaging dialog. The dialog polls progress() and asks for pause and stop; the map
// is kept beside the image as IMAGE.map, so that a stopped copy continues when started
// again with the same image file.

#include "device/imaging/image_rescue.h"

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

class image_worker_c : public QThread {
    Q_OBJECT
  public:
    // trust_map: the user said that a map naming no source is this drive's (see
    // image_rescue_c::settings_s::trust_unnamed_map).
    image_worker_c(const QString& drive_name, const QString& output, bool trust_map = false,
                   QObject* parent = nullptr);
    ~image_worker_c() override;

    rescue_progress_s progress() const;
    void set_pause(bool paused) { pause_word.store(paused ? 1 : 0); }
    void request_stop() { stop_word.store(1); }
    // After finished(): how the copy ended, and why it failed.
    image_rescue_c::outcome_e outcome() const { return outcome_; }
    QString error() const { return error_; }
    QString output() const { return output_; }
    QString map_path() const { return output_ + QStringLiteral(".map"); }
    // The copy failed only because its map names no source: the user may vouch for it.
    bool map_names_no_source() const { return map_unnamed_; }

  protected:
    void run() override;

  private:
    QString drive_name_;
    QString output_;
    bool trust_map_ = false;
    std::atomic<bool> map_unnamed_{false};
    mutable QMutex lock_;
    rescue_progress_s progress_;  // guarded by lock_
    std::atomic<int> stop_word{0};
    std::atomic<int> pause_word{0};
    image_rescue_c::outcome_e outcome_ = image_rescue_c::outcome_e::failed;
    QString error_;
};
