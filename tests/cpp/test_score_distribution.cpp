// Exact p-value tables: the reported p-value brackets exhaustive enumeration, the survival is
// monotone and keeps its relative precision in the far tail, the table is the same for any thread
// count and input form, and its stored form survives a round trip and rejects every damage.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/fault.hpp"
#include "core/score_distribution.hpp"
#include "core/score_distribution_state.hpp"
#include "xorshift.hpp"

namespace ontarix {
namespace {

using testing::XorShift64;

struct Draw {
    std::vector<double> values;
    std::vector<std::uint64_t> weights;
};

ScoreDistributionTable table_of(const std::vector<Draw>& draws, unsigned q, std::uint32_t cells,
                                unsigned threads = 1) {
    ScoreDistributionOptions options;
    options.query_size = q;
    options.cells = cells;
    options.threads = threads;
    return build_score_distributions(
        draws.size(),
        [&](std::size_t c, SingleDraw& d) {
            d.values = draws[c].values;
            d.weights = draws[c].weights;
        },
        options);
}

// Exact sums: every value of these tests is a multiple of 2^-80 below 2^12, so a sum of a few
// of them is an exact 128-bit count of 2^-80.
using Fixed = __int128;
constexpr double kFixedUnit = 0x1p80;

Fixed fixed_floor(double v) {  // the largest multiple of 2^-80 at most v, clamped to +-2^20
    return static_cast<Fixed>(std::floor(std::clamp(v, -0x1p20, 0x1p20) * kFixedUnit));
}

// Small pools, most of whose values lie exactly on the grid's cell boundaries or an ulp or two
// below them (where rounding a value, or the float sum of a tie, to the wrong cell would show),
// with repeated values, zero weights, single-value pools and an all-zero pool among them.
Draw small_draw(XorShift64& rng, std::uint32_t cells) {
    Draw d;
    const double vmax = rng() % 8 == 0 ? 0.0 : static_cast<double>(1 + rng() % 2048) / 256.0;
    d.values.push_back(vmax);
    d.weights.push_back(1 + rng() % 4);
    const double h = grid_step(table_of({d}, 1, cells), 0);
    const auto below_top = [&] {
        return std::floor(vmax / h * static_cast<double>(rng() % 1001) / 1000.0);
    };
    const int k = static_cast<int>(rng() % 6);
    for (int i = 0; i < k && vmax > 0; ++i) {
        double v = 0;
        switch (rng() % 5) {
            case 0: v = static_cast<double>(rng() % 257) / 256.0 * vmax; break;
            case 1: v = d.values.back(); break;  // a repeat
            case 2: v = below_top() * h; break;  // on a boundary
            default:                             // just below one
                v = std::max(1.0, below_top()) * h;
                for (int u = 1 + static_cast<int>(rng() % 2); u-- > 0;) v = std::nextafter(v, 0.0);
        }
        d.values.push_back(std::min(v, vmax));
        d.weights.push_back(rng() % 5);
    }
    return d;
}

TEST(ScoreDistribution, ThePValueBracketsExhaustiveEnumeration) {
    XorShift64 rng{0x5EED5EED};
    for (int round = 0; round < 300; ++round) {
        const unsigned q = 1 + static_cast<unsigned>(rng() % 5);
        const std::uint32_t cells_choice[] = {1, 2, 3, 7, 64, 1024};
        const std::uint32_t cells = cells_choice[rng() % 6];
        const Draw d = small_draw(rng, cells);
        const ScoreDistributionTable table = table_of({d}, q, cells);
        const double h = grid_step(table, 0);

        // Every q-tuple of pool values, with its weight, its exact sum and its float sum.
        struct Tuple {
            Fixed sum;
            double weight, float_sum;
        };
        std::vector<Tuple> tuples{{0, 1.0, 0.0}};
        for (unsigned i = 0; i < q; ++i) {
            std::vector<Tuple> next;
            for (const Tuple& t : tuples) {
                for (std::size_t k = 0; k < d.values.size(); ++k) {
                    if (d.weights[k] == 0) continue;
                    next.push_back({t.sum + fixed_floor(d.values[k]),
                                    t.weight * static_cast<double>(d.weights[k]),
                                    t.float_sum + d.values[k]});
                }
            }
            tuples.swap(next);
        }
        for (const double v : d.values) ASSERT_EQ(static_cast<double>(fixed_floor(v)), v * kFixedUnit);
        std::map<Fixed, double> sums;  // exact: the weights are integers below 2^53
        double all = 0;
        for (const Tuple& t : tuples) {
            sums[t.sum] += t.weight;
            all += t.weight;
        }
        const auto at_least = [&](Fixed s) {
            double n = 0;
            for (auto it = sums.lower_bound(s); it != sums.end(); ++it) n += it->second;
            return n / all;
        };
        const auto above = [&](Fixed s) {
            double n = 0;
            for (auto it = sums.upper_bound(s); it != sums.end(); ++it) n += it->second;
            return n / all;
        };

        const double delta = (q + 3) * 0x1p-52;
        const auto check = [&](double s, Fixed real) {  // s observed, standing for a real sum
            const double p = pvalue_of_sum(table, 0, s);
            ASSERT_GE(p, at_least(real)) << "round " << round << " sum " << s;
            const double slack = 2 * q * h + delta * std::fabs(s) + h * 0x1p-20;
            ASSERT_LE(p, (1 + 0x1p-19) * above(fixed_floor(s - slack)) + DBL_MIN)
                << "round " << round << " sum " << s;
        };
        for (const double s : {-1.0, 0.0, 1e-300, 1e300}) check(s, fixed_floor(s) + (s > 0));
        for (const Tuple& t : tuples) {
            // A query of pool terms ties with itself, observed as a float sum or mean.
            check(t.float_sum, t.sum);
            ASSERT_GE(pvalue_of_mean(table, 0, t.float_sum / q), at_least(t.sum))
                << "round " << round;
            for (const double shift : {-1.0 / 512, 1.0 / 512}) {
                check(t.float_sum + shift, fixed_floor(t.float_sum + shift));
            }
        }
    }
}

// Larger pools of arbitrary doubles; the values' weights sum to `pool`.
Draw large_draw(XorShift64& rng, int distinct, std::uint64_t pool) {
    Draw d;
    std::uint64_t left = pool;
    for (int i = 0; i < distinct; ++i) {
        d.values.push_back(static_cast<double>(rng() % 1000000) * 1.3e-5);
        const std::uint64_t w = i + 1 == distinct ? left : rng() % (2 * pool / distinct + 1) % (left + 1);
        d.weights.push_back(w);
        left -= w;
    }
    d.weights[0] += 1;
    return d;
}

TEST(ScoreDistribution, TheSurvivalIsMonotoneAndKeepsItsPrecisionInTheTail) {
    XorShift64 rng{77};
    const Draw d = large_draw(rng, 80, 10000);
    double vmax = 0;
    for (const double v : d.values) vmax = std::max(vmax, v);
    const ScoreDistributionTable table = table_of({d}, 7, 1024);
    double previous = 1.0;
    for (double m = -0.5; m < vmax + 0.5; m += vmax / 5000) {
        const double p = pvalue_of_mean(table, 0, m);
        ASSERT_LE(p, previous) << m;
        if (m <= 0) {
            ASSERT_EQ(p, 1.0) << m;
        }
        previous = p;
    }
    EXPECT_EQ(previous, 0.0);
    EXPECT_EQ(pvalue_of_mean(table, 0, vmax * 1.01), 0.0);
    EXPECT_TRUE(std::isnan(pvalue_of_mean(table, 0, NAN)));

    // One of N pool terms holds the top value: P(all q draws top) = N^-q, down to where it
    // underflows, and never 0 (nor below it) beyond.
    struct Tail {
        std::uint64_t n;
        unsigned q;
    };
    for (const Tail t : {Tail{10000, 10}, Tail{10000, 30}, Tail{1000, 100}, Tail{10000, 100}}) {
        const Draw top{{0.3, 1.7, 1.0}, {t.n - 2, 1, 1}};
        const ScoreDistributionTable tail = table_of({top}, t.q, 1024);
        const double exact = std::pow(static_cast<double>(t.n), -static_cast<double>(t.q));
        const double p = pvalue_of_mean(tail, 0, 1.7);
        if (exact >= DBL_MIN) {
            EXPECT_GE(p, exact) << t.n << "^-" << t.q;
            EXPECT_LE(p, exact * (1 + 0x1p-19)) << t.n << "^-" << t.q;
        } else {
            EXPECT_EQ(p, DBL_MIN) << t.n << "^-" << t.q;
        }
        EXPECT_EQ(pvalue_of_mean(tail, 0, 1.7 + 2.5 * grid_step(tail, 0)), 0.0);
    }
}

TEST(ScoreDistribution, TheTableIsTheSameForAnyThreadCountAndInputForm) {
    XorShift64 rng{123};
    std::vector<Draw> draws, expanded;
    for (int c = 0; c < 60; ++c) {
        draws.push_back(large_draw(rng, 1 + static_cast<int>(rng() % 90), 500));
        Draw e;  // one value per pool term, in another order
        for (std::size_t k = draws.back().values.size(); k-- > 0;) {
            e.values.insert(e.values.end(), draws.back().weights[k], draws.back().values[k]);
        }
        expanded.push_back(e);
    }
    const std::string one = save_score_distributions(table_of(draws, 6, 300, 1));
    EXPECT_EQ(save_score_distributions(table_of(draws, 6, 300, 3)), one);
    EXPECT_EQ(save_score_distributions(table_of(expanded, 6, 300, 2)), one);
}

TEST(ScoreDistribution, ArgumentsAndDrawsOutsideTheContractFail) {
    const Draw fine{{1.0}, {}};
    const auto fails = [](const std::vector<Draw>& draws, unsigned q, std::uint32_t cells) {
        EXPECT_THROW(table_of(draws, q, cells), Fault) << q << " " << cells;
    };
    fails({fine}, 0, 16);
    fails({fine}, kMaxQuerySize + 1, 1);
    fails({fine}, 1, 0);
    fails({fine}, 1, kMaxCells + 1);
    fails({fine}, kMaxQuerySize, kMaxCells);
    for (const double bad : {-1.0, HUGE_VAL, std::nan("")}) fails({Draw{{1.0, bad}, {}}}, 2, 16);
    fails({Draw{{1.0, 2.0}, {1}}}, 2, 16);           // weights do not match
    fails({Draw{{1.0, 2.0}, {0, 0}}}, 2, 16);        // an empty pool
    fails({Draw{}}, 2, 16);
    fails({Draw{{1.0, 2.0}, {1ull << 52, 1ull << 52}}}, 2, 16);  // a pool of 2^53 terms
}

// ---- the stored form ----------------------------------------------------------------------------

std::string with_check(std::string body) {
    body.resize(body.size() - 8);
    const std::uint64_t check = score_distribution_check(body);
    body.append(reinterpret_cast<const char*>(&check), 8);
    return body;
}

FaultCause::Kind load_failure(const std::string& state) {
    try {
        load_score_distributions(state);
    } catch (const Fault& fault) {
        return fault.cause().kind;
    }
    return FaultCause::Kind::Internal;  // loaded: not what any caller expects
}

TEST(ScoreDistributionState, RoundTripAndEveryDamageFails) {
    XorShift64 rng{9};
    std::vector<Draw> draws;
    for (int c = 0; c < 4; ++c) draws.push_back(large_draw(rng, 12, 100));
    draws.push_back(Draw{{0.0}, {}});  // a candidate without points
    const ScoreDistributionTable table = table_of(draws, 3, 40);
    const std::string state = save_score_distributions(table);
    const ScoreDistributionTable back = load_score_distributions(state);
    EXPECT_EQ(save_score_distributions(back), state);
    for (std::size_t c = 0; c < table.size(); ++c) {
        for (double s = -0.1; s < 40; s += 0.05) {
            ASSERT_EQ(pvalue_of_sum(back, c, s), pvalue_of_sum(table, c, s));
        }
    }

    for (std::size_t cut = 0; cut < state.size(); ++cut) {
        ASSERT_EQ(load_failure(state.substr(0, cut)), FaultCause::Kind::Content) << cut;
    }
    for (std::size_t at = 0; at < state.size(); ++at) {
        std::string altered = state;
        altered[at] = static_cast<char>(altered[at] ^ (1 << (at % 8)));
        ASSERT_EQ(load_failure(altered), FaultCause::Kind::Content) << at;
    }

    // Fields a build cannot produce, behind a valid check.
    const std::size_t grids = 8 + 32;
    const std::size_t points = grids + table.size() * 20;
    struct Forgery {
        std::size_t at;
        std::uint64_t value;
        std::size_t bytes;
    };
    for (const Forgery f : {Forgery{8, 0, 8},                       // query size 0
                            Forgery{16, kMaxCells + 1, 8},          // resolution
                            Forgery{24, 6, 8},                      // one candidate too many
                            Forgery{32, 0, 8},                      // points do not add up
                            Forgery{grids, 0, 8},                   // a width of 0
                            Forgery{grids, (1ull << 41) + 1, 8},    // too wide
                            Forgery{grids + 8, 984, 4},             // an exponent too large
                            Forgery{grids + 8, static_cast<std::uint32_t>(-1075), 4},
                            Forgery{grids + 12, 0, 4},              // first point at the lowest cell
                            Forgery{grids + 16, 41, 4},             // points beyond the grid
                            Forgery{points, 0x3FF00000, 4},         // a p-value of 1.0 kept
                            Forgery{points, 0x000FFFFF, 4},         // below 2^-1022
                            Forgery{points + 4, table.points[0] + 1u, 4}}) {  // increasing
        std::string forged = state;
        std::memcpy(forged.data() + f.at, &f.value, f.bytes);
        EXPECT_EQ(load_failure(with_check(forged)), FaultCause::Kind::Content) << f.at;
    }
    std::string trailing = state;
    trailing.insert(state.size() - 8, 4, '\0');
    EXPECT_EQ(load_failure(with_check(trailing)), FaultCause::Kind::Content);
}

}  // namespace
}  // namespace ontarix
