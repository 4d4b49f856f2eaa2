#pragma once
// Paints every cell of the file table from the whole record the model hands out: stripes,
// selection, the tick box, the name, the size and the two dates. A file that the engine
// flags as possibly overwritten has its name drawn in a warning colour; a deep scan's file
// that the scan did not check whole, in italics of a muted colour. GUI thread; owned by the
// scan page's table.

#include <QPixmap>
#include <QStyledItemDelegate>

struct recovery_item_s;

class recovery_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
  public:
    explicit recovery_delegate_c(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    // A text cut to its cell shows whole in a tooltip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The text of a cell in full, and as painted into a cell of this width ("…" where cut).
    static QString cell_text(const recovery_item_s& item, int column);
    static QString shown_text(const recovery_item_s& item, int column, int cell_width);
    static QFont cell_font();

    static const QColor overwritten_colour;
    static const QColor unverified_colour;  // a deep scan's file not checked whole (italic)

  private:
    QPixmap unticked;
    QPixmap ticked;
};

// The local calendar date of a time in seconds since 1970 as "%Y-%m-%d"; "-" for no time (0,
// what the engines give when they know none, as for files that a deep scan found), empty
// for a time before 1970 or one the calendar conversion refuses.
QString local_date_text(std::int64_t seconds);
