#include "result/ui/tree_model.h"

#include <QHash>

int folder_node::row() const {
    if (!parent) {
        return 0;
    }
    for (std::size_t i = 0; i < parent->children.size(); ++i) {
        if (parent->children[i].get() == this) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

TreeModel::TreeModel(QObject* parent)
    : QAbstractItemModel(parent),
      root_(std::make_unique<folder_node>(QStringLiteral("Title"), nullptr)),
      folder_icon_(QStringLiteral(":/images/recovery/folder.png")) {}

TreeModel::~TreeModel() = default;

folder_node* TreeModel::node_of(const QModelIndex& index) {
    return static_cast<folder_node*>(index.internalPointer());
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
        case Qt::DecorationRole:
            return folder_icon_;
        case Qt::CheckStateRole:
            return node->checked ? Qt::Checked : Qt::Unchecked;
        default:
            return {};
    }
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole) {
        return false;
    }
    node_of(index)->checked = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
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
    std::vector<const folder_node*> stack{root_.get()};
    while (!stack.empty()) {
        const folder_node* node = stack.back();
        stack.pop_back();
        if (node->checked) {
            ticked.push_back(node);
            continue;  // everything below comes with it
        }
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
            stack.push_back(child->get());
        }
    }
    return ticked;
}

std::unique_ptr<TreeModel> build_tree(const recovery_base_c* engine, engine_kind_e kind) {
    const std::vector<result_folder_s> folders = list_result_folders(engine, kind);
    if (folders.size() < 2) {
        return nullptr;  // no top folder, or one without sub-folders: nothing was found
    }
    auto model = std::make_unique<TreeModel>();
    // Every folder comes after its parent, and its path is the parent's path, '/', its name.
    QHash<QString, folder_node*> by_path;
    for (const result_folder_s& folder : folders) {
        folder_node* parent = model->root();
        QString title = QStringLiteral("/");
        if (folder.path != QLatin1String("/")) {
            title = folder.item.name;
            QString parent_path = folder.path.chopped(title.size() + 1);
            if (parent_path.isEmpty()) {
                parent_path = QStringLiteral("/");
            }
            parent = by_path.value(parent_path, nullptr);
            if (!parent) {
                continue;
            }
        }
        auto node = std::make_unique<folder_node>(title, parent);
        node->folder_ref = folder.ref;
        node->path = folder.path;
        by_path.insert(folder.path, node.get());
        parent->children.push_back(std::move(node));
    }
    return model;
}
