// The kernels of profile batches (the kernel shape of batch_kernel.hpp).
//
// A row profile is prepared once per row by marking what its terms reach in the thread's scratch;
// each column profile is then scored by walking its own lists against the marks:
//   JaccardLists      one Jaccard kernel for every Jaccard path (term semantic_jaccard, profile
//                     jaccard and expanded_jaccard): the count of the column list's marked numbers;
//   SimGicProfiles    the weights of the marked ranks of the column's scored union;
//   PhenomizerProfiles  resnik with every combine but avg (resnik + funsimavg is phenomizer):
//                     each column term's best is the first marked rank of its scored list, walked
//                     once per row and then looked up (columns share most of their terms); each
//                     row term's best the first rank of the column's scored union whose mark
//                     carries that term's bit. A resnik score is m itself, so these bests are the
//                     row and column maxima every such combine reads;
//   MicaCombine       a measure of m with any combine: a column term's walk of its scored list
//                     finds, through the bits the row terms set on each rank, the most
//                     informative common ancestor of that column term with every row term at once;
//   OverlapCombine    graph_ic, semantic_jaccard or wang with any combine: per rank (or term) the
//                     row terms holding it, so a column term's walk adds each shared rank to the
//                     overlap of every row term that holds it.
// No pair of terms is scored by merging two lists.
//
// Only the terms that can score take part (can_score): a term that cannot scores 0.0 with every
// term, which changes no sum and no maximum. Marks are kept per rank or per index term and bits
// per row term that can score (and, for phenomizer, a best per index term), so a thread's scratch
// grows with the index and with the row profiles' scoring terms, never with the terms the index
// lacks.
//
// Every score is computed by the formula functions of term_measures.hpp and combine.hpp from the
// same values, summed in the same order, as the one-pair functions of profile_measures.cpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/batch_kernel.hpp"
#include "core/closure_index.hpp"
#include "core/combine.hpp"
#include "core/profile_measures.hpp"
#include "core/term_measures.hpp"
#include "core/wang_similarity.hpp"

namespace ontarix::kernels {

// ---- Jaccard ------------------------------------------------------------------------------------

// One side of a Jaccard batch: profile i's list, or the expansion of term i. Lists are ascending.
struct JaccardSide {
    const ProfileList* profiles = nullptr;
    const TermLists* expansions = nullptr;
    std::span<const std::uint32_t> terms;

    static JaccardSide of_profiles(const ProfileList& profiles) noexcept {
        return {&profiles, nullptr, {}};
    }
    static JaccardSide of_expansions(const ClosureIndex& index,
                                     std::span<const std::uint32_t> terms) noexcept {
        return {nullptr, &index.expansions(), terms};
    }
    std::span<const std::uint32_t> operator[](std::size_t i) const noexcept {
        return profiles != nullptr ? (*profiles)[i] : expansions->of(terms[i]);
    }
};

// Numbers below `marked_space` are marked; the rest (terms the index lacks, at the lists' ends)
// are counted by merging the two lists' tails.
class JaccardLists {
public:
    using Scratch = Stamps;
    JaccardLists(JaccardSide rows, JaccardSide cols, std::uint32_t marked_space)
        : rows_(rows), cols_(cols), space_(marked_space) {}

    Scratch scratch() const { return Stamps(space_); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t t : rows_[i]) {
            if (t >= space_) break;
            s.mark(t);
        }
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const std::span<const std::uint32_t> row = rows_[i];
        const std::span<const std::uint32_t> col = cols_[j];
        std::uint64_t common = 0;
        std::size_t k = 0;
        for (; k < col.size() && col[k] < space_; ++k) common += s.marked(col[k]);
        if (k < col.size() && !row.empty() && row.back() >= space_) {
            const auto tail = std::lower_bound(row.begin(), row.end(), space_);
            common += sorted_common({tail, row.end()}, col.subspan(k));
        }
        return jaccard_ratio(common, row.size(), col.size());
    }
    void clear(Scratch&, std::size_t) const {}

private:
    JaccardSide rows_, cols_;
    std::uint32_t space_;
};

// ---- simgic -------------------------------------------------------------------------------------

// Each profile's scored union and its weight.
struct ScoredUnions {
    ProfileList ranks;
    std::vector<double> weight;
};

inline ScoredUnions scored_unions(const ClosureIndex& index, const ProfileList& profiles) {
    ScoredUnions out;
    out.ranks.begin.reserve(profiles.size() + 1);
    out.weight.reserve(profiles.size());
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        const std::vector<std::uint32_t> ranks = scored_union(index, profiles[p]);
        out.ranks.add(ranks);
        out.weight.push_back(ranks_weight(index, ranks));
    }
    return out;
}

class SimGicProfiles {
public:
    using Scratch = Stamps;
    SimGicProfiles(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                   const ScoredUnions& row_unions, const ScoredUnions& col_unions)
        : index_(index), rows_(rows), cols_(cols), row_unions_(row_unions), col_unions_(col_unions) {}

    Scratch scratch() const { return Stamps(index_.rank_count()); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t r : row_unions_.ranks[i]) s.mark(r);
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const std::span<const double> rank_ic = index_.rank_ic();
        double common = 0.0;
        for (const std::uint32_t r : col_unions_.ranks[j]) {
            if (s.marked(r)) common += rank_ic[r];
        }
        return simgic_formula(common, row_unions_.weight[i], col_unions_.weight[j],
                              rows_[i].empty(), cols_[j].empty());
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const ClosureIndex& index_;
    const ProfileList& rows_;
    const ProfileList& cols_;
    const ScoredUnions& row_unions_;
    const ScoredUnions& col_unions_;
};

// ---- marks of a row profile's terms on ranks ----------------------------------------------------

// Per rank: whether a row term reaches it, and which (one bit per slot, `words` words). Slots
// number the row terms that take part; only those with a scored list set bits.
class RankBits {
public:
    explicit RankBits(std::size_t ranks) : hit_(ranks, 0) {}

    void mark(const ClosureIndex& index, std::span<const std::uint32_t> slots) {
        words_ = std::max<std::size_t>(1, (slots.size() + 63) / 64);
        const std::size_t needed = hit_.size() * words_;
        // Every bit is cleared after each row, so a longer array only needs zeros appended.
        if (bits_.size() < needed) bits_.resize(needed, 0);
        for (std::size_t k = 0; k < slots.size(); ++k) {
            const std::uint64_t bit = std::uint64_t{1} << (k % 64);
            for (const std::uint32_t r : index.scored().of(slots[k])) {
                hit_[r] = 1;
                bits_[r * words_ + k / 64] |= bit;
            }
        }
    }
    void clear(const ClosureIndex& index, std::span<const std::uint32_t> slots) {
        for (const std::uint32_t t : slots) {
            for (const std::uint32_t r : index.scored().of(t)) {
                hit_[r] = 0;
                std::fill_n(&bits_[r * words_], words_, 0);
            }
        }
    }
    bool hit(std::uint32_t r) const noexcept { return hit_[r] != 0; }
    const std::uint64_t* bits(std::uint32_t r) const noexcept { return &bits_[r * words_]; }
    std::size_t words() const noexcept { return words_; }

private:
    std::vector<std::uint8_t> hit_;
    std::vector<std::uint64_t> bits_;
    std::size_t words_ = 1;
};

// Walks `ranks` (ascending) against the marks and calls found(slot, rank) for each slot at the
// first rank whose bits carry it, until `missing` slots are found. `seen` has words() words.
template <class Found>
inline void first_marks(const RankBits& marks, std::span<const std::uint32_t> ranks,
                        std::size_t missing, std::uint64_t* seen, Found&& found) {
    const std::size_t words = marks.words();
    std::fill_n(seen, words, 0);
    if (words == 1) {  // up to 64 row terms, nearly every profile: the seen bits in a register
        std::uint64_t seen_bits = 0;
        for (const std::uint32_t r : ranks) {
            if (missing == 0) return;
            // Read without asking hit() first: a rank no row term reaches has no bits, and a
            // test that is rarely true costs less than one that a walk cannot predict.
            std::uint64_t fresh = *marks.bits(r) & ~seen_bits;
            if (fresh == 0) continue;
            seen_bits |= fresh;
            while (fresh != 0) {
                found(static_cast<std::size_t>(std::countr_zero(fresh)), r);
                fresh &= fresh - 1;
                --missing;
            }
        }
        return;
    }
    for (const std::uint32_t r : ranks) {
        if (missing == 0) return;
        if (!marks.hit(r)) continue;
        const std::uint64_t* bits = marks.bits(r);
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t fresh = bits[w] & ~seen[w];
            if (fresh == 0) continue;
            seen[w] |= fresh;
            // Counted bit by bit: without a popcount instruction in the baseline x86-64 target,
            // std::popcount is a library call.
            while (fresh != 0) {
                found(w * 64 + static_cast<std::size_t>(std::countr_zero(fresh)), r);
                fresh &= fresh - 1;
                --missing;
            }
        }
    }
}

// ---- phenomizer ---------------------------------------------------------------------------------

class PhenomizerProfiles {
public:
    struct Scratch {
        Scratch(std::size_t ranks, std::size_t terms) : marks(ranks), known(terms), best(terms) {}
        RankBits marks;
        std::vector<std::uint32_t> slots;     // the row terms with a scored list, in row order
        std::vector<std::uint32_t> row_best;  // per slot
        std::vector<std::uint64_t> seen;
        // Per index term, its best against the row once a column has met it: candidate profiles
        // share most of their terms, so most column terms are looked up rather than walked.
        Stamps known;
        std::vector<double> best;
    };

    PhenomizerProfiles(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                       const ProfileList& col_unions, Combine combine = Combine::FunSimAvg)
        : index_(index), rows_(rows), cols_(cols), col_unions_(col_unions), combine_(combine) {}

    // Whether the kernel computes resnik with `combine`: avg needs every cell, not the maxima.
    static constexpr bool serves(Combine combine) noexcept { return combine != Combine::Avg; }

    Scratch scratch() const { return Scratch(index_.rank_count(), index_.size()); }

    void prepare(Scratch& s, std::size_t i) const {
        s.slots.clear();
        for (const std::uint32_t t : rows_[i]) {
            if (!index_.scored().of(t).empty()) s.slots.push_back(t);
        }
        s.marks.mark(index_, s.slots);
        s.row_best.resize(s.slots.size());
        s.seen.resize(s.marks.words());
        s.known.next_row();
    }

    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const ProfileTerms col = cols_[j];
        const std::span<const double> rank_ic = index_.rank_ic();
        // Sums in the order and with the values of CombineAccumulator's, less the terms that
        // score 0.0 with everything (x + 0.0 == x), so every combine's double is the same.
        CombineSums sums;
        if (combine_ != Combine::Directed) {
            // Column terms against the row: each one's first marked rank is its best.
            for (const std::uint32_t t : col) {
                if (t >= index_.size()) break;  // a term the index lacks, and so are the rest
                if (!s.known.marked(t)) {
                    double best = 0.0;
                    for (const std::uint32_t r : index_.scored().of(t)) {
                        if (s.marks.hit(r)) {
                            best = rank_ic[r];
                            break;
                        }
                    }
                    s.known.mark(t);
                    s.best[t] = best;
                }
                sums.cols += s.best[t];
                sums.best = std::max(sums.best, s.best[t]);
            }
        }
        if (needs_rows(combine_)) {
            // Row terms against the column: the first rank of the column's union that carries a
            // term's bit is that term's best. Terms without a scored list add 0.0: left out.
            std::fill(s.row_best.begin(), s.row_best.end(), ClosureIndex::kNoRank);
            first_marks(s.marks, col_unions_[j], s.slots.size(), s.seen.data(),
                        [&](std::size_t slot, std::uint32_t r) { s.row_best[slot] = r; });
            for (const std::uint32_t r : s.row_best) sums.rows += rank_score(index_, r);
        }
        return combined_score(combine_, sums, rows_[i].size(), col.size());
    }

    void clear(Scratch& s, std::size_t) const { s.marks.clear(index_, s.slots); }

private:
    const ClosureIndex& index_;
    const ProfileList& rows_;
    const ProfileList& cols_;
    const ProfileList& col_unions_;
    Combine combine_;
};

// ---- a term measure with a combine --------------------------------------------------------------

// What a kernel gathers into CombineSums, column term by column term. avg's sum runs over rows of
// the orientation avg_rows_first picks: when the kernel's rows are those rows, each row term keeps
// its partial sum over the columns; otherwise each column term's sum over the rows is added.
class CombineAccumulator {
public:
    void start(Combine combine, bool rows_first, std::size_t slots) {
        combine_ = combine;
        rows_ = needs_rows(combine);
        avg_ = combine == Combine::Avg;
        rows_first_ = rows_first;
        row_best_.assign(slots, 0.0);  // unused by max and avg: stays 0.0
        if (avg_ && rows_first_) partial_.assign(slots, 0.0);
        sums_ = CombineSums{};
    }
    // score(slot) gives a column term's counted score with each row slot.
    template <class Score>
    void column(std::size_t slots, Score&& score) {
        double best = 0.0;
        double across = 0.0;
        if (!avg_) {
            for (std::size_t k = 0; k < slots; ++k) {
                const double s = counted(score(k));
                best = std::max(best, s);
                row_best_[k] = std::max(row_best_[k], s);
            }
        } else {
            for (std::size_t k = 0; k < slots; ++k) {
                const double s = counted(score(k));
                best = std::max(best, s);
                if (rows_first_) {
                    partial_[k] += s;
                } else {
                    across += s;
                }
            }
        }
        sums_.cols += best;
        sums_.best = std::max(sums_.best, best);
        if (avg_ && !rows_first_) sums_.all += across;
    }
    double finish(std::size_t m, std::size_t n) {
        if (rows_) {
            for (const double r : row_best_) sums_.rows += r;
        }
        if (avg_ && rows_first_) {
            for (const double p : partial_) sums_.all += p;
        }
        return combined_score(combine_, sums_, m, n);
    }

private:
    Combine combine_ = Combine::FunSimAvg;
    bool rows_ = true;
    bool avg_ = false;
    bool rows_first_ = true;
    std::vector<double> row_best_;
    std::vector<double> partial_;
    CombineSums sums_;
};

// The column profiles' terms that can score under a measure of m, each with its weight and its
// scored list, the lists of one profile side by side: a cell's walks then read memory in order
// rather than at a random place per term, and the weights need no lookup.
struct ScoringColumns {
    std::vector<std::size_t> begin{0};      // profile p's entries: [begin[p], begin[p + 1])
    std::vector<double> weight;             // per entry
    std::vector<std::size_t> ranks_begin{0};  // entry e's scored list: ranks[ranks_begin[e], ...[e + 1])
    std::vector<std::uint32_t> ranks;

    std::span<const std::uint32_t> ranks_of(std::size_t e) const noexcept {
        return {ranks.data() + ranks_begin[e], ranks_begin[e + 1] - ranks_begin[e]};
    }
};

inline ScoringColumns scoring_columns(const ClosureIndex& index, TermMeasure measure,
                                      const ProfileList& profiles) {
    ScoringColumns out;
    out.begin.reserve(profiles.size() + 1);
    for (std::size_t p = 0; p < profiles.size(); ++p) {
        for (const std::uint32_t t : profiles[p]) {
            if (!can_score(index, nullptr, measure, t)) continue;
            out.weight.push_back(index.weight(t));
            const std::span<const std::uint32_t> ranks = index.scored().of(t);
            out.ranks.insert(out.ranks.end(), ranks.begin(), ranks.end());
            out.ranks_begin.push_back(out.ranks.size());
        }
        out.begin.push_back(out.weight.size());
    }
    return out;
}

// A measure of m (resnik, lin, jiang_conrath, relevance, information_coefficient) with a combine.
template <TermMeasure kMeasure>
class MicaCombine {
public:
    struct Scratch {
        explicit Scratch(std::size_t ranks) : marks(ranks) {}
        RankBits marks;
        std::vector<std::uint32_t> slots;  // the row terms that can score, in row order
        std::vector<double> weight;        // per slot
        std::size_t reachable = 0;         // slots with a scored list
        std::vector<double> m;             // per slot: m with the current column term
        std::vector<std::uint64_t> seen;
        CombineAccumulator sums;
    };

    MicaCombine(const ClosureIndex& index, const ProfileList& rows, const ProfileList& cols,
                const ScoringColumns& columns, Combine combine)
        : index_(index), rows_(rows), cols_(cols), columns_(columns), combine_(combine) {}

    Scratch scratch() const { return Scratch(index_.rank_count()); }

    void prepare(Scratch& s, std::size_t i) const {
        s.slots.clear();
        s.weight.clear();
        s.reachable = 0;
        for (const std::uint32_t t : rows_[i]) {
            if (!can_score(index_, nullptr, kMeasure, t)) continue;
            s.slots.push_back(t);
            s.weight.push_back(index_.weight(t));
            s.reachable += !index_.scored().of(t).empty();
        }
        s.marks.mark(index_, s.slots);
        s.m.resize(s.slots.size());
        s.seen.resize(s.marks.words());
    }

    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const ProfileTerms row = rows_[i];
        const ProfileTerms col = cols_[j];
        const bool rows_first = combine_ != Combine::Avg || avg_rows_first(index_, row, col);
        const std::span<const double> rank_ic = index_.rank_ic();
        const std::size_t slots = s.slots.size();
        s.sums.start(combine_, rows_first, slots);
        // The column's terms that can score, in its order (the others score 0.0 with every term).
        for (std::size_t e = columns_.begin[j]; e < columns_.begin[j + 1]; ++e) {
            std::fill(s.m.begin(), s.m.end(), 0.0);
            first_marks(s.marks, columns_.ranks_of(e), s.reachable, s.seen.data(),
                        [&](std::size_t slot, std::uint32_t r) { s.m[slot] = rank_ic[r]; });
            const double wt = columns_.weight[e];
            s.sums.column(slots, [&](std::size_t k) {
                return mica_formula(kMeasure, s.m[k], s.weight[k], wt);
            });
        }
        return s.sums.finish(row.size(), col.size());
    }

    void clear(Scratch& s, std::size_t) const { s.marks.clear(index_, s.slots); }

private:
    const ClosureIndex& index_;
    const ProfileList& rows_;
    const ProfileList& cols_;
    const ScoringColumns& columns_;
    Combine combine_;
};

// graph_ic, semantic_jaccard or wang with a combine. Keys are ranks (graph_ic: scored lists) or
// index terms (semantic_jaccard: expansions; wang: the contributions' ancestors).
template <TermMeasure kMeasure>
class OverlapCombine {
public:
    static_assert(kMeasure == TermMeasure::GraphIc || kMeasure == TermMeasure::SemanticJaccard ||
                  kMeasure == TermMeasure::Wang);

    struct Posting {
        std::uint32_t slot;
        double value;  // the row term's value of the key (wang), else unused
    };
    struct Scratch {
        explicit Scratch(std::size_t keys) : marks(keys), begin(keys), end(keys) {}
        Stamps marks;
        std::vector<std::uint32_t> begin;  // per marked key: its postings [begin, end)
        std::vector<std::uint32_t> end;
        std::vector<std::uint32_t> touched;
        std::vector<Posting> postings;
        std::vector<std::uint32_t> slots;  // the row terms that can score, in row order
        std::vector<double> size;          // per slot: its scored weight, expansion size or total
        std::vector<double> common;        // per slot: the overlap with the current column term
        CombineAccumulator sums;
    };

    OverlapCombine(const ClosureIndex& index, const WangTable* wang, const ProfileList& rows,
                   const ProfileList& cols, Combine combine)
        : index_(index), wang_(wang), rows_(rows), cols_(cols), combine_(combine) {}

    Scratch scratch() const {
        return Scratch(kMeasure == TermMeasure::GraphIc ? index_.rank_count() : index_.size());
    }

    void prepare(Scratch& s, std::size_t i) const {
        s.marks.next_row();
        s.touched.clear();
        s.slots.clear();
        s.size.clear();
        for (const std::uint32_t t : rows_[i]) {
            if (!can_score(index_, wang_, kMeasure, t)) continue;
            s.slots.push_back(t);
            s.size.push_back(size_of(t));
            for (const std::uint32_t key : keys_of(t)) {
                if (!s.marks.marked(key)) {
                    s.marks.mark(key);
                    s.end[key] = 0;
                    s.touched.push_back(key);
                }
                ++s.end[key];
            }
        }
        std::uint32_t offset = 0;
        for (const std::uint32_t key : s.touched) {
            s.begin[key] = offset;
            offset += s.end[key];
            s.end[key] = s.begin[key];  // the cursor while filling, the end after
        }
        s.postings.resize(offset);
        for (std::uint32_t k = 0; k < s.slots.size(); ++k) {
            const std::span<const std::uint32_t> keys = keys_of(s.slots[k]);
            for (std::size_t e = 0; e < keys.size(); ++e) {
                s.postings[s.end[keys[e]]++] = {k, value_of(s.slots[k], e)};
            }
        }
        s.common.assign(s.slots.size(), 0.0);
    }

    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const ProfileTerms row = rows_[i];
        const ProfileTerms col = cols_[j];
        const bool rows_first = combine_ != Combine::Avg || avg_rows_first(index_, row, col);
        const std::size_t slots = s.slots.size();
        s.sums.start(combine_, rows_first, slots);
        for (const std::uint32_t t : col) {
            if (!can_score(index_, wang_, kMeasure, t)) continue;
            const std::span<const std::uint32_t> keys = keys_of(t);
            for (std::size_t e = 0; e < keys.size(); ++e) {
                const std::uint32_t key = keys[e];
                if (!s.marks.marked(key)) continue;
                const double mine = value_of(t, e);
                for (std::uint32_t p = s.begin[key]; p < s.end[key]; ++p) {
                    const Posting& posting = s.postings[p];
                    if constexpr (kMeasure == TermMeasure::GraphIc) {
                        s.common[posting.slot] += index_.rank_ic()[key];
                    } else if constexpr (kMeasure == TermMeasure::SemanticJaccard) {
                        s.common[posting.slot] += 1.0;
                    } else {
                        s.common[posting.slot] += posting.value + mine;
                    }
                }
            }
            const double size = size_of(t);
            s.sums.column(slots, [&](std::size_t k) {
                const double common = s.common[k];
                s.common[k] = 0.0;
                return formula(common, s.size[k], size);
            });
        }
        return s.sums.finish(row.size(), col.size());
    }

    void clear(Scratch&, std::size_t) const {}

private:
    std::span<const std::uint32_t> keys_of(std::uint32_t t) const noexcept {
        if constexpr (kMeasure == TermMeasure::GraphIc) return index_.scored().of(t);
        if constexpr (kMeasure == TermMeasure::SemanticJaccard) return index_.expansions().of(t);
        return wang_->ancestors.of(t);
    }
    double value_of(std::uint32_t t, std::size_t e) const noexcept {
        if constexpr (kMeasure == TermMeasure::Wang) return wang_->values_of(t)[e];
        return 0.0;
    }
    double size_of(std::uint32_t t) const noexcept {
        if constexpr (kMeasure == TermMeasure::GraphIc) return index_.scored_weight(t);
        if constexpr (kMeasure == TermMeasure::SemanticJaccard) {
            return static_cast<double>(index_.expansions().of(t).size());
        }
        return wang_->total_of(t);
    }
    static double formula(double common, double a, double b) noexcept {
        if constexpr (kMeasure == TermMeasure::GraphIc) return graph_ic_formula(common, a, b);
        if constexpr (kMeasure == TermMeasure::SemanticJaccard) {
            // Counts of at most 2^32 are exact in a double.
            return jaccard_ratio(static_cast<std::uint64_t>(common),
                                 static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(b));
        }
        return wang_ratio(common, a, b);
    }

    const ClosureIndex& index_;
    const WangTable* wang_;
    const ProfileList& rows_;
    const ProfileList& cols_;
    Combine combine_;
};

}  // namespace ontarix::kernels
