#pragma once
// Page 0 of the main window: the two large buttons (new scan, resume a saved scan) over a
// band of background, a picture and three lines of text from the language file.
//
// GUI thread; owned by the main window, whose slots its buttons call.

#include <QWidget>

#include <memory>

namespace Ui {
class HomeForm;
}
class main_window_c;

class home_window_c : public QWidget {
    Q_OBJECT
  public:
    explicit home_window_c(main_window_c* main_window);
    ~home_window_c() override;

    std::unique_ptr<Ui::HomeForm> form;
    main_window_c* main_window;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The three-state border-image style sheet of a button from the language's image folder.
QString three_state_style(const QString& base_name);
