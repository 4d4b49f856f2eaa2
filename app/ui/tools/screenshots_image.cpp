#include "app/ui/tools/screenshots_image.h"

#include "app/ui/main_window.h"
#include "device/drive_list.h"
#include "device/ui/image_dialog.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPixmap>

bool shoot_image_dialog(main_window_c* window, const QString& path) {
    if (drive_list.size() < 2) {
        return false;
    }
    window->show_page(2);
    const QString drive = drive_list[1].name;
    // A folder a user would choose, not the one the pictures are made in.
    image_dialog_c dialog(window, drive, QStringLiteral("/media/backup/rescued-disk.img"));
    rescue_progress_s progress;
    progress.size = drive_list[1].size;
    progress.rescued = progress.size / 100 * 62;
    progress.bad_bytes = 7 * 512;
    progress.bad_areas = 3;
    progress.pass = 1;
    // A failing disk read slowly: the time left is what is left at that speed.
    progress.seconds_left = 754;
    progress.bytes_per_second = static_cast<double>(progress.size - progress.rescued) /
                                static_cast<double>(progress.seconds_left);
    dialog.show_progress(progress);
    dialog.show();
    QApplication::processEvents();
    QPixmap picture = window->grab();
    const QPixmap box = dialog.grab();
    {
        QPainter painter(&picture);
        const QPoint at((picture.width() - box.width()) / 2, (picture.height() - box.height()) / 2);
        painter.fillRect(QRect(at - QPoint(1, 1), box.size() + QSize(2, 2)), QColor(81, 149, 206));
        painter.drawPixmap(at, box);
    }
    dialog.hide();
    return picture.save(path);
}
