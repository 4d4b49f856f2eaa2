#include "device/ui/volume_model.h"

namespace {

// Views and the model tester may ask the display data for a text: the record's name.
void register_text_converter() {
    static const bool registered = QMetaType::registerConverter<volume_item_s, QString>(
        [](const volume_item_s& v) { return v.device_name; });
    (void)registered;
}

}  // namespace

volume_model_c::volume_model_c(const std::vector<volume_item_s>& list, QObject* parent,
                               const std::vector<volume_item_s>* extra)
    : QAbstractListModel(parent), list(list), extra(extra) {
    register_text_converter();
}

int volume_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(list.size() + (extra ? extra->size() : 0));
}

QVariant volume_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole || index.row() < 0 ||
        index.row() >= rowCount()) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    return QVariant::fromValue(row < list.size() ? list[row] : (*extra)[row - list.size()]);
}
