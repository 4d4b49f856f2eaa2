#pragma once
// The file table's column header: a tick-all box in section 0 and click-to-sort on the
// other four sections, painted in the page's colours. GUI thread; owned by the scan page's
// table for the page's life.

#include <QHeaderView>
#include <QPixmap>

class MyHeaderView : public QHeaderView {
    Q_OBJECT
  public:
    explicit MyHeaderView(QWidget* parent = nullptr);

    QSize sizeHint() const override;

    bool all_checked = false;

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
