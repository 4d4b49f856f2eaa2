#include "file_list.h"

#include "engine/fat/fat_recovery.h"

#include <QSet>

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
        QString path;
    };
    std::vector<pending_s> stack{{&top.value(), QString()}};
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
            folder.path = current.path + QLatin1Char('/') + child->name;
            folder.ref.key = child->first_cluster;
            folder.item = fat_record(*child);
            folders->push_back(folder);
            below.push_back({child, folder.path});
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

}  // namespace

std::vector<result_folder_s> list_result_folders(const recovery_base_c* engine,
                                                 engine_kind_e kind) {
    std::vector<result_folder_s> folders;
    switch (kind) {
        case engine_fat:
            if (const auto* fat = qobject_cast<const fat_recovery_c*>(engine)) {
                fat_folders(*fat, &folders);
            }
            break;
        case engine_ntfs:
        case engine_signature:
        case engine_none:
            break;
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
        case engine_signature:
        case engine_none:
            break;
    }
}

bool record_is_deleted(engine_kind_e kind, const recovery_item_s& item) {
    switch (kind) {
        case engine_fat:
            return item.attributes & fat_attr_deleted;
        case engine_ntfs:
        case engine_signature:
        case engine_none:
            break;
    }
    return false;
}
