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

    std::unique_ptr<Ui::MainForm> form;
    home_window_c* home_page = nullptr;
    volume_window_c* volume_page = nullptr;
    drive_window_c* drive_page = nullptr;
    partition_window_c* partition_page = nullptr;
    recovery_window_c* recovery_page = nullptr;
    std::array<QWidget*, 5> pages{};
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

    void on_click_close() override;
    void on_click_help() override;
    void on_click_language() override;

  public:
    void on_click_top1() override;
    void on_click_top2() override;
    void on_click_top3() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // A modal warning box with the program's icon; returns the button pressed.
    int warning_box(const char* key, const QString& title, QMessageBox::StandardButtons buttons,
                    QWidget* parent);
    // The checks before a top-bar move: start-up done, and a running scan may be left.
    bool may_leave_for_top_bar();

    bool close_confirmed = false;
};
