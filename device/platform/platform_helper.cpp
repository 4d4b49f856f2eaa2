// Starting the privileged helpers: receiving the read-only descriptor orvane-device-helper
// passes back, sending a request to orvane-device-writer and reading its answer.
#include "platform_helper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
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

QString find_program(const QString& name) {
    const QString folder =
        QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    const QString installed = QDir::cleanPath(folder + QStringLiteral("/../libexec/") + name);
    if (QFileInfo(installed).isExecutable()) {
        return installed;
    }
    const QString beside = folder + QLatin1Char('/') + name;
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return {};
}

namespace {

std::atomic<bool> helper_enabled{false};
thread_local bool prompts_off = false;

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

// The read descriptors the helper passed, kept for the run: device path -> descriptor.
std::mutex kept_lock;
std::map<QString, int> kept_descriptors;

// A copy of the kept descriptor of this device, while the path still names the same
// device; -1 otherwise.
int kept_copy(const QString& device) {
    std::lock_guard<std::mutex> hold(kept_lock);
    const auto found = kept_descriptors.find(device);
    if (found == kept_descriptors.end()) {
        return -1;
    }
    struct stat kept {};
    struct stat named {};
    if (::fstat(found->second, &kept) != 0 ||
        ::stat(QFile::encodeName(device).constData(), &named) != 0 ||
        kept.st_rdev != named.st_rdev) {
        ::close(found->second);
        kept_descriptors.erase(found);
        return -1;
    }
    return ::fcntl(found->second, F_DUPFD_CLOEXEC, 0);
}

void keep(const QString& device, int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return;
    }
    std::lock_guard<std::mutex> hold(kept_lock);
    const auto found = kept_descriptors.find(device);
    if (found != kept_descriptors.end()) {
        ::close(found->second);
    }
    kept_descriptors[device] = copy;
}

// A helper started with a socket pair as its standard output and a pipe as its standard
// error; -1 in pid on failure (with *error set).
struct spawned_s {
    pid_t pid = -1;
    int socket = -1;
    int messages = -1;
};

spawned_s spawn_helper(const QStringList& command, QString* error) {
    spawned_s run;
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        *error = QStringLiteral("cannot make a socket for the helper: %1").arg(errno_text(errno));
        return run;
    }
    int messages[2];
    if (::pipe2(messages, O_CLOEXEC) != 0) {
        *error = QStringLiteral("cannot make a pipe for the helper: %1").arg(errno_text(errno));
        ::close(sockets[0]);
        ::close(sockets[1]);
        return run;
    }
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
        return run;
    }
    run.pid = pid;
    run.socket = sockets[0];
    run.messages = messages[0];
    return run;
}

// Waits for the helper; its exit code, or -1 when it did not exit normally.
int wait_helper(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// The descriptor must be the block device that the path names, opened read-only.
bool check_descriptor(int fd, const QString& device, QString* error) {
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
    if ((::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) {
        *error = QStringLiteral("the helper passed back '%1' in the wrong access mode").arg(device);
        return false;
    }
    return true;
}

// pkexec's answer when the user did not authorise, as the error for the user.
bool not_authorised(int code, const QString& device, const QString& said, QString* error) {
    if (code != pkexec_dismissed && code != pkexec_not_authorized) {
        return false;
    }
    // pkexec says why when polkit itself failed (no authority, no agent)
    *error = QStringLiteral("'%1': the administrator's password was not given").arg(device);
    if (!said.isEmpty()) {
        *error += QStringLiteral(" (%1)").arg(said);
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
    const bool read = mode == helper_mode_e::read;
    const QString mode_word = read ? QStringLiteral("read") : QStringLiteral("write");
    const QString direct =
        qEnvironmentVariable(read ? "ORVANE_DEVICE_HELPER" : "ORVANE_DEVICE_WRITER");
    if (!direct.isEmpty()) {
        return {direct, mode_word, device};
    }
    const QString name =
        read ? QStringLiteral("orvane-device-helper") : QStringLiteral("orvane-device-writer");
    const QString helper = find_program(name);
    if (helper.isEmpty()) {
        *error = QStringLiteral("%1 is not installed").arg(name);
        return {};
    }
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        *error = QStringLiteral("pkexec (polkit) is not installed");
        return {};
    }
    return {pkexec, helper, mode_word, device};
}

helper_prompts_off_c::helper_prompts_off_c() : was_(prompts_off) {
    prompts_off = true;
}

helper_prompts_off_c::~helper_prompts_off_c() {
    prompts_off = was_;
}

bool helper_prompts_allowed() {
    return !prompts_off;
}

void forget_kept_descriptors() {
    std::lock_guard<std::mutex> hold(kept_lock);
    for (const auto& [device, fd] : kept_descriptors) {
        ::close(fd);
    }
    kept_descriptors.clear();
}

int open_through_helper(const QString& device, QString* error) {
    QString ignored;
    if (!error) {
        error = &ignored;
    }
    if (const int copy = kept_copy(device); copy >= 0) {
        return copy;
    }
    if (prompts_off) {
        *error = QStringLiteral("'%1' is read once it is opened").arg(device);
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(decline_lock);
        if (declined && std::chrono::steady_clock::now() - declined_at < decline_memory) {
            *error = QStringLiteral("'%1': reading disks was not authorised").arg(device);
            return -1;
        }
    }
    const QStringList command = helper_command(helper_mode_e::read, device, error);
    if (command.isEmpty()) {
        return -1;
    }
    const spawned_s run = spawn_helper(command, error);
    if (run.pid < 0) {
        return -1;
    }
    int fd = receive_descriptor(run.socket);
    ::close(run.socket);
    const QString said = QString::fromLocal8Bit(read_all(run.messages)).trimmed();
    ::close(run.messages);
    const int code = wait_helper(run.pid);

    if (fd >= 0 && code == 0 && check_descriptor(fd, device, error)) {
        keep(device, fd);
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
        if (code == 0) {
            return -1;  // check_descriptor said why
        }
    }
    if (not_authorised(code, device, said, error)) {
        if (command.size() == 4) {
            std::lock_guard<std::mutex> hold(decline_lock);
            declined = true;
            declined_at = std::chrono::steady_clock::now();
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

write_result_s write_through_helper(const write_request_s& request) {
    write_result_s result;
    const QString device = QFile::decodeName(QByteArray::fromStdString(request.device));
    QString error;
    const QStringList command = helper_command(helper_mode_e::write, device, &error);
    if (command.isEmpty()) {
        result.message = error.toStdString();
        return result;
    }
    const spawned_s run = spawn_helper(command, &error);
    if (run.pid < 0) {
        result.message = error.toStdString();
        return result;
    }
    // The request goes out whole, then our side of the socket is shut for writing; the
    // answer is read with plain reads, which take no descriptor: the kernel drops any that
    // a helper might send along.
    const std::string text = encode_request(request);
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(run.socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(run.socket, SHUT_WR);
    const QByteArray answer = read_all(run.socket);
    ::close(run.socket);
    const QString said = QString::fromLocal8Bit(read_all(run.messages)).trimmed();
    ::close(run.messages);
    const int code = wait_helper(run.pid);
    if (decode_result(answer.toStdString(), &result)) {
        if (result.status == write_status_e::written && code != 0) {
            result.status = write_status_e::failed;
            result.message += " (but the writer ended with an error)";
        }
        return result;
    }
    result = write_result_s{};
    // Without an answer the outcome is unknown unless polkit refused: the disk may have
    // been written.
    result.status = write_status_e::failed;
    if (not_authorised(code, device, said, &error)) {
        result.status = write_status_e::refused;
        result.message = (error + QStringLiteral("; nothing was written")).toStdString();
    } else if (!said.isEmpty()) {
        result.message = said.toStdString();
    } else {
        result.message = QStringLiteral("'%1': the writer gave no answer (exit code %2)")
                             .arg(device)
                             .arg(code)
                             .toStdString();
    }
    return result;
}

}  // namespace platform
