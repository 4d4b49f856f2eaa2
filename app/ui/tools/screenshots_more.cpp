// The screenshots of what the user is told: ticks and counts on a large window, the
// restoration's summary, a stopped deep scan, the repair question.

#include "app/ui/tools/screenshots_more.h"
#include "app/ui/tools/screenshots_scan.h"

#include "app/ui/main_window.h"
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "partition/ui/partition_window.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "ui_partition_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <functional>

namespace {

template <typename Done>
bool wait_for(Done done, int ms = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return true;
}

// Runs action, which opens modal dialogs: a file dialog gets folder, the first message box
// is drawn over the window into *picture and answered with answer, later ones with Ok.
void with_boxes(main_window_c* window, const QString& folder, QMessageBox::StandardButton answer,
                QPixmap* picture, const std::function<void()>& action) {
    QTimer poll;
    bool taken = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(folder);
            static_cast<QDialog*>(dialog)->accept();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || !box->isVisible()) {
            return;
        }
        if (!taken && picture) {
            taken = true;
            QPixmap shot = window->grab();
            QPainter painter(&shot);
            const QPoint at = window->mapFromGlobal(box->mapToGlobal(QPoint(0, 0)));
            const QPixmap face = box->grab();
            // A box the window manager did not place goes to the window's middle.
            const QPoint where = QRect(QPoint(0, 0), shot.size()).contains(QRect(at, face.size()))
                                     ? at
                                     : QPoint((shot.width() - face.width()) / 2,
                                              (shot.height() - face.height()) / 2);
            painter.setPen(QColor(90, 90, 90));
            painter.drawRect(QRect(where - QPoint(1, 1), face.size() + QSize(1, 1)));
            painter.drawPixmap(where, face);
            *picture = shot;
            QAbstractButton* button = box->button(answer);
            (button ? button : box->buttons().value(0))->click();
            return;
        }
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        (ok ? ok : box->buttons().value(0))->click();
    });
    poll.start(20);
    action();
}

bool quick_scan(main_window_c* window, const QString& image) {
    platform::clear_images();
    QString error;
    if (!platform::add_image(image, &error)) {
        return false;
    }
    disk_reopen_all();
    enumerate_volumes();
    for (std::size_t row = 1; row < volume_list.size(); ++row) {
        if (volume_list[row].partition_number == 1) {
            window->show_page(4);
            return window->recovery_page->scan_volume(volume_list[row], false) == 0 &&
                   wait_for([] { return !scanning; });
        }
    }
    return false;
}

// Highlights the first sub-folder of "/" with files and ticks it.
bool tick_a_folder(main_window_c* window) {
    recovery_window_c* page = window->recovery_page;
    TreeModel* model = page->tree_model_now();
    auto* tree = page->findChild<QTreeView*>(QStringLiteral("tv_dirtree"));
    const QModelIndex top = model->index(0, 0);
    for (int row = 0; row < model->rowCount(top); ++row) {
        const QModelIndex folder = model->index(row, 0, top);
        if (TreeModel::node_of(folder)->own_files > 0) {
            tree->expand(folder);
            tree->setCurrentIndex(folder);
            model->setData(folder, Qt::Checked, Qt::CheckStateRole);
            QApplication::processEvents();
            return true;
        }
    }
    return false;
}

bool save(const QPixmap& picture, const QString& path) {
    return !picture.isNull() && picture.save(path);
}

}  // namespace

bool shoot_scan_maximised(main_window_c* window, const QString& fat_image, const QString& path) {
    const QSize before = window->size();
    window->resize(1280, 1000);
    QApplication::processEvents();
    const bool shot =
        quick_scan(window, fat_image) && tick_a_folder(window) && save(window->grab(), path);
    window->abort_scan();
    window->resize(before);
    QApplication::processEvents();
    return shot;
}

bool shoot_restore_summary(main_window_c* window, const QString& fat_image, const QString& path) {
    QTemporaryDir to;
    if (!to.isValid() || !quick_scan(window, fat_image) || !tick_a_folder(window)) {
        window->abort_scan();
        return false;
    }
    QPixmap picture;
    recovery_window_c* page = window->recovery_page;
    with_boxes(window, to.path(), QMessageBox::Ok, &picture, [&] {
        page->findChild<QPushButton*>(QStringLiteral("btn_recovery"))->click();
        wait_for([&] { return !picture.isNull(); });
    });
    window->abort_scan();
    return save(picture, path);
}

bool shoot_deep_restore_summary(main_window_c* window, const QString& raw_image,
                                const QString& path) {
    // Every file of a deep scan restored: the summary counts those checked only at their
    // start apart.
    QTemporaryDir to;
    recovery_window_c* page = window->recovery_page;
    if (!to.isValid() || !deep_scan_whole_image(window, raw_image) || !page->tree_model_now()) {
        window->abort_scan();
        return false;
    }
    TreeModel* model = page->tree_model_now();
    model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole);
    QApplication::processEvents();
    QPixmap picture;
    with_boxes(window, to.path(), QMessageBox::Ok, &picture, [&] {
        page->findChild<QPushButton*>(QStringLiteral("btn_recovery"))->click();
        wait_for([&] { return !picture.isNull(); });
    });
    window->abort_scan();
    return save(picture, path);
}

namespace {

// The raw image's bytes at the start of a large sparse image, deep-scanned until a third of
// it is read; false when any step fails.
bool scan_a_third(main_window_c* window, const QString& raw_image, QTemporaryDir* folder) {
    const QString image = folder->filePath(QStringLiteral("card.img"));
    QFile in(raw_image);
    QFile out(image);
    if (!folder->isValid() || !in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly) ||
        out.write(in.readAll()) < 0 || !out.resize(qint64(6) << 30)) {
        return false;
    }
    out.close();
    platform::clear_images();
    QString error;
    if (!platform::add_image(image, &error)) {
        return false;
    }
    disk_reopen_all();
    volume_item_s whole;
    whole.device_name = whole.volume_name = whole.path = QFileInfo(image).canonicalFilePath();
    whole.total_bytes = quint64(6) << 30;
    recovery_window_c* page = window->recovery_page;
    window->show_page(4);
    return page->scan_volume(whole, true) == 0 &&
           wait_for([&] { return !scanning || page->engine()->get_progress() > 0.34; }) && scanning;
}

}  // namespace

bool shoot_stopped_scan(main_window_c* window, const QString& raw_image, const QString& path) {
    // The card's bytes at the start of a large sparse image: files found, then stopped.
    QTemporaryDir folder;
    if (!scan_a_third(window, raw_image, &folder)) {
        window->abort_scan();
        return false;
    }
    recovery_window_c* page = window->recovery_page;
    page->on_stop_clicked();
    with_boxes(window, QString(), QMessageBox::Ok, nullptr,
               [&] { wait_for([] { return !scanning; }); });
    page->on_timer();
    QApplication::processEvents();
    const bool shot = save(window->grab(), path);
    window->abort_scan();
    return shot;
}

bool shoot_paused_scan(main_window_c* window, const QString& raw_image, const QString& path) {
    QTemporaryDir folder;
    if (!scan_a_third(window, raw_image, &folder)) {
        window->abort_scan();
        return false;
    }
    recovery_window_c* page = window->recovery_page;
    page->on_pause_clicked();
    TreeModel* tree = page->tree_model_now();
    bool opened = false;
    if (tree && tree->rowCount() > 0) {
        const QModelIndex top = tree->index(0, 0);
        const QModelIndex first = tree->index(0, 0, top);
        if (first.isValid()) {
            page->findChild<QTreeView*>(QStringLiteral("tv_dirtree"))->setCurrentIndex(first);
            opened = !page->files().empty();
        }
    }
    page->on_timer();
    QApplication::processEvents();
    const bool shot = opened && save(window->grab(), path);
    window->abort_scan();
    return shot;
}

bool shoot_repair_refusal(main_window_c* window, const drive_item_s& drive, const QString& path) {
    window->partition_page->start_partition_search(drive);
    window->partition_page->worker.wait();
    QApplication::processEvents();
    window->partition_page->on_timer();
    window->show_page(3);
    QApplication::processEvents();
    QPixmap picture;
    with_boxes(window, QString(), QMessageBox::Ok, &picture,
               [&] { QMetaObject::invokeMethod(window->partition_page, "on_repair_clicked"); });
    return save(picture, path);
}

bool shoot_repair_question(main_window_c* window, const QString& path) {
    window->show_page(3);
    QApplication::processEvents();
    QPixmap picture;
    with_boxes(window, QString(), QMessageBox::No, &picture,
               [&] { window->partition_page->form->btn_repair->click(); });
    return save(picture, path);
}
