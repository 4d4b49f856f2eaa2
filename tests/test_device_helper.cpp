// orvane-device-helper run as root without pkexec, on a loop device over a partitioned
// image; and the device layer's fallback to a helper, with fake helpers that pass chosen
// descriptors, including a run as an unprivileged user.

#include "test_support.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_helper.h"
#include "device/platform/platform_write.h"
#include "device/platform/sector_write.h"
#include "device/volume_free_space.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const QByteArray disk_marker = "ORVANE-WHOLE-DISK";
const QByteArray part_marker = "ORVANE-PARTITION1";
constexpr qint64 part_offset = 1 << 20;  // sfdisk's first partition: sector 2048

struct helper_run_s {
    int code = -1;
    QByteArray said;  // standard error
    int fd = -1;      // the descriptor passed back, or -1
};

// Runs the helper with a Unix socket (or, when socket_out is false, a pipe) as its standard
// output, as the device layer does, and collects what it passes back.
helper_run_s run_helper(const QStringList& arguments, bool socket_out = true,
                        const QStringList& prefix = {}) {
    helper_run_s run;
    child_process_s child = spawn_child(
        prefix + QStringList{QCoreApplication::applicationDirPath() + "/orvane-device-helper"} +
            arguments,
        socket_out);
    if (child.pid < 0) {
        return run;
    }
    if (socket_out) {
        char byte = 0;
        struct iovec data {
            &byte, 1
        };
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        struct msghdr message {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(child.out, &message, MSG_CMSG_CLOEXEC) == 1) {
            struct cmsghdr* header = CMSG_FIRSTHDR(&message);
            if (header && header->cmsg_type == SCM_RIGHTS) {
                std::memcpy(&run.fd, CMSG_DATA(header), sizeof(int));
            }
        }
    }
    run.code = finish_child(child, &run.said);
    return run;
}

bool run_tool(const QString& program, const QStringList& arguments, QString* out = nullptr) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return false;
    }
    if (out) {
        *out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }
    return true;
}

QByteArray read_at(int fd, qint64 offset, int length) {
    QByteArray bytes(length, '\0');
    return ::pread(fd, bytes.data(), length, offset) == length ? bytes : QByteArray();
}

int access_mode(int fd) {
    return ::fcntl(fd, F_GETFL) & O_ACCMODE;
}

// A fake helper: passes the descriptor of FAKE_FD, or opens FAKE_PATH with FAKE_FLAGS, or
// says FAKE_SAY and fails, as the test asks.
const char fake_helper[] = R"(#!/usr/bin/python3
import os, socket, sys
if os.environ.get('FAKE_COUNT'):
    with open(os.environ['FAKE_COUNT'], 'a') as runs:
        runs.write('run\n')
if os.environ.get('FAKE_SAY'):
    sys.stderr.write(os.environ['FAKE_SAY'] + '\n')
    sys.exit(1)
if 'FAKE_FD' in os.environ:
    fd = int(os.environ['FAKE_FD'])
elif 'FAKE_PATH' in os.environ:
    flags = os.O_RDWR if os.environ.get('FAKE_FLAGS') == 'rw' else os.O_RDONLY
    fd = os.open(os.environ['FAKE_PATH'], flags)
else:
    sys.exit(0)
socket.send_fds(socket.socket(fileno=1), [b'F'], [fd])
)";

// Run in a child of the test as the user 'nobody': reports what the device layer does with
// a disk that it may not open, first without and then with the helper.
int run_as_user() {
    const QString device = qEnvironmentVariable("ORVANE_TEST_AS_USER");
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY);  // handed down
    qputenv("FAKE_FD", QByteArray::number(fd));
    const gid_t nobody = 65534;
    if (fd < 0 || ::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
        ::setresuid(nobody, nobody, nobody) != 0) {
        std::printf("setup failed\n");
        return 1;
    }
    const platform::drive_desc_s drive{device, platform::drive_kind_e::block};
    QString error;
    auto direct = platform::open_drive(drive, &error);
    std::printf("direct: %s\n", direct ? "opened" : qPrintable(error));
    platform::set_device_helper_enabled(true);
    // Listing the disk and reading its free space start no helper: the partitions come from
    // what the kernel lists; the helper is asked when the disk is opened, once.
    const auto runs = [] {
        return read_bytes(qEnvironmentVariable("FAKE_COUNT"), 0, 4096).count("run");
    };
    const platform::drive_probe_s listed = platform::probe_drive(drive);
    std::uint64_t free = 0;
    const bool free_read = read_volume_free_bytes(device + "p1", "FAT32", &free);
    std::printf("listed: %d volumes, partition %d at sector %llu, free %s, %d runs\n",
                static_cast<int>(listed.volumes.size()),
                listed.volumes.empty() ? -1 : listed.volumes[0].partition_number,
                listed.volumes.empty()
                    ? 0ull
                    : static_cast<unsigned long long>(listed.volumes[0].start_sector),
                free_read ? "read" : "unknown", static_cast<int>(runs()));
    // Opening the program's table of drives at start-up asks for none either; the first
    // use of the disk asks for it.
    disk_open_all();
    int slot = -1;
    const auto drives = platform::list_drives();
    for (int n = 0; n < disk_count(); ++n) {
        slot = drives[static_cast<std::size_t>(n)].name == device ? n : slot;
    }
    std::printf("table: slot %s, %d runs\n", slot >= 0 ? "found" : "none",
                static_cast<int>(runs()));
    const bool ready = slot >= 0 && !(disk_init_drive(slot) & disk_status_not_initialised);
    std::printf("first use: %s, %d runs\n", ready ? "ready" : "not ready",
                static_cast<int>(runs()));
    auto helped = platform::open_drive(drive, &error);
    QByteArray marker(disk_marker.size(), '\0');
    if (helped && helped->read_at(0, marker.data(), marker.size()) == 0) {
        std::printf("helped: %s %llu\n", marker.constData(),
                    static_cast<unsigned long long>(helped->byte_size()));
    } else {
        std::printf("helped: %s\n", qPrintable(error));
    }
    const platform::drive_probe_s probed = platform::probe_drive(drive);
    std::printf("probed: table %s, %d volumes, %d runs\n", qPrintable(probed.table_type),
                static_cast<int>(probed.volumes.size()), static_cast<int>(runs()));
    // The fake passes the same read-only descriptor as a writer: the repair's side takes
    // no descriptor at all, and without an answer the write counts as failed.
    platform::write_request_s request;
    request.device = device.toStdString();
    request.writes.resize(1);
    qputenv("ORVANE_DEVICE_WRITER", qgetenv("ORVANE_DEVICE_HELPER"));
    const platform::write_result_s result = platform::write_through_helper(request);
    int writable = 0;
    for (int n = 0; n < 256; ++n) {
        struct stat st {};
        writable += ::fstat(n, &st) == 0 && S_ISBLK(st.st_mode) &&
                            (::fcntl(n, F_GETFL) & O_ACCMODE) != O_RDONLY
                        ? 1
                        : 0;
    }
    std::printf("repair: %s; %d writable descriptors\n",
                result.status == platform::write_status_e::written ? "written" : "not written",
                writable);
    return 0;
}

}  // namespace

class test_device_helper_c : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void passes_descriptor_data();
    void passes_descriptor();
    void refuses_data();
    void refuses();
    void refuses_without_socket();
    void read_mode_opens_nothing_for_writing();
    void fallback_checks_descriptor_data();
    void fallback_checks_descriptor();
    void fallback_as_user();

  private:
    void need_loop();

    QTemporaryDir temp_;
    QString loop_;
    QString other_;
    QString reason_;
    QString fake_;
    QString dev_node_;  // a node this test made in /dev, removed at the end
};

void test_device_helper_c::initTestCase() {
    QVERIFY(temp_.isValid());
    QFile::setPermissions(temp_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                            QFile::ExeGroup);
    fake_ = temp_.filePath("fake-helper");
    QFile fake(fake_);
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write(fake_helper);
    fake.close();
    QVERIFY(fake.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                QFile::ReadOther | QFile::ExeOther));

    if (::geteuid() != 0) {
        reason_ = "the helper's tests need root (losetup, opening block devices)";
        return;
    }
    // A 4 MiB image with one partition, a marker at the start of the disk (in the boot
    // code area) and one at the start of the partition.
    const QString image = temp_.filePath("disk.img");
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(4 << 20));
    file.close();
    QProcess sfdisk;
    sfdisk.start("/usr/sbin/sfdisk", {"--quiet", image});
    sfdisk.write("label: dos\nstart=2048, type=83\n");
    sfdisk.closeWriteChannel();
    QVERIFY(sfdisk.waitForFinished() && sfdisk.exitCode() == 0);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.write(disk_marker);
    file.seek(part_offset);
    file.write(part_marker);
    file.close();
    if (!run_tool("/usr/sbin/losetup", {"-f", "--show", "-P", image}, &loop_)) {
        reason_ = "losetup cannot attach an image on this machine";
        loop_.clear();
        return;
    }
    // a second loop device over the same image: the same bytes, another device
    if (!run_tool("/usr/sbin/losetup", {"-f", "--show", "-r", image}, &other_)) {
        other_.clear();
    }
    // the partition's node appears a moment after the partition table was read
    for (int i = 0; i < 50 && !QFile::exists(loop_ + "p1"); ++i) {
        QTest::qWait(100);
    }
}

void test_device_helper_c::cleanupTestCase() {
    if (!dev_node_.isEmpty()) {
        QFile::remove(dev_node_);
    }
    for (const QString& device : {loop_, other_}) {
        if (!device.isEmpty()) {
            run_tool("/usr/sbin/losetup", {"-d", device});
        }
    }
}

void test_device_helper_c::need_loop() {
    if (loop_.isEmpty()) {
        QSKIP(qPrintable(reason_));
    }
}

void test_device_helper_c::passes_descriptor_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("path");  // "loop", "part" or "link"
    QTest::addColumn<int>("access");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QByteArray>("marker");
    QTest::newRow("whole disk, read") << "read"
                                      << "loop" << O_RDONLY << 0LL << disk_marker;
    QTest::newRow("partition, read") << "read"
                                     << "part" << O_RDONLY << 0LL << part_marker;
}

void test_device_helper_c::passes_descriptor() {
    need_loop();
    QFETCH(QString, mode);
    QFETCH(QString, path);
    QFETCH(int, access);
    QFETCH(qint64, offset);
    QFETCH(QByteArray, marker);
    QString device = path == "part" ? loop_ + "p1" : loop_;
    if (path == "part" && !QFile::exists(device)) {
        QSKIP("the kernel made no partition nodes for the loop device here");
    }
    if (path == "link") {
        device = temp_.filePath("by-name");
        QFile::remove(device);
        QVERIFY(QFile::link(loop_, device));
    }
    const helper_run_s run = run_helper({mode, device});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.fd >= 0, run.said.constData());
    QCOMPARE(access_mode(run.fd), access);
    QCOMPARE(read_at(run.fd, offset, marker.size()), marker);
    ::close(run.fd);
}

void test_device_helper_c::refuses_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("said");
    QTest::newRow("regular file") << "read"
                                  << "file"
                                  << "only /dev/NAME";
    QTest::newRow("link to a file") << "read"
                                    << "file-link"
                                    << "only /dev/NAME";
    QTest::newRow("directory") << "read"
                               << "dir"
                               << "only /dev/NAME";
    QTest::newRow("character device") << "read"
                                      << "/dev/null"
                                      << "is a character device";
    QTest::newRow("link to /dev/zero") << "read"
                                       << "zero-link"
                                       << "only /dev/NAME";
    QTest::newRow("block node outside /dev") << "read"
                                             << "node"
                                             << "only /dev/NAME";
    QTest::newRow("unknown node in /dev") << "read"
                                          << "dev-node"
                                          << "not a disk or partition";
    QTest::newRow("zram is no drive") << "read"
                                      << "/dev/zram0"
                                      << "not a disk or partition";
    QTest::newRow("missing") << "read"
                             << "/dev/sdzz9"
                             << "No such file";
    QTest::newRow("bad mode") << "rw"
                              << "/dev/null"
                              << "usage:";
    QTest::newRow("link to the disk") << "read"
                                      << "disk-link"
                                      << "only /dev/NAME";
    QTest::newRow("writing is not the reader's") << "write"
                                                 << "loop"
                                                 << "usage:";
}

void test_device_helper_c::refuses() {
    QFETCH(QString, mode);
    QFETCH(QString, path);
    QFETCH(QString, said);
    const QString file = temp_.filePath("plain.img");
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write(QByteArray(4096, 'x'));
    plain.close();
    QString device = path;
    if (path == "file") {
        device = file;
    } else if (path == "file-link" || path == "zero-link") {
        device = temp_.filePath(path);
        QFile::remove(device);
        QVERIFY(QFile::link(path == "file-link" ? file : "/dev/zero", device));
    } else if (path == "disk-link" || path == "loop") {
        need_loop();
        device = loop_;
        if (path == "disk-link") {
            device = temp_.filePath(path);
            QFile::remove(device);
            QVERIFY(QFile::link(loop_, device));
        }
    } else if (path == "dir") {
        device = temp_.path();
    } else if (path == "node" || path == "dev-node") {
        need_loop();
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(loop_).constData(), &st) == 0);
        device =
            path == "node" ? temp_.filePath("blk") : QString("/dev/orvanetest%1").arg(::getpid());
        QFile::remove(device);
        QVERIFY(::mknod(QFile::encodeName(device).constData(), S_IFBLK | 0600, st.st_rdev) == 0);
        if (path == "dev-node") {
            dev_node_ = device;
        }
    } else if (!QFile::exists(path) && path != "/dev/sdzz9") {
        QSKIP(qPrintable(path + " is not on this machine"));
    }
    const helper_run_s run = run_helper({mode, device});
    if (dev_node_ == device) {
        QFile::remove(dev_node_);
        dev_node_.clear();
    }
    QVERIFY2(run.said.contains(said.toUtf8()), run.said.constData());
    QCOMPARE(run.code, mode == "read" ? 1 : 2);
    QCOMPARE(run.fd, -1);
}

void test_device_helper_c::refuses_without_socket() {
    need_loop();
    const helper_run_s run = run_helper({"read", loop_}, false);
    QCOMPARE(run.code, 1);
    QVERIFY2(run.said.contains("not a Unix socket"), run.said.constData());
}

void test_device_helper_c::read_mode_opens_nothing_for_writing() {
    need_loop();
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty()) {
        QSKIP("strace is not installed");
    }
    const QString log = temp_.filePath("strace.log");
    QStringList devices{loop_};
    if (QFile::exists(loop_ + "p1")) {
        devices << loop_ + "p1";
    }
    for (const QString& device : devices) {
        const helper_run_s run =
            run_helper({"read", device}, true,
                       {strace, "-f", "-qq", "-e", "trace=open,openat,openat2,creat", "-o", log});
        QFile trace(log);
        if (run.code != 0 || !trace.open(QIODevice::ReadOnly)) {
            QSKIP("strace cannot trace the helper here (ptrace refused)");
        }
        QVERIFY(run.fd >= 0);
        QCOMPARE(access_mode(run.fd), O_RDONLY);
        ::close(run.fd);
        const QByteArray calls = trace.readAll();
        // the trace saw the device being opened, and nothing opened for writing
        QVERIFY2(calls.contains(QFile::encodeName(device) + "\", O_RDONLY"), calls.constData());
        QVERIFY2(!calls.contains("O_WRONLY") && !calls.contains("O_RDWR") &&
                     !calls.contains("O_CREAT") && !calls.contains("creat("),
                 calls.constData());
    }
}

void test_device_helper_c::fallback_checks_descriptor_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("fake");   // FAKE_PATH, FAKE_FLAGS, FAKE_SAY as "path|flags|say"
    QTest::addColumn<QString>("error");  // empty: the descriptor is taken
    QTest::newRow("read-only disk") << "read"
                                    << "loop||"
                                    << "";
    QTest::newRow("read-write from a writer") << "write"
                                              << "loop|rw|"
                                              << "gave no answer";
    QTest::newRow("read-write when reading") << "read"
                                             << "loop|rw|"
                                             << "wrong access mode";
    QTest::newRow("read-only from a writer") << "write"
                                             << "loop||"
                                             << "gave no answer";
    QTest::newRow("a regular file") << "read"
                                    << "file||"
                                    << "not a block device";
    QTest::newRow("another device") << "read"
                                    << "other||"
                                    << "another device";
    QTest::newRow("nothing passed") << "read"
                                    << "||"
                                    << "passed nothing back";
    QTest::newRow("helper refuses") << "read"
                                    << "||not listed"
                                    << "not listed";
}

void test_device_helper_c::fallback_checks_descriptor() {
    need_loop();
    QFETCH(QString, mode);
    QFETCH(QString, fake);
    QFETCH(QString, error);
    const QStringList parts = fake.split('|');
    if (parts[0] == "other" && other_.isEmpty()) {
        QSKIP("losetup could not attach a second loop device");
    }
    QString path = parts[0] == "loop" ? loop_ : parts[0] == "other" ? other_ : parts[0];
    if (path == "file") {
        path = fake_;
    }
    qputenv("ORVANE_DEVICE_HELPER", QFile::encodeName(fake_));
    qunsetenv("FAKE_PATH");
    qunsetenv("FAKE_FD");
    if (!path.isEmpty()) {
        qputenv("FAKE_PATH", QFile::encodeName(path));
    }
    qputenv("FAKE_FLAGS", parts[1].toUtf8());
    qputenv("FAKE_SAY", parts[2].toUtf8());
    QString said;
    platform::forget_kept_descriptors();
    if (mode == "write") {
        // The writer's client takes no descriptor, whatever the writer sends.
        qputenv("ORVANE_DEVICE_WRITER", QFile::encodeName(fake_));
        platform::write_request_s request;
        request.device = loop_.toStdString();
        const platform::write_result_s result = platform::write_through_helper(request);
        qunsetenv("ORVANE_DEVICE_WRITER");
        qunsetenv("ORVANE_DEVICE_HELPER");
        QCOMPARE(int(result.status), int(platform::write_status_e::failed));
        QVERIFY2(result.message.find(error.toStdString()) != std::string::npos,
                 result.message.c_str());
        struct stat disk {};
        QVERIFY(::stat(QFile::encodeName(loop_).constData(), &disk) == 0);
        for (int n = 0; n < 256; ++n) {
            struct stat st {};
            QVERIFY(::fstat(n, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != disk.st_rdev ||
                    access_mode(n) == O_RDONLY);
        }
        return;
    }
    const int fd = platform::open_through_helper(loop_, &said);
    qunsetenv("ORVANE_DEVICE_HELPER");
    if (error.isEmpty()) {
        QVERIFY2(fd >= 0, qPrintable(said));
        QCOMPARE(access_mode(fd), O_RDONLY);
        QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        QCOMPARE(read_at(fd, 0, disk_marker.size()), disk_marker);
        ::close(fd);
    } else {
        QCOMPARE(fd, -1);
        QVERIFY2(said.contains(error), qPrintable(said));
    }
}

void test_device_helper_c::fallback_as_user() {
    need_loop();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVANE_TEST_AS_USER", loop_);
    env.insert("ORVANE_DEVICE_HELPER", fake_);
    const QString count = temp_.filePath("helper-runs");
    QVERIFY(write_bytes(count, 0, {}));
    QVERIFY(QFile::setPermissions(
        count, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther));
    env.insert("FAKE_COUNT", count);
    env.insert("ORVANE_BLOCK_DEVICES", "1");  // the loop device is listed as a drive
    for (const char* name : {"FAKE_PATH", "FAKE_FLAGS", "FAKE_SAY"}) {
        env.remove(name);
    }
    env.insert("ASAN_OPTIONS", "detect_leaks=0");  // LeakSanitizer cannot trace as nobody
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(child.exitCode() == 0, qPrintable(out + child.readAllStandardError()));
    // Without the helper (the orvane tool) a disk the user may not read stays refused; with
    // it (the desktop program) the same call returns a readable drive of the right size,
    // and a writer that passes a descriptor gives the program none.
    QVERIFY2(out.contains("direct: cannot open '" + loop_ + "': Permission denied"),
             qPrintable(out));
    QVERIFY2(out.contains("free unknown, 0 runs\n"), qPrintable(out));
    if (QFileInfo::exists("/sys/block/" + QFileInfo(loop_).fileName() + "/" +
                          QFileInfo(loop_).fileName() + "p1/partition")) {
        // the partition as the kernel lists it, before the disk was opened
        QVERIFY2(out.contains("listed: 1 volumes, partition 1 at sector 2048"), qPrintable(out));
    }
    QVERIFY2(out.contains("table: slot found, 0 runs\nfirst use: ready, 1 runs\n"),
             qPrintable(out));
    QVERIFY2(out.contains("helped: " + disk_marker + " " + QString::number(4 << 20)),
             qPrintable(out));
    QVERIFY2(out.contains("probed: table dos, 1 volumes, 1 runs"), qPrintable(out));
    QVERIFY2(out.contains("repair: not written; 0 writable descriptors"), qPrintable(out));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("ORVANE_TEST_AS_USER")) {
        return run_as_user();
    }
    QCoreApplication app(argc, argv);
    test_device_helper_c test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_device_helper.moc"
