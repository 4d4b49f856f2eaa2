#include "restore_writer.h"

#include "device/platform/safe_file.h"
#include "engine/restore_names.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int temp_tries = 1000;

QString errno_text(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

restore_failure_e failure_of(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return restore_failure_e::space;
        case EACCES:
        case EPERM:
        case EROFS:
            return restore_failure_e::denied;
        default:
            return restore_failure_e::destination;
    }
}

// The bytes of one file, written to the temporary file's descriptor.
class file_sink_c final : public restore_sink_c {
  public:
    file_sink_c(int fd, const restore_writer_c::stop_fn& stop) : fd_(fd), stop_(stop) {}

    bool write(const void* data, std::size_t bytes) override {
        if (failed() || stop_requested()) {
            return false;
        }
        const auto* from = static_cast<const char*>(data);
        std::size_t left = bytes;
        while (left > 0) {
            const ssize_t done = ::write(fd_, from, left);
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done <= 0) {
                error_ = done < 0 ? errno : ENOSPC;
                return false;
            }
            from += done;
            left -= static_cast<std::size_t>(done);
        }
        written_ += bytes;
        hole_at_end_ = false;
        return true;
    }

    bool zeros(std::uint64_t bytes) override {
        if (failed() || stop_requested()) {
            return false;
        }
        const auto limit = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
        if (bytes > limit - written_) {
            error_ = EFBIG;
            return false;
        }
        if (bytes == 0) {
            return true;
        }
        if (::lseek(fd_, static_cast<off_t>(written_ + bytes), SEEK_SET) < 0) {
            error_ = errno;
            return false;
        }
        written_ += bytes;
        hole_at_end_ = true;
        return true;
    }

    bool stop_requested() const override {
        if (!stopped_ && stop_ && stop_()) {
            stopped_ = true;
        }
        return stopped_;
    }
    std::uint64_t written() const override { return written_; }

    // A file that ends in a hole gets its length here. False, with error(), on failure.
    bool finish() {
        if (!failed() && hole_at_end_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
            error_ = errno;
        }
        return !failed();
    }
    bool failed() const { return error_ != 0; }
    int error() const { return error_; }
    bool stopped() const { return stopped_; }

  private:
    int fd_;
    const restore_writer_c::stop_fn& stop_;
    std::uint64_t written_ = 0;
    bool hole_at_end_ = false;
    int error_ = 0;
    mutable bool stopped_ = false;
};

// A hidden name in dir for the file being written, made with an exclusive create. -1 with
// errno when none could be made.
int open_temporary(int dir, char (&name)[64]) {
    static std::atomic<unsigned> counter{0};
    for (int i = 0; i < temp_tries; ++i) {
        std::snprintf(name, sizeof name, ".orvane-restore-%d-%u.part", static_cast<int>(::getpid()),
                      counter.fetch_add(1, std::memory_order_relaxed));
        const int fd = platform::create_file(dir, name, O_WRONLY);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Renames from to to inside dir unless to exists. 0, or errno (EEXIST when it exists).
int rename_new(int dir, const char* from, const char* to) {
    if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // A file system without RENAME_NOREPLACE: a hard link fails on a taken name as well.
    if (::linkat(dir, from, dir, to, 0) != 0) {
        return errno;
    }
    ::unlinkat(dir, from, 0);
    return 0;
}

// Gives the open file its found times; a time of 0 is left as it is.
void set_times(int fd, const restore_times_s& times) {
    if (times.modified == 0 && times.accessed == 0) {
        return;
    }
    const auto stamp = [](std::int64_t seconds) {
        timespec t{};
        if (seconds == 0) {
            t.tv_nsec = UTIME_OMIT;
        } else {
            t.tv_sec = static_cast<time_t>(seconds);
        }
        return t;
    };
    const timespec both[2] = {stamp(times.accessed), stamp(times.modified)};
    ::futimens(fd, both);
}

// Runs fill into a new temporary file in dir. On success the file, with its times set, is
// closed and its name is in temp; on failure nothing is left and the result says why.
restore_result_e fill_temporary(int dir, const restore_writer_c::fill_fn& fill,
                                std::uint64_t expected_size, const restore_writer_c::stop_fn& stop,
                                char (&temp)[64], QString* error, restore_failure_e* failure,
                                const restore_times_s& times = {}) {
    const int fd = open_temporary(dir, temp);
    if (fd < 0) {
        const int why = errno;
        *error = QStringLiteral("cannot create a file in the destination: %1").arg(errno_text(why));
        *failure = failure_of(why);
        return restore_failed;
    }
    file_sink_c sink(fd, stop);
    int filled = -1;
    try {
        filled = fill(&sink);
    } catch (...) {
        filled = -1;  // out of memory in the engine: this file failed, the next may not
    }
    const bool finished = sink.finish();
    // Set last: every write before it would move the modification time again. A file
    // system that refuses a time keeps the bytes, which matter more, with the restore's.
    if (finished && filled == 0) {
        set_times(fd, times);
    }
    const bool closed = ::close(fd) == 0;
    const int close_error = errno;
    restore_result_e result = restore_written;
    if (sink.stopped()) {
        *error = QStringLiteral("stopped");
        result = restore_stopped;
    } else if (!finished) {
        *error =
            QStringLiteral("cannot write to the destination: %1").arg(errno_text(sink.error()));
        *failure = failure_of(sink.error());
        result = restore_failed;
    } else if (filled != 0) {
        error->clear();  // the engine knows why
        *failure = restore_failure_e::reading;
        result = restore_failed;
    } else if (expected_size != restore_writer_c::size_unknown && sink.written() != expected_size) {
        *error =
            QStringLiteral("%1 of %2 bytes could be read").arg(sink.written()).arg(expected_size);
        *failure = restore_failure_e::reading;
        result = restore_failed;
    } else if (!closed) {
        *error = QStringLiteral("cannot write to the destination: %1").arg(errno_text(close_error));
        *failure = failure_of(close_error);
        result = restore_failed;
    }
    if (result != restore_written) {
        ::unlinkat(dir, temp, 0);
    }
    return result;
}

}  // namespace

restore_writer_c::restore_writer_c(stop_fn stop) : stop_(std::move(stop)) {}

restore_writer_c::~restore_writer_c() {
    if (current_fd_ >= 0 && current_fd_ != top_fd_) {
        ::close(current_fd_);
    }
    if (top_fd_ >= 0) {
        ::close(top_fd_);
    }
}

bool restore_writer_c::open(const QString& destination) {
    // The user names the destination: links on the way to it are followed only when root
    // or the user made them.
    const QString path = QDir(destination).absolutePath();
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    const bool made = ::lstat(native.constData(), &info) != 0 && errno == ENOENT;
    std::string why;
    top_fd_ = platform::open_folder(native.toStdString(), true, &why);
    if (top_fd_ < 0 || ::fstat(top_fd_, &info) != 0) {
        failure_ = failure_of(errno);
        error_text_ =
            QStringLiteral("cannot open the folder '%1': %2")
                .arg(path, top_fd_ < 0 ? QString::fromLocal8Bit(why.c_str()) : errno_text(errno));
        return false;
    }
    // A folder that was there already keeps its owner: only what this run made is given.
    if (made && chown_ && ::fchown(top_fd_, owner_, group_) != 0) {
        failure_ = failure_of(errno);
        error_text_ = QStringLiteral("cannot give the folder '%1' to its owner: %2")
                          .arg(path, errno_text(errno));
        return false;
    }
    folders_.clear();
    folder_s top;
    top.made_name = QStringLiteral(".");
    top.device = info.st_dev;
    top.inode = info.st_ino;
    folders_.push_back(std::move(top));
    current_ = top_folder;
    current_fd_ = top_fd_;
    return true;
}

int restore_writer_c::folder(int parent, const QString& found_name) {
    if (parent < 0 || parent >= static_cast<int>(folders_.size())) {
        parent = top_folder;
    }
    if (const auto known = folders_[parent].folders.constFind(found_name);
        known != folders_[parent].folders.constEnd()) {
        return known.value();
    }
    const int index = static_cast<int>(folders_.size());
    folder_s made;
    made.parent = parent;
    made.found_name = found_name;
    made.depth = folders_[parent].depth + 1;
    folders_.push_back(std::move(made));
    folders_[parent].folders.insert(found_name, index);
    return index;
}

// Moves current_fd_ to a made folder: up through ".." to the nearest common folder, then
// down by the names this run made, each step checked against the folder it must reach.
bool restore_writer_c::enter(int target) {
    if (target == current_) {
        return true;
    }
    std::vector<int> down;
    int up_from = current_;
    int to = target;
    while (folders_[to].depth > folders_[up_from].depth) {
        down.push_back(to);
        to = folders_[to].parent;
    }
    int ups = 0;
    while (folders_[up_from].depth > folders_[to].depth) {
        up_from = folders_[up_from].parent;
        ++ups;
    }
    while (up_from != to) {
        down.push_back(to);
        to = folders_[to].parent;
        up_from = folders_[up_from].parent;
        ++ups;
    }
    int fd = current_fd_;
    int at = current_;
    const auto step = [&](const char* name, int next) {
        const int opened = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info {};
        const bool same = opened >= 0 && ::fstat(opened, &info) == 0 &&
                          info.st_dev == folders_[next].device &&
                          info.st_ino == folders_[next].inode;
        if (fd != top_fd_) {
            ::close(fd);
        }
        fd = opened;
        at = next;
        if (!same) {
            if (opened >= 0) {
                ::close(opened);
            }
            fd = -1;
            return false;
        }
        return true;
    };
    bool ok = true;
    if (to == top_folder) {
        if (fd != top_fd_) {
            ::close(fd);
        }
        fd = top_fd_;
        at = top_folder;
    } else {
        for (int i = 0; ok && i < ups; ++i) {
            ok = step("..", folders_[at].parent);
        }
    }
    for (auto it = down.rbegin(); ok && it != down.rend(); ++it) {
        ok = step(QFile::encodeName(folders_[*it].made_name).constData(), *it);
    }
    if (!ok) {
        // A folder of this run was moved or replaced meanwhile: start again from the top.
        current_ = top_folder;
        current_fd_ = top_fd_;
        error_text_ = QStringLiteral("a folder of this restore was moved or replaced");
        failure_ = restore_failure_e::moved;
        return false;
    }
    current_ = at;
    current_fd_ = fd;
    return true;
}

// A free name for safe in the current folder: tries numbered names until claim(name)
// succeeds (0) or fails otherwise (errno). The number goes on from the last one used.
int restore_writer_c::take_name(folder_s& where, const QString& safe, int dir, const char* temp,
                                QString* name) {
    if (temp && !give(dir, temp)) {
        return errno;  // the file is handed over before it carries its name
    }
    int n = where.next_number.value(safe, 1);
    for (int tries = 0; tries < restore_name_tries; ++tries, ++n) {
        if ((tries & 255) == 255 && stop_requested()) {
            return ECANCELED;
        }
        const QString candidate = numbered_name(safe, n);
        if (where.taken.contains(candidate)) {
            continue;
        }
        const QByteArray encoded = QFile::encodeName(candidate);
        const int result =
            temp ? rename_new(dir, temp, encoded.constData())
                 : (::mkdirat(dir, encoded.constData(), platform::new_folder_mode()) == 0 ? 0
                                                                                          : errno);
        if (result == EEXIST || result == ENOTEMPTY) {
            continue;
        }
        if (result != 0) {
            return result;
        }
        if (!temp && !give(dir, encoded.constData())) {
            return errno;
        }
        where.taken.insert(candidate);
        where.next_number.insert(safe, n + 1);
        *name = candidate;
        return 0;
    }
    return EEXIST;
}

bool restore_writer_c::give(int dir, const char* name) {
    return !chown_ || ::fchownat(dir, name, owner_, group_, AT_SYMLINK_NOFOLLOW) == 0;
}

bool restore_writer_c::make_folder(int target) {
    std::vector<int> unmade;
    for (int f = target; folders_[f].made_name.isEmpty(); f = folders_[f].parent) {
        unmade.push_back(f);
    }
    for (auto it = unmade.rbegin(); it != unmade.rend(); ++it) {
        const int f = *it;
        if (!enter(folders_[f].parent)) {
            return false;
        }
        folder_s& parent = folders_[folders_[f].parent];
        QString name;
        const int result =
            take_name(parent, safe_file_name(folders_[f].found_name), current_fd_, nullptr, &name);
        struct stat info {};
        if (result != 0 || ::fstatat(current_fd_, QFile::encodeName(name).constData(), &info,
                                     AT_SYMLINK_NOFOLLOW) != 0) {
            const int why = result ? result : errno;
            error_text_ = QStringLiteral("cannot create the folder '%1': %2")
                              .arg(folders_[f].found_name, errno_text(why));
            failure_ = failure_of(why);
            return false;
        }
        folders_[f].made_name = name;
        folders_[f].device = info.st_dev;
        folders_[f].inode = info.st_ino;
    }
    return true;
}

restore_result_e restore_writer_c::write_file(int folder, const QString& found_name,
                                              std::uint64_t expected_size, const fill_fn& fill,
                                              QString* written_name, const restore_times_s& times) {
    error_text_.clear();
    failure_ = restore_failure_e::none;
    if (top_fd_ < 0) {
        error_text_ = QStringLiteral("no destination folder is open");
        failure_ = restore_failure_e::destination;
        return restore_failed;
    }
    if (stop_requested()) {
        error_text_ = QStringLiteral("stopped");
        return restore_stopped;
    }
    if (folder < 0 || folder >= static_cast<int>(folders_.size())) {
        folder = top_folder;
    }
    if (!make_folder(folder) || !enter(folder)) {
        return restore_failed;
    }
    char temp[64];
    const restore_result_e filled = fill_temporary(current_fd_, fill, expected_size, stop_, temp,
                                                   &error_text_, &failure_, times);
    if (filled != restore_written) {
        return filled;
    }
    QString name;
    const int result =
        take_name(folders_[folder], safe_file_name(found_name), current_fd_, temp, &name);
    if (result != 0) {
        ::unlinkat(current_fd_, temp, 0);
        if (result == ECANCELED) {
            error_text_ = QStringLiteral("stopped");
            return restore_stopped;
        }
        error_text_ = QStringLiteral("cannot name the file in the destination: %1")
                          .arg(result == EEXIST ? QStringLiteral("every numbered name is taken")
                                                : errno_text(result));
        failure_ = failure_of(result);
        return restore_failed;
    }
    if (written_name) {
        QString relative = name;
        for (int f = folder; f != top_folder; f = folders_[f].parent) {
            relative.prepend(folders_[f].made_name + QLatin1Char('/'));
        }
        *written_name = relative;
    }
    return restore_written;
}

restore_result_e restore_writer_c::write_exact(const QString& path, const fill_fn& fill,
                                               QString* error) {
    QString ignored;
    QString& why = error ? *error : ignored;
    const QFileInfo where(path);
    const QByteArray folder = QFile::encodeName(where.absolutePath());
    const QByteArray name = QFile::encodeName(where.fileName());
    std::string reason;
    const int dir = platform::open_folder(folder.toStdString(), false, &reason);
    if (dir < 0) {
        why = QStringLiteral("cannot open the folder '%1': %2")
                  .arg(where.absolutePath(), QString::fromLocal8Bit(reason.c_str()));
        return restore_failed;
    }
    struct stat info {};
    if (name.isEmpty() || (::fstatat(dir, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                           !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))) {
        ::close(dir);
        why = QStringLiteral("'%1' is not a regular file").arg(path);
        return restore_failed;
    }
    char temp[64];
    restore_failure_e failure = restore_failure_e::none;
    restore_result_e result = fill_temporary(dir, fill, size_unknown, {}, temp, &why, &failure);
    if (result == restore_written) {
        int renamed = rename_new(dir, temp, name.constData());
        if (renamed == EEXIST) {
            // Replaces the name only: a link there is replaced, never written through.
            renamed = ::renameat(dir, temp, dir, name.constData()) == 0 ? 0 : errno;
        }
        if (renamed != 0) {
            ::unlinkat(dir, temp, 0);
            why = QStringLiteral("cannot name the file: %1").arg(errno_text(renamed));
            result = restore_failed;
        }
    }
    ::close(dir);
    return result;
}
