#pragma once
// The file table's column header: a tick-all box in section 0 (ticked, empty, or partly
// ticked when some files are) and click-to-sort on the other four sections, the sorted one
// with an arrow, painted in the page's colours. GUI thread; owned by the scan page's
// table for the page's life.

#include <QHeaderView>
#include <QPixmap>

class MyHeaderView : public QHeaderView {
    Q_OBJECT
  public:
    explicit MyHeaderView(QWidget* parent = nullptr);

    QSize sizeHint() const override;

    // The tick-all box: Checked when every listed file is ticked, PartiallyChecked when some
    // are. A click on it ticks all unless all are ticked.
    Qt::CheckState tick_state = Qt::Unchecked;
    // The section the table is sorted by (0: none) and its direction, shown by an arrow.
    int sorted_section = 0;
    bool sorted_ascending = true;

  signals:
    void check_all(bool value);
    void sort_column(int column);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

  private:
    QPixmap unticked;
    QPixmap ticked;
};
