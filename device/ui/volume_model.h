#pragma once
// The list model of the volume page: the rows of volume_list, read live, each handed whole
// to the delegate as a volume_item_s inside a QVariant. Row 0 is the header row.
//
// GUI thread. Replaced by a new model whenever the list is rebuilt (the page owns it).

#include "device/volume_list.h"

#include <QAbstractListModel>

#include <vector>

class volume_model_c : public QAbstractListModel {
    Q_OBJECT
  public:
    // extra rows (whole drives for a deep scan) follow the list's rows when given.
    explicit volume_model_c(const std::vector<volume_item_s>& list, QObject* parent = nullptr,
                            const std::vector<volume_item_s>* extra = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    const std::vector<volume_item_s>& list;
    const std::vector<volume_item_s>* extra;
};
