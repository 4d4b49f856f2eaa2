// Resumable deep scans: a scan continued from a checkpoint ends with the same files as one
// run through; the checkpoint is bound to its volume and read back as hostile data.
#include "engine/raw/raw_recovery.h"
#include "engine/raw/scan_checkpoint.h"
#include "engine/scan_session.h"
#include "test_support.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

volume_item_s image_volume(const QString& path) {
    use_images({path});
    volume_item_s target;
    target.device_name = target.volume_name = target.path = QFileInfo(path).canonicalFilePath();
    target.total_bytes = static_cast<std::uint64_t>(QFileInfo(path).size());
    return target;
}

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
        QVERIFY(write_checkpoint(path, checkpoint));
        scan_checkpoint_s back;
        QVERIFY(read_checkpoint(path, &back));
        QCOMPARE(back.records.size(), checkpoint.records.size());
        QCOMPARE(back.identity, checkpoint.identity);

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

    // A scan file holds one extent per file: a file put together from two pieces is left
    // out rather than restored later with the gap's bytes in it.
    void scan_file_leaves_out_two_piece_files() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const volume_item_s target = image_volume(fixture_path("card/card.img"));
        scan_session_c session;
        QCOMPARE(session.start(target, true), 0);
        QVERIFY(session.raw_engine().wait(300000));
        session.on_thread_finished();
        const auto& whole = session.raw_engine().records();
        QSet<QPair<std::uint64_t, std::uint64_t>> one_piece;
        int pieces = 0;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            if (session.raw_engine().second_piece(i, &first, &second)) {
                ++pieces;
            } else {
                one_piece.insert({whole[i].offset, whole[i].size});
            }
        }
        QVERIFY(pieces >= 6);
        const std::size_t found = whole.size();
        const QString sav = temp.filePath(QStringLiteral("card.sav"));
        QCOMPARE(session.raw_engine().write_scan_file(sav), 0);
        // Loaded into the engine that found the pieces: none of them may stick to the
        // loaded records, which are numbered anew.
        QCOMPARE(session.raw_engine().read_scan_file(sav), target.volume_name);
        const auto& loaded = session.raw_engine().records();
        QCOMPARE(loaded.size(), found - static_cast<std::size_t>(pieces));
        for (std::size_t i = 0; i < loaded.size(); ++i) {
            QVERIFY(one_piece.contains({loaded[i].offset, loaded[i].size}));
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            QVERIFY(!session.raw_engine().second_piece(i, &first, &second));
        }
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
        QVERIFY2(err.contains("is not the volume"), err.constData());
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
