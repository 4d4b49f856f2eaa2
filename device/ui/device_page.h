#pragma once
// What the drive page and the volume page share: the band with the page title, Back, Refresh
// and Scan along the bottom (sized, coloured and labelled alike), the list above them, and
// the replacement of the list's model. The buttons only signal: the main window connects
// them to what they do.
//
// GUI thread; each page is owned by the main window.

#include <QWidget>

class QAbstractItemModel;
class QAbstractItemView;
class QListView;
class QPushButton;

class device_page_c : public QWidget {
    Q_OBJECT
  public:
    explicit device_page_c(QWidget* parent = nullptr);

  signals:
    void back_clicked();
    void refresh_clicked();
    void scan_clicked();

  protected:
    // The form's buttons and list, once the form is built.
    void set_up_page(QPushButton* back, QPushButton* refresh, QPushButton* scan,
                     QAbstractItemView* list);
    // Puts a new model on the list; the old model (when this page made it) and its selection
    // model go once the view has let go of them.
    void replace_model(QAbstractItemModel* model);
    // The header row and the list below it, in the page's place for them.
    void place_list();

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // A new language: the buttons' texts, and the list (its delegate paints texts).
    void changeEvent(QEvent* event) override;
    // The language key of the line over the list.
    virtual const char* title_key() const { return "volume_select"; }

  private:
    QPushButton* back = nullptr;
    QPushButton* refresh = nullptr;
    QPushButton* scan = nullptr;
    QAbstractItemView* list = nullptr;
    // The list's header row (row 0 of its model), kept above the list while it scrolls.
    QListView* header_row = nullptr;
};

// The form's button text colours (white, grey when disabled), which the style sheet leaves
// to the palette; the partition page's buttons look the same.
void set_page_button_palette(QPushButton* button);
