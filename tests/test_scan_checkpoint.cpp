// Resumable deep scans: a scan continued from a checkpoint ends with the same files as one
// run through; the checkpoint is bound to its volume and read back as hostile data.
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "engine/raw/scan_checkpoint.h"
#include "engine/scan_session.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

QList<QByteArray> summary(const std::vector<signature_record>& records) {
    QList<QByteArray> lines;
    for (const signature_record& r : records) {
        lines << QByteArray::number(r.offset) + ' ' + QByteArray::number(r.size) + ' ' +
                     record_type(r);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

class test_scan_checkpoint : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() {
        QVERIFY(temp.isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(temp.filePath(QStringLiteral("state"))));
    }

    // Continued from any point, the scan finds what one run finds, two-piece files too, and
    // removes its checkpoint at the end.
    void continued_scan_finds_the_same_data() {
        QTest::addColumn<double>("share");
        QTest::newRow("start") << 0.0;
        QTest::newRow("inside the whole files") << 0.002;
        QTest::newRow("among the two-piece files") << 0.4735;
        QTest::newRow("near the end") << 0.9;
    }
    void continued_scan_finds_the_same() {
        QFETCH(double, share);
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const volume_item_s target = image_volume(fixture_path("card/card.img"));
        scan_session_c session;
        QCOMPARE(session.start(target, true), 0);
        QVERIFY(session.raw_engine().wait(300000));
        session.on_thread_finished();
        const auto whole = session.raw_engine().records();
        QVERIFY(whole.size() >= 20);
        QVERIFY(!QFile::exists(checkpoint_path(target.volume_name)));

        // A checkpoint as a scan interrupted at that share leaves it.
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = target.volume_name;
        checkpoint.identity = volume_identity(target.volume_name);
        QVERIFY(!checkpoint.identity.isEmpty());
        checkpoint.resume_at =
            static_cast<std::uint64_t>(share * static_cast<double>(target.total_bytes)) / 512 * 512;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            if (whole[i].offset >= checkpoint.resume_at) {
                continue;
            }
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            if (session.raw_engine().second_piece(i, &first, &second)) {
                checkpoint.pieces.push_back({checkpoint.records.size(), first, second});
            }
            checkpoint.records.push_back(whole[i]);
            checkpoint.resume_at =
                std::max(checkpoint.resume_at,
                         (whole[i].offset + (first ? first : whole[i].size) + 511) / 512 * 512);
        }
        const QString path = checkpoint_path(target.volume_name);
        checkpoint.join_work = 12345;  // kept, so a continue spends as the first scan would
        QVERIFY(write_checkpoint(path, checkpoint));
        scan_checkpoint_s back;
        QVERIFY(read_checkpoint(path, &back));
        QCOMPARE(back.records.size(), checkpoint.records.size());
        QCOMPARE(back.identity, checkpoint.identity);
        QCOMPARE(back.join_work, checkpoint.join_work);
        QCOMPARE(back.heads.size(), back.records.size());

        scan_session_c again;
        QCOMPARE(again.continue_deep_scan(target, back), 0);
        QVERIFY(again.raw_engine().wait(300000));
        again.on_thread_finished();
        QCOMPARE(summary(again.raw_engine().records()), summary(whole));
        QVERIFY(!QFile::exists(path));
        // The two-piece files kept their pieces (restored whole, checked in test_deep_card).
        int pieces = 0;
        for (std::size_t i = 0; i < again.raw_engine().records().size(); ++i) {
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            pieces += again.raw_engine().second_piece(i, &first, &second) ? 1 : 0;
        }
        QVERIFY(pieces >= 6);
    }

    // A scan file keeps the files put together from two pieces: loaded again, each still has
    // its second piece where the scan found it (the older layout left them out).
    void scan_file_keeps_two_piece_files() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const volume_item_s target = image_volume(fixture_path("card/card.img"));
        scan_session_c session;
        QCOMPARE(session.start(target, true), 0);
        QVERIFY(session.raw_engine().wait(300000));
        session.on_thread_finished();
        const auto whole = session.raw_engine().records();
        QHash<std::uint64_t, QPair<std::uint64_t, std::uint64_t>> pieces;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            if (session.raw_engine().second_piece(i, &first, &second)) {
                pieces.insert(i, {first, second});
            }
        }
        QVERIFY(pieces.size() >= 6);
        const QString sav = temp.filePath(QStringLiteral("card.sav"));
        QCOMPARE(session.raw_engine().write_scan_file(sav), 0);
        QCOMPARE(session.raw_engine().read_scan_file(sav), target.volume_name);
        const auto& loaded = session.raw_engine().records();
        QCOMPARE(summary(loaded), summary(whole));
        for (std::size_t i = 0; i < loaded.size(); ++i) {
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            const bool two = session.raw_engine().second_piece(i, &first, &second);
            QCOMPARE(two, pieces.contains(i));
            if (two) {
                QCOMPARE(first, pieces.value(i).first);
                QCOMPARE(second, pieces.value(i).second);
            }
        }
    }

    // Stopped by SIGTERM at several points and continued, the tool lists exactly the files of
    // one uninterrupted scan (the file being measured at the stop is measured again).
    void tool_continues_after_sigterm_data() {
        QTest::addColumn<int>("percent");  // of the uninterrupted scan's time
        QTest::newRow("early") << 10;
        QTest::newRow("a third") << 33;
        QTest::newRow("half") << 50;
        QTest::newRow("late") << 80;
    }
    void tool_continues_after_sigterm() {
        QFETCH(int, percent);
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const QString image = fixture_path("card/card.img");
        const QString orvane = qEnvironmentVariable("ORVANE_BIN") + QStringLiteral("/orvane");
        const auto files = [](const QByteArray& json) {
            QStringList lines;
            for (const QByteArray& line : json.split('\n')) {
                const QJsonObject o = QJsonDocument::fromJson(line).object();
                if (!o.isEmpty()) {
                    lines << QStringLiteral("%1 %2 %3 %4 %5")
                                 .arg(o[QStringLiteral("offset")].toInteger())
                                 .arg(o[QStringLiteral("size")].toInteger())
                                 .arg(o[QStringLiteral("type")].toString())
                                 .arg(o[QStringLiteral("pieces")].toInt())
                                 .arg(o[QStringLiteral("verified")].toString());
                }
            }
            lines.sort();
            return lines;
        };
        QElapsedTimer clock;
        clock.start();
        QProcess whole;
        whole.start(orvane, {QStringLiteral("scan"), QStringLiteral("--deep"),
                             QStringLiteral("--json"), image});
        QVERIFY(whole.waitForFinished(300000));
        const qint64 took = clock.elapsed();
        const QStringList expected = files(whole.readAllStandardOutput());
        QVERIFY(expected.size() >= 20);

        QProcess stopped;
        // A signal that comes while the process is still starting (before the tool is
        // running: slow under the sanitizers) ends it by default; then stop it later.
        for (qint64 wait = took * percent / 100;; wait = wait * 2 + 100) {
            stopped.start(orvane, {QStringLiteral("scan"), QStringLiteral("--deep"),
                                   QStringLiteral("--json"), image});
            QVERIFY(stopped.waitForStarted());
            QTest::qWait(static_cast<int>(wait));
            if (stopped.state() != QProcess::Running) {
                QSKIP("the scan ended before it could be stopped");
            }
            ::kill(static_cast<pid_t>(stopped.processId()), SIGTERM);
            QVERIFY(stopped.waitForFinished(300000));
            if (stopped.exitStatus() == QProcess::NormalExit) {
                break;
            }
            QVERIFY2(wait < took, "the tool never took the stop signal");
        }
        if (!QFile::exists(checkpoint_path(QFileInfo(image).canonicalFilePath()))) {
            // The signal came as the scan reached the end: it lists everything.
            QCOMPARE(files(stopped.readAllStandardOutput()), expected);
            return;
        }
        QProcess continued;
        continued.start(orvane, {QStringLiteral("scan"), QStringLiteral("--deep"),
                                 QStringLiteral("--continue"), QStringLiteral("--json"), image});
        QVERIFY(continued.waitForFinished(300000));
        const QByteArray said = continued.readAllStandardError();
        QVERIFY2(said.contains("continuing at"), said.constData());
        QCOMPARE(files(continued.readAllStandardOutput()), expected);
    }

    // A volume written in its middle between the stop and the continue (a found file's first
    // bytes changed) is not continued: the files found before the stop would be restored
    // with other bytes.
    void tool_refuses_a_volume_changed_in_the_middle() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const QString image = temp.filePath(QStringLiteral("middle.img"));
        QFile::remove(image);
        QVERIFY(QFile::copy(fixture_path("card/card.img"), image));
        const volume_item_s target = image_volume(image);
        scan_session_c session;
        QCOMPARE(session.start(target, true), 0);
        QVERIFY(session.raw_engine().wait(300000));
        session.on_thread_finished();
        const auto records = session.raw_engine().records();
        QVERIFY(records.size() >= 20);
        // The checkpoint of a scan stopped after its first half of the files.
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = target.volume_name;
        checkpoint.identity = volume_identity(target.volume_name);
        const std::size_t kept = records.size() / 2;
        checkpoint.records.assign(records.begin(), records.begin() + static_cast<long>(kept));
        checkpoint.resume_at =
            (records[kept - 1].offset + records[kept - 1].size + 511) / 512 * 512;
        for (std::size_t i = 0; i < kept; ++i) {
            checkpoint.levels.push_back(
                static_cast<std::uint8_t>(session.raw_engine().verified(i)));
            QFile f(image);
            QVERIFY(f.open(QIODevice::ReadOnly));
            f.seek(static_cast<qint64>(records[i].offset));
            const QByteArray head =
                f.read(static_cast<qint64>(std::min<std::uint64_t>(head_bytes, records[i].size)));
            checkpoint.heads.push_back(
                head_digest(reinterpret_cast<const std::uint8_t*>(head.constData()), head.size()));
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            QVERIFY(!session.raw_engine().second_piece(i, &first, &second) || first >= head_bytes);
        }
        QVERIFY(write_checkpoint(checkpoint_path(target.volume_name), checkpoint));
        QVERIFY(checkpoint_files_unchanged(checkpoint));
        // A file in the middle of the volume is written over; the first and last 64 KiB stay.
        const signature_record& victim = records[kept / 2];
        QVERIFY(victim.offset > 65536);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::ReadWrite));
            f.seek(static_cast<qint64>(victim.offset) + 100);
            QCOMPARE(f.write("changed"), 7);
        }
        QCOMPARE(volume_identity(target.volume_name), checkpoint.identity);
        QVERIFY(!checkpoint_files_unchanged(checkpoint));
        QByteArray out;
        QByteArray err;
        QVERIFY(run_orvane({"scan", "--deep", "--continue", "--json", image}, &out, &err) != 0);
        QVERIFY2(err.contains("the volume changed since the scan stopped"), err.constData());
        QVERIFY(out.isEmpty());
    }

    // The tool continues only the scan of the same volume.
    void tool_checks_the_volume() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const QString image = temp.filePath(QStringLiteral("copy.img"));
        QFile::remove(image);
        QVERIFY(QFile::copy(fixture_path("card/card.img"), image));
        const QString device = QFileInfo(image).canonicalFilePath();
        use_images({image});  // for volume_identity here
        auto run = [&](QByteArray* err) {
            QProcess p;
            p.start(qEnvironmentVariable("ORVANE_BIN") + QStringLiteral("/orvane"),
                    {QStringLiteral("scan"), QStringLiteral("--deep"), QStringLiteral("--continue"),
                     QStringLiteral("--json"), image});
            p.waitForFinished(300000);
            *err = p.readAllStandardError();
            return p.exitCode();
        };
        QByteArray err;
        QVERIFY(run(&err) != 0);
        QVERIFY2(err.contains("no interrupted deep scan"), err.constData());
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = device;
        checkpoint.identity = volume_identity(device);
        QVERIFY(!checkpoint.identity.isEmpty());
        checkpoint.resume_at = 1 << 20;
        QVERIFY(write_checkpoint(checkpoint_path(device), checkpoint));
        // The volume changes: its first sector is written over.
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.write(QByteArray(512, 'x')) == 512);
        }
        QVERIFY(run(&err) != 0);
        QVERIFY2(err.contains("the volume changed since the scan stopped"), err.constData());
        checkpoint.identity = volume_identity(device);
        QVERIFY(write_checkpoint(checkpoint_path(device), checkpoint));
        QVERIFY2(run(&err) == 0, err.constData());
        QVERIFY2(err.contains("continuing at"), err.constData());
        QVERIFY(!QFile::exists(checkpoint_path(device)));
    }

    // Damaged checkpoints are refused whole.
    void damaged_checkpoints_data() {
        QTest::addColumn<int>("cut");   // bytes cut from the end (-1: none)
        QTest::addColumn<int>("poke");  // byte offset overwritten with 0xFF (-1: none)
        QTest::newRow("cut by one") << 1 << -1;
        QTest::newRow("cut to the header") << 1000 << -1;
        QTest::newRow("bad magic") << -1 << 0;
        QTest::newRow("record count") << -1 << 16;
        QTest::newRow("piece count") << -1 << 24;
        QTest::newRow("path length") << -1 << 32;
    }
    void damaged_checkpoints() {
        QFETCH(int, cut);
        QFETCH(int, poke);
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = QStringLiteral("/dev/nothing");
        checkpoint.identity = QByteArray(40, 'i');
        checkpoint.records.resize(3);
        checkpoint.pieces.push_back({1, 4096, 1 << 20});
        const QString path = temp.filePath(QStringLiteral("damaged.scan"));
        QVERIFY(write_checkpoint(path, checkpoint));
        scan_checkpoint_s back;
        QVERIFY(read_checkpoint(path, &back));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray data = file.readAll();
        file.close();
        if (cut > 0) {
            data.chop(std::min<qsizetype>(cut, data.size() - 8));
        }
        if (poke >= 0) {
            data[poke + 7] = '\xFF';
        }
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(data);
        file.close();
        back = {};
        QVERIFY(!read_checkpoint(path, &back));
        QVERIFY(back.records.empty());
    }
};

QTEST_GUILESS_MAIN(test_scan_checkpoint)
#include "test_scan_checkpoint.moc"
