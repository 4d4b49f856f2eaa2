#pragma once
// The folder tree of an engine whose results are a table of found entries by key, the top
// folder under key 0 (exFAT, ext4): each node names its parent's key and gets its children's
// keys, a has_files mark and a path. Node is any record with the fields parent, children,
// attributes, has_files and name. Used on the engine's thread at the end of a scan, and
// for paths afterwards.

#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>

// Appends every node's key to its parent's children, then marks every folder above a file
// (a node without directory_bit) as holding files. A parent chain that loops ends after as
// many steps as there are nodes.
template <typename Node>
void link_node_tree(QHash<std::uint64_t, Node>& nodes, std::uint32_t directory_bit) {
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (it.key() == 0) {
            continue;
        }
        auto parent = nodes.find(it.value().parent);
        if (parent != nodes.end()) {
            parent.value().children.append(it.key());
        }
    }
    const auto limit = nodes.size();
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (it.value().attributes & directory_bit) {
            continue;
        }
        std::uint64_t key = it.value().parent;
        for (qsizetype steps = 0; steps <= limit; ++steps) {
            auto parent = nodes.find(key);
            if (parent == nodes.end() || parent.value().has_files) {
                break;
            }
            parent.value().has_files = 1;
            if (key == 0) {
                break;
            }
            key = parent.value().parent;
        }
    }
}

// The path of a node below the mount path base ("/mnt/card/DCIM/a.jpg"); -1 when a parent
// is missing or the chain loops.
template <typename Node>
int node_tree_path(const QHash<std::uint64_t, Node>& nodes, std::uint64_t file_key, QString base,
                   QString* path) {
    if (base.endsWith(QLatin1Char('/')) || base.endsWith(QLatin1Char('\\'))) {
        base.chop(1);
    }
    QStringList names;
    std::uint64_t key = file_key;
    for (qsizetype steps = 0; key != 0; ++steps) {
        const auto found = nodes.constFind(key);
        if (found == nodes.constEnd() || steps > nodes.size()) {
            return -1;
        }
        names.prepend(found.value().name);
        key = found.value().parent;
    }
    for (const QString& name : names) {
        base += QLatin1Char('/') + name;
    }
    *path = base;
    return 0;
}
