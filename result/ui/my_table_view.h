#pragma once
// The file table: keyboard moves to another row act as clicks on it, so the page previews
// (and, in the tick column, ticks) what the user moves to. GUI thread; owned by the page.

#include <QTableView>

class MyQTableView : public QTableView {
    Q_OBJECT
  public:
    using QTableView::QTableView;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};
