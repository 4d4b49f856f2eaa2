#pragma once
// The start-up worker: lists the volumes and drives and opens the drive table off the
// user-interface thread, so that the main window shows at once.
//
// Created by main without a parent, runs once, ends with init_finished(); main destroys it
// after the event loop. Until it has set init_done, the main window refuses to leave the
// home page.

#include <QThread>

#include <atomic>

// 1 once volume_list, drive_list and the drive table are ready; never cleared. Written by
// the worker before it emits init_finished(), read by the user-interface thread.
extern std::atomic<int> init_done;

class init_c : public QThread {
    Q_OBJECT
  public:
    using QThread::QThread;

  signals:
    void init_finished();

  protected:
    void run() override;
    // The enumerations and the opening of the drive table, in their fixed order.
    virtual void enumerate_devices();
};
