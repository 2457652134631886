// Information content estimated from an annotation corpus: objects (genes, diseases) annotated
// with terms, each annotation propagated to everything the term's expansion holds.
//
// Two conventions of the field, both over a prepared index's structure:
//   objects      n_t = the number of objects annotated with t itself or with a term whose
//                expansion holds t (each object counts once per term); IC(t) = -ln(n_t / N), N the
//                number of objects. (hpo3's convention for HPO.)
//   annotations  every annotation entry counts: n_t = the entries on t itself plus the entries on
//                every other term whose expansion holds t; IC(t) = -ln(n_t / total entries).
//                (GOSemSim's computeIC, which counts one row per evidence code.)
// Terms with n_t = 0 get no IC. Terms the index lacks count only in N and the total.
//
// Cost: objects, the size of each object's propagated union (one stamp array, no hashing);
// annotations, one pass over the expansion of each annotated term.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/closure_index.hpp"

namespace ontarix {

// n_t per term for objects whose annotated index terms are `objects` (one list per object, in any
// order, repeats allowed).
std::vector<std::uint64_t> objects_per_term(const IndexStructure& structure,
                                            const TermLists& objects);

// n_t per term for `entries[u]` annotation entries on each index term u (entries.size() is the
// structure's term count).
std::vector<std::uint64_t> annotations_per_term(const IndexStructure& structure,
                                                std::span<const std::uint64_t> entries);

// -ln(n / total) (never -0.0); only meaningful for 0 < n <= total.
double annotation_ic(std::uint64_t n, std::uint64_t total) noexcept;

}  // namespace ontarix
