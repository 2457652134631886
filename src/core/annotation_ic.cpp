#include "core/annotation_ic.hpp"

#include <cmath>

namespace ontarix {

std::vector<std::uint64_t> objects_per_term(const IndexStructure& structure,
                                            const TermLists& objects) {
    const std::uint32_t n = structure.size();
    std::vector<std::uint64_t> counts(n, 0);
    // stamp[t] == object + 1: t was counted for this object already.
    std::vector<std::uint32_t> stamp(n, 0);
    std::uint32_t current = 0;
    auto count = [&](std::uint32_t t) {
        if (stamp[t] == current) return;
        stamp[t] = current;
        ++counts[t];
    };
    for (std::uint32_t o = 0; o < objects.term_count(); ++o) {
        if (++current == 0) {  // wrapped: old stamps could look current
            std::fill(stamp.begin(), stamp.end(), 0);
            current = 1;
        }
        for (const std::uint32_t u : objects.of(o)) {
            count(u);
            for (const std::uint32_t t : structure.expansions.of(u)) count(t);
        }
    }
    return counts;
}

std::vector<std::uint64_t> annotations_per_term(const IndexStructure& structure,
                                                std::span<const std::uint64_t> entries) {
    std::vector<std::uint64_t> counts(entries.begin(), entries.end());
    for (std::uint32_t u = 0; u < entries.size(); ++u) {
        if (entries[u] == 0) continue;
        for (const std::uint32_t t : structure.expansions.of(u)) {
            if (t != u) counts[t] += entries[u];  // u itself was counted once already
        }
    }
    return counts;
}

double annotation_ic(std::uint64_t n, std::uint64_t total) noexcept {
    // + 0.0 turns the -0.0 of a term every object has into 0.0.
    return -std::log(static_cast<double>(n) / static_cast<double>(total)) + 0.0;
}

}  // namespace ontarix
