#include "core/wang_similarity.hpp"

#include <algorithm>
#include <queue>

#include "core/fault.hpp"
#include "core/sorted_lists.hpp"

namespace ontarix {
namespace {

// Parents of each term in compressed rows, with the weight of each edge.
struct ParentRows {
    std::vector<std::size_t> begin;
    std::vector<std::uint32_t> parent;
    std::vector<double> weight;
};

ParentRows parent_rows(std::uint32_t n, const WangEdges& edges) {
    ParentRows out;
    out.begin.assign(std::size_t{n} + 1, 0);
    for (const Edge& e : edges.edges) {
        if (e.child >= n || e.parent >= n) raise_fault("a weighted edge names an unknown term");
        ++out.begin[e.child + 1];
    }
    for (std::uint32_t t = 0; t < n; ++t) out.begin[t + 1] += out.begin[t];
    out.parent.resize(edges.edges.size());
    out.weight.resize(edges.edges.size());
    std::vector<std::size_t> cursor(out.begin.begin(), out.begin.end() - 1);
    for (std::size_t i = 0; i < edges.edges.size(); ++i) {
        const std::size_t at = cursor[edges.edges[i].child]++;
        out.parent[at] = edges.edges[i].parent;
        out.weight[at] = edges.weights[i];
    }
    return out;
}

}  // namespace

WangTable wang_table(std::uint32_t term_count, const WangEdges& edges) {
    if (edges.weights.size() != edges.edges.size()) raise_fault("Wang edges without weights");
    const ParentRows parents = parent_rows(term_count, edges);
    WangTable table;
    table.ancestors.begin.assign(std::size_t{term_count} + 1, 0);
    table.totals.assign(term_count, 0.0);

    // best[t] holds the best product found so far for t in the current search, valid when
    // seen[t] is the search's stamp; t is settled, with that value final, once done[t] is.
    std::vector<double> best(term_count, 0.0);
    std::vector<std::uint32_t> seen(term_count, UINT32_MAX);
    std::vector<std::uint32_t> done(term_count, UINT32_MAX);
    std::vector<std::uint32_t> settled;
    struct Item {
        double value;
        std::uint32_t term;
        bool operator<(const Item& other) const noexcept { return value < other.value; }
    };
    std::priority_queue<Item> queue;
    for (std::uint32_t a = 0; a < term_count; ++a) {
        settled.clear();
        best[a] = 1.0;
        seen[a] = a;
        queue.push({1.0, a});
        while (!queue.empty()) {
            const Item item = queue.top();
            queue.pop();
            // Stale: settled already, or a better value was found after this one was queued.
            if (done[item.term] == a || item.value != best[item.term]) continue;
            done[item.term] = a;
            settled.push_back(item.term);
            for (std::size_t k = parents.begin[item.term]; k < parents.begin[item.term + 1]; ++k) {
                const std::uint32_t p = parents.parent[k];
                if (done[p] == a) continue;
                const double value = item.value * parents.weight[k];
                if (seen[p] != a || value > best[p]) {
                    seen[p] = a;
                    best[p] = value;
                    queue.push({value, p});
                }
            }
        }
        std::sort(settled.begin(), settled.end());
        double total = 0.0;
        for (const std::uint32_t t : settled) {
            const double value = best[t];
            table.ancestors.items.push_back(t);
            table.values.push_back(value);
            total += value;
        }
        table.totals[a] = total;
        table.ancestors.begin[std::size_t{a} + 1] = table.ancestors.items.size();
    }
    return table;
}

double wang_similarity(const WangTable& table, std::uint32_t a, std::uint32_t b) noexcept {
    const std::span<const std::uint32_t> x = table.ancestors.of(a);
    const std::span<const std::uint32_t> y = table.ancestors.of(b);
    const std::span<const double> sx = table.values_of(a);
    const std::span<const double> sy = table.values_of(b);
    double common = 0.0;
    for_each_common(x, y, [&](std::size_t i, std::size_t j) { common += sx[i] + sy[j]; });
    return wang_ratio(common, table.total_of(a), table.total_of(b));
}

}  // namespace ontarix
