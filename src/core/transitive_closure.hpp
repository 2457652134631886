// Transitive closure of an ontology's edges: from (child, predicate, parent) rows to every term's
// ancestors.
//
// Ontologies are published as edges to direct parents; every measure needs each term with all of
// its ancestors. The work is split in two steps so that any consumer (the Python dict of
// closure_from_relationships, a prepared index) shares them:
//
//   number_followed_edges  rows + predicate filter -> terms numbered 0..n-1 and Edge{child, parent}
//                          for the rows of followed predicates only;
//   transitive_closure     numbered edges -> ReachTable: per term, every term reachable through one
//                          or more edges.
//
// What a ReachTable holds. Term t reaches term u when a path of at least one edge leads from t to
// u; so a term reaches itself only through a cycle (a self-loop included). With `reflexive`, every
// term that occurs in an edge (as child or parent) is also listed as reaching itself. Term t's
// reach is items[begin[t] .. begin[t+1]): distinct numbers in ascending order. begin has
// term_count + 1 entries; offsets are size_t because a closure grows with the square of the depth
// (a chain of n terms has n(n-1)/2 pairs) and may pass 2^32 long before memory runs out. A result
// too large to allocate throws std::bad_alloc. The reach of a term without out-edges is empty
// (unless reflexive), so "terms with a non-empty reach" are exactly the terms with an out-edge,
// or, with `reflexive`, every term of an edge.
//
// How. No recursion anywhere: ontology chains and cycles are user input, and neither a native nor
// an interpreter stack may bound them.
//   1. Out-edges in compressed rows (counting sort over the children): O(V + E).
//   2. Strongly connected components by Tarjan's algorithm, with its call stack kept as an explicit
//      array of (term, next edge) frames: O(V + E) time, O(V) memory. Tarjan emits a component
//      only after every component it reaches, i.e. in reverse topological order, which is the
//      order the next step needs. All members of a component reach the same terms.
//   3. Per component c, in emission order: reach(c) = the union, over the components d that c's
//      edges lead to, of members(d) and reach(d) (when d is c itself, through a cycle or a
//      self-loop, only members(c)). It starts as a copy of the largest reach(d), already sorted,
//      whose terms are then stamped (stamp[t] = c, an array indexed by term: no hash set, no
//      per-pair node); the other successors, nearest first (latest emitted), add only what is not
//      stamped, usually a handful of terms, which are sorted and merged in. A successor already
//      covered, seen by one stamped member, is skipped whole: whatever covered it holds all of its
//      reach too. Time O(sum over condensation edges c->d of |reach(d)|) at worst, far less in
//      practice (on GO's biological-process branch, about 1.7 element steps per result pair);
//      memory 4 bytes per (component, reached term) pair.
//   4. The per-component reaches are laid out per term (a component's reach copied for each of its
//      members, the term itself inserted where `reflexive` asks for it): 4 bytes per pair of the
//      result. The component table is freed on return.
// Peak memory is about two times 4 bytes per pair of the result, plus O(V + E).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/checkpoint.hpp"
#include "core/terms.hpp"

namespace ontarix {

// A directed edge from a term to one of its direct parents, both as term numbers.
struct Edge {
    std::uint32_t child;
    std::uint32_t parent;
};

// Per-term lists in one flat array: term t owns items[begin[t], begin[t + 1]). begin has
// term_count() + 1 entries; a number past the last term has an empty list.
struct TermLists {
    std::vector<std::size_t> begin;
    std::vector<std::uint32_t> items;

    std::size_t term_count() const noexcept { return begin.empty() ? 0 : begin.size() - 1; }
    std::span<const std::uint32_t> of(std::uint32_t term) const noexcept {
        if (std::size_t{term} + 1 >= begin.size()) return {};
        return {items.data() + begin[term], begin[term + 1] - begin[term]};
    }
};

// Every term's reach (distinct, ascending); see the comment at the top for the invariants.
using ReachTable = TermLists;

// The closure of `edges` over terms 0..term_count-1. An edge naming a term >= term_count is a
// fault; repeated edges are harmless. The checkpoint, if any, is reached once per component and
// once per term.
ReachTable transitive_closure(std::uint32_t term_count, std::span<const Edge> edges, bool reflexive,
                              Checkpoint* checkpoint = nullptr);

// The rows of followed predicates as numbered edges.
struct NumberedEdges {
    // Term number -> text: views of the rows' strings (which must outlive it), numbered in the
    // order they are first met in followed rows (child before parent). Only terms of followed
    // rows are numbered, so each one occurs in at least one edge.
    std::vector<Term> texts;
    // One edge per followed row, in row order; a repeated row gives a repeated edge.
    std::vector<Edge> edges;
    // The predicate of each edge, numbered in the order first met; their texts view the rows'.
    std::vector<std::uint32_t> edge_predicates;
    std::vector<Term> predicate_texts;
    // Term number -> where its text was first met: 2 * row index, plus 1 when it was that row's
    // object (parent) rather than its subject (child). Lets a consumer hand back the strings it
    // was given instead of copies.
    std::vector<std::size_t> first_seen;
};

// Numbers the terms of the rows whose predicate is in `follow` (every row when follow is null; an
// empty set follows none). Predicates themselves are not terms.
NumberedEdges number_followed_edges(const TripleList& rows, const TermSet* follow);

}  // namespace ontarix
