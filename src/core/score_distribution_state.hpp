// The stored form of a ScoreDistributionTable: what a host pickles, to answer later queries of the
// same size without computing the distributions again.
//
// Layout, all integers little-endian:
//   "ONTXPVT" 0x01              magic and format version (8 bytes)
//   u64 query_size, u64 cells, u64 candidates, u64 points
//   per candidate: u64 width, i32 exponent, u32 first, u32 count (20 bytes; begin is the sum of
//                  the counts before it)
//   u32 per point
//   u64 check                   a hash of every byte before it
// Loading verifies the check, then every field against what a build can produce (the limits of
// score_distribution.hpp; each width and exponent in range, each candidate's
// points within its grid, in (0, 1) and nonincreasing; the counts adding up; no trailing bytes),
// so a truncated or altered state fails as a Fault of kind Content, never as undefined behaviour.
// (A state forged to pass the check gives nonsense p-values at worst, read within its arrays.)
#pragma once

#include <string>
#include <string_view>

#include "core/score_distribution.hpp"

namespace ontarix {

std::string save_score_distributions(const ScoreDistributionTable& table);

// The check that ends a stored form, computed over the bytes before it: a hash that any accidental
// change of a byte or of the length alters (with probability 1 - 2^-64).
std::uint64_t score_distribution_check(std::string_view body) noexcept;

// Raises a Fault (kind Content) when `state` is not a valid stored table.
ScoreDistributionTable load_score_distributions(std::string_view state);

}  // namespace ontarix
