#pragma once
// Paints one 30-pixel row of the volume page: the header row with its column titles, or a
// volume with its icon, caption, usage bar, free and total size and file system.
//
// GUI thread; stateless; owned by the page's list view.

#include <QStyledItemDelegate>

struct volume_item_s;

class volume_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // A caption cut to its column shows whole in a tooltip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The caption: the label (or "local_disk") and the path without one trailing backslash.
    static QString caption(const volume_item_s& volume);
    // The caption as painted in a row of this width: cut with "…" before the usage bar.
    static QString shown_caption(const volume_item_s& volume, int row_width);
    // "12.50G free of 100.00G"; "-" stands for free space that is not known.
    static QString size_text(const volume_item_s& volume);

    // The fill of a volume whose free space is not known.
    static constexpr QRgb unknown_colour = 0xFFC8C8C8;
};
