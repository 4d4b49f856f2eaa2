#pragma once
// "Save drive as image...": the progress of the careful copy of a drive into an image file
// (rescued, bad, speed, time left) with Pause and Stop. When the copy ends the image is
// added as a drive (main_window_c::open_image) and the volume page is offered to scan it.
// A map beside the image that names no drive (GNU ddrescue's) is used only when the user
// answers that it is this drive's; it names the drive from then on.
//
// GUI thread; the copy runs in an image_worker_c.

#include "device/imaging/image_rescue.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class image_worker_c;
class main_window_c;

class image_dialog_c : public QDialog {
    Q_OBJECT
  public:
    image_dialog_c(main_window_c* main_window, const QString& drive_name, const QString& output);
    ~image_dialog_c() override;

    // Starts the copy; trust_map: the user vouched for a map that names no source.
    void start(bool trust_map = false);
    // Shows one state of the copy (the timer calls it with the worker's progress).
    void show_progress(const rescue_progress_s& progress);

    // Asks where to save an image of the drive and opens the dialog; refuses a file on the
    // drive itself.
    static void save_drive(main_window_c* main_window, const QString& drive_name);

  protected:
    void reject() override;

  private:
    void on_pause();
    void on_stop();
    void on_finished();

    main_window_c* main_window_;
    QString drive_name_;
    QString output_;
    image_worker_c* worker_ = nullptr;
    QTimer* timer_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* rescued_ = nullptr;
    QLabel* bad_ = nullptr;
    QLabel* speed_ = nullptr;
    QLabel* left_ = nullptr;
    QLabel* state_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* stop_ = nullptr;
    bool paused_ = false;
    bool done_ = false;
};

// The file dialogs' filter for disk images (the containers the program reads), then all
// files.
QString disk_image_filter();
