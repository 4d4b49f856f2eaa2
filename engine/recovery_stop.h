#pragma once
// The engine that does nothing: the scan page's current engine until the first scan, so that
// its timer, paint and clean-up always have an object to ask. Never started.

#include "recovery_base.h"

class recovery_stop_c final : public recovery_base_c {
    Q_OBJECT
  public:
    using recovery_base_c::recovery_base_c;

    void set_target(const volume_item_s&) override {}
    double get_progress() override { return 0.0; }
    void set_progress(double) override {}
    void set_stop(int) override {}
    int get_stop() override { return 1; }
    int get_pause() override { return 0; }
    void set_pause(int) override {}
    std::int64_t get_read_count() override { return 0; }
    void reset() override {}
    int restore_into(std::uint64_t, restore_sink_c*) override { return 0; }
    int restore_file(std::uint64_t, const QString&) override { return 0; }
    int get_file_path(std::uint64_t, QString*) override { return 0; }
    std::int64_t get_found_count() override { return 0; }
};
