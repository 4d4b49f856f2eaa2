#include "result/ui/recovery_model.h"

#include "app/settings.h"

#include <algorithm>

recovery_model_c::recovery_model_c(std::vector<recovery_item_s>* items, QObject* parent)
    : QAbstractTableModel(parent), items(items) {
    // A cell's display data is the whole record; as text it reads as the file's name, so
    // views and tools that want text get something sensible.
    static const bool converter = QMetaType::registerConverter<recovery_item_s, QString>(
        [](const recovery_item_s& item) { return item.name; });
    (void)converter;
}

int recovery_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items->size());
}

int recovery_model_c::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 5;
}

QVariant recovery_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(items->size())) {
        return {};
    }
    const recovery_item_s& item = (*items)[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) {
        return QVariant::fromValue(item);
    }
    if (role == Qt::ToolTipRole && item.overwritten) {
        return text("recovery_overwritten_tip");
    }
    return {};
}

QVariant recovery_model_c::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case 0:
            return QStringLiteral("checkbox");
        case 1:
            return text("recovery_name");
        case 2:
            return text("drive_size");
        case 3:
            return text("recovery_date1");
        case 4:
            return text("recovery_date2");
        default:
            return {};
    }
}

void recovery_model_c::set_checked(int row, bool value) {
    if (row < 0 || row >= static_cast<int>(items->size())) {
        return;
    }
    (*items)[static_cast<std::size_t>(row)].checked = value;
    emit dataChanged(index(row, 0), index(row, 0));
}

namespace {

template <typename Key>
void sort_items(std::vector<recovery_item_s>* items, bool ascending, Key key) {
    if (ascending) {
        std::sort(
            items->begin(), items->end(),
            [&](const recovery_item_s& a, const recovery_item_s& b) { return key(a) < key(b); });
    } else {
        std::sort(
            items->begin(), items->end(),
            [&](const recovery_item_s& a, const recovery_item_s& b) { return key(b) < key(a); });
    }
}

}  // namespace

void recovery_model_c::sort_by_column(int column) {
    if (column < 0 || column >= 8) {
        return;
    }
    sort_toggles[column] = !sort_toggles[column];
    const bool ascending = sort_toggles[column];
    switch (column) {
        case 1:
            if (ascending) {
                std::sort(items->begin(), items->end(),
                          [](const recovery_item_s& a, const recovery_item_s& b) {
                              return QString::compare(a.name, b.name) < 0;
                          });
            } else {
                std::sort(items->begin(), items->end(),
                          [](const recovery_item_s& a, const recovery_item_s& b) {
                              return QString::compare(a.name, b.name) > 0;
                          });
            }
            break;
        case 2:
            sort_items(items, ascending, [](const recovery_item_s& r) { return r.size; });
            break;
        case 3:
            sort_items(items, ascending, [](const recovery_item_s& r) { return r.date1; });
            break;
        case 4:
            sort_items(items, ascending, [](const recovery_item_s& r) { return r.date2; });
            break;
        default:
            return;
    }
    if (!items->empty()) {
        emit dataChanged(index(0, 0), index(static_cast<int>(items->size()) - 1, 4));
    }
}
