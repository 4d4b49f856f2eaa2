#pragma once
// Paints one 30-pixel row of the partition page: the column titles (the record with no
// file-system name), or a found partition with its number, file system, first and last
// sector and size.
//
// GUI thread; stateless; owned by the page's list view.

#include <QStringList>
#include <QStyledItemDelegate>

struct partition_item_s;

class partition_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The five column texts of a partition in row 'row': the row number, the file system,
    // the first and last sector, and the size of its last - first + 1 sectors.
    static QStringList column_texts(const partition_item_s& partition, int row);
};
