#pragma once
// Stand-ins for pages 1 to 3 of the main window (volume page, drive page, partition page)
// with the operations the main window uses. They show the device lists as plain lists, so
// that every move between pages works end to end; the real pages replace these classes.
//
// GUI thread; owned by the main window.

#include "device/drive_list.h"
#include "device/volume_list.h"
#include "engine/scan_session.h"
#include "result/ui/recovery_window.h"

#include <QWidget>

#include <optional>

class QListWidget;
class QPushButton;
class main_window_c;

class placeholder_page_c : public QWidget {
    Q_OBJECT
  public:
    placeholder_page_c(main_window_c* main_window, const QString& form_name, const char* title);

  protected:
    void paintEvent(QPaintEvent* event) override;
    virtual QString title() const;
    QPushButton* add_button(const char* name, const char* text_key, int column);
    void resizeEvent(QResizeEvent* event) override;

    main_window_c* main_window;
    QListWidget* list = nullptr;
    QList<QPushButton*> page_buttons;  // laid out left to right along the bottom
    const char* title_key;
};

class volume_window_c : public placeholder_page_c {
    Q_OBJECT
  public:
    explicit volume_window_c(main_window_c* main_window);
    // The record of the selected row (row 0 is the header row); without a selection it
    // says so in a box and returns none.
    std::optional<volume_item_s> selected_volume();
    void show_volumes();
    QListWidget* lv_volumes() const { return list; }
};

class drive_window_c : public placeholder_page_c {
    Q_OBJECT
  public:
    explicit drive_window_c(main_window_c* main_window);
    // The record of the selected row; the header row's empty record without a selection.
    drive_item_s selected_drive() const;
    void show_drives();
    void refresh_drives();
    QListWidget* lv_drives() const { return list; }
};

class partition_window_c : public placeholder_page_c {
    Q_OBJECT
  public:
    explicit partition_window_c(main_window_c* main_window);
    void start_partition_search(const drive_item_s& drive);
    void stop_partition_search();
    const drive_item_s& searched_drive() const { return drive; }

  private:
    drive_item_s drive;
};
