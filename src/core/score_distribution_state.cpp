#include "core/score_distribution_state.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

#include "core/counter_random.hpp"
#include "core/fault.hpp"
#include "core/stored_form.hpp"

namespace ontarix {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the stored form is written in the machine's own byte order, which must be little-endian");

constexpr std::string_view kMagic{"ONTXPVT\x01", 8};
constexpr std::size_t kGridBytes = 8 + 4 + 4 + 4;
constexpr std::uint32_t kOne = 0x3FF00000u;       // the upper half of 1.0
constexpr std::uint32_t kLeast = 0x00100000u;     // the upper half of 2^-1022
constexpr int kMinExponent = -1074;
constexpr int kMaxExponent = 1023 - 40;  // ilogb of the largest double, less the scale's bits
constexpr std::uint64_t kMaxWidth = std::uint64_t{1} << 41;

std::uint64_t word_at(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

// Four independent lanes of the splitmix64 finalizer, so that checking tens of megabytes takes a
// few milliseconds.
std::uint64_t score_distribution_check(std::string_view bytes) noexcept {
    std::uint64_t lane[4] = {CounterRandom::kGamma, 2 * CounterRandom::kGamma,
                             3 * CounterRandom::kGamma, 4 * CounterRandom::kGamma};
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 32; p += 32, left -= 32) {
        for (int l = 0; l < 4; ++l) lane[l] = mix64(lane[l] ^ word_at(p + 8 * l));
    }
    char tail[32] = {};
    std::memcpy(tail, p, left);
    for (int l = 0; l < 4; ++l) lane[l] = mix64(lane[l] ^ word_at(tail + 8 * l));
    std::uint64_t h = bytes.size();
    for (const std::uint64_t l : lane) h = mix64(h ^ l);
    return h;
}

std::string save_score_distributions(const ScoreDistributionTable& table) {
    std::string out;
    out.reserve(kMagic.size() + 32 + table.grids.size() * kGridBytes + table.points.size() * 4 + 8);
    out.append(kMagic);
    put_field<std::uint64_t>(out, table.query_size);
    put_field<std::uint64_t>(out, table.cells);
    put_field<std::uint64_t>(out, table.grids.size());
    put_field<std::uint64_t>(out, table.points.size());
    for (const auto& g : table.grids) {
        put_field<std::uint64_t>(out, g.width);
        put_field<std::int32_t>(out, g.exponent);
        put_field<std::uint32_t>(out, g.first);
        put_field<std::uint32_t>(out, g.count);
    }
    if (!table.points.empty()) {
        out.append(reinterpret_cast<const char*>(table.points.data()), table.points.size() * 4);
    }
    put_field<std::uint64_t>(out, score_distribution_check(out));
    return out;
}

ScoreDistributionTable load_score_distributions(std::string_view state) {
    const StoredFormReader whole(state, "score distribution state");
    if (state.size() < kMagic.size() + 8) whole.invalid("it ends early");
    if (state.substr(0, kMagic.size()) != kMagic) {
        whole.invalid("it is not a stored score distribution table of this version");
    }
    const std::string_view body = state.substr(0, state.size() - 8);
    if (score_distribution_check(body) != word_at(state.data() + body.size())) {
        whole.invalid("it was altered or cut short");
    }
    StoredFormReader in(body, "score distribution state");
    in.take(kMagic.size());
    ScoreDistributionTable table;
    const auto q = in.get<std::uint64_t>();
    const auto cells = in.get<std::uint64_t>();
    if (q < 1 || q > kMaxQuerySize) in.invalid("query size out of range");
    if (cells < 1 || cells > kMaxCells || q * cells > kMaxQueryCells) in.invalid("resolution out of range");
    table.query_size = static_cast<unsigned>(q);
    table.cells = static_cast<std::uint32_t>(cells);
    const std::uint64_t candidates = in.count(kGridBytes);
    const std::uint64_t points = in.count(4);

    table.grids.resize(candidates);
    std::uint64_t begin = 0;
    for (auto& g : table.grids) {
        g.width = in.get<std::uint64_t>();
        g.exponent = in.get<std::int32_t>();
        g.first = in.get<std::uint32_t>();
        g.count = in.get<std::uint32_t>();
        // A build's width is ceil(x / cells) for some x below 2^41.
        if (g.width < 1 || g.width > kMaxWidth) in.invalid("a grid width is out of range");
        if (g.exponent < kMinExponent || g.exponent > kMaxExponent) {
            in.invalid("a grid exponent is out of range");
        }
        // Points sit at cells 1 .. cells (the lowest value's cell always has p = 1).
        if (g.first < 1 || std::uint64_t{g.first} + g.count > cells + 1) {
            in.invalid("a candidate's points lie outside its grid");
        }
        g.begin = begin;
        begin += g.count;
    }
    if (begin != points) in.invalid("the point counts do not add up");
    table.points.resize(points);
    const char* stored = in.take(points * 4);
    if (points > 0) std::memcpy(table.points.data(), stored, points * 4);
    for (const auto& g : table.grids) {
        std::uint32_t bound = kOne - 1;  // the first point is below 1.0, each next at most the last
        for (std::uint64_t k = g.begin; k < g.begin + g.count; ++k) {
            const std::uint32_t p = table.points[k];
            if (p > bound || p < kLeast) {
                in.invalid("a candidate's p-values are not in (0, 1) and nonincreasing");
            }
            bound = p;
        }
    }
    if (!in.done()) in.invalid("trailing bytes");
    return table;
}

}  // namespace ontarix
