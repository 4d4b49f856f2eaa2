#pragma once
// The picture grid's model over the scan page's file_list: one item per listed file, its
// name, its tick, and for its picture the thumbnail the loader made (until then, and for
// every other file, a drawn sign of its type). Like the table's model it reads the list live
// and holds no copy of the rows. GUI thread.

#include "result/recovery_item.h"

#include <QAbstractListModel>
#include <QHash>
#include <QPixmap>

#include <vector>

class thumb_loader_c;

class thumb_model_c : public QAbstractListModel {
    Q_OBJECT
  public:
    thumb_model_c(std::vector<recovery_item_s>* items, thumb_loader_c* loader,
                  QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The list was replaced or reordered: every row is read again.
    void rows_changed();
    // Asks the loader for the thumbnails of these rows (the ones the grid shows).
    void request_rows(const std::vector<int>& rows);
    // The drawn sign of a file type: a sheet with its suffix.
    static QPixmap type_sign(const QString& suffix, int side);

  signals:
    // The user ticked or unticked a file in the grid.
    void ticks_changed();

  private:
    void on_ready(std::uint64_t key);

    std::vector<recovery_item_s>* items_;
    thumb_loader_c* loader_;
    QHash<std::uint64_t, int> rows_;  // thumb_loader_c::key_of -> row
    mutable QHash<QString, QPixmap> signs_;
};
