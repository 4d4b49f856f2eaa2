// The FAT engine over real volumes made by mkfs.fat and mtools, and over volumes shaped by
// hand: what it finds, what it restores, how it answers pause, stop and abort, and how it
// survives damaged volumes.
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "engine/engine_choice.h"
#include "engine/fat/fat_recovery.h"
#include "engine/recovery_stop.h"
#include "engine/restore_names.h"
#include "fat_image.h"
#include "test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

namespace {

struct manifest_line_s {
    QString status;
    QByteArray sha;
    qint64 size = 0;
    QString path;
};

QList<manifest_line_s> read_manifest(const QString& path) {
    QList<manifest_line_s> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return lines;
    }
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QList<QByteArray> f = raw.split(' ');
        if (f.size() < 4) {
            continue;
        }
        lines.append({QString::fromUtf8(f[0]), f[1], f[2].toLongLong(),
                      QString::fromUtf8(raw.mid(f[0].size() + f[1].size() + f[2].size() + 3))});
    }
    return lines;
}

// The volume of an image as the volume list shows it.
bool target_of(const QString& image, int partition, volume_item_s* target) {
    use_images({image});
    enumerate_volumes();
    for (std::size_t r = 1; r < volume_list.size(); ++r) {
        if (volume_list[r].partition_number == partition) {
            *target = volume_list[r];
            return true;
        }
    }
    return false;
}

void run_to_end(fat_recovery_c& engine, const volume_item_s& target) {
    engine.reset();
    engine.set_target(target);
    engine.start();
    QVERIFY(engine.wait(120000));
}

// A volume whose walk takes long: 1000 folders of 1024 deleted entries each.
std::unique_ptr<fat_image_c> big_volume() {
    QString error;
    auto image = fat_image_c::make(
        65536, {"-F", "12", "-s", "64", "-r", "1024", "-f", "1", "-S", "512"}, &error);
    if (!image) {
        qWarning("mkfs.fat failed: %s", qPrintable(error));
        return nullptr;
    }
    const std::uint32_t folders = 1000;
    for (std::uint32_t d = 0; d < folders; ++d) {
        const std::uint32_t cluster = 2 + d;
        const QByteArray name =
            QStringLiteral("D%1   ").arg(d, 4, 10, QLatin1Char('0')).toLatin1() + "   ";
        image->put_entry(image->root_offset() + d * 32, name.constData(), fat_attr_directory,
                         cluster, 0);
        image->set_fat(cluster, 0xFFF);
        for (std::uint32_t e = 0; e < image->cluster_bytes() / 32; ++e) {
            image->put_entry(image->cluster_offset(cluster) + e * 32, "XILE    TXT", 0x20,
                             1500 + e % 500, 10, true);
        }
    }
    return image;
}

}  // namespace

class test_fat_engine : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        register_device_meta_types();
        qputenv("TZ", "UTC");
    }

    void cleanup() { platform::clear_memory_drives(); }

    // Every deleted file whose clusters were contiguous and not reused comes back byte for
    // byte, and so does the one laid out around a live file; live files are not listed.
    void deleted_files_come_back_whole_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<int>("partition");
        QTest::newRow("FAT12 superfloppy") << "fat/fat12.img" << 0;
        QTest::newRow("FAT16 partition") << "fat/fat16.img" << 1;
        QTest::newRow("FAT32 partition") << "fat/fat32.img" << 1;
    }
    void deleted_files_come_back_whole() {
        QFETCH(QString, image);
        QFETCH(int, partition);
        if (!fixture_exists(image)) {
            QSKIP("FAT fixtures were not made (tests/fixtures/make_fat_scan.sh)");
        }
        volume_item_s target;
        QVERIFY(target_of(fixture_path(image), partition, &target));
        QVERIFY(target.file_system.startsWith("FAT"));
        fat_recovery_c engine;
        run_to_end(engine, target);
        QCOMPARE(engine.get_stop(), 0);

        QTemporaryDir out;
        QSet<QString> used;
        QHash<QByteArray, QString> restored;  // sha256 -> restored path
        int files = 0;
        for (const fat_node& node : engine.nodes()) {
            if (node.first_cluster == 0 || (node.attributes & fat_attr_directory)) {
                continue;
            }
            ++files;
            QVERIFY2(node.attributes & fat_attr_deleted,
                     qPrintable(node.name));  // no live file is recorded
            const QString path = unique_path(out.path(), node.name, &used);
            const int result = engine.restore_file(node.first_cluster, path);
            if (result == 0) {
                restored.insert(sha256_of_file(path), path);
            }
        }
        const auto manifest =
            read_manifest(fixture_path(QString(image).replace(".img", ".manifest")));
        QVERIFY(!manifest.isEmpty());
        int expected = 0;
        for (const manifest_line_s& line : manifest) {
            const bool must = line.status == "deleted" || line.status == "deleted-around" ||
                              line.status == "deleted-in-folder";
            if (!must || line.size == 0) {
                continue;  // an empty file has no cluster to be keyed by
            }
            ++expected;
            QVERIFY2(restored.contains(line.sha), qPrintable(line.status + " " + line.path));
        }
        QVERIFY(expected >= 10);
        QVERIFY(files >= expected);
    }

    // Files of the folder removed with mdeltree keep their folder, with '#' names.
    void deleted_folder_keeps_its_files() {
        if (!fixture_exists("fat/fat32.img")) {
            QSKIP("FAT fixtures were not made");
        }
        volume_item_s target;
        QVERIFY(target_of(fixture_path("fat/fat32.img"), 1, &target));
        fat_recovery_c engine;
        run_to_end(engine, target);
        const fat_node* trash = nullptr;
        for (const fat_node& node : engine.nodes()) {
            if ((node.attributes & fat_attr_directory) && node.parent == 0 &&
                node.name.endsWith("rash")) {
                trash = &node;
            }
        }
        QVERIFY(trash);
        QVERIFY(trash->name.startsWith('#'));
        QVERIFY(trash->attributes & fat_attr_deleted);
        QCOMPARE(trash->has_files, std::uint8_t(1));
        int inside = 0;
        for (const std::uint32_t key : trash->children) {
            const fat_node* child = &engine.nodes().find(key).value();
            QCOMPARE(child->in_deleted_folder, std::uint8_t(1));
            QVERIFY(child->attributes & fat_attr_deleted);
            QVERIFY(child->name.startsWith('#'));
            inside += (child->attributes & fat_attr_directory) ? 0 : 1;
        }
        QCOMPARE(inside, 2);  // a.txt and b.bin; c.txt and the umlaut file sit in the subfolder
        // the live path is composed from the volume path through the parents
        QString path;
        QCOMPARE(engine.get_file_path(trash->children.first(), &path), 0);
        QVERIFY2(path.startsWith(target.path + "/#rash/#"), qPrintable(path));
        QCOMPARE(engine.get_file_path(123456789, &path), -1);
        // the root holds the tree together and folders without deleted files are not marked
        QVERIFY(engine.nodes().contains(0));
        QCOMPARE(engine.nodes()[0].attributes, std::uint8_t(fat_attr_directory));
    }

    void progress_follows_the_reads() {
        auto image = big_volume();
        QVERIFY(image);
        fat_recovery_c engine;
        run_to_end(engine, memory_volume("big", image->shared()));
        QVERIFY(engine.get_read_count() > 1000000);
        QCOMPARE(engine.get_progress(), 0.99);  // past 2000 reads the fraction stays below 1
        QCOMPARE(engine.get_found_count(), 1000 + 500);
    }

    // Pause holds the walk between two entries; stop (keep) or abort while paused ends it
    // within a wake-up or two.
    void pause_holds_and_stop_ends_the_walk_data() {
        QTest::addColumn<int>("code");
        QTest::newRow("stop keeps the results") << stop_keep;
        QTest::newRow("abort") << stop_abort;
    }
    void pause_holds_and_stop_ends_the_walk() {
        QFETCH(int, code);
        QString error;
        auto image = fat_image_c::looping_folders(1000, &error);
        QVERIFY2(image, qPrintable(error));
        fat_recovery_c engine;
        engine.reset();
        engine.set_target(memory_volume("slow", image->shared()));
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(engine.get_read_count() > 0, 10000);
        engine.set_pause(1);
        QTest::qWait(250);
        const auto held = engine.get_read_count();
        QTest::qWait(300);
        QCOMPARE(engine.get_read_count(), held);
        QVERIFY(engine.isRunning());
        QElapsedTimer clock;
        clock.start();
        engine.set_stop(code);
        QVERIFY(engine.wait(5000));
        QVERIFY2(clock.elapsed() < 1000, "a paused engine wakes every 100 ms");
        QCOMPARE(engine.get_stop(), code);
        QVERIFY(engine.nodes().size() > 1);  // what was found so far, plus the root
        QVERIFY(engine.nodes().contains(0));
        engine.reset();  // what the caller does with an aborted scan
        QVERIFY(engine.nodes().isEmpty());
        QCOMPARE(engine.get_read_count(), 0);
    }

    // The page may write its words before the scan's thread has started: they hold for
    // that scan, not lost to the thread's own reset.
    void words_sent_before_the_thread_starts() {
        QString error;
        auto image = fat_image_c::looping_folders(1000, &error);
        QVERIFY2(image, qPrintable(error));
        fat_recovery_c engine;
        engine.reset();
        engine.set_target(memory_volume("early", image->shared()));
        engine.set_pause(1);
        engine.start();
        QTest::qWait(300);
        QVERIFY(engine.isRunning());
        QCOMPARE(engine.get_read_count(), 0);  // held before its first folder
        engine.set_stop(stop_abort);
        QVERIFY(engine.wait(5000));

        engine.reset();
        engine.set_stop(stop_keep);
        engine.start();
        QVERIFY(engine.wait(5000));
        QCOMPARE(engine.get_read_count(), 0);
        QCOMPARE(engine.get_stop(), int(stop_keep));
    }

    void reset_keeps_the_target() {
        if (!fixture_exists("disks/floppy.img")) {
            QSKIP("disk fixtures were not made");
        }
        volume_item_s target;
        QVERIFY(target_of(fixture_path("disks/floppy.img"), 0, &target));
        fat_recovery_c engine;
        engine.set_target(target);
        engine.start();  // the thread resets first; the target must survive that
        QVERIFY(engine.wait(30000));
        QVERIFY(engine.get_read_count() > 0);
        QString path;
        QCOMPARE(engine.get_file_path(0, &path), 0);
    }

    void damaged_volumes_end_cleanly_data() {
        QTest::addColumn<int>("damage");
        QTest::newRow("directory chain loops on itself") << 0;
        QTest::newRow("folder lists itself as a subfolder") << 1;
        QTest::newRow("folder beyond the FAT") << 2;
        QTest::newRow("two folders hold each other") << 3;
        QTest::newRow("garbage boot sector") << 4;
    }
    void damaged_volumes_end_cleanly() {
        QFETCH(int, damage);
        QString error;
        auto image = fat_image_c::make(
            4096, {"-F", "12", "-s", "8", "-r", "64", "-f", "2", "-S", "512"}, &error);
        QVERIFY2(image, qPrintable(error));
        const std::uint64_t root = image->root_offset();
        image->put_entry(root, "LOOP       ", fat_attr_directory, 10, 0);
        image->set_fat(10, 0xFFF);
        image->put_entry(image->cluster_offset(10), "GONE    TXT", 0x20, 40, 5000, true);
        switch (damage) {
            case 0:
                image->set_fat(10, 10);
                break;
            case 1:
                image->put_entry(image->cluster_offset(10) + 32, "SELF       ", fat_attr_directory,
                                 10, 0);
                break;
            case 2:
                image->put_entry(image->cluster_offset(10) + 32, "FAR        ", fat_attr_directory,
                                 0xFFF0, 0, true);
                break;
            case 3:
                image->put_entry(image->cluster_offset(10) + 32, "OTHER      ", fat_attr_directory,
                                 11, 0);
                image->set_fat(11, 0xFFF);
                image->put_entry(image->cluster_offset(11), "BACK       ", fat_attr_directory, 10,
                                 0);
                break;
            case 4:
                for (int i = 11; i < 62; ++i) {
                    image->bytes()[i] = static_cast<char>(0xA5 ^ i);
                }
                break;
        }
        fat_recovery_c engine;
        engine.reset();
        engine.set_target(memory_volume("damaged", image->shared()));
        engine.start();
        QVERIFY2(engine.wait(20000), "the walk must end on a damaged volume");
        QVERIFY(engine.nodes().contains(0));
        if (damage == 4) {
            QCOMPARE(engine.nodes().size(), 1);  // nothing could be mounted: only the root
            return;
        }
        QVERIFY(engine.nodes().contains(10));
        if (damage == 2) {
            QVERIFY(engine.nodes().contains(0xFFF0));  // recorded, never walked
        }
        QString path;
        for (auto key : engine.nodes().keys()) {
            engine.get_file_path(key, &path);  // must end even where parents loop
        }
    }

    // A deleted file seen first may hold the cluster that a live folder uses now; the folder
    // still wins the key and is still walked, so its own deleted files are found.
    void live_folder_on_a_reused_cluster_is_walked() {
        QString error;
        auto image = fat_image_c::make(1440, {"-F", "12", "-s", "1", "-S", "512"}, &error);
        QVERIFY2(image, qPrintable(error));
        image->put_entry(image->root_offset(), "XOLD    TXT", 0x20, 10, 300, true);
        image->put_entry(image->root_offset() + 32, "NEWDIR     ", fat_attr_directory, 10, 0);
        image->set_fat(10, 0xFFF);
        image->put_entry(image->cluster_offset(10), "XINNER  TXT", 0x20, 50, 100, true);
        fat_recovery_c engine;
        run_to_end(engine, memory_volume("reused", image->shared()));
        QVERIFY(engine.nodes().contains(10));
        QCOMPARE(engine.nodes()[10].attributes & fat_attr_directory, int(fat_attr_directory));
        QVERIFY(engine.nodes().contains(50));
        QCOMPARE(engine.nodes()[50].parent, 10U);
        QCOMPARE(engine.nodes()[10].has_files, std::uint8_t(1));
    }

    // A restore that cannot read the whole file says so; what was read stays on disk.
    void restore_reports_failures() {
        QString error;
        auto image = fat_image_c::make(1440, {"-F", "12", "-s", "1", "-S", "512"}, &error);
        QVERIFY2(image, qPrintable(error));
        const std::uint32_t last = image->clusters() + 1;
        // a deleted file whose run would step past the last cluster of the volume
        image->put_entry(image->root_offset(), "TAIL    BIN", 0x20, last - 1, 4096, true);
        // and one that fits
        image->put_entry(image->root_offset() + 32, "FITS    BIN", 0x20, 100, 1024, true);
        for (int i = 0; i < 1024; ++i) {
            image->bytes()[static_cast<qsizetype>(image->cluster_offset(100)) + i] =
                static_cast<char>(i * 7);
        }
        fat_recovery_c engine;
        run_to_end(engine, memory_volume("tail", image->shared()));
        QTemporaryDir out;
        QCOMPARE(engine.restore_file(100, out.filePath("fits.bin")), 0);
        QFile fits(out.filePath("fits.bin"));
        QVERIFY(fits.open(QIODevice::ReadOnly));
        QCOMPARE(fits.readAll(),
                 image->bytes().mid(static_cast<qsizetype>(image->cluster_offset(100)), 1024));
        QCOMPARE(engine.restore_file(last - 1, out.filePath("tail.bin")), -1);
        QVERIFY(!QFileInfo::exists(out.filePath("tail.bin")));  // nothing half-written stays
        QCOMPARE(engine.restore_file(4242, out.filePath("missing.bin")), -1);
        QCOMPARE(engine.restore_file(100, out.filePath("no/such/folder/x.bin")), -1);
    }

    void engine_choice_data() {
        QTest::addColumn<QString>("file_system");
        QTest::addColumn<bool>("deep");
        QTest::addColumn<int>("kind");
        QTest::newRow("FAT32") << "FAT32" << false << int(engine_fat);
        QTest::newRow("FAT12") << "FAT12" << false << int(engine_fat);
        QTest::newRow("NTFS") << "NTFS" << false << int(engine_ntfs);
        QTest::newRow("ntfs lower case") << "ntfs" << false << int(engine_none);
        QTest::newRow("exFAT") << "exFAT" << false << int(engine_exfat);
        QTest::newRow("exfat lower case") << "exfat" << false << int(engine_none);
        QTest::newRow("exFAT deep") << "exFAT" << true << int(engine_signature);
        QTest::newRow("empty") << "" << false << int(engine_none);
        QTest::newRow("ext4 deep") << "ext4" << true << int(engine_signature);
        QTest::newRow("ext4") << "ext4" << false << int(engine_ext4);
        QTest::newRow("ext3") << "ext3" << false << int(engine_ext4);
        QTest::newRow("ext2") << "ext2" << false << int(engine_ext4);
        QTest::newRow("xfs") << "xfs" << false << int(engine_none);
    }
    void engine_choice() {
        QFETCH(QString, file_system);
        QFETCH(bool, deep);
        QFETCH(int, kind);
        volume_item_s target;
        target.file_system = file_system;
        QCOMPARE(int(choose_engine(target, deep)), kind);
    }

    void null_engine_answers_as_idle() {
        recovery_stop_c engine;
        recovery_base_c& base = engine;
        base.set_progress(0.5);
        base.set_stop(3);
        base.set_pause(1);
        QCOMPARE(base.get_progress(), 0.0);
        QCOMPARE(base.get_read_count(), 0);
        QCOMPARE(base.get_found_count(), 0);
        QCOMPARE(base.get_stop(), 1);
        QCOMPARE(base.get_pause(), 0);
        QCOMPARE(base.restore_file(1, "/nonexistent/x"), 0);
        QVERIFY(!QFile::exists("/nonexistent/x"));
    }

    // Stamps are local time under the local rules: summer time applies on summer days.
    void fat_times_convert_as_local_time_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("UTC") << QByteArray("UTC") << 2024 << 3 << 15
                             << qint64(1710505814);  // 2024-03-15 12:30:14 UTC
        QTest::newRow("Berlin, winter") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << 2024 << 1
                                        << 20 << qint64(1705750214);  // 11:30:14 UTC
        QTest::newRow("Berlin, summer") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << 2024 << 7
                                        << 1 << qint64(1719829814);  // 10:30:14 UTC
    }
    void fat_times_convert_as_local_time() {
        QFETCH(QByteArray, zone);
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        QFETCH(qint64, seconds);
        const std::uint16_t date =
            static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
        const std::uint16_t time = (12 << 11) | (30 << 5) | 7;
        qputenv("TZ", zone);
        ::tzset();
        const std::int64_t converted = fat_time_to_seconds(date, time);
        qputenv("TZ", "UTC");
        ::tzset();
        QCOMPARE(converted, seconds);
    }

    // A volume the engine cannot read ends with only the root and says why.
    void unreadable_volume_says_why_data() {
        QTest::addColumn<bool>("located");
        QTest::newRow("4096-byte sectors") << true;
        QTest::newRow("not on any drive") << false;
    }
    void unreadable_volume_says_why() {
        QFETCH(bool, located);
        QString error;
        auto image = fat_image_c::make(4096, {"-S", "4096"}, &error);
        QVERIFY2(image, qPrintable(error));
        volume_item_s target = memory_volume("big-sectors", image->shared());
        if (!located) {
            target.volume_name = "mem:nothing-here";
        }
        fat_recovery_c engine;
        run_to_end(engine, target);
        QCOMPARE(engine.nodes().size(), 1);
        const QString why = engine.get_error_text();
        QVERIFY2(why.contains(located ? "512-byte sectors" : "not found"), qPrintable(why));
        engine.reset();
        QVERIFY(engine.get_error_text().isEmpty());
    }

    // A restore reads the drive that was scanned: when the drives were listed again and its
    // slot holds another drive, the restore fails, says why and writes nothing.
    void restore_refuses_a_drive_that_moved() {
        if (!fixture_exists("fat/fat12.img") || !fixture_exists("disks/floppy.img")) {
            QSKIP("fixtures were not made");
        }
        const QString scanned = fixture_path("fat/fat12.img");
        volume_item_s target;
        QVERIFY(target_of(scanned, 0, &target));
        fat_recovery_c engine;
        run_to_end(engine, target);
        std::uint32_t key = 0;
        for (const fat_node& node : engine.nodes()) {
            if (!(node.attributes & fat_attr_directory) && node.size > 0) {
                key = node.first_cluster;
            }
        }
        QVERIFY(key != 0);
        QTemporaryDir out;
        QCOMPARE(engine.restore_file(key, out.filePath("before")), 0);
        use_images({fixture_path("disks/floppy.img"), scanned});  // a new drive comes first
        QCOMPARE(engine.restore_file(key, out.filePath("moved")), -1);
        QVERIFY2(engine.get_error_text().contains("scan the volume again"),
                 qPrintable(engine.get_error_text()));
        QVERIFY(!QFileInfo::exists(out.filePath("moved")));
        use_images({scanned});
        QCOMPARE(engine.restore_file(key, out.filePath("back")), 0);
        QCOMPARE(sha256_of_file(out.filePath("back")), sha256_of_file(out.filePath("before")));
    }

    // The tree is linked by keys: a copy of the results stays whole when the engine's own
    // table goes.
    void results_are_linked_by_key() {
        QString error;
        auto image = fat_image_c::make(1440, {"-F", "12", "-s", "1", "-S", "512"}, &error);
        QVERIFY2(image, qPrintable(error));
        image->put_entry(image->root_offset(), "DIR        ", fat_attr_directory, 10, 0);
        image->set_fat(10, 0xFFF);
        image->put_entry(image->cluster_offset(10), "XONE    TXT", 0x20, 50, 100, true);
        image->put_entry(image->cluster_offset(10) + 32, "XTWO    TXT", 0x20, 60, 100, true);
        fat_recovery_c engine;
        run_to_end(engine, memory_volume("linked", image->shared()));
        QHash<std::uint32_t, fat_node> copy = engine.nodes();
        copy[0].has_files = 1;  // the copy gets its own nodes
        engine.reset();
        QCOMPARE(copy.value(0).children, QList<std::uint32_t>{10});
        QStringList names;
        for (const std::uint32_t key : copy.value(10).children) {
            names << copy.value(key).name;
        }
        names.sort();
        QCOMPARE(names, (QStringList{"#ONE.TXT", "#TWO.TXT"}));
    }

    void hostile_names_are_made_safe_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("safe");
        QTest::newRow("slash") << "../../etc/passwd"
                               << ".._.._etc_passwd";
        QTest::newRow("dot") << "."
                             << "_.";
        QTest::newRow("dot dot") << ".."
                                 << "_..";
        QTest::newRow("empty") << ""
                               << "_";
        QTest::newRow("nul and control") << QString("a") + QChar(0) + "b\x01"
                                         << "a_b_";
        QTest::newRow("backslash") << "a\\b"
                                   << "a_b";
        QTest::newRow("plain") << "#ILE.TXT"
                               << "#ILE.TXT";
        QTest::newRow("unicode") << "写真 2024.jpg"
                                 << "写真 2024.jpg";
    }
    void hostile_names_are_made_safe() {
        QFETCH(QString, name);
        QFETCH(QString, safe);
        QCOMPARE(safe_file_name(name), safe);
    }

    void same_names_never_overwrite() {
        QTemporaryDir out;
        QSet<QString> used;
        const QString a = unique_path(out.path(), "#ILE.TXT", &used);
        const QString b = unique_path(out.path(), "#ILE.TXT", &used);
        QFile existing(out.filePath("report.doc"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        const QString c = unique_path(out.path(), "report.doc", &used);
        QCOMPARE(a, out.filePath("#ILE.TXT"));
        QCOMPARE(b, out.filePath("#ILE (2).TXT"));
        QCOMPARE(c, out.filePath("report (2).doc"));
        const QString long_name = unique_path(out.path(), QString(300, QChar(u'é')), &used);
        QVERIFY(QFileInfo(long_name).fileName().toUtf8().size() <= 255);
        QVERIFY(long_name.startsWith(out.path() + '/'));
    }
};

QTEST_GUILESS_MAIN(test_fat_engine)
#include "test_fat_engine.moc"
