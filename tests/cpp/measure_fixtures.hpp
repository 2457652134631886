// Small builders and checks shared by the measure tests.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/terms.hpp"

namespace ontarix::testing {

// A closure table from (subject, predicate, object) rows; views the rows' strings.
inline ClosureTable closure_of(std::initializer_list<Triple> rows) {
    ClosureTable table;
    for (const Triple& row : rows) table[row.subject][row.predicate].insert(row.object);
    return table;
}

// The elements of a set as sorted owned strings, for order-free comparison.
template <class Range>
std::vector<std::string> sorted(const Range& terms) {
    std::vector<std::string> out;
    for (const auto& term : terms) out.emplace_back(term);
    std::sort(out.begin(), out.end());
    return out;
}

inline std::vector<std::string> sorted(std::initializer_list<const char*> terms) {
    std::vector<std::string> out(terms.begin(), terms.end());
    std::sort(out.begin(), out.end());
    return out;
}

// Exact equality of doubles: any NaN equals any NaN, +0.0 differs from -0.0.
inline bool same_double(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

}  // namespace ontarix::testing
