#pragma once
// The program's only top-level window: the skinned frame holding the five pages, of which
// it shows one at a time, and every move between them.
//
// GUI thread. Created by main before the start-up worker and destroyed after the event
// loop; owns the pages. The pages' buttons call its slots; it checks the start-up and scan
// state, asks before a running scan would be lost, and switches pages with show_page.

#include "skin/skin_widget.h"

#include <QMessageBox>

#include <array>
#include <memory>

namespace Ui {
class MainForm;
}
class home_window_c;
class volume_window_c;
class drive_window_c;
class partition_window_c;
class recovery_window_c;
class image_dialog_c;
class device_refresh_c;
class volume_free_space_c;
class QAction;

class main_window_c : public QSkinWidget {
    Q_OBJECT
  public:
    explicit main_window_c(QWidget* parent = nullptr);
    ~main_window_c() override;

    virtual void show_page(int index);
    virtual void abort_scan();

    // The page shown, 0 to 4.
    int current_index() const;
    // Where the help page is: the program's data folder, help/index.html.
    static QString help_page_path();

    // Rebuilds the volume list (and reopens the drive table) and/or the drive list in the
    // background; the pages show the new lists when it ends. A request while one runs is
    // done after it.
    void refresh_devices(bool volumes, bool drives);
    bool refreshing() const;
    // Adds a disk image as a drive, remembers it in the settings key "images" and refreshes
    // both device pages; 0, or -1 after a warning when the file cannot be a drive.
    int open_image(const QString& path);
    // The dialog that images a drive into output, tied to this window: the finished image
    // becomes a drive, and the volume page is shown when the user wants it scanned.
    image_dialog_c* image_dialog(const QString& drive_name, const QString& output);
    // Reading the free space of unmounted volumes after start-up and each volume refresh.
    bool reading_free_space() const;
    // Brings the window to the front (a second copy of the program asked for it).
    void raise_window();

    std::unique_ptr<Ui::MainForm> form;
    home_window_c* home_page = nullptr;
    volume_window_c* volume_page = nullptr;
    drive_window_c* drive_page = nullptr;
    partition_window_c* partition_page = nullptr;
    recovery_window_c* recovery_page = nullptr;
    std::array<QWidget*, 5> pages{};
    QAction* open_image_action = nullptr;  // "Open disk image..." in the settings menu
    QWidget* current_page = nullptr;
    bool deep_scan = false;

  public slots:
    void on_click_home_start();
    void on_click_home_resume();
    void on_click_volume_back();
    void on_click_recovery_back();
    void on_click_volume_refresh();
    void on_click_volume_scan();
    void on_click_drive_scan();
    void on_click_drive_refresh();
    void on_click_drive_back();
    void on_click_partition_back();
    void on_init_finished();
    void on_click_open_image();
    void on_refresh_finished();
    void on_free_space_finished();

    void on_click_close() override;
    void on_click_help() override;
    void on_click_language() override;

  public:
    void on_click_top1() override;
    void on_click_top2() override;
    void on_click_top3() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    // A new language: the frame, the menu entry this window added, and the pages.
    void changeEvent(QEvent* event) override;
    // Asks for a disk image file; empty when the user cancels.
    virtual QString ask_image_path();

  private:
    // A modal warning box with the program's icon; returns the button pressed.
    int warning_box(const char* key, const QString& title, QMessageBox::StandardButtons buttons,
                    QWidget* parent);
    // The checks before a top-bar move: start-up done, and a running scan may be left.
    bool may_leave_for_top_bar();
    // A running scan, or results that no scan file holds, may be thrown away (asked, No
    // the default).
    bool may_drop_results();
    bool may_quit();
    // A warning box over the window, also before the window manager has placed it.
    int message_over_window(const QString& message);
    void warn_unreadable_images(const QStringList& reported);

    void start_free_space();
    // Drops remembered images whose files are gone, with one warning naming them; returns
    // them.
    QStringList drop_missing_images();

    bool close_confirmed = false;
    device_refresh_c* refresher = nullptr;
    bool refresh_running = false;  // from the start until on_refresh_finished
    bool pending_volumes = false;
    bool pending_drives = false;
    volume_free_space_c* free_space = nullptr;
    bool free_space_running = false;
    bool free_space_again = false;
};
