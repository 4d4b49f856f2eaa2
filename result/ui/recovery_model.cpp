#include "result/ui/recovery_model.h"

#include "core/settings.h"

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
    if (role == Qt::ToolTipRole && item.unverified) {
        return text("recovery_unverified_tip");
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

// Sorts by a key taken out once per row: the comparisons run over a compact array of keys
// and row numbers, and each record moves once, into its place.
template <typename Key, typename Less>
void sort_items(std::vector<recovery_item_s>* items, bool ascending, Key key, Less less) {
    using key_type = decltype(key(items->front()));
    std::vector<std::pair<key_type, std::size_t>> keys;
    keys.reserve(items->size());
    for (std::size_t i = 0; i < items->size(); ++i) {
        keys.emplace_back(key((*items)[i]), i);
    }
    if (ascending) {
        std::stable_sort(keys.begin(), keys.end(),
                         [&](const auto& a, const auto& b) { return less(a.first, b.first); });
    } else {
        std::stable_sort(keys.begin(), keys.end(),
                         [&](const auto& a, const auto& b) { return less(b.first, a.first); });
    }
    std::vector<recovery_item_s> sorted;
    sorted.reserve(items->size());
    for (const auto& k : keys) {
        sorted.push_back(std::move((*items)[k.second]));
    }
    items->swap(sorted);
}

}  // namespace

void recovery_model_c::sort_by_column(int column) {
    if (column < 0 || column >= 8) {
        return;
    }
    sort_toggles[column] = !sort_toggles[column];
    if (items->empty() || column < 1 || column > 4) {
        return;
    }
    sort_rows(items, column, sort_toggles[column]);
    rows_moved();
}

void recovery_model_c::rows_moved() {
    if (!items->empty()) {
        emit dataChanged(index(0, 0), index(static_cast<int>(items->size()) - 1, 4));
    }
}

void recovery_model_c::sort_rows(std::vector<recovery_item_s>* items, int column, bool ascending) {
    if (items->empty()) {
        return;
    }
    // Names compare by UTF-16 code units, case-sensitive (QString::compare).
    const auto by_name = [](QStringView a, QStringView b) { return a.compare(b) < 0; };
    const auto by_number = [](auto a, auto b) { return a < b; };
    switch (column) {
        case 1:
            sort_items(
                items, ascending, [](const recovery_item_s& r) { return QStringView(r.name); },
                by_name);
            break;
        case 2:
            sort_items(
                items, ascending, [](const recovery_item_s& r) { return r.size; }, by_number);
            break;
        case 3:
            sort_items(
                items, ascending, [](const recovery_item_s& r) { return r.date1; }, by_number);
            break;
        case 4:
            sort_items(
                items, ascending, [](const recovery_item_s& r) { return r.date2; }, by_number);
            break;
        default:
            break;
    }
}
