// The stored form of a ClosureIndex: what travels through pickle to other processes and machines.
//
// Only what cannot be derived is stored: the texts (ascending, so their order is the numbering),
// which terms are subjects, each term's expansion and each term's information content (as the
// exact doubles, so a restored index answers bit for bit as the original). Ranks, scored lists
// and the text lookup are rebuilt on loading in linear time.
//
// Layout, all integers little-endian:
//   "ONTXIDX" 0x01            magic and format version (8 bytes)
//   u64 flags                 bit 0: the information content was supplied by the caller
//   u64 terms, u64 text_bytes, u64 expansion_entries
//   u32 text length per term, then the text bytes back to back
//   u8 per term: 1 for a subject
//   u32 expansion length per term, then the expansion entries (u32 term numbers)
//   f64 information content per term
// Loading checks every count, length, order and number before using it, so a truncated or
// altered state fails as a Fault with a clear cause, never as undefined behaviour.
#pragma once

#include <string>
#include <string_view>

#include "core/closure_index.hpp"

namespace ontarix {

std::string save_index_state(const ClosureIndex& index);

// Raises a Fault (kind Content) when `state` is not a valid stored index.
ClosureIndex load_index_state(std::string_view state);

}  // namespace ontarix
