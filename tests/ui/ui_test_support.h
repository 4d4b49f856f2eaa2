#pragma once
// Helpers for the desktop program's tests: answering modal message boxes and starting from
// a clean language and settings state.

#include <QMessageBox>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>

// Answers the next modal message box with a button and records what it showed. Arm it
// before the call that opens the box; it polls the application's modal widget.
class box_answer_c : public QObject {
    Q_OBJECT
  public:
    explicit box_answer_c(QMessageBox::StandardButton answer);
    ~box_answer_c() override;

    int boxes = 0;  // how many boxes were answered
    QString text;
    QString title;
    QWidget* parent = nullptr;
    QMessageBox::StandardButtons buttons;
    bool custom_icon = false;  // the icon is an image, not the style's warning sign
    // The button Enter would press; a box_answer_c made with NoButton answers with Enter.
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
    QRect geometry;             // where the box stood on the screen
    QStringList extra_buttons;  // texts of the buttons that are not standard ones
    // Click the button with this text instead of the answer (when the box has one).
    QString click_text;

  private:
    void poll();
    QMessageBox::StandardButton answer;
    QTimer timer;
};

// Texts from the repository's language.ini (English), settings and deep-scan checkpoints in a
// private folder.
void fresh_language_state(const QString& config_folder);

// Answers the next modal file dialog with a path (a folder for a folder dialog), or cancels
// it when the path is empty. Arm it before the call that opens the dialog.
class file_dialog_answer_c : public QObject {
    Q_OBJECT
  public:
    explicit file_dialog_answer_c(const QString& path);
    ~file_dialog_answer_c() override;

    int dialogs = 0;
    QString directory;  // where the dialog started

  private:
    void poll();
    QString path;
    QTimer timer;
};
