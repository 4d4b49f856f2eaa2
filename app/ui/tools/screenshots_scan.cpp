// The scan page's screenshots: a finished quick scan of a FAT32 image with a folder open and
// a text file previewed, a finished deep scan with a picture previewed, and the grid of
// thumbnails after a deep scan of a camera card.

#include "app/ui/tools/screenshots_scan.h"

#include "app/ui/main_window.h"
#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/thumb_loader.h"
#include "result/ui/thumb_view.h"
#include "result/ui/tree_model.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QTreeView>

namespace {

// Runs the event loop until done() holds or 60 s have passed.
template <typename Done>
bool wait_for(Done done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60000) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return true;
}

QModelIndex folder_index(TreeModel* model, const QString& path) {
    std::vector<QModelIndex> stack{QModelIndex()};
    while (!stack.empty()) {
        const QModelIndex parent = stack.back();
        stack.pop_back();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            if (TreeModel::node_of(index)->path() == path) {
                return index;
            }
            stack.push_back(index);
        }
    }
    return {};
}

// Opens the folder and previews its first file whose name ends with one of the suffixes.
bool open_and_preview(recovery_window_c* page, const QString& folder, const QStringList& ends) {
    auto* tree = page->findChild<QTreeView*>(QStringLiteral("tv_dirtree"));
    const QModelIndex index = folder_index(page->tree_model_now(), folder);
    if (!index.isValid()) {
        return false;
    }
    tree->setCurrentIndex(index);
    page->on_tree_clicked(index);
    const auto& files = page->files();
    for (int row = 0; row < static_cast<int>(files.size()); ++row) {
        for (const QString& end : ends) {
            if (files[static_cast<std::size_t>(row)].name.endsWith(end, Qt::CaseInsensitive)) {
                const QModelIndex cell = page->table_model_now()->index(row, 1);
                page->file_table()->setCurrentIndex(cell);
                page->on_list_clicked(cell);
                return wait_for([page] { return page->preview_is_shown(); });
            }
        }
    }
    return false;
}

}  // namespace

bool shoot_scan_page(main_window_c* window, const QString& image, int partition, bool deep,
                     const QString& path, const QString& folder) {
    if (!QFileInfo(image).isFile()) {
        return false;
    }
    platform::clear_images();
    QString error;
    if (!platform::add_image(image, &error)) {
        return false;
    }
    static bool opened = false;  // the drive table is opened once, then reopened
    if (!opened) {
        opened = true;
        disk_open_all();
    } else {
        disk_reopen_all();
    }
    enumerate_volumes();
    volume_item_s target;
    if (deep) {  // the whole image, which holds no file system
        target.device_name = target.volume_name = target.path =
            QFileInfo(image).canonicalFilePath();
        target.total_bytes = static_cast<std::uint64_t>(QFileInfo(image).size());
    } else {
        bool found = false;
        for (std::size_t row = 1; row < volume_list.size() && !found; ++row) {
            if (volume_list[row].partition_number == partition) {
                target = volume_list[row];
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    recovery_window_c* page = window->recovery_page;
    window->show_page(4);
    if (page->scan_volume(target, deep) != 0 || !wait_for([] { return !scanning; })) {
        return false;
    }
    const bool shown =
        deep ? open_and_preview(page, QStringLiteral("/png"), {QStringLiteral(".png")})
             : open_and_preview(page, folder.isEmpty() ? QStringLiteral("/docs") : folder,
                                {QStringLiteral(".txt")});
    QApplication::processEvents();
    const bool saved = shown && window->grab().save(path);
    window->abort_scan();
    return saved;
}

bool deep_scan_whole_image(main_window_c* window, const QString& image) {
    if (!QFileInfo(image).isFile()) {
        return false;
    }
    platform::clear_images();
    QString error;
    if (!platform::add_image(image, &error)) {
        return false;
    }
    disk_reopen_all();
    enumerate_volumes();
    volume_item_s target;
    target.device_name = target.volume_name = target.path = QFileInfo(image).canonicalFilePath();
    target.total_bytes = static_cast<std::uint64_t>(QFileInfo(image).size());
    window->show_page(4);
    return window->recovery_page->scan_volume(target, true) == 0 &&
           wait_for([] { return !scanning; });
}

bool shoot_thumbnail_grid(main_window_c* window, const QString& image, const QString& path) {
    if (!deep_scan_whole_image(window, image)) {
        return false;
    }
    recovery_window_c* page = window->recovery_page;
    auto* tree = page->findChild<QTreeView*>(QStringLiteral("tv_dirtree"));
    const QModelIndex index = folder_index(page->tree_model_now(), QStringLiteral("/jpg"));
    if (!index.isValid()) {
        return false;
    }
    tree->setCurrentIndex(index);
    page->on_tree_clicked(index);
    page->show_grid(true);
    QApplication::processEvents();
    page->picture_grid()->request_now();
    thumb_loader_c* thumbs = page->thumb_loader();
    const bool made = wait_for([thumbs] { return thumbs->idle(); });
    QElapsedTimer settle;  // the grid's last repaints
    settle.start();
    while (settle.elapsed() < 300) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    const bool saved = made && window->grab().save(path);
    page->show_grid(false);
    window->abort_scan();
    return saved;
}
