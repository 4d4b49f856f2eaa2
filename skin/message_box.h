#pragma once
// The program's message box: a QMessageBox with the program's icon whose text is always
// shown whole. The text wraps at a readable width; a line without blanks (a path, a device
// name, a command) is kept on one line as far as the screen allows; the box is never
// smaller than its text. Also the helper that turns a tooltip into one that wraps.
//
// GUI thread; made on the stack by whoever asks or warns.

#include <QMessageBox>

class QAbstractItemView;

class message_box_c : public QMessageBox {
    Q_OBJECT
  public:
    message_box_c(Icon icon, const QString& title, const QString& text,
                  StandardButtons buttons = NoButton, QWidget* parent = nullptr,
                  Qt::WindowFlags flags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    // The width the text is given: its widest line, wrapped at a readable width, within
    // three quarters of the screen.
    int text_width() const;

  protected:
    void showEvent(QShowEvent* event) override;
};

// A tooltip that wraps (rich text, which Qt's tooltips wrap at about 80 characters), with
// places to break inside long names and paths; each line of plain stays a line.
QString wrapping_tooltip(const QString& plain);

// Shows the tooltips of an item view's items as wrapping tooltips: installed on the view's
// viewport, owned by the view.
class wrapping_tooltips_c : public QObject {
    Q_OBJECT
  public:
    // Installs itself on view's viewport.
    explicit wrapping_tooltips_c(QAbstractItemView* view);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QAbstractItemView* view_;
};
