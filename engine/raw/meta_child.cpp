#include "meta_child.h"

#include "core/diagnostics.h"
#include "device/platform/platform_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

// Children that fail before they answer once, in a row, after which none is started again
// for this scan (a missing or broken program must not cost a start per file).
constexpr int max_failed_starts = 3;

using clock_type = std::chrono::steady_clock;

// Waits until the socket is ready for the events or the time is up.
bool wait_for(int fd, short events, clock_type::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool send_all(int fd, const void* data, std::size_t n, clock_type::time_point deadline) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            p += sent;
            n -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for(fd, POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool receive_all(int fd, void* data, std::size_t n, clock_type::time_point deadline) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        if (!wait_for(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(fd, p, n, MSG_DONTWAIT);
        if (got > 0) {
            p += got;
            n -= static_cast<std::size_t>(got);
        } else if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        } else {
            return false;  // the child closed its end: it ended
        }
    }
    return true;
}

template <typename T>
void put(std::vector<char>& out, T value) {
    const char* p = reinterpret_cast<const char*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

}  // namespace

meta_child_c::meta_child_c(bool pictures)
    : program_(platform::find_program(QStringLiteral("orvane-meta"))), pictures_(pictures) {}

meta_child_c::~meta_child_c() {
    stop(false);
}

bool meta_child_c::start() {
    if (program_.isEmpty() || failed_starts_ >= max_failed_starts) {
        return false;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    // The child gets its end as standard input and output, /dev/null as standard error, and
    // nothing else: every other descriptor (the disk's above all) is closed before it runs.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY | O_NOFOLLOW, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const QByteArray path = program_.toLocal8Bit();
    char pictures_word[] = "--pictures";
    char* argv[] = {const_cast<char*>(path.constData()), pictures_ ? pictures_word : nullptr,
                    nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    ++starts_;
    if (spawned != 0) {
        ::close(ends[0]);
        ++failed_starts_;
        error_report(__FILE__, __LINE__, "the metadata reader %s could not be started: %s",
                     path.constData(), std::strerror(spawned));
        return false;
    }
    pid_ = pid;
    socket_ = ends[0];
    // The greeting comes once the child has given up root and bounded itself. A child that
    // still parses as root when the program runs as root is not used.
    std::uint32_t hello[3] = {};
    const auto deadline = clock_type::now() + timeout_;
    if (!receive_all(socket_, hello, sizeof hello, deadline) || hello[0] != meta_wire::hello ||
        (::geteuid() == 0 && (hello[1] == 0 || hello[2] == 0))) {
        error_report(__FILE__, __LINE__,
                     "the metadata reader did not start as it must; found files are not "
                     "named from their metadata");
        ++failed_starts_;
        fail("");
        return false;
    }
    child_uid_ = hello[1];
    return true;
}

void meta_child_c::stop(bool kill_it) {
    if (pid_ < 0) {
        return;
    }
    if (kill_it) {
        ::kill(pid_, SIGKILL);
    }
    ::close(socket_);  // a child that waits for work sees the end and leaves
    socket_ = -1;
    int status = 0;
    if (!kill_it) {
        // Give a well child a moment to leave by itself before it is killed.
        for (int i = 0; i < 100; ++i) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) {
                pid_ = -1;
                break;
            }
            ::usleep(10000);
        }
        if (pid_ >= 0) {
            ::kill(pid_, SIGKILL);
        }
    }
    if (pid_ >= 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    child_uid_ = -1;
}

file_meta_s meta_child_c::read(const QByteArray& type, sig::window_c& w) {
    if (pictures_ || type.isEmpty() ||
        static_cast<std::uint32_t>(type.size()) > meta_wire::max_type) {
        return {};
    }
    if (pid_ < 0 && !start()) {
        return {};
    }
    file_meta_s meta;
    if (serve(type, w, &meta)) {
        failed_starts_ = 0;
        return meta;
    }
    // Crashed, hung, or said what it must not: this file stays unnamed, the next one gets a
    // new child.
    error_report(__FILE__, __LINE__,
                 "the metadata reader failed on a %s file of %llu bytes at byte %llu; the file "
                 "is not named from its metadata",
                 type.constData(), static_cast<unsigned long long>(w.bound()),
                 static_cast<unsigned long long>(w.start()));
    fail("");
    return {};
}

void meta_child_c::fail(const char* what) {
    ++failures_;
    if (*what) {
        error_report(__FILE__, __LINE__, "%s", what);
    }
    stop(true);
}

child_picture_s meta_child_c::decode_picture(const QByteArray& bytes, const QByteArray& format,
                                             int side) {
    if (!pictures_ || bytes.isEmpty() ||
        static_cast<std::uint64_t>(bytes.size()) > meta_wire::max_picture_bytes ||
        static_cast<std::uint32_t>(format.size()) > meta_wire::max_type || side <= 0 ||
        static_cast<std::uint32_t>(side) > meta_wire::max_side) {
        return {};
    }
    if (pid_ < 0 && !start()) {
        return {};
    }
    child_picture_s picture;
    if (exchange_picture(bytes, format, side, &picture)) {
        failed_starts_ = 0;
        return picture;
    }
    fail("the picture reader failed on a found file; it is shown without a picture");
    return {};
}

bool meta_child_c::exchange_picture(const QByteArray& bytes, const QByteArray& format, int side,
                                    child_picture_s* picture) {
    std::vector<char> message;
    put(message, static_cast<std::uint32_t>(meta_wire::picture));
    put(message, static_cast<std::uint32_t>(format.size()));
    put(message, static_cast<std::uint32_t>(side));
    put(message, static_cast<std::uint32_t>(bytes.size()));
    message.insert(message.end(), format.constData(), format.constData() + format.size());
    // A large picture takes a while to go through the socket and to decode: the time counts
    // from when it has gone.
    if (!send_all(socket_, message.data(), message.size(), clock_type::now() + timeout_) ||
        !send_all(socket_, bytes.constData(), static_cast<std::size_t>(bytes.size()),
                  clock_type::now() + timeout_)) {
        return false;
    }
    const auto deadline = clock_type::now() + timeout_;
    std::uint32_t answer[4] = {};  // kind, width, height, has alpha
    if (!receive_all(socket_, answer, sizeof answer, deadline) || answer[0] != meta_wire::picture ||
        answer[1] > static_cast<std::uint32_t>(side) ||
        answer[2] > static_cast<std::uint32_t>(side) || (answer[1] == 0) != (answer[2] == 0)) {
        return false;
    }
    const qsizetype length = static_cast<qsizetype>(answer[1]) * answer[2] * 4;
    picture->pixels = QByteArray(length, Qt::Uninitialized);
    if (length > 0 &&
        !receive_all(socket_, picture->pixels.data(), static_cast<std::size_t>(length), deadline)) {
        return false;
    }
    picture->width = static_cast<int>(answer[1]);
    picture->height = static_cast<int>(answer[2]);
    picture->alpha = answer[3] != 0;
    return true;
}

bool meta_child_c::serve(const QByteArray& type, sig::window_c& w, file_meta_s* meta) {
    std::size_t head = 0;
    const std::uint8_t* head_bytes = w.some(0, meta_wire::max_head, &head);
    if (!head_bytes) {
        head = 0;
    }
    std::vector<char> message;
    put(message, static_cast<std::uint32_t>(meta_wire::file));
    put(message, static_cast<std::uint32_t>(type.size()));
    put(message, static_cast<std::uint32_t>(head));
    put(message, static_cast<std::uint64_t>(w.bound()));
    message.insert(message.end(), type.constData(), type.constData() + type.size());
    if (head > 0) {
        message.insert(message.end(), head_bytes, head_bytes + head);
    }
    if (!send_all(socket_, message.data(), message.size(), clock_type::now() + timeout_)) {
        return false;
    }
    for (std::uint32_t reads = 0;;) {
        // Each answer of the child must come within the timeout; the time the parent spends
        // reading the disk for it is not the child's.
        const auto deadline = clock_type::now() + timeout_;
        std::uint32_t kind = 0;
        if (!receive_all(socket_, &kind, sizeof kind, deadline)) {
            return false;
        }
        if (kind == meta_wire::read) {
            if (++reads > meta_wire::max_reads) {
                return false;
            }
            std::uint64_t pos = 0;
            std::uint32_t sizes[2] = {};  // n, want
            if (!receive_all(socket_, &pos, sizeof pos, deadline) ||
                !receive_all(socket_, sizes, sizeof sizes, deadline) ||
                sizes[0] > sig::view_max_span || sizes[1] > sig::view_max_span) {
                return false;
            }
            std::size_t got = 0;
            const std::uint8_t* bytes = w.some(pos, std::max(sizes[0], sizes[1]), &got);
            if (!bytes || got < sizes[0]) {
                bytes = w.at(pos, sizes[0]);
                got = bytes ? sizes[0] : 0;
            }
            message.clear();
            put(message, static_cast<std::uint32_t>(got));
            if (got > 0) {
                message.insert(message.end(), bytes, bytes + got);
            }
            if (!send_all(socket_, message.data(), message.size(), deadline)) {
                return false;
            }
        } else if (kind == meta_wire::result) {
            std::int64_t dates[2] = {};  // created, modified
            std::uint32_t length = 0;
            if (!receive_all(socket_, dates, sizeof dates, deadline) ||
                !receive_all(socket_, &length, sizeof length, deadline) ||
                length > meta_wire::max_title) {
                return false;
            }
            QByteArray title(static_cast<qsizetype>(length), Qt::Uninitialized);
            if (!receive_all(socket_, title.data(), length, deadline)) {
                return false;
            }
            // The child is no more trusted than the file it read.
            meta->created = meta::sane_date(dates[0]);
            meta->modified = meta::sane_date(dates[1]);
            meta->title = QString::fromUtf8(title);
            return true;
        } else {
            return false;
        }
    }
}
