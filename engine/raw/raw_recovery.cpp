#include "raw_recovery.h"

#include <atomic>
#include <cstring>

namespace {

template <typename T>
std::atomic_ref<T> shared(T& field) {
    return std::atomic_ref<T>(field);
}

}  // namespace

QByteArray record_type(const signature_record& record) {
    return QByteArray(record.type,
                      static_cast<qsizetype>(strnlen(record.type, sizeof record.type)));
}

raw_recovery_c::~raw_recovery_c() {
    // The object must not go while its thread runs: end the scan and wait for it.
    if (isRunning()) {
        set_stop(stop_abort);
        wait();
    }
}

void raw_recovery_c::set_target(const volume_item_s& target) {
    target_ = target;
    device_path_ = target.volume_name;
    if (device_path_.endsWith(QLatin1Char('\\'))) {
        device_path_.chop(1);
    }
}

double raw_recovery_c::get_progress() {
    return shared(block_.progress).load(std::memory_order_relaxed);
}
void raw_recovery_c::set_progress(double progress) {
    shared(block_.progress).store(progress, std::memory_order_relaxed);
}
void raw_recovery_c::set_stop(int code) {
    shared(block_.stop).store(code, std::memory_order_relaxed);
}
int raw_recovery_c::get_stop() {
    return shared(block_.stop).load(std::memory_order_relaxed);
}
int raw_recovery_c::get_pause() {
    return shared(block_.pause).load(std::memory_order_relaxed);
}
void raw_recovery_c::set_pause(int pause) {
    shared(block_.pause).store(pause, std::memory_order_relaxed);
}

void raw_recovery_c::reset() {
    // Field by field: the page may read progress while the thread resets at its start.
    block_.owner = nullptr;
    block_.found = nullptr;
    set_progress(0.0);
    set_pause(0);
    set_stop(0);
    found_so_far_ = 0;
    records_.clear();
    type_index_.clear();
    file_identity_.reset();
    refused_records_ = 0;
    volume_bytes_ = 0;
}

void raw_recovery_c::run() {
    try {
        reset();
        block_.owner = this;
        block_.found = &raw_recovery_c::on_found;
        const QByteArray path = device_path_.toLocal8Bit();
        sig_scan(&block_, path.constData());
    } catch (...) {
        // Out of memory for the records: keep what was found and end the scan.
        set_stop(stop_keep);
    }
}

void raw_recovery_c::on_found(void* owner, const char* type, std::uint32_t offset_low,
                              std::uint32_t offset_high, std::uint32_t size_low,
                              std::uint32_t size_high) {
    auto* self = static_cast<raw_recovery_c*>(owner);
    signature_record record;
    record.index = self->records_.size();
    record.offset = static_cast<std::uint64_t>(offset_high) << 32 | offset_low;
    record.size = static_cast<std::uint64_t>(size_high) << 32 | size_low;
    const QByteArray name(type ? type : "");
    std::memcpy(record.type, name.constData(), std::min<qsizetype>(name.size(), 8));
    self->records_.push_back(record);
    self->type_index_[name].append(record.index);
    self->found_so_far_.fetch_add(1, std::memory_order_relaxed);
}

// Copies exactly the record's bytes from its offset. A read that ends before the whole
// file is copied fails the restore.
int raw_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    if (file_key >= records_.size()) {
        return -1;
    }
    const signature_record record = records_[file_key];
    if (volume_bytes_ != 0 &&
        (record.offset > volume_bytes_ || record.size > volume_bytes_ - record.offset)) {
        return -1;  // it would run past the end of the volume
    }
    const intptr_t handle = sig_open(device_path_.toLocal8Bit().constData());
    if (handle == 0) {
        return -1;
    }
    int result = -1;
    if (sig_seek(handle, static_cast<std::uint32_t>(record.offset),
                 static_cast<std::uint32_t>(record.offset >> 32), 0) >= 0) {
        char buffer[8192];
        std::uint64_t remaining = record.size;
        bool ok = true;
        while (ok && remaining > 0) {
            std::memset(buffer, 0, sizeof buffer);
            const std::int32_t got = sig_read(handle, buffer, sizeof buffer);
            if (got <= 0) {
                ok = false;
                break;
            }
            const std::uint64_t take =
                std::min<std::uint64_t>(static_cast<std::uint64_t>(got), remaining);
            ok = sink->write(buffer, static_cast<std::size_t>(take));
            remaining -= take;
        }
        result = ok ? 0 : -1;
    }
    sig_close(handle);
    return result;
}

int raw_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    (void)file_key;
    (void)path;
    return 0;
}
