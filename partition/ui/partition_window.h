#pragma once
// The partition page (page 3 of the main window): runs a partition search of one drive in
// its worker, shows the progress and the partitions found, stops and restarts the search,
// writes the partition table the search calls for (a GPT kept from its backup or built
// new, or a master boot record) on request, and undoes that repair.
//
// GUI thread; owned by the main window; owns the worker, which runs in its own thread and
// is read here on a 400 ms timer and after its finished() signal. Stopping is cooperative:
// the worker ends before its next block and closes the drive.

#include "partition/partition_repair.h"
#include "skin/progress_bar.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class PartitionForm;
}
class partition_model_c;
class partition_map_c;

class partition_window_c : public QWidget {
    Q_OBJECT
  public:
    explicit partition_window_c(QWidget* parent = nullptr);
    ~partition_window_c() override;

    // Searches this drive (a copy is kept): 0, or -1 when the drive cannot be searched.
    int start_partition_search(const drive_item_s& drive);
    // Asks a running search to end; the button then offers a new start.
    void stop_partition_search();

    // The lines over and under the bar when no search runs: what the last search found,
    // and the table a repair writes (or what the last repair or undo did).
    QString found_text() const { return status_found_; }
    QString table_text() const { return status_table_; }

    // Where the bar is painted.
    static QRect bar_rect() { return {120, 50, 450, 12}; }

    std::unique_ptr<Ui::PartitionForm> form;
    partition_repair_c worker;
    progress_bar_c bar;
    QTimer timer;
    partition_model_c* model = nullptr;
    partition_map_c* map = nullptr;  // the drive drawn to scale above the list

  signals:
    void back_clicked();

  public slots:
    void on_partition_found();
    void on_thread_finished();
    void on_timer();
    void on_stop_clicked();
    void on_repair_clicked();
    void on_undo_clicked();
    void on_map_clicked(int index);
    void on_list_current_changed(const QModelIndex& current);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // A new language: the buttons' texts.
    void changeEvent(QEvent* event) override;

  private:
    void set_new_model();
    void start_worker();
    void show_search_result();
    int message_box(const QString& message, QMessageBox::StandardButtons buttons,
                    QMessageBox::StandardButton default_button = QMessageBox::NoButton);
    QString repair_question(const table_plan_s& plan) const;
    QString repair_report(const table_plan_s& plan) const;

    // The last repair made from this page, which Undo puts back; empty path: none.
    QString undo_backup_;
    QString undo_drive_;
    QString status_found_;
    QString status_table_;
};
