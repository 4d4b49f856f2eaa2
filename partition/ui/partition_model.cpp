#include "partition/ui/partition_model.h"

#include "partition/partition_repair.h"

namespace {

// Views and the model tester may ask the display data for a text: the record's name.
void register_text_converter() {
    static const bool registered = QMetaType::registerConverter<partition_item_s, QString>(
        [](const partition_item_s& v) { return v.fs_name; });
    (void)registered;
}

}  // namespace

partition_model_c::partition_model_c(const partition_repair_c& worker, QObject* parent)
    : QAbstractListModel(parent), worker(worker) {
    register_text_converter();
}

int partition_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(worker.partition_count()) + 1;
}

QVariant partition_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole || index.row() < 0 ||
        index.row() >= rowCount()) {
        return {};
    }
    if (index.row() == 0) {
        return QVariant::fromValue(partition_item_s{});  // the column titles
    }
    return QVariant::fromValue(worker.partition_at(index.row() - 1));
}
