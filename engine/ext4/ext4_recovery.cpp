#include "ext4_recovery.h"

#include "engine/node_tree.h"

#include "core/diagnostics.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>

namespace {

// Blocks of one directory read at most (256 MiB of 4 KiB blocks).
constexpr std::uint64_t directory_max_bytes = 256ULL << 20;
// Inodes below this number are the file system's own (ext4's first non-reserved inode
// before revision 1; later ones name theirs in the superblock, 11 by default).
constexpr std::uint32_t first_user_inode = 11;
// Block claims kept to tell two deleted files that held the same block apart.
constexpr std::size_t claim_limit = std::size_t{1} << 24;

QString name_of(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool type_matches(const ext4::inode_s& inode, std::uint8_t file_type) {
    if (file_type == ext4::dirent_regular) {
        return inode.is_regular();
    }
    if (file_type == ext4::dirent_directory) {
        return inode.is_directory();
    }
    return file_type == 0 && (inode.is_regular() || inode.is_directory());
}

std::uint64_t blocks_for(std::uint64_t bytes, std::uint32_t block) {
    return bytes / block + (bytes % block ? 1 : 0);
}

}  // namespace

ext4_recovery_c::ext4_recovery_c(QObject* parent) : recovery_base_c(parent) {}

ext4_recovery_c::~ext4_recovery_c() {
    if (isRunning()) {
        set_stop(stop_abort);
        wait();
    }
}

void ext4_recovery_c::reset() {
    progress_ = 0.0;
    pause_ = 0;
    stop_ = 0;
    read_count_ = 0;
    found_count_ = 0;
    clear_results(false);
}

// Forgets everything the last scan found; a scan starts from the top folder alone.
void ext4_recovery_c::clear_results(bool with_top) {
    node_table_.clear();
    walked_dirs_.clear();
    walked_blocks_.clear();
    named_inodes_.clear();
    next_key_ = 1;
    error_text_.clear();
    if (with_top) {
        ext4_node root;
        root.attributes = ext4_attr_directory;
        node_table_.insert(0, root);
    }
}

void ext4_recovery_c::run() {
    try {
        // A stop or pause written before this thread started is meant for this scan.
        const int stop = get_stop();
        const int pause = get_pause();
        reset();
        if (stop != stop_none) {
            set_stop(stop);
            return;
        }
        set_pause(pause);
        range_ = volume_range_s{};
        QString why;
        if (!open_volume_range(target_.volume_name, &range_, &why)) {
            clear_results(true);
            error_text_ = why;
            return;
        }
        const volume_range_s* range = &range_;
        scan_reader([range](std::uint64_t offset, void* buffer,
                            std::size_t len) { return range->read(offset, buffer, len); },
                    range_.size);
    } catch (...) {
        // Out of memory on a huge volume: keep what was found and end the scan.
        set_stop(stop_keep);
    }
}

void ext4_recovery_c::scan_reader(ext4::reader_f reader, std::uint64_t volume_bytes) {
    clear_results(true);
    const int opened = volume_.open(std::move(reader), volume_bytes);
    if (opened != ext4::open_ok) {
        error_text_ = opened == ext4::open_not_ext
                          ? QStringLiteral(
                                "no ext2, ext3 or ext4 file system that this program "
                                "can read was found on it")
                          : QStringLiteral("reading its drive failed");
        return;
    }
    if (!volume_.sb().checksum_ok) {
        error_report(__FILE__, __LINE__, "ext4: the superblock's checksum does not hold");
    }
    const bool journal = volume_.load_journal();
    const ext4::journal_stats_s& stats = volume_.journal().stats();
    console_printf(
        "Start ext4 scan: journal %s, %llu copies in %llu descriptors, %llu commits, "
        "%llu revoked, %llu bad checksums.\n",
        journal ? "read" : "not found", static_cast<unsigned long long>(stats.copies),
        static_cast<unsigned long long>(stats.descriptors),
        static_cast<unsigned long long>(stats.commits),
        static_cast<unsigned long long>(stats.revokes),
        static_cast<unsigned long long>(stats.bad_checksums));
    scan_volume();
    if (get_stop() == stop_none) {
        find_orphans();
    }
    mark_claims();
    link_and_mark();
}

bool ext4_recovery_c::wait_if_paused() {
    while (pause_.load(std::memory_order_relaxed) != 0) {
        if (stop_.load(std::memory_order_relaxed) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return stop_.load(std::memory_order_relaxed) == 0;
}

std::uint64_t ext4_recovery_c::add_node(ext4_node node) {
    node.key = next_key_++;
    const std::uint64_t key = node.key;
    node_table_.insert(key, std::move(node));
    found_count_.fetch_add(1, std::memory_order_relaxed);
    return key;
}

// Live directories first, depth first from the root; deleted directories after all live
// ones, so that a block a live folder holds now is read as that folder and not again as
// the deleted one that held it before.
void ext4_recovery_c::scan_volume() {
    std::vector<dir_job_s> live;
    std::vector<dir_job_s> deleted;
    ext4::inode_s root;
    if (!volume_.read_inode(ext4::root_inode, &root) || !root.is_directory()) {
        error_report(__FILE__, __LINE__, "ext4: the root directory's inode cannot be read");
    } else {
        dir_job_s job;
        job.inode = ext4::root_inode;
        job.generation = root.generation;
        job.flags = root.flags;
        job.map = volume_.map_blocks(
            root, blocks_for(std::min(root.size, directory_max_bytes), volume_.block_bytes()));
        if (root.inline_data()) {
            job.inline_bytes.assign(root.block, root.block + sizeof root.block);
            job.inline_bytes.insert(job.inline_bytes.end(), root.inline_rest.begin(),
                                    root.inline_rest.end());
        }
        live.push_back(std::move(job));
    }
    std::size_t done = 0;
    while (!live.empty() || !deleted.empty()) {
        if (!wait_if_paused()) {
            return;
        }
        std::vector<dir_job_s>& from = live.empty() ? deleted : live;
        const dir_job_s job = std::move(from.back());
        from.pop_back();
        if (walked_dirs_.contains(job.inode)) {
            continue;  // a loop, a second name of a folder, or a deleted folder found twice
        }
        walked_dirs_.insert(job.inode);
        walk_directory(job, &live, &deleted);
        ++done;
        const double progress =
            static_cast<double>(done) / static_cast<double>(done + live.size() + deleted.size());
        progress_.store(std::min(progress, 0.99), std::memory_order_relaxed);
    }
}

void ext4_recovery_c::walk_directory(const dir_job_s& job, std::vector<dir_job_s>* live,
                                     std::vector<dir_job_s>* deleted) {
    ext4::dirent_options_s options;
    options.inodes_count = volume_.sb().inodes_count;
    options.filetype = volume_.sb().has(ext4::incompat_filetype);
    QSet<QByteArray> seen;  // name and inode of every entry taken from this folder
    // seen: the newest journal transaction whose copy of the block still names the entry
    // (0: the volume's own block does).
    const auto take = [&](const ext4::dirent_s& e, bool is_deleted, std::uint32_t seen_in) {
        QByteArray id(e.name.data(), static_cast<qsizetype>(e.name.size()));
        id += '\0' + QByteArray::number(e.inode);
        if (seen.contains(id)) {
            return;
        }
        seen.insert(id);
        read_count_.fetch_add(1, std::memory_order_relaxed);
        add_entry(job, e, is_deleted, seen_in, live, deleted);
    };
    if (job.inline_bytes.size() >= 60) {
        // The inode's 60 bytes, then what its attribute holds beyond them.
        const std::vector<std::uint8_t> rest(job.inline_bytes.begin() + 60, job.inline_bytes.end());
        for (const ext4::dirent_s& e :
             ext4::parse_inline_dir(job.inline_bytes.data(), options.inodes_count, rest)) {
            take(e, job.deleted || e.deleted, 0);
        }
        // The journal's older copies of the folder's own inode (the same life of it) name
        // the entries deleted since; newest first.
        std::uint64_t block = 0;
        std::uint32_t offset = 0;
        if (volume_.inode_place(job.inode, &block, &offset)) {
            const std::uint32_t inode_size = volume_.sb().inode_size;
            std::vector<std::uint8_t> bytes(volume_.block_bytes());
            for (const ext4::journal_copy_s& c : volume_.journal().copies(block)) {
                if (!volume_.journal().read_copy(c, bytes.data())) {
                    continue;
                }
                const ext4::inode_s copy = ext4::parse_inode(bytes.data() + offset, inode_size);
                if (!copy.is_directory() || !copy.inline_data() ||
                    copy.generation != job.generation) {
                    continue;
                }
                for (const ext4::dirent_s& e :
                     ext4::parse_inline_dir(copy.block, options.inodes_count, copy.inline_rest)) {
                    take(e, true, c.sequence);
                }
            }
        }
        return;
    }
    const std::uint32_t block_bytes = volume_.block_bytes();
    std::vector<std::uint8_t> block(block_bytes);
    std::vector<std::uint8_t> copy(block_bytes);
    std::uint64_t blocks_read = 0;
    // A copy of the block from before another folder had it (or a deleted folder's block
    // that another folder took) is not this folder's.
    const bool checksums = volume_.sb().feature_ro_compat & ext4::ro_compat_metadata_csum;
    const auto owned = [&](const std::vector<std::uint8_t>& bytes) {
        return !checksums ||
               ext4::dir_block_owned_by(bytes.data(), bytes.size(), volume_.sb().csum_seed,
                                        job.inode, job.generation);
    };
    for (const ext4::extent_s& run : job.map.extents) {
        for (std::uint32_t i = 0; i < run.count && blocks_read * block_bytes < directory_max_bytes;
             ++i, ++blocks_read) {
            if (!wait_if_paused()) {
                return;
            }
            const std::uint64_t where = run.physical + i;
            options.hashed_root = (job.flags & ext4::inode_flag_index) && run.logical + i == 0;
            if (job.deleted && walked_blocks_.contains(where)) {
                continue;  // a live folder holds this block now
            }
            if (!job.deleted) {
                walked_blocks_.insert(where);
            }
            // The older copies first: they give the inode of an entry that the volume's
            // block keeps only by name.
            std::vector<std::pair<ext4::dirent_s, std::uint32_t>> older;  // newest first
            for (const ext4::journal_copy_s& c : volume_.journal().copies(where)) {
                if (volume_.journal().read_copy(c, copy.data()) && owned(copy)) {
                    for (ext4::dirent_s& e :
                         ext4::parse_dir_block(copy.data(), copy.size(), options)) {
                        older.emplace_back(std::move(e), c.sequence);
                    }
                }
            }
            std::vector<ext4::dirent_s> now;
            if (!run.unwritten && volume_.read_blocks(where, 1, block.data()) && owned(block)) {
                now = ext4::parse_dir_block(block.data(), block.size(), options);
            }
            for (ext4::dirent_s& e : now) {
                std::uint32_t seen_in = 0;
                if (e.inode == 0) {
                    for (const auto& [o, sequence] : older) {
                        if (o.inode != 0 && o.offset == e.offset && o.name == e.name) {
                            e.inode = o.inode;
                            seen_in = sequence;
                            break;
                        }
                    }
                }
                take(e, job.deleted || e.deleted, seen_in);
            }
            // What only an older copy still names was deleted (or renamed: add_entry
            // leaves out names whose inode lives on unchanged).
            for (const auto& [e, sequence] : older) {
                take(e, true, sequence);
            }
        }
    }
}

void ext4_recovery_c::add_entry(const dir_job_s& job, const ext4::dirent_s& entry, bool deleted,
                                std::uint32_t seen_in, std::vector<dir_job_s>* live,
                                std::vector<dir_job_s>* deleted_dirs) {
    if (entry.file_type != 0 && entry.file_type != ext4::dirent_regular &&
        entry.file_type != ext4::dirent_directory) {
        return;  // links, devices, sockets and pipes hold no data to bring back
    }
    if (!deleted) {
        ext4::inode_s inode;
        if (!volume_.read_inode(entry.inode, &inode) || !inode.is_directory() ||
            walked_dirs_.contains(entry.inode)) {
            return;  // live files are not listed
        }
        ext4_node node;
        node.parent = job.key;
        node.inode = entry.inode;
        node.name = name_of(entry.name);
        node.attributes = ext4_attr_directory;
        node.mtime = inode.mtime;
        node.crtime = inode.crtime;
        dir_job_s next;
        next.key = add_node(std::move(node));
        next.inode = entry.inode;
        next.generation = inode.generation;
        next.flags = inode.flags;
        next.map = volume_.map_blocks(
            inode, blocks_for(std::min(inode.size, directory_max_bytes), volume_.block_bytes()));
        if (inode.inline_data()) {
            next.inline_bytes.assign(inode.block, inode.block + sizeof inode.block);
            next.inline_bytes.insert(next.inline_bytes.end(), inode.inline_rest.begin(),
                                     inode.inline_rest.end());
        }
        live->push_back(std::move(next));
        return;
    }
    found_inode_s found;
    if (entry.inode != 0) {
        found = find_deleted_inode(entry.inode, entry.file_type, seen_in);
        if (found.name_of_live_file) {
            return;  // renamed or moved, not deleted: the inode lives on unchanged
        }
    }
    const bool is_dir =
        found.found ? found.inode.is_directory() : entry.file_type == ext4::dirent_directory;
    ext4_node node;
    node.parent = job.key;
    node.inode = entry.inode;
    node.name = name_of(entry.name);
    node.attributes =
        static_cast<std::uint16_t>(ext4_attr_deleted | (is_dir ? ext4_attr_directory : 0));
    if (found.found) {
        fill_from_inode(&node, found);
    } else {
        node.attributes |= ext4_attr_no_inode;
        node.overwritten = 1;
    }
    if (entry.inode != 0) {
        named_inodes_.insert(entry.inode);
    }
    const std::uint64_t key = add_node(std::move(node));
    if (is_dir && found.found && !walked_dirs_.contains(entry.inode)) {
        dir_job_s next;
        next.key = key;
        next.inode = entry.inode;
        next.generation = found.inode.generation;
        next.deleted = true;
        next.flags = found.inode.flags;
        next.map = map_as_of(found.inode, found.sequence, found.from_journal);
        if (found.inode.inline_data()) {
            next.inline_bytes.assign(found.inode.block, found.inode.block + 60);
            next.inline_bytes.insert(next.inline_bytes.end(), found.inode.inline_rest.begin(),
                                     found.inode.inline_rest.end());
        }
        deleted_dirs->push_back(std::move(next));
    }
}

// Which life of the inode the entry named: with seen_in (a journal transaction whose copy
// of the directory block still held the entry), the life whose copy is the newest at or
// before it; else the life the inode's generation tells now (a free inode keeps the deleted
// file's; a reused one carries another). From that life, the newest copy whose block map
// is not yet cleared.
ext4_recovery_c::found_inode_s ext4_recovery_c::find_deleted_inode(std::uint32_t ino,
                                                                   std::uint8_t file_type,
                                                                   std::uint32_t seen_in) const {
    found_inode_s result;
    ext4::inode_s now;
    std::vector<std::uint8_t> now_raw;
    std::uint64_t block = 0;
    std::uint32_t offset = 0;
    if (!volume_.inode_place(ino, &block, &offset) || !volume_.read_inode(ino, &now, &now_raw)) {
        return result;
    }
    const bool in_use = volume_.inode_in_use(ino) && now.links > 0 && now.dtime == 0;
    const bool wiped = now.mode == 0 && now.generation == 0;
    const std::uint32_t inode_size = volume_.sb().inode_size;
    const ext4::journal_index_c& journal = volume_.journal();
    struct copy_s {
        std::uint32_t sequence;
        ext4::inode_s inode;
        std::vector<std::uint8_t> raw;
    };
    std::vector<copy_s> lives;  // copies of a living inode of the entry's type, newest first
    std::vector<std::uint8_t> bytes(volume_.block_bytes());
    for (const ext4::journal_copy_s& c : journal.copies(block)) {
        if (!journal.read_copy(c, bytes.data())) {
            continue;
        }
        ext4::inode_s copy = ext4::parse_inode(bytes.data() + offset, inode_size);
        if (copy.links == 0 || copy.dtime != 0 || !type_matches(copy, file_type)) {
            continue;
        }
        lives.push_back({c.sequence, copy,
                         std::vector<std::uint8_t>(bytes.begin() + offset,
                                                   bytes.begin() + offset + inode_size)});
    }
    bool known = false;  // the generation of the entry's life is known
    std::uint32_t generation = now.generation;
    if (seen_in != 0) {
        for (const copy_s& c : lives) {
            if (!ext4::journal_index_c::newer(c.sequence, seen_in)) {
                generation = c.inode.generation;
                known = true;
                break;
            }
        }
    }
    if (!known) {
        known = !in_use && !wiped;
    }
    if (in_use && known && generation == now.generation) {
        result.name_of_live_file = true;  // renamed or moved: that inode lives on
        return result;
    }
    const auto same_life = [&](const ext4::inode_s& copy) {
        return known ? copy.generation == generation : copy.generation != now.generation || wiped;
    };
    const copy_s* empty_file = nullptr;
    for (const copy_s& c : lives) {
        if (!same_life(c.inode)) {
            continue;
        }
        if (c.inode.has_block_map() || (c.inode.inline_data() && c.inode.size > 0)) {
            result.found = true;
            result.from_journal = true;
            result.sequence = c.sequence;
            result.inode = c.inode;
            result.raw = c.raw;
            return result;
        }
        if (!empty_file && c.inode.size == 0) {
            empty_file = &c;
        }
    }
    if (empty_file) {
        result.found = true;
        result.from_journal = true;
        result.sequence = empty_file->sequence;
        result.inode = empty_file->inode;
        result.raw = empty_file->raw;
        return result;
    }
    if (!in_use && type_matches(now, file_type) && (now.has_block_map() || now.inline_data()) &&
        (!known || generation == now.generation)) {
        // ext2 leaves a deleted file's block map in its inode.
        result.found = true;
        result.inode = now;
        result.raw = std::move(now_raw);
        return result;
    }
    // A name whose inode is in use and had no other life in the journal: renamed or moved.
    result.name_of_live_file =
        in_use && std::none_of(lives.begin(), lives.end(), [&](const copy_s& c) {
            return c.inode.generation != now.generation;
        });
    return result;
}

ext4::block_map_s ext4_recovery_c::map_as_of(const ext4::inode_s& inode, std::uint32_t sequence,
                                             bool from_journal) const {
    const ext4::journal_index_c& journal = volume_.journal();
    const std::uint32_t block_bytes = volume_.block_bytes();
    // Tree and indirect blocks as the inode copy knew them: the newest journal copy no newer
    // than it that still holds entries; else the volume's own block.
    const auto nodes = [&](std::uint64_t block, std::uint8_t* buffer) {
        for (const ext4::journal_copy_s& c : journal.copies(block)) {
            if (from_journal && ext4::journal_index_c::newer(c.sequence, sequence)) {
                continue;
            }
            if (!journal.read_copy(c, buffer)) {
                continue;
            }
            ext4::extent_node_s node;
            if (!inode.uses_extents() || (ext4::parse_extent_node(buffer, block_bytes, &node) &&
                                          (!node.extents.empty() || !node.children.empty()))) {
                return true;
            }
        }
        return volume_.read_blocks(block, 1, buffer);
    };
    const std::uint64_t limit =
        inode.is_directory() ? std::min(inode.size, directory_max_bytes) : inode.size;
    return volume_.map_blocks(inode, blocks_for(limit, block_bytes), nodes);
}

void ext4_recovery_c::fill_from_inode(ext4_node* node, const found_inode_s& found) {
    const ext4::inode_s& inode = found.inode;
    node->size = inode.is_directory() ? 0 : inode.size;
    node->mtime = inode.mtime;
    node->crtime = inode.crtime;
    node->from_journal = found.from_journal ? 1 : 0;
    node->copy_sequence = found.sequence;
    if (inode.is_directory()) {
        node->restorable = 1;
        return;
    }
    if (inode.inline_data()) {
        // The first 60 bytes live in the inode, the rest of a longer file in its "system.data"
        // attribute; a file whose attribute is gone is listed but not restored.
        if (inode.size <= sizeof inode.block) {
            node->inline_bytes.assign(inode.block, inode.block + inode.size);
            node->restorable = 1;
        } else if (inode.size <= sizeof inode.block + inode.inline_rest.size()) {
            node->inline_bytes.assign(inode.block, inode.block + sizeof inode.block);
            node->inline_bytes.insert(
                node->inline_bytes.end(), inode.inline_rest.begin(),
                inode.inline_rest.begin() +
                    static_cast<std::ptrdiff_t>(inode.size - sizeof inode.block));
            node->restorable = 1;
        } else {
            node->attributes |= ext4_attr_no_inode;
            node->overwritten = 1;
        }
        return;
    }
    const ext4::block_map_s map = map_as_of(inode, found.sequence, found.from_journal);
    node->extents = map.extents;
    node->restorable = 1;
    node->overwritten = map.complete ? 0 : 1;
    for (const ext4::extent_s& e : map.extents) {
        for (std::uint64_t b = 0; b < e.count && !node->overwritten; ++b) {
            if (volume_.block_in_use(e.physical + b)) {
                node->overwritten = 1;
            }
        }
    }
}

// Files that only the journal remembers: inode copies of regular files with their block
// map, whose inode is free now and whose name no found entry gives.
void ext4_recovery_c::find_orphans() {
    const ext4::superblock_s& sb = volume_.sb();
    const std::uint32_t per_block = volume_.block_bytes() / sb.inode_size;
    std::vector<std::uint64_t> blocks = volume_.journal().blocks();
    std::sort(blocks.begin(), blocks.end());
    std::uint64_t folder = 0;
    for (const std::uint64_t block : blocks) {
        if (!wait_if_paused()) {
            return;
        }
        const std::uint32_t first = volume_.first_inode_of_table_block(block);
        if (first == 0) {
            continue;
        }
        for (std::uint32_t k = 0; k < per_block; ++k) {
            const std::uint32_t ino = first + k;
            if (ino < first_user_inode || ino > sb.inodes_count || named_inodes_.contains(ino) ||
                ino == sb.journal_inode) {
                continue;
            }
            const found_inode_s found = find_deleted_inode(ino, ext4::dirent_regular, 0);
            if (!found.found || !found.from_journal || found.inode.size == 0) {
                continue;
            }
            if (folder == 0) {
                ext4_node orphans;
                orphans.name = QString::fromLatin1(ext4_orphan_folder);
                orphans.attributes = ext4_attr_directory | ext4_attr_deleted;
                folder = add_node(std::move(orphans));
            }
            ext4_node node;
            node.parent = folder;
            node.inode = ino;
            node.name = QStringLiteral("inode %1").arg(ino);
            node.attributes = ext4_attr_deleted;
            fill_from_inode(&node, found);
            named_inodes_.insert(ino);
            add_node(std::move(node));
        }
    }
}

// Two deleted files that held the same block: the one whose inode copy is older lost it to
// the later one (ext4 gives freed blocks out again soon).
void ext4_recovery_c::mark_claims() {
    std::unordered_map<std::uint64_t, std::uint64_t> owner;  // block -> key
    for (auto it = node_table_.begin(); it != node_table_.end(); ++it) {
        ext4_node& node = it.value();
        if ((node.attributes & ext4_attr_directory) || !node.restorable) {
            continue;
        }
        for (const ext4::extent_s& e : node.extents) {
            for (std::uint64_t b = 0; b < e.count && owner.size() < claim_limit; ++b) {
                auto [at, inserted] = owner.try_emplace(e.physical + b, node.key);
                if (inserted || at->second == node.key) {
                    continue;
                }
                ext4_node& other = node_table_[at->second];
                const bool this_newer =
                    node.from_journal && other.from_journal &&
                    ext4::journal_index_c::newer(node.copy_sequence, other.copy_sequence);
                (this_newer ? other : node).overwritten = 1;
                if (this_newer) {
                    at->second = node.key;
                }
            }
        }
    }
}

void ext4_recovery_c::link_and_mark() {
    link_node_tree(node_table_, ext4_attr_directory);
}
