#pragma once
// Which files lost clusters to other files: every file's claimed cluster runs, sorted once
// and swept in cluster order. Shared by the engines that know each file's runs (NTFS from
// its records, exFAT from its entry sets).
//
// A file whose cluster another file also claims lost it when that file is live, or wrote it
// at the same time or later; only the file that wrote a cluster last keeps it. The sweep
// costs a sort and a pass with two heaps: near linear in the number of runs, whatever their
// overlaps. Runs on the engine's thread; the claims belong to the caller.

#include <algorithm>
#include <cstdint>
#include <vector>

// Clusters [first, end) that a file claims; owner is the file's index in the caller's list.
struct cluster_claim_s {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t owner = 0;
};

// Flags (1) every owner below owners that lost a claimed cluster to another owner.
// time_of(owner): when it wrote its clusters, larger is later (any ordered value); a live
// file has the largest time there is. lost_only_if(owner): whether this owner may be flagged at all
// (a live file never is). The claims are reordered and merged in place.
template <class time_fn, class flaggable_fn>
std::vector<std::uint8_t> flag_lost_claims(std::vector<cluster_claim_s>& claims, std::size_t owners,
                                           time_fn time_of_owner, flaggable_fn flaggable) {
    // One owner's claims merged where they overlap: from here on they are disjoint, so an
    // active claim is never met by another of its own owner.
    std::sort(claims.begin(), claims.end(), [](const cluster_claim_s& a, const cluster_claim_s& b) {
        return a.owner != b.owner ? a.owner < b.owner : a.first < b.first;
    });
    std::size_t kept = 0;
    for (const cluster_claim_s& c : claims) {
        if (kept > 0 && claims[kept - 1].owner == c.owner && c.first <= claims[kept - 1].end) {
            claims[kept - 1].end = std::max(claims[kept - 1].end, c.end);
            continue;
        }
        claims[kept++] = c;
    }
    claims.resize(kept);
    std::sort(claims.begin(), claims.end(),
              [](const cluster_claim_s& a, const cluster_claim_s& b) { return a.first < b.first; });

    const auto time_of = [&](std::size_t claim) { return time_of_owner(claims[claim].owner); };
    const auto newer_first = [&](std::uint32_t a, std::uint32_t b) {
        return time_of(a) < time_of(b);
    };
    const auto older_first = [&](std::uint32_t a, std::uint32_t b) {
        return time_of(a) > time_of(b);
    };
    std::vector<std::uint8_t> flagged(owners, 0);
    std::vector<std::uint32_t> active;   // max-heap by time: every claim not yet passed
    std::vector<std::uint32_t> waiting;  // min-heap by time: flaggable, not flagged yet
    std::vector<std::uint32_t> aside;
    for (std::uint32_t i = 0; i < claims.size(); ++i) {
        const cluster_claim_s& c = claims[i];
        const std::uint64_t at = c.first;
        const bool may_lose = flaggable(c.owner);
        while (!active.empty() && claims[active.front()].end <= at) {
            std::pop_heap(active.begin(), active.end(), newer_first);
            active.pop_back();
        }
        // A claim already here that is live or as new: this one lost its clusters to it.
        if (may_lose && !active.empty() && time_of(active.front()) >= time_of(i) &&
            claims[active.front()].owner != c.owner) {
            flagged[c.owner] = 1;
        }
        // Claims already here that are as old or older lost their clusters to this one.
        aside.clear();
        while (!waiting.empty()) {
            const std::uint32_t w = waiting.front();
            const bool passed = claims[w].end <= at || flagged[claims[w].owner];
            if (!passed && time_of(w) > time_of(i)) {
                break;
            }
            std::pop_heap(waiting.begin(), waiting.end(), older_first);
            waiting.pop_back();
            if (passed) {
                continue;
            }
            if (claims[w].owner == c.owner) {
                aside.push_back(w);
                continue;
            }
            flagged[claims[w].owner] = 1;
        }
        for (const std::uint32_t w : aside) {
            waiting.push_back(w);
            std::push_heap(waiting.begin(), waiting.end(), older_first);
        }
        active.push_back(i);
        std::push_heap(active.begin(), active.end(), newer_first);
        if (may_lose && !flagged[c.owner]) {
            waiting.push_back(i);
            std::push_heap(waiting.begin(), waiting.end(), older_first);
        }
    }
    return flagged;
}
