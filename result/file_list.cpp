#include "file_list.h"

#include "engine/exfat/exfat_recovery.h"
#include "engine/ext4/ext4_recovery.h"
#include "engine/fat/fat_recovery.h"
#include "engine/ntfs/ntfs_recovery.h"
#include "engine/raw/raw_recovery.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <optional>
#include <unordered_set>

namespace {

// ---- FAT engine (kind 0) ----

recovery_item_s fat_record(const fat_node& node) {
    recovery_item_s item;
    item.name = node.name;
    item.size = node.size;
    item.date1 = node.write_time;
    item.date2 = node.creation_time;
    item.accessed = node.access_time;
    item.file_key = node.first_cluster;
    item.attributes = node.attributes;
    item.overwritten = node.overwritten != 0;
    return item;
}

// A deleted folder whose cluster holds something else now is listed empty, flagged.
bool fat_is_listed_folder(const fat_node& node) {
    return (node.attributes & fat_attr_directory) && node.first_cluster != 0 &&
           (node.has_files || ((node.attributes & fat_attr_deleted) && node.overwritten));
}

void fat_folders(const fat_recovery_c& engine, std::vector<result_folder_s>* folders) {
    const auto& nodes = engine.nodes();
    const auto top = nodes.constFind(0);
    if (top == nodes.constEnd()) {
        return;
    }
    result_folder_s root;
    root.path = QStringLiteral("/");
    folders->push_back(root);
    // Depth first with an explicit stack: a hostile volume may nest folders thousands deep.
    // Every node has one parent key, so the links form a tree; the seen set is a guard only.
    struct pending_s {
        const fat_node* node;
        std::ptrdiff_t index;  // its position in folders
    };
    std::vector<pending_s> stack{{&top.value(), 0}};
    QSet<std::uint32_t> seen{0};
    while (!stack.empty()) {
        const pending_s current = stack.back();
        stack.pop_back();
        std::vector<pending_s> below;
        for (const std::uint32_t key : current.node->children) {
            const auto found = nodes.constFind(key);
            if (found == nodes.constEnd()) {
                continue;
            }
            const fat_node* child = &found.value();
            if (!fat_is_listed_folder(*child) || seen.contains(child->first_cluster)) {
                continue;
            }
            seen.insert(child->first_cluster);
            result_folder_s folder;
            folder.ref.key = child->first_cluster;
            folder.item = fat_record(*child);
            folder.parent = current.index;
            folders->push_back(folder);
            below.push_back({child, static_cast<std::ptrdiff_t>(folders->size() - 1)});
        }
        // Reversed onto the stack so that the folders are visited in the engine's order.
        stack.insert(stack.end(), below.rbegin(), below.rend());
    }
}

void fat_files(const fat_recovery_c& engine, const folder_ref_s& folder, const file_visit_fn& out) {
    const auto& nodes = engine.nodes();
    const auto found = nodes.constFind(static_cast<std::uint32_t>(folder.key));
    if (found == nodes.constEnd()) {
        return;
    }
    for (const std::uint32_t key : found.value().children) {
        const auto child = nodes.constFind(key);
        if (child == nodes.constEnd() || (child->attributes & fat_attr_directory) ||
            child->first_cluster == 0) {
            continue;
        }
        out(fat_record(child.value()));
    }
}

// ---- NTFS engine (kind 1) ----

recovery_item_s ntfs_item(const ntfs_tree_c& tree, const ntfs_node& node) {
    recovery_item_s item;
    item.name = tree.name(node);
    item.size = node.size;
    item.date1 = node.write_time;
    item.date2 = node.creation_time;
    item.file_key = node.record_number;
    item.attributes = static_cast<std::int32_t>(node.flags);
    item.overwritten = node.extra_flags & ntfs_extra_overwritten;
    if (node.flags & ntfs_flag_stream) {
        const qsizetype colon = item.name.lastIndexOf(QLatin1Char(':'));
        if (colon > 0) {
            item.restore_name = item.name;
            item.restore_name[colon] = QLatin1Char('_');
        }
    }
    return item;
}

// Records 0-11 are the volume's own files and folders and are never shown.
bool ntfs_is_listed_folder(const ntfs_node& node) {
    return (node.flags & ntfs_flag_directory) && node.has_files &&
           node.record_number > ntfs_last_system_record;
}

void ntfs_folders(const ntfs_recovery_c& engine, std::vector<result_folder_s>* folders) {
    const ntfs_tree_c& tree = engine.tree();
    const ntfs_node* top = tree.find(ntfs_root_record);
    if (!top) {
        return;
    }
    result_folder_s root;
    root.path = QStringLiteral("/");
    root.ref.key = ntfs_root_record;
    folders->push_back(root);
    struct pending_s {
        const ntfs_node* node;
        std::ptrdiff_t index;  // its position in folders
    };
    // The root is its own child; the seen set also guards against parents that loop.
    std::vector<pending_s> stack{{top, 0}};
    QSet<std::uint64_t> seen{ntfs_root_record};
    while (!stack.empty()) {
        const pending_s current = stack.back();
        stack.pop_back();
        std::vector<pending_s> below;
        for (const std::uint32_t index : tree.children(*current.node)) {
            const ntfs_node* child = &tree.at(index);
            if (!ntfs_is_listed_folder(*child) || seen.contains(child->record_number)) {
                continue;
            }
            seen.insert(child->record_number);
            result_folder_s folder;
            folder.ref.key = child->record_number;
            folder.item = ntfs_item(tree, *child);
            folder.parent = current.index;
            folders->push_back(folder);
            below.push_back({child, static_cast<std::ptrdiff_t>(folders->size() - 1)});
        }
        stack.insert(stack.end(), below.rbegin(), below.rend());
    }
}

void ntfs_files(const ntfs_recovery_c& engine, const folder_ref_s& folder,
                const file_visit_fn& out) {
    const ntfs_tree_c& tree = engine.tree();
    const ntfs_node* found = tree.find(folder.key);
    if (!found) {
        return;
    }
    for (const std::uint32_t index : tree.children(*found)) {
        const ntfs_node& child = tree.at(index);
        if ((child.flags & ntfs_flag_file) && child.record_number > ntfs_last_system_record) {
            out(ntfs_item(tree, child));
        }
    }
}

// ---- exFAT engine (kind 3) ----

recovery_item_s exfat_record(const exfat_node& node) {
    recovery_item_s item;
    item.name = node.name;
    item.size = node.size;
    item.date1 = node.modify_ms / 1000;
    item.date2 = node.create_ms / 1000;
    item.accessed = node.access_ms / 1000;
    item.file_key = node.key;
    item.attributes = node.attributes;
    item.overwritten = node.overwritten != 0;
    return item;
}

// The folders of an engine whose results are a table of nodes by key, 0 the top folder,
// each with its children's keys (exFAT, ext4): depth first, those with files below them.
template <typename Nodes, typename Record>
void node_tree_folders(const Nodes& nodes, std::uint16_t directory_bit, const Record& record,
                       std::vector<result_folder_s>* folders) {
    const auto top = nodes.constFind(0);
    if (top == nodes.constEnd()) {
        return;
    }
    result_folder_s root;
    root.path = QStringLiteral("/");
    folders->push_back(root);
    using node_t = typename Nodes::mapped_type;
    struct pending_s {
        const node_t* node;
        std::ptrdiff_t index;  // its position in folders
    };
    std::vector<pending_s> stack{{&top.value(), 0}};
    QSet<std::uint64_t> seen{0};
    while (!stack.empty()) {
        const pending_s current = stack.back();
        stack.pop_back();
        std::vector<pending_s> below;
        for (const std::uint64_t key : current.node->children) {
            const auto found = nodes.constFind(key);
            if (found == nodes.constEnd()) {
                continue;
            }
            const node_t* child = &found.value();
            if (!(child->attributes & directory_bit) || !child->has_files || seen.contains(key)) {
                continue;
            }
            seen.insert(key);
            result_folder_s folder;
            folder.ref.key = key;
            folder.item = record(*child);
            folder.parent = current.index;
            folders->push_back(folder);
            below.push_back({child, static_cast<std::ptrdiff_t>(folders->size() - 1)});
        }
        stack.insert(stack.end(), below.rbegin(), below.rend());
    }
}

// The files of one folder of such a table, in the order they were found.
template <typename Nodes, typename Record>
void node_tree_files(const Nodes& nodes, std::uint16_t directory_bit, const Record& record,
                     const folder_ref_s& folder, const file_visit_fn& out) {
    const auto found = nodes.constFind(folder.key);
    if (found == nodes.constEnd()) {
        return;
    }
    for (const std::uint64_t key : found.value().children) {
        const auto child = nodes.constFind(key);
        if (child != nodes.constEnd() && !(child->attributes & directory_bit)) {
            out(record(child.value()));
        }
    }
}

void exfat_folders(const exfat_recovery_c& engine, std::vector<result_folder_s>* folders) {
    node_tree_folders(engine.nodes(), exfat::attr_directory, exfat_record, folders);
}

void exfat_files(const exfat_recovery_c& engine, const folder_ref_s& folder,
                 const file_visit_fn& out) {
    node_tree_files(engine.nodes(), exfat::attr_directory, exfat_record, folder, out);
}

// ---- ext4 engine (kind 4) ----

// A deleted entry without its inode is listed with size 0 and marked possibly overwritten:
// the quick scan cannot restore it.
recovery_item_s ext4_record(const ext4_node& node) {
    recovery_item_s item;
    item.name = node.name;
    item.size = node.size;
    item.date1 = node.mtime;
    item.date2 = node.crtime;
    item.file_key = node.key;
    item.attributes = node.attributes;
    item.overwritten = node.overwritten != 0;
    return item;
}

void ext4_folders(const ext4_recovery_c& engine, std::vector<result_folder_s>* folders) {
    node_tree_folders(engine.nodes(), ext4_attr_directory, ext4_record, folders);
}

void ext4_files(const ext4_recovery_c& engine, const folder_ref_s& folder,
                const file_visit_fn& out) {
    node_tree_files(engine.nodes(), ext4_attr_directory, ext4_record, folder, out);
}

// ---- signature engine (kind 2) ----

// One folder per type name under "/", in name order (the engine's map has none); each
// folder's reference is that type's list of record indexes. A type of more than
// deep_folder_files files gets numbered sub-folders instead ("0001", "0002", ...), each
// with the next deep_folder_files of the list (its key is its number), so that no folder
// written holds more than a file manager can open.
void signature_folders(const raw_recovery_c& engine, std::vector<result_folder_s>* folders) {
    result_folder_s root;
    root.path = QStringLiteral("/");
    folders->push_back(root);
    const auto& index = engine.type_index();
    QList<QByteArray> types = index.keys();
    std::sort(types.begin(), types.end());
    for (const QByteArray& type : types) {
        const QList<std::uint64_t>& list = index.find(type).value();
        result_folder_s folder;
        folder.item.name = QString::fromLatin1(type);
        folder.parent = 0;
        if (list.size() <= deep_folder_files) {
            folder.ref.list = &list;
            folders->push_back(folder);
            continue;
        }
        const auto parent = static_cast<std::ptrdiff_t>(folders->size());
        folders->push_back(folder);  // no files of its own
        const qsizetype parts = (list.size() + deep_folder_files - 1) / deep_folder_files;
        for (qsizetype part = 1; part <= parts; ++part) {
            result_folder_s sub;
            sub.item.name = QStringLiteral("%1").arg(part, 4, 10, QLatin1Char('0'));
            sub.parent = parent;
            sub.ref.list = &list;
            sub.ref.key = static_cast<std::uint64_t>(part);
            folders->push_back(sub);
        }
    }
}

// The rows of a type's list that a folder holds: all of them, or its part's.
std::pair<qsizetype, qsizetype> signature_rows(const folder_ref_s& folder,
                                               const QList<std::uint64_t>& indexes) {
    if (folder.key == 0) {
        return {0, indexes.size()};
    }
    const qsizetype part = static_cast<qsizetype>(
        std::min<std::uint64_t>(folder.key - 1, static_cast<std::uint64_t>(indexes.size())));
    const qsizetype begin = std::min(indexes.size(), part * deep_folder_files);
    return {begin, std::min(indexes.size(), begin + deep_folder_files)};
}

// The files of one type, named after their own title or date where the file has one
// ("Quarterly report.docx", "2024-06-01 14-03-22 Canon EOS.jpg"; a second file of that name
// gets " (2)"), else "%08llu.%s" of the record's index and type; dated from the file's own
// metadata (0, shown as "-", when it has none). An index beyond the table (a damaged scan
// file) is skipped; the top folder has no list and no files.
//
// A deep scan may hold a million files of one type: only the names made from titles are
// remembered, each with the next number to try, so a record costs its row and nothing more,
// and a thousand files of one title cost no search.
void signature_files(const raw_recovery_c& engine, const folder_ref_s& folder,
                     const file_visit_fn& out) {
    const auto* indexes = static_cast<const QList<std::uint64_t>*>(folder.list);
    if (!indexes) {
        return;
    }
    // Plain variables, not a structured binding: the lambdas below use them.
    const std::pair<qsizetype, qsizetype> rows = signature_rows(folder, *indexes);
    const qsizetype first_row = rows.first;
    const qsizetype end_row = rows.second;
    const auto& records = engine.records();
    QHash<QString, int> titled;  // a title's name, case-folded -> the next number to try
    const auto title_stem = [&](std::uint64_t position) {
        const file_meta_s* meta = engine.meta(position);
        return meta ? clean_file_stem(meta->title) : QString();
    };
    // The numbers of the numbered names given so far: made only when a title reads like one
    // ("00000042"), which no real title does often.
    std::optional<std::unordered_set<std::uint64_t>> numbered;
    qsizetype row = first_row;  // the position in indexes being listed
    const auto numbered_taken = [&](const QString& stem) {
        bool digits = stem.size() >= 8;
        for (const QChar c : stem) {
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        }
        bool ok = false;
        const std::uint64_t n = digits ? stem.toULongLong(&ok) : 0;
        if (!ok || QString::asprintf("%08llu", static_cast<unsigned long long>(n)) != stem) {
            return false;
        }
        if (!numbered) {
            numbered.emplace();
            for (qsizetype before = first_row; before < row; ++before) {
                const std::uint64_t p = (*indexes)[before];
                if (p < records.size() && title_stem(p).isEmpty()) {
                    numbered->insert(records[p].index);
                }
            }
        }
        return numbered->contains(n);
    };
    for (; row < end_row; ++row) {
        const std::uint64_t position = (*indexes)[row];
        if (position >= records.size()) {
            continue;
        }
        const signature_record& record = records[position];
        const QString type = QString::fromLatin1(record_type(record));
        recovery_item_s item;
        if (const file_meta_s* meta = engine.meta(position)) {
            item.date1 = meta->modified;
            item.date2 = meta->created;
            const QString stem = title_stem(position);
            if (!stem.isEmpty()) {
                const QString first = stem + QLatin1Char('.') + type;
                int& next = titled[first.toCaseFolded()];
                QString name = first;
                if (next == 0 && numbered_taken(stem)) {
                    next = 2;
                }
                if (next > 0) {
                    // Names made from other titles may hold numbers too ("a (2).jpg"): step
                    // on past them.
                    for (int n = next; n < 100000; ++n) {
                        name = QStringLiteral("%1 (%2).%3").arg(stem).arg(n).arg(type);
                        if (!titled.contains(name.toCaseFolded())) {
                            next = n + 1;
                            break;
                        }
                    }
                } else {
                    next = 2;
                }
                if (name != first) {
                    titled.insert(name.toCaseFolded(), 2);
                }
                item.name = name;
            }
        }
        if (item.name.isEmpty()) {
            item.name =
                QString::asprintf("%08llu.", static_cast<unsigned long long>(record.index)) + type;
            if (numbered) {
                numbered->insert(record.index);
            }
        }
        item.size = record.size;
        item.file_key = position;
        item.unverified = !is_verified(engine.verified(position));
        out(std::move(item));
    }
}

}  // namespace

QString result_folder_path(const std::vector<result_folder_s>& folders, std::size_t index) {
    climbed_path_c path;
    // Parents come before their folders, so the climb ends; the count is a guard only.
    for (std::size_t steps = 0;
         index < folders.size() && folders[index].parent >= 0 && steps < folders.size(); ++steps) {
        path.add(folders[index].item.name);
        index = static_cast<std::size_t>(folders[index].parent);
    }
    return path.text();
}

bool climbed_path_c::add(const QString& name) {
    if (limit_ >= 0 && length_ + name.size() + 1 > limit_ && !names_.empty()) {
        cut_ = true;
        return false;
    }
    names_.push_back(&name);
    length_ += name.size() + 1;
    return true;
}

QString climbed_path_c::text() const {
    QString path;
    path.reserve(length_ + 2);
    if (cut_) {
        path += QChar(0x2026);
    }
    for (auto name = names_.rbegin(); name != names_.rend(); ++name) {
        path += QLatin1Char('/') + **name;
    }
    return path.isEmpty() ? QStringLiteral("/") : path;
}

std::vector<result_folder_s> list_result_folders(const recovery_base_c* engine, engine_kind_e kind,
                                                 folder_paths_e paths) {
    std::vector<result_folder_s> folders;
    switch (kind) {
        case engine_fat:
            if (const auto* fat = qobject_cast<const fat_recovery_c*>(engine)) {
                fat_folders(*fat, &folders);
            }
            break;
        case engine_ntfs:
            if (const auto* ntfs = qobject_cast<const ntfs_recovery_c*>(engine)) {
                ntfs_folders(*ntfs, &folders);
            }
            break;
        case engine_signature:
            if (const auto* raw = qobject_cast<const raw_recovery_c*>(engine)) {
                signature_folders(*raw, &folders);
            }
            break;
        case engine_exfat:
            if (const auto* exfat = qobject_cast<const exfat_recovery_c*>(engine)) {
                exfat_folders(*exfat, &folders);
            }
            break;
        case engine_ext4:
            if (const auto* ext4 = qobject_cast<const ext4_recovery_c*>(engine)) {
                ext4_folders(*ext4, &folders);
            }
            break;
        case engine_none:
            break;
    }
    if (paths == folder_paths_e::with_paths) {
        for (result_folder_s& folder : folders) {
            folder.path = folder.parent < 0 ? QStringLiteral("/")
                          : folders[folder.parent].parent < 0
                              ? QLatin1Char('/') + folder.item.name
                              : folders[folder.parent].path + QLatin1Char('/') + folder.item.name;
        }
    }
    return folders;
}

void visit_file_list(const recovery_base_c* engine, engine_kind_e kind, const folder_ref_s& folder,
                     const file_visit_fn& visit) {
    switch (kind) {
        case engine_fat:
            if (const auto* fat = qobject_cast<const fat_recovery_c*>(engine)) {
                fat_files(*fat, folder, visit);
            }
            break;
        case engine_ntfs:
            if (const auto* ntfs = qobject_cast<const ntfs_recovery_c*>(engine)) {
                ntfs_files(*ntfs, folder, visit);
            }
            break;
        case engine_signature:
            if (const auto* raw = qobject_cast<const raw_recovery_c*>(engine)) {
                signature_files(*raw, folder, visit);
            }
            break;
        case engine_exfat:
            if (const auto* exfat = qobject_cast<const exfat_recovery_c*>(engine)) {
                exfat_files(*exfat, folder, visit);
            }
            break;
        case engine_ext4:
            if (const auto* ext4 = qobject_cast<const ext4_recovery_c*>(engine)) {
                ext4_files(*ext4, folder, visit);
            }
            break;
        case engine_none:
            break;
    }
}

void fill_file_list(std::vector<recovery_item_s>& file_list, const recovery_base_c* engine,
                    engine_kind_e kind, const folder_ref_s& folder) {
    file_list.clear();
    if (kind == engine_signature) {
        file_list.reserve(static_cast<std::size_t>(count_file_list(engine, kind, folder).files));
    }
    visit_file_list(engine, kind, folder,
                    [&](recovery_item_s&& item) { file_list.push_back(std::move(item)); });
}

file_totals_s count_file_list(const recovery_base_c* engine, engine_kind_e kind,
                              const folder_ref_s& folder) {
    file_totals_s totals;
    if (kind == engine_signature) {
        const auto* raw = qobject_cast<const raw_recovery_c*>(engine);
        const auto* indexes = static_cast<const QList<std::uint64_t>*>(folder.list);
        if (raw && indexes) {
            const auto& records = raw->records();
            const auto [first_row, end_row] = signature_rows(folder, *indexes);
            for (qsizetype row = first_row; row < end_row; ++row) {
                if (const std::uint64_t position = (*indexes)[row]; position < records.size()) {
                    ++totals.files;
                    totals.bytes += records[position].size;
                }
            }
        }
        return totals;
    }
    visit_file_list(engine, kind, folder, [&](recovery_item_s&& item) {
        ++totals.files;
        totals.bytes += item.size;
    });
    return totals;
}

bool record_is_deleted(engine_kind_e kind, const recovery_item_s& item) {
    switch (kind) {
        case engine_fat:
            return item.attributes & fat_attr_deleted;
        case engine_ntfs:
            return item.attributes & ntfs_flag_deleted;
        case engine_exfat:
            return item.attributes & exfat_attr_deleted;
        case engine_ext4:
            return item.attributes & ext4_attr_deleted;
        case engine_signature:
        case engine_none:
            break;
    }
    return false;
}

bool record_without_data(engine_kind_e kind, const recovery_item_s& item) {
    return kind == engine_ext4 && (item.attributes & ext4_attr_no_inode) != 0;
}
