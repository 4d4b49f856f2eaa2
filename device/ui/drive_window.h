#pragma once
// The drive page (page 2 of the main window): the painted list of drive_list, and Back,
// Refresh and Scan, which the main window answers; Scan starts a partition search of the
// chosen drive.
//
// GUI thread; owned by the main window.

#include "device/ui/device_page.h"

#include <memory>

namespace Ui {
class DriveForm;
}
class drive_model_c;
class QPushButton;
class QPushButton;
struct drive_item_s;

class drive_window_c : public device_page_c {
    Q_OBJECT
  public:
    explicit drive_window_c(QWidget* parent = nullptr);
    ~drive_window_c() override;

    // A new model over drive_list with the first drive (row 1) current.
    void show_drives();
    // Asks for drive_list to be rebuilt off the user-interface thread (refresh_clicked, which
    // the main window answers); the rebuilt list is shown by show_refreshed_drives, with no
    // row current.
    void refresh_drives();
    void show_refreshed_drives();
    // The chosen record (the header row included), or null when no row is current. Valid
    // until drive_list is next rebuilt.
    const drive_item_s* selected_drive() const;

    std::unique_ptr<Ui::DriveForm> form;
    drive_model_c* model = nullptr;
    QPushButton* btn_image = nullptr;  // "Save drive as image..." (device/ui/image_dialog.h)

  signals:
    // "Save drive as image..." with a drive chosen: its name.
    void save_image_requested(const QString& drive_name);

  public slots:
    void on_click_save_image();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    const char* title_key() const override { return "drive_select"; }

  private:
    void set_new_model();
};
