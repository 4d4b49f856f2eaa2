#include "test_support.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

extern char** environ;

QString fixture_path(const QString& relative) {
    return qEnvironmentVariable("ORVANE_FIXTURES") + QLatin1Char('/') + relative;
}

bool fixture_exists(const QString& relative) {
    return QFile::exists(fixture_path(relative));
}

int use_images(const QStringList& images) {
    platform::clear_images();
    for (const QString& image : images) {
        platform::add_image(image, nullptr);
    }
    static bool opened = false;
    if (!opened) {
        opened = true;
        return disk_open_all();
    }
    return disk_reopen_all();
}

bool run_program(const QString& program, const QStringList& arguments, QString* out) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    if (out) {
        *out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }
    return process.exitCode() == 0;
}

int run_orvane(const QStringList& arguments, QByteArray* out, QByteArray* err, int timeout_ms) {
    QProcess process;
    process.start(qEnvironmentVariable("ORVANE_BIN") + QStringLiteral("/orvane"), arguments);
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (out) {
        *out = process.readAllStandardOutput();
    }
    if (err) {
        *err = process.readAllStandardError();
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray wav_header(std::uint32_t data_bytes) {
    QByteArray header(44, '\0');
    auto put32 = [&](int at, std::uint32_t v) { std::memcpy(header.data() + at, &v, 4); };
    std::memcpy(header.data(), "RIFFxxxxWAVEfmt ", 16);
    put32(4, 36 + data_bytes);
    put32(16, 16);
    put32(20, 1 | 2 << 16);  // PCM, 2 channels
    put32(24, 44100);
    put32(28, 44100 * 4);
    put32(32, 4 | 16 << 16);
    std::memcpy(header.data() + 36, "data", 4);
    put32(40, data_bytes);
    return header;
}

QString sparse_fixture_copy(const QString& relative, const QString& to) {
    return run_program(QStringLiteral("cp"),
                       {QStringLiteral("--sparse=always"), fixture_path(relative), to})
               ? to
               : QString();
}

QByteArray sha256_of_file(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

volume_item_s memory_volume(const QString& name, std::shared_ptr<const QByteArray> bytes,
                            const QString& file_system) {
    platform::clear_memory_drives();
    platform::add_memory_drive(name, std::move(bytes));
    use_images({});
    volume_item_s target;
    target.device_name = target.volume_name = target.path = "mem:" + name;
    target.file_system = file_system;
    target.partition_number = 0;
    target.disk_number = 0;
    return target;
}

ntfs_mount_c::ntfs_mount_c() {
    if (::geteuid() != 0) {
        reason_ = QStringLiteral("attaching a loop device needs root");
        return;
    }
    folder_ = QDir::tempPath() + QStringLiteral("/orvane-mount-") +
              QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(folder_ + QStringLiteral("/mnt"));
    const QString image = folder_ + QStringLiteral("/ntfs.img");
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(8 * 1024 * 1024)) {
        reason_ = QStringLiteral("cannot make %1").arg(image);
        return;
    }
    file.close();
    QString device;
    if (!run(QStringLiteral("/usr/sbin/mkntfs"),
             {QStringLiteral("-F"), QStringLiteral("-Q"), QStringLiteral("-q"),
              QStringLiteral("-L"), QStringLiteral("ORVMOUNT"), image}) ||
        !run(QStringLiteral("/usr/sbin/losetup"),
             {QStringLiteral("-f"), QStringLiteral("--show"), image}, &device)) {
        return;
    }
    device_ = device.trimmed();
    mount_point_ = folder_ + QStringLiteral("/mnt");
    mounted_ = run(QStringLiteral("ntfs-3g"), {device_, mount_point_});
}

ntfs_mount_c::~ntfs_mount_c() {
    if (mounted_) {
        run(QStringLiteral("umount"), {mount_point_});
    }
    if (!device_.isEmpty()) {
        run(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("-d"), device_});
    }
    if (!folder_.isEmpty()) {
        QDir(folder_).removeRecursively();
    }
}

bool ntfs_mount_c::run(const QString& program, const QStringList& arguments, QString* out) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        reason_ = QStringLiteral("%1 %2 failed: %3")
                      .arg(program, arguments.join(QLatin1Char(' ')),
                           QString::fromLocal8Bit(process.readAllStandardError()).trimmed() +
                               process.errorString());
        return false;
    }
    if (out) {
        *out = QString::fromLocal8Bit(process.readAllStandardOutput());
    }
    return true;
}

child_process_s spawn_child(const QStringList& arguments, bool socket_out) {
    child_process_s child;
    int out[2];
    int err[2];
    if ((socket_out ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out)
                    : ::pipe2(out, O_CLOEXEC)) != 0) {
        return child;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return child;
    }
    QList<QByteArray> words;
    for (const QString& word : arguments) {
        words << QFile::encodeName(word);
    }
    std::vector<char*> argv;
    for (QByteArray& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return child;
    }
    child.pid = pid;
    child.out = out[0];
    child.err = err[0];
    return child;
}

int finish_child(child_process_s& child, QByteArray* said) {
    if (child.pid < 0) {
        return -1;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(child.err, buffer, sizeof buffer)) > 0) {
        said->append(buffer, n);
    }
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.out);
    ::close(child.err);
    child = {};
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QByteArray read_bytes(const QString& path, qint64 offset, qint64 len) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        return {};
    }
    return file.read(len);
}

bool write_bytes(const QString& path, qint64 offset, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) &&
           file.write(bytes) == bytes.size();
}
