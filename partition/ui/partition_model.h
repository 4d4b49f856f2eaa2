#pragma once
// The list model of the partition page: a column-title row, then the partitions the
// worker has found so far, read live through its locked accessors. Each row travels whole
// to the delegate as a partition_item_s; the title row is the empty record.
//
// GUI thread; replaced by a new model whenever the worker reports a partition.

#include <QAbstractListModel>

class partition_repair_c;

class partition_model_c : public QAbstractListModel {
    Q_OBJECT
  public:
    explicit partition_model_c(const partition_repair_c& worker, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    const partition_repair_c& worker;
};
