// The volume and drive pages: what their delegates paint, their models, the main window's
// answers to their buttons, the refresh off the user-interface thread, and disk images
// added from the settings menu.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/ui/drive_delegate.h"
#include "device/ui/drive_model.h"
#include "device/ui/drive_window.h"
#include "device/ui/volume_delegate.h"
#include "device/ui/volume_model.h"
#include "device/ui/volume_window.h"
#include "device/volume_list.h"
#include "result/ui/recovery_window.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_drive_window.h"
#include "ui_volume_window.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QListView>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A main window whose "Open disk image..." answers with a path instead of a dialog.
class image_window_c : public main_window_c {
  public:
    QString answer;

  protected:
    QString ask_image_path() override { return answer; }
};

const QColor even_colour(241, 250, 255);
const QColor header_colour(232, 246, 255);
const QColor selected_colour(81, 149, 206);

// Paints one row of 600 x 30 pixels on white, as row 'row' of a one-record model.
template <typename record, typename delegate>
QImage paint_row(const record& item, int row, bool selected) {
    struct one_row_model : QAbstractListModel {
        record item;
        int row = 0;
        int rowCount(const QModelIndex& parent) const override {
            return parent.isValid() ? 0 : row + 1;
        }
        QVariant data(const QModelIndex&, int role) const override {
            return role == Qt::DisplayRole ? QVariant::fromValue(item) : QVariant();
        }
    } model;
    model.item = item;
    model.row = row;
    QImage image(600, 30, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 600, 30);
    option.state = selected ? QStyle::State_Selected : QStyle::State_None;
    delegate().paint(&painter, option, model.index(row, 0));
    return image;
}

volume_item_s volume(std::uint64_t total, std::uint64_t free, bool known) {
    volume_item_s v;
    v.device_name = v.volume_name = v.path = QStringLiteral("/images/a.img");
    v.file_system = QStringLiteral("FAT32");
    v.total_bytes = total;
    v.free_bytes = free;
    v.free_known = known;
    return v;
}

bool make_fat_image(const QString& path, int mib) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(mib) * 1024 * 1024)) {
        return false;
    }
    file.close();
    return QProcess::execute("mkfs.fat", {"-F", "32", "-n", "ORVPAGE", path}) == 0;
}

void select_row(QListView* view, int row) {
    view->setCurrentIndex(view->model()->index(row, 0));
}

}  // namespace

class test_device_pages : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString image_a, image_b, image_c;

    // The devices as start-up leaves them, for these images only.
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
        image_a = dir.filePath("a.img");
        image_b = dir.filePath("b.img");
        image_c = dir.filePath("c.img");
        for (const QString& image : {image_a, image_b, image_c}) {
            if (!make_fat_image(image, 34)) {
                QSKIP("mkfs.fat did not run");
            }
        }
    }

    void cleanup() {
        platform::clear_images();
        settings().remove(QStringLiteral("images"));
        settings().sync();
    }

    void models_pass_the_tester() {
        volume_list = {volume_item_s{}, volume(100, 10, true)};
        drive_list = {drive_item_s{}, drive_item_s{}};
        volume_model_c volumes(volume_list);
        drive_model_c drives(drive_list);
        QAbstractItemModelTester volume_tester(
            &volumes, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester drive_tester(
            &drives, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(volumes.rowCount(), 2);
        QCOMPARE(volumes.rowCount(volumes.index(0, 0)), 0);
        QVERIFY(!volumes.data(volumes.index(1, 0), Qt::DecorationRole).isValid());
        QCOMPARE(volumes.data(volumes.index(1, 0)).value<volume_item_s>().free_bytes, 10ULL);
        QCOMPARE(drives.rowCount(), 2);
    }

    // Shading, selection and the header row (the header is painted over the even shade).
    void row_backgrounds_data() {
        QTest::addColumn<bool>("drive");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<bool>("header");
        QTest::addColumn<QColor>("colour");
        for (bool drive : {false, true}) {
            const char* page = drive ? "drive" : "volume";
            QTest::addRow("%s header row", page) << drive << 0 << false << true << header_colour;
            QTest::addRow("%s selected header", page)
                << drive << 0 << true << true << header_colour;
            QTest::addRow("%s odd row", page) << drive << 1 << false << false << QColor(Qt::white);
            QTest::addRow("%s even row", page) << drive << 2 << false << false << even_colour;
            QTest::addRow("%s selected odd", page)
                << drive << 1 << true << false << selected_colour;
            QTest::addRow("%s selected even", page)
                << drive << 2 << true << false << selected_colour;
        }
    }
    void row_backgrounds() {
        QFETCH(bool, drive);
        QFETCH(int, row);
        QFETCH(bool, selected);
        QFETCH(bool, header);
        QFETCH(QColor, colour);
        QImage image;
        if (drive) {
            drive_item_s item;
            if (!header) {
                item.name = "/dev/sdz";
                item.geometry = std::make_shared<DISK_GEOMETRY>();
            }
            image = paint_row<drive_item_s, drive_delegate_c>(item, row, selected);
        } else {
            image = paint_row<volume_item_s, volume_delegate_c>(
                header ? volume_item_s{} : volume(100, 50, true), row, selected);
        }
        QCOMPARE(image.pixelColor(3, 2), colour);
        QCOMPARE(image.pixelColor(590, 27), colour);
    }

    // The usage bar grows with the used share; red at 20 % free or less, green above; grey
    // when the free space is unknown; only the outline without a size.
    void usage_bar_data() {
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("free");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("fill");  // red, green, grey, none
        QTest::newRow("10 % free") << quint64(1000) << quint64(100) << true << "red";
        QTest::newRow("20 % free") << quint64(1000) << quint64(200) << true << "red";
        QTest::newRow("21 % free") << quint64(1000) << quint64(210) << true << "green";
        QTest::newRow("full") << quint64(1000) << quint64(0) << true << "red";
        QTest::newRow("unknown") << quint64(1000) << quint64(0) << false << "grey";
        QTest::newRow("no size") << quint64(0) << quint64(0) << true << "none";
    }
    void usage_bar() {
        QFETCH(quint64, total);
        QFETCH(quint64, free);
        QFETCH(bool, known);
        QFETCH(QString, fill);
        const QImage row =
            paint_row<volume_item_s, volume_delegate_c>(volume(total, free, known), 1, false);
        const int x = static_cast<int>(600 * 0.32 + 14);  // inside the bar, at its start
        const int y = 15;
        QColor expected = Qt::white;
        if (fill == "grey") {
            expected = QColor::fromRgb(volume_delegate_c::unknown_colour);
        } else if (fill != "none") {
            const QImage texture(QStringLiteral(":/images/partition_search/%1.png").arg(fill));
            QVERIFY(!texture.isNull());
            expected = texture.pixelColor(x % texture.width(), (y - 6) % texture.height());
        }
        QCOMPARE(row.pixelColor(x, y), expected);
        // the fill ends where the used share ends: nothing past it
        const int wb = static_cast<int>(600 * 0.53 - 170);
        if (known && total != 0) {
            const int end = static_cast<int>(600 * 0.32 + 11) +
                            static_cast<int>((1.0 - double(free) / double(total)) * wb - 2);
            QCOMPARE(row.pixelColor(end + 2, y), QColor(Qt::white));
        }
    }

    void row_texts_data() {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("sizes");
        const QString free_of = text("recovery_free");
        QTest::newRow("no label, drive root") << ""
                                              << "C:\\" << true << text("local_disk") + " (C:)"
                                              << "500B" + free_of + "1000B";
        QTest::newRow("label, unmounted, free unknown")
            << "DATA"
            << "/dev/sdb1" << false << "DATA (/dev/sdb1)"
            << "-" + free_of + "1000B";
    }
    void row_texts() {
        QFETCH(QString, label);
        QFETCH(QString, path);
        QFETCH(bool, known);
        QFETCH(QString, caption);
        QFETCH(QString, sizes);
        volume_item_s v = volume(1000, 500, known);
        v.label = label;
        v.path = path;
        QCOMPARE(volume_delegate_c::caption(v), caption);
        QCOMPARE(volume_delegate_c::size_text(v), sizes);
    }

    // Start-up makes the first drive current and no volume; a double click on a volume
    // starts its scan; Scan on the drive page with no row or the header row is refused.
    void selection_and_double_click() {
        main_window_c window;
        window.show();
        start_up_with(&window, {image_a, image_b});
        QCOMPARE(drive_list.size(), std::size_t(3));
        QCOMPARE(window.drive_page->form->lv_drives->currentIndex().row(), 1);
        QCOMPARE(window.drive_page->selected_drive()->name, drive_list[1].name);
        QCOMPARE(window.volume_page->form->lv_volumes->currentIndex().row(), -1);

        window.show_page(1);
        QListView* view = window.volume_page->form->lv_volumes;
        QSignalSpy scan(window.volume_page, &volume_window_c::start_scan);
        box_answer_c no_deep_scan{QMessageBox::No};  // a scan that finds nothing offers one
        const QPoint centre = view->visualRect(view->model()->index(2, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, centre);
        QCOMPARE(scan.count(), 1);
        QCOMPARE(window.current_index(), 4);
        window.abort_scan();
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 20000);
    }

    // Refresh: drives that went are gone, new ones shown, and no row is current, so a Scan
    // cannot take another drive than the one the user saw.
    void refresh_when_drives_come_and_go() {
        main_window_c window;
        window.show();
        start_up_with(&window, {image_a, image_b, image_c});
        window.show_page(2);
        select_row(window.drive_page->form->lv_drives, 3);
        QCOMPARE(window.drive_page->selected_drive()->name, QFileInfo(image_c).canonicalFilePath());

        platform::clear_images();
        platform::add_image(image_a, nullptr);
        platform::add_image(image_c, nullptr);
        QTest::mouseClick(window.drive_page->form->btn_refresh, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.refreshing(), 20000);
        QCOMPARE(window.drive_page->model->rowCount(), 3);
        QCOMPARE(drive_list[2].name, QFileInfo(image_c).canonicalFilePath());
        QCOMPARE(window.drive_page->form->lv_drives->currentIndex().row(), -1);
        QVERIFY(!window.drive_page->selected_drive());
        {
            box_answer_c answer(QMessageBox::Ok);
            QTest::mouseClick(window.drive_page->form->btn_scan, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.text, text("main_warning1"));
            QCOMPARE(window.current_index(), 2);
        }

        // the volume page: its refresh also lists what came, and reads the free space
        platform::add_image(image_b, nullptr);
        window.show_page(1);
        QTest::mouseClick(window.volume_page->form->btn_refresh, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.refreshing(), 20000);
        QCOMPARE(window.volume_page->model->rowCount(), 4);
        QCOMPARE(window.volume_page->form->lv_volumes->currentIndex().row(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(!window.reading_free_space(), 20000);
        for (std::size_t row = 1; row < volume_list.size(); ++row) {
            QVERIFY(volume_list[row].free_known);
            QVERIFY(volume_list[row].free_bytes > 0 &&
                    volume_list[row].free_bytes < volume_list[row].total_bytes);
        }
    }

    // "Open disk image..." adds the image to both pages at once and to the settings, so a
    // new start lists it again; a file that cannot be a drive is refused with a warning.
    void open_image_from_the_menu() {
        {
            image_window_c window;
            window.show();
            start_up_with(&window, {image_a});
            window.answer = dir.path();  // a folder: refused
            {
                box_answer_c answer(QMessageBox::Ok);
                window.open_image_action->trigger();
                QCOMPARE(answer.boxes, 1);
                QVERIFY(answer.text.startsWith(text("image_open_error")));
            }
            QVERIFY(settings_images().isEmpty());

            window.answer = image_b;
            window.open_image_action->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!window.refreshing(), 20000);
            const QString canonical = QFileInfo(image_b).canonicalFilePath();
            QCOMPARE(window.volume_page->model->rowCount(), 3);
            QCOMPARE(window.drive_page->model->rowCount(), 3);
            QCOMPARE(drive_list[2].name, canonical);
            QVERIFY(
                std::any_of(volume_list.begin(), volume_list.end(),
                            [&](const volume_item_s& v) { return v.device_name == canonical; }));
            QCOMPARE(settings_images(), QStringList{canonical});
        }
        // a restart: the settings name the image again
        platform::clear_images();
        load_settings();
        platform::set_configured_images(settings_images());
        main_window_c window;
        init_c start_up;
        connect(&start_up, &init_c::init_finished, &window, &main_window_c::on_init_finished);
        start_up.start();
        QTRY_COMPARE_WITH_TIMEOUT(
            window.drive_page->model ? window.drive_page->model->rowCount() : 0, 2, 20000);
        QCOMPARE(drive_list[1].name, QFileInfo(image_b).canonicalFilePath());
        QCOMPARE(window.volume_page->model->rowCount(), 2);
        start_up.wait();
    }

    // A remembered image whose file is gone is dropped from the settings with a warning.
    void missing_remembered_image_is_dropped() {
        const QString gone = dir.filePath("gone.img");
        settings().setValue(QStringLiteral("images"), QStringList{gone, image_a});
        settings().sync();
        platform::set_configured_images(settings_images());
        main_window_c window;
        box_answer_c answer(QMessageBox::Ok);
        enumerate_volumes();
        enumerate_physical_drives();
        window.on_init_finished();
        QCOMPARE(answer.boxes, 1);
        QVERIFY(answer.text.startsWith(text("image_missing_warning")));
        QVERIFY(answer.text.contains(gone));
        QCOMPARE(settings_images(), QStringList{image_a});
        QCOMPARE(window.drive_page->model->rowCount(), 2);
    }
};

QTEST_MAIN(test_device_pages)
#include "test_device_pages.moc"
