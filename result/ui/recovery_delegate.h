#pragma once
// Paints every cell of the file table from the whole record the model hands out: stripes,
// selection, the tick box, the name, the size and the two dates. A file that the engine
// flags as possibly overwritten has its name drawn in a warning colour. GUI thread; owned
// by the scan page's table.

#include <QPixmap>
#include <QStyledItemDelegate>

class recovery_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
  public:
    explicit recovery_delegate_c(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    static const QColor overwritten_colour;

  private:
    QPixmap unticked;
    QPixmap ticked;
};

// The local calendar date of a time in seconds since 1970 as "%Y-%m-%d"; empty for a time
// before 1970 or one the calendar conversion refuses.
QString local_date_text(std::int64_t seconds);
