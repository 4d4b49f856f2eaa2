#pragma once
// The found folders of a finished scan as a one-column tree: a root that is never shown,
// under it "/" (the volume's top folder, or the types of a deep scan), and below it every
// folder that holds found files. A change of the highlighted folder lists its files in the
// file table.
//
// Each folder carries a tick box with three states, and the model keeps what is ticked for
// every file of the tree: ticking a folder ticks everything below it, unticking one file
// leaves its folders partly ticked. The ticks are what a restoration restores. The nodes
// refer to the engine's results, which must outlive the model. GUI thread; owned by the scan
// page, which replaces it wholesale.

#include "result/file_list.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QPair>

#include <cstdint>
#include <memory>
#include <vector>

// A file within its folder: the engine's key and the name. Two rows with the same key and
// name are ticked together (and counted, and restored, as two).
using file_id_s = QPair<std::uint64_t, QString>;

// Rows and bytes that one ticked file id stands for.
struct tick_count_s {
    std::int64_t files = 0;
    std::uint64_t bytes = 0;
};

// How many of a folder's own files are ticked.
enum class own_ticks_e { none, all, some };

struct folder_node {
    folder_node() = default;
    folder_node(const QString& title, folder_node* parent) : title(title), parent(parent) {}
    folder_node(const folder_node&) = delete;
    folder_node& operator=(const folder_node&) = delete;

    // Position in the parent's children; 0 for the root. At once where the tree was built by
    // build_tree (which keeps each node's position), else found among the children.
    int row() const;
    // "/" or "/docs/reports", built from the titles of the folders above: where the folder's
    // files are restored; "" for the hidden root. With a limit, a longer path keeps its last
    // limit characters or so after "…" (a folder nested thousands deep has a path of
    // megabytes).
    QString path(qsizetype limit = -1) const;

    std::vector<std::unique_ptr<folder_node>> children;
    QString title;
    folder_node* parent = nullptr;
    std::size_t position = 0;  // in parent->children, when build_tree made the tree
    folder_ref_s folder_ref;   // what fill_file_list needs to list this folder

    // The files directly in this folder, counted when the tree is built.
    std::int64_t own_files = 0;
    std::uint64_t own_bytes = 0;
    own_ticks_e own = own_ticks_e::none;
    QHash<file_id_s, tick_count_s> some;   // the ticked files when own is some
    Qt::CheckState state = Qt::Unchecked;  // the tick shown: of the folder and all below it
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
    QModelIndex index_of(const folder_node* node) const;
    // The fully ticked folders, in tree order; a folder below a fully ticked one is left out.
    std::vector<const folder_node*> ticked_folders() const;

    // Ticks or unticks a folder with every file and folder below it.
    void set_folder_ticked(folder_node* node, bool ticked);
    // Takes the ticks of a folder's own files from the list of all its files.
    void take_file_ticks(folder_node* node, const std::vector<recovery_item_s>& files);
    // Sets checked on each of a folder's files (the whole list of them) from the ticks.
    static void give_file_ticks(const folder_node* node, std::vector<recovery_item_s>& files);
    // Whether one of a folder's files is ticked.
    static bool file_ticked(const folder_node* node, const recovery_item_s& file);
    // The files ticked in the whole tree, and their bytes.
    tick_count_s ticked_totals() const;
    // Every found file of the tree, and its bytes; the folders below "/".
    tick_count_s found_totals() const;
    int found_folders() const;

  signals:
    // Ticks changed through the tree (a folder's box): the open folder's list may be stale.
    void ticks_changed();

  private:
    // Recomputes the shown states bottom-up and tells the views.
    void refresh_states();

    std::unique_ptr<folder_node> root_;
    QIcon folder_icon_;
};

// Natural order of names: "photo 2" before "photo 10", "a" before "B"; 0 only for equal names.
int natural_compare(const QString& a, const QString& b);

// The tree of a finished scan, or nullptr when it holds no found file (nothing was found).
// Folders are in natural order of their names; each folder's files are counted.
std::unique_ptr<TreeModel> build_tree(const recovery_base_c* engine, engine_kind_e kind);
