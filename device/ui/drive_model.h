#pragma once
// The list model of the drive page: the rows of drive_list, read live, each handed whole
// to the delegate as a drive_item_s inside a QVariant. Row 0 is the header row.
//
// GUI thread. Replaced by a new model whenever the list is rebuilt (the page owns it).

#include "device/drive_list.h"

#include <QAbstractListModel>

#include <vector>

class drive_model_c : public QAbstractListModel {
    Q_OBJECT
  public:
    explicit drive_model_c(const std::vector<drive_item_s>& list, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    const std::vector<drive_item_s>& list;
};
