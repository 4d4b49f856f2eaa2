// The scan page's geometry and painting: status line, progress, found count and preview.
#include "result/ui/recovery_window.h"

#include "core/settings.h"
#include "device/drive_list.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_file.h"
#include "result/ui/thumb_view.h"
#include "result/ui/tree_model.h"
#include "skin/message_box.h"
#include "skin/progress_bar.h"
#include "ui_recovery_window.h"

#include <QCheckBox>
#include <QHelpEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextOption>
#include <QToolButton>
#include <QToolTip>

#include <algorithm>

namespace {

const QFont status_font() {
    return QFont(QStringLiteral("Verdana"), 10);
}

// The folder tree's width: the design's 193 pixels at 800 x 600, a quarter of a wider page.
int tree_width(int W) {
    return std::max(193, (W - 40) / 4);
}

}  // namespace

void recovery_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int W = width();
    const int H = height();
    const int P = static_cast<int>((H - 143) * 0.4);
    const int Q = static_cast<int>((H - 143) * 0.6);
    const int left = 10 + tree_width(W) + 9;  // 212 at 800 x 600
    form->btn_back->setGeometry(200, H - 49, 100, 30);
    form->btn_recovery->setGeometry(W - 300, H - 49, 100, 30);
    // The scan's buttons stand right of the status texts, which start right of the animation.
    form->btn_pause->setGeometry(W - 330, 29, 80, 30);
    form->btn_stop->setGeometry(W - 240, 29, 80, 30);
    form->btn_filter->setGeometry(W - 130, 29, 80, 30);
    // The filter line takes the top of the table's place. The grid of thumbnails, its own
    // preview, takes the preview's place too, the filter line above it.
    const int filter_height = 24;
    const int filter_y = grid_shown ? 79 : 79 + P + 7;
    const int filter_width = std::min(260, W - left - 10);
    filter->setGeometry(left, filter_y, filter_width, filter_height);
    table->setGeometry(left, 79 + P + 7 + filter_height + 2, W - left - 10, Q - filter_height - 2);
    grid->setGeometry(left, filter_y + filter_height + 2, W - left - 10,
                      79 + P + 7 + Q - filter_y - filter_height - 2);
    const int toggle_width = std::max(90, grid_toggle->sizeHint().width());
    grid_toggle->setGeometry(W - 10 - toggle_width, filter_y, toggle_width, filter_height);
    // Between the filter line and the toggle, cut to the room there (its tooltip says all).
    const int verified_x = left + filter_width + 10;
    verified_only->setGeometry(verified_x, filter_y,
                               std::max(0, std::min(verified_only->sizeHint().width(),
                                                    W - 20 - toggle_width - verified_x)),
                               filter_height);
    form->tv_dirtree->setGeometry(10, 79, tree_width(W), H - 137);
    const int keep_width = keep_folders->sizeHint().width();
    keep_folders->setGeometry(W - 310 - keep_width, H - 45, keep_width, 24);
    ticked->setGeometry(W - 190, H - 45, 180, 24);
    fit_columns();
}

void recovery_window_c::fit_columns() {
    if (!table || !header || header->count() < 5) {
        return;
    }
    // The tick column keeps its 33 pixels; the others share the rest, the name the most.
    const QScrollBar* bar = table->verticalScrollBar();
    const int width = table->width() - 2 - (bar->isVisible() ? bar->width() : 0);
    const int rest = std::max(0, width - 33);
    const int date = std::max(85, rest * 19 / 100);
    const int size = std::max(70, rest * 14 / 100);
    const int name = std::max(120, rest - size - 2 * date);
    header->resizeSection(0, 33);
    header->resizeSection(1, name);
    header->resizeSection(2, size);
    header->resizeSection(3, date);
    header->resizeSection(4, date);
}

QRect recovery_window_c::animation_rect() const {
    return form->lbl_anime->geometry();
}

QRect recovery_window_c::status_rect() const {
    const int x = animation_rect().right() + 11;
    return {x, 16, std::max(0, form->btn_pause->x() - 10 - x), 18};
}

QRect recovery_window_c::bar_rect() const {
    const QRect status = status_rect();
    return {status.x(), 38, std::min(250, status.width()), 12};
}

QRect recovery_window_c::found_rect() const {
    const QRect status = status_rect();
    return {status.x(), 52, status.width(), 18};
}

double recovery_window_c::restore_fraction() const {
    const int total = worker ? static_cast<int>(worker->jobs().size()) : 0;
    if (total <= 0) {
        return 1.0;
    }
    return static_cast<double>(worker->files_done.load(std::memory_order_relaxed)) / total;
}

QString recovery_window_c::status_text() const {
    QString status;
    if (restoration_running()) {
        // A restoration shows its own progress on the bar and in the status line.
        const int total = static_cast<int>(worker->jobs().size());
        const int done = worker->files_done.load(std::memory_order_relaxed);
        const int current = worker->current.load(std::memory_order_relaxed);
        const QString name = current >= 0 && current < total
                                 ? worker->jobs()[static_cast<std::size_t>(current)].item.name
                                 : QString();
        status = text("recovery_restoring")
                     .arg(std::min(done + 1, total))
                     .arg(total)
                     .arg(format_size(worker->bytes_done.load(std::memory_order_relaxed)), name);
    } else if (restore_shown) {
        status = restore_status;
    } else if (meta_thread) {
        status = text("recovery_reading_meta");
    } else if (!loaded_info.isEmpty()) {
        status = loaded_info;
    } else if (deep_scan) {
        // What was really examined: a stopped scan did not reach the end of the volume.
        const double fraction = session.scanning() ? session.current()->get_progress()
                                : stopped          ? stopped_at
                                                   : progress->value;
        status = QStringLiteral("%1 %2").arg(
            text("raw_progress"),
            format_size(static_cast<std::uint64_t>(std::clamp(fraction, 0.0, 1.0) *
                                                   static_cast<double>(volume.total_bytes))));
    } else {
        status = text("recovery_reading") + QString::number(session.current()->get_read_count());
    }
    if (stopped && !restoration_running() && !restore_shown && loaded_info.isEmpty()) {
        status += text("recovery_stopped_at").arg(static_cast<int>(stopped_at * 100));
    }
    return status;
}

QString recovery_window_c::found_text() const {
    if (meta_thread) {  // a scan file being loaded: its records, before they are listed
        return QStringLiteral("%1 %2").arg(text("recovery_total_files")).arg(meta_total.load());
    }
    if (session.scanning()) {
        // A quick scan's engines count folders and live entries as they go: the count of
        // files is known when the scan ends. The deep scan counts files only.
        if (session.engine_kind() != engine_signature) {
            return {};
        }
        const std::int64_t found = session.raw_engine().found_so_far();
        return QStringLiteral("%1 %2").arg(text("recovery_total_files")).arg(found);
    }
    if (!session.has_results() || !tree_model) {
        return {};
    }
    QString found = QStringLiteral("%1 %2")
                        .arg(text("recovery_total_files"))
                        .arg(tree_model->found_totals().files);
    const int folders = tree_model->found_folders();
    if (session.engine_kind() != engine_signature && folders > 0) {
        found += QStringLiteral("    %1 %2").arg(text("recovery_total_folders")).arg(folders);
    }
    return found;
}

bool recovery_window_c::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip) {
        return QWidget::event(event);
    }
    // The status and found lines, when cut to their place, are shown whole in a tooltip (a
    // loaded scan file's volume and date, a long file name being restored).
    const auto* help = static_cast<QHelpEvent*>(event);
    const QFontMetrics metrics(status_font());
    for (const auto& [where, full] :
         {std::pair{status_rect(), status_text()}, std::pair{found_rect(), found_text()}}) {
        if (where.contains(help->pos()) && metrics.horizontalAdvance(full) > where.width()) {
            QToolTip::showText(help->globalPos(), wrapping_tooltip(full), this, where);
            return true;
        }
    }
    QToolTip::hideText();
    event->ignore();
    return true;
}

void recovery_window_c::paintEvent(QPaintEvent* event) {
    (void)event;
    if (!isVisible()) {
        return;
    }
    const int W = width();
    const int H = height();
    const int P = static_cast<int>((H - 143) * 0.4);
    const int left = 10 + tree_width(W) + 9;
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, W, band.height()), QBrush(band));
    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(10, 13, W - 20, 60);
    if (!grid_shown) {  // the grid of thumbnails stands in the preview's place
        painter.drawRect(left, 79, W - left - 10, P);
    }

    if (restoration_running()) {
        progress->value = restore_fraction();
    }
    painter.setFont(status_font());
    const QFontMetrics metrics(painter.font());
    progress->draw_bar(&painter, bar_rect());
    painter.setPen(Qt::black);
    const QRect status = status_rect();
    painter.drawText(status, Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(status_text(), Qt::ElideRight, status.width()));

    if (grid_shown) {
        // nothing: the grid covers the preview's place
    } else if (preview_shown) {
        paint_preview(painter, W, P);
    } else {
        painter.fillRect(left + 1, 80, W - left - 11, static_cast<int>((H - 143) * 0.4 - 1),
                         Qt::white);
    }
    const QString found = found_text();
    if (!found.isEmpty()) {
        painter.setPen(Qt::red);
        const QRect where = found_rect();
        painter.drawText(where, Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(found, Qt::ElideRight, where.width()));
    }
}

void recovery_window_c::paint_preview(QPainter& painter, int W, int P) {
    const int left = 10 + tree_width(W) + 9;
    const int frame = W - left - 10;  // the preview frame's width
    if (!preview_content_image.isNull()) {
        int h = P - 10;
        int w = static_cast<int>(static_cast<qint64>(h) * preview_content_image.width() /
                                 preview_content_image.height());
        if (w > frame - 10) {  // a wide picture is fitted to the frame's width
            w = frame - 10;
            h = static_cast<int>(static_cast<qint64>(w) * preview_content_image.height() /
                                 preview_content_image.width());
        }
        if (w > 0 && h > 0) {
            painter.drawImage(QRect((frame - w) / 2 + left, 84, w, h), preview_content_image);
        }
        return;
    }
    if (preview_is_binary) {
        // Not text and not a picture: the file's kind, name and size, not its bytes.
        const QIcon icon = style()->standardIcon(QStyle::SP_FileIcon);
        const int side = 48;
        const int x = left + (frame - side) / 2;
        painter.drawPixmap(x, 84 + (P - 10) / 2 - side, icon.pixmap(side, side));
        painter.setPen(Qt::black);
        const QFontMetrics metrics(painter.font());
        const QString line = metrics.elidedText(preview_item.name, Qt::ElideMiddle, frame - 20) +
                             QStringLiteral("\n") + format_size(preview_item.size);
        painter.drawText(QRect(left + 10, 84 + (P - 10) / 2 + 4, frame - 20, 40),
                         Qt::AlignHCenter | Qt::AlignTop, line);
        return;
    }
    if (preview_content_text.isEmpty()) {
        return;
    }
    painter.setPen(Qt::black);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    painter.drawText(QRectF(left + 5, 84, frame - 10, P - 10), preview_content_text, option);
}
