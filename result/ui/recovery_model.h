#pragma once
// The file table's model over the scan page's file_list: five columns (tick, name, size,
// two dates), every cell handing out the whole record for the delegate to paint. It holds
// no copy of the rows and reads the list live. GUI thread; the page makes a new one whenever
// the list is replaced.

#include "result/recovery_item.h"

#include <QAbstractTableModel>

#include <vector>

class recovery_model_c : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit recovery_model_c(std::vector<recovery_item_s>* items, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void set_checked(int row, bool value);
    // Sorts the list by a column, ascending on the first call, then alternating.
    void sort_by_column(int column);
    // Sorts a list by a column (1 name, 2 size, 3 and 4 the dates); equal keys keep their
    // order, so the same list sorts the same way every time.
    static void sort_rows(std::vector<recovery_item_s>* items, int column, bool ascending);
    // The rows were reordered in place: the views repaint them.
    void rows_moved();

  private:
    std::vector<recovery_item_s>* items;
    bool sort_toggles[8] = {};
};
