#pragma once
// "Save drive as image...": the progress of the careful copy of a drive into an image file
// (rescued, bad, speed, time left) with Pause and Stop. When the copy ends it says so
// (image_made); the window that opened it adds the image as a drive and, when it could,
// asks through ask_to_scan() whether its volumes are to be scanned.
//
// GUI thread; the copy runs in an image_worker_c.

#include "device/imaging/image_rescue.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class image_worker_c;

class image_dialog_c : public QDialog {
    Q_OBJECT
  public:
    image_dialog_c(QWidget* parent, const QString& drive_name, const QString& output);
    ~image_dialog_c() override;

    // Starts the copy.
    void start();
    // Shows one state of the copy (the timer calls it with the worker's progress).
    void show_progress(const rescue_progress_s& progress);

    // Asks where to save an image of the drive: the file chosen, or empty when the user
    // cancelled or chose a file on the drive itself (refused with a warning).
    static QString ask_output(QWidget* parent, const QString& drive_name);
    // The question after a copy whose image became a drive: true (and the dialog closed)
    // when the user wants its volumes scanned.
    bool ask_to_scan();

  signals:
    // The copy ended complete or with unreadable areas: the image can be opened as a drive.
    void image_made(const QString& output);

  protected:
    void reject() override;

  private:
    void on_pause();
    void on_stop();
    void on_finished();

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
