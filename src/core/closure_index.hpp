// ClosureIndex: a closure table prepared once for any number of similarity queries.
//
// The module functions take a whole closure table per call and so pay for reading it every time.
// An index reads it once and keeps, per term, exactly what the measures read:
//
//   numbers     every term of the table (each subject, and each object reached within the
//               predicate filter) is numbered 0..n-1 in UTF-8 byte order of its text. "The
//               smallest term" is then "the smallest number", and everything derived from the
//               index is the same in every process, whatever order the table was read in.
//   expansion   per term, the distinct terms its rows reach through the filter's predicates,
//               ascending. Terms that are no subject have an empty expansion.
//   ic          per term, its information content: by default -log2(count / total), where count
//               is the number of (subject, predicate) rows within the filter that hold the term
//               and total the number of (subject, predicate, object) entries within the filter
//               (the same doubles max_information_content computes); or the caller's values. A
//               term that no row holds has 0.0.
//   ranks       the terms that can raise a Resnik score above 0.0 (IC > 0, not "owl:Thing") in
//               order of IC descending, then number ascending. The rank of such a term is its
//               position in that order.
//   scored      per term, the ranks of those terms in its expansion, ascending.
//
// A Resnik score (the largest IC among common ancestors, 0.0 when none is larger) is then the IC
// of the first rank two scored lists share, and that rank's term is the most informative common
// ancestor, ties going to the smallest text. One slot past the last term (number n) has empty
// lists: callers use it, and any number above it, for terms the index lacks.
//
// Immutable once built: any number of threads may query it without a lock.
//
// Cost of building: the distinct texts are sorted once; every (subject, predicate, object) entry
// is then touched a constant number of times (no per-entry allocation, no sorting of per-term
// lists: the lists come out ascending from bucket passes). Memory: about 8 bytes per expansion
// entry, plus the texts and 40 bytes per term.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/string_arena.hpp"
#include "core/term_numbering.hpp"
#include "core/terms.hpp"
#include "core/transitive_closure.hpp"

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

struct ClosureIndex {
    static constexpr std::uint32_t kNoRank = UINT32_MAX;

    StringArena arena;         // the texts' bytes
    std::vector<Term> texts;   // term number -> text, ascending bytes
    // text -> term number. Its entries hold the first 16 bytes of each text, so looking up a term
    // identifier (the lookup of every call) settles inside the table without reading the text.
    TermNumbering numbers;
    std::vector<std::uint8_t> is_subject;
    std::size_t subject_count = 0;
    TermLists expansions;      // term -> expansion (term numbers, ascending)
    std::vector<double> ic;    // term -> information content
    bool custom_ic = false;
    std::vector<std::uint32_t> ranked;  // rank -> term number
    std::vector<double> rank_ic;        // rank -> IC (ic[ranked[r]]), kept beside the ranks
    std::vector<std::uint32_t> rank_of; // term -> rank, or kNoRank
    TermLists scored;          // term -> ranks of its scoring ancestors, ascending

    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(texts.size()); }
    // The number of `text`, or size() (the empty slot) when the index lacks it.
    std::uint32_t find(Term text) const noexcept {
        const TermNumbering::Id id = numbers.find(text);
        return id == TermNumbering::kNone ? size() : id;
    }
    bool has(std::uint32_t term) const noexcept { return term < size(); }
};

// The rows of a native closure table (its texts are views of the table's, and so of whatever
// the table views).
ClosureRows closure_rows_of(const ClosureTable& table);

// Builds the index of `rows`, following only the predicates of `filter` (null: every predicate).
// `custom_ic`, when given, supplies the information content by text (terms it lacks get 0.0)
// instead of the table's own frequencies.
ClosureIndex build_closure_index(const ClosureRows& rows, const TermSet* filter,
                                 const TermScoreMap* custom_ic);

// Builds the index of the transitive closure of numbered edges (see transitive_closure.hpp), as if
// each term with a non-empty closure were a subject with one predicate row holding it. Consumes
// the graph; its texts must stay valid until this returns.
ClosureIndex build_closure_index(NumberedEdges graph, bool reflexive,
                                 const TermScoreMap* custom_ic);

// Replaces the information content by the caller's values (terms `ic` lacks get 0.0) and
// recomputes what depends on it.
void set_information_content(ClosureIndex& index, const TermScoreMap& ic);

// Recomputes numbers, ranks and scored lists from texts, expansions and ic (for an index whose
// stored form holds only those). The expansions must be ascending lists of valid numbers.
void restore_derived(ClosureIndex& index);

// ---- term measures --------------------------------------------------------------------------
// Terms are numbers of the index; a number >= size() stands for a term the index lacks (an empty
// expansion).

// The first rank both scored lists hold (the most informative common ancestor), or kNoRank.
std::uint32_t common_rank(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept;

// The Resnik score of a rank from common_rank: its IC, or 0.0 for kNoRank.
inline double rank_score(const ClosureIndex& index, std::uint32_t rank) noexcept {
    return rank == ClosureIndex::kNoRank ? 0.0 : index.rank_ic[rank];
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
