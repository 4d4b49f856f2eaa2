#include "result/ui/tree_model.h"

#include <algorithm>

int natural_compare(const QString& a, const QString& b) {
    // Runs of digits compare as numbers (by length without leading zeros, then digit by
    // digit, so no run overflows), the rest without regard to case; ties by code units.
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a[ei].isDigit()) {
                ++ei;
            }
            while (ej < b.size() && b[ej].isDigit()) {
                ++ej;
            }
            qsizetype si = i;
            qsizetype sj = j;
            while (si + 1 < ei && a[si] == QLatin1Char('0')) {
                ++si;
            }
            while (sj + 1 < ej && b[sj] == QLatin1Char('0')) {
                ++sj;
            }
            if (ei - si != ej - sj) {
                return ei - si < ej - sj ? -1 : 1;
            }
            const int digits =
                QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (digits != 0) {
                return digits < 0 ? -1 : 1;
            }
            i = ei;
            j = ej;
            continue;
        }
        const QChar ca = a[i].toCaseFolded();
        const QChar cb = b[j].toCaseFolded();
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return i < a.size() ? 1 : -1;
    }
    const int last = a.compare(b);
    return (last > 0) - (last < 0);
}

namespace {

constexpr qsizetype tooltip_limit = 1024;  // characters of a folder's path in its tooltip

}  // namespace

int folder_node::row() const {
    if (!parent) {
        return 0;
    }
    if (position < parent->children.size() && parent->children[position].get() == this) {
        return static_cast<int>(position);
    }
    for (std::size_t i = 0; i < parent->children.size(); ++i) {
        if (parent->children[i].get() == this) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

QString folder_node::path(qsizetype limit) const {
    if (!parent) {
        return {};  // the hidden root
    }
    // Up to the top folder "/", whose parent is the hidden root; names are gathered from the
    // bottom and joined once.
    climbed_path_c path(limit);
    for (const folder_node* node = this; node->parent && node->parent->parent;
         node = node->parent) {
        if (!path.add(node->title)) {
            break;
        }
    }
    return path.text();
}

TreeModel::TreeModel(QObject* parent)
    : QAbstractItemModel(parent),
      root_(std::make_unique<folder_node>(QStringLiteral("Title"), nullptr)),
      folder_icon_(QStringLiteral(":/images/recovery/folder.png")) {}

TreeModel::~TreeModel() = default;

folder_node* TreeModel::node_of(const QModelIndex& index) {
    return static_cast<folder_node*>(index.internalPointer());
}

QModelIndex TreeModel::index_of(const folder_node* node) const {
    if (!node || node == root_.get() || !node->parent) {
        return {};
    }
    return createIndex(node->row(), 0, const_cast<folder_node*>(node));
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!hasIndex(row, column, parent)) {
        return {};
    }
    const folder_node* node = parent.isValid() ? node_of(parent) : root_.get();
    if (row < 0 || row >= static_cast<int>(node->children.size())) {
        return {};
    }
    return createIndex(row, column, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex TreeModel::parent(const QModelIndex& index) const {
    if (!index.isValid()) {
        return {};
    }
    folder_node* up = node_of(index)->parent;
    if (!up || up == root_.get()) {
        return {};
    }
    return createIndex(up->row(), 0, up);
}

int TreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) {
        return 0;
    }
    const folder_node* node = parent.isValid() ? node_of(parent) : root_.get();
    return static_cast<int>(node->children.size());
}

int TreeModel::columnCount(const QModelIndex& parent) const {
    (void)parent;
    return 1;
}

QVariant TreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const folder_node* node = node_of(index);
    switch (role) {
        case Qt::DisplayRole:
            return node->title;
        case Qt::ToolTipRole:
            return node->path(tooltip_limit);
        case Qt::DecorationRole:
            return folder_icon_;
        case Qt::CheckStateRole:
            return node->state;
        default:
            return {};
    }
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole) {
        return false;
    }
    // A partly ticked folder's box ticks it whole.
    set_folder_ticked(node_of(index), value.toInt() != Qt::Unchecked);
    emit ticks_changed();
    return true;
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    (void)section;
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        return root_->title;
    }
    return {};
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable;
}

std::vector<const folder_node*> TreeModel::ticked_folders() const {
    std::vector<const folder_node*> ticked;
    std::vector<const folder_node*> stack;
    for (auto child = root_->children.rbegin(); child != root_->children.rend(); ++child) {
        stack.push_back(child->get());
    }
    while (!stack.empty()) {
        const folder_node* node = stack.back();
        stack.pop_back();
        if (node->state == Qt::Checked) {
            ticked.push_back(node);
            continue;  // everything below comes with it
        }
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
            stack.push_back(child->get());
        }
    }
    return ticked;
}

void TreeModel::set_folder_ticked(folder_node* node, bool ticked) {
    std::vector<folder_node*> stack{node};
    while (!stack.empty()) {
        folder_node* n = stack.back();
        stack.pop_back();
        n->own = ticked ? own_ticks_e::all : own_ticks_e::none;
        n->some.clear();
        for (const auto& child : n->children) {
            stack.push_back(child.get());
        }
    }
    refresh_states();
}

void TreeModel::take_file_ticks(folder_node* node, const std::vector<recovery_item_s>& files) {
    std::size_t ticked = 0;
    for (const recovery_item_s& file : files) {
        ticked += file.checked ? 1 : 0;
    }
    node->some.clear();
    if (ticked == 0) {
        node->own = own_ticks_e::none;
    } else if (ticked == files.size()) {
        node->own = own_ticks_e::all;
    } else {
        node->own = own_ticks_e::some;
        for (const recovery_item_s& file : files) {
            if (file.checked) {
                tick_count_s& count = node->some[file_id_s(file.file_key, file.name)];
                ++count.files;
                count.bytes += file.size;
            }
        }
    }
    refresh_states();
}

bool TreeModel::file_ticked(const folder_node* node, const recovery_item_s& file) {
    switch (node->own) {
        case own_ticks_e::none:
            return false;
        case own_ticks_e::all:
            return true;
        case own_ticks_e::some:
            break;
    }
    return node->some.contains(file_id_s(file.file_key, file.name));
}

void TreeModel::give_file_ticks(const folder_node* node, std::vector<recovery_item_s>& files) {
    for (recovery_item_s& file : files) {
        file.checked = file_ticked(node, file);
    }
}

namespace {

template <typename Visit>
void each_node(const folder_node* root, Visit visit) {
    std::vector<const folder_node*> stack{root};
    while (!stack.empty()) {
        const folder_node* node = stack.back();
        stack.pop_back();
        visit(node);
        for (std::size_t i = 0; i < node->children.size(); ++i) {
            node->children[i]->position = i;
            stack.push_back(node->children[i].get());
        }
    }
}

// The state of a node from its own ticks and its children's states. A folder without files
// of its own but with sub-folders shows theirs.
Qt::CheckState combined_state(const folder_node* node) {
    bool any_ticked = false;
    bool any_unticked = false;
    if (node->own_files > 0 || node->children.empty()) {
        any_ticked = node->own != own_ticks_e::none;
        any_unticked = node->own != own_ticks_e::all;
    }
    for (const auto& child : node->children) {
        any_ticked = any_ticked || child->state != Qt::Unchecked;
        any_unticked = any_unticked || child->state != Qt::Checked;
    }
    if (any_ticked && any_unticked) {
        return Qt::PartiallyChecked;
    }
    return any_ticked ? Qt::Checked : Qt::Unchecked;
}

}  // namespace

void TreeModel::refresh_states() {
    // Post-order without recursion: a hostile volume may nest folders thousands deep.
    std::vector<folder_node*> order;
    std::vector<folder_node*> stack{root_.get()};
    while (!stack.empty()) {
        folder_node* node = stack.back();
        stack.pop_back();
        order.push_back(node);
        for (std::size_t i = 0; i < node->children.size(); ++i) {
            node->children[i]->position = i;
            stack.push_back(node->children[i].get());
        }
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        folder_node* node = *it;
        const Qt::CheckState state = combined_state(node);
        if (state != node->state) {
            node->state = state;
            const QModelIndex index = index_of(node);
            if (index.isValid()) {
                emit dataChanged(index, index, {Qt::CheckStateRole});
            }
        }
    }
}

tick_count_s TreeModel::ticked_totals() const {
    tick_count_s total;
    each_node(root_.get(), [&](const folder_node* node) {
        if (node->own == own_ticks_e::all) {
            total.files += node->own_files;
            total.bytes += node->own_bytes;
        } else if (node->own == own_ticks_e::some) {
            for (const tick_count_s& count : node->some) {
                total.files += count.files;
                total.bytes += count.bytes;
            }
        }
    });
    return total;
}

tick_count_s TreeModel::found_totals() const {
    tick_count_s total;
    each_node(root_.get(), [&](const folder_node* node) {
        total.files += node->own_files;
        total.bytes += node->own_bytes;
    });
    return total;
}

int TreeModel::found_folders() const {
    int folders = 0;
    each_node(root_.get(), [&](const folder_node*) { ++folders; });
    return std::max(0, folders - 2);  // the hidden root and "/"
}

std::unique_ptr<TreeModel> build_tree(const recovery_base_c* engine, engine_kind_e kind) {
    // Without paths: each folder knows its parent, and a path is built only when it is shown
    // or restored, so folders nested thousands deep cost what flat ones do.
    const std::vector<result_folder_s> folders =
        list_result_folders(engine, kind, folder_paths_e::without_paths);
    if (folders.empty()) {
        return nullptr;  // no top folder: nothing was scanned
    }
    auto model = std::make_unique<TreeModel>();
    // Every folder comes after its parent: the nodes by the folders' positions.
    std::vector<folder_node*> nodes(folders.size(), nullptr);
    std::int64_t found = 0;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const result_folder_s& folder = folders[i];
        folder_node* parent = model->root();
        QString title = QStringLiteral("/");
        if (folder.parent >= 0) {
            const auto up = static_cast<std::size_t>(folder.parent);
            parent = up < i ? nodes[up] : nullptr;
            if (!parent) {
                continue;
            }
            title = folder.item.name;
        } else if (i != 0) {
            continue;  // one top folder only
        }
        auto node = std::make_unique<folder_node>(title, parent);
        node->folder_ref = folder.ref;
        const file_totals_s totals = count_file_list(engine, kind, folder.ref);
        node->own_files = totals.files;
        node->own_bytes = totals.bytes;
        found += node->own_files;
        nodes[i] = node.get();
        parent->children.push_back(std::move(node));
    }
    if (found == 0) {
        return nullptr;
    }
    // Natural order ("photo 2" before "photo 10"), the same on every run.
    std::vector<folder_node*> stack{model->root()};
    while (!stack.empty()) {
        folder_node* node = stack.back();
        stack.pop_back();
        std::stable_sort(
            node->children.begin(), node->children.end(),
            [](const auto& a, const auto& b) { return natural_compare(a->title, b->title) < 0; });
        for (std::size_t i = 0; i < node->children.size(); ++i) {
            node->children[i]->position = i;
            stack.push_back(node->children[i].get());
        }
    }
    return model;
}
