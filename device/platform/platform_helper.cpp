// Starting orvane-device-helper and receiving the descriptor it passes back.
#include "platform_helper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

std::atomic<bool> helper_enabled{false};

// pkexec's exit codes when the user dismissed the password dialog or was not authorised.
constexpr int pkexec_dismissed = 126;
constexpr int pkexec_not_authorized = 127;

// A declined read is remembered for a short while, so that listing several drives and
// their partitions after one "Cancel" does not ask again for each of them.
constexpr auto decline_memory = std::chrono::seconds(30);
std::mutex decline_lock;
std::chrono::steady_clock::time_point declined_at;
bool declined = false;

QString errno_text(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

QString executable_folder() {
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

QString find_helper() {
    const QString folder = executable_folder();
    const QString installed =
        QDir::cleanPath(folder + QStringLiteral("/../libexec/orvane-device-helper"));
    if (QFileInfo(installed).isExecutable()) {
        return installed;
    }
    const QString beside = folder + QStringLiteral("/orvane-device-helper");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return {};
}

// Receives one descriptor from the socket; -1 when the peer closed it without sending one.
int receive_descriptor(int socket_fd) {
    char byte = 0;
    struct iovec data {};
    data.iov_base = &byte;
    data.iov_len = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(socket_fd, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return -1;
    }
    int fd = -1;
    for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int))) {
            std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
        }
    }
    if (message.msg_flags & MSG_CTRUNC) {
        // more than one descriptor came: keep none of them
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

QByteArray read_all(int fd) {
    QByteArray text;
    char buffer[1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || text.size() > 16384) {
            return text;
        }
        text.append(buffer, n);
    }
}

// The descriptor must be the block device that the path names, opened as asked.
bool check_descriptor(int fd, const QString& device, helper_mode_e mode, QString* error) {
    struct stat got {};
    struct stat named {};
    if (::fstat(fd, &got) != 0 || !S_ISBLK(got.st_mode)) {
        *error = QStringLiteral("the helper passed back something that is not a block device");
        return false;
    }
    if (::stat(QFile::encodeName(device).constData(), &named) != 0 ||
        named.st_rdev != got.st_rdev) {
        *error = QStringLiteral("the helper passed back another device than '%1'").arg(device);
        return false;
    }
    const int access = ::fcntl(fd, F_GETFL) & O_ACCMODE;
    const int wanted = mode == helper_mode_e::read ? O_RDONLY : O_RDWR;
    if (access != wanted) {
        *error = QStringLiteral("the helper passed back '%1' in the wrong access mode").arg(device);
        return false;
    }
    return true;
}

}  // namespace

void set_device_helper_enabled(bool enabled) {
    helper_enabled.store(enabled, std::memory_order_relaxed);
}

bool device_helper_enabled() {
    return helper_enabled.load(std::memory_order_relaxed);
}

bool helper_applies(int open_errno) {
    return device_helper_enabled() && (open_errno == EACCES || open_errno == EPERM) &&
           ::geteuid() != 0;
}

QStringList helper_command(helper_mode_e mode, const QString& device, QString* error) {
    const QString mode_word =
        mode == helper_mode_e::read ? QStringLiteral("read") : QStringLiteral("write");
    const QString direct = qEnvironmentVariable("ORVANE_DEVICE_HELPER");
    if (!direct.isEmpty()) {
        return {direct, mode_word, device};
    }
    const QString helper = find_helper();
    if (helper.isEmpty()) {
        *error = QStringLiteral("orvane-device-helper is not installed");
        return {};
    }
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        *error = QStringLiteral("pkexec (polkit) is not installed");
        return {};
    }
    return {pkexec, helper, mode_word, device};
}

int open_through_helper(const QString& device, helper_mode_e mode, QString* error) {
    QString ignored;
    if (!error) {
        error = &ignored;
    }
    if (mode == helper_mode_e::read) {
        std::lock_guard<std::mutex> hold(decline_lock);
        if (declined && std::chrono::steady_clock::now() - declined_at < decline_memory) {
            *error = QStringLiteral("'%1': reading disks was not authorised").arg(device);
            return -1;
        }
    }
    const QStringList command = helper_command(mode, device, error);
    if (command.isEmpty()) {
        return -1;
    }

    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        *error = QStringLiteral("cannot make a socket for the helper: %1").arg(errno_text(errno));
        return -1;
    }
    int messages[2];
    if (::pipe2(messages, O_CLOEXEC) != 0) {
        *error = QStringLiteral("cannot make a pipe for the helper: %1").arg(errno_text(errno));
        ::close(sockets[0]);
        ::close(sockets[1]);
        return -1;
    }

    // The helper's standard output is our socket's other end, its standard error a pipe.
    std::vector<QByteArray> arguments;
    for (const QString& argument : command) {
        arguments.push_back(QFile::encodeName(argument));
    }
    std::vector<char*> argv;
    for (QByteArray& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, messages[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sockets[1]);
    ::close(messages[1]);
    if (spawned != 0) {
        ::close(sockets[0]);
        ::close(messages[0]);
        *error = QStringLiteral("cannot start %1: %2").arg(command.first(), errno_text(spawned));
        return -1;
    }

    int fd = receive_descriptor(sockets[0]);
    ::close(sockets[0]);
    const QString said = QString::fromLocal8Bit(read_all(messages[0])).trimmed();
    ::close(messages[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

    if (fd >= 0 && code == 0 && check_descriptor(fd, device, mode, error)) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
        if (code == 0) {
            return -1;  // check_descriptor said why
        }
    }
    if (code == pkexec_dismissed || code == pkexec_not_authorized) {
        if (command.size() == 4 && mode == helper_mode_e::read) {
            std::lock_guard<std::mutex> hold(decline_lock);
            declined = true;
            declined_at = std::chrono::steady_clock::now();
        }
        // pkexec says why when polkit itself failed (no authority, no agent)
        *error = QStringLiteral("'%1': opening the disk was not authorised").arg(device);
        if (!said.isEmpty()) {
            *error += QStringLiteral(" (%1)").arg(said);
        }
        return -1;
    }
    if (!said.isEmpty()) {
        *error = said;
    } else if (code == 0) {
        *error = QStringLiteral("'%1': the helper passed nothing back").arg(device);
    } else {
        *error = QStringLiteral("'%1': the helper failed (exit code %2)").arg(device).arg(code);
    }
    return -1;
}

}  // namespace platform
