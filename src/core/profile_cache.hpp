// What the batch kernels derive from one list of profiles for one index, kept for profiles that
// are scored again and again (prepared candidates), so that no call pays for it twice.
//
// A kernel reads, besides the profiles themselves, lists derived from them per call: each
// profile's union of scored lists (phenomizer, simgic), its scoring terms' scored lists laid side
// by side (the measures of m with a combine), the union of its expansions (expanded_jaccard).
// For thousands of candidates against one query these cost ten times the scoring itself. A cache
// computes each on first use, once (thread-safe), and keeps it for the cache's life.
//
// Everything derived depends on the index's ranks, so a cache serves the one index it was made
// for (and the profiles it was made from, or the same profiles with terms the index lacks
// renumbered: such terms take no part in any derived list). Memory, when all three are used:
// about 4 bytes per scored rank of every profile term, plus the unions.
#pragma once

#include <memory>
#include <mutex>

#include "core/closure_index.hpp"
#include "core/profile_kernels.hpp"
#include "core/profile_measures.hpp"

namespace ontarix {

class ProfileCache {
public:
    // Both must outlive the cache.
    ProfileCache(const ClosureIndex& index, const ProfileList& profiles) noexcept
        : index_(&index), profiles_(&profiles) {}
    ProfileCache(const ProfileCache&) = delete;
    ProfileCache& operator=(const ProfileCache&) = delete;

    // Whether the cache holds what `index` would derive.
    bool serves(const ClosureIndex& index) const noexcept { return &index == index_; }
    std::size_t size() const noexcept { return profiles_->size(); }

    // Each profile's union of its terms' scored lists (ranks, ascending), with its weight.
    const kernels::ScoredUnions& scored_unions() const;
    // The profiles' terms that can score under a measure of m, with their scored lists.
    const kernels::ScoringColumns& scoring_columns() const;
    // Each profile's union of its terms' expansions (every term a subject of the index).
    const ProfileList& expansions() const;

private:
    const ClosureIndex* index_;
    const ProfileList* profiles_;
    mutable std::once_flag unions_once_, columns_once_, expansions_once_;
    mutable std::unique_ptr<const kernels::ScoredUnions> unions_;
    mutable std::unique_ptr<const kernels::ScoringColumns> columns_;
    mutable std::unique_ptr<const ProfileList> expansions_;
};

}  // namespace ontarix
