#pragma once
// The NTFS engine's kept records, compact: a fixed 64-byte node per record sorted by record
// number, names in a shared arena, and the children of every folder as one range of a
// single index list. A scan of millions of records keeps only what the listing and the
// restore need; the data runs are read again from the record when a file is restored.
//
// Filled by the engine thread (add, then finish); read afterwards, on any one thread, until
// the next clear().

#include "engine/ntfs/ntfs_scan.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

// One kept record.
struct ntfs_node {
    std::uint64_t record_number = 0;
    // The folder the record is shown in: the record its name's parent reference names while
    // that record still matches the reference, the orphans folder when it does not.
    std::uint64_t parent_number = 0;
    std::uint64_t size = 0;
    std::int64_t creation_time = 0;  // seconds since 1970 (record offset 24)
    std::int64_t write_time = 0;     // seconds since 1970 (record offset 40)
    std::uint32_t name_offset = 0;   // into the name arena, in UTF-16 units
    std::uint32_t first_child = 0;   // into the child list
    std::uint32_t child_count = 0;
    std::uint16_t name_length = 0;
    std::uint16_t sequence = 0;
    std::uint16_t parent_sequence = 0;
    std::uint8_t flags = 0;        // ntfs_flag_*
    std::uint8_t extra_flags = 0;  // ntfs_extra_*
    std::uint8_t has_files = 0;    // some file lies somewhere below this folder
    std::uint8_t orphan = 0;       // its parent reference names no folder that still matches
};
static_assert(sizeof(ntfs_node) == 64);

constexpr std::uint64_t ntfs_root_record = 5;
constexpr std::uint64_t ntfs_last_system_record = 11;  // records 0-11 are the volume's own
// The folder of orphaned files, under the root: a key no record number (48 bits) can have.
constexpr std::uint64_t ntfs_orphans_record = 1ull << 48;

class ntfs_tree_c {
  public:
    void clear();
    // Keeps a record as fetched; a later record with the same number replaces it.
    void add(const ntfs_record& record);
    // Marks a kept record; false when there is none.
    bool add_extra_flags(std::uint64_t record_number, std::uint8_t bits);
    // Links every record to its parent, gathers the ones without a valid parent in a folder
    // of orphaned files under the root (named orphans_name, or that with " (2)" and so on
    // when the root holds an entry of that name), and marks the folders that hold files.
    void finish(const QString& orphans_name);

    std::size_t size() const { return nodes_.size(); }
    bool empty() const { return nodes_.empty(); }
    const ntfs_node* find(std::uint64_t record_number) const;
    bool contains(std::uint64_t record_number) const { return find(record_number) != nullptr; }
    const ntfs_node& at(std::size_t index) const { return nodes_[index]; }
    // The children of a folder, as node indexes for at(); the root is its own child.
    std::span<const std::uint32_t> children(const ntfs_node& node) const;
    QString name(const ntfs_node& node) const;
    // Bytes held, for the benchmark.
    std::size_t bytes() const;

  private:
    std::uint32_t store_name(const char16_t* name, std::size_t length);
    std::size_t index_of(std::uint64_t record_number) const;  // size() when missing
    void link();
    void break_loops(std::vector<std::uint32_t>* parent);

    static constexpr std::size_t chunk_units = 1 << 16;
    std::deque<ntfs_node> nodes_;
    std::vector<std::unique_ptr<char16_t[]>> name_chunks_;
    std::size_t chunk_used_ = chunk_units;
    std::vector<std::uint32_t> child_list_;
    bool sorted_ = true;
};
