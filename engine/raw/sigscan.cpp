// The signature library: the scan pipeline, configuration loading and the device calls.
//
// sig_scan runs on the caller's thread and starts one reader thread for the scan. The
// reader fills a ring of 1 MiB buffers ahead of the scan, in order, so the disk stays
// busy while the scan tests the first bytes of every sector against a table. A file found
// at a sector is measured through its structure; the scan then goes on after its end, and
// the reader skips what the measure has covered, so no byte is read twice by the pipeline.

#include "sigscan.h"

#include "sig_config.h"
#include "sig_format.h"
#include "sig_pieces.h"
#include "sig_volume.h"

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

static_assert(sizeof(void*) != 8 || sizeof(sig_scan_block) == 32, "the scan block is 32 bytes");
static_assert(offsetof(sig_scan_block, progress) == 8 && offsetof(sig_scan_block, pause) == 16 &&
                  offsetof(sig_scan_block, stop) == 20,
              "scan block layout");

namespace sig {

bool open_volume(const char* device_path, volume_s* volume) {
    if (!device_path || !*device_path) {
        return false;
    }
    const QString name = QString::fromLocal8Bit(device_path);
    const std::vector<platform::drive_desc_s> drives = platform::list_drives();
    platform::volume_where_s where;
    QString error;
    if (platform::locate_volume(name, &where) && where.drive_number >= 0 &&
        static_cast<std::size_t>(where.drive_number) < drives.size()) {
        volume->source = platform::open_drive(drives[where.drive_number], &error);
        if (!volume->source) {
            return false;
        }
        volume->base = where.start_sector * 512;
        volume->size = where.byte_size;
        const std::uint64_t drive_size = volume->source->byte_size();
        if (volume->base > drive_size) {
            return false;
        }
        volume->size = std::min(volume->size, drive_size - volume->base);
        return true;
    }
    const QString canonical = platform::canonical_volume_name(name);
    for (const platform::drive_desc_s& drive : drives) {
        if (drive.name == name || drive.name == canonical) {
            volume->source = platform::open_drive(drive, &error);
            if (!volume->source) {
                return false;
            }
            volume->base = 0;
            volume->size = volume->source->byte_size();
            return true;
        }
    }
    return false;
}

namespace {
thread_local inspect_fn scan_inspector = nullptr;
thread_local scan_mark_s* scan_mark = nullptr;
std::atomic<int> worker_count{-1};  // -1: one per processor beyond the reader's
}  // namespace

void set_check_workers(int workers) {
    worker_count.store(workers < 0 ? -1 : std::min(workers, 16));
}

int check_workers() {
    const int set = worker_count.load();
    if (set >= 0) {
        return set;
    }
    // ORVANE_CHECK_WORKERS=N: the count for a run (the deep-scan benchmark compares them).
    bool ok = false;
    const int from_environment = qEnvironmentVariableIntValue("ORVANE_CHECK_WORKERS", &ok);
    if (ok && from_environment >= 0) {
        return std::min(from_environment, 16);
    }
    const int processors = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(processors - 1, 1, 4);
}

void set_scan_inspector(inspect_fn inspector) {
    scan_inspector = inspector;
}

void set_scan_mark(scan_mark_s* mark) {
    scan_mark = mark;
}

namespace {

// 1 MiB reads keep a disk at full speed, and a buffer that size is still warm in the CPU's
// cache when the scan looks at it; larger ones measured twice as slow from the page cache.
constexpr std::size_t chunk_bytes = 1024 * 1024;
constexpr int chunk_count = 16;
constexpr std::size_t cache_bytes = 1024 * 1024;

std::int32_t load_word(std::int32_t& word) {
    return std::atomic_ref<std::int32_t>(word).load(std::memory_order_relaxed);
}

struct chunk_s {
    std::uint64_t pos = 0;
    std::size_t length = 0;
    std::vector<std::uint8_t> data;
};

// The reader thread and the ring of buffers it fills ahead of the scan.
class pipeline_c {
  public:
    // on_filled: called on the reader's thread with each buffer it has filled, before the
    // scan sees it.
    pipeline_c(const volume_s& volume, std::atomic<bool>& stopping, std::uint64_t start,
               std::function<void(const chunk_s&)> on_filled = {})
        : volume_(volume), stopping_(stopping), skip_to_(start), on_filled_(std::move(on_filled)) {
        for (int i = 0; i < chunk_count; ++i) {
            storage_.emplace_back(std::make_unique<chunk_s>());
            storage_.back()->data.resize(chunk_bytes);
            free_.push_back(storage_.back().get());
        }
        reader_ = std::thread([this] { read_ahead(); });
    }
    ~pipeline_c() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            quit_ = true;
        }
        changed_.notify_all();
        reader_.join();
    }

    // The oldest filled buffer (it stays in the ring until release); null at the end.
    chunk_s* next() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !ready_.empty() || done_ || quit_; });
        return ready_.empty() ? nullptr : ready_.front();
    }
    void release() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            free_.push_back(ready_.front());
            ready_.pop_front();
        }
        changed_.notify_all();
    }
    // The scan goes on at pos: the reader need not read what lies before it.
    void skip_to(std::uint64_t pos) {
        std::lock_guard<std::mutex> hold(lock_);
        skip_to_ = std::max(skip_to_, pos);
    }
    // The bytes from pos to the end of the filled buffer that holds pos; 0 when none does.
    std::size_t contiguous(std::uint64_t pos) {
        std::lock_guard<std::mutex> hold(lock_);
        for (const chunk_s* c : ready_) {
            if (c->pos <= pos && pos < c->pos + c->length) {
                return static_cast<std::size_t>(c->pos + c->length - pos);
            }
        }
        return 0;
    }
    // A filled buffer that holds [pos, pos + n); null when none does. Bytes that run from one
    // filled buffer into the next are copied into scratch (n at most view_max_span), so a
    // read across a seam costs a copy, not a second read of the volume.
    const std::uint8_t* find(std::uint64_t pos, std::size_t n, std::uint8_t* scratch) {
        std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t i = 0; i < ready_.size(); ++i) {
            const chunk_s* c = ready_[i];
            if (c->pos > pos || pos >= c->pos + c->length) {
                continue;
            }
            const std::size_t head = static_cast<std::size_t>(c->pos + c->length - pos);
            if (n <= head) {
                return c->data.data() + (pos - c->pos);
            }
            const chunk_s* next = i + 1 < ready_.size() ? ready_[i + 1] : nullptr;
            if (!next || next->pos != c->pos + c->length || n - head > next->length) {
                return nullptr;
            }
            std::memcpy(scratch, c->data.data() + (pos - c->pos), head);
            std::memcpy(scratch + head, next->data.data(), n - head);
            return scratch;
        }
        return nullptr;
    }

  private:
    void read_ahead() {
        std::uint64_t pos = 0;
        for (;;) {
            chunk_s* c = nullptr;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [this] { return !free_.empty() || quit_; });
                if (quit_) {
                    return;
                }
                pos = std::max(pos, skip_to_);
                if (pos >= volume_.size || stopping_.load(std::memory_order_relaxed)) {
                    done_ = true;
                    changed_.notify_all();
                    return;
                }
                c = free_.back();
                free_.pop_back();
            }
            c->pos = pos;
            c->length =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, volume_.size - pos));
            fill(c);
            if (on_filled_) {
                on_filled_(*c);
            }
            {
                std::lock_guard<std::mutex> hold(lock_);
                ready_.push_back(c);
            }
            changed_.notify_all();
            pos += c->length;
        }
    }
    // One large read; when it fails, the buffer is read again in 64 KiB pieces and the
    // pieces that cannot be read are left as zeros, so bad sectors cost only themselves.
    void fill(chunk_s* c) {
        if (volume_.read(c->pos, c->data.data(), c->length)) {
            return;
        }
        constexpr std::size_t piece = 64 * 1024;
        for (std::size_t off = 0; off < c->length; off += piece) {
            const std::size_t n = std::min(piece, c->length - off);
            if (!volume_.read(c->pos + off, c->data.data() + off, n)) {
                std::memset(c->data.data() + off, 0, n);
            }
        }
    }

    const volume_s& volume_;
    std::atomic<bool>& stopping_;
    std::vector<std::unique_ptr<chunk_s>> storage_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<chunk_s*> free_;
    std::deque<chunk_s*> ready_;
    std::uint64_t skip_to_ = 0;
    std::function<void(const chunk_s&)> on_filled_;
    bool done_ = false;
    bool quit_ = false;
    std::thread reader_;

  public:
    // Copies [pos, pos + n) out of the filled buffers; false when they do not hold all of it.
    bool copy_out(std::uint64_t pos, std::uint8_t* to, std::size_t n) {
        std::lock_guard<std::mutex> hold(lock_);
        while (n > 0) {
            const chunk_s* holder = nullptr;
            for (const chunk_s* c : ready_) {
                if (c->pos <= pos && pos < c->pos + c->length) {
                    holder = c;
                    break;
                }
            }
            if (!holder) {
                return false;
            }
            const std::size_t piece = std::min<std::size_t>(
                n, static_cast<std::size_t>(holder->pos + holder->length - pos));
            std::memcpy(to, holder->data.data() + (pos - holder->pos), piece);
            to += piece;
            pos += piece;
            n -= piece;
        }
        return true;
    }
};

// What the measures read: the reader's buffers where they hold the bytes, else a cache
// filled from a second handle on the volume.
class scan_view_c final : public byte_view_c {
  public:
    scan_view_c(pipeline_c& pipe, const volume_s& direct, std::atomic<bool>& stopping,
                std::int32_t& stop_word)
        : pipe_(pipe),
          direct_(direct),
          stopping_(stopping),
          stop_word_(stop_word),
          cache_(cache_bytes) {}

    // A measure that reads far (a long deflate stream) sees a stop request here.
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (load_word(stop_word_) != 0) {
            stopping_.store(true, std::memory_order_relaxed);
        }
        if (n > view_max_span || pos > direct_.size || n > direct_.size - pos ||
            stopping_.load(std::memory_order_relaxed)) {
            return nullptr;
        }
        if (const std::uint8_t* p = pipe_.find(pos, n, seam_)) {
            return p;
        }
        if (cache_length_ > 0 && cache_pos_ <= pos && pos - cache_pos_ + n <= cache_length_) {
            return cache_.data() + (pos - cache_pos_);
        }
        cache_pos_ = pos & ~static_cast<std::uint64_t>(4095);
        cache_length_ = static_cast<std::size_t>(
            std::min<std::uint64_t>(cache_bytes, direct_.size - cache_pos_));
        if (!direct_.read(cache_pos_, cache_.data(), cache_length_)) {
            cache_length_ = 0;
            return nullptr;
        }
        return cache_.data() + (pos - cache_pos_);
    }
    std::uint64_t size() const override { return direct_.size; }
    std::size_t contiguous(std::uint64_t pos) override {
        if (const std::size_t in_ring = pipe_.contiguous(pos)) {
            return in_ring;
        }
        if (cache_length_ > 0 && cache_pos_ <= pos && pos < cache_pos_ + cache_length_) {
            return static_cast<std::size_t>(cache_pos_ + cache_length_ - pos);
        }
        return view_max_span;
    }

  private:
    pipeline_c& pipe_;
    const volume_s& direct_;
    std::atomic<bool>& stopping_;
    std::int32_t& stop_word_;
    std::vector<std::uint8_t> cache_;
    std::uint64_t cache_pos_ = 0;
    std::size_t cache_length_ = 0;
    std::uint8_t seam_[view_max_span];  // bytes across two of the reader's buffers
};

// The JPEG checks done ahead of the scan. The reader offers each sector of a filled buffer
// that begins like a JPEG; workers check them in volume order through views of their own
// (the reader's buffers where they still hold the bytes, else the volume), and the scan takes
// a result when it reaches that sector, waits when a worker is on it, and checks itself a
// sector no worker has begun. A check depends on the bytes alone, so its result is the one the
// scan would get; results for sectors the scan passes over (inside other files) are dropped.
class prechecker_c {
  public:
    prechecker_c(const char* device_path, const format_s& jpg, std::uint64_t bound, int workers)
        : jpg_(jpg), bound_(bound) {
        for (int i = 0; i < workers; ++i) {
            auto volume = std::make_unique<volume_s>();
            if (!open_volume(device_path, volume.get())) {
                break;
            }
            volumes_.push_back(std::move(volume));
        }
        for (auto& volume : volumes_) {
            threads_.emplace_back([this, v = volume.get()] { work(*v); });
        }
    }
    ~prechecker_c() { stop(); }
    // The reader whose buffers the workers may copy from (null: none).
    void attach(pipeline_c* pipe) { pipe_.store(pipe); }
    // Ends the workers (before the reader they copy from goes away).
    void stop() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            quit_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
        pipe_.store(nullptr);
    }
    bool active() const { return !threads_.empty(); }

    // On the reader's thread: the JPEG-like sectors of a filled buffer.
    void offer(const chunk_s& c) {
        std::vector<std::uint64_t> found;
        for (std::size_t off = 0; off + 512 <= c.length; off += 512) {
            const std::uint8_t* s = c.data.data() + off;
            if (s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF) {
                found.push_back(c.pos + off);
            }
        }
        if (found.empty()) {
            return;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (const std::uint64_t pos : found) {
                if (queue_.size() < queue_limit && pos >= passed_) {
                    queue_.push_back(pos);
                }
            }
        }
        changed_.notify_all();
    }

    // On the scanning thread, at a JPEG candidate: true with the worker's result when a worker
    // checked it or is checking it; false when the scan must check it itself.
    bool take(std::uint64_t pos, soundness_s* result) {
        std::unique_lock<std::mutex> hold(lock_);
        passed_ = pos + 1;
        done_.erase(done_.begin(), done_.lower_bound(pos));
        while (!queue_.empty() && queue_.front() < pos) {
            queue_.pop_front();
        }
        if (!queue_.empty() && queue_.front() == pos) {
            queue_.pop_front();  // not begun: the scan checks it now
            return false;
        }
        changed_.wait(hold, [&] { return quit_ || !busy_.contains(pos); });
        const auto hit = done_.find(pos);
        if (hit == done_.end()) {
            return false;
        }
        *result = hit->second;
        done_.erase(hit);
        changed_.notify_all();
        return true;
    }

  private:
    static constexpr std::size_t queue_limit = 4096;
    static constexpr std::size_t done_limit = 64;

    bool quitting() {
        std::lock_guard<std::mutex> hold(lock_);
        return quit_;
    }

    void work(const volume_s& volume) {
        // The reader's buffers copied out where they hold the bytes, else the volume.
        volume_view_c view(
            volume,
            [this](std::uint64_t pos, std::uint8_t* to, std::size_t n) {
                pipeline_c* const pipe = pipe_.load();
                return pipe && pipe->copy_out(pos, to, n);
            },
            [this] { return quitting(); });
        for (;;) {
            std::uint64_t pos = 0;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [this] {
                    return quit_ || (!queue_.empty() && done_.size() < done_limit);
                });
                if (quit_) {
                    return;
                }
                pos = queue_.front();
                queue_.pop_front();
                if (pos < passed_) {
                    continue;
                }
                busy_.insert(pos);
            }
            window_c w(view, pos, std::min(bound_, volume.size - pos));
            const soundness_s result = check_file(jpg_, w);
            {
                std::lock_guard<std::mutex> hold(lock_);
                busy_.erase(pos);
                if (!quit_ && pos >= passed_ - (passed_ > 0 ? 1 : 0)) {
                    done_.emplace(pos, result);
                }
            }
            changed_.notify_all();
        }
    }

    std::atomic<pipeline_c*> pipe_{nullptr};
    const format_s& jpg_;
    const std::uint64_t bound_;
    std::vector<std::unique_ptr<volume_s>> volumes_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::uint64_t> queue_;            // offered, not begun
    std::set<std::uint64_t> busy_;               // being checked
    std::map<std::uint64_t, soundness_s> done_;  // checked, not taken
    std::uint64_t passed_ = 0;                   // the scan has passed every sector before this
    bool quit_ = false;
};

// The per-sector test: two tables keyed by the first two bytes and by bytes 4-5 of a
// sector give the list of formats whose magic may begin there (0: none); the few formats
// whose magic lies further in are compared directly.
struct sector_test_s {
    std::vector<std::uint8_t> at0 = std::vector<std::uint8_t>(65536, 0);
    std::vector<std::uint8_t> at4 = std::vector<std::uint8_t>(65536, 0);
    std::vector<std::vector<int>> lists{{}};
    std::vector<int> far;              // formats whose magic lies further into the sector
    std::vector<int> text;             // the format without magic bytes (plain text)
    std::vector<std::uint64_t> bound;  // per format: the largest limit of its enabled types

    explicit sector_test_s(const std::map<std::string, type_rule_s>& rules) {
        const auto& table = formats();
        bound.assign(table.size(), 0);
        for (std::size_t i = 0; i < table.size(); ++i) {
            const format_s& f = table[i];
            for (const QByteArray& type : QByteArray(f.types).split(' ')) {
                auto rule = rules.find(type.toStdString());
                if (rule != rules.end() && rule->second.enabled) {
                    bound[i] = std::max(bound[i], rule->second.limit);
                }
            }
            if (bound[i] == 0) {
                continue;
            }
            if (f.magic_length == 0) {
                text.push_back(static_cast<int>(i));
                continue;
            }
            if (f.magic_offset != 0 && f.magic_offset != 4) {
                far.push_back(static_cast<int>(i));  // tar's "ustar" at 257
                continue;
            }
            auto& keyed = f.magic_offset == 0 ? at0 : at4;
            const int key = f.magic[0] << 8 | f.magic[1];
            if (keyed[key] == 0) {
                keyed[key] = static_cast<std::uint8_t>(lists.size());
                lists.emplace_back();
            }
            lists[keyed[key]].push_back(static_cast<int>(i));
        }
    }
};

// The volume's cluster size from a FAT, exFAT or NTFS boot sector; 4 KiB (the most common
// size) when the volume holds none of them.
std::uint64_t cluster_size(byte_view_c& view) {
    const std::uint8_t* b = view.at(0, 512);
    if (!b || b[510] != 0x55 || b[511] != 0xAA) {
        return 4096;
    }
    std::uint64_t size = 0;
    if (std::memcmp(b + 3, "EXFAT   ", 8) == 0) {
        if (b[108] >= 9 && b[108] <= 12 && b[108] + b[109] <= 25) {
            size = 1ull << (b[108] + b[109]);
        }
    } else {
        const std::uint64_t sector = le16(b + 11);
        const std::uint64_t per_cluster = b[13];
        const bool known = std::memcmp(b + 3, "NTFS    ", 8) == 0 ||
                           std::memcmp(b + 54, "FAT", 3) == 0 || std::memcmp(b + 82, "FAT", 3) == 0;
        if (known && sector >= 512 && sector <= 4096 && (sector & (sector - 1)) == 0 &&
            per_cluster > 0 && (per_cluster & (per_cluster - 1)) == 0) {
            size = sector * per_cluster;
        }
    }
    return size >= 512 && size <= (32u << 20) ? size : 4096;
}

}  // namespace

}  // namespace sig

extern "C" void sig_load_config(const char* path) {
    QFile file(QString::fromLocal8Bit(path ? path : ""));
    if (!file.open(QIODevice::ReadOnly)) {
        sig::set_rules(sig::default_rules());
        return;
    }
    sig::set_rules(sig::parse_config(file.read(1024 * 1024), nullptr));
}

extern "C" void sig_scan(sig_scan_block* block, const char* device_path) {
    sig_scan_pieces(block, device_path, nullptr);
}

extern "C" void sig_scan_pieces(sig_scan_block* block, const char* device_path,
                                sig_found_pieces_fn found_pieces) {
    sig_scan_resume(block, device_path, found_pieces, 0);
}

extern "C" void sig_scan_resume(sig_scan_block* block, const char* device_path,
                                sig_found_pieces_fn found_pieces, uint64_t start) {
    using namespace sig;
    if (!block) {
        return;
    }
    auto progress = std::atomic_ref<double>(block->progress);
    volume_s volume;
    volume_s direct;
    if (!open_volume(device_path, &volume) || !open_volume(device_path, &direct) ||
        volume.size == 0) {
        return;
    }
    const auto rules = current_rules();
    const sector_test_s test(rules);
    const auto& table = formats();
    std::atomic<bool> stopping{false};
    start = start / 512 * 512;
    if (start >= volume.size) {
        progress.store(1.0, std::memory_order_relaxed);
        return;
    }
    // JPEG candidates checked ahead on workers (the reader offers them as it fills buffers).
    const auto jpg_format = std::find_if(table.begin(), table.end(), [](const format_s& f) {
        return std::string_view(f.name) == "jpg";
    });
    const std::size_t jpg_index = static_cast<std::size_t>(jpg_format - table.begin());
    const bool precheck = jpg_format != table.end() && test.bound[jpg_index] != 0;
    prechecker_c pre(device_path, precheck ? *jpg_format : table.front(),
                     precheck ? test.bound[jpg_index] : 0, precheck ? check_workers() : 0);
    pipeline_c pipe(volume, stopping, start, [&pre](const chunk_s& c) {
        if (pre.active()) {
            pre.offer(c);
        }
    });
    pre.attach(&pipe);
    struct stop_workers_s {
        prechecker_c& pre;
        ~stop_workers_s() { pre.stop(); }  // before the reader they copy from ends
    } stop_workers{pre};
    // A candidate's check: the worker's result when one has it, else done here.
    const auto check_at = [&](const format_s& f, window_c& w, std::uint64_t pos) {
        soundness_s result;
        if (pre.active() && &f == &*jpg_format && pre.take(pos, &result)) {
            return result;
        }
        return check_file(f, w);
    };
    scan_view_c view(pipe, direct, stopping, block->stop);
    std::uint64_t resume = start;  // the scan goes on at this byte
    // Every file that begins before this byte has been reported (a checkpoint's offset), and
    // the joint searches' work so far.
    scan_mark_s* const mark = scan_mark;
    std::uint64_t join_work = 0;
    if (mark) {
        std::lock_guard<std::mutex> hold(mark->lock);
        join_work = mark->join_work;
    }
    const auto reported = [&](std::uint64_t pos) {
        if (mark) {
            std::lock_guard<std::mutex> hold(mark->lock);
            mark->reported = pos;
            mark->join_work = join_work;
        }
    };
    reported(start);
    const std::uint64_t cluster = cluster_size(view);
    // The second pieces of files found in two, still ahead of the scan: text is not looked
    // for inside them.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> second_pieces;
    const auto in_second_piece = [&](std::uint64_t pos) {
        std::erase_if(second_pieces, [pos](const auto& piece) { return piece.second <= pos; });
        for (const auto& piece : second_pieces) {
            if (piece.first <= pos) {
                return true;
            }
        }
        return false;
    };
    auto stop_requested = [&] {
        while (load_word(block->pause) != 0 && load_word(block->stop) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (load_word(block->stop) != 0) {
            stopping.store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    };
    while (chunk_s* c = pipe.next()) {
        if (stop_requested()) {
            break;
        }
        const std::uint64_t chunk_end = c->pos + c->length;
        if (chunk_end <= resume) {
            pipe.release();
            continue;
        }
        const std::uint8_t* d = c->data.data();
        std::size_t off = resume > c->pos ? static_cast<std::size_t>(resume - c->pos) : 0;
        for (; off + 8 <= c->length; off += 512) {
            const std::uint8_t* s = d + off;
            const std::uint8_t first = test.at0[s[0] << 8 | s[1]];
            const std::uint8_t boxed = test.at4[s[4] << 8 | s[5]];
            bool far = false;
            if (off + 512 <= c->length) {
                for (const int index : test.far) {
                    const format_s& f = table[index];
                    far = far || (s[f.magic_offset] == f.magic[0] &&
                                  std::memcmp(s + f.magic_offset, f.magic, f.magic_length) == 0);
                }
            }
            const std::uint64_t pos = c->pos + off;
            // Text is tried where no format begins, outside the second pieces of files found
            // in two: its first bytes must be text, which rules out most sectors at once.
            bool textual = false;
            if ((first | boxed) == 0 && !far) {
                if (test.text.empty() || off + 16 > c->length || !text_may_begin(s) ||
                    in_second_piece(pos)) {
                    continue;
                }
                textual = true;
            }
            reported(pos);  // a file that begins here may be being measured
            found_s found;
            verify_e level = verify_start;
            std::uint64_t pieces_end = 0;  // a two-piece file's first piece ends here
            // A format's signature of four bytes or more lies here, or a format measured a file
            // of a type left out.
            bool recognized = false;
            for (int round = 0; round < 4 && found.size == 0 && pieces_end == 0; ++round) {
                const std::vector<int>& candidates = round == 0   ? test.lists[first]
                                                     : round == 1 ? test.lists[boxed]
                                                     : round == 2 ? test.far
                                                                  : test.text;
                if (round == 2 && !far) {
                    continue;
                }
                if (round == 3 && recognized) {
                    break;  // a file of a type left out, or a broken one: not offered as text
                }
                if (round == 3 && !textual &&
                    (test.text.empty() || off + 16 > c->length || !text_may_begin(s) ||
                     in_second_piece(pos))) {
                    break;
                }
                for (const int index : candidates) {
                    const format_s& f = table[index];
                    if (std::memcmp(s + f.magic_offset, f.magic, f.magic_length) != 0) {
                        continue;
                    }
                    // A signature of four bytes or more: a broken file of that format, not text.
                    recognized = recognized || f.magic_length >= 4;
                    window_c w(view, pos, std::min(test.bound[index], volume.size - pos));
                    found_s candidate;
                    if (!has_check(f)) {
                        candidate = f.measure(w);
                        level = candidate.whole ? verify_whole : verify_start;
                        if (f.magic_length == 0 && level == verify_whole && pos > 0) {
                            // Text that runs on from the sector before is a piece of
                            // something larger: every byte is text, but not a whole file.
                            const std::uint8_t* before = view.at(pos - 1, 1);
                            if (!before || text_byte(*before)) {
                                level = verify_start;
                            }
                        }
                    } else if (const soundness_s checked = check_at(f, w, pos); checked.sound) {
                        candidate = {checked.size, checked.type};
                        level = checked.whole ? verify_whole : verify_start;
                    } else if (found_pieces && checked.break_high != 0 &&
                               join_work <= pos / 16 + (64ull << 20)) {
                        piece_search_s search;
                        search.cluster = cluster;
                        search.work = &join_work;
                        const pieces_s two =
                            find_second_piece(view, f, pos, test.bound[index], checked, search);
                        auto rule = two.type ? rules.find(two.type) : rules.end();
                        if (two.size != 0 && rule != rules.end() && rule->second.enabled &&
                            two.size <= rule->second.limit) {
                            if (scan_inspector) {
                                spliced_view_c spliced(view, pos + two.first, two.gap);
                                window_c file(spliced, pos, two.size);
                                scan_inspector(block->owner, two.type, file,
                                               two.whole ? verify_joined : verify_start);
                            }
                            if (stopping.load(std::memory_order_relaxed)) {
                                break;  // the inspector's reads were cut short: found again
                            }
                            found_pieces(block->owner, two.type, pos, two.first,
                                         pos + two.first + two.gap, two.size);
                            pieces_end = pos + two.first;
                            second_pieces.push_back(
                                {pos + two.first + two.gap, pos + two.gap + two.size});
                        }
                    }
                    if (candidate.size == 0 || !candidate.type) {
                        if (pieces_end != 0) {
                            break;
                        }
                        continue;
                    }
                    auto rule = rules.find(candidate.type);
                    if (rule == rules.end() || !rule->second.enabled ||
                        candidate.size > rule->second.limit || candidate.size > volume.size - pos) {
                        recognized = true;
                        if (f.magic_length == 0 && candidate.size <= volume.size - pos) {
                            // Text of a kind left out: passed over, not walked again at each
                            // of its sectors.
                            found = found_s{candidate.size, nullptr};
                            break;
                        }
                        continue;
                    }
                    found = candidate;
                    break;
                }
            }
            if (stopping.load(std::memory_order_relaxed)) {
                break;
            }
            if (pieces_end != 0) {
                // The scan goes on after the first piece: the gap may hold other files.
                found = found_s{pieces_end - pos, nullptr};
            } else if (found.size == 0) {
                continue;
            }
            if (block->found && found.type) {
                if (scan_inspector) {
                    window_c file(view, pos, found.size);
                    scan_inspector(block->owner, found.type, file, level);
                    if (stopping.load(std::memory_order_relaxed)) {
                        break;  // its reads were cut short: the continued scan finds it again
                    }
                }
                block->found(block->owner, found.type, static_cast<std::uint32_t>(pos),
                             static_cast<std::uint32_t>(pos >> 32),
                             static_cast<std::uint32_t>(found.size),
                             static_cast<std::uint32_t>(found.size >> 32));
            }
            resume = (pos + found.size + 511) / 512 * 512;
            reported(std::min(resume, volume.size));
            if (resume >= chunk_end) {
                pipe.skip_to(resume);
                break;
            }
            off = static_cast<std::size_t>(resume - c->pos) - 512;
        }
        if (stopping.load(std::memory_order_relaxed)) {
            break;  // the file being measured at the stop was not reported: it is not passed
        }
        reported(std::max(resume, chunk_end));
        progress.store(static_cast<double>(chunk_end) / static_cast<double>(volume.size),
                       std::memory_order_relaxed);
        pipe.release();
        if (stopping.load(std::memory_order_relaxed)) {
            break;
        }
    }
    if (!stopping.load(std::memory_order_relaxed) && load_word(block->stop) == 0) {
        progress.store(1.0, std::memory_order_relaxed);
    }
}

namespace {

struct handle_s {
    sig::volume_s volume;
    std::uint64_t position = 0;
};

}  // namespace

extern "C" intptr_t sig_open(const char* device_path) {
    auto handle = std::make_unique<handle_s>();
    if (!sig::open_volume(device_path, &handle->volume)) {
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle.release());
}

extern "C" int64_t sig_seek(intptr_t handle, uint32_t offset_low, uint32_t offset_high,
                            int origin) {
    auto* h = reinterpret_cast<handle_s*>(handle);
    const std::uint64_t offset = static_cast<std::uint64_t>(offset_high) << 32 | offset_low;
    if (!h || origin != 0 || offset > h->volume.size) {
        return -1;
    }
    h->position = offset;
    return static_cast<int64_t>(offset);
}

extern "C" int32_t sig_read(intptr_t handle, void* buffer, int32_t wanted) {
    auto* h = reinterpret_cast<handle_s*>(handle);
    if (!h || !buffer || wanted < 0) {
        return -1;
    }
    const std::uint64_t left = h->volume.size - h->position;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(wanted)));
    if (n == 0) {
        return 0;
    }
    if (!h->volume.read(h->position, buffer, n)) {
        return -1;
    }
    h->position += n;
    return static_cast<int32_t>(n);
}

extern "C" void sig_close(intptr_t handle) {
    delete reinterpret_cast<handle_s*>(handle);
}
