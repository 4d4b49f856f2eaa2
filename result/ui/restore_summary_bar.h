#pragma once
// The small bar of a restoration's summary: restored files in green, restored files that
// may hold other files' data in orange, failed files in red, each as its share of the files
// that were to be restored. GUI thread; owned by the summary box.

#include <QWidget>

#include <array>

class restore_summary_bar_c : public QWidget {
    Q_OBJECT
  public:
    restore_summary_bar_c(int restored, int overwritten, int failed, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The three parts' widths within a bar of this width, in the order above; they add up to
    // the width (an empty part is 0 wide, a part that is not empty at least 1).
    static std::array<int, 3> part_widths(int restored, int overwritten, int failed, int width);

    static const QColor restored_colour;
    static const QColor overwritten_colour;
    static const QColor failed_colour;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int restored;
    int overwritten;
    int failed;
};
