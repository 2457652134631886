// Small builders and checks shared by the measure tests.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/fault.hpp"
#include "core/terms.hpp"

namespace ontarix::testing {

// A closure table from (subject, predicate, object) rows; views the rows' strings.
inline ClosureTable closure_of(std::initializer_list<Triple> rows) {
    ClosureTable table;
    for (const Triple& row : rows) table[row.subject][row.predicate].insert(row.object);
    return table;
}

// One predicate p1: X -> {P, R, owl:Thing}, Y -> {P, R, owl:Thing}, P -> {R, owl:Thing},
// R -> {owl:Thing}; then the extra rows.
inline ClosureTable ladder(std::initializer_list<Triple> extra = {}) {
    ClosureTable table = closure_of({{"X", "p1", "P"}, {"X", "p1", "R"}, {"X", "p1", "owl:Thing"},
                                     {"Y", "p1", "P"}, {"Y", "p1", "R"}, {"Y", "p1", "owl:Thing"},
                                     {"P", "p1", "R"}, {"P", "p1", "owl:Thing"},
                                     {"R", "p1", "owl:Thing"}});
    for (const Triple& row : extra) table[row.subject][row.predicate].insert(row.object);
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

// Exact equality of doubles: any NaN equals any NaN, +0.0 differs from -0.0.
inline bool same_double(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

// Runs `call` and expects it to raise the missing-value fault.
template <class Call>
void expect_missing_value(Call&& call) {
    try {
        call();
        ADD_FAILURE() << "expected a fault";
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.message(), kMissingValue);
    }
}

}  // namespace ontarix::testing
