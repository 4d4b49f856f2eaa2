// The checked sector writes: orvane-device-writer run as root without pkexec on a loop
// device, the request format, the program's side that never receives a writable
// descriptor, and a desktop program whose descriptors another process of the same user
// cannot take.

#include "loop_device.h"
#include "test_support.h"

#include "device/platform/platform_helper.h"
#include "device/platform/sector_write.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uid_t nobody = 65534;

struct writer_run_s {
    int code = -1;
    QByteArray said;    // standard error
    QByteArray answer;  // what came back over the socket
};

// Runs the writer with a socket pair as its standard output, sends the request text and
// collects the answer, as the device layer does.
writer_run_s run_writer(const QStringList& arguments, const std::string& request) {
    writer_run_s run;
    child_process_s child = spawn_child(
        QStringList{QCoreApplication::applicationDirPath() + "/../bin/orvane-device-writer"} +
        arguments);
    if (child.pid < 0) {
        return run;
    }
    if (!request.empty()) {
        (void)::send(child.out, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ::shutdown(child.out, SHUT_WR);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(child.out, buffer, sizeof buffer)) > 0) {
        run.answer.append(buffer, n);
    }
    run.code = finish_child(child, &run.said);
    return run;
}

QByteArray file_digest(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

QByteArray read_file_at(const QString& path, qint64 offset, qint64 len) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.seek(offset) ? file.read(len) : QByteArray();
}

// The descriptors of this process that refer to the block device, with their access modes.
QList<int> modes_of_descriptors_to(dev_t device) {
    QList<int> modes;
    for (const QString& entry :
         QDir("/proc/self/fd")
             .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)) {
        const int fd = entry.toInt();
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device) {
            modes << (::fcntl(fd, F_GETFL) & O_ACCMODE);
        }
    }
    return modes;
}

// A fake writer that sends a read-write descriptor of FAKE_PATH along with a "written"
// answer: the program must not end up holding it.
const char fake_writer[] = R"(#!/usr/bin/python3
import os, socket, sys
s = socket.socket(fileno=1)
fd = os.open(os.environ['FAKE_PATH'], os.O_RDWR)
socket.send_fds(s, [b'written 0 fake\n'], [fd])
)";

// In a child as 'nobody': tries to take descriptors 0-63 of the process PID with
// pidfd_getfd and prints how many it got, or why it could not try.
int take_descriptors(pid_t pid) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
        ::setresuid(nobody, nobody, nobody) != 0) {
        std::printf("setup failed\n");
        return 1;
    }
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_getfd)
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        std::printf("no pidfd_open: %s\n", std::strerror(errno));
        return 0;
    }
    int taken = 0;
    int last_error = 0;
    for (int fd = 0; fd < 64; ++fd) {
        const int copy = int(::syscall(SYS_pidfd_getfd, pidfd, fd, 0));
        if (copy >= 0) {
            ++taken;
            ::close(copy);
        } else if (errno != EBADF) {
            last_error = errno;
        }
    }
    std::printf("taken %d error %s\n", taken, last_error ? std::strerror(last_error) : "none");
#else
    (void)pid;
    std::printf("no pidfd_getfd in this system's headers\n");
#endif
    return 0;
}

}  // namespace

class test_device_writer_c : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void request_round_trip_data();
    void request_round_trip();
    void refuses_data();
    void refuses();
    void writes_exactly_the_sectors();
    void mounted_disk_is_busy();
    void program_receives_no_writable_descriptor();
    void descriptors_cannot_be_taken();

  private:
    void need_loop();
    platform::write_request_s request_for(const QString& device, std::uint64_t lba,
                                          char fill) const;

    QTemporaryDir temp_;
    QString image_;
    loop_device_c loop_;
    QString reason_;
};

void test_device_writer_c::initTestCase() {
    QVERIFY(temp_.isValid());
    image_ = temp_.filePath("disk.img");
    QVERIFY(make_sparse(image_, 16 << 20));
    const QString sfdisk = system_tool("sfdisk");
    if (sfdisk.isEmpty()) {
        reason_ = "sfdisk is not installed";
        return;
    }
    QVERIFY(run_quietly(sfdisk, {"--quiet", image_}, nullptr, "label: dos\nstart=2048, type=83\n"));
    if (loop_.attach(image_, &reason_, {"--partscan"}).isEmpty()) {
        return;
    }
    for (int i = 0; i < 50 && !QFile::exists(loop_.name() + "p1"); ++i) {
        QTest::qWait(100);
    }
}

void test_device_writer_c::need_loop() {
    if (loop_.name().isEmpty()) {
        QSKIP(qPrintable(reason_));
    }
}

// A request to write `fill` bytes over sector `lba` of the device, with the identity and
// old-sector hash as they are now.
platform::write_request_s test_device_writer_c::request_for(const QString& device,
                                                            std::uint64_t lba, char fill) const {
    platform::write_request_s request;
    request.device = device.toStdString();
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_CLOEXEC);
    std::string error;
    if (fd >= 0) {
        platform::read_identity(fd, &request.identity, &error);
        std::array<std::uint8_t, 512> old{};
        if (::pread(fd, old.data(), old.size(), off_t(lba * 512)) == 512) {
            platform::sector_write_s write;
            write.lba = lba;
            write.replaces = platform::sha256(old.data(), old.size());
            std::fill(write.bytes.begin(), write.bytes.end(), std::uint8_t(fill));
            request.writes.push_back(write);
        }
        ::close(fd);
    }
    return request;
}

void test_device_writer_c::request_round_trip_data() {
    QTest::addColumn<QString>("damage");  // empty: the text decodes to the same request
    QTest::newRow("as encoded") << "";
    QTest::newRow("unknown format") << "magic";
    QTest::newRow("no end line") << "end";
    QTest::newRow("something behind the end") << "tail";
    QTest::newRow("a short sector") << "short";
    QTest::newRow("a number past 64 bits") << "huge";
    QTest::newRow("a bad hash") << "hash";
}

void test_device_writer_c::request_round_trip() {
    QFETCH(QString, damage);
    platform::write_request_s request;
    request.device = "/dev/sdz";
    request.identity.device = 0x800010;
    request.identity.disk_sequence = 77;
    request.identity.sectors = 1000;
    request.identity.first_sector = platform::sha256("x", 1);
    for (std::uint64_t lba : {0ULL, 999ULL}) {
        platform::sector_write_s write;
        write.lba = lba;
        write.replaces = platform::sha256(&lba, sizeof lba);
        std::fill(write.bytes.begin(), write.bytes.end(), std::uint8_t(lba + 3));
        request.writes.push_back(write);
    }
    std::string text = platform::encode_request(request);
    if (damage == "magic") {
        text[0] = 'X';
    } else if (damage == "end") {
        text.resize(text.size() - 4);
    } else if (damage == "tail") {
        text += "write 1 2 3\n";
    } else if (damage == "short") {
        text.erase(text.rfind('\n', text.size() - 6) - 2, 2);
    } else if (damage == "huge") {
        text.replace(text.find(" 1000 "), 6, " 99999999999999999999 ");
    } else if (damage == "hash") {
        text[text.find("write 0 ") + 8] = 'G';
    }
    platform::write_request_s back;
    std::string error;
    const bool ok = platform::decode_request(text, &back, &error);
    QCOMPARE(ok, damage.isEmpty());
    if (ok) {
        QCOMPARE(back.device, request.device);
        QVERIFY(back.identity == request.identity);
        QCOMPARE(back.writes.size(), request.writes.size());
        for (std::size_t i = 0; i < back.writes.size(); ++i) {
            QCOMPARE(back.writes[i].lba, request.writes[i].lba);
            QVERIFY(back.writes[i].replaces == request.writes[i].replaces);
            QVERIFY(back.writes[i].bytes == request.writes[i].bytes);
        }
    } else {
        QVERIFY(QString::fromStdString(error).startsWith("malformed request"));
    }
}

void test_device_writer_c::refuses_data() {
    QTest::addColumn<QString>("case_name");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("status");
    QTest::newRow("a partition") << "partition"
                                 << "is a partition"
                                 << "refused";
    QTest::newRow("a link to the disk") << "link"
                                        << "only /dev/NAME"
                                        << "refused";
    QTest::newRow("an image file") << "file"
                                   << "only /dev/NAME"
                                   << "refused";
    QTest::newRow("another device number") << "device"
                                           << "changed since the search"
                                           << "changed";
    QTest::newRow("another disk sequence") << "sequence"
                                           << "changed since the search"
                                           << "changed";
    QTest::newRow("another size") << "size"
                                  << "changed since the search"
                                  << "changed";
    QTest::newRow("another sector 0") << "first"
                                      << "changed since the search"
                                      << "changed";
    QTest::newRow("another old sector") << "old"
                                        << "not what it was"
                                        << "changed";
    QTest::newRow("beyond the end") << "beyond"
                                    << "beyond the end"
                                    << "refused";
    QTest::newRow("another device in the request") << "other"
                                                   << "names another device"
                                                   << "refused";
    QTest::newRow("a malformed request") << "malformed"
                                         << "malformed request"
                                         << "refused";
}

void test_device_writer_c::refuses() {
    need_loop();
    QFETCH(QString, case_name);
    QFETCH(QString, said);
    QFETCH(QString, status);
    QString device = loop_.name();
    platform::write_request_s request = request_for(device, 0, 'W');
    QVERIFY(!request.writes.empty());
    if (case_name == "partition") {
        device = loop_.name() + "p1";
        if (!QFile::exists(device)) {
            QSKIP("the kernel made no partition nodes for the loop device here");
        }
        request = request_for(device, 0, 'W');
    } else if (case_name == "link" || case_name == "file") {
        device = temp_.filePath(case_name);
        QFile::remove(device);
        QVERIFY(case_name == "link" ? QFile::link(loop_.name(), device)
                                    : QFile::copy(image_, device));
        request.device = device.toStdString();
    } else if (case_name == "device") {
        request.identity.device += 1;
    } else if (case_name == "sequence") {
        request.identity.disk_sequence += 1;
    } else if (case_name == "size") {
        request.identity.sectors -= 1;
    } else if (case_name == "first") {
        request.identity.first_sector[0] ^= 1;
    } else if (case_name == "old") {
        request.writes[0].replaces[5] ^= 1;
    } else if (case_name == "beyond") {
        request.writes[0].lba = request.identity.sectors;
    } else if (case_name == "other") {
        request.device = "/dev/loop999";
    }
    const QByteArray before = file_digest(image_);
    const std::string text =
        case_name == "malformed" ? std::string("orvane-sector-write 1\n") : encode_request(request);
    const writer_run_s run = run_writer({"write", device}, text);
    QCOMPARE(run.code, 1);
    platform::write_result_s result;
    QVERIFY2(platform::decode_result(run.answer.toStdString(), &result), run.answer.constData());
    QCOMPARE(QString::fromStdString(result.message),
             QString::fromUtf8(run.said).trimmed().section(": ", 1));
    QVERIFY2(result.message.find(said.toStdString()) != std::string::npos, result.message.c_str());
    const char* names[] = {"written", "refused", "changed", "busy", "failed"};
    QCOMPARE(QString(names[int(result.status)]), status);
    QCOMPARE(file_digest(image_), before);
}

// A good request writes exactly its sectors, 512 bytes each, and nothing else; the kernel
// reads the table again. Only partition-table sectors are taken: the same request with the
// last sector (no table's) is refused whole.
void test_device_writer_c::writes_exactly_the_sectors() {
    need_loop();
    const QByteArray before = read_file_at(image_, 0, 16 << 20);
    platform::write_request_s request = request_for(loop_.name(), 0, 0);
    QVERIFY(!request.writes.empty());
    // sector 0 keeps its table, with a new boot code area
    std::memcpy(request.writes[0].bytes.data(), before.constData(), 512);
    std::memset(request.writes[0].bytes.data(), 'B', 440);
    platform::write_request_s with_last = request;
    with_last.writes.push_back(
        request_for(loop_.name(), request.identity.sectors - 1, 'L').writes.at(0));
    const writer_run_s refused = run_writer({"write", loop_.name()}, encode_request(with_last));
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.answer.contains("is not a sector of a valid partition table"),
             refused.answer.constData());
    QCOMPARE(read_file_at(image_, 0, 16 << 20), before);
    const writer_run_s run = run_writer({"write", loop_.name()}, encode_request(request));
    QVERIFY2(run.code == 0, run.said.constData());
    platform::write_result_s result;
    QVERIFY(platform::decode_result(run.answer.toStdString(), &result));
    QCOMPARE(int(result.status), int(platform::write_status_e::written));
    QVERIFY(result.table_reread);
    QByteArray expected = before;
    expected.replace(0, 440, QByteArray(440, 'B'));
    QCOMPARE(read_file_at(image_, 0, 16 << 20), expected);

    // Through the device layer's client, the same request again fails on its old hashes.
    QString ignored;
    qputenv("ORVANE_DEVICE_WRITER", QFile::encodeName(QCoreApplication::applicationDirPath() +
                                                      "/../bin/orvane-device-writer"));
    const platform::write_result_s again = platform::write_through_helper(request);
    qunsetenv("ORVANE_DEVICE_WRITER");
    QCOMPARE(int(again.status), int(platform::write_status_e::changed));
    QCOMPARE(read_file_at(image_, 0, 16 << 20), expected);
    // put the disk back as it was for the other cases
    QFile file(image_);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.write(before);
}

// A disk whose file system is mounted (here a whole loop device formatted ext4) cannot be
// opened exclusively: refused, and the answer names the mount.
void test_device_writer_c::mounted_disk_is_busy() {
    need_loop();
    const QString mkfs = system_tool("mkfs.ext4");
    if (mkfs.isEmpty()) {
        QSKIP("mkfs.ext4 (e2fsprogs) is not installed");
    }
    const QString image = temp_.filePath("ext4.img");
    QVERIFY(make_sparse(image, 8 << 20));
    QVERIFY(run_quietly(mkfs, {"-q", "-F", image}));
    loop_device_c loop;
    QString why;
    const QString device = loop.attach(image, &why);
    QVERIFY2(!device.isEmpty(), qPrintable(why));
    const QString point = temp_.filePath("mnt");
    QDir().mkpath(point);
    if (::mount(QFile::encodeName(device).constData(), QFile::encodeName(point).constData(), "ext4",
                MS_RDONLY, nullptr) != 0) {
        QSKIP(qPrintable("the kernel cannot mount ext4 here: " +
                         QString::fromLocal8Bit(std::strerror(errno))));
    }
    auto unmount = qScopeGuard([&] { ::umount(QFile::encodeName(point).constData()); });
    const QByteArray before = file_digest(image);
    const platform::write_request_s request = request_for(device, 0, 'M');
    const writer_run_s run = run_writer({"write", device}, encode_request(request));
    QCOMPARE(run.code, 1);
    platform::write_result_s result;
    QVERIFY(platform::decode_result(run.answer.toStdString(), &result));
    QCOMPARE(int(result.status), int(platform::write_status_e::busy));
    QVERIFY2(result.message.find("is mounted on " + point.toStdString()) != std::string::npos,
             result.message.c_str());
    // the orvane tool's way (in this process) says the same
    const platform::write_result_s direct =
        platform::apply_sector_writes(request, platform::write_target_e::whole_disk);
    QCOMPARE(int(direct.status), int(platform::write_status_e::busy));
    unmount.dismiss();
    QCOMPARE(::umount(QFile::encodeName(point).constData()), 0);
    loop.detach();
    QCOMPARE(file_digest(image), before);
}

// The program's side of a write takes no descriptor, even from a writer that sends one; the
// read helper's descriptors are read-only.
void test_device_writer_c::program_receives_no_writable_descriptor() {
    need_loop();
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(loop_.name()).constData(), &st) == 0);
    const QString fake = temp_.filePath("fake-writer");
    QFile file(fake);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(fake_writer);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("ORVANE_DEVICE_WRITER", QFile::encodeName(fake));
    qputenv("FAKE_PATH", QFile::encodeName(loop_.name()));
    const platform::write_result_s result =
        platform::write_through_helper(request_for(loop_.name(), 0, 'F'));
    qunsetenv("ORVANE_DEVICE_WRITER");
    QCOMPARE(int(result.status), int(platform::write_status_e::written));  // it says so...
    QVERIFY(modes_of_descriptors_to(st.st_rdev).isEmpty());  // ...but passed nothing on

    qputenv("ORVANE_DEVICE_HELPER", QFile::encodeName(QCoreApplication::applicationDirPath() +
                                                      "/../bin/orvane-device-helper"));
    QString error;
    const int fd = platform::open_through_helper(loop_.name(), &error);
    qunsetenv("ORVANE_DEVICE_HELPER");
    QVERIFY2(fd >= 0, qPrintable(error));
    for (int mode : modes_of_descriptors_to(st.st_rdev)) {
        QCOMPARE(mode, O_RDONLY);
    }
    // a second open is served from the descriptor kept for the run, without the helper
    qputenv("ORVANE_DEVICE_HELPER", "/nonexistent/helper");
    const int again = platform::open_through_helper(loop_.name(), &error);
    qunsetenv("ORVANE_DEVICE_HELPER");
    QVERIFY2(again >= 0, qPrintable(error));
    QCOMPARE(::fcntl(again, F_GETFL) & O_ACCMODE, O_RDONLY);
    ::close(again);
    ::close(fd);
}

// The desktop program, running as an ordinary user, keeps its descriptors from another
// process of the same user: pidfd_getfd is refused. A process that is not protected (sleep)
// shows that the same attempt would succeed.
void test_device_writer_c::descriptors_cannot_be_taken() {
    if (::geteuid() != 0) {
        QSKIP("running the programs as another user needs root");
    }
    QTemporaryDir home;
    QVERIFY(::chown(QFile::encodeName(home.path()).constData(), nobody, nobody) == 0);
    auto as_nobody = [](QProcess& process) {
        process.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
                ::setresuid(nobody, nobody, nobody) != 0) {
                ::_exit(99);
            }
        });
    };
    auto try_taking = [&](qint64 pid) {
        QProcess thief;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVANE_TEST_TAKE_FROM", QString::number(pid));
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        thief.setProcessEnvironment(env);
        thief.start(QCoreApplication::applicationFilePath(), {});
        thief.waitForFinished(30000);
        return QString::fromLocal8Bit(thief.readAllStandardOutput()).trimmed();
    };

    QProcess open_target;
    as_nobody(open_target);
    open_target.start("sleep", {"30"});
    QVERIFY(open_target.waitForStarted());
    const QString control = try_taking(open_target.processId());
    open_target.kill();
    open_target.waitForFinished();
    if (!control.startsWith("taken ")) {
        QSKIP(qPrintable("pidfd_getfd cannot be tried here: " + control));
    }
    if (control.startsWith("taken 0")) {
        QSKIP(qPrintable("even an unprotected process keeps its descriptors here: " + control));
    }

    QProcess program;
    as_nobody(program);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_STATE_HOME", home.path() + "/state");
    env.insert("XDG_RUNTIME_DIR", home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ORVANE_BLOCK_DEVICES", "0");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    program.setProcessEnvironment(env);
    program.start(QCoreApplication::applicationDirPath() + "/../bin/orvane-recovery", {});
    QVERIFY(program.waitForStarted());
    QTest::qWait(1500);
    QCOMPARE(program.state(), QProcess::Running);
    const QString taken = try_taking(program.processId());
    program.kill();
    program.waitForFinished();
    QVERIFY2(taken.startsWith("taken 0 error Operation not permitted"), qPrintable(taken));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("ORVANE_TEST_TAKE_FROM")) {
        return take_descriptors(pid_t(qEnvironmentVariableIntValue("ORVANE_TEST_TAKE_FROM")));
    }
    QCoreApplication app(argc, argv);
    test_device_writer_c test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_device_writer.moc"
