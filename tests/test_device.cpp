// Drives, volumes and sector access over real disk images made by sfdisk, mkfs.fat and mkntfs.
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray read_image(const QString& path, qint64 offset, qint64 length) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        return {};
    }
    return file.read(length);
}

const volume_item_s* find_volume(const QString& device_name) {
    for (const volume_item_s& v : volume_list) {
        if (v.device_name == device_name) {
            return &v;
        }
    }
    return nullptr;
}

// Every descriptor this process holds on the file is read-only.
bool opened_read_only_everywhere(const QString& path) {
    QDir fds(QStringLiteral("/proc/self/fd"));
    int seen = 0;
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFile::symLinkTarget(fds.filePath(fd)) != path) {
            continue;
        }
        QFile info(QStringLiteral("/proc/self/fdinfo/") + fd);
        if (!info.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("flags:")) {
                bool ok = false;
                int flags = line.mid(6).trimmed().toInt(&ok, 8);
                if (!ok || (flags & O_ACCMODE) != O_RDONLY) {
                    return false;
                }
                ++seen;
            }
        }
    }
    return seen > 0;
}

// A loop device attached for a test, detached at the end.
struct attached_loop_s {
    QString device;
    ~attached_loop_s() {
        if (!device.isEmpty()) {
            run_program(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
        }
    }
};

}  // namespace

class test_device : public QObject {
    Q_OBJECT
    QString mbr, gpt, floppy;

  private slots:
    void initTestCase() {
        mbr = QFileInfo(fixture_path("disks/mbr.img")).canonicalFilePath();
        gpt = QFileInfo(fixture_path("disks/gpt.img")).canonicalFilePath();
        floppy = QFileInfo(fixture_path("disks/floppy.img")).canonicalFilePath();
        if (mbr.isEmpty() || gpt.isEmpty() || floppy.isEmpty()) {
            QSKIP("disk fixtures were not made (tests/fixtures/make_disks.sh)");
        }
        register_device_meta_types();
    }

    // Every volume of the fixtures, as the fixture script's own record of sfdisk says.
    void volumes_match_the_fixture_record() {
        QCOMPARE(use_images({mbr, gpt, floppy}), 3);
        QCOMPARE(enumerate_volumes(), 0);
        QVERIFY(volume_list.at(0).device_name.isEmpty());
        QFile expected(fixture_path("disks/expected.txt"));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        const QStringList images{"mbr.img", "gpt.img", "floppy.img"};
        int rows = 0;
        for (const QByteArray& raw : expected.readAll().split('\n')) {
            const QStringList f = QString::fromUtf8(raw).split(' ', Qt::SkipEmptyParts);
            if (f.size() != 6) {
                continue;
            }
            ++rows;
            const QString image = QFileInfo(fixture_path("disks/" + f[0])).canonicalFilePath();
            const int partno = f[1].toInt();
            const QString device = partno == 0 ? image : image + '#' + f[1];
            const volume_item_s* v = find_volume(device);
            QVERIFY2(v, qPrintable(device));
            QCOMPARE(v->file_system, f[2]);
            QCOMPARE(v->label, f[3]);
            QCOMPARE(v->total_bytes, f[5].toULongLong());
            QCOMPARE(v->partition_number, partno);
            QCOMPARE(v->disk_number, static_cast<int>(images.indexOf(f[0])));
            QCOMPARE(v->free_bytes, 0ULL);
            QCOMPARE(v->path, v->device_name);
            volume_location_s where;
            QVERIFY(volume_locate(v->volume_name, &where));
            QCOMPARE(where.disk_number, v->disk_number);
            QCOMPARE(where.partition_number, partno);
            QCOMPARE(where.start_sector, f[4].toULongLong());
            // the boot sector of each volume is where the locator says
            QByteArray boot = read_image(image, static_cast<qint64>(where.start_sector) * 512, 512);
            QCOMPARE(boot.size(), 512);
            QCOMPARE(static_cast<unsigned char>(boot[510]), 0x55);
        }
        QCOMPARE(rows, 6);
        QCOMPARE(static_cast<int>(volume_list.size()), rows + 1);
    }

    void locate_accepts_a_trailing_slash_and_refuses_strangers() {
        use_images({mbr});
        volume_location_s a, b;
        QVERIFY(volume_locate(mbr + "#5", &a));
        QVERIFY(volume_locate(mbr + "#5/", &b));
        QCOMPARE(a.start_sector, b.start_sector);
        QVERIFY(!volume_locate(mbr + "#4", &a));  // the extended container is no volume
        QVERIFY(!volume_locate(mbr, &a));         // a partitioned disk is no volume itself
        QVERIFY(!volume_locate("/nonexistent#1", &a));
        QVERIFY(!volume_locate(QString(), &a));
    }

    void drive_list_has_a_header_row_and_exact_sizes() {
        use_images({mbr, floppy});
        QCOMPARE(enumerate_physical_drives(), 0);
        QCOMPARE(static_cast<int>(drive_list.size()), 3);
        QVERIFY(drive_list[0].name.isEmpty() && !drive_list[0].geometry);
        QCOMPARE(drive_list[1].name, mbr);
        QCOMPARE(drive_list[1].size, static_cast<quint64>(QFileInfo(mbr).size()));
        QCOMPARE(drive_list[2].size, 1474560ULL);
        QCOMPARE(drive_list[2].geometry->BytesPerSector, 512U);
        QCOMPARE(drive_list[2].geometry->TracksPerCylinder, 255U);
        QCOMPARE(drive_list[2].geometry->SectorsPerTrack, 63U);
    }

    void read_sectors_returns_the_exact_bytes() {
        QCOMPARE(use_images({mbr, floppy}), 2);
        QCOMPARE(disk_init_drive(0) & disk_status_not_initialised, 0);
        const quint64 last = QFileInfo(mbr).size() / 512 - 1;
        QByteArray buffer(128 * 512, 0);
        for (quint64 lba : {quint64(0), quint64(2048), quint64(71680), last - 127}) {
            QCOMPARE(disk_read_sectors(0, buffer.data(), lba, 128), disk_ok);
            QCOMPARE(buffer, read_image(mbr, static_cast<qint64>(lba * 512), 128 * 512));
        }
        QCOMPARE(disk_read_sectors(0, buffer.data(), last, 1), disk_ok);
        QCOMPARE(buffer.left(512), read_image(mbr, static_cast<qint64>(last * 512), 512));
        QCOMPARE(disk_read_sectors(1, buffer.data(), 2879, 1), disk_ok);
        QCOMPARE(buffer.left(512), read_image(floppy, 2879 * 512, 512));
    }

    void read_sectors_refuses_bad_requests() {
        QCOMPARE(use_images({floppy}), 1);
        QByteArray buffer(130 * 512, 0);
        QCOMPARE(disk_read_sectors(0, buffer.data(), 0, 129), disk_bad_parameter);
        QCOMPARE(disk_read_sectors(1, buffer.data(), 0, 1), disk_not_ready);
        QCOMPARE(disk_read_sectors(-1, buffer.data(), 0, 1), disk_not_ready);
        QCOMPARE(disk_read_sectors(9, buffer.data(), 0, 1), disk_not_ready);
        QCOMPARE(disk_read_sectors(0, buffer.data(), 2880, 1), disk_read_error);  // past the end
        QCOMPARE(disk_read_sectors(0, buffer.data(), 2879, 2),
                 disk_read_error);  // runs off the end
        QCOMPARE(disk_read_sectors(0, buffer.data(), ~0ULL / 256, 1),
                 disk_read_error);  // offset overflow
        QCOMPARE(disk_get_status(10), disk_status_not_initialised);
        QCOMPARE(disk_init_drive(10), disk_status_not_initialised);
    }

    void nothing_is_opened_for_writing() {
        use_images({mbr});
        enumerate_volumes();
        QVERIFY(opened_read_only_everywhere(mbr));
    }

    void monitor_marks_a_vanished_image_not_ready_data() {
        QTest::addColumn<bool>("truncate");
        QTest::newRow("deleted") << false;
        QTest::newRow("truncated to 0") << true;
    }
    void monitor_marks_a_vanished_image_not_ready() {
        QFETCH(bool, truncate);
        QTemporaryDir dir;
        const QString copy = dir.filePath("copy.img");
        QVERIFY(QFile::copy(floppy, copy));
        // the vanishing image is drive 1: slot 0 would be left alone were it a block device
        QCOMPARE(use_images({mbr, copy}), 2);
        QCOMPARE(disk_init_drive(1), std::uint8_t(disk_status_write_protected * 0));
        char sector[512];
        QCOMPARE(disk_read_sectors(1, sector, 0, 1), disk_ok);
        if (truncate) {
            QVERIFY(QFile::resize(copy, 0));
        } else {
            QVERIFY(QFile::remove(copy));
        }
        QTRY_VERIFY_WITH_TIMEOUT(disk_get_status(1) & disk_status_not_initialised, 3000);
        QCOMPARE(disk_read_sectors(1, sector, 0, 1), disk_not_ready);
        QCOMPARE(disk_get_status(0) & disk_status_not_initialised, 0);
    }

    void damaged_disks_are_reported_not_fatal_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<int>("volumes");
        QTest::newRow("truncated") << "truncated.img"
                                   << "starts past the end" << 0;
        QTest::newRow("overlap") << "overlap.img"
                                 << "overlap" << 2;
        QTest::newRow("past end") << "pastend.img"
                                  << "runs past the end" << 1;
        QTest::newRow("broken gpt") << "badgpt.img"
                                    << "neither GPT header" << 0;
    }
    void damaged_disks_are_reported_not_fatal() {
        QFETCH(QString, image);
        QFETCH(QString, warning);
        QFETCH(int, volumes);
        if (!fixture_exists("disks/" + image)) {
            QSKIP("fixture missing");
        }
        use_images({fixture_path("disks/" + image)});
        QCOMPARE(enumerate_volumes(), 0);
        QCOMPARE(static_cast<int>(volume_list.size()) - 1, volumes);
        QVERIFY2(volume_warnings.join('\n').contains(warning),
                 qPrintable(volume_warnings.join('\n')));
        for (std::size_t r = 1; r < volume_list.size(); ++r) {
            volume_location_s where;
            QVERIFY(volume_locate(volume_list[r].volume_name, &where));
            QVERIFY(where.start_sector * 512 <
                    static_cast<quint64>(QFileInfo(fixture_path("disks/" + image)).size()));
        }
    }

    void unusable_images_are_refused_in_plain_words_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("words");
        QTest::newRow("empty") << fixture_path("disks/empty.img") << "empty";
        QTest::newRow("directory") << QDir::tempPath() << "directory";
        QTest::newRow("missing") << "/nonexistent/disk.img"
                                 << "No such file";
    }
    void unusable_images_are_refused_in_plain_words() {
        QFETCH(QString, path);
        QFETCH(QString, words);
        QString error;
        QVERIFY(!platform::add_image(path, &error));
        QVERIFY2(error.contains(words), qPrintable(error));
    }

    void memory_drives_follow_the_images() {
        auto bytes = std::make_shared<QByteArray>(read_image(floppy, 0, 1474560));
        platform::add_memory_drive("floppy", bytes);
        QCOMPARE(use_images({mbr}), 2);
        char sector[512];
        QCOMPARE(disk_init_drive(1) & disk_status_not_initialised, 0);
        QCOMPARE(disk_read_sectors(1, sector, 1, 1), disk_ok);
        QCOMPARE(QByteArray(sector, 512), bytes->mid(512, 512));
        enumerate_volumes();
        const volume_item_s* v = find_volume("mem:floppy");
        QVERIFY(v);
        QCOMPARE(v->file_system, QStringLiteral("FAT12"));
        platform::clear_memory_drives();
    }

    // A mounted volume shows its mount point and the file system's sizes, and a folder on it
    // (existing or still to be made) is known to lie on it.
    void mounted_volume_shows_its_mount_point() {
        ntfs_mount_c mount;
        if (!mount.ready()) {
            QSKIP(qPrintable("no mounted test volume: " + mount.reason()));
        }
        use_images({mount.device()});
        enumerate_volumes();
        const volume_item_s* v = find_volume(mount.device());
        QVERIFY(v);
        QCOMPARE(v->file_system, QStringLiteral("NTFS"));
        QCOMPARE(v->path, mount.mount_point());
        QVERIFY(v->free_bytes > 0 && v->free_bytes < v->total_bytes);
        QVERIFY(platform::folder_on_volume(mount.mount_point(), mount.device()));
        QVERIFY(platform::folder_on_volume(mount.mount_point() + "/not/made/yet", mount.device()));
        QVERIFY(!platform::folder_on_volume(QDir::tempPath(), mount.device()));
        QVERIFY(!platform::folder_on_volume(mount.mount_point(), floppy));  // an image
    }

    // A drive that does not answer keeps its number in the drive list, as in the drive table
    // and the volume list.
    void silent_drive_keeps_its_slot() {
        auto bytes = std::make_shared<QByteArray>(read_image(floppy, 0, 1474560));
        platform::add_memory_drive("a", bytes);
        platform::add_memory_drive("silent", std::make_shared<QByteArray>());
        platform::add_memory_drive("b", bytes);
        QCOMPARE(use_images({}), 3);
        enumerate_physical_drives();
        QCOMPARE(static_cast<int>(drive_list.size()), 4);
        QCOMPARE(drive_list[2].name, QStringLiteral("mem:silent"));
        QCOMPARE(drive_list[2].size, 0ULL);
        QVERIFY(drive_list[2].geometry);
        QCOMPARE(drive_list[3].name, QStringLiteral("mem:b"));
        QCOMPARE(drive_list[3].size, 1474560ULL);
        enumerate_volumes();
        QCOMPARE(find_volume("mem:b")->disk_number, 2);
        QCOMPARE(disk_get_status(1), disk_status_not_initialised);
        platform::clear_memory_drives();
    }

    // The machine's disks first, then the user's images, loop devices last; past the limit
    // the rest are named, not dropped silently. Twelve loop devices push nothing out.
    void drives_are_ordered_and_none_dropped_silently_data() {
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QStringList>("left_out");
        QStringList loops;
        for (int n = 11; n >= 0; --n) {
            loops << QStringLiteral("/dev/loop%1").arg(n);
        }
        QStringList twelve_order{"/dev/nvme0n1", "/dev/vda", "img:/home/u/disk.img"};
        for (int n = 0; n <= 11; ++n) {
            twelve_order << QStringLiteral("/dev/loop%1").arg(n);
        }
        QTest::newRow("twelve loops")
            << (loops + QStringList{"/dev/vda", "img:/home/u/disk.img", "/dev/nvme0n1"})
            << twelve_order << QStringList{};
        QStringList many;
        QStringList many_order{"/dev/sda", "img:/home/u/disk.img"};
        QStringList many_out;
        for (int n = platform::max_drives; n >= 0; --n) {
            many << QStringLiteral("/dev/loop%1").arg(n);
        }
        for (int n = 0; n <= platform::max_drives; ++n) {
            (n < platform::max_drives - 2 ? many_order : many_out)
                << QStringLiteral("/dev/loop%1").arg(n);
        }
        QTest::newRow("past the limit")
            << (many + QStringList{"img:/home/u/disk.img", "/dev/sda"}) << many_order << many_out;
        QTest::newRow("few") << QStringList{"img:/b.img", "/dev/sdb", "img:/a.img", "/dev/sda"}
                             << QStringList{"/dev/sda", "/dev/sdb", "img:/b.img", "img:/a.img"}
                             << QStringList{};
    }
    void drives_are_ordered_and_none_dropped_silently() {
        QFETCH(QStringList, found);
        QFETCH(QStringList, order);
        QFETCH(QStringList, left_out);
        std::vector<platform::drive_desc_s> drives;
        for (const QString& name : found) {
            drives.push_back(
                name.startsWith("img:")
                    ? platform::drive_desc_s{name.mid(4), platform::drive_kind_e::image}
                    : platform::drive_desc_s{name, platform::drive_kind_e::block});
        }
        QStringList out;
        QStringList names;
        for (const platform::drive_desc_s& d : platform::arrange_drives(drives, &out)) {
            names << (d.kind == platform::drive_kind_e::image ? "img:" + d.name : d.name);
        }
        QCOMPARE(names, order);
        QCOMPARE(out, left_out);
    }

    // Snap packages are read-only loop devices over squashfs images: left out, while a
    // read-only loop device over a FAT image (a user's card image) stays listed.
    void package_loop_devices_are_left_out() {
        if (::geteuid() != 0) {
            QSKIP("attaching loop devices needs root");
        }
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkdir("content");
        QFile note(dir.filePath("content/note.txt"));
        QVERIFY(note.open(QIODevice::WriteOnly));
        note.write("a program's file\n");
        note.close();
        const QString squash = dir.filePath("app.squashfs");  // not named .snap: told by content
        if (!run_program("mksquashfs", {dir.filePath("content"), squash, "-quiet", "-noappend"})) {
            QSKIP("mksquashfs is missing (squashfs-tools)");
        }
        const QString fat = dir.filePath("card.img");
        QVERIFY(run_program("mkfs.fat", {"-C", fat, "2048"}));
        attached_loop_s package;
        attached_loop_s card;
        if (!run_program("losetup", {"-f", "--show", "-r", squash}, &package.device) ||
            !run_program("losetup", {"-f", "--show", "-r", fat}, &card.device)) {
            QSKIP("losetup cannot attach an image on this machine");
        }
        const QString package_sys = "/sys/block/" + package.device.section('/', -1);
        const QString card_sys = "/sys/block/" + card.device.section('/', -1);
        QVERIFY(platform::is_packaged_loop(package_sys));
        QVERIFY(!platform::is_packaged_loop(card_sys));
        QStringList names;
        const QByteArray before = qgetenv("ORVANE_BLOCK_DEVICES");
        qputenv("ORVANE_BLOCK_DEVICES", "1");  // this once, the machine's block devices
        for (const platform::drive_desc_s& d : platform::list_drives()) {
            names << d.name;
        }
        qputenv("ORVANE_BLOCK_DEVICES", before);
        QVERIFY2(!names.contains(package.device), qPrintable(names.join(' ')));
        QVERIFY2(names.contains(card.device), qPrintable(names.join(' ')));
    }

    void disk_names_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("disk");
        for (const char* name :
             {"sda", "sdab", "vdb", "hda", "xvda", "nvme0n1", "nvme12n3", "mmcblk0"}) {
            QTest::newRow(name) << QString(name) << true;
        }
        // nvme controllers and multipath paths, eMMC boot areas, RAM, optical, loops
        for (const char* name : {"nvme0", "nvme0c0n1", "mmcblk0boot0", "mmcblk0rpmb", "zram0",
                                 "ram0", "sr0", "dm-0", "loop0", "md0"}) {
            QTest::newRow(name) << QString(name) << false;
        }
    }
    void disk_names() {
        QFETCH(QString, name);
        QFETCH(bool, disk);
        QCOMPARE(platform::is_disk_name(name), disk);
    }
};

QTEST_GUILESS_MAIN(test_device)
#include "test_device.moc"
