#include "partition/ui/partition_window.h"

#include "core/diagnostics.h"
#include "core/settings.h"
#include "device/platform/platform_write.h"
#include "device/ui/device_page.h"
#include "partition/repair_undo.h"
#include "partition/ui/partition_delegate.h"
#include "partition/ui/partition_map.h"
#include "partition/ui/partition_model.h"
#include "skin/focus_frame.h"
#include "skin/message_box.h"
#include "ui_partition_window.h"

#include <QEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QScreen>

#include <algorithm>

partition_window_c::partition_window_c(QWidget* parent)
    : QWidget(parent), form(std::make_unique<Ui::PartitionForm>()) {
    form->setupUi(this);
    map = new partition_map_c(this);
    connect(map, &partition_map_c::partition_clicked, this, &partition_window_c::on_map_clicked);
    set_new_model();
    form->lv_volumes->setItemDelegate(new partition_delegate_c(form->lv_volumes));
    form->lv_volumes->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {form->btn_back, form->btn_stop, form->btn_repair, form->btn_undo}) {
        button->resize(100, 30);
        set_page_button_palette(button);
    }
    form->btn_back->setText(text("btn_back"));
    form->btn_stop->setText(text("btn_stop"));
    form->btn_repair->setText(text("btn_repair"));
    form->btn_undo->setText(text("btn_undo"));
    form->btn_undo->hide();  // shown once a repair from this page left a backup
    connect(&worker, &partition_repair_c::partition_found, this,
            &partition_window_c::on_partition_found);
    connect(&worker, &QThread::finished, this, &partition_window_c::on_thread_finished);
    connect(form->btn_stop, &QPushButton::clicked, this, &partition_window_c::on_stop_clicked);
    connect(&timer, &QTimer::timeout, this, &partition_window_c::on_timer);
    connect(form->btn_back, &QPushButton::clicked, this, &partition_window_c::back_clicked);
    connect(form->btn_repair, &QPushButton::clicked, this, &partition_window_c::on_repair_clicked);
    connect(form->btn_undo, &QPushButton::clicked, this, &partition_window_c::on_undo_clicked);
    timer.start(400);
    bar.init_bar(QStringLiteral(":/images/partition_search/loding_on.png"), QColor(226, 240, 253));
    form->lv_volumes->setAccessibleName(text("a11y_partitions"));
    install_focus_frames(this);
}

void partition_window_c::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::LanguageChange || !form) {
        return;
    }
    form->btn_back->setText(text("btn_back"));
    form->btn_stop->setText(text("btn_stop"));
    form->btn_repair->setText(text("btn_repair"));
    form->btn_undo->setText(text("btn_undo"));
    form->lv_volumes->setAccessibleName(text("a11y_partitions"));
    update();
}

partition_window_c::~partition_window_c() {
    // The worker must not outlive the page that reads it: ask it to end and wait for it.
    worker.request_stop();
    worker.wait();
}

void partition_window_c::set_new_model() {
    QAbstractItemModel* old_model = form->lv_volumes->model();
    QItemSelectionModel* old_selection = form->lv_volumes->selectionModel();
    model = new partition_model_c(worker, this);
    form->lv_volumes->setModel(model);
    if (old_selection) {
        old_selection->deleteLater();
    }
    if (old_model && old_model->parent() == this) {
        old_model->deleteLater();
    }
    connect(form->lv_volumes->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &partition_window_c::on_list_current_changed);
    // The map follows the list; a partition selected there stays selected in both.
    const int selected = map->selected();
    map->set_partitions(worker.partitions(), worker.current_drive().size / 512);
    if (selected >= 0 && selected < worker.partition_count()) {
        form->lv_volumes->setCurrentIndex(model->index(selected + 1, 0));
    }
}

void partition_window_c::on_map_clicked(int index) {
    // Row 0 of the list holds the column titles.
    form->lv_volumes->setCurrentIndex(model->index(index + 1, 0));
}

void partition_window_c::on_list_current_changed(const QModelIndex& current) {
    map->set_selected(current.isValid() ? current.row() - 1 : -1);
}

void partition_window_c::start_worker() {
    form->btn_stop->setText(text("btn_stop"));
    status_found_.clear();
    status_table_.clear();
    form->btn_repair->setEnabled(true);
    form->btn_repair->setToolTip(QString());
    worker.start(QThread::InheritPriority);
    set_new_model();  // the new search begins with an empty list
    bar.value = 0.0;
    update(bar_rect());
}

int partition_window_c::start_partition_search(const drive_item_s& drive) {
    if (worker.isRunning()) {
        // A search of another drive still ends (a top-bar move does not stop it): the
        // new one waits for it, which takes at most one block.
        worker.request_stop();
        worker.wait();
    }
    if (worker.set_drive(drive) != 0) {
        return -1;
    }
    if (drive.name != undo_drive_) {
        // The repair Undo would put back was made on another drive.
        undo_backup_.clear();
        undo_drive_.clear();
        form->btn_undo->hide();
    }
    start_worker();
    return 0;
}

void partition_window_c::stop_partition_search() {
    if (worker.isRunning()) {
        worker.request_stop();
        form->btn_stop->setText(text("btn_start"));
    }
}

void partition_window_c::on_partition_found() {
    set_new_model();
}

void partition_window_c::on_thread_finished() {
    form->btn_stop->setText(text("btn_start"));
    on_timer();
    set_new_model();  // every partition the search found, also after the last signal
    show_search_result();
    if (!worker.search_error().isEmpty()) {
        console_print(QStringLiteral("partition search: %1\n").arg(worker.search_error()));
    }
}

// What the ended search found, and the table a repair would write, over and under the bar.
void partition_window_c::show_search_result() {
    status_found_.clear();
    status_table_.clear();
    if (!worker.search_error().isEmpty()) {
        status_found_ = worker.search_error();
    } else if (!worker.current_drive().name.isEmpty()) {
        status_found_ = text("partition_found").arg(worker.partition_count());
        const disk_layout_s layout = worker.disk_layout();
        // A table that holds, with nothing found outside its entries, is not repaired:
        // the button says why instead of asking.
        const QString holds = worker.search_stopped() ? QString() : worker.table_holds();
        form->btn_repair->setEnabled(holds.isEmpty());
        form->btn_repair->setToolTip(holds.isEmpty() ? QString() : text("partition_state_holds"));
        if (!holds.isEmpty()) {
            status_table_ = text("partition_state_holds");
        } else if (worker.search_stopped() || worker.partition_count() == 0 ||
                   !worker.repair_refusal().isEmpty()) {
            // nothing a repair would write
        } else if (layout.scheme == QLatin1String("gpt")) {
            status_table_ = text(layout.primary_ok && layout.backup_ok ? "partition_state_gpt_ok"
                                 : layout.backup_ok  ? "partition_state_gpt_backup"
                                 : layout.primary_ok ? "partition_state_gpt_primary"
                                                     : "partition_state_gpt_new");
        } else {
            status_table_ = text("partition_state_mbr");
        }
    }
    update();
}

void partition_window_c::on_timer() {
    bar.value = worker.search_progress.load(std::memory_order_relaxed);
    update(bar_rect());
}

void partition_window_c::on_stop_clicked() {
    if (worker.isRunning()) {
        worker.request_stop();
        form->btn_stop->setText(text("btn_start"));
        return;
    }
    if (worker.current_drive().name.isEmpty()) {
        return;  // no drive was ever given: nothing to search
    }
    start_worker();
}

int partition_window_c::message_box(const QString& message, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton default_button) {
    message_box_c box(QMessageBox::Warning, QStringLiteral("OrvaneRecovery"), message, buttons,
                      this);
    if (default_button != QMessageBox::NoButton) {
        box.setDefaultButton(default_button);
        box.setEscapeButton(default_button);
    }
    return box.exec();
}

namespace {

// The table the plan writes, as the question and the report name it.
QString scheme_text(const table_plan_s& plan) {
    if (plan.scheme == QLatin1String("gpt")) {
        return text(plan.restored ? "partition_scheme_gpt_backup" : "partition_scheme_gpt_new");
    }
    return text("partition_scheme_mbr");
}

// The question lists at most this many entries (a GPT holds up to 128).
constexpr int listed_entries = 16;

QString entry_line(int number, const partition_item_s& item) {
    QString line = QStringLiteral("\n%1. %2  %3 - %4  (%5)")
                       .arg(number)
                       .arg(item.fs_name)
                       .arg(item.start_sector)
                       .arg(item.end_sector)
                       .arg(format_size((item.end_sector - item.start_sector + 1) * 512));
    if (!item.name.isEmpty() && item.name != item.fs_name) {
        line += QStringLiteral("  \"%1\"").arg(item.name);
    }
    if (item.logical) {
        line += QStringLiteral("  (%1)").arg(text("partition_logical"));
    }
    return line;
}

QString entry_lines(const QList<partition_item_s>& items) {
    QString lines;
    for (qsizetype k = 0; k < items.size(); ++k) {
        if (k == listed_entries) {
            lines += QStringLiteral("\n... (%1)").arg(items.size() - k);
            break;
        }
        lines += entry_line(int(k + 1), items.at(k));
    }
    return lines;
}

}  // namespace

// The question names the drive (its name, what it is, its size), the table that will be
// written and each of its entries, and the partitions found that it leaves out.
QString partition_window_c::repair_question(const table_plan_s& plan) const {
    const drive_item_s drive = worker.current_drive();
    const QString what = platform::drive_description(platform::drive_by_name(drive.name));
    const char* intro = plan.scheme == QLatin1String("mbr") ? "partition_query"
                        : plan.restored                     ? "partition_query_gpt_backup"
                                                            : "partition_query_gpt_new";
    QString question =
        text(intro) + QStringLiteral("\n\n") + text("partition_query_drive") + QLatin1Char(' ') +
        drive.name +
        (what.isEmpty() || what == drive.name ? QString() : QStringLiteral(", ") + what) +
        QStringLiteral(" (%1)").arg(format_size(drive.size)) + QLatin1Char('\n') +
        text("partition_query_table") + QLatin1Char(' ') + scheme_text(plan);
    // What stays, what is added and what is removed; a new table only adds.
    if (plan.kept.isEmpty() && plan.removed.isEmpty()) {
        question +=
            QLatin1Char('\n') + text("partition_query_entries") + entry_lines(plan.described);
    } else {
        for (const auto& [key, items] : {std::pair{"partition_query_stays", plan.kept},
                                         std::pair{"partition_query_added", plan.added},
                                         std::pair{"partition_query_removed", plan.removed}}) {
            if (!items.isEmpty()) {
                question += QStringLiteral("\n\n") + text(key) + entry_lines(items);
            }
        }
    }
    if (!plan.left_out.isEmpty()) {
        question +=
            QStringLiteral("\n\n") + text("partition_query_left_out") + entry_lines(plan.left_out);
    }
    return question + QStringLiteral("\n\n") + text("partition_query_saved");
}

// After a repair: what was written where, the backup, and how to put it back.
QString partition_window_c::repair_report(const table_plan_s& plan) const {
    return text("partition_repair_done") + QLatin1Char('\n') +
           text("partition_written")
               .arg(worker.current_drive().name, scheme_text(plan))
               .arg(worker.described().size()) +
           QLatin1Char('\n') + text("partition_saved_to") + QLatin1Char('\n') +
           worker.backup_path() + QStringLiteral("\n\n") + text("partition_undo") +
           QStringLiteral("\norvane partitions --undo %1 %2")
               .arg(worker.backup_path(), worker.current_drive().name);
}

void partition_window_c::on_repair_clicked() {
    if (worker.isRunning()) {
        return;
    }
    // Nothing to write: say why instead of asking.
    if (const QString held = worker.whole_volume_file_system(); !held.isEmpty()) {
        message_box(text("partition_whole_volume").arg(held), QMessageBox::Ok);
        return;
    }
    if (worker.partition_count() == 0) {
        message_box(text("partition_nothing_found"), QMessageBox::Ok);
        return;
    }
    const table_plan_s plan = worker.plan_repair();
    if (plan.writes.isEmpty()) {
        message_box(text("partition_repair_failed") + QLatin1Char('\n') + plan.error,
                    QMessageBox::Ok);
        return;
    }
    // No is the default: Enter or Escape writes nothing.
    if (message_box(repair_question(plan), QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
        QMessageBox::Yes) {
        return;
    }
    const int result = worker.repair_table();
    if (!worker.backup_path().isEmpty()) {
        // Also after a write that failed half way: the backup puts back what it replaced.
        undo_backup_ = worker.backup_path();
        undo_drive_ = worker.current_drive().name;
        form->btn_undo->show();
    }
    if (result == 0) {
        status_table_ = text("partition_written")
                            .arg(worker.current_drive().name, scheme_text(plan))
                            .arg(worker.described().size());
        update();
        // A block device whose table the kernel could not take at once (a partition in use).
        message_box(repair_report(plan) + (worker.table_reread() ? QString()
                                                                 : QStringLiteral("\n\n") +
                                                                       text("partition_finished")),
                    QMessageBox::Ok);
        return;
    }
    error_report("partition", __LINE__, "repair of %s failed: %s",
                 qPrintable(worker.current_drive().name), qPrintable(worker.repair_error()));
    message_box(text("partition_repair_failed") + QLatin1Char('\n') + worker.repair_error(),
                QMessageBox::Ok);
}

void partition_window_c::on_undo_clicked() {
    if (worker.isRunning() || undo_backup_.isEmpty()) {
        return;
    }
    if (message_box(text("partition_undo_query").arg(undo_backup_, undo_drive_),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    undo_report_s report;
    if (undo_repair(undo_backup_, platform::drive_by_name(undo_drive_), false, &report) != 0) {
        error_report("partition", __LINE__, "undo on %s failed: %s", qPrintable(undo_drive_),
                     qPrintable(report.error));
        message_box(text("partition_undo_failed") + QLatin1Char('\n') + report.error,
                    QMessageBox::Ok);
        return;
    }
    const QString drive = undo_drive_;
    undo_backup_.clear();
    undo_drive_.clear();
    form->btn_undo->hide();
    status_table_ = text("partition_state_undone");
    update();
    message_box(text("partition_undone").arg(report.sectors).arg(drive) + QLatin1Char('\n') +
                    report.backup_path,
                QMessageBox::Ok);
}

void partition_window_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    painter.drawPixmap(45, 30,
                       QPixmap(QStringLiteral(":/images/partition_search/icon_found1.png")));
    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(25, 12, width() - 50, 92);
    bar.draw_bar(&painter, bar_rect());
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("Verdana"), 10));
    const QRect bar_area = bar_rect();
    if (worker.isRunning()) {
        painter.drawText(bar_area.left(), 40, text("partition_text1"));
        return;
    }
    const QFontMetrics metrics(painter.font());
    painter.drawText(bar_area.left(), 40,
                     metrics.elidedText(status_found_, Qt::ElideRight, bar_area.width()));
    painter.setPen(QColor(40, 80, 140));
    painter.drawText(bar_area.left(), bar_area.bottom() + 22,
                     metrics.elidedText(status_table_, Qt::ElideMiddle,
                                        form->btn_stop->geometry().right() - bar_area.left()));
}

void partition_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    form->btn_back->move(200, h - 54);
    form->btn_repair->move(w - 300, h - 54);
    form->btn_undo->move(w - 190, h - 54);
    form->btn_stop->move(w - 168, 42);
    map->setGeometry(25, 116, w - 50, 40);
    form->lv_volumes->setGeometry(25, 162, w - 50, h - 222);
}
