// orvane image: the careful copy of a failing disk. The map in GNU ddrescue's format, and
// copies from a FUSE file system of the tests' own that fails reads of chosen sectors.
#include "test_support.h"

#include "device/imaging/image_rescue.h"
#include "device/imaging/rescue_map.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

namespace {

constexpr int disk_sectors = 16384;  // 8 MiB

// The image the failing file system serves: seeded random bytes, so that a zero sector in
// the copy can only come from a bad one.
QByteArray make_disk() {
    QByteArray disk(disk_sectors * 512, '\0');
    QRandomGenerator random(23);
    random.fillRange(reinterpret_cast<quint32*>(disk.data()), disk.size() / 4);
    return disk;
}

bool run_tool(const QString& program, const QStringList& arguments, QByteArray* out = nullptr) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    if (out) {
        *out = process.readAllStandardOutput();
    }
    return process.exitCode() == 0;
}

// The test file system mounted in a folder of its own: disk.img fails reads of the listed
// sectors with EIO and logs every read.
class faulty_mount_c {
  public:
    faulty_mount_c(const QByteArray& disk, const QList<int>& bad, int delay_ms) {
#ifdef FAULTY_FS
        const QString root = dir_.path();
        QFile image(root + "/source.img");
        if (!image.open(QIODevice::WriteOnly) || image.write(disk) != disk.size()) {
            reason_ = "cannot write the source image";
            return;
        }
        image.close();
        QFile list(root + "/bad.txt");
        if (!list.open(QIODevice::WriteOnly)) {
            return;
        }
        for (int sector : bad) {
            list.write(QByteArray::number(sector) + '\n');
        }
        list.close();
        QDir(root).mkdir("mnt");
        if (!QFile::exists("/dev/fuse") ||
            QStandardPaths::findExecutable("fusermount3").isEmpty()) {
            reason_ = "FUSE is not available here";
            return;
        }
        if (!run_tool(FAULTY_FS, {root + "/source.img", root + "/bad.txt", log_path(),
                                  QString::number(delay_ms), root + "/mnt", "-o", "ro"})) {
            reason_ = "the test file system does not mount";
            return;
        }
        mounted_ = QFile::exists(path());
        if (!mounted_) {
            reason_ = "the test file system shows no disk";
        }
#else
        (void)disk, (void)bad, (void)delay_ms;
        reason_ = "built without libfuse3";
#endif
    }
    ~faulty_mount_c() {
        if (!loop_.isEmpty()) {
            run_tool("losetup", {"-d", loop_});
        }
        if (mounted_) {
            run_tool("fusermount3", {"-u", dir_.path() + "/mnt"});
        }
    }
    bool ready() const {
        return mounted_;
    }
    QString reason() const {
        return reason_;
    }
    QString path() const {
        return dir_.path() + "/mnt/disk.img";
    }
    QString log_path() const {
        return dir_.path() + "/reads.log";
    }
    // A read-only loop device over the served file; empty where there is none.
    QString loop_device() {
        QByteArray out;
        if (loop_.isEmpty() && run_tool("losetup", {"-r", "-f", "--show", path()}, &out)) {
            loop_ = QString::fromUtf8(out.trimmed());
        }
        return loop_;
    }
    // The reads logged so far: offset, size.
    QList<QPair<qint64, qint64>> reads() const {
        QList<QPair<qint64, qint64>> list;
        QFile log(log_path());
        if (log.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : log.readAll().split('\n')) {
                const QList<QByteArray> f = line.split(' ');
                if (f.size() == 3) {
                    list.append({f[0].toLongLong(), f[1].toLongLong()});
                }
            }
        }
        return list;
    }

  private:
    QTemporaryDir dir_;
    QString loop_;
    QString reason_;
    bool mounted_ = false;
};

// The source with the bad sectors zeroed: what a copy must give.
QByteArray expected_copy(QByteArray disk, const QList<int>& bad) {
    for (int sector : bad) {
        std::fill(disk.begin() + sector * 512, disk.begin() + (sector + 1) * 512, '\0');
    }
    return disk;
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The map's blocks of one status, as 512-byte sector numbers.
QList<int> sectors_with(const QString& map_path, char status) {
    rescue_map_c map;
    QString error;
    QList<int> sectors;
    if (!map.parse(read_file(map_path), disk_sectors * 512ULL, &error)) {
        return {-1};
    }
    for (const rescue_block_s& b : map.blocks()) {
        for (std::uint64_t s = b.pos / 512; b.status == status && s < (b.pos + b.size) / 512; ++s) {
            sectors << static_cast<int>(s);
        }
    }
    return sectors;
}

const QList<int> bad_sectors{100, 2000, 2001, 2002, 2003, 5000, disk_sectors - 1};

}  // namespace

class test_image : public QObject {
    Q_OBJECT

  private slots:
    // Marking areas splits and merges blocks; the blocks always cover the source in order.
    void map_marks_areas_data() {
        QTest::addColumn<QList<QByteArray>>("steps");  // "pos size status"
        QTest::addColumn<QByteArray>("expected");      // "pos size status; ..."
        QTest::newRow("whole") << QList<QByteArray>{"0 1000 +"} << QByteArray("0 1000 +");
        QTest::newRow("middle") << QList<QByteArray>{"100 50 -"}
                                << QByteArray("0 100 ?; 100 50 -; 150 850 ?");
        QTest::newRow("start and end")
            << QList<QByteArray>{"0 10 +", "990 10 +"} << QByteArray("0 10 +; 10 980 ?; 990 10 +");
        QTest::newRow("neighbours merge")
            << QList<QByteArray>{"0 10 +", "10 10 +", "20 980 +"} << QByteArray("0 1000 +");
        QTest::newRow("across blocks")
            << QList<QByteArray>{"100 100 *", "300 100 -", "150 200 +"}
            << QByteArray("0 100 ?; 100 50 *; 150 200 +; 350 50 -; 400 600 ?");
        QTest::newRow("inside one of many") << QList<QByteArray>{"0 500 +", "500 500 *", "600 1 -"}
                                            << QByteArray("0 500 +; 500 100 *; 600 1 -; 601 399 *");
        QTest::newRow("past the end is cut")
            << QList<QByteArray>{"900 500 +"} << QByteArray("0 900 ?; 900 100 +");
        QTest::newRow("back to the same")
            << QList<QByteArray>{"100 50 -", "100 50 ?"} << QByteArray("0 1000 ?");
    }
    void map_marks_areas() {
        QFETCH(QList<QByteArray>, steps);
        QFETCH(QByteArray, expected);
        rescue_map_c map;
        map.reset(1000);
        for (const QByteArray& step : steps) {
            const QList<QByteArray> f = step.split(' ');
            map.set(f[0].toULongLong(), f[1].toULongLong(), f[2][0]);
        }
        QByteArrayList got;
        for (const rescue_block_s& b : map.blocks()) {
            got << QByteArray::number(b.pos) + ' ' + QByteArray::number(b.size) + ' ' + b.status;
        }
        QCOMPARE(got.join("; "), expected);
    }

    // A map written is read back the same; maps that do not fit the source are refused with
    // the reason.
    void map_reads_back_and_refuses_others_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");  // empty: accepted
        QTest::newRow("ddrescue's own") << QByteArray(
                                               "# Mapfile. Created by GNU ddrescue version 1.27\n# "
                                               "current_pos  current_status  "
                                               "current_pass\n0x00000200     ?               1\n#  "
                                               "    pos        size  status\n"
                                               "0x00000000  0x00000200  +\n0x00000200  0x00000200  "
                                               "-\n0x00000400  0x00001C00  ?\n")
                                        << QString();
        QTest::newRow("old, no pass") << QByteArray("0x0 +\n0x0 0x2000 +\n") << QString();
        QTest::newRow("no status line") << QByteArray("# nothing\n") << "no status line";
        QTest::newRow("gap") << QByteArray("0 ?\n0x0 0x200 +\n0x400 0x1C00 ?\n") << "follow";
        QTest::newRow("too long") << QByteArray("0 ?\n0x0 0x2000 +\n0x2000 0x200 +\n") << "follow";
        QTest::newRow("too short") << QByteArray("0 ?\n0x0 0x200 +\n") << "covers 512";
        QTest::newRow("bad status") << QByteArray("0 ?\n0x0 0x2000 x\n") << "status";
        QTest::newRow("bad number") << QByteArray("0 ?\n0xZZ 0x2000 +\n") << "status";
        QTest::newRow("overflow") << QByteArray("0 ?\n0x0 0x200 +\n0x200 0xFFFFFFFFFFFFFF00 +\n")
                                  << "follow";
        QTest::newRow("zero size") << QByteArray("0 ?\n0x0 0x0 +\n0x0 0x2000 +\n") << "follow";
    }
    void map_reads_back_and_refuses_others() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        rescue_map_c map;
        QString why;
        const bool ok = map.parse(text, 0x2000, &why);
        QCOMPARE(ok, error.isEmpty());
        if (!ok) {
            QVERIFY2(why.contains(error), qPrintable(why));
            return;
        }
        rescue_map_c again;
        QVERIFY(again.parse(map.text("orvane image a b", '?', 2), 0x2000, &why));
        QCOMPARE(again.blocks().size(), map.blocks().size());
        for (std::size_t i = 0; i < map.blocks().size(); ++i) {
            QCOMPARE(again.blocks()[i].pos, map.blocks()[i].pos);
            QCOMPARE(again.blocks()[i].size, map.blocks()[i].size);
            QCOMPARE(again.blocks()[i].status, map.blocks()[i].status);
        }
        QCOMPARE(again.current_pass, 2);
    }

    // A failing source, read directly and through a loop device: the copy equals the source
    // on every good sector and is zero on the bad ones, the map's bad areas are exactly the
    // failing sectors, and ddrescuelog reads the map and finds the same sectors.
    void copies_a_failing_disk_data() {
        QTest::addColumn<bool>("through_loop");
        QTest::newRow("served file") << false;
        QTest::newRow("loop device") << true;
    }
    void copies_a_failing_disk() {
        QFETCH(bool, through_loop);
        const QByteArray disk = make_disk();
        faulty_mount_c mount(disk, bad_sectors, 0);
        if (!mount.ready()) {
            QSKIP(qPrintable(mount.reason()));
        }
        const QString source = through_loop ? mount.loop_device() : mount.path();
        if (source.isEmpty()) {
            QSKIP("no loop device can be attached here");
        }
        QTemporaryDir out;
        QByteArray stdout_text, err;
        QCOMPARE(run_orvane(
                     {"image", "--map", out.filePath("copy.map"), source, out.filePath("copy.img")},
                     &stdout_text, &err),
                 3);
        QVERIFY2(stdout_text.startsWith("incomplete: rescued 8385024 of 8388608 bytes; 3584 bad "
                                        "bytes in 4 areas"),
                 stdout_text.constData());
        QVERIFY(read_file(out.filePath("copy.img")) == expected_copy(disk, bad_sectors));
        QCOMPARE(sectors_with(out.filePath("copy.map"), '-'), bad_sectors);
        QCOMPARE(sectors_with(out.filePath("copy.map"), '+').size(),
                 disk_sectors - bad_sectors.size());
        if (QStandardPaths::findExecutable("ddrescuelog").isEmpty()) {
            return;
        }
        QByteArray listed;
        QVERIFY(run_tool("ddrescuelog", {"-b", "512", "-l-", out.filePath("copy.map")}, &listed));
        QList<int> from_tool;
        for (const QByteArray& line : listed.split('\n')) {
            if (!line.trimmed().isEmpty()) {
                from_tool << line.trimmed().toInt();
            }
        }
        QCOMPARE(from_tool, bad_sectors);
    }

    // Stopped with SIGINT and started again with the same map, the copy reads nothing it
    // had rescued before (but the first and last MiB, which name the source), and ends with
    // the same image as a copy never stopped.
    void continues_from_the_map() {
        const QByteArray disk = make_disk();
        faulty_mount_c mount(disk, bad_sectors, 15);
        if (!mount.ready()) {
            QSKIP(qPrintable(mount.reason()));
        }
        QTemporaryDir out;
        const QString map = out.filePath("copy.map");
        const QStringList arguments{"image", "--map", map, mount.path(), out.filePath("copy.img")};
        QProcess first;
        first.start(qEnvironmentVariable("ORVANE_BIN") + "/orvane", arguments);
        QVERIFY(first.waitForStarted());
        QElapsedTimer waited;
        waited.start();
        while (mount.reads().size() < 20 && waited.elapsed() < 30000) {
            QThread::msleep(20);
        }
        ::kill(static_cast<pid_t>(first.processId()), SIGINT);
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 4);
        QVERIFY(first.readAllStandardOutput().startsWith("stopped: "));
        const QList<int> rescued = sectors_with(map, '+');
        QVERIFY(!rescued.isEmpty());
        QVERIFY(!rescued.contains(-1));
        QVERIFY(rescued.size() < disk_sectors - bad_sectors.size());
        const qsizetype reads_before = mount.reads().size();

        QByteArray stdout_text, err;
        QCOMPARE(run_orvane(arguments, &stdout_text, &err), 3);
        QVERIFY2(stdout_text.startsWith("continuing from "), stdout_text.constData());
        const QSet<int> done(rescued.begin(), rescued.end());
        const auto reads = mount.reads();
        // The first and last MiB are read once first, to tell that the map is of this source.
        const qint64 mib = 1 << 20;
        const qint64 disk_bytes = qint64(disk_sectors) * 512;
        qsizetype first_copy_read = reads_before;
        while (first_copy_read < reads.size() &&
               (reads[first_copy_read].first + reads[first_copy_read].second <= mib ||
                reads[first_copy_read].first >= disk_bytes - mib)) {
            ++first_copy_read;
        }
        QVERIFY(first_copy_read > reads_before);
        for (qsizetype i = first_copy_read; i < reads.size(); ++i) {
            for (qint64 s = reads[i].first / 512; s < (reads[i].first + reads[i].second) / 512;
                 ++s) {
                QVERIFY2(!done.contains(static_cast<int>(s)),
                         qPrintable(QString("sector %1 read again").arg(s)));
            }
        }
        QVERIFY(reads.size() > reads_before);
        QVERIFY(read_file(out.filePath("copy.img")) == expected_copy(disk, bad_sectors));
        QCOMPARE(sectors_with(map, '-'), bad_sectors);
    }

    // What the copy refuses: writing onto the source, replacing a file without its map, and
    // a map of another source. Nothing is written then.
    void refuses_unsafe_copies_data() {
        QTest::addColumn<QString>("case_name");
        QTest::addColumn<QString>("words");
        QTest::newRow("onto the source") << "onto the source"
                                         << "on the drive it copies";
        QTest::newRow("existing output") << "existing output"
                                         << "give the map";
        QTest::newRow("map of another size") << "map of another size"
                                             << "not a map of this";
        QTest::newRow("output is a folder") << "output is a folder"
                                            << "must be a file";
        QTest::newRow("no output") << "no output"
                                   << "SOURCE and an OUTPUT";
        QTest::newRow("map without image") << "map without image"
                                           << "goes with 'image'";
    }
    void refuses_unsafe_copies() {
        QFETCH(QString, case_name);
        QFETCH(QString, words);
        QTemporaryDir dir;
        const QString source = dir.filePath("source.img");
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(make_disk().left(65536));
        file.close();
        const QString output = dir.filePath("copy.img");
        const QString map = dir.filePath("copy.map");
        QStringList arguments{"image", "--map", map, source, output};
        if (case_name == "onto the source") {
            arguments = QStringList{"image", source, source};
        } else if (case_name == "existing output") {
            QFile existing(output);
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("keep me");
        } else if (case_name == "map of another size") {
            QFile other(map);
            QVERIFY(other.open(QIODevice::WriteOnly));
            other.write("0 ?\n0x0 0x200 +\n");
        } else if (case_name == "output is a folder") {
            arguments = QStringList{"image", source, dir.path()};
        } else if (case_name == "no output") {
            arguments = QStringList{"image", source};
        } else if (case_name == "map without image") {
            arguments = QStringList{"drives", "--map", map};
        }
        const QByteArray source_before = read_file(source);
        QByteArray out, err;
        QCOMPARE(run_orvane(arguments, &out, &err), 2);
        QVERIFY2(err.contains(words.toUtf8()), err.constData());
        QCOMPARE(read_file(source), source_before);
        if (case_name == "existing output") {
            QCOMPARE(read_file(output), QByteArray("keep me"));
        }
    }
};

QTEST_GUILESS_MAIN(test_image)
#include "test_image.moc"
