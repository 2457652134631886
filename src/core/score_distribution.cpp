#include "core/score_distribution.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "core/fault.hpp"
#include "core/parallel_blocks.hpp"

namespace ontarix {
namespace {

constexpr int kMinExponent = -1074;  // the least power of two a double holds
constexpr int kScaleBits = 40;       // vmax / 2^e lies in [2^40, 2^41)
constexpr double kTwo53 = 9007199254740992.0;
constexpr std::uint32_t kOne = 0x3FF00000u;  // the upper half of 1.0

// v / 2^e, exact for every finite v >= 0: a product by a power of two, which can only lose bits
// by underflowing, and then the result is far below 1 (callers only floor it).
double scale_down(double v, int e) noexcept {
    if (e >= -1022) return v * std::bit_cast<double>(static_cast<std::uint64_t>(1023 - e) << 52);
    return std::ldexp(v, -e);
}

// The grid of one candidate: step h = width * 2^exponent.
struct Cells {
    int exponent;
    std::uint64_t width;  // at most 2^41
    double inverse;       // 1 / width, rounded

    // floor(v / h), exactly: x = floor(v / 2^e) is an integer below 2^42 (a conversion truncates,
    // which for v >= 0 is the floor), and floor(x / W) is floor(v / h); the rounded quotient is
    // off by at most one, which the exact integer products put right.
    std::uint32_t of(double v) const noexcept {
        const auto x = static_cast<std::uint64_t>(scale_down(v, exponent));
        auto m = static_cast<std::uint64_t>(static_cast<double>(x) * inverse);
        if (m * width > x) {
            --m;
        } else if ((m + 1) * width <= x) {
            ++m;
        }
        return static_cast<std::uint32_t>(m);
    }
};

Cells cells_for(double vmax, std::uint32_t resolution) noexcept {
    int e = kMinExponent;
    if (vmax > 0) e = std::max(std::ilogb(vmax) - kScaleBits, kMinExponent);
    const auto xmax = static_cast<std::uint64_t>(scale_down(vmax, e));  // below 2^41
    const std::uint64_t width = std::max<std::uint64_t>(1, (xmax + resolution - 1) / resolution);
    return {e, width, 1.0 / static_cast<double>(width)};
}

[[noreturn]] __attribute__((noinline)) void raise_draw(const char* what) {
    raise_fault(std::string("invalid single draw: ") + what);
}

// ---- the convolution ----------------------------------------------------------------------------

// Outputs computed together, their sums held in registers: eight SSE2 registers of two doubles
// keep both adders busy whatever the latency of an addition.
constexpr std::size_t kLanes = 16;
// A distribution of length len lives at [kPad, kPad + len) of its buffer, with zeros around, so
// that a block of outputs reads whole lanes without bounds checks.
constexpr std::size_t kPad = kLanes;

// next[t] = sum over k of prob[k] * cur[t - offset[k]], for t in [0, len + span): one more draw.
// Each output is the sum over k in ascending order, whatever the vector width, so every build
// gives the same doubles.
void add_one_draw(const double* cur, std::size_t len, std::span<const std::uint32_t> offset,
                  const double* prob, std::size_t span, double* next) noexcept {
    const std::size_t out = len + span;
    const std::size_t cells = offset.size();
    std::size_t kb = 0;
    std::size_t ke = 0;
    for (std::size_t jb = 0; jb < out; jb += kLanes) {
        // Cell k reaches the block [jb, jb + kLanes) when jb - len < offset[k] < jb + kLanes.
        while (kb < cells && offset[kb] + len <= jb) ++kb;
        while (ke < cells && offset[ke] < jb + kLanes) ++ke;
        double acc[kLanes] = {};
        for (std::size_t k = kb; k < ke; ++k) {
            const double p = prob[k];
            const double* src = cur + kPad + jb - offset[k];
            for (std::size_t t = 0; t < kLanes; ++t) acc[t] += p * src[t];
        }
        double* dst = next + kPad + jb;
        for (std::size_t t = 0; t < kLanes; ++t) dst[t] = acc[t];
    }
}

// A point of the table: the upper half of p's double, rounded up (1.0 for p >= 1).
std::uint32_t stored_point(double p) noexcept {
    if (p >= 1.0) return kOne;
    const auto bits = std::bit_cast<std::uint64_t>(p);
    return static_cast<std::uint32_t>(bits >> 32) + ((bits & 0xFFFFFFFFu) != 0 ? 1u : 0u);
}

double point_value(std::uint32_t point) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(point) << 32);
}

struct Scratch {
    SingleDraw draw;
    std::vector<std::uint64_t> counts;  // per cell
    std::vector<std::uint32_t> offset;  // occupied cells, minus the lowest
    std::vector<double> prob;
    std::vector<double> a, b;           // the convolution's two buffers
    std::vector<double> above;          // the survival of all draws but the last
    std::vector<double> tails;          // the survival of all draws at the kept points
    std::vector<std::uint32_t> kept;    // one candidate's points, lowest mean first
    std::vector<std::uint32_t> points;  // the points of this thread's candidates, back to back
};

// Checks a draw and returns its grid, filling counts (per cell, all R + 1 of them), and the
// total weight; lo and hi are its lowest and highest occupied cells.
struct Gridded {
    Cells cells;
    double total;
    std::uint32_t lo, hi;
};

Gridded grid_draw(const SingleDraw& draw, std::uint32_t resolution, Scratch& s) {
    const bool weighted = !draw.weights.empty();
    if (weighted && draw.weights.size() != draw.values.size()) {
        raise_draw("its weights do not match its values");
    }
    std::uint64_t total = 0;
    double vmax = 0;
    for (std::size_t i = 0; i < draw.values.size(); ++i) {
        const double v = draw.values[i];
        if (!(v >= 0.0 && v <= DBL_MAX)) raise_draw("a value is negative, infinite or NaN");
        const std::uint64_t w = weighted ? draw.weights[i] : 1;
        if (w == 0) continue;
        if (w >= (std::uint64_t{1} << 53) - total) raise_draw("its pool holds 2^53 terms or more");
        total += w;
        vmax = std::max(vmax, v);
    }
    if (total == 0) raise_draw("its pool is empty");

    const Cells cells = cells_for(vmax, resolution);
    s.counts.assign(std::size_t{resolution} + 1, 0);
    std::uint32_t lo = resolution, hi = 0;
    for (std::size_t i = 0; i < draw.values.size(); ++i) {
        const std::uint64_t w = weighted ? draw.weights[i] : 1;
        if (w == 0) continue;
        const std::uint32_t m = cells.of(draw.values[i]);  // <= cells.of(vmax) <= resolution
        s.counts[m] += w;
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
    return {cells, static_cast<double>(total), lo, hi};
}

// The grid, and the kept points (s.kept), of one candidate's draw.
ScoreDistributionTable::Grid candidate_points(const SingleDraw& draw, unsigned q,
                                              std::uint32_t resolution, Scratch& s) {
    const Gridded g = grid_draw(draw, resolution, s);
    const std::size_t span = g.hi - g.lo;
    s.offset.clear();
    s.prob.clear();
    for (std::uint32_t m = g.lo; m <= g.hi; ++m) {
        if (s.counts[m] == 0) continue;
        s.offset.push_back(m - g.lo);
        s.prob.push_back(static_cast<double>(s.counts[m]) / g.total);
    }

    // The distribution of q - 1 draws' cells, less (q - 1) lo, on [0, len): the last draw is
    // added to its survival at the kept points only, below.
    const std::size_t size = kPad + (q - 1) * span + 1 + 2 * kLanes;
    s.a.assign(size, 0.0);
    s.b.assign(size, 0.0);
    std::size_t len = 1;
    if (q == 1) {
        s.a[kPad] = 1.0;  // no draw: a sum of 0
    } else {
        for (std::size_t k = 0; k < s.offset.size(); ++k) s.a[kPad + s.offset[k]] = s.prob[k];
        len = span + 1;
        for (unsigned i = 2; i < q; ++i) {
            add_one_draw(s.a.data(), len, s.offset, s.prob.data(), span, s.b.data());
            len += span;
            s.a.swap(s.b);
        }
    }
    // Its survival from the top, P(q - 1 draws >= t) for t in [0, len), in b.
    double whole = 0;
    for (std::size_t t = len; t-- > 0;) s.b[t] = whole += s.a[kPad + t];
    // The same padded for the last draw, which reads it at t = q r - offset_k for r in [0, span]:
    // the value for t is at index i = span + t (t < 0: the whole mass; t >= len: 0), stored at
    // column i % q, row i / q, so that each cell of the last draw reads one column in order.
    const std::size_t rows = span + span / q + 1;
    s.above.resize(q * rows);
    for (std::size_t column = 0; column < q; ++column) {
        double* out = s.above.data() + column * rows;
        for (std::size_t row = 0, i = column; row < rows; ++row, i += q) {
            out[row] = i < span ? whole : i - span < len ? s.b[i - span] : 0.0;
        }
    }

    // Every probability went through at most `roundings` roundings of nonnegative numbers (one
    // per cell's probability, a product and an addition per cell and draw, the survival's
    // additions, the two below), each of relative size <= 2^-53: raising the sums by twice that
    // bound puts them at or above the exact values. Adding 2^-1022 covers what underflow drops.
    const double roundings =
        static_cast<double>(q) * static_cast<double>(s.offset.size() + 1 + span) + 3.0;
    const double raise = 1.0 + roundings * 0x1p-52;

    // The point at a = lo + r is P(q draws >= q r, less q lo): the sum over the last draw's cells
    // of p_k P(q - 1 draws >= q r - offset_k), summed over k in ascending order for every r.
    s.tails.assign(span + 1, 0.0);
    for (std::size_t k = 0; k < s.offset.size(); ++k) {
        const double p = s.prob[k];
        const std::size_t i = span - s.offset[k];  // where r = 0 reads
        const double* column = s.above.data() + (i % q) * rows + i / q;
        for (std::size_t r = 0; r <= span; ++r) s.tails[r] += p * column[r];
    }
    s.kept.assign(span + 1, kOne);
    std::size_t first = span + 1;  // the lowest point below 1.0, relative to lo
    for (std::size_t r = span + 1; r-- > 0;) {
        const std::uint32_t point = stored_point(s.tails[r] * raise + DBL_MIN);
        if (point == kOne) break;  // and so are all lower points: the survival only grows
        s.kept[r] = point;
        first = r;
    }

    ScoreDistributionTable::Grid grid{};
    grid.width = g.cells.width;
    grid.exponent = g.cells.exponent;
    grid.first = static_cast<std::uint32_t>(g.lo + first);
    grid.count = static_cast<std::uint32_t>(span + 1 - first);
    s.kept.erase(s.kept.begin(), s.kept.begin() + static_cast<std::ptrdiff_t>(first));
    return grid;
}

void check_options(std::size_t candidates, const ScoreDistributionOptions& options) {
    const unsigned q = options.query_size;
    if (q < 1 || q > kMaxQuerySize) raise_fault("score distributions: query size out of range");
    if (options.cells < 1 || options.cells > kMaxCells ||
        std::uint64_t{q} * options.cells > kMaxQueryCells) {
        raise_fault("score distributions: resolution out of range");
    }
    if (candidates > std::numeric_limits<std::uint32_t>::max()) {
        raise_fault("score distributions: too many candidates");
    }
}

}  // namespace

ScoreDistributionTable build_score_distributions(std::size_t candidates,
                                                 const SingleDrawSource& source,
                                                 const ScoreDistributionOptions& options) {
    return build_score_distributions(
        candidates, [&](std::size_t c, unsigned, SingleDraw& draw) { source(c, draw); }, options);
}

ScoreDistributionTable build_score_distributions(std::size_t candidates,
                                                 const WorkerDrawSource& source,
                                                 const ScoreDistributionOptions& options) {
    check_options(candidates, options);
    ScoreDistributionTable table;
    table.query_size = options.query_size;
    table.cells = options.cells;
    table.grids.resize(candidates);

    const unsigned threads = std::max(1u, options.threads);
    std::vector<Scratch> scratch(threads);
    struct Placed {
        unsigned worker;
        std::size_t offset;
    };
    std::vector<Placed> placed(candidates);
    Waiter& waiter = options.waiter != nullptr ? *options.waiter : plain_waiter();
    run_blocks(candidates, threads, waiter, [&](std::size_t c, unsigned worker) {
        Scratch& s = scratch[worker];
        s.draw.clear();
        source(c, worker, s.draw);
        table.grids[c] = candidate_points(s.draw, options.query_size, options.cells, s);
        placed[c] = {worker, s.points.size()};
        s.points.insert(s.points.end(), s.kept.begin(), s.kept.end());
    });

    std::size_t total = 0;
    for (const auto& grid : table.grids) total += grid.count;
    table.points.reserve(total);
    for (std::size_t c = 0; c < candidates; ++c) {
        auto& grid = table.grids[c];
        grid.begin = table.points.size();
        const auto from = scratch[placed[c].worker].points.begin() +
                          static_cast<std::ptrdiff_t>(placed[c].offset);
        table.points.insert(table.points.end(), from, from + grid.count);
    }
    return table;
}

double pvalue_of_sum(const ScoreDistributionTable& table, std::size_t candidate,
                     double sum) noexcept {
    if (std::isnan(sum)) return sum;
    if (!(sum > 0)) return 1.0;  // every sum of values >= 0 reaches it
    const ScoreDistributionTable::Grid& g = table.grids[candidate];
    const unsigned q = table.query_size;
    // Lowered by more than the rounding of a float sum of q values, its mean and the mean times
    // q, so that such a sum ties with the draws whose real sum it stands for.
    const double lowered = sum * (1.0 - (q + 2) * 0x1p-52);
    const double y = scale_down(lowered, g.exponent);
    // From 2^53 on the sum exceeds 2^12 vmax > q vmax: no q draws reach it.
    if (!(y < kTwo53)) return 0.0;
    // i = floor(lowered / h) (see Cells::of). Draws with real sum S >= sum have
    // S' h > S - q h >= lowered - q h, so S' >= i + 1 - q; the point kept at or below that is
    // a = floor((i + 1 - q) / q).
    const std::uint64_t i = static_cast<std::uint64_t>(y) / g.width;
    if (i + 1 <= q) return 1.0;
    const std::uint64_t a = (i + 1 - q) / q;
    if (a < g.first) return 1.0;
    if (a - g.first >= g.count) return 0.0;
    return point_value(table.points[g.begin + (a - g.first)]);
}

double pvalue_of_mean(const ScoreDistributionTable& table, std::size_t candidate,
                      double mean) noexcept {
    return pvalue_of_sum(table, candidate, mean * table.query_size);
}

double grid_step(const ScoreDistributionTable& table, std::size_t candidate) noexcept {
    const auto& g = table.grids[candidate];
    return std::ldexp(static_cast<double>(g.width), g.exponent);
}

std::size_t table_bytes(const ScoreDistributionTable& table) noexcept {
    return table.grids.size() * sizeof(ScoreDistributionTable::Grid) +
           table.points.size() * sizeof(std::uint32_t);
}

}  // namespace ontarix
