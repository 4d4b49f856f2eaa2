#include "image_rescue.h"

#include "device/platform/device_stack.h"
#include "device/platform/safe_file.h"
#include "device/platform/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString errno_text() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

bool output_on_source(const QString& output, const platform::drive_desc_s& source) {
    platform::read_source_s where;
    if (source.kind == platform::drive_kind_e::memory ||
        !platform::read_source_of(source.name, &where)) {
        return false;
    }
    // On the disk, a partition of it or a device built on it; in a file system mounted from
    // the image.
    if (platform::folder_on_source(output, where)) {
        return true;
    }
    // The image file itself (or the file behind a loop disk).
    struct stat place {};
    if (where.has_file && ::stat(QFile::encodeName(output).constData(), &place) == 0 &&
        place.st_dev == where.file_device && place.st_ino == where.file_inode) {
        return true;
    }
    // A split image: one of its segments beside it with the same base name.
    const QFileInfo out(output);
    const QFileInfo in(source.name);
    return source.kind == platform::drive_kind_e::image &&
           out.absolutePath() == in.absolutePath() &&
           out.completeBaseName() == in.completeBaseName() &&
           platform::drive_image_format(source) == platform::image_format_e::ewf;
}

image_rescue_c::image_rescue_c(platform::device_source_c& source, settings_s settings)
    : source_(source), settings_(std::move(settings)) {
    const std::uint32_t sector = std::max<std::uint32_t>(source_.sector_size(), 512);
    settings_.small_read = std::max(settings_.small_read / sector * sector, sector);
    settings_.large_read = std::max(settings_.large_read / sector * sector, settings_.small_read);
    settings_.retries = std::clamp(settings_.retries, 0, 16);
    buffer_ = static_cast<unsigned char*>(
        std::aligned_alloc(4096, (settings_.large_read + 4095) / 4096 * 4096));
    // A disk is read past its cache: a bad sector then fails alone, not with its page.
    source_.set_unbuffered();
}

image_rescue_c::~image_rescue_c() {
    std::free(buffer_);
    if (out_fd_ >= 0) {
        ::close(out_fd_);
    }
    if (map_dir_fd_ >= 0) {
        ::close(map_dir_fd_);
    }
}

// The source's name, size, serial and the hashes of its first and last MiB, as the map
// records them.
source_identity_s image_rescue_c::identify_source() {
    source_identity_s id;
    id.name = settings_.source_name;
    id.size = source_.byte_size();
    id.sector_size = source_.sector_size();
    struct stat st {};
    if (::stat(QFile::encodeName(id.name).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        const QString sys =
            QStringLiteral("/sys/dev/block/%1:%2/").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
        for (const char* file : {"wwid", "device/wwid", "device/serial", "loop/backing_file"}) {
            QFile named(sys + QLatin1String(file));
            if (named.open(QIODevice::ReadOnly)) {
                id.serial = QString::fromUtf8(named.read(512).trimmed());
                if (!id.serial.isEmpty()) {
                    break;
                }
            }
        }
    }
    constexpr std::uint64_t mib = 1 << 20;
    const std::uint64_t sector = std::max<std::uint32_t>(id.sector_size, 512);
    const std::uint64_t len = std::min(mib, id.size / sector * sector);
    if (len == 0) {
        return id;
    }
    void* bytes = std::aligned_alloc(4096, mib);
    if (!bytes) {
        return id;
    }
    const auto hash_at = [&](std::uint64_t pos) {
        if (source_.read_at(pos, bytes, static_cast<std::size_t>(len)) != 0) {
            return QByteArray();  // a bad sector there: the other facts must do
        }
        return QByteArray::fromStdString(
            platform::to_hex(platform::sha256(bytes, static_cast<std::size_t>(len))));
    };
    id.first_hash = hash_at(0);
    id.last_hash = hash_at(id.size / sector * sector - len);
    std::free(bytes);
    return id;
}

// The map of an earlier run, when its file exists: a regular file of the caller's, not a
// link, made for this very source.
bool image_rescue_c::load_map(std::uint64_t size, const source_identity_s& source, QString* error) {
    std::string why;
    const QByteArray native = QFile::encodeName(settings_.map_path);
    map_dir_fd_ = platform::open_parent(native.toStdString(), false, &map_name_, &why);
    if (map_dir_fd_ < 0) {
        *error = QStringLiteral("cannot use the map '%1': %2")
                     .arg(settings_.map_path, QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    const int fd = platform::open_continued(map_dir_fd_, map_name_, O_RDONLY, &why);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;  // a new copy: the map is made with it
        }
        *error = QStringLiteral("cannot use the map '%1': %2")
                     .arg(settings_.map_path, QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    QFile file;
    QByteArray text;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        text = file.read(64LL << 20);
    } else {
        ::close(fd);
    }
    QString reason;
    if (!map_.parse(text, size, &reason)) {
        *error =
            QStringLiteral("'%1' is not a map of this source: %2").arg(settings_.map_path, reason);
        return false;
    }
    if (!map_.identity.known()) {
        if (settings_.trust_unnamed_map) {
            // On the user's word; open() writes this source's identity into the map, and
            // every later run is held to it.
            resumed_ = true;
            pass_ = map_.current_pass;
            return true;
        }
        map_unnamed_ = true;
    }
    const QString conflict = source.conflict_with(map_.identity);
    if (!conflict.isEmpty()) {
        *error = QStringLiteral("'%1' is not a map of this source: %2")
                     .arg(settings_.map_path, conflict);
        return false;
    }
    resumed_ = true;
    pass_ = map_.current_pass;
    return true;
}

bool image_rescue_c::open(const QString& output, QString* error) {
    const std::uint64_t size = source_.byte_size();
    if (size == 0) {
        *error = QStringLiteral("the source is empty or does not answer");
        return false;
    }
    map_.reset(size);
    source_identity_s identity;
    if (!settings_.map_path.isEmpty()) {
        identity = identify_source();
        if (!load_map(size, identity, error)) {
            return false;
        }
    }
    std::string name;
    std::string why;
    const int dir =
        platform::open_parent(QFile::encodeName(output).toStdString(), false, &name, &why);
    if (dir < 0) {
        *error = QStringLiteral("cannot write '%1': %2")
                     .arg(output, QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    out_fd_ = platform::open_continued(dir, name, O_RDWR, &why);
    const int open_error = errno;
    bool exists = out_fd_ >= 0;
    struct stat st {};
    const auto fail = [&](const QString& text) {
        *error = text;
        if (out_fd_ >= 0) {
            ::close(out_fd_);
            out_fd_ = -1;
        }
        ::close(dir);
        return false;
    };
    if (!exists && open_error != ENOENT) {
        if (open_error == EISDIR || open_error == EINVAL) {
            return fail(QStringLiteral("the output '%1' must be a file").arg(output));
        }
        return fail(QStringLiteral("cannot write '%1': %2")
                        .arg(output, QString::fromLocal8Bit(why.c_str())));
    }
    if (exists && ::fstat(out_fd_, &st) != 0) {
        return fail(QStringLiteral("cannot write '%1': %2").arg(output, errno_text()));
    }
    if (exists && st.st_size > 0 && !resumed_) {
        return fail(
            QStringLiteral("'%1' exists; remove it, or give the map of that copy to continue it")
                .arg(output));
    }
    if (!exists && resumed_ && map_.bytes('+') > 0) {
        return fail(
            QStringLiteral("the map tells of bytes copied into '%1', which is gone").arg(output));
    }
    if (!exists) {
        out_fd_ = platform::create_file(dir, name, O_RDWR);
        if (out_fd_ < 0 || ::fstat(out_fd_, &st) != 0) {
            return fail(QStringLiteral("cannot write '%1': %2").arg(output, errno_text()));
        }
    }
    out_device_ = st.st_dev;
    out_inode_ = st.st_ino;
    if (map_names_output()) {
        if (!exists) {
            ::unlinkat(dir, name.c_str(), 0);  // made just now, empty
        }
        return fail(QStringLiteral("the map and the image must be two files"));
    }
    ::close(dir);
    // A new (or empty) output reads as zeros wherever nothing was written: blocks of zeros
    // need not be written then, and a sparse source gives a sparse image.
    fresh_output_ = !exists || st.st_size == 0;
    map_.identity = identity;
    // The full size at once: what is never read stays zero (and takes no space).
    if (::ftruncate(out_fd_, static_cast<off_t>(size)) != 0) {
        *error = QStringLiteral("cannot size '%1': %2").arg(output, errno_text());
        return false;
    }
    return true;
}

// The map's name leads to the image itself (the same path, or a hard link to it): saving
// the map would replace the image.
bool image_rescue_c::map_names_output() const {
    struct stat st {};
    return map_dir_fd_ >= 0 &&
           ::fstatat(map_dir_fd_, map_name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == out_device_ && st.st_ino == out_inode_;
}

bool image_rescue_c::stopped() const {
    return stop_ && stop_->load(std::memory_order_relaxed) != 0;
}

bool image_rescue_c::write_out(std::uint64_t pos, const void* data, std::size_t len) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (fresh_output_ && len > 0 && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, len - 1) == 0) {
        return true;
    }
    for (std::size_t done = 0; done < len;) {
        const ssize_t n =
            ::pwrite(out_fd_, bytes + done, len - done, static_cast<off_t>(pos + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = QStringLiteral("cannot write the image: %1").arg(errno_text());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool image_rescue_c::save_map(char status) {
    last_save_ms_ = now_ms();
    if (settings_.map_path.isEmpty()) {
        return true;
    }
    // The data first: the map never tells of bytes the image does not hold yet.
    if (::fdatasync(out_fd_) != 0) {
        error_ = QStringLiteral("cannot write the image: %1").arg(errno_text());
        return false;
    }
    if (map_names_output()) {
        error_ = QStringLiteral("the map '%1' is now the image itself; it was not written")
                     .arg(settings_.map_path);
        return false;
    }
    // A new file renamed over the old one: a link put in its place is replaced, never
    // followed.
    const QByteArray text = map_.text(settings_.command_line, status, pass_);
    std::string why;
    if (!platform::replace_file(map_dir_fd_, map_name_, text.constData(),
                                static_cast<std::size_t>(text.size()), &why)) {
        error_ = QStringLiteral("cannot write the map '%1': %2")
                     .arg(settings_.map_path, QString::fromLocal8Bit(why.c_str()));
        return false;
    }
    return true;
}

bool image_rescue_c::tick() {
    const std::int64_t now = now_ms();
    bool paused = pause_ && pause_->load(std::memory_order_relaxed) != 0;
    const auto report = [&](bool is_paused) {
        if (!progress_ || !*progress_) {
            return;
        }
        rescue_progress_s p;
        p.size = map_.source_size();
        p.rescued = map_.bytes('+');
        p.bad_bytes = map_.bytes('-');
        p.bad_areas = map_.areas('-');
        p.pass = pass_;
        p.paused = is_paused;
        const double seconds = static_cast<double>(now_ms() - started_ms_ - paused_ms_) / 1000.0;
        if (seconds > 0.5) {
            p.bytes_per_second = static_cast<double>(read_this_run_) / seconds;
        }
        const std::uint64_t left = map_.bytes('?') + map_.bytes('*') + map_.bytes('/');
        if (p.bytes_per_second > 0) {
            p.seconds_left = static_cast<double>(left) / p.bytes_per_second;
        }
        (*progress_)(p);
    };
    if (paused) {
        const std::int64_t pause_start = now;
        save_map('?');
        report(true);
        while (pause_->load(std::memory_order_relaxed) != 0 && !stopped()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        paused_ms_ += now_ms() - pause_start;
    }
    if (stopped()) {
        return false;
    }
    if (now - last_progress_ms_ >= 250) {
        last_progress_ms_ = now;
        report(false);
    }
    if (now - last_save_ms_ >= settings_.save_interval_ms && !save_map('?')) {
        return false;
    }
    return true;
}

// Reads one area in one go; on failure marks it with failed_status.
bool image_rescue_c::copy_area(std::uint64_t pos, std::uint64_t len, char failed_status) {
    map_.current_pos = pos;
    if (source_.read_at(pos, buffer_, static_cast<std::size_t>(len)) != 0) {
        map_.set(pos, len, failed_status);
        return false;
    }
    read_this_run_ += len;
    if (!write_out(pos, buffer_, static_cast<std::size_t>(len))) {
        return false;
    }
    map_.set(pos, len, '+');
    return true;
}

bool image_rescue_c::pass_large() {
    pass_ = 1;
    const std::uint64_t size = map_.source_size();
    const std::uint64_t min_skip = 64 << 10;
    const std::uint64_t max_skip =
        std::max<std::uint64_t>(min_skip, std::min<std::uint64_t>(size / 100, 1ULL << 30));
    std::uint64_t skip = min_skip;
    std::uint64_t pos = 0;
    rescue_block_s block;
    while (map_.next('?', pos, &block)) {
        if (!tick()) {
            return false;
        }
        // Reads end on multiples of the read size, so that later runs meet the same blocks.
        const std::uint64_t boundary =
            (block.pos / settings_.large_read + 1) * settings_.large_read;
        const std::uint64_t len = std::min(block.size, boundary - block.pos);
        if (copy_area(block.pos, len, '*')) {
            skip = min_skip;
            pos = block.pos + len;
            continue;
        }
        if (!error_.isEmpty()) {
            return false;
        }
        // Past a failing area: the skipped part is left for pass 2.
        pos = block.pos + len + skip;
        skip = std::min(skip * 2, max_skip);
    }
    return true;
}

bool image_rescue_c::pass_small() {
    pass_ = 2;
    // The areas pass 1 skipped, then the large reads that failed, in small reads: what
    // fails here is read sector by sector in pass 3.
    for (char status : {'?', '*'}) {
        rescue_block_s block;
        std::uint64_t pos = 0;
        while (map_.next(status, pos, &block)) {
            if (!tick()) {
                return false;
            }
            const std::uint64_t boundary =
                (block.pos / settings_.small_read + 1) * settings_.small_read;
            const std::uint64_t len = std::min(block.size, boundary - block.pos);
            if (!copy_area(block.pos, len, '/') && !error_.isEmpty()) {
                return false;
            }
            pos = block.pos + len;
        }
    }
    return true;
}

// One sector (or the source's last, shorter piece): tried up to tries times; a sector that
// never reads is marked bad and written as zeros.
bool image_rescue_c::read_sector(std::uint64_t pos, std::uint64_t len, int tries) {
    for (int t = 0; t < tries; ++t) {
        if (t > 0 && !tick()) {
            return false;
        }
        if (copy_area(pos, len, '-')) {
            return true;
        }
        if (!error_.isEmpty()) {
            return false;
        }
    }
    std::memset(buffer_, 0, static_cast<std::size_t>(len));
    return write_out(pos, buffer_, static_cast<std::size_t>(len));
}

bool image_rescue_c::pass_sectors() {
    pass_ = 3;
    const std::uint64_t sector = std::max<std::uint32_t>(source_.sector_size(), 512);
    rescue_block_s block;
    std::uint64_t pos = 0;
    while (map_.next('/', pos, &block)) {
        if (!tick()) {
            return false;
        }
        const std::uint64_t len = std::min(block.size, sector - block.pos % sector);
        if (!read_sector(block.pos, len, 1)) {
            return false;
        }
        pos = block.pos + len;
    }
    return true;
}

bool image_rescue_c::pass_retry() {
    pass_ = 4;
    const std::uint64_t sector = std::max<std::uint32_t>(source_.sector_size(), 512);
    rescue_block_s block;
    std::uint64_t pos = 0;
    while (settings_.retries > 0 && map_.next('-', pos, &block)) {
        if (!tick()) {
            return false;
        }
        const std::uint64_t len = std::min(block.size, sector - block.pos % sector);
        if (!read_sector(block.pos, len, settings_.retries)) {
            return false;
        }
        pos = block.pos + len;
    }
    return true;
}

image_rescue_c::outcome_e image_rescue_c::run(
    const std::atomic<int>& stop, const std::atomic<int>* pause,
    const std::function<void(const rescue_progress_s&)>& progress, QString* error) {
    stop_ = &stop;
    pause_ = pause;
    progress_ = &progress;
    started_ms_ = now_ms();
    last_save_ms_ = started_ms_;
    error_.clear();
    // The bad sectors of an earlier run are tried again only when it had not finished its
    // retries.
    const bool retry = !resumed_ || map_.current_pass <= 4;
    bool ok =
        save_map('?') && pass_large() && pass_small() && pass_sectors() && (!retry || pass_retry());
    if (!error_.isEmpty()) {
        save_map('?');
        *error = error_;
        return outcome_e::failed;
    }
    const bool complete = ok && map_.bytes('+') == map_.source_size();
    if (ok) {
        pass_ = 5;  // every pass done: a later run with this map retries nothing
    }
    if (!save_map(ok ? '+' : '?')) {
        *error = error_;
        return outcome_e::failed;
    }
    if (progress) {
        last_progress_ms_ = 0;
        tick();
    }
    if (!ok) {
        return outcome_e::stopped;
    }
    return complete ? outcome_e::complete : outcome_e::incomplete;
}
