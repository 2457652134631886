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

const WangTable& wang_of(const ClosureIndex& index) {
    const WangTable* table = index.structure().wang_table();
    if (table == nullptr) raise_fault("Wang's measure on an index without edges");
    return *table;
}

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

// Runs `body(kernel)` with the term kernel of `measure` over rows and cols.
template <class Body>
void with_term_kernel(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                      std::span<const std::uint32_t> cols, TermMeasure measure,
                      const BatchOptions& options, Body&& plain_body) {
    using kernels::RankTerms;
    UnlockedSetup body(options, plain_body);
    switch (measure) {
        case TermMeasure::Resnik:
            return body(RankTerms<TermMeasure::Resnik>(index, rows, cols));
        case TermMeasure::Lin:
            return body(RankTerms<TermMeasure::Lin>(index, rows, cols));
        case TermMeasure::JiangConrath:
            return body(RankTerms<TermMeasure::JiangConrath>(index, rows, cols));
        case TermMeasure::Relevance:
            return body(RankTerms<TermMeasure::Relevance>(index, rows, cols));
        case TermMeasure::InformationCoefficient:
            return body(RankTerms<TermMeasure::InformationCoefficient>(index, rows, cols));
        case TermMeasure::GraphIc:
            return body(RankTerms<TermMeasure::GraphIc>(index, rows, cols));
        case TermMeasure::SemanticJaccard:
            return body(JaccardLists(JaccardSide::of_expansions(index, rows),
                                     JaccardSide::of_expansions(index, cols), index.size()));
        case TermMeasure::Wang:
            return body(kernels::WangTerms(wang_of(index), index.size(), rows, cols));
    }
}

ProfileList expand_profiles(const ClosureIndex& index, const ProfileList& profiles) {
    ProfileList out;
    out.begin.reserve(profiles.size() + 1);
    for (std::size_t p = 0; p < profiles.size(); ++p) out.add(expand_profile(index, profiles[p]));
    return out;
}

ProfileList scored_union_lists(const ClosureIndex& index, const ProfileList& profiles) {
    ProfileList out;
    out.begin.reserve(profiles.size() + 1);
    for (std::size_t p = 0; p < profiles.size(); ++p) out.add(scored_union(index, profiles[p]));
    return out;
}

template <TermMeasure kMeasure, class Body>
void with_mica_kernel(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                      Combine combine, Body&& body) {
    const kernels::ScoringColumns columns = kernels::scoring_columns(index, kMeasure, cols);
    body(kernels::MicaCombine<kMeasure>(index, rows, cols, columns, combine));
}

template <class Body>
void with_combine_kernel(const ClosureIndex& index, const ProfileList& rows,
                         const ProfileList& cols, TermMeasure measure, Combine combine,
                         Body&& body) {
    using kernels::OverlapCombine;
    switch (measure) {
        case TermMeasure::Resnik:
            return with_mica_kernel<TermMeasure::Resnik>(index, rows, cols, combine, body);
        case TermMeasure::Lin:
            return with_mica_kernel<TermMeasure::Lin>(index, rows, cols, combine, body);
        case TermMeasure::JiangConrath:
            return with_mica_kernel<TermMeasure::JiangConrath>(index, rows, cols, combine, body);
        case TermMeasure::Relevance:
            return with_mica_kernel<TermMeasure::Relevance>(index, rows, cols, combine, body);
        case TermMeasure::InformationCoefficient:
            return with_mica_kernel<TermMeasure::InformationCoefficient>(index, rows, cols,
                                                                         combine, body);
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
    if (scoring.is_phenomizer()) {
        const ProfileList col_unions = scored_union_lists(index, cols);
        body(kernels::PhenomizerProfiles(index, rows, cols, col_unions));
        return;
    }
    switch (scoring.measure) {
        case ProfileMeasure::Jaccard:
            body(JaccardLists(JaccardSide::of_profiles(rows), JaccardSide::of_profiles(cols),
                              index.size()));
            return;
        case ProfileMeasure::ExpandedJaccard: {
            const ProfileList expanded_rows = expand_profiles(index, rows);
            const ProfileList expanded_cols = same ? ProfileList() : expand_profiles(index, cols);
            body(JaccardLists(JaccardSide::of_profiles(expanded_rows),
                              JaccardSide::of_profiles(same ? expanded_rows : expanded_cols),
                              index.size()));
            return;
        }
        case ProfileMeasure::SimGic: {
            const kernels::ScoredUnions row_unions = kernels::scored_unions(index, rows);
            const kernels::ScoredUnions col_unions =
                same ? kernels::ScoredUnions() : kernels::scored_unions(index, cols);
            body(kernels::SimGicProfiles(index, rows, cols, row_unions,
                                         same ? row_unions : col_unions));
            return;
        }
        default:
            with_combine_kernel(index, rows, cols, scoring.term, scoring.combine, body);
            return;
    }
}

}  // namespace

void term_similarity_matrix(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                            std::span<const std::uint32_t> cols, bool symmetric,
                            TermMeasure measure, double* out, const BatchOptions& options) {
    with_term_kernel(index, rows, cols, measure, options, [&](const auto& kernel) {
        fill_matrix(kernel, rows.size(), cols.size(), symmetric, out, options);
    });
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
    NeighbourLists out;
    // A measure that is not symmetric (directed) scores both directions of every pair.
    with_profile_kernel(index, queries, candidates, all_vs_all, scoring, options,
                        [&](const auto& kernel) {
        out = batch::collect_top_k(kernel, queries.size(), candidates.size(),
                                   {all_vs_all, scoring.symmetric()}, order, k, options);
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
