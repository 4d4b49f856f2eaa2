#pragma once
// Re-enumerates the volumes and/or the drives off the user-interface thread, so that a
// refresh of the device pages never freezes the window while slow drives answer.
//
// Owned by the main window, which starts it and, after finished(), swaps the new lists into
// volume_list and drive_list on the user-interface thread (take_results). The volume
// refresh also reopens the drive table (disk_reopen_all), which takes the table's lock.

#include "device/drive_list.h"
#include "device/volume_list.h"

#include <QStringList>
#include <QThread>

#include <vector>

class device_refresh_c : public QThread {
    Q_OBJECT
  public:
    explicit device_refresh_c(QObject* parent = nullptr);
    ~device_refresh_c() override;

    // What the next run rebuilds; refused (false) while a refresh runs.
    bool set_work(bool volumes, bool drives);
    bool refreshes_volumes() const { return volumes_wanted; }
    bool refreshes_drives() const { return drives_wanted; }

    // After finished(): moves the rebuilt lists into volume_list/volume_warnings and
    // drive_list (only those that were asked for).
    void take_results();

  protected:
    void run() override;

  private:
    bool volumes_wanted = false;
    bool drives_wanted = false;
    std::vector<volume_item_s> volumes;
    QStringList warnings;
    std::vector<drive_item_s> drives;
};
