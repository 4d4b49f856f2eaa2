#include "file_list.h"

#include "engine/exfat/exfat_recovery.h"
#include "engine/fat/fat_recovery.h"
#include "engine/ntfs/ntfs_recovery.h"
#include "engine/raw/raw_recovery.h"

#include <QSet>

#include <algorithm>

namespace {

// ---- FAT engine (kind 0) ----

recovery_item_s fat_record(const fat_node& node) {
    recovery_item_s item;
    item.name = node.name;
    item.size = node.size;
    item.date1 = node.write_time;
    item.date2 = node.creation_time;
    item.file_key = node.first_cluster;
    item.attributes = node.attributes;
    item.overwritten = node.overwritten != 0;
    return item;
}

bool fat_is_listed_folder(const fat_node& node) {
    return (node.attributes & fat_attr_directory) && node.has_files && node.first_cluster != 0;
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

void fat_files(const fat_recovery_c& engine, const folder_ref_s& folder,
               std::vector<recovery_item_s>* file_list) {
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
        file_list->push_back(fat_record(child.value()));
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
                std::vector<recovery_item_s>* file_list) {
    const ntfs_tree_c& tree = engine.tree();
    const ntfs_node* found = tree.find(folder.key);
    if (!found) {
        return;
    }
    for (const std::uint32_t index : tree.children(*found)) {
        const ntfs_node& child = tree.at(index);
        if ((child.flags & ntfs_flag_file) && child.record_number > ntfs_last_system_record) {
            file_list->push_back(ntfs_item(tree, child));
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
    item.file_key = node.key;
    item.attributes = node.attributes;
    item.overwritten = node.overwritten != 0;
    return item;
}

void exfat_folders(const exfat_recovery_c& engine, std::vector<result_folder_s>* folders) {
    const auto& nodes = engine.nodes();
    const auto top = nodes.constFind(0);
    if (top == nodes.constEnd()) {
        return;
    }
    result_folder_s root;
    root.path = QStringLiteral("/");
    folders->push_back(root);
    struct pending_s {
        const exfat_node* node;
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
            const exfat_node* child = &found.value();
            if (!(child->attributes & exfat::attr_directory) || !child->has_files ||
                seen.contains(key)) {
                continue;
            }
            seen.insert(key);
            result_folder_s folder;
            folder.ref.key = key;
            folder.item = exfat_record(*child);
            folder.parent = current.index;
            folders->push_back(folder);
            below.push_back({child, static_cast<std::ptrdiff_t>(folders->size() - 1)});
        }
        stack.insert(stack.end(), below.rbegin(), below.rend());
    }
}

void exfat_files(const exfat_recovery_c& engine, const folder_ref_s& folder,
                 std::vector<recovery_item_s>* file_list) {
    const auto& nodes = engine.nodes();
    const auto found = nodes.constFind(folder.key);
    if (found == nodes.constEnd()) {
        return;
    }
    for (const std::uint64_t key : found.value().children) {
        const auto child = nodes.constFind(key);
        if (child != nodes.constEnd() && !(child->attributes & exfat::attr_directory)) {
            file_list->push_back(exfat_record(child.value()));
        }
    }
}

// ---- signature engine (kind 2) ----

// One folder per type name under "/", in name order (the engine's map has none); each
// folder's reference is that type's list of record indexes.
void signature_folders(const raw_recovery_c& engine, std::vector<result_folder_s>* folders) {
    result_folder_s root;
    root.path = QStringLiteral("/");
    folders->push_back(root);
    const auto& index = engine.type_index();
    QList<QByteArray> types = index.keys();
    std::sort(types.begin(), types.end());
    for (const QByteArray& type : types) {
        result_folder_s folder;
        folder.item.name = QString::fromLatin1(type);
        folder.parent = 0;
        folder.ref.list = &index.find(type).value();
        folders->push_back(folder);
    }
}

// The files of one type, named after their own title or date where the file has one
// ("Quarterly report.docx", "2024-06-01 14-03-22 Canon EOS.jpg"; a second file of that name
// gets " (2)"), else "%08llu.%s" of the record's index and type; dated from the file's own
// metadata (0, shown as "-", when it has none). An index beyond the table (a damaged scan
// file) is skipped; the top folder has no list and no files.
void signature_files(const raw_recovery_c& engine, const folder_ref_s& folder,
                     std::vector<recovery_item_s>* file_list) {
    const auto* indexes = static_cast<const QList<std::uint64_t>*>(folder.list);
    if (!indexes) {
        return;
    }
    const auto& records = engine.records();
    QSet<QString> taken;
    for (const std::uint64_t position : *indexes) {
        if (position >= records.size()) {
            continue;
        }
        const signature_record& record = records[position];
        const QString type = QString::fromLatin1(record_type(record));
        recovery_item_s item;
        item.name =
            QString::asprintf("%08llu.", static_cast<unsigned long long>(record.index)) + type;
        if (const file_meta_s* meta = engine.meta(position)) {
            item.date1 = meta->modified;
            item.date2 = meta->created;
            const QString stem = clean_file_stem(meta->title);
            if (!stem.isEmpty()) {
                QString name = stem + QLatin1Char('.') + type;
                for (int n = 2; taken.contains(name.toCaseFolded()) && n < 100000; ++n) {
                    name = QStringLiteral("%1 (%2).%3").arg(stem).arg(n).arg(type);
                }
                item.name = name;
            }
        }
        taken.insert(item.name.toCaseFolded());
        item.size = record.size;
        item.file_key = position;
        file_list->push_back(item);
    }
}

}  // namespace

QString result_folder_path(const std::vector<result_folder_s>& folders, std::size_t index) {
    QStringList names;
    // Parents come before their folders, so the climb ends; the count is a guard only.
    for (std::size_t steps = 0;
         index < folders.size() && folders[index].parent >= 0 && steps < folders.size(); ++steps) {
        names.prepend(folders[index].item.name);
        index = static_cast<std::size_t>(folders[index].parent);
    }
    return QLatin1Char('/') + names.join(QLatin1Char('/'));
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

void fill_file_list(std::vector<recovery_item_s>& file_list, const recovery_base_c* engine,
                    engine_kind_e kind, const folder_ref_s& folder) {
    file_list.clear();
    switch (kind) {
        case engine_fat:
            if (const auto* fat = qobject_cast<const fat_recovery_c*>(engine)) {
                fat_files(*fat, folder, &file_list);
            }
            break;
        case engine_ntfs:
            if (const auto* ntfs = qobject_cast<const ntfs_recovery_c*>(engine)) {
                ntfs_files(*ntfs, folder, &file_list);
            }
            break;
        case engine_signature:
            if (const auto* raw = qobject_cast<const raw_recovery_c*>(engine)) {
                signature_files(*raw, folder, &file_list);
            }
            break;
        case engine_exfat:
            if (const auto* exfat = qobject_cast<const exfat_recovery_c*>(engine)) {
                exfat_files(*exfat, folder, &file_list);
            }
            break;
        case engine_none:
            break;
    }
}

file_totals_s count_file_list(const recovery_base_c* engine, engine_kind_e kind,
                              const folder_ref_s& folder) {
    file_totals_s totals;
    if (kind == engine_signature) {
        const auto* raw = qobject_cast<const raw_recovery_c*>(engine);
        const auto* indexes = static_cast<const QList<std::uint64_t>*>(folder.list);
        if (raw && indexes) {
            const auto& records = raw->records();
            for (const std::uint64_t position : *indexes) {
                if (position < records.size()) {
                    ++totals.files;
                    totals.bytes += records[position].size;
                }
            }
        }
        return totals;
    }
    std::vector<recovery_item_s> files;
    fill_file_list(files, engine, kind, folder);
    totals.files = static_cast<std::int64_t>(files.size());
    for (const recovery_item_s& file : files) {
        totals.bytes += file.size;
    }
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
        case engine_signature:
        case engine_none:
            break;
    }
    return false;
}
