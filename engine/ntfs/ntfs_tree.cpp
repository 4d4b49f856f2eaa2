#include "ntfs_tree.h"

#include "engine/ntfs/ntfs_format.h"

#include <QSet>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t no_node = 0xFFFFFFFFu;

bool is_folder(const ntfs_node& node) {
    return node.flags & ntfs_flag_directory;
}

}  // namespace

void ntfs_tree_c::clear() {
    std::deque<ntfs_node>().swap(nodes_);
    name_chunks_.clear();
    chunk_used_ = chunk_units;
    std::vector<std::uint32_t>().swap(child_list_);
    sorted_ = true;
}

std::uint32_t ntfs_tree_c::store_name(const char16_t* name, std::size_t length) {
    if (chunk_used_ + length > chunk_units) {
        name_chunks_.push_back(std::make_unique<char16_t[]>(chunk_units));
        chunk_used_ = 0;
    }
    std::memcpy(name_chunks_.back().get() + chunk_used_, name, length * sizeof(char16_t));
    const auto offset =
        static_cast<std::uint32_t>((name_chunks_.size() - 1) * chunk_units + chunk_used_);
    chunk_used_ += length;
    return offset;
}

void ntfs_tree_c::add(const ntfs_record& record) {
    ntfs_node node;
    node.record_number = record.record_number;
    node.parent_number = record.parent_number;
    node.size = record.size;
    node.creation_time = record.creation_time;
    node.write_time = record.write_time;
    node.flags = static_cast<std::uint8_t>(record.flags);
    node.extra_flags = static_cast<std::uint8_t>(record.extra_flags);
    node.sequence = record.sequence;
    node.parent_sequence = record.parent_sequence;
    std::size_t length = 0;
    while (length < static_cast<std::size_t>(ntfs_record_name_units) && record.name[length]) {
        ++length;
    }
    node.name_length = static_cast<std::uint16_t>(length);
    node.name_offset = store_name(record.name, length);
    if (!nodes_.empty() && nodes_.back().record_number >= node.record_number) {
        sorted_ = false;
    }
    nodes_.push_back(node);
}

std::size_t ntfs_tree_c::index_of(std::uint64_t record_number) const {
    auto found = std::lower_bound(
        nodes_.begin(), nodes_.end(), record_number,
        [](const ntfs_node& node, std::uint64_t n) { return node.record_number < n; });
    if (found == nodes_.end() || found->record_number != record_number) {
        return nodes_.size();
    }
    return static_cast<std::size_t>(found - nodes_.begin());
}

const ntfs_node* ntfs_tree_c::find(std::uint64_t record_number) const {
    const std::size_t index = index_of(record_number);
    return index < nodes_.size() ? &nodes_[index] : nullptr;
}

bool ntfs_tree_c::add_extra_flags(std::uint64_t record_number, std::uint8_t bits) {
    const std::size_t index = index_of(record_number);
    if (index >= nodes_.size()) {
        return false;
    }
    nodes_[index].extra_flags |= bits;
    return true;
}

std::span<const std::uint32_t> ntfs_tree_c::children(const ntfs_node& node) const {
    if (node.first_child + static_cast<std::size_t>(node.child_count) > child_list_.size()) {
        return {};
    }
    return {child_list_.data() + node.first_child, node.child_count};
}

QString ntfs_tree_c::name(const ntfs_node& node) const {
    const std::size_t chunk = node.name_offset / chunk_units;
    if (chunk >= name_chunks_.size()) {
        return QString();
    }
    return QString::fromUtf16(name_chunks_[chunk].get() + node.name_offset % chunk_units,
                              node.name_length);
}

std::size_t ntfs_tree_c::bytes() const {
    return nodes_.size() * sizeof(ntfs_node) + name_chunks_.size() * chunk_units * 2 +
           child_list_.capacity() * sizeof(std::uint32_t);
}

// Nodes whose parents lead round in a circle never reach the root: the first one of each
// circle met is made an orphan, which breaks it.
void ntfs_tree_c::break_loops(std::vector<std::uint32_t>* parent) {
    enum : std::uint8_t { unknown, walking, reaches_root };
    std::vector<std::uint8_t> state(nodes_.size(), unknown);
    std::vector<std::uint32_t> path;
    for (std::uint32_t start = 0; start < nodes_.size(); ++start) {
        path.clear();
        std::uint32_t at = start;
        while (at != no_node && state[at] == unknown) {
            state[at] = walking;
            path.push_back(at);
            const std::uint32_t up = (*parent)[at];
            at = up == at ? no_node : up;  // the root, its own parent
        }
        if (at != no_node && state[at] == walking) {
            (*parent)[at] = no_node;  // the circle closes here
        }
        for (const std::uint32_t n : path) {
            state[n] = reaches_root;
        }
    }
}

void ntfs_tree_c::finish(const QString& orphans_name) {
    if (!sorted_) {
        std::stable_sort(nodes_.begin(), nodes_.end(), [](const ntfs_node& a, const ntfs_node& b) {
            return a.record_number < b.record_number;
        });
        // Of records with the same number, the one fetched last stays.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if (i + 1 < nodes_.size() && nodes_[i + 1].record_number == nodes_[i].record_number) {
                continue;
            }
            nodes_[kept++] = nodes_[i];
        }
        nodes_.resize(kept);
        sorted_ = true;
    }
    if (nodes_.empty()) {
        return;
    }
    // A volume whose root record is lost still shows its files under a root of their own.
    if (!contains(ntfs_root_record)) {
        ntfs_node root;
        root.record_number = root.parent_number = ntfs_root_record;
        root.flags = ntfs_flag_directory;
        const char16_t dot = u'.';
        root.name_offset = store_name(&dot, 1);
        root.name_length = 1;
        auto at = std::lower_bound(
            nodes_.begin(), nodes_.end(), ntfs_root_record,
            [](const ntfs_node& node, std::uint64_t n) { return node.record_number < n; });
        nodes_.insert(at, root);
    }
    const auto root = static_cast<std::uint32_t>(index_of(ntfs_root_record));
    std::vector<std::uint32_t> parent(nodes_.size(), no_node);
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        if (i == root) {
            parent[i] = root;
            continue;
        }
        const ntfs_node& node = nodes_[i];
        const std::size_t p = index_of(node.parent_number);
        if (p >= nodes_.size() || p == i || !is_folder(nodes_[p])) {
            continue;
        }
        const ntfs_node& up = nodes_[p];
        if (ntfs::reference_matches(node.parent_sequence, up.sequence,
                                    !(up.flags & ntfs_flag_deleted))) {
            parent[i] = static_cast<std::uint32_t>(p);
        }
    }
    break_loops(&parent);
    std::uint32_t orphans = no_node;
    if (std::find(parent.begin(), parent.end(), no_node) != parent.end()) {
        // The folder of orphans takes a name no entry of the root has.
        QSet<QString> taken;
        for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
            if (i != root && parent[i] == root) {
                taken.insert(this->name(nodes_[i]).toCaseFolded());
            }
        }
        QString name = orphans_name;
        for (int n = 2; taken.contains(name.toCaseFolded()); ++n) {
            name = orphans_name + QStringLiteral(" (%1)").arg(n);
        }
        ntfs_node folder;
        folder.record_number = ntfs_orphans_record;
        folder.parent_number = ntfs_root_record;
        folder.flags = ntfs_flag_directory;
        const std::u16string units = name.left(ntfs_record_name_units - 1).toStdU16String();
        folder.name_offset = store_name(units.data(), units.size());
        folder.name_length = static_cast<std::uint16_t>(units.size());
        orphans = static_cast<std::uint32_t>(nodes_.size());
        for (std::uint32_t& p : parent) {
            if (p == no_node) {
                p = orphans;
                nodes_[static_cast<std::size_t>(&p - parent.data())].orphan = 1;
            }
        }
        nodes_.push_back(folder);
        parent.push_back(root);
    }
    // Each step marks a folder not marked before; the root is its own parent and ends it.
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        nodes_[i].parent_number = nodes_[parent[i]].record_number;
        if (!(nodes_[i].flags & ntfs_flag_file)) {
            continue;
        }
        for (std::uint32_t up = parent[i]; !nodes_[up].has_files; up = parent[up]) {
            nodes_[up].has_files = 1;
        }
    }
    // The children of each folder, in record order, as one range of child_list_.
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        ++nodes_[parent[i]].child_count;
    }
    std::uint32_t next = 0;
    for (ntfs_node& node : nodes_) {
        node.first_child = next;
        next += node.child_count;
        node.child_count = 0;
    }
    child_list_.assign(nodes_.size(), 0);
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        ntfs_node& up = nodes_[parent[i]];
        child_list_[up.first_child + up.child_count++] = i;
    }
}
