// The found files' metadata is read in a child process: a reader that crashes or hangs ends
// only the child and leaves that one file unnamed, the child holds no descriptor of the
// parent's, and started as root it parses as another user.
#include "bytes_view.h"
#include "deep_scan_support.h"
#include "engine/raw/meta_child.h"
#include "test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The title of a PNG whose tEXt chunk lies behind a large private chunk, beyond the bytes
// that go with the request: the child has to ask for them.
QByteArray far_titled_png(const QString& title, int padding) {
    const QByteArray plain = titled_png(title.toLatin1());
    const QByteArray head = plain.left(8 + 25);  // signature and IHDR
    QByteArray pad;
    const auto length = static_cast<std::uint32_t>(padding);
    for (int shift = 24; shift >= 0; shift -= 8) {
        pad.append(static_cast<char>(length >> shift));
    }
    pad += "prVt" + QByteArray(padding, 'x') + QByteArray(4, '\0');  // the CRC is not checked
    return head + pad + plain.mid(head.size());
}

// A window over the whole of the bytes.
struct file_window_s {
    explicit file_window_s(const QByteArray& bytes)
        : view(bytes), window(view, 0, static_cast<std::uint64_t>(bytes.size())) {}
    bytes_view_c view;
    sig::window_c window;
};

// A field of /proc/PID/status ("Uid", "NoNewPrivs", ...), split at white space.
QStringList status_field(pid_t pid, const QString& name) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return {};
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name.toLatin1() + ':')) {
            return QString::fromLatin1(line.mid(name.size() + 1))
                .split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
        }
    }
    return {};
}

}  // namespace

class test_meta_child : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() { QVERIFY(temp.isValid()); }
    void cleanup() {
        qunsetenv("ORVANE_TEST_META_CRASH");
        qunsetenv("ORVANE_TEST_META_HANG");
    }

    // A reader that crashes on one found file: the scan goes on, that file is listed without
    // a name, and the files after it are named by a new child, in the scan and when a scan
    // file's records are read again; the orvane tool lists all three and succeeds.
    void crash_ends_only_the_child() {
        const QStringList titles{"Alpha", "Crash here", "Omega"};
        QByteArray bytes(4096 * 8, '\0');
        for (int i = 0; i < titles.size(); ++i) {
            const QByteArray png = titled_png(titles[i].toLatin1());
            bytes.replace(4096 * i, png.size(), png);
        }
        const QString image = temp.filePath("crash.img");
        QVERIFY(write_bytes(image, 0, bytes));
        qputenv("ORVANE_TEST_META_CRASH", "Crash");

        raw_recovery_c engine;
        const volume_item_s target = image_volume(image);
        scan(&engine, target);
        QCOMPARE(engine.records().size(), std::size_t(3));
        for (int pass = 0; pass < 2; ++pass) {  // the scan's reading, then read_metadata's
            QVERIFY(engine.meta(0));
            QCOMPARE(engine.meta(0)->title, QStringLiteral("Alpha"));
            QVERIFY(!engine.meta(1));
            QVERIFY(engine.meta(2));
            QCOMPARE(engine.meta(2)->title, QStringLiteral("Omega"));
            engine.read_metadata();
        }

        QByteArray out;
        QByteArray err;
        QCOMPARE(run_orvane({"scan", "--deep", "--image", image, image}, &out, &err), 0);
        QVERIFY2(out.contains("/png/Alpha.png"), out.constData());
        QVERIFY2(out.contains("/png/00000001.png"), out.constData());
        QVERIFY2(out.contains("/png/Omega.png"), out.constData());
    }

    // A reader that hangs is killed after the timeout; the next file gets a new child. Bytes
    // beyond those sent with the request are asked for and served from the window.
    void hang_is_timed_out() {
        qputenv("ORVANE_TEST_META_HANG", "Hang");
        meta_child_c reader;
        reader.set_timeout(std::chrono::milliseconds(500));
        file_window_s hanging(titled_png("Hang on"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(reader.read("png", hanging.window).empty());
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(reader.failures(), 1);
        QCOMPARE(reader.child_pid(), -1);

        file_window_s far(far_titled_png("Far title", 200 * 1024));
        QCOMPARE(reader.read("png", far.window).title, QStringLiteral("Far title"));
        QCOMPARE(reader.starts(), 2);
        QCOMPARE(read_file_meta("png", far.window).title, QStringLiteral("Far title"));
        file_window_s near(titled_png("Near"));
        QCOMPARE(reader.read("png", near.window).title, QStringLiteral("Near"));
        QCOMPARE(reader.starts(), 2);  // the same child for every file
        QCOMPARE(reader.failures(), 1);
    }

    // The child inherits no descriptor: standard input and output are its socket, standard
    // error is /dev/null, and a descriptor the parent left open (a disk's) is not there.
    void child_holds_no_descriptor() {
        const QString image = temp.filePath("open.img");
        QVERIFY(write_bytes(image, 0, QByteArray(4096, 'a')));
        const int disk = ::open(QFile::encodeName(image).constData(), O_RDONLY);  // inheritable
        QVERIFY(disk >= 0);
        meta_child_c reader;
        file_window_s file(titled_png("Fds"));
        QCOMPARE(reader.read("png", file.window).title, QStringLiteral("Fds"));
        ::close(disk);
        const pid_t pid = reader.child_pid();
        QVERIFY(pid > 0);
        const QStringList fds = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                    .entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        QCOMPARE(fds, (QStringList{"0", "1", "2"}));
        QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/2").arg(pid)),
                 QStringLiteral("/dev/null"));
        QCOMPARE(status_field(pid, "NoNewPrivs"), QStringList{"1"});
    }

    // Started by root, the child parses as another user, with no groups and no way back.
    void child_gives_up_root() {
        if (::geteuid() != 0) {
            QSKIP("run as root to see the child give up root");
        }
        meta_child_c reader;
        file_window_s file(titled_png("Rootless"));
        QCOMPARE(reader.read("png", file.window).title, QStringLiteral("Rootless"));
        QVERIFY(reader.child_uid() > 0);
        const pid_t pid = reader.child_pid();
        const QStringList uids = status_field(pid, "Uid");  // real, effective, saved, file system
        QCOMPARE(uids.size(), 4);
        for (const QString& uid : uids) {
            QVERIFY2(uid != "0", qPrintable(uids.join(' ')));
        }
        const QStringList gids = status_field(pid, "Gid");
        QCOMPARE(gids.size(), 4);
        for (const QString& gid : gids) {
            QVERIFY2(gid != "0", qPrintable(gids.join(' ')));
        }
        QVERIFY(status_field(pid, "Groups").isEmpty());
        QCOMPARE(status_field(pid, "CapEff"), QStringList{"0000000000000000"});
    }
};

QTEST_GUILESS_MAIN(test_meta_child)
#include "test_meta_child.moc"
