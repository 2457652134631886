// The kernels of term matrices (the kernel shape of batch_kernel.hpp): a row term is marked once in
// the thread's scratch, and each column term is scored by walking its own list against the marks.
//   - measures of m (resnik, lin, ...): m is the IC of the first rank of the column's scored list
//     that the row marked;
//   - graph_ic: the weights of the marked ranks of the column's scored list, summed in its (rank)
//     order;
//   - wang: the row's contributions by ancestor, and the column's added to those it shares.
// The Jaccard kernel (one for every Jaccard path) is in profile_kernels.hpp. Each score goes
// through the formula functions of term_measures.hpp exactly as term_score computes it.
//
// Memory per thread: a stamp per rank, or a stamp and a double per index term for wang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/batch_kernel.hpp"
#include "core/fault.hpp"
#include "core/profile_kernels.hpp"
#include "core/closure_index.hpp"
#include "core/term_measures.hpp"
#include "core/wang_similarity.hpp"

namespace ontarix::kernels {

// Measures of m, and graph_ic: the row's scored ranks marked.
template <TermMeasure kMeasure>
class RankTerms {
public:
    using Scratch = Stamps;
    RankTerms(const ClosureIndex& index, std::span<const std::uint32_t> rows,
              std::span<const std::uint32_t> cols)
        : index_(index), rows_(rows), cols_(cols) {}

    Scratch scratch() const { return Stamps(index_.rank_count()); }
    void prepare(Scratch& s, std::size_t i) const {
        s.next_row();
        for (const std::uint32_t r : index_.scored().of(rows_[i])) s.mark(r);
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const std::uint32_t a = rows_[i];
        const std::uint32_t b = cols_[j];
        const std::span<const double> rank_ic = index_.rank_ic();
        if constexpr (kMeasure == TermMeasure::GraphIc) {
            double common = 0.0;
            for (const std::uint32_t r : index_.scored().of(b)) {
                if (s.marked(r)) common += rank_ic[r];
            }
            return graph_ic_formula(common, index_.scored_weight(a), index_.scored_weight(b));
        } else {
            double m = 0.0;
            for (const std::uint32_t r : index_.scored().of(b)) {
                if (s.marked(r)) {
                    m = rank_ic[r];
                    break;
                }
            }
            return mica_formula(kMeasure, m, index_.weight(a), index_.weight(b));
        }
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const ClosureIndex& index_;
    std::span<const std::uint32_t> rows_, cols_;
};

class WangTerms {
public:
    struct Scratch {
        Stamps marks;
        std::vector<double> value;  // per term: the row's contribution, where marked
    };
    WangTerms(const WangTable& table, std::uint32_t term_count, std::span<const std::uint32_t> rows,
              std::span<const std::uint32_t> cols)
        : table_(table), term_count_(term_count), rows_(rows), cols_(cols) {}

    Scratch scratch() const { return {Stamps(term_count_), std::vector<double>(term_count_)}; }
    void prepare(Scratch& s, std::size_t i) const {
        s.marks.next_row();
        const std::span<const std::uint32_t> ancestors = table_.ancestors.of(rows_[i]);
        const std::span<const double> values = table_.values_of(rows_[i]);
        for (std::size_t k = 0; k < ancestors.size(); ++k) {
            s.marks.mark(ancestors[k]);
            s.value[ancestors[k]] = values[k];
        }
    }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        const std::uint32_t b = cols_[j];
        const std::span<const std::uint32_t> ancestors = table_.ancestors.of(b);
        const std::span<const double> values = table_.values_of(b);
        double common = 0.0;
        for (std::size_t k = 0; k < ancestors.size(); ++k) {
            if (s.marks.marked(ancestors[k])) common += s.value[ancestors[k]] + values[k];
        }
        return wang_ratio(common, table_.total_of(rows_[i]), table_.total_of(b));
    }
    void clear(Scratch&, std::size_t) const {}

private:
    const WangTable& table_;
    std::uint32_t term_count_;
    std::span<const std::uint32_t> rows_, cols_;
};

// The index's Wang table; a fault on an index without edges (callers check first).
inline const WangTable& wang_of(const ClosureIndex& index) {
    const WangTable* table = index.structure().wang_table();
    if (table == nullptr) raise_fault("Wang's measure on an index without edges");
    return *table;
}

// ---- choosing a kernel -------------------------------------------------------------------------

// Runs `body(kernel)` with the term kernel of `measure` over rows and cols.
template <class Body>
void with_term_kernel(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                      std::span<const std::uint32_t> cols, TermMeasure measure, Body&& body) {
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

}  // namespace ontarix::kernels
