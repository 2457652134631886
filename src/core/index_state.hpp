// The stored form of a ClosureIndex: what travels through pickle to other processes and machines.
//
// Only what cannot be derived is stored: the texts (ascending, so their order is the numbering),
// which terms are subjects, each term's expansion, each term's information content (as the exact
// doubles, so a restored index answers bit for bit as the original), the table's own frequencies
// (so that a restored index can go back to its own IC) and, for an index built from ontology
// edges, those edges with their weights. Ranks, scored lists, inverse lists and the text
// lookup are rebuilt on loading in linear time (plus a sort of the ranked terms).
//
// Layout, all integers little-endian:
//   "ONTXIDX" 0x02            magic and format version (8 bytes)
//   u64 flags                 bit 0: the information content was supplied by the caller;
//                             bit 1: weighted edges follow (the last section);
//                             bit 2: the table's own frequencies follow the information content
//   u64 terms, u64 text_bytes, u64 expansion_entries
//   u32 text length per term, then the text bytes back to back (UTF-8)
//   u8 per term: 1 for a subject
//   u32 expansion length per term, then the expansion entries (u32 term numbers)
//   f64 information content per term
//   with bit 2: u64 total entries, then u64 frequency per term
//   with bit 1: u64 edges, then per edge u32 child, u32 parent, f64 weight in (0, 1]
// Version 1 (the same without bit 1 and the edges) still loads.
//
// Loading checks every count, length, order, number and text before using it, so a truncated or
// altered state fails as a Fault (kind Content) with a clear cause, never as undefined behaviour
// and never later, in a method of the restored index.
#pragma once

#include <string>
#include <string_view>

#include "core/closure_index.hpp"

namespace ontarix {

std::string save_index_state(const ClosureIndex& index);

// Raises a Fault (kind Content) when `state` is not a valid stored index.
ClosureIndex load_index_state(std::string_view state);

}  // namespace ontarix
