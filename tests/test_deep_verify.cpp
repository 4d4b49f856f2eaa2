// What the deep scan vouches for (tests/fixtures/make_deep_verify.sh, the camera card of
// make_deep_card.sh): every file it hands out is exact or marked not verified; a join is
// made only when the whole check holds across it (a PDF whose second piece is another
// PDF's is never joined, a SQLite database never); edited PDFs and multi-stream xz files
// are measured to their ends; the joins do not depend on the machine's load; and a scan
// file keeps the joined files and the verification of every file.
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "result/file_list.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The data padded with noise to whole 4 KiB clusters (a file's last cluster holds other
// bytes after its end).
QByteArray clusters(const QByteArray& data, quint32 seed) {
    return data + noise((4096 - data.size() % 4096) % 4096, seed);
}

void scan_whole(raw_recovery_c* engine, const volume_item_s& target) {
    scan(engine, target);
    QCOMPARE(engine->get_progress(), 1.0);
}

// The found files: offset, size, type, pieces and verification, one line each.
QStringList found(const raw_recovery_c& engine) {
    QStringList lines;
    for (std::size_t i = 0; i < engine.records().size(); ++i) {
        const signature_record& r = engine.records()[i];
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        const bool two = engine.second_piece(i, &first, &second);
        lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(r.offset)
                     .arg(r.size)
                     .arg(QString::fromLatin1(record_type(r)))
                     .arg(two ? first : 0)
                     .arg(two ? second : 0)
                     .arg(QString::fromLatin1(verified_name(engine.verified(i))));
    }
    return lines;
}

QByteArray restored(raw_recovery_c& engine, std::uint64_t position, const QString& path) {
    QFile::remove(path);
    return engine.restore_file(position, path) == 0 ? read_all(path) : QByteArray("(failed)");
}

}  // namespace

class test_deep_verify : public QObject {
    Q_OBJECT
    QTemporaryDir temp;
    QByteArray a_pdf;
    QByteArray b_pdf;
    QByteArray edited_pdf;
    QByteArray two_xz;
    QByteArray sqlite;

    // Scans a volume made of these bytes; the engine's records after the scan.
    void scan_bytes(raw_recovery_c* engine, const QByteArray& volume) {
        const QString path = temp.filePath(QStringLiteral("volume.img"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(volume), volume.size());
        file.close();
        scan_whole(engine, image_volume(path));
    }

  private slots:
    void initTestCase() {
        QVERIFY(temp.isValid());
        if (!fixture_exists("verify/frag.json")) {
            QSKIP("fixture verify/ missing (tests/fixtures/make_deep_verify.sh)");
        }
        a_pdf = read_all(fixture_path("verify/a.pdf"));
        b_pdf = read_all(fixture_path("verify/b.pdf"));
        edited_pdf = read_all(fixture_path("verify/edited.pdf"));
        two_xz = read_all(fixture_path("verify/two.xz"));
        sqlite = read_all(fixture_path("verify/db.sqlite"));
        QVERIFY(a_pdf.size() > 12000 && b_pdf.size() > 12000);
        QVERIFY(edited_pdf.size() > a_pdf.size() && edited_pdf.startsWith(a_pdf.left(1000)));
        QVERIFY(sqlite.size() > 200000);
    }

    // An edited PDF (exiftool's update after the first %%EOF opens with a comment line) and
    // two xz streams one after the other come back whole, under the edited title.
    void edited_pdf_and_two_stream_xz_are_whole() {
        const QByteArray volume = noise(65536, 1) + clusters(edited_pdf, 2) + noise(8192, 3) +
                                  clusters(two_xz, 4) + noise(65536, 5);
        raw_recovery_c engine;
        scan_bytes(&engine, volume);
        const QStringList lines = found(engine);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(engine.records()[0].offset, 65536u);
        QCOMPARE(engine.records()[0].size, static_cast<std::uint64_t>(edited_pdf.size()));
        QCOMPARE(engine.verified(0), int(verified_whole));
        QCOMPARE(restored(engine, 0, temp.filePath("edited.out")), edited_pdf);
        QCOMPARE(engine.records()[1].size, static_cast<std::uint64_t>(two_xz.size()));
        QCOMPARE(restored(engine, 1, temp.filePath("xz.out")), two_xz);
        // An xz file's blocks are not decoded: found to its end, but not vouched for.
        QCOMPARE(engine.verified(1), int(verified_start));
        const file_meta_s* meta = engine.meta(0);
        QVERIFY(meta);
        QCOMPARE(meta->title, QStringLiteral("Harbour survey, revised"));
    }

    // A PDF in two pieces: the gap holds another PDF of the same shape, or the second piece
    // on the volume is that other PDF's (the file's own is gone). What the scan hands out is
    // exact, or left out, or marked not verified: never wrong bytes called whole or joined.
    void two_piece_pdf_is_exact_or_left_out_data() {
        QTest::addColumn<int>("first");   // clusters in the first piece
        QTest::addColumn<int>("gap");     // clusters of the other PDF between the pieces
        QTest::addColumn<bool>("own");    // the second piece is the file's own
        QTest::addColumn<int>("joined");  // 1: put together, 0: not, -1: either
        QTest::newRow("1 cluster, gap of 1") << 1 << 1 << true << 1;
        QTest::newRow("3 clusters, gap of 2") << 3 << 2 << true << 1;
        // The gap holds the other PDF's end: the broken file reads as ending with the other
        // one's trailer, which tells the search nothing; left out is as good as exact.
        QTest::newRow("2 clusters, gap with another PDF's end") << 2 << 3 << true << -1;
        QTest::newRow("1 cluster, another PDF's rest") << 1 << 2 << false << 0;
        QTest::newRow("2 clusters, another PDF's rest") << 2 << 1 << false << 0;
        QTest::newRow("3 clusters, another PDF's rest") << 3 << 3 << false << 0;
    }
    void two_piece_pdf_is_exact_or_left_out() {
        QFETCH(int, first);
        QFETCH(int, gap);
        QFETCH(bool, own);
        QFETCH(int, joined);
        const qsizetype cut = first * 4096;
        // The gap: the other PDF's bytes from its middle (no "%PDF-" in it), in whole clusters.
        const QByteArray between = (b_pdf.mid(4096) + noise(gap * 4096, 6)).left(gap * 4096);
        const QByteArray rest = own ? a_pdf.mid(cut) : b_pdf.mid(cut);
        const QByteArray volume =
            noise(65536, 7) + a_pdf.left(cut) + between + clusters(rest, 8) + noise(65536, 9);
        raw_recovery_c engine;
        scan_bytes(&engine, volume);
        QStringList problems;
        bool came_back = false;
        for (std::size_t i = 0; i < engine.records().size(); ++i) {
            const QByteArray bytes =
                restored(engine, i, temp.filePath(QStringLiteral("%1.out").arg(i)));
            const bool exact = bytes == a_pdf;
            came_back = came_back || exact;
            if (!exact && is_verified(engine.verified(i))) {
                problems << QStringLiteral("wrong bytes called %1: %2")
                                .arg(verified_name(engine.verified(i)), found(engine)[i]);
            }
            if (exact && engine.verified(i) != verified_joined) {
                problems << QStringLiteral("exact but %1").arg(verified_name(engine.verified(i)));
            }
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        if (joined >= 0) {
            QCOMPARE(came_back, joined == 1);
        }
    }

    // A SQLite database has no whole-file check: in two pieces it is never put together, and
    // whatever the scan finds of it is marked not verified.
    void two_piece_sqlite_is_never_joined() {
        const QByteArray volume = noise(65536, 11) + sqlite.left(65536) + noise(16384, 12) +
                                  clusters(sqlite.mid(65536), 13) + noise(65536, 14);
        raw_recovery_c engine;
        scan_bytes(&engine, volume);
        for (std::size_t i = 0; i < engine.records().size(); ++i) {
            std::uint64_t first_size = 0;
            std::uint64_t second = 0;
            QVERIFY2(!engine.second_piece(i, &first_size, &second), qPrintable(found(engine)[i]));
            QCOMPARE(engine.verified(i), int(verified_start));
        }
        // Whole, the same database is found, and still only its start and size are checked.
        scan_bytes(&engine, noise(65536, 15) + clusters(sqlite, 16) + noise(65536, 17));
        QCOMPARE(found(engine).size(), 1);
        QCOMPARE(engine.records()[0].size, static_cast<std::uint64_t>(sqlite.size()));
        QCOMPARE(engine.verified(0), int(verified_start));
    }

    // The joins are bounded by work, not time: the card scanned while every core is busy
    // gives the same files, pieces and marks as a scan on a quiet machine.
    void joins_do_not_depend_on_load() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const volume_item_s card = image_volume(fixture_path("card/card.img"));
        raw_recovery_c engine;
        scan_whole(&engine, card);
        const QStringList quiet = found(engine);
        QVERIFY(quiet.filter(QStringLiteral(" joined")).size() >= 3);
        std::atomic<bool> busy{true};
        std::vector<std::thread> load;
        const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < 2 * cores; ++i) {
            load.emplace_back([&busy] {
                volatile std::uint64_t spin = 0;
                while (busy.load(std::memory_order_relaxed)) {
                    spin = spin + 1;
                }
            });
        }
        scan_whole(&engine, card);
        busy = false;
        for (std::thread& t : load) {
            t.join();
        }
        QCOMPARE(found(engine), quiet);
    }

    // A scan file keeps the joined files (restored whole from it) and every file's mark; an
    // older reader's view of it lists no joined file as one run of bytes. A scan file without
    // marks loads with every file unverified.
    void scan_file_keeps_joins_and_marks() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const volume_item_s card = image_volume(fixture_path("card/card.img"));
        raw_recovery_c engine;
        scan_whole(&engine, card);
        const QString sav = temp.filePath(QStringLiteral("card.sav"));
        QCOMPARE(engine.write_scan_file(sav), 0);
        raw_recovery_c loaded;
        loaded.set_target(card);
        QCOMPARE(loaded.read_scan_file(sav), card.volume_name);
        QCOMPARE(found(loaded), found(engine));
        QCOMPARE(loaded.refused_records(), std::size_t{0});
        std::size_t listed = 0;
        for (const auto& list : loaded.type_index()) {
            listed += static_cast<std::size_t>(list.size());
        }
        QCOMPARE(listed, engine.records().size());
        int joined = 0;
        for (std::size_t i = 0; i < engine.records().size(); ++i) {
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            if (!engine.second_piece(i, &first, &second)) {
                continue;
            }
            ++joined;
            QCOMPARE(restored(loaded, i, temp.filePath("loaded.out")),
                     restored(engine, i, temp.filePath("scanned.out")));
        }
        QVERIFY(joined >= 3);
        // Read as the plain layout: every unit whose index is its position is a file stored
        // whole, at the offset and size the scan found.
        const QByteArray data = read_all(sav);
        QCOMPARE((data.size() - 256) % 32, 0);
        int plain = 0;
        for (qsizetype at = 256; at < data.size(); at += 32) {
            std::uint64_t index = 0;
            std::uint64_t offset = 0;
            std::memcpy(&index, data.constData() + at, 8);
            std::memcpy(&offset, data.constData() + at + 8, 8);
            if (index >= engine.records().size()) {
                continue;
            }
            std::uint64_t first = 0;
            std::uint64_t second = 0;
            QVERIFY(!engine.second_piece(index, &first, &second));
            QCOMPARE(offset, engine.records()[index].offset);
            ++plain;
        }
        QCOMPARE(plain, static_cast<int>(engine.records().size()) - joined);
        // The plain layout alone: the header and one record, no marks.
        QByteArray old(256, '\0');
        std::memcpy(old.data(), card.volume_name.toLocal8Bit().constData(),
                    static_cast<std::size_t>(card.volume_name.toLocal8Bit().size()));
        signature_record r = engine.records()[0];
        r.index = 0;
        old.append(reinterpret_cast<const char*>(&r), 32);
        QFile file(temp.filePath(QStringLiteral("old.sav")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
        file.close();
        QCOMPARE(loaded.read_scan_file(file.fileName()), card.volume_name);
        QCOMPARE(loaded.records().size(), std::size_t{1});
        QCOMPARE(loaded.verified(0), int(verified_unknown));
    }

    // A FAT32 volume filled, every second file deleted, files written into the holes (in
    // many pieces) and formatted again, restored by the tool: every restored file is exact
    // or counted among the unverified ones, and the summary counts them apart.
    void fragmented_volume_restores_exact_or_marked() {
        const QString image = fixture_path("verify/frag.img");
        QSet<QByteArray> originals;
        for (const QJsonValue& v :
             QJsonDocument::fromJson(read_all(fixture_path("verify/frag.json"))).array()) {
            originals.insert(v.toObject()[QStringLiteral("sha256")].toString().toLatin1());
        }
        QVERIFY(originals.size() >= 9);
        const QString to = temp.filePath(QStringLiteral("frag"));
        QByteArray out;
        QByteArray err;
        run_orvane({"scan", "--deep", "--json", image}, &out, &err);
        QHash<QString, QString> verified;  // path -> mark
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (!o.isEmpty()) {
                verified.insert(o[QStringLiteral("path")].toString(),
                                o[QStringLiteral("verified")].toString());
            }
        }
        QVERIFY2(!verified.isEmpty(), err.constData());
        QCOMPARE(run_orvane({"restore", "--deep", "--to", to, image}, &out, &err), 0);
        QStringList wrong;
        int unverified = 0;
        int exact = 0;
        QDirIterator files(to, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            const QString listed = path.mid(to.size());
            QVERIFY2(verified.contains(listed), qPrintable(listed));
            const QString mark = verified.value(listed);
            const bool vouched = mark == QLatin1String("whole") || mark == QLatin1String("joined");
            unverified += vouched ? 0 : 1;
            if (originals.contains(sha256_of_file(path))) {
                ++exact;
            } else if (vouched) {
                wrong << listed + QStringLiteral(" is ") + mark;
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        QVERIFY(unverified > 0);
        QVERIFY2(
            out.contains(QStringLiteral(", 0 failed, %1 not verified").arg(unverified).toUtf8()),
            out.constData());
        // Without the unverified ones: only what the scan vouches for, every file exact.
        const QString only = temp.filePath(QStringLiteral("frag-verified"));
        QCOMPARE(
            run_orvane({"restore", "--deep", "--verified-only", "--to", only, image}, &out, &err),
            0);
        QVERIFY2(out.contains(", 0 not verified"), out.constData());
        QDirIterator kept(only, QDir::Files, QDirIterator::Subdirectories);
        while (kept.hasNext()) {
            QVERIFY(originals.contains(sha256_of_file(kept.next())));
        }
        qInfo("%d files exact, %d not verified", exact, unverified);
    }

    // Saved and restored from the scan file, the card gives back every file the scan listed,
    // the joined ones too, byte for byte as a restore straight after the scan.
    void save_then_restore_from_gives_every_file() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const QString image = fixture_path("card/card.img");
        const QString sav = temp.filePath(QStringLiteral("tool.sav"));
        QByteArray out;
        QByteArray err;
        QCOMPARE(run_orvane({"scan", "--deep", "--json", "--save", sav, image}, &out, &err), 0);
        const int listed = static_cast<int>(out.trimmed().split('\n').size());
        QVERIFY(out.count("\"pieces\":2") >= 3);
        const QString direct = temp.filePath(QStringLiteral("direct"));
        const QString from = temp.filePath(QStringLiteral("from"));
        QCOMPARE(run_orvane({"restore", "--deep", "--to", direct, image}, &out, &err), 0);
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", image, "--to", from}, &out, &err),
                 0);
        QVERIFY2(out.startsWith(
                     QStringLiteral("restored %1 of %1 files, 0 failed").arg(listed).toUtf8()),
                 out.constData());
        int same = 0;
        QDirIterator files(direct, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QCOMPARE(sha256_of_file(from + path.mid(direct.size())), sha256_of_file(path));
            ++same;
        }
        QCOMPARE(same, listed);
    }

    // A restored file is dated from its own metadata: its modification time is the date the
    // listing shows (the changed date, else the created one); a file without a date keeps
    // the restore's time.
    void restored_files_carry_their_found_date() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const QString image = fixture_path("card/card.img");
        QByteArray out;
        QByteArray err;
        QCOMPARE(run_orvane({"scan", "--deep", "--json", image}, &out, &err), 0);
        QHash<QString, qint64> dates;
        for (const QByteArray& line : out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (!o.isEmpty()) {
                const qint64 changed = o[QStringLiteral("date1")].toInteger();
                dates.insert(o[QStringLiteral("path")].toString(),
                             changed != 0 ? changed : o[QStringLiteral("date2")].toInteger());
            }
        }
        const QString to = temp.filePath(QStringLiteral("dated"));
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(run_orvane({"restore", "--deep", "--to", to, image}, &out, &err), 0);
        int dated = 0;
        for (auto d = dates.cbegin(); d != dates.cend(); ++d) {
            const QFileInfo file(to + d.key());
            QVERIFY2(file.isFile(), qPrintable(d.key()));
            const qint64 mtime = file.lastModified().toSecsSinceEpoch();
            if (d.value() != 0) {
                QCOMPARE(mtime, d.value());
                ++dated;
            } else {
                QVERIFY(mtime >= before - 1);
            }
        }
        QVERIFY(dated >= 10);
    }
};

QTEST_GUILESS_MAIN(test_deep_verify)
#include "test_deep_verify.moc"
