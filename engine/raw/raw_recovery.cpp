#include "raw_recovery.h"

#include "engine/raw/scan_checkpoint.h"
#include "engine/raw/sig_pieces.h"
#include "engine/raw/sig_verify.h"
#include "engine/raw/sig_volume.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace {

template <typename T>
std::atomic_ref<T> shared(T& field) {
    return std::atomic_ref<T>(field);
}

// The volume through the library's device calls, for the metadata readers: a cache of one
// block, as they read the few places of a file they need.
class handle_view_c final : public sig::byte_view_c {
  public:
    handle_view_c(intptr_t handle, std::uint64_t size) : handle_(handle), size_(size) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > sig::view_max_span || pos > size_ || n > size_ - pos) {
            return nullptr;
        }
        if (length_ > 0 && start_ <= pos && pos - start_ + n <= length_) {
            return cache_.data() + (pos - start_);
        }
        // The first read is small (most files say what they say in their first bytes, and a
        // loaded scan file may hold a million of them); each further miss reads twice as
        // much, up to the largest block.
        start_ = pos & ~static_cast<std::uint64_t>(4095);
        const std::size_t block =
            std::max(std::min(next_block_, max_block), ((pos - start_ + n + 4095) / 4096) * 4096);
        next_block_ = std::min(block * 2, max_block);
        cache_.resize(block);
        length_ = 0;
        if (sig_seek(handle_, static_cast<std::uint32_t>(start_),
                     static_cast<std::uint32_t>(start_ >> 32), 0) < 0) {
            return nullptr;
        }
        while (length_ < block) {
            const std::int32_t got = sig_read(handle_, cache_.data() + length_,
                                              static_cast<std::int32_t>(block - length_));
            if (got <= 0) {
                break;
            }
            length_ += static_cast<std::size_t>(got);
        }
        return pos - start_ + n <= length_ ? cache_.data() + (pos - start_) : nullptr;
    }
    std::uint64_t size() const override { return size_; }

  private:
    static constexpr std::size_t max_block = 256 * 1024;
    std::size_t next_block_ = 4096;
    intptr_t handle_;
    std::uint64_t size_;
    std::vector<std::uint8_t> cache_;
    std::uint64_t start_ = 0;
    std::size_t length_ = 0;
};

// The volume's size through the device calls: the furthest offset a seek accepts.
std::uint64_t handle_size(intptr_t handle) {
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
    return low;
}

// The metadata of a record, read through a view in which its pieces follow each other
// (gap 0 for a file stored whole).
file_meta_s meta_of(meta_child_c& reader, intptr_t handle, std::uint64_t volume_size,
                    const signature_record& record, std::uint64_t joint = 0,
                    std::uint64_t gap = 0) {
    if (handle == 0 || record.offset >= volume_size) {
        return {};
    }
    handle_view_c direct(handle, volume_size);
    sig::spliced_view_c view(direct, gap ? joint : volume_size, gap);
    const std::uint64_t size = view.size();
    if (record.offset >= size) {
        return {};
    }
    sig::window_c w(view, record.offset, std::min(record.size, size - record.offset));
    return reader.read(record_type(record), w);
}

}  // namespace

const char* verified_name(int level) {
    switch (level) {
        case verified_start:
            return "start";
        case verified_whole:
            return "whole";
        case verified_joined:
            return "joined";
        default:
            return "unknown";
    }
}

std::uint64_t head_digest(const std::uint8_t* bytes, std::size_t n) {
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(bytes, static_cast<qsizetype>(n)), QCryptographicHash::Sha256);
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(digest[i]);
    }
    return value;
}

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
    release_volume();
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
    levels_.clear();
    heads_.clear();
    meta_.clear();
    second_pieces_.clear();
    type_index_.clear();
    file_identity_.reset();
    records_from_file_ = false;
    refused_records_ = 0;
    volume_bytes_ = 0;
    meta_complete_ = true;  // a scan reads each file's metadata as it finds it
    release_volume();
}

void raw_recovery_c::continue_from(const scan_checkpoint_s& checkpoint) {
    reset();
    records_ = checkpoint.records;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        records_[i].index = i;
        type_index_[record_type(records_[i])].append(i);
    }
    for (const scan_checkpoint_s::piece_s& p : checkpoint.pieces) {
        second_pieces_.insert(p.position, {p.first_size, p.second_offset});
    }
    levels_ = checkpoint.levels;
    levels_.resize(records_.size(), verified_unknown);
    heads_ = checkpoint.heads;
    heads_.resize(records_.size(), 0);
    found_so_far_ = static_cast<std::int64_t>(records_.size());
    resume_at_ = checkpoint.resume_at;
    resume_work_ = checkpoint.join_work;
    continuing_ = true;
}

void raw_recovery_c::found_so_far(scan_checkpoint_s* found_now) {
    scan_checkpoint_s& found = *found_now;
    found = scan_checkpoint_s{};
    found.device_path = device_path_;
    std::lock_guard<std::mutex> hold(records_lock_);
    found.records = records_;
    for (auto p = second_pieces_.cbegin(); p != second_pieces_.cend(); ++p) {
        if (p.key() < found.records.size()) {  // its record may not be appended yet
            found.pieces.push_back({p.key(), p->first_size, p->offset});
        }
    }
}

void raw_recovery_c::write_checkpoint_now(const QByteArray& identity, std::uint64_t volume_size) {
    scan_checkpoint_s checkpoint;
    checkpoint.device_path = device_path_;
    checkpoint.identity = identity;
    // The library's word first, then the records: every file that begins before the word
    // has been appended by then. A file being measured at the word is measured again when
    // the scan continues.
    std::uint64_t reported = 0;
    {
        std::lock_guard<std::mutex> hold(mark_.lock);
        reported = mark_.reported;
        checkpoint.join_work = mark_.join_work;
    }
    {
        std::lock_guard<std::mutex> hold(records_lock_);
        checkpoint.records = records_;
        checkpoint.levels = levels_;
        checkpoint.heads = heads_;
        for (auto p = second_pieces_.cbegin(); p != second_pieces_.cend(); ++p) {
            checkpoint.pieces.push_back({p.key(), p->first_size, p->offset});
        }
    }
    checkpoint.levels.resize(checkpoint.records.size(), verified_unknown);
    checkpoint.heads.resize(checkpoint.records.size(), 0);
    if (reported < resume_at_) {
        reported = resume_at_;  // the scan did not get to start
        checkpoint.join_work = resume_work_;
    }
    checkpoint.resume_at = std::min(reported, volume_size);
    ::write_checkpoint(checkpoint_path(device_path_), checkpoint);
}

void raw_recovery_c::run() {
    const bool continuing = continuing_;
    continuing_ = false;
    std::mutex wake_lock;
    std::condition_variable wake;
    bool finished = false;
    std::thread checkpointer;
    QByteArray identity;
    std::uint64_t volume_size = 0;
    // A stop written before the thread started is meant for this scan: it ends at once, the
    // volume untouched and any checkpoint of an earlier scan left as it was.
    const int stop = get_stop();
    if (stop != stop_none) {
        resume_at_ = 0;
        resume_work_ = 0;
        return;
    }
    try {
        if (!continuing) {
            reset();
            resume_at_ = 0;
            resume_work_ = 0;
        } else {
            read_metadata();  // of the checkpoint's records, here rather than on the caller's
                              // thread
        }
        {
            std::lock_guard<std::mutex> hold(mark_.lock);
            mark_.reported = resume_at_;
            mark_.join_work = resume_work_;
        }
        block_.owner = this;
        block_.found = &raw_recovery_c::on_found;
        const QByteArray path = device_path_.toLocal8Bit();
        identity = volume_identity(device_path_);
        for (int i = 0; i < 8 && i < identity.size(); ++i) {
            volume_size |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(identity[i]))
                           << (8 * i);
        }
        if (!identity.isEmpty()) {
            checkpointer = std::thread([&] {
                std::unique_lock<std::mutex> hold(wake_lock);
                while (!wake.wait_for(hold, std::chrono::seconds(3), [&] { return finished; })) {
                    write_checkpoint_now(identity, volume_size);
                }
            });
        }
        // The metadata is read from the scan's own buffers as each file is found.
        meta_child_ = std::make_unique<meta_child_c>();
        sig::set_scan_inspector(&raw_recovery_c::on_inspect);
        sig::set_scan_mark(&mark_);
        sig_scan_resume(&block_, path.constData(), &raw_recovery_c::on_found_pieces, resume_at_);
        sig::set_scan_mark(nullptr);
        sig::set_scan_inspector(nullptr);
    } catch (...) {
        // Out of memory for the records: keep what was found and end the scan.
        set_stop(stop_keep);
    }
    meta_child_.reset();
    if (checkpointer.joinable()) {
        {
            std::lock_guard<std::mutex> hold(wake_lock);
            finished = true;
        }
        wake.notify_all();
        checkpointer.join();
        if (get_progress() >= 1.0 && get_stop() == 0) {
            QFile::remove(checkpoint_path(device_path_));
        } else {
            write_checkpoint_now(identity, volume_size);
        }
    }
    resume_at_ = 0;
    resume_work_ = 0;
}

void raw_recovery_c::on_inspect(void* owner, const char* type, sig::window_c& file,
                                sig::verify_e verified) {
    auto* self = static_cast<raw_recovery_c*>(owner);
    if (self->meta_child_) {
        self->inspected_ = self->meta_child_->read(QByteArray(type ? type : ""), file);
    }
    self->inspected_level_ = static_cast<std::uint8_t>(verified);
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(head_bytes, file.bound()));
    const std::uint8_t* head = file.at(0, n);
    self->inspected_head_ = head ? head_digest(head, n) : 0;
}

const file_meta_s* raw_recovery_c::meta(std::uint64_t position) const {
    if (position >= meta_.size() || meta_[position].empty()) {
        return nullptr;
    }
    return &meta_[position];
}

void raw_recovery_c::read_metadata(const std::function<bool(std::size_t, std::size_t)>& step,
                                   const std::function<bool(std::uint64_t)>& wanted) {
    if (metadata_known()) {
        return;  // the scan found it, or the scan file carried it: nothing to read
    }
    meta_.clear();
    meta_complete_ = false;
    const intptr_t handle = sig_open(device_path_.toLocal8Bit().constData());
    if (handle == 0) {
        return;
    }
    const std::uint64_t size = handle_size(handle);
    meta_.reserve(records_.size());
    meta_child_c reader;
    bool whole = true;
    std::size_t i = 0;
    for (; i < records_.size(); ++i) {
        if (step && !step(i, records_.size())) {
            break;
        }
        if (wanted && !wanted(i)) {
            whole = false;
            meta_.push_back({});
            continue;
        }
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        if (second_piece(i, &first, &second)) {
            const std::uint64_t joint = records_[i].offset + first;
            meta_.push_back(meta_of(reader, handle, size, records_[i], joint, second - joint));
        } else {
            meta_.push_back(meta_of(reader, handle, size, records_[i]));
        }
    }
    sig_close(handle);
    meta_complete_ = whole && i == records_.size();
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
    {
        std::lock_guard<std::mutex> hold(self->records_lock_);
        self->records_.push_back(record);
        self->levels_.resize(record.index, verified_unknown);
        self->levels_.push_back(self->inspected_level_);
        self->heads_.resize(record.index, 0);
        self->heads_.push_back(self->inspected_head_);
    }
    if (self->meta_.size() + 1 == self->records_.size()) {
        self->meta_.push_back(std::move(self->inspected_));
    }
    self->inspected_ = {};
    self->inspected_level_ = verified_unknown;
    self->inspected_head_ = 0;
    self->type_index_[name].append(record.index);
    self->found_so_far_.fetch_add(1, std::memory_order_relaxed);
}

bool raw_recovery_c::second_piece(std::uint64_t position, std::uint64_t* first_size,
                                  std::uint64_t* second_offset) const {
    const auto found = second_pieces_.constFind(position);
    if (found == second_pieces_.constEnd()) {
        return false;
    }
    *first_size = found->first_size;
    *second_offset = found->offset;
    return true;
}

void raw_recovery_c::on_found_pieces(void* owner, const char* type, std::uint64_t offset,
                                     std::uint64_t first_size, std::uint64_t second_offset,
                                     std::uint64_t size) {
    auto* self = static_cast<raw_recovery_c*>(owner);
    const std::uint64_t position = self->records_.size();
    {
        std::lock_guard<std::mutex> hold(self->records_lock_);
        self->second_pieces_.insert(position, {first_size, second_offset});
    }
    on_found(owner, type, static_cast<std::uint32_t>(offset),
             static_cast<std::uint32_t>(offset >> 32), static_cast<std::uint32_t>(size),
             static_cast<std::uint32_t>(size >> 32));
}

// Copies exactly the record's bytes from its offset (and a two-piece file's second piece
// from where it lies). A read that ends before the whole file is copied fails the restore.
// The volume is opened at the first restore and kept for the next ones: a restore of a
// million records opens an image (and its container library) once, not a million times.
int raw_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    error_text_.clear();
    if (file_key >= records_.size()) {
        return -1;
    }
    const signature_record record = records_[file_key];
    if (volume_bytes_ != 0 &&
        (record.offset > volume_bytes_ || record.size > volume_bytes_ - record.offset)) {
        return -1;  // it would run past the end of the volume
    }
    std::uint64_t first_size = record.size;
    std::uint64_t second_offset = 0;
    const bool two = second_piece(file_key, &first_size, &second_offset);
    if (two && volume_bytes_ != 0 &&
        (second_offset > volume_bytes_ ||
         record.size - first_size > volume_bytes_ - second_offset)) {
        return -1;
    }
    std::lock_guard<std::mutex> hold(restore_lock_);
    if (!restore_volume_) {
        auto volume = std::make_unique<sig::volume_s>();
        if (!sig::open_volume(device_path_.toLocal8Bit().constData(), volume.get())) {
            error_text_ = QStringLiteral("the volume cannot be read");
            return -1;
        }
        restore_volume_ = std::move(volume);
    }
    const sig::volume_s& volume = *restore_volume_;
    std::string why;
    if (records_from_file_ &&
        !sig::verify_record(volume, record.offset, record.size, record_type(record).toStdString(),
                            &why, two ? first_size : 0, two ? second_offset : 0)) {
        error_text_ = QStringLiteral("the scan file's record was refused: %1")
                          .arg(QString::fromStdString(why));
        return -1;
    }
    // The pieces as runs of the volume: the whole file, or its first piece and the rest.
    struct run_s {
        std::uint64_t at;
        std::uint64_t bytes;
    };
    const run_s runs[2] = {{record.offset, std::min(first_size, record.size)},
                           {second_offset, two ? record.size - first_size : 0}};
    std::vector<char> buffer(static_cast<std::size_t>(
        std::min<std::uint64_t>(restore_block, std::max<std::uint64_t>(record.size, 1))));
    for (const run_s& run : runs) {
        for (std::uint64_t done = 0; done < run.bytes;) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), run.bytes - done));
            if (!volume.read(run.at + done, buffer.data(), take)) {
                // A read error or a volume that went away: the next restore opens it again.
                restore_volume_.reset();
                return -1;
            }
            if (!sink->write(buffer.data(), take)) {
                return -1;
            }
            done += take;
        }
    }
    return 0;
}

void raw_recovery_c::release_volume() {
    std::lock_guard<std::mutex> hold(restore_lock_);
    restore_volume_.reset();
}

int raw_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    (void)file_key;
    (void)path;
    return 0;
}
