// The NTFS engine: over a scripted library (device names, the start-up failure report, what
// is kept, linking, marking, paths, pause and stop) and over a real volume through the scan
// session.
#include "device/volume_list.h"
#include "engine/ntfs/ntfs_recovery.h"
#include "engine/scan_session.h"
#include "test_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// The scripted library: hands out `script` in order, or endless records when `endless`.
QList<ntfs_record> script;
int startup_result = 0;
QByteArray startup_device;
std::atomic<int> next_calls{0};
bool endless = false;

ntfs_record make_record(quint64 number, quint64 parent, quint32 flags, const QString& name) {
    ntfs_record r{};
    r.record_number = number;
    r.parent_number = parent;
    r.flags = flags;
    r.size = number * 10;
    std::memcpy(r.name, name.utf16(), std::size_t(name.size()) * 2);
    return r;
}

ntfs_record with_sequences(ntfs_record r, quint16 sequence, quint16 parent_sequence) {
    r.sequence = sequence;
    r.parent_sequence = parent_sequence;
    return r;
}

int fake_startup(const char* device, ntfs_scan_context* context) {
    startup_device = device;
    if (startup_result >= 0) {
        context->started = 1;
        context->progress_denominator = 8 * 100;
    }
    return startup_result;
}

int fake_next(ntfs_scan_context* context, ntfs_record* record) {
    const int n = next_calls++;
    if (endless) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        *record = make_record(quint64(100 + n), 5, ntfs_flag_file | ntfs_flag_deleted, "f");
        return 1;
    }
    if (n >= script.size()) {
        return 0;
    }
    context->term_a = n + 1;
    context->term_c = 8;
    *record = script[n];
    return 1;
}

int fake_end(ntfs_scan_context* context) {
    context->started = 0;
    return 0;
}

int fake_restore(ntfs_scan_context*, std::uint64_t, const char*) {
    return 0;
}

void use_fake(ntfs_recovery_c* engine, const QList<ntfs_record>& records, int result = 0) {
    script = records;
    startup_result = result;
    next_calls = 0;
    endless = false;
    engine->set_library({fake_startup, fake_next, fake_end, fake_restore});
}

void scan(ntfs_recovery_c* engine, const volume_item_s& target) {
    engine->set_target(target);
    engine->start();
    QVERIFY(engine->wait(30000));
}

}  // namespace

class test_ntfs_engine : public QObject {
    Q_OBJECT
  private slots:
    void device_names_data() {
        QTest::addColumn<int>("disk");
        QTest::addColumn<int>("partition");
        QTest::addColumn<QByteArray>("device");
        QTest::newRow("disk 1, partition 1") << 1 << 1 << QByteArray("/dev/hdb1");
        QTest::newRow("disk 0, partition 2") << 0 << 2 << QByteArray("/dev/hda2");
        QTest::newRow("whole disk 3") << 3 << 0 << QByteArray("/dev/hdd0");
        QTest::newRow("disk 10") << 10 << 1 << QByteArray("/dev/hdk1");
        QTest::newRow("disk 25") << 25 << 3 << QByteArray("/dev/hdz3");
        QTest::newRow("disk 26") << 26 << 0 << QByteArray("/dev/hdaa0");
        QTest::newRow("disk 27") << 27 << 12 << QByteArray("/dev/hdab12");
        QTest::newRow("disk 702") << 702 << 1 << QByteArray("/dev/hdaaa1");
    }
    void device_names() {
        QFETCH(int, disk);
        QFETCH(int, partition);
        QFETCH(QByteArray, device);
        ntfs_recovery_c engine;
        use_fake(&engine, {});
        volume_item_s target;
        target.disk_number = disk;
        target.partition_number = partition;
        scan(&engine, target);
        QCOMPARE(startup_device, device);
    }

    void a_failed_start_writes_one_log_line() {
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        ntfs_recovery_c engine;
        use_fake(&engine, {make_record(5, 5, ntfs_flag_directory, ".")}, -5);
        scan(&engine, volume_item_s{});
        QFile log(state.filePath("OrvaneRecovery/Pellomar.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(lines.size(), 2);  // one line and the empty rest after its line feed
        QVERIFY(lines[0].endsWith(
            "[ntfs_recovery:105] ntfs_scan_startup failed with return value (-5)"));
        QCOMPARE(next_calls.load(), 0);
        QVERIFY(engine.tree().empty());
        QCOMPARE(engine.get_found_count(), 0);
    }

    void keeps_folders_and_deleted_entries_and_links_them() {
        ntfs_recovery_c engine;
        const quint32 dir = ntfs_flag_directory;
        const quint32 file = ntfs_flag_file;
        const quint32 gone = ntfs_flag_deleted;
        use_fake(&engine, {make_record(5, 5, dir, "."), make_record(30, 5, dir, "docs"),
                           make_record(31, 5, dir, "empty"), make_record(40, 30, file, "live.txt"),
                           make_record(41, 30, file | gone, "first.txt"),
                           make_record(32, 30, dir | gone, "old"),
                           make_record(41, 32, file | gone, "second.txt"),
                           make_record(50, 99, file | gone, "orphan.txt")});
        volume_item_s target;
        target.path = "/mnt/vol/";
        scan(&engine, target);
        const ntfs_tree_c& tree = engine.tree();
        QCOMPARE(engine.get_read_count(), 8);
        QCOMPARE(engine.get_found_count(), 7);  // both records numbered 41 were counted
        QCOMPARE(int(tree.size()), 7);          // six records and the folder of orphans
        QVERIFY(!tree.contains(40));
        QCOMPARE(tree.name(*tree.find(41)), QStringLiteral("second.txt"));
        QCOMPARE(tree.children(*tree.find(32)).size(), 1u);
        QCOMPARE(tree.children(*tree.find(30)).size(), 1u);  // "old"; the first 41 was replaced
        QCOMPARE(tree.children(*tree.find(5)).size(), 4u);   // docs, empty, orphans and itself
        QCOMPARE(tree.find(32)->has_files, 1);
        QCOMPARE(tree.find(30)->has_files, 1);
        QCOMPARE(tree.find(5)->has_files, 1);
        QCOMPARE(tree.find(31)->has_files, 0);
        // Its parent record was never fetched: kept in the folder of orphans.
        QCOMPARE(tree.find(50)->parent_number, ntfs_orphans_record);
        QCOMPARE(tree.find(ntfs_orphans_record)->has_files, 1);
        QCOMPARE(engine.get_progress(), (8 + 8.0 * 8) / 800);
        QString path;
        QCOMPARE(engine.get_file_path(41, &path), 0);
        QCOMPARE(path, QStringLiteral("/mnt/vol/docs/old/second.txt"));
        QCOMPARE(engine.get_file_path(50, &path), 0);
        QCOMPARE(path, QStringLiteral("/mnt/vol/[Orphaned files]/orphan.txt"));
        QCOMPARE(engine.get_file_path(77, &path), -1);
    }

    // A parent reference counts only while the parent record's sequence number matches it:
    // equal, or one behind a deleted record (NTFS raises it when it frees the record).
    void links_by_sequence_number_data() {
        QTest::addColumn<quint64>("record");
        QTest::addColumn<quint64>("shown_in");
        const quint64 orphans = ntfs_orphans_record;
        QTest::newRow("live folder, same sequence") << quint64(42) << quint64(30);
        QTest::newRow("reused folder, older reference") << quint64(41) << orphans;
        QTest::newRow("deleted folder, one behind") << quint64(43) << quint64(33);
        QTest::newRow("deleted folder, two behind") << quint64(44) << orphans;
        QTest::newRow("deleted folder, sequence wrapped") << quint64(46) << quint64(35);
        QTest::newRow("parent record holds a file") << quint64(45) << orphans;
        QTest::newRow("deleted folder in a reused one") << quint64(36) << orphans;
        QTest::newRow("file in that folder") << quint64(47) << quint64(36);
        QTest::newRow("reference without sequence") << quint64(48) << quint64(30);
        QTest::newRow("folders that loop: the first met") << quint64(60) << orphans;
        QTest::newRow("folders that loop: the other") << quint64(61) << quint64(60);
        QTest::newRow("file inside the loop") << quint64(62) << quint64(60);
    }
    void links_by_sequence_number() {
        QFETCH(quint64, record);
        QFETCH(quint64, shown_in);
        const quint32 dir = ntfs_flag_directory;
        const quint32 gone = ntfs_flag_file | ntfs_flag_deleted;
        ntfs_recovery_c engine;
        use_fake(&engine,
                 {with_sequences(make_record(5, 5, dir, "."), 5, 5),
                  // 30 was a folder with sequence 1, freed (2), then used by a new folder
                  with_sequences(make_record(30, 5, dir, "B"), 2, 5),
                  with_sequences(make_record(41, 30, gone, "in-A.txt"), 3, 1),
                  with_sequences(make_record(42, 30, gone, "in-B.txt"), 3, 2),
                  with_sequences(make_record(33, 5, dir | ntfs_flag_deleted, "C"), 3, 5),
                  with_sequences(make_record(43, 33, gone, "in-C.txt"), 4, 2),
                  with_sequences(make_record(44, 33, gone, "older.txt"), 4, 1),
                  with_sequences(make_record(34, 5, gone, "file.txt"), 2, 5),
                  with_sequences(make_record(45, 34, gone, "under-file.txt"), 2, 1),
                  with_sequences(make_record(35, 5, dir | ntfs_flag_deleted, "W"), 1, 5),
                  with_sequences(make_record(46, 35, gone, "wrapped.txt"), 2, 0xFFFF),
                  with_sequences(make_record(36, 30, dir | ntfs_flag_deleted, "A-sub"), 2, 1),
                  with_sequences(make_record(47, 36, gone, "deep.txt"), 2, 1),
                  make_record(48, 30, gone, "no-sequence.txt"),
                  with_sequences(make_record(60, 61, dir | ntfs_flag_deleted, "L1"), 2, 1),
                  with_sequences(make_record(61, 60, dir | ntfs_flag_deleted, "L2"), 2, 1),
                  with_sequences(make_record(62, 60, gone, "looped.txt"), 2, 1)});
        scan(&engine, volume_item_s{});
        const ntfs_tree_c& tree = engine.tree();
        QVERIFY(tree.find(record));
        QCOMPARE(quint64(tree.find(record)->parent_number), shown_in);
        QCOMPARE(bool(tree.find(record)->orphan), shown_in == quint64(ntfs_orphans_record));
        // Every file is reachable from the root through folders that hold files.
        for (std::size_t i = 0; i < tree.size(); ++i) {
            if (!(tree.at(i).flags & ntfs_flag_file)) {
                continue;
            }
            quint64 key = tree.at(i).parent_number;
            for (int steps = 0; key != ntfs_root_record; ++steps) {
                QVERIFY(steps < 10 && tree.find(key) && tree.find(key)->has_files);
                key = tree.find(key)->parent_number;
            }
        }
    }

    // The folder of orphans never takes the name of an entry of the root.
    void orphans_folder_name_is_unique() {
        ntfs_recovery_c engine;
        const QString name = ntfs_recovery_c::orphans_folder_name();
        use_fake(&engine,
                 {make_record(5, 5, ntfs_flag_directory, "."),
                  make_record(20, 5, ntfs_flag_directory | ntfs_flag_deleted, name.toLower()),
                  make_record(21, 5, ntfs_flag_file | ntfs_flag_deleted, name + " (2)"),
                  make_record(40, 77, ntfs_flag_file | ntfs_flag_deleted, "lost.txt")});
        scan(&engine, volume_item_s{});
        const ntfs_node* orphans = engine.tree().find(ntfs_orphans_record);
        QVERIFY(orphans);
        QCOMPARE(engine.tree().name(*orphans), name + " (3)");
    }

    void pause_holds_the_fetch_and_stop_ends_it() {
        ntfs_recovery_c engine;
        use_fake(&engine, {});
        endless = true;
        engine.set_target(volume_item_s{});
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(engine.get_read_count() > 10, 10000);
        engine.set_pause(1);
        QTest::qWait(150);
        const auto held = engine.get_read_count();
        QTest::qWait(250);
        QCOMPARE(engine.get_read_count(), held);
        engine.set_stop(stop_keep);
        QVERIFY(engine.wait(2000));
        QCOMPARE(qint64(engine.tree().size()), held + 1);  // and a root in place of the missing one
    }

    // The real library through the session: NTFS volumes take this engine; live files stay
    // out; a deleted file comes back through restore_file.
    void scans_a_real_volume_through_the_session() {
        if (!fixture_exists("ntfs/ntfs4k.img")) {
            QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
        }
        use_images({fixture_path("ntfs/ntfs4k.img")});
        enumerate_volumes();
        QCOMPARE(int(volume_list.size()), 2);
        scan_session_c session;
        QCOMPARE(session.start(volume_list[1], false), 0);
        QCOMPARE(session.engine_kind(), engine_ntfs);
        QVERIFY(session.current()->wait(30000));
        session.on_thread_finished();
        QVERIFY(session.has_results());
        const ntfs_tree_c& tree = session.ntfs_engine().tree();
        quint64 big = 0;
        for (std::size_t i = 0; i < tree.size(); ++i) {
            const quint32 flags = tree.at(i).flags;
            QVERIFY((flags & ntfs_flag_deleted) || !(flags & ntfs_flag_file));
            if (tree.name(tree.at(i)) == QStringLiteral("big.bin")) {
                big = tree.at(i).record_number;
            }
        }
        QVERIFY(big > 11);
        QTemporaryDir out;
        const QString to = out.filePath("big.bin");
        QFile(to).open(QIODevice::WriteOnly);  // an old file there is replaced
        QCOMPARE(session.current()->restore_file(big, to), 0);
        QCOMPARE(sha256_of_file(to),
                 QByteArray("c3aac0fb41e56abc5c672fa89c484e4c619b06893f2a26f6aeccb14530c3ec0b"));
        QString path;
        QCOMPARE(session.current()->get_file_path(big, &path), 0);
        QVERIFY(path.endsWith("/photos/big.bin"));
    }
};

QTEST_GUILESS_MAIN(test_ntfs_engine)
#include "test_ntfs_engine.moc"
