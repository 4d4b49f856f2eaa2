#pragma once
// A visible keyboard focus on the program's own controls. The skinned push buttons draw
// only their images, and the views a thin border of the page's colour, so neither shows
// which one has the focus: focus_frame_c draws a frame over a control while it has it.
//
// GUI thread. install_focus_frames puts one filter (owned by the page) on every button,
// check box, line edit and item view of a page.

#include <QObject>

class QWidget;

class focus_frame_c : public QObject {
    Q_OBJECT
  public:
    explicit focus_frame_c(QObject* parent) : QObject(parent) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The frame on every control below page that takes the keyboard focus.
void install_focus_frames(QWidget* page);
