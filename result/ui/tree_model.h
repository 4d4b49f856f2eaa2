#pragma once
// The found folders of a finished scan as a one-column tree: a root that is never shown,
// under it "/" (the volume's top folder, or the types of a deep scan), and below it every
// folder that holds found files. A click on a folder lists its files in the file table.
//
// Each folder carries a tick box: a ticked folder is restored with everything below it when
// the user keeps the folder structure. The nodes refer to the engine's results, which must
// outlive the model. GUI thread; owned by the scan page, which replaces it wholesale.

#include "result/file_list.h"

#include <QAbstractItemModel>
#include <QIcon>

#include <memory>
#include <vector>

struct folder_node {
    folder_node() = default;
    folder_node(const QString& title, folder_node* parent) : title(title), parent(parent) {}
    folder_node(const folder_node&) = delete;
    folder_node& operator=(const folder_node&) = delete;

    // Position in the parent's children; 0 for the root.
    int row() const;

    std::vector<std::unique_ptr<folder_node>> children;
    QString title;
    folder_node* parent = nullptr;
    folder_ref_s folder_ref;  // what fill_file_list needs to list this folder
    QString path;             // "/" or "/docs/reports": where the folder's files are restored
    bool checked = false;     // restore this folder with everything below it
};

class TreeModel : public QAbstractItemModel {
    Q_OBJECT
  public:
    explicit TreeModel(QObject* parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    folder_node* root() const { return root_.get(); }
    static folder_node* node_of(const QModelIndex& index);
    // The ticked folders, in tree order; a ticked folder below a ticked one is left out.
    std::vector<const folder_node*> ticked_folders() const;

  private:
    std::unique_ptr<folder_node> root_;
    QIcon folder_icon_;
};

// The tree of a finished scan, or nullptr when "/" has no sub-folder (nothing was found).
std::unique_ptr<TreeModel> build_tree(const recovery_base_c* engine, engine_kind_e kind);
