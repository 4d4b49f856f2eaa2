// "Save drive as image..." on the drive page: the image is made, added as a drive and
// remembered; the copy can be paused and stopped and continues from its map; a file on the
// drive itself is refused.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/imaging/rescue_map.h"
#include "device/platform/platform_device.h"
#include "device/ui/drive_window.h"
#include "device/ui/image_dialog.h"
#include "device/volume_list.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_drive_window.h"

#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A FAT32 volume of mib MiB made by mkfs.fat.
bool make_fat_image(const QString& path, int mib) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(mib) * 1024 * 1024)) {
        return false;
    }
    file.close();
    return QProcess::execute("mkfs.fat", {"-F", "32", "-n", "ORVIMAGE", path}) == 0;
}

QString label(QWidget* dialog, const char* name) {
    auto* l = dialog->findChild<QLabel*>(QLatin1String(name));
    return l ? l->text() : QString();
}

}  // namespace

class test_image_dialog : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString image;

    void start_up_with(main_window_c* window, const QStringList& images) {
        use_images(images);
        enumerate_volumes();
        enumerate_physical_drives();
        window->on_init_finished();
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        init_done = 1;
        image = dir.filePath("a.img");
        if (!make_fat_image(image, 34)) {
            QSKIP("mkfs.fat did not run");
        }
    }

    void saves_adds_and_refuses() {
        main_window_c window;
        window.show();
        start_up_with(&window, {image});
        window.show_page(2);
        QPushButton* button = window.drive_page->btn_image;
        QVERIFY(button && button->isVisible());
        QCOMPARE(button->text(), text("image_save"));

        window.drive_page->form->lv_drives->setCurrentIndex({});
        {
            box_answer_c warning(QMessageBox::Ok);
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(warning.text, text("main_warning1"));
        }
        QListView* list = window.drive_page->form->lv_drives;
        list->setCurrentIndex(list->model()->index(1, 0));
        {
            file_dialog_answer_c file(image);  // the drive's own file
            box_answer_c warning(QMessageBox::Ok);
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(file.dialogs, 1);
            QCOMPARE(warning.text, text("image_same_drive"));
            QVERIFY(!window.findChild<image_dialog_c*>());
        }
        const QString copy = dir.filePath("copy.img");
        {
            file_dialog_answer_c file(copy);
            box_answer_c question(QMessageBox::Yes);
            QTest::mouseClick(button, Qt::LeftButton);
            auto* dialog = window.findChild<image_dialog_c*>();
            QVERIFY(dialog);
            QTRY_COMPARE_WITH_TIMEOUT(question.boxes, 1, 30000);
            QVERIFY2(question.text.startsWith(text("image_complete")), qPrintable(question.text));
            QVERIFY(question.text.endsWith(text("image_scan_question")));
        }
        // the volume page, with the image's volume among the drives
        QCOMPARE(window.current_index(), 1);
        QCOMPARE(read_file(copy), read_file(image));
        QVERIFY(settings_images().contains(QFileInfo(copy).canonicalFilePath()));
        QTRY_VERIFY_WITH_TIMEOUT(!window.refreshing(), 20000);
        bool listed = false;
        for (const drive_item_s& drive : drive_list) {
            listed = listed || drive.name == QFileInfo(copy).canonicalFilePath();
        }
        QVERIFY(listed);
        rescue_map_c map;
        QString error;
        QVERIFY2(map.parse(read_file(copy + ".map"), QFileInfo(image).size(), &error),
                 qPrintable(error));
        QCOMPARE(map.bytes('+'), static_cast<std::uint64_t>(QFileInfo(image).size()));
        settings().remove(QStringLiteral("images"));
        platform::clear_images();
    }

    // Pause holds the copy; Stop ends it with the map written, and the same image file
    // continues from the map to the same bytes.
    void pauses_stops_and_continues() {
        const QString big = dir.filePath("big.img");
        {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(512LL << 20));  // sparse; data at both ends
            file.seek(0);
            file.write(QByteArray(4096, 'A'));
            file.seek((512LL << 20) - 4096);
            file.write(QByteArray(4096, 'Z'));
        }
        main_window_c window;
        start_up_with(&window, {big});
        const QString copy = dir.filePath("big-copy.img");
        auto* dialog = window.image_dialog(QFileInfo(big).canonicalFilePath(), copy);
        dialog->start();
        auto* pause = dialog->findChild<QPushButton*>("image_pause");
        auto* stop = dialog->findChild<QPushButton*>("image_stop");
        QVERIFY(pause && stop);
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(pause->text(), text("image_resume"));
        QTest::qWait(600);
        const QString held = label(dialog, "image_rescued");
        QTest::qWait(600);
        QCOMPARE(label(dialog, "image_rescued"), held);
        QTest::mouseClick(stop, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(stop->text(), text("image_close"), 20000);
        QCOMPARE(dialog->findChildren<QLabel*>().last()->text(), text("image_stopped"));
        rescue_map_c map;
        QString error;
        QVERIFY(map.parse(read_file(copy + ".map"), 512ULL << 20, &error));
        QVERIFY(map.bytes('?') > 0);
        delete dialog;

        // Started again with the same image file: it continues and completes.
        box_answer_c question(QMessageBox::No);
        auto* again = window.image_dialog(QFileInfo(big).canonicalFilePath(), copy);
        again->start();
        QTRY_COMPARE_WITH_TIMEOUT(question.boxes, 1, 120000);
        QVERIFY(question.text.startsWith(text("image_complete")));
        QFile out(copy);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.size(), 512LL << 20);
        QCOMPARE(out.read(4096), QByteArray(4096, 'A'));
        out.seek((512LL << 20) - 4096);
        QCOMPARE(out.read(4096), QByteArray(4096, 'Z'));
        delete again;
        settings().remove(QStringLiteral("images"));
        platform::clear_images();
    }
};

QTEST_MAIN(test_image_dialog)
#include "test_image_dialog.moc"
