// Which deleted files lost clusters to later files: the clusters every record claims, sorted
// once after the scan and swept in cluster order (engine/cluster_claims.h).
//
// A deleted file's clusters may have gone to a file written after it that was itself deleted
// afterwards: $Bitmap then shows them free, yet they hold the later file's bytes. Every
// record read, live or deleted, leaves its runs here with its last change time; a deleted
// file is overwritten when another record claims one of its clusters and is live, or is
// deleted and was changed at the same time or later.
#include "ntfs_state.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace ntfs {
namespace {

constexpr std::size_t max_claims = std::size_t{1} << 24;  // 384 MiB of claims at most
constexpr std::size_t max_runs_per_attribute = 1 << 16;
constexpr std::uint64_t live_time = std::numeric_limits<std::uint64_t>::max();

}  // namespace

void note_claims(scan_state_s* s, std::uint64_t number, const record_header_s& header,
                 const std::uint8_t* record, const file_facts_s* facts) {
    if (s->claims_sorted) {
        return;
    }
    const bool base = (header.base_reference & reference_mask) == 0;
    const std::uint64_t owner =
        base ? number | static_cast<std::uint64_t>(header.sequence) << 48 : header.base_reference;
    std::size_t added = 0;
    attribute_walker_c walker(record, s->boot.record_size);
    attribute_s a;
    while (walker.next(&a)) {
        if (a.resident) {
            continue;
        }
        s->claim_runs.clear();
        decode_runs(a.runs, a.runs_length, a.start_vcn, s->boot.total_clusters,
                    max_runs_per_attribute, &s->claim_runs);
        for (const run_s& run : s->claim_runs) {
            if (run.lcn < 0 || s->claims.size() >= max_claims) {
                continue;
            }
            const auto first = static_cast<std::uint64_t>(run.lcn);
            s->claims.push_back({first, first + run.length, owner});
            ++added;
        }
    }
    if (base && facts && (added > 0 || facts->has_attribute_list)) {
        s->owners.push_back(
            {number, facts->change_ticks, header.sequence, (header.flags & record_in_use) != 0});
    }
}

void sort_claims(scan_state_s* s) {
    if (s->claims_sorted) {
        return;
    }
    s->claims_sorted = true;
    std::vector<owner_s>& owners = s->owners;
    std::sort(owners.begin(), owners.end(),
              [](const owner_s& a, const owner_s& b) { return a.number < b.number; });
    // Each claim to the index of its owner; claims of extension records whose base is gone
    // or was reused (its sequence number moved on) name no owner and are dropped.
    std::vector<claim_s>& claims = s->claims;
    std::size_t kept = 0;
    for (const claim_s& c : claims) {
        const std::uint64_t number = c.owner & reference_mask;
        auto found =
            std::lower_bound(owners.begin(), owners.end(), number,
                             [](const owner_s& o, std::uint64_t n) { return o.number < n; });
        if (found == owners.end() || found->number != number ||
            !reference_matches(reference_sequence(c.owner), found->sequence, found->in_use)) {
            continue;
        }
        claims[kept++] = {c.first, c.end, static_cast<std::uint64_t>(found - owners.begin())};
    }
    claims.resize(kept);
    const std::vector<std::uint8_t> flagged = flag_lost_claims(
        claims, owners.size(),
        [&](std::uint64_t o) { return owners[o].in_use ? live_time : owners[o].change_ticks; },
        [&](std::uint64_t o) { return !owners[o].in_use; });
    for (std::size_t o = 0; o < owners.size(); ++o) {
        if (flagged[o] && !owners[o].in_use) {
            s->overwritten.push_back(owners[o].number);
        }
    }
    std::vector<claim_s>().swap(s->claims);
    std::vector<owner_s>().swap(s->owners);
}

}  // namespace ntfs
