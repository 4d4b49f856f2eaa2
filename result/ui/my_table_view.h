#pragma once
// The file table: keyboard moves to another row act as clicks on its name, so the page
// previews what the user moves to (a move never ticks, also in the tick column); Space
// acts as a click on the tick box of the current row and Enter as a click on its name.
// GUI thread; owned by the page.

#include <QTableView>

class MyQTableView : public QTableView {
    Q_OBJECT
  public:
    using QTableView::QTableView;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};
