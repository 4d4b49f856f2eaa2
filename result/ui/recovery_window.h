#pragma once
// The scan page (page 4 of the main window): starts and polls a scan, lets the user pause,
// stop and restart it, offers the deep scan when a quick scan found nothing, shows the found
// folders and files, previews a clicked file, restores the ticked files and saves and loads
// deep-scan results.
//
// GUI thread; owned by the main window. Its scans run through a scan_session_c (the same
// rules as the orvane tool). Besides the engine thread, two threads use the page: the
// restoration worker and the preview's restore, both through restore_to, which lets one
// write through the engines at a time.

#include "engine/scan_session.h"
#include "result/recovery_item.h"
#include "result/ui/deep_continue.h"

#include <QDir>
#include <QImage>
#include <QMutex>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMovie;
class QToolButton;
class MyHeaderView;
class MyQTableView;
class TreeModel;
struct folder_node;
class progress_bar_c;
class recovery_file_c;
class recovery_model_c;
struct restore_folder_s;
struct restore_job_s;
class thumb_loader_c;
class thumb_model_c;
class thumb_view_c;
namespace Ui {
class RecoveryForm;
}

// True from the start of a scan until the engine thread has ended; written by the scan
// page, read by the main window before it leaves the page or closes.
extern bool scanning;

class recovery_window_c : public QWidget {
    Q_OBJECT
  public:
    explicit recovery_window_c(QWidget* parent = nullptr);
    ~recovery_window_c() override;

    // 0 when the scan started; -1 while a scan or a restoration runs, or when no engine reads
    // the volume.
    int scan_volume(const volume_item_s& volume, bool deep_scan);
    // Asks for a scan file and shows its results: 0 when its records are loaded (the files'
    // names and dates are then read on another thread, the page busy as in a scan, until
    // they are listed), -1 otherwise.
    int resume_scan_file();
    // The names and dates of a loaded scan file's files are being read.
    bool reading_metadata() const { return meta_thread != nullptr; }
    void leave_page();
    recovery_base_c* engine() const { return session.current(); }
    const scan_session_c& scan_session() const { return session; }

    // Writes one found file into folder under a name that is free there; 0 when written whole.
    int restore_one(const QDir& folder, const recovery_item_s& item);
    // Writes one found file to target by its engine; any thread, one file at a time.
    int restore_to(const recovery_item_s& item, const QString& target);
    // Writes one found file's bytes into the restore writer's sink by its engine (a live NTFS
    // file from the mounted volume); any thread, one file at a time. *why gets the reason
    // of a failure.
    // *overwritten tells whether the engine had to step over data that others hold now.
    int restore_into(const recovery_item_s& item, restore_sink_c* sink, QString* why = nullptr,
                     bool* overwritten = nullptr);
    // Copies a live file; 0 only when every byte was copied. Never replaces target.
    static int copy_live_file(const QString& source, const QString& target);
    // The text a preview shows for the first bytes of a file.
    static QString preview_text_of(const QByteArray& bytes);
    // The first bytes of a file are text (UTF-8 or UTF-16 with its mark), not a binary
    // format that merely begins with letters ("PK" of a .docx).
    static bool looks_like_text(const QByteArray& bytes);
    bool preview_shows_binary() const { return preview_is_binary; }

    // What the page shows, for its tests and screenshots.
    TreeModel* tree_model_now() const { return tree_model; }
    recovery_model_c* table_model_now() const { return table_model; }
    MyQTableView* file_table() const { return table; }
    MyHeaderView* file_header() const { return header; }
    std::vector<recovery_item_s>& files() { return file_list; }
    bool preview_is_shown() const { return preview_shown; }
    const QString& preview_text() const { return preview_content_text; }
    const QImage& preview_image() const { return preview_content_image; }
    recovery_file_c* restoration() const { return worker; }
    bool is_deep_scan() const { return deep_scan; }
    const folder_node* open_folder_node() const { return open_node; }
    QLabel* ticked_label() const { return ticked; }
    // The picture grid that the toggle beside the filter shows in the table's place.
    thumb_view_c* picture_grid() const { return grid; }
    thumb_loader_c* thumb_loader() const { return thumbs; }
    QToolButton* view_toggle() const { return grid_toggle; }
    bool grid_is_shown() const { return grid_shown; }
    void show_grid(bool shown);
    // The status line as painted (elided to its place), and where the status parts go: all
    // clear of the animation in the top left corner.
    QString status_text() const;
    QString found_text() const;
    QRect status_rect() const;
    QRect bar_rect() const;
    QRect found_rect() const;
    QRect animation_rect() const;
    double bar_value() const;
    // A finished or stopped deep scan with found files that no scan file holds (quick-scan
    // results cannot be saved, so they are never asked for).
    bool has_unsaved_results() const;
    // Asks before the page's results go: running_key's question while a scan runs, the
    // unsaved-results question after a deep scan. No is the default and Escape answers No;
    // true when nothing needed asking or the user said Yes.
    bool may_drop_results(const char* running_key);
    bool restoration_running() const;

  signals:
    void back_clicked();

  public slots:
    void on_timer();
    void on_thread_finished();
    void on_tree_clicked(const QModelIndex& index);
    void on_list_clicked(const QModelIndex& index);
    void on_recovery_clicked();
    void on_stop_clicked();
    void on_pause_clicked();
    void on_save_result_clicked();
    void on_check_all(bool value);
    void on_sort_column(int column);
    void on_filter_changed(const QString& pattern);
    void on_restoration_finished();
    void on_preview_finished();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // A new language: the buttons, the tick box, the filter and the names for screen readers.
    void changeEvent(QEvent* event) override;

  private:
    // How a scan starts: afresh, or on from an interrupted deep scan's checkpoint.
    struct scan_start_s {
        deep_continue_e how = deep_continue_e::start_again;
        scan_checkpoint_s checkpoint;
    };
    // Asks whether to continue an interrupted deep scan; false when the user cancelled.
    bool ask_how_to_start(const volume_item_s& target, bool deep, scan_start_s* start);
    int start_scan(const scan_start_s& start);
    // What a scan file may name: the listed volumes and the drives whole.
    static std::vector<volume_item_s> scan_file_volumes();
    void restart_scan(bool deep);
    void clear_results();
    // The engine whose results the tree and table show: the scan's after it ended, the copy
    // of a paused deep scan's records, or none.
    const recovery_base_c* listed_engine() const;
    void show_found_so_far();
    void drop_found_so_far();
    void show_scan_buttons();
    void reset_tree();
    void set_table_model();
    void apply_filter();
    // Unticks, in every folder of the tree, the files the deep scan could not check whole.
    void untick_unverified();
    void finish_scan(bool ask);
    void wait_preview();
    void start_preview(const recovery_item_s& item);
    void load_preview();
    std::vector<restore_job_s> ticked_jobs(std::vector<restore_folder_s>* folders) const;
    void open_tree_folder(const QModelIndex& index);
    void set_tree_model(TreeModel* model);
    void on_tree_ticks_changed();
    void on_file_ticks_changed();
    void update_ticked_label();
    void sort_files();
    void show_restore_summary();
    double restore_fraction() const;
    void fit_columns();
    int warning_box(const char* key, int buttons);
    void paint_preview(QPainter& painter, int W, int P);
    void hide_row(int row, bool hidden);
    void stop_thumbnails();
    void stop_metadata();
    void on_metadata_read();
    double metadata_fraction() const;

    std::unique_ptr<Ui::RecoveryForm> form;
    scan_session_c session;
    std::unique_ptr<raw_recovery_c> paused_view;  // what a paused deep scan found so far
    // From a scan's start until its end was handled: restore_into (any thread) reads
    // through no engine then.
    std::atomic<bool> engine_thread_running{false};
    bool deep_scan = false;
    volume_item_s volume;
    MyQTableView* table = nullptr;
    MyHeaderView* header = nullptr;
    TreeModel* tree_model = nullptr;
    recovery_model_c* table_model = nullptr;
    std::vector<recovery_item_s> file_list;
    folder_node* open_node = nullptr;  // the folder whose files file_list holds
    int sort_column = 1;               // the table's sort: by name until the user sorts
    bool sort_ascending = true;
    QLabel* ticked = nullptr;        // count and size of the ticked files, beside Recover
    bool saved = false;              // the results are in a scan file
    bool stopped = false;            // the last scan was stopped by the user
    bool left = false;               // the page was left since the scan started
    double stopped_at = 0.0;         // its progress then
    QString loaded_info;             // the scan file shown: volume and date
    QString loaded_path;             // and its path
    QThread* meta_thread = nullptr;  // reads the loaded files' names and dates
    std::atomic<std::size_t> meta_done{0};
    std::atomic<std::size_t> meta_total{0};
    std::atomic<bool> meta_stop{false};
    bool restore_shown = false;  // the bar and status show the last restoration
    QString restore_status;      // its summary line
    QCheckBox* keep_folders = nullptr;
    // After a deep scan: tick, show and restore only files checked whole or joined.
    QCheckBox* verified_only = nullptr;
    thumb_loader_c* thumbs = nullptr;
    thumb_model_c* thumb_model = nullptr;
    thumb_view_c* grid = nullptr;
    QToolButton* grid_toggle = nullptr;
    bool grid_shown = false;
    QLineEdit* filter = nullptr;
    recovery_item_s preview_item;
    bool preview_shown = false;
    QString preview_content_text;
    QImage preview_content_image;
    bool preview_is_binary = false;  // neither picture nor text: its icon and size shown
    progress_bar_c* progress = nullptr;
    QTimer timer;
    QMovie* movie = nullptr;
    recovery_file_c* worker = nullptr;

    QMutex restore_lock;  // one write through the engines at a time
    QTemporaryDir preview_folder;
    QThread* preview_thread = nullptr;
    int preview_result = -1;
    recovery_item_s preview_running;
    QString preview_path;
    std::unique_ptr<recovery_item_s> preview_next;  // clicked while another was restoring
};
