// Starting, pausing, stopping and aborting scans through the session the scan page uses.
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "engine/scan_session.h"
#include "fat_image.h"
#include "test_support.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

std::unique_ptr<fat_image_c> slow_volume() {
    QString error;
    auto image = fat_image_c::looping_folders(1000, &error);
    if (!image) {
        qWarning("mkfs.fat failed: %s", qPrintable(error));
    }
    return image;
}

}  // namespace

class test_scan_session : public QObject {
    Q_OBJECT
    std::unique_ptr<fat_image_c> image;

  private slots:
    void initTestCase() {
        image = slow_volume();
        QVERIFY(image);
    }

    void before_the_first_scan_the_null_engine_answers() {
        scan_session_c session;
        QCOMPARE(session.current()->get_progress(), 0.0);
        QCOMPARE(session.current()->get_read_count(), 0);
        QCOMPARE(session.current()->get_found_count(), 0);
        QCOMPARE(session.current()->get_stop(), 1);
        session.abort();  // leaving the page before any scan changes nothing
        QCOMPARE(session.current()->get_stop(), 1);
        QVERIFY(!session.scanning());
    }

    void volumes_no_engine_reads_are_refused_data() {
        QTest::addColumn<QString>("file_system");
        QTest::newRow("exfat") << "exfat";
        QTest::newRow("ntfs") << "ntfs";
        QTest::newRow("empty") << "";
        QTest::newRow("xfs") << "xfs";
    }
    void volumes_no_engine_reads_are_refused() {
        QFETCH(QString, file_system);
        scan_session_c session;
        volume_item_s target = memory_volume("slow", image->shared(), "FAT16");
        target.file_system = file_system;
        recovery_base_c* before = session.current();
        QCOMPARE(session.start(target, false), -1);
        QCOMPARE(session.current(), before);
        QVERIFY(!session.scanning());
    }

    void a_start_while_scanning_is_refused_and_stop_keeps_results() {
        scan_session_c session;
        const volume_item_s target = memory_volume("slow", image->shared(), "FAT16");
        QCOMPARE(session.start(target, false), 0);
        QVERIFY(session.scanning());
        QCOMPARE(session.engine_kind(), engine_fat);
        QTRY_VERIFY_WITH_TIMEOUT(session.current()->get_read_count() > 0, 10000);
        QCOMPARE(session.start(target, false), -1);
        QVERIFY(session.current()->isRunning());
        QCOMPARE(session.toggle_pause(), 1);
        QTest::qWait(250);
        const auto held = session.current()->get_read_count();
        QTest::qWait(250);
        QCOMPARE(session.current()->get_read_count(), held);
        session.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!session.scanning(), 5000);  // finished() reached the session
        QVERIFY(session.has_results());
        QCOMPARE(session.current()->get_stop(), stop_keep);
        QCOMPARE(session.current()->get_progress(), 1.0);
        QVERIFY(session.fat_engine().nodes().size() > 1);
    }

    void abort_discards_the_results() {
        scan_session_c session;
        QCOMPARE(session.start(memory_volume("slow", image->shared(), "FAT16"), false), 0);
        QTRY_VERIFY_WITH_TIMEOUT(session.current()->get_read_count() > 0, 10000);
        session.toggle_pause();
        session.abort();
        QTRY_VERIFY_WITH_TIMEOUT(!session.scanning(), 5000);
        QVERIFY(!session.has_results());
        QVERIFY(session.fat_engine().nodes().isEmpty());
        QCOMPARE(session.current()->get_read_count(), 0);
    }

    void closing_during_a_scan_ends_the_thread_first() {
        auto session = std::make_unique<scan_session_c>();
        QCOMPARE(session->start(memory_volume("slow", image->shared(), "FAT16"), false), 0);
        QTRY_VERIFY_WITH_TIMEOUT(session->current()->get_read_count() > 0, 10000);
        session.reset();  // must wait for the engine thread, not crash under it
    }
};

QTEST_GUILESS_MAIN(test_scan_session)
#include "test_scan_session.moc"
