// The shared value types of the core.
//
// Terms, predicates and keys are byte strings compared exactly (no case folding, no Unicode
// normalisation; the empty string is a term like any other). Tables never own the bytes of their
// strings: every table holds std::string_view, and whoever builds a table keeps the bytes alive
// for as long as the table (and anything derived from it) lives:
//   - tables converted from Python arguments view the interpreter's own UTF-8 buffers, which the
//     binding layer keeps alive for the duration of the call;
//   - tables read from files view a StringArena that travels with the table;
//   - results (expansions, intersections) view the same bytes as the inputs they came from.
// This keeps conversion to one pass with no per-string allocation, and makes copying a set a
// matter of copying 16-byte views.
//
// All maps and sets are Boost.Unordered open-addressing ("flat") tables hashed with the
// per-process random key of hashing.hpp; iteration order is therefore unspecified.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "core/hashing.hpp"

namespace ontarix {

using Term = std::string_view;

template <class V>
using TermMap = boost::unordered_flat_map<Term, V, TermHash, TermEq>;

// An unordered set of distinct terms.
using TermSet = boost::unordered_flat_set<Term, TermHash, TermEq>;

// subject -> predicate -> set of objects the subject reaches through that predicate.
using PredicateMap = TermMap<TermSet>;
using ClosureTable = TermMap<PredicateMap>;

// key (a set name, or a term) -> set of terms.
using TermSetMap = TermMap<TermSet>;

// Term-score map and pairwise score table.
using TermScoreMap = TermMap<double>;
using PairwiseScoreTable = TermMap<TermScoreMap>;

// Numericized term sets: identifiers 1..n stand for the n distinct terms of two sets.
using TermId = std::int32_t;
using TermIdSet = boost::unordered_flat_set<TermId, IdHash>;
using TermIdMap = boost::unordered_flat_map<TermId, Term, IdHash>;

struct Triple {
    Term subject;
    Term predicate;
    Term object;
};
using TripleList = std::vector<Triple>;

// The root of every ontology closure; never scored as a common ancestor.
inline constexpr Term kRootTerm = "owl:Thing";

}  // namespace ontarix
