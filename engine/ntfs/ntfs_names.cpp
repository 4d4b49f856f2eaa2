// Names for the files that no record of their own names any more: the folder indexes ($I30)
// of every folder met in the $MFT are read once, after the $MFT, and their entries (the
// live ones and those left in the slack of an index block when entries were removed) are
// matched to the nameless records by record and sequence number.
#include "ntfs_state.h"

#include <algorithm>

namespace ntfs {
namespace {

constexpr std::uint64_t max_index_bytes = std::uint64_t{1} << 30;  // of one folder's index

bool by_number(const std::pair<std::uint64_t, std::uint16_t>& a, std::uint64_t n) {
    return a.first < n;
}

// The entries of one folder's index that name nameless records.
void folder_names(scan_state_s* s, std::uint64_t folder, file_facts_s* facts,
                  std::vector<std::uint8_t>* block, std::uint64_t* budget,
                  std::vector<index_name_s>* found) {
    record_header_s header;
    if (!read_record(s, folder, &s->deferred) ||
        !parse_record_header(s->deferred.data(), s->deferred.size(), &header) ||
        !(header.flags & record_directory) || (header.base_reference & reference_mask) != 0) {
        return;
    }
    facts->want_index = true;
    gather_file(s, folder, s->deferred.data(), facts, false);
    const auto wanted = [s](std::uint64_t n) {
        auto it = std::lower_bound(s->nameless.begin(), s->nameless.end(), n, by_number);
        return it != s->nameless.end() && it->first == n;
    };
    index_root_s root;
    if (!parse_index_root(facts->index_root.data(), facts->index_root.size(), &root)) {
        return;
    }
    find_index_names(facts->index_root.data(), root.entries, root.allocated_end, folder, wanted,
                     found);
    if (root.block_size == 0 || facts->index_runs.empty()) {
        return;
    }
    std::sort(facts->index_runs.begin(), facts->index_runs.end(),
              [](const run_s& a, const run_s& b) { return a.vcn < b.vcn; });
    block->resize(root.block_size);
    // No more than the clusters the runs hold on the volume, and what is left of the whole
    // search's budget: a damaged index that claims more cannot make the search endless.
    std::uint64_t stored = 0;
    for (const run_s& run : facts->index_runs) {
        stored += run.lcn >= 0 ? run.length * s->boot.cluster_size : 0;
    }
    const std::uint64_t size = std::min({facts->index_size, max_index_bytes, stored, *budget});
    *budget -= size;
    for (std::uint64_t at = 0; at + root.block_size <= size; at += root.block_size) {
        std::size_t entries = 0;
        std::size_t used_end = 0;
        std::size_t allocated_end = 0;
        if (read_stream(s, facts->index_runs, at, block->data(), block->size(), false) &&
            open_index_block(block->data(), block->size(), &entries, &used_end, &allocated_end)) {
            find_index_names(block->data(), entries, allocated_end, folder, wanted, found);
        }
    }
}

}  // namespace

void search_index_names(scan_state_s* s) {
    s->names_searched = true;
    if (s->nameless.empty()) {
        return;
    }
    std::sort(s->folders.begin(), s->folders.end());
    s->folders.erase(std::unique(s->folders.begin(), s->folders.end()), s->folders.end());
    file_facts_s facts;
    std::vector<std::uint8_t> block;
    std::vector<index_name_s> found;
    // All the indexes of a volume together hold fewer bytes than the volume has.
    std::uint64_t budget = s->volume_bytes;
    for (const std::uint64_t folder : s->folders) {
        folder_names(s, folder, &facts, &block, &budget, &found);
    }
    // The best entry for each record: one whose reference still matches the record (the
    // sequence it had while the file lived), a long name before a DOS one, the first found.
    std::vector<std::pair<std::uint64_t, file_name_s>> names;
    for (index_name_s& entry : found) {
        const std::uint64_t number = entry.file_reference & reference_mask;
        auto record = std::lower_bound(s->nameless.begin(), s->nameless.end(), number, by_number);
        if (record != s->nameless.end() && record->first == number &&
            reference_matches(reference_sequence(entry.file_reference), record->second, false)) {
            names.emplace_back(number, std::move(entry.file_name));
        }
    }
    std::stable_sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.rank > b.second.rank;
    });
    for (auto& name : names) {
        if (s->index_names.empty() || s->index_names.back().first != name.first) {
            s->index_names.push_back(std::move(name));
        }
    }
    std::vector<std::uint64_t>().swap(s->folders);
}

const file_name_s* index_name(const scan_state_s* s, std::uint64_t number) {
    auto known = std::lower_bound(s->index_names.begin(), s->index_names.end(), number,
                                  [](const auto& e, std::uint64_t n) { return e.first < n; });
    return known != s->index_names.end() && known->first == number ? &known->second : nullptr;
}

}  // namespace ntfs
