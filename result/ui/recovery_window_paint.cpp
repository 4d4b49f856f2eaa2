// The scan page's geometry and painting: status line, progress, found count and preview.
#include "result/ui/recovery_window.h"

#include "app/settings.h"
#include "device/drive_list.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_file.h"
#include "skin/progress_bar.h"
#include "ui_recovery_window.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPainter>
#include <QTextOption>

void recovery_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    const int P = static_cast<int>((H - 143) * 0.4);
    const int Q = static_cast<int>((H - 143) * 0.6);
    form->btn_back->setGeometry(200, H - 49, 100, 30);
    form->btn_recovery->setGeometry(W - 300, H - 49, 100, 30);
    form->btn_pause->setGeometry(360, 29, 80, 30);
    form->btn_stop->setGeometry(470, 29, 80, 30);
    form->btn_filter->setGeometry(W - 130, 29, 80, 30);
    // The filter line takes the top of the table's place.
    const int filter_height = 24;
    filter->setGeometry(212, 79 + P + 7, std::min(260, W - 222), filter_height);
    table->setGeometry(212, 79 + P + 7 + filter_height + 2, W - 222, Q - filter_height - 2);
    form->tv_dirtree->setGeometry(10, 79, 193, H - 137);
    const int keep_width = keep_folders->sizeHint().width();
    keep_folders->setGeometry(W - 310 - keep_width, H - 45, keep_width, 24);
}

void recovery_window_c::paintEvent(QPaintEvent* event) {
    (void)event;
    if (!isVisible()) {
        return;
    }
    const int W = width();
    const int H = height();
    const int P = static_cast<int>((H - 143) * 0.4);
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, W, band.height()), QBrush(band));
    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(10, 13, W - 20, 60);
    painter.drawRect(212, 79, W - 222, P);

    painter.setFont(QFont(QStringLiteral("Verdana"), 10));
    QString status;
    if (worker && worker->isRunning()) {
        // A restoration shows its own progress on the bar and in the status line.
        const int total = static_cast<int>(worker->jobs().size());
        const int done = worker->files_done.load(std::memory_order_relaxed);
        const int current = worker->current.load(std::memory_order_relaxed);
        progress->value = total > 0 ? static_cast<double>(done) / total : 0.0;
        const QString name = current >= 0 && current < total
                                 ? worker->jobs()[static_cast<std::size_t>(current)].item.name
                                 : QString();
        status = text("recovery_restoring")
                     .arg(std::min(done + 1, total))
                     .arg(total)
                     .arg(format_size(worker->bytes_done.load(std::memory_order_relaxed)), name);
    } else if (deep_scan) {
        status = QStringLiteral("%1 %2").arg(
            text("raw_progress"), format_size(static_cast<std::uint64_t>(
                                      progress->value * static_cast<double>(volume.total_bytes))));
    } else {
        status = text("recovery_reading") + QString::number(session.current()->get_read_count());
    }
    progress->draw_bar(&painter, QRect(90, 38, 250, 12));
    painter.setPen(Qt::black);
    painter.drawText(90, 30, status);

    if (preview_shown) {
        paint_preview(painter, W, P);
    } else {
        painter.fillRect(213, 80, W - 223, static_cast<int>((H - 143) * 0.4 - 1), Qt::white);
    }
    const std::int64_t found = session.current()->get_found_count();
    if (found > 0) {
        painter.setPen(Qt::red);
        painter.drawText(90, 65,
                         QStringLiteral("%1 %2").arg(text("recovery_total_files")).arg(found));
    }
}

void recovery_window_c::paint_preview(QPainter& painter, int W, int P) {
    if (!preview_content_image.isNull()) {
        int h = P - 10;
        int w = static_cast<int>(static_cast<qint64>(h) * preview_content_image.width() /
                                 preview_content_image.height());
        if (w > W - 232) {  // a wide picture is fitted to the frame's width
            w = W - 232;
            h = static_cast<int>(static_cast<qint64>(w) * preview_content_image.height() /
                                 preview_content_image.width());
        }
        if (w > 0 && h > 0) {
            painter.drawImage(QRect((W - w - 222) / 2 + 212, 84, w, h), preview_content_image);
        }
        return;
    }
    if (preview_content_text.isEmpty()) {
        return;
    }
    painter.setPen(Qt::black);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    painter.drawText(QRectF(217, 84, W - 232, P - 10), preview_content_text, option);
}
