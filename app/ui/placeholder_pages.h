#pragma once
// The plain page that pages still being built stand on: a white page with its title and a
// row of buttons along the bottom.
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
