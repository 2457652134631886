// ClosureIndex: a closure table prepared once for any number of similarity queries.
//
// The module functions take a whole closure table per call and so pay for reading it every time.
// An index reads it once and keeps, per term, exactly what the measures read. It is built in two
// stages, so that what does not depend on the information content (IC) is built once and shared:
//
// 1. The structure (IndexStructure), from the table's rows or from ontology edges:
//   numbers     every term of the table (each subject, and each object reached within the
//               predicate filter) is numbered 0..n-1 in UTF-8 byte order of its text. "The
//               smallest term" is then "the smallest number", and everything derived from the
//               index is the same in every process, whatever order the table was read in.
//   expansion   per term, the distinct terms its rows reach through the filter's predicates,
//               ascending. Terms that are no subject have an empty expansion.
//   holders     per term, the terms whose expansion holds it, ascending (the inverse lists).
//   frequency   per term, the number of (subject, predicate) rows within the filter that hold it,
//               and the number of (subject, predicate, object) entries: the table's own IC.
//   edges       for an index built from ontology edges, the followed edges with a weight each
//               (Wang's semantic contributions, see wang_similarity.hpp).
//
// 2. The scores (finish_index), from a structure and an IC:
//   ic          per term: by default -log2(count / total) from the frequencies (the same doubles
//               max_information_content computes), or the caller's values by text. A term that no
//               row holds, or that the caller's values lack, has 0.0.
//   ranks       the terms that can raise a Resnik score above 0.0 (IC > 0, not "owl:Thing") in
//               order of IC descending, then number ascending. The rank of such a term is its
//               position in that order.
//   scored      per term, the ranks of those terms in its expansion, ascending.
//   weights     per term, the IC the measures count for it (its IC when it has a rank, 0.0
//               otherwise: a NaN, a negative IC and the root never count), and the sum of the IC of
//               its scored ancestors (summed in rank order).
//
// A Resnik score (the largest IC among common ancestors, 0.0 when none is larger) is then the IC
// of the first rank two scored lists share, and that rank's term is the most informative common
// ancestor, ties going to the smallest text. Any number from size() up stands for a term the index
// lacks: every list of it is empty and every weight 0.0.
//
// Immutable once built: any number of threads may query an index, or several indexes sharing one
// structure, without a lock. An index with another IC (with_information_content) is stage 2 alone.
//
// Cost of building: the distinct texts are sorted once; every (subject, predicate, object) entry
// is then touched a constant number of times (no per-entry allocation, no sorting of per-term
// lists: the lists come out ascending from bucket passes). Stage 2 is linear in the expansion
// entries, plus a sort of the ranked terms for a caller's IC. Memory: about 12 bytes per expansion
// entry, plus the texts and about 60 bytes per term.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/blocking_wait.hpp"
#include "core/string_arena.hpp"
#include "core/term_numbering.hpp"
#include "core/terms.hpp"
#include "core/transitive_closure.hpp"
#include "core/wang_similarity.hpp"

namespace ontarix {

// A closure table with its strings numbered, as a source hands it over. Texts are views that
// must stay valid while the index is built (the index copies them).
struct ClosureRows {
    struct Group {
        std::uint32_t subject;    // term number
        std::uint32_t predicate;  // predicate number
        std::size_t begin;        // objects[begin, end): term numbers
        std::size_t end;
    };
    std::vector<Term> texts;            // term number -> text; distinct texts
    std::vector<Term> predicate_texts;  // predicate number -> text; distinct texts
    std::vector<std::uint32_t> subjects;  // the subjects, each once (a subject may have no group)
    std::vector<Group> groups;            // each (subject, predicate) at most once
    std::vector<std::uint32_t> objects;   // repeats within a group count once
    // No group repeats an object: lets the build skip looking for repeats.
    bool distinct_objects = false;
};

// Stage 1: everything that does not depend on the information content. Built by build_structure,
// then shared read-only by every index over it.
struct IndexStructure {
    StringArena arena;         // the texts' bytes
    std::vector<Term> texts;   // term number -> text, ascending bytes, distinct
    // text -> term number. Its entries hold the first 16 bytes of each text, so looking up a term
    // identifier (the lookup of every call) settles inside the table without reading the text.
    TermNumbering numbers;
    std::vector<std::uint8_t> is_subject;
    std::size_t subject_count = 0;
    TermLists expansions;      // term -> expansion (term numbers, ascending)
    TermLists holders;         // term -> terms whose expansion holds it, ascending
    // The table's own frequencies; empty counts when unknown (a structure restored from a stored
    // index keeps the IC it was stored with instead).
    std::vector<std::uint64_t> counts;
    std::uint64_t total = 0;
    // The followed edges of an index built from ontology edges, with their weights.
    std::optional<WangEdges> edges;

    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(texts.size()); }

    // The Wang contributions of every term, computed on first use (thread-safe); null when the
    // structure has no edges.
    const WangTable* wang_table() const;

private:
    mutable std::once_flag wang_once_;
    mutable std::unique_ptr<const WangTable> wang_table_;
};

class ClosureIndex {
public:
    static constexpr std::uint32_t kNoRank = UINT32_MAX;

    // ---- structure ----
    std::uint32_t size() const noexcept { return structure_->size(); }
    std::span<const Term> texts() const noexcept { return structure_->texts; }
    Term text(std::uint32_t term) const noexcept { return structure_->texts[term]; }
    // The number of `text`, or size() (the empty slot) when the index lacks it.
    std::uint32_t find(Term text) const noexcept {
        const TermNumbering::Id id = structure_->numbers.find(text);
        return id == TermNumbering::kNone ? size() : id;
    }
    bool has(std::uint32_t term) const noexcept { return term < size(); }
    bool is_subject(std::uint32_t term) const noexcept {
        return term < size() && structure_->is_subject[term] != 0;
    }
    std::span<const std::uint8_t> subject_flags() const noexcept { return structure_->is_subject; }
    std::size_t subject_count() const noexcept { return structure_->subject_count; }
    const TermLists& expansions() const noexcept { return structure_->expansions; }
    const IndexStructure& structure() const noexcept { return *structure_; }
    const std::shared_ptr<const IndexStructure>& shared_structure() const noexcept {
        return structure_;
    }

    // ---- information content and what derives from it ----
    bool custom_ic() const noexcept { return custom_ic_; }
    std::span<const double> ic() const noexcept { return ic_; }
    // The term's IC; 0.0 for a term the index lacks.
    double ic_of(std::uint32_t term) const noexcept { return term < size() ? ic_[term] : 0.0; }
    std::size_t rank_count() const noexcept { return ranked_.size(); }
    std::span<const std::uint32_t> ranked() const noexcept { return ranked_; }  // rank -> term
    std::span<const double> rank_ic() const noexcept { return rank_ic_; }       // rank -> IC
    std::uint32_t rank_of(std::uint32_t term) const noexcept {
        return term < size() ? rank_of_[term] : kNoRank;
    }
    const TermLists& scored() const noexcept { return scored_; }  // term -> ranks, ascending
    // The IC the measures count for a term: its IC when it has a rank, else 0.0.
    double weight(std::uint32_t term) const noexcept {
        return term < size() ? weight_[term] : 0.0;
    }
    // The sum of rank_ic over the term's scored list, in rank order.
    double scored_weight(std::uint32_t term) const noexcept {
        return term < size() ? scored_weight_[term] : 0.0;
    }

private:
    friend ClosureIndex finish_index(std::shared_ptr<const IndexStructure>, std::vector<double>,
                                     bool, Checkpoint*);

    std::shared_ptr<const IndexStructure> structure_;
    bool custom_ic_ = false;
    std::vector<double> ic_;
    std::vector<std::uint32_t> ranked_;
    std::vector<double> rank_ic_;
    std::vector<std::uint32_t> rank_of_;
    TermLists scored_;
    std::vector<double> weight_;
    std::vector<double> scored_weight_;
};

// ---- stage 1 --------------------------------------------------------------------------------
// With a host (non-null), the builds release its lock once they hold copies of every text, and
// ask it whether to go on at their checkpoints (see lock_free_section.hpp); they return with the
// lock held.

// The rows of a native closure table (its texts are views of the table's, and so of whatever
// the table views).
ClosureRows closure_rows_of(const ClosureTable& table);

// The structure of `rows`, following only the predicates of `filter` (null: every predicate).
std::unique_ptr<IndexStructure> build_structure(const ClosureRows& rows, const TermSet* filter,
                                                Waiter* host = nullptr);

// The structure of the transitive closure of numbered edges (see transitive_closure.hpp), as if
// each term with a non-empty closure were a subject with one predicate row holding it. The edges
// are kept (for Wang's measure) with the weight of their predicate from `weights`; terms are
// renumbered in text order. Consumes the graph; its texts must stay valid until this returns (or,
// with a host, until the lock is first released).
std::unique_ptr<IndexStructure> build_structure(NumberedEdges graph, bool reflexive,
                                                Waiter* host = nullptr);

// Gives every kept edge the weight of its predicate: `weight_of(predicate text)`. Call before
// the structure is shared.
template <class WeightOf>
void weigh_edges(IndexStructure& structure, WeightOf&& weight_of) {
    if (!structure.edges) return;
    WangEdges& edges = *structure.edges;
    std::vector<double> by_predicate;
    by_predicate.reserve(edges.predicate_texts.size());
    for (const Term predicate : edges.predicate_texts) by_predicate.push_back(weight_of(predicate));
    edges.weights.resize(edges.edges.size());
    for (std::size_t e = 0; e < edges.edges.size(); ++e) {
        edges.weights[e] = by_predicate[edges.edge_predicates[e]];
    }
}

// ---- stage 2 --------------------------------------------------------------------------------

// The index of `structure` with the table's own IC (its frequencies), or with `custom_ic` by text
// when given (terms it lacks get 0.0).
ClosureIndex finish_index(std::shared_ptr<const IndexStructure> structure,
                          const TermScoreMap* custom_ic, Checkpoint* checkpoint = nullptr);

// The index of `structure` with IC `ic` (one value per term), as stored.
ClosureIndex finish_index(std::shared_ptr<const IndexStructure> structure, std::vector<double> ic,
                          bool custom, Checkpoint* checkpoint = nullptr);

// One IC value per term of `structure` from values by text (terms `values` lacks get 0.0).
std::vector<double> ic_by_text(const IndexStructure& structure, const TermScoreMap& values);

// Both stages over a table's rows (tests, and callers without a custom IC that runs host code).
ClosureIndex build_closure_index(const ClosureRows& rows, const TermSet* filter,
                                 const TermScoreMap* custom_ic);

// ---- term measures --------------------------------------------------------------------------
// Terms are numbers of the index; a number >= size() stands for a term the index lacks.

// The first rank both scored lists hold (the most informative common ancestor), or kNoRank.
std::uint32_t common_rank(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept;

// The Resnik score of a rank from common_rank: its IC, or 0.0 for kNoRank.
inline double rank_score(const ClosureIndex& index, std::uint32_t rank) noexcept {
    return rank == ClosureIndex::kNoRank ? 0.0 : index.rank_ic()[rank];
}

// Largest IC among the common ancestors ("owl:Thing" and IC <= 0 excluded); 0.0 when none.
double index_max_information_content(const ClosureIndex& index, std::uint32_t a,
                                     std::uint32_t b) noexcept;

// |a ∩ b| / |a ∪ b| of two ascending lists of distinct numbers (NaN when both are empty).
double sorted_jaccard(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) noexcept;

// Jaccard index of the two expansions (NaN when both are empty).
double index_semantic_jaccard(const ClosureIndex& index, std::uint32_t a,
                              std::uint32_t b) noexcept;

}  // namespace ontarix
