#include "device/ui/drive_model.h"

namespace {

// Views and the model tester may ask the display data for a text: the record's name.
void register_text_converter() {
    static const bool registered = QMetaType::registerConverter<drive_item_s, QString>(
        [](const drive_item_s& v) { return v.name; });
    (void)registered;
}

}  // namespace

drive_model_c::drive_model_c(const std::vector<drive_item_s>& list, QObject* parent)
    : QAbstractListModel(parent), list(list) {
    register_text_converter();
}

int drive_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(list.size());
}

QVariant drive_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole || index.row() < 0 ||
        index.row() >= static_cast<int>(list.size())) {
        return {};
    }
    return QVariant::fromValue(list[static_cast<std::size_t>(index.row())]);
}
