#pragma once
// Loop devices and scratch images for tests that need real block devices: attach an image,
// detach it again at the end of the scope. Needs root and losetup; attach() says why not.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

inline QString system_tool(const QString& name) {
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
}

// Runs a tool; true when it exits with 0. Its standard output goes to *out.
inline bool run_quietly(const QString& program, const QStringList& arguments,
                        QString* out = nullptr, const QByteArray& input = {}) {
    QProcess process;
    process.start(program, arguments);
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return false;
    }
    if (out) {
        *out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }
    return true;
}

class loop_device_c {
  public:
    loop_device_c() = default;
    loop_device_c(const loop_device_c&) = delete;
    loop_device_c& operator=(const loop_device_c&) = delete;
    ~loop_device_c() { detach(); }

    // Attaches the image; the device's name, or empty with *why set.
    QString attach(const QString& image, QString* why, const QStringList& options = {}) {
        detach();
        const QString losetup = system_tool("losetup");
        if (losetup.isEmpty() || ::geteuid() != 0) {
            *why = "attaching a loop device needs root and losetup";
            return {};
        }
        QString device;
        if (!run_quietly(losetup, QStringList{"--find", "--show"} + options + QStringList{image},
                         &device) ||
            !device.startsWith("/dev/loop")) {
            *why = "no loop device could be attached here";
            return {};
        }
        device_ = device;
        if (options.contains("--partscan")) {
            make_partition_nodes();
        }
        return device_;
    }

    void detach() {
        for (const QString& node : made_nodes_) {
            QFile::remove(node);
        }
        made_nodes_.clear();
        if (!device_.isEmpty()) {
            run_quietly(system_tool("losetup"), {"-d", device_});
            device_.clear();
        }
    }

    const QString& name() const { return device_; }

  private:
    // The kernel knows the partitions (sysfs) a moment after attaching; where nothing makes
    // their nodes in /dev (no udev in a container), make them here.
    void make_partition_nodes() {
        const QString name = device_.mid(5);
        if (!QFile::exists(QStringLiteral("/sys/class/block/%1p1").arg(name))) {
            // some kernels in containers read no table at attach time: ask for it
            run_quietly(system_tool("partx"), {"--add", device_});
        }
        for (int n = 1; n <= 4; ++n) {
            const QString part = QStringLiteral("%1p%2").arg(name).arg(n);
            QFile numbers(QStringLiteral("/sys/class/block/%1/dev").arg(part));
            for (int i = 0; i < 10 && n == 1 && !numbers.exists(); ++i) {
                ::usleep(100000);
            }
            if (!numbers.open(QIODevice::ReadOnly)) {
                return;
            }
            const QList<QByteArray> mm = numbers.readAll().trimmed().split(':');
            const QString node = "/dev/" + part;
            if (mm.size() == 2 && !QFile::exists(node) &&
                ::mknod(QFile::encodeName(node).constData(), S_IFBLK | 0660,
                        makedev(mm[0].toUInt(), mm[1].toUInt())) == 0) {
                made_nodes_ << node;
            }
        }
    }

    QString device_;
    QStringList made_nodes_;
};

// A sparse file of this many bytes.
inline bool make_sparse(const QString& path, qint64 bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(bytes);
}

// Copies `bytes` bytes of one file into another at a byte offset.
inline bool copy_into(const QString& from, const QString& to, qint64 offset) {
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::ReadWrite) || !out.seek(offset)) {
        return false;
    }
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            return false;
        }
    }
    return true;
}
