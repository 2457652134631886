#include "core/batch_scoring.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "core/batch_driver.hpp"
#include "core/batch_kernel.hpp"
#include "core/fault.hpp"
#include "core/lock_free_section.hpp"
#include "core/profile_kernels.hpp"
#include "core/term_kernels.hpp"

namespace ontarix {
namespace {

using batch::fill_matrix;
using kernels::JaccardLists;
using kernels::JaccardSide;
using kernels::wang_of;
using kernels::with_term_kernel;

// A kernel's tables (a profile list's unions or expansions, Wang's contributions) can take a
// while for large inputs, so they are built without the host's lock; it is taken back before
// the runner, which releases it again for the cells, starts. body(kernel) runs with the lock held.
template <class Body>
class UnlockedSetup {
public:
    UnlockedSetup(const BatchOptions& options, Body& body) : body_(body) {
        if (options.waiter != nullptr) section_.emplace(*options.waiter);
    }
    template <class Kernel>
    void operator()(const Kernel& kernel) {
        section_.reset();
        body_(kernel);
    }

private:
    Body& body_;
    std::optional<LockFreeSection> section_;
};

// A side's derived lists: from its cache when that serves the index, else made here and kept
// until the batch ends.
class Derived {
public:
    Derived(const ClosureIndex& index, const ProfileList& profiles, const ProfileCache* cache)
        : index_(index),
          profiles_(profiles),
          cache_(cache != nullptr && cache->serves(index) ? cache : nullptr) {}

    const kernels::ScoredUnions& scored_unions() {
        if (cache_ != nullptr) return cache_->scored_unions();
        if (!unions_) unions_.emplace(kernels::scored_unions(index_, profiles_));
        return *unions_;
    }
    const kernels::ScoringColumns& scoring_columns(TermMeasure measure) {
        if (cache_ != nullptr) return cache_->scoring_columns();
        if (!columns_) columns_.emplace(kernels::scoring_columns(index_, measure, profiles_));
        return *columns_;
    }
    const ProfileList& expansions() {
        if (cache_ != nullptr) return cache_->expansions();
        if (!expansions_) {
            expansions_.emplace();
            expansions_->begin.reserve(profiles_.size() + 1);
            for (std::size_t p = 0; p < profiles_.size(); ++p) {
                expansions_->add(expand_profile(index_, profiles_[p]));
            }
        }
        return *expansions_;
    }

private:
    const ClosureIndex& index_;
    const ProfileList& profiles_;
    const ProfileCache* cache_;
    std::optional<kernels::ScoredUnions> unions_;
    std::optional<kernels::ScoringColumns> columns_;
    std::optional<ProfileList> expansions_;
};

template <TermMeasure kMeasure, class Body>
void with_mica_kernel(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                      Derived& col_lists, Combine combine, Body&& body) {
    body(kernels::MicaCombine<kMeasure>(index, rows, cols, col_lists.scoring_columns(kMeasure),
                                        combine));
}

template <class Body>
void with_combine_kernel(const ClosureIndex& index, const ProfileList& rows,
                         const ProfileList& cols, Derived& col_lists, TermMeasure measure,
                         Combine combine, Body&& body) {
    using kernels::OverlapCombine;
    switch (measure) {
        case TermMeasure::Resnik:
            return with_mica_kernel<TermMeasure::Resnik>(index, rows, cols, col_lists, combine, body);
        case TermMeasure::Lin:
            return with_mica_kernel<TermMeasure::Lin>(index, rows, cols, col_lists, combine, body);
        case TermMeasure::JiangConrath:
            return with_mica_kernel<TermMeasure::JiangConrath>(index, rows, cols, col_lists,
                                                               combine, body);
        case TermMeasure::Relevance:
            return with_mica_kernel<TermMeasure::Relevance>(index, rows, cols, col_lists, combine,
                                                            body);
        case TermMeasure::InformationCoefficient:
            return with_mica_kernel<TermMeasure::InformationCoefficient>(index, rows, cols,
                                                                         col_lists, combine, body);
        case TermMeasure::GraphIc:
            return body(OverlapCombine<TermMeasure::GraphIc>(index, nullptr, rows, cols, combine));
        case TermMeasure::SemanticJaccard:
            return body(
                OverlapCombine<TermMeasure::SemanticJaccard>(index, nullptr, rows, cols, combine));
        case TermMeasure::Wang:
            return body(
                OverlapCombine<TermMeasure::Wang>(index, &wang_of(index), rows, cols, combine));
    }
}

// Runs `body(kernel)` with the kernel of `scoring` over rows and cols (`same`: they are one list).
template <class Body>
void with_profile_kernel(const ClosureIndex& index, const ProfileList& rows,
                         const ProfileList& cols, bool same, const ProfileScoring& scoring,
                         const BatchOptions& options, Body&& plain_body) {
    UnlockedSetup body(options, plain_body);
    Derived row_lists(index, rows, options.row_cache);
    Derived col_lists(index, cols, same ? options.row_cache : options.col_cache);
    Derived& col_side = same ? row_lists : col_lists;
    // phenomizer is resnik + funsimavg.
    const bool resnik = scoring.measure == ProfileMeasure::Phenomizer ||
                        (scoring.measure == ProfileMeasure::Combined &&
                         scoring.term == TermMeasure::Resnik);
    if (resnik && kernels::PhenomizerProfiles::serves(scoring.combine)) {
        body(kernels::PhenomizerProfiles(index, rows, cols, col_side.scored_unions().ranks,
                                         scoring.combine));
        return;
    }
    switch (scoring.measure) {
        case ProfileMeasure::Jaccard:
            body(JaccardLists(JaccardSide::of_profiles(rows), JaccardSide::of_profiles(cols),
                              index.size()));
            return;
        case ProfileMeasure::ExpandedJaccard:
            body(JaccardLists(JaccardSide::of_profiles(row_lists.expansions()),
                              JaccardSide::of_profiles(col_side.expansions()), index.size()));
            return;
        case ProfileMeasure::SimGic:
            body(kernels::SimGicProfiles(index, rows, cols, row_lists.scored_unions(),
                                         col_side.scored_unions()));
            return;
        default:
            with_combine_kernel(index, rows, cols, col_side, scoring.term, scoring.combine, body);
            return;
    }
}

}  // namespace

void term_similarity_matrix(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                            std::span<const std::uint32_t> cols, bool symmetric,
                            TermMeasure measure, double* out, const BatchOptions& options) {
    auto fill = [&](const auto& kernel) {
        fill_matrix(kernel, rows.size(), cols.size(), symmetric, out, options);
    };
    UnlockedSetup body(options, fill);
    with_term_kernel(index, rows, cols, measure, body);
}

void profile_similarity_matrix(const ClosureIndex& index, const ProfileList& rows,
                               const ProfileList& cols, bool symmetric,
                               const ProfileScoring& scoring, double* out,
                               const BatchOptions& options) {
    with_profile_kernel(index, rows, cols, symmetric, scoring, options, [&](const auto& kernel) {
        fill_matrix(kernel, rows.size(), cols.size(), symmetric && scoring.symmetric(), out,
                    options);
    });
}

NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             std::span<const Term> candidate_names, std::size_t k,
                             const ProfileScoring& scoring, const BatchOptions& options) {
    const NeighbourOrder order(candidate_names);
    return profile_top_k(index, queries, candidates, all_vs_all, order, k, scoring, options);
}

NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             const NeighbourOrder& order, std::size_t k,
                             const ProfileScoring& scoring, const BatchOptions& options) {
    NeighbourLists out;
    // A measure that is not symmetric (directed) scores both directions of every pair.
    with_profile_kernel(index, queries, candidates, all_vs_all, scoring, options,
                        [&](const auto& kernel) {
                            out = batch::collect_top_k(kernel, queries.size(), candidates.size(),
                                                       {all_vs_all, scoring.symmetric()}, order, k,
                                                       options);
                        });
    return out;
}

PartialNeighbours profile_top_k_piece(const ClosureIndex& index, const ProfileList& queries,
                                      const ProfileList& candidates, bool all_vs_all,
                                      std::pair<std::size_t, std::size_t> rows,
                                      std::pair<std::size_t, std::size_t> cols,
                                      const NeighbourOrder& order, std::size_t k,
                                      const ProfileScoring& scoring, const BatchOptions& options) {
    PartialNeighbours out;
    with_profile_kernel(index, queries, candidates, all_vs_all, scoring, options,
                        [&](const auto& kernel) {
        out = batch::collect_top_k_piece(kernel, queries.size(), rows.first, rows.second,
                                         cols.first, cols.second,
                                         {all_vs_all, scoring.symmetric()}, order, k, options);
    });
    return out;
}

}  // namespace ontarix
