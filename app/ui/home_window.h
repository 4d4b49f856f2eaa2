#pragma once
// Page 0 of the main window: the two large buttons (new scan, resume a saved scan) over a
// band of background, a picture and three lines of text from the language file.
//
// GUI thread; owned by the main window, which answers the page's signals.

#include <QWidget>

#include <memory>

namespace Ui {
class HomeForm;
}

class home_window_c : public QWidget {
    Q_OBJECT
  public:
    explicit home_window_c(QWidget* parent = nullptr);
    ~home_window_c() override;

    std::unique_ptr<Ui::HomeForm> form;

  signals:
    void start_clicked();
    void resume_clicked();

  protected:
    void paintEvent(QPaintEvent* event) override;
    // A new language: the buttons' images and names.
    void changeEvent(QEvent* event) override;

  private:
    void set_language();
};

// The three-state border-image style sheet of a button from the language's image folder.
QString three_state_style(const QString& base_name);
