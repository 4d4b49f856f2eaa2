// The map of the drive on the partition page: partitions drawn to scale in the colour of
// their file system, gaps left grey, and a selection that follows the list and leads it.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "partition/ui/partition_map.h"
#include "partition/ui/partition_model.h"
#include "partition/ui/partition_window.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_partition_window.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

partition_item_s item(const char* fs, std::uint64_t first, std::uint64_t last) {
    partition_item_s p;
    p.fs_name = QString::fromLatin1(fs);
    p.start_sector = first;
    p.end_sector = last;
    return p;
}

}  // namespace

class test_partition_map : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
    }

    // Widths follow the sizes; a tiny partition on a huge drive stays visible and clickable;
    // what lies past the drive is not drawn.
    void drawn_to_scale() {
        partition_map_c map;
        map.resize(1002, 40);  // a bar 1000 pixels wide
        const std::uint64_t drive = 1000000;
        map.set_partitions({item("ext4", 0, 249999), item("swap", 500000, 999999),
                            item("NTFS", 250000, 250009), item("XFS", 2000000, 2000100)},
                           drive);
        QCOMPARE(map.partition_rect(0).width(), 250);
        QCOMPARE(map.partition_rect(1).width(), 500);
        QCOMPARE(map.partition_rect(1).right(), 1000);
        QVERIFY(map.partition_rect(2).width() >= 4);
        QVERIFY(map.partition_rect(3).isEmpty());
        QVERIFY(map.partition_rect(9).isEmpty());
        QSignalSpy clicked(&map, &partition_map_c::partition_clicked);
        QTest::mouseClick(&map, Qt::LeftButton, {}, map.partition_rect(2).center());
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(clicked.at(0).at(0).toInt(), 2);
        QCOMPARE(map.selected(), 2);
        // A click in the gap selects nothing new.
        QTest::mouseClick(&map, Qt::LeftButton, {}, QPoint(400, 20));
        QCOMPARE(clicked.size(), 1);
        map.set_partitions({item("ext4", 0, 9)}, drive);
        QCOMPARE(map.selected(), -1);
    }

    void colours_by_file_system() {
        QSet<QRgb> seen;
        for (const char* fs : {"NTFS", "FAT32", "exFAT", "ext4", "XFS", "btrfs", "swap"}) {
            seen.insert(partition_map_c::fs_colour(QString::fromLatin1(fs)).rgb());
        }
        QCOMPARE(seen.size(), 7);
        QCOMPARE(partition_map_c::fs_colour(QStringLiteral("FAT16")),
                 partition_map_c::fs_colour(QStringLiteral("FAT32")));
        QCOMPARE(partition_map_c::fs_colour(QStringLiteral("ext3")),
                 partition_map_c::fs_colour(QStringLiteral("ext4")));
    }

    // After a search of a disk with two FAT32 volumes, a click on the map selects the row in
    // the list, and a row chosen in the list is selected on the map.
    void selection_in_step_with_the_list() {
        const QString disk = dir.filePath("two.img");
        QFile file(disk);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(200LL * 1024 * 1024));
        file.close();
        for (const char* offset : {"2048", "200000"}) {
            if (QProcess::execute("mkfs.fat", {"-F", "32", "--offset", offset, disk, "66000"}) !=
                0) {
                QSKIP("mkfs.fat did not run");
            }
        }
        init_done = 1;
        auto window = std::make_unique<main_window_c>();
        window->resize(800, 600);
        window->show();
        use_images({disk});
        enumerate_physical_drives();
        partition_window_c* page = window->partition_page;
        window->show_page(3);
        QCOMPARE(page->start_partition_search(drive_list.at(1)), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!page->worker.isRunning(), 60000);
        QTRY_COMPARE(page->form->btn_stop->text(), text("btn_start"));  // finished() handled
        QCOMPARE(page->model->rowCount(), 3);
        partition_map_c* map = page->map;
        QVERIFY(map->isVisible());
        QVERIFY(map->geometry().bottom() < page->form->lv_volumes->geometry().top());
        const QRect second = map->partition_rect(1);
        QVERIFY2(!second.isEmpty(), qPrintable(QStringLiteral("map %1 wide, drive %2 bytes")
                                                   .arg(map->width())
                                                   .arg(page->worker.current_drive().size)));
        QVERIFY(second.left() > map->partition_rect(0).right());
        QTest::mouseClick(map, Qt::LeftButton, {}, second.center());
        QCOMPARE(page->form->lv_volumes->currentIndex().row(), 2);
        page->form->lv_volumes->setCurrentIndex(page->model->index(1, 0));
        QCOMPARE(map->selected(), 0);
        page->form->lv_volumes->setCurrentIndex(page->model->index(0, 0));  // the titles
        QCOMPARE(map->selected(), -1);
    }
};

QTEST_MAIN(test_partition_map)
#include "test_partition_map.moc"
