#pragma once
// Paints one 30-pixel row of the drive page: the header row with its column titles, or a
// drive with its device path, size and number (drive N shows N + 1, after the header row).
//
// GUI thread; stateless; owned by the page's list view.

#include <QStyledItemDelegate>

class drive_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A name cut to its column shows whole in a tooltip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The device path as painted in a row of this width: cut with "…" before the size column.
    static QString shown_name(const QString& name, int row_width);
};
