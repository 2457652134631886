#include "core/batch_scoring.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <optional>

#include "core/batch_driver.hpp"
#include "core/batch_kernel.hpp"

namespace ontarix {
namespace {

using batch::fill_matrix;

// ---- term kernels -------------------------------------------------------------------------------

class ResnikTerms {
public:
    using Scratch = Stamps;
    ResnikTerms(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                std::span<const std::uint32_t> cols)
        : index_(index), rows_(rows), cols_(cols) {}

    Scratch scratch() const { return Stamps(index_.rank_count()); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t r : index_.scored().of(rows_[i])) s.mark(r);
    }
    double score(Scratch& s, std::size_t, std::size_t j) const {
        for (const std::uint32_t r : index_.scored().of(cols_[j])) {
            if (s.marked(r)) return index_.rank_ic()[r];
        }
        return 0.0;
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const ClosureIndex& index_;
    std::span<const std::uint32_t> rows_, cols_;
};

class SemanticJaccardTerms {
public:
    using Scratch = Stamps;
    SemanticJaccardTerms(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                         std::span<const std::uint32_t> cols)
        : index_(index), rows_(rows), cols_(cols) {}

    Scratch scratch() const { return Stamps(index_.size()); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t t : index_.expansions().of(rows_[i])) s.mark(t);
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const std::span<const std::uint32_t> col = index_.expansions().of(cols_[j]);
        std::uint64_t common = 0;
        for (const std::uint32_t t : col) common += s.marked(t);
        const std::uint64_t united = index_.expansions().of(rows_[i]).size() + col.size() - common;
        return static_cast<double>(common) / static_cast<double>(united);
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const ClosureIndex& index_;
    std::span<const std::uint32_t> rows_, cols_;
};

// ---- profile kernels ----------------------------------------------------------------------------

class JaccardProfiles {
public:
    using Scratch = Stamps;
    JaccardProfiles(const ProfileList& rows, const ProfileList& cols, std::uint32_t term_space)
        : rows_(rows), cols_(cols), term_space_(term_space) {}

    Scratch scratch() const { return Stamps(term_space_); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t t : rows_[i]) s.mark(t);
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const ProfileTerms col = cols_[j];
        std::uint64_t common = 0;
        for (const std::uint32_t t : col) common += s.marked(t);
        const std::uint64_t united = rows_[i].size() + col.size() - common;
        return static_cast<double>(common) / static_cast<double>(united);
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const ProfileList& rows_;
    const ProfileList& cols_;
    std::uint32_t term_space_;
};

// The union of the scored lists of each profile's terms: the ranks a row term can meet in the
// profile, ascending.
ProfileList scored_unions(const ClosureIndex& index, const ProfileList& profiles) {
    ProfileList out;
    out.begin.reserve(profiles.size() + 1);
    std::vector<std::uint32_t> ranks;
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        ranks.clear();
        for (const std::uint32_t t : profiles[p]) {
            const std::span<const std::uint32_t> scored = index.scored().of(t);
            ranks.insert(ranks.end(), scored.begin(), scored.end());
        }
        std::sort(ranks.begin(), ranks.end());
        ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
        out.add(ranks);
    }
    return out;
}

class PhenomizerProfiles {
public:
    struct Scratch {
        std::vector<std::uint8_t> hit;     // per rank: some row term reaches it
        std::vector<std::uint64_t> bits;   // per rank: which row terms reach it, `words` words
        std::size_t words = 0;
        std::size_t reachable = 0;         // row terms with a non-empty scored list
        std::vector<std::uint32_t> row_best;
        std::vector<std::uint64_t> found;
    };

    PhenomizerProfiles(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                       const ProfileList& col_unions)
        : index_(index), rows_(rows), cols_(cols), col_unions_(col_unions) {}

    Scratch scratch() const {
        Scratch s;
        s.hit.assign(index_.rank_count(), 0);
        return s;
    }

    void prepare(Scratch& s, std::size_t i) const {
        const ProfileTerms row = rows_[i];
        s.words = std::max<std::size_t>(1, (row.size() + 63) / 64);
        const std::size_t needed = index_.rank_count() * s.words;
        // Every bit is cleared after each row, so a longer array only needs zeros appended.
        if (s.bits.size() < needed) s.bits.resize(needed, 0);
        s.found.assign(s.words, 0);
        s.row_best.resize(row.size());
        s.reachable = 0;
        for (std::size_t t = 0; t < row.size(); ++t) {
            const std::span<const std::uint32_t> scored = index_.scored().of(row[t]);
            s.reachable += !scored.empty();
            const std::uint64_t bit = std::uint64_t{1} << (t % 64);
            for (const std::uint32_t r : scored) {
                s.hit[r] = 1;
                s.bits[r * s.words + t / 64] |= bit;
            }
        }
    }

    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const ProfileTerms row = rows_[i];
        const ProfileTerms col = cols_[j];
        // Column terms against the row: each one's first marked rank is its best.
        double col_total = 0.0;
        for (const std::uint32_t t : col) {
            double best = 0.0;
            for (const std::uint32_t r : index_.scored().of(t)) {
                if (s.hit[r]) {
                    best = index_.rank_ic()[r];
                    break;
                }
            }
            col_total += best;
        }
        // Row terms against the column: the first rank of the column's union that carries a
        // term's bit is that term's best.
        std::fill(s.row_best.begin(), s.row_best.end(), ClosureIndex::kNoRank);
        std::fill(s.found.begin(), s.found.end(), 0);
        std::size_t missing = s.reachable;
        for (const std::uint32_t r : col_unions_[j]) {
            if (missing == 0) break;
            if (!s.hit[r]) continue;
            const std::uint64_t* bits = &s.bits[r * s.words];
            for (std::size_t w = 0; w < s.words; ++w) {
                std::uint64_t fresh = bits[w] & ~s.found[w];
                if (fresh == 0) continue;
                s.found[w] |= fresh;
                missing -= static_cast<std::size_t>(std::popcount(fresh));
                while (fresh != 0) {
                    s.row_best[w * 64 + static_cast<std::size_t>(std::countr_zero(fresh))] = r;
                    fresh &= fresh - 1;
                }
            }
        }
        const double row_mean = mean_of_ranks(index_, s.row_best);
        const double col_mean = col_total / static_cast<double>(col.size());
        (void)row;
        return (row_mean + col_mean) * 0.5;
    }

    void clear(Scratch& s, std::size_t i) const {
        for (const std::uint32_t t : rows_[i]) {
            for (const std::uint32_t r : index_.scored().of(t)) {
                s.hit[r] = 0;
                std::fill_n(&s.bits[r * s.words], s.words, 0);
            }
        }
    }

private:
    const ClosureIndex& index_;
    const ProfileList& rows_;
    const ProfileList& cols_;
    const ProfileList& col_unions_;
};

ProfileList expand_profiles(const ClosureIndex& index, const ProfileList& profiles) {
    ProfileList out;
    out.begin.reserve(profiles.size() + 1);
    for (std::size_t p = 0; p < profiles.size(); ++p) out.add(expand_profile(index, profiles[p]));
    return out;
}

// Runs `body(kernel)` with the kernel of `measure` over rows and cols.
template <class Body>
void with_profile_kernel(const ClosureIndex& index, const ProfileList& rows,
                         const ProfileList& cols, bool same, ProfileMeasure measure,
                         const BatchOptions& options, Body&& body) {
    switch (measure) {
        case ProfileMeasure::Phenomizer: {
            const ProfileList col_unions = scored_unions(index, cols);
            body(PhenomizerProfiles(index, rows, cols, col_unions));
            return;
        }
        case ProfileMeasure::Jaccard:
            body(JaccardProfiles(rows, cols, std::max(options.term_space, index.size())));
            return;
        case ProfileMeasure::ExpandedJaccard: {
            const ProfileList expanded_rows = expand_profiles(index, rows);
            if (same) {
                body(JaccardProfiles(expanded_rows, expanded_rows, index.size()));
            } else {
                const ProfileList expanded_cols = expand_profiles(index, cols);
                body(JaccardProfiles(expanded_rows, expanded_cols, index.size()));
            }
            return;
        }
    }
}

}  // namespace

void term_similarity_matrix(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                            std::span<const std::uint32_t> cols, bool symmetric,
                            TermMeasure measure, double* out, const BatchOptions& options) {
    if (measure == TermMeasure::MaxInformationContent) {
        fill_matrix(ResnikTerms(index, rows, cols), rows.size(), cols.size(), symmetric, out,
                    options);
    } else {
        fill_matrix(SemanticJaccardTerms(index, rows, cols), rows.size(), cols.size(), symmetric,
                    out, options);
    }
}

void profile_similarity_matrix(const ClosureIndex& index, const ProfileList& rows,
                               const ProfileList& cols, bool symmetric, ProfileMeasure measure,
                               double* out, const BatchOptions& options) {
    with_profile_kernel(index, rows, cols, symmetric, measure, options, [&](const auto& kernel) {
        fill_matrix(kernel, rows.size(), cols.size(), symmetric, out, options);
    });
}

NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             std::span<const Term> candidate_names, std::size_t k,
                             ProfileMeasure measure, const BatchOptions& options) {
    const NeighbourOrder order(candidate_names);
    NeighbourLists out;
    with_profile_kernel(index, queries, candidates, all_vs_all, measure, options,
                        [&](const auto& kernel) {
                            out = batch::collect_top_k(kernel, queries.size(), candidates.size(),
                                                       {all_vs_all, true}, order, k, options);
                        });
    return out;
}

PartialNeighbours profile_top_k_piece(const ClosureIndex& index, const ProfileList& queries,
                                      const ProfileList& candidates, bool all_vs_all,
                                      std::pair<std::size_t, std::size_t> rows,
                                      std::pair<std::size_t, std::size_t> cols,
                                      const NeighbourOrder& order, std::size_t k,
                                      ProfileMeasure measure, const BatchOptions& options) {
    PartialNeighbours out;
    with_profile_kernel(index, queries, candidates, all_vs_all, measure, options,
                        [&](const auto& kernel) {
                            out = batch::collect_top_k_piece(kernel, queries.size(), rows.first,
                                                             rows.second, cols.first, cols.second,
                                                             {all_vs_all, true}, order, k, options);
                        });
    return out;
}

}  // namespace ontarix
