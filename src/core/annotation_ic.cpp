#include "core/annotation_ic.hpp"

#include <cmath>
#include <stdexcept>

namespace ontarix {

std::vector<std::uint64_t> objects_per_term(const IndexStructure& structure,
                                            const TermLists& objects) {
    const std::uint32_t n = structure.size();
    // A term's stamp (the object that counted it last, plus one) beside its count: one cache line
    // per visit, and visits are the whole cost. Fewer objects than 2^32 - 1 exist in practice.
    struct Cell {
        std::uint32_t stamp = 0;
        std::uint32_t count = 0;
    };
    if (objects.term_count() >= UINT32_MAX) throw std::length_error("too many annotated objects");
    std::vector<Cell> cells(n);
    for (std::uint32_t o = 0; o < objects.term_count(); ++o) {
        const std::uint32_t current = o + 1;
        for (const std::uint32_t u : objects.of(o)) {
            Cell& own = cells[u];
            own.count += own.stamp != current;
            own.stamp = current;
            for (const std::uint32_t t : structure.expansions.of(u)) {
                Cell& cell = cells[t];
                cell.count += cell.stamp != current;
                cell.stamp = current;
            }
        }
    }
    std::vector<std::uint64_t> counts(n);
    for (std::uint32_t t = 0; t < n; ++t) counts[t] = cells[t].count;
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
