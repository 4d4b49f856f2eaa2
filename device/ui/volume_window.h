#pragma once
// The volume page (page 1 of the main window): the painted list of volume_list with usage
// bars, and Back, Refresh and Scan, which the main window answers. A double click on a
// row asks for a scan of it through start_scan(). For a deep scan the page also lists the
// whole drives, so that a drive whose partition table is gone can still be searched.
//
// GUI thread; owned by the main window. The page decides nothing about scanning: it only
// answers which record is chosen.

#include "device/ui/device_page.h"
#include "device/volume_list.h"

#include <QModelIndex>

#include <memory>
#include <vector>

namespace Ui {
class VolumeForm;
}
class volume_model_c;

class volume_window_c : public device_page_c {
    Q_OBJECT
  public:
    explicit volume_window_c(QWidget* parent = nullptr);
    ~volume_window_c() override;

    // A new model over volume_list (and the whole drives when they are listed); no row is
    // current.
    void show_volumes();
    // Lists the drives of drive_list after the volumes as whole drives (for a deep scan),
    // or not; shows the list again when that changes.
    void list_whole_drives(bool listed);
    bool whole_drives_listed() const { return whole_drives; }
    // The chosen record (the header row included), or null after the "scan_nosel_warning"
    // box when no row is current. Valid until the list is next rebuilt.
    const volume_item_s* selected_volume();
    // Repaints the rows after their records changed in place (free space read later).
    void update_rows();

    std::unique_ptr<Ui::VolumeForm> form;
    volume_model_c* model = nullptr;

  signals:
    void start_scan();

  public slots:
    void on_double_clicked(const QModelIndex& index);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    bool whole_drives = false;
    std::vector<volume_item_s> drive_rows;  // the whole drives, as scan targets
};

// A whole drive as the target of a deep scan: its device or image path, its size, and the
// "volume_whole_drive" text as its label.
struct drive_item_s;
volume_item_s whole_drive_volume(const drive_item_s& drive);
