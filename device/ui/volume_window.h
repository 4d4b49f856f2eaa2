#pragma once
// The volume page (page 1 of the main window): the painted list of volume_list with usage
// bars, and Back, Refresh and Scan, which the main window answers. A double click on a
// row asks for a scan of it through start_scan().
//
// GUI thread; owned by the main window. The page decides nothing about scanning: it only
// answers which record is chosen.

#include <QModelIndex>
#include <QWidget>

#include <memory>

namespace Ui {
class VolumeForm;
}
class main_window_c;
class volume_model_c;
struct volume_item_s;

class volume_window_c : public QWidget {
    Q_OBJECT
  public:
    explicit volume_window_c(main_window_c* main_window);
    ~volume_window_c() override;

    // A new model over volume_list; no row is current.
    void show_volumes();
    // The chosen record (the header row included), or null after the "scan_nosel_warning"
    // box when no row is current. Valid until volume_list is next rebuilt.
    const volume_item_s* selected_volume();
    // Repaints the rows after their records changed in place (free space read later).
    void update_rows();

    std::unique_ptr<Ui::VolumeForm> form;
    main_window_c* main_window;
    volume_model_c* model = nullptr;

  signals:
    void start_scan();

  public slots:
    void on_double_clicked(const QModelIndex& index);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

// Shared by the device and partition pages: the form's button text colours (white, grey
// when disabled), which the style sheet leaves to the palette.
class QPushButton;
void set_page_button_palette(QPushButton* button);
