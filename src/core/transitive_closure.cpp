#include "core/transitive_closure.hpp"

#include <algorithm>
#include <functional>
#include <new>

#include "core/checkpoint.hpp"
#include "core/fault.hpp"
#include "core/term_numbering.hpp"

namespace ontarix {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// Out-edges per term as compressed rows: term t's parents are target[first[t] .. first[t+1]).
struct OutEdges {
    std::vector<std::size_t> first;
    std::vector<std::uint32_t> target;

    std::size_t begin(std::uint32_t t) const noexcept { return first[t]; }
    std::size_t end(std::uint32_t t) const noexcept { return first[t + 1]; }
};

OutEdges out_edges(std::uint32_t term_count, std::span<const Edge> edges) {
    OutEdges out;
    out.first.assign(std::size_t{term_count} + 1, 0);
    for (const Edge& e : edges) {
        if (e.child >= term_count || e.parent >= term_count) [[unlikely]] {
            raise_fault("an edge names a term beyond the numbered terms");
        }
        ++out.first[e.child + 1];
    }
    for (std::uint32_t t = 0; t < term_count; ++t) out.first[t + 1] += out.first[t];
    out.target.resize(edges.size());
    std::vector<std::size_t> next(out.first.begin(), out.first.end() - 1);
    for (const Edge& e : edges) out.target[next[e.child]++] = e.parent;
    return out;
}

// Strongly connected components, in the order Tarjan's algorithm emits them: every component
// after all the components it reaches. Component k's members are member[begin[k] .. begin[k+1]).
struct Components {
    std::vector<std::uint32_t> of;  // term -> component
    std::vector<std::uint32_t> begin;
    std::vector<std::uint32_t> member;

    std::uint32_t count() const noexcept { return static_cast<std::uint32_t>(begin.size() - 1); }
    std::span<const std::uint32_t> members(std::uint32_t k) const noexcept {
        return {member.data() + begin[k], begin[k + 1] - begin[k]};
    }
};

// Tarjan's algorithm with the recursion replaced by an explicit stack of frames, so that the
// depth of the graph costs heap memory (16 bytes a level), never native stack.
Components strongly_connected_components(std::uint32_t term_count, const OutEdges& graph) {
    Components out;
    out.of.assign(term_count, kNone);
    out.begin.reserve(std::size_t{term_count} + 1);
    out.begin.push_back(0);
    out.member.reserve(term_count);

    // index[t]: visit order, kNone before the visit. low[t]: the smallest index reachable from t's
    // subtree through one edge to a term still on the component stack. A visited term is on that
    // stack exactly while it has no component.
    std::vector<std::uint32_t> index(term_count, kNone);
    std::vector<std::uint32_t> low(term_count);
    std::vector<std::uint32_t> pending;  // the component stack
    struct Frame {
        std::uint32_t term;
        std::size_t next_edge;
    };
    std::vector<Frame> frames;
    std::uint32_t visited = 0;

    auto visit = [&](std::uint32_t t) {
        index[t] = low[t] = visited++;
        pending.push_back(t);
        frames.push_back({t, graph.begin(t)});
    };

    for (std::uint32_t root = 0; root < term_count; ++root) {
        if (index[root] != kNone) continue;
        visit(root);
        while (!frames.empty()) {
            const std::uint32_t t = frames.back().term;
            if (frames.back().next_edge != graph.end(t)) {
                const std::uint32_t w = graph.target[frames.back().next_edge++];
                if (index[w] == kNone) {
                    visit(w);  // may reallocate frames: nothing above holds a reference
                } else if (out.of[w] == kNone) {
                    low[t] = std::min(low[t], index[w]);
                }
                continue;
            }
            frames.pop_back();
            if (!frames.empty()) {
                const std::uint32_t caller = frames.back().term;
                low[caller] = std::min(low[caller], low[t]);
            }
            if (low[t] != index[t]) continue;
            // t is the root of a component: it and everything above it on the stack.
            const std::uint32_t k = out.count();
            std::uint32_t m;
            do {
                m = pending.back();
                pending.pop_back();
                out.of[m] = k;
                out.member.push_back(m);
            } while (m != t);
            out.begin.push_back(static_cast<std::uint32_t>(out.member.size()));
        }
    }
    return out;
}


// Merges the sorted range extra (none of it in [first, last)) into the sorted range [first, last),
// which has room for it; returns the new end. Works from the back, so only the elements greater
// than the smallest extra move.
std::uint32_t* merge_in_place(std::uint32_t* first, std::uint32_t* last,
                              std::span<const std::uint32_t> extra) noexcept {
    std::uint32_t* const end = last + extra.size();
    std::uint32_t* write = end;
    const std::uint32_t* e = extra.data() + extra.size();
    while (e != extra.data()) {
        if (last != first && *(last - 1) > *(e - 1)) {
            *--write = *--last;
        } else {
            *--write = *--e;
        }
    }
    return end;
}

// Per component, in emission order, the terms it reaches (step 3 of the header), each list sorted.
TermLists component_reach(const Components& comps, const OutEdges& graph,
                          std::uint32_t term_count, Checkpoint* checkpoint) {
    const std::uint32_t count = comps.count();
    TermLists out;
    out.begin.reserve(std::size_t{count} + 1);
    out.begin.push_back(0);
    // Ontologies reach a few dozen ancestors per term. Reserving address space for that many costs
    // nothing until it is touched and spares the copies of a growing vector; capped, so that a
    // huge sparse graph does not ask for more address space than the machine would grant.
    out.items.reserve(std::min(32 * std::size_t{term_count}, std::size_t{1} << 26));
    // stamp[t] == k: t is in the reach of component k, the one being made.
    std::vector<std::uint32_t> stamp(term_count, kNone);
    std::vector<std::uint32_t> successors, extra;

    for (std::uint32_t k = 0; k < count; ++k) {
        reach(checkpoint);
        successors.clear();
        for (const std::uint32_t m : comps.members(k)) {
            for (std::size_t e = graph.begin(m); e != graph.end(m); ++e) {
                successors.push_back(comps.of[graph.target[e]]);
            }
        }
        // Latest emitted first: a component is emitted after everything it reaches, so one that
        // reaches another comes first, and the other is then found covered.
        std::sort(successors.begin(), successors.end(), std::greater<>());
        successors.erase(std::unique(successors.begin(), successors.end()), successors.end());

        // The reach starts as a copy of the largest successor's (already sorted), which is then
        // stamped; the other successors only contribute what is not stamped, usually a few terms.
        std::uint32_t base = kNone;
        std::size_t base_size = 0;
        for (const std::uint32_t d : successors) {
            const std::size_t size = out.begin[d + 1] - out.begin[d];
            if (d != k && (base == kNone || size > base_size)) {
                base = d;
                base_size = size;
            }
        }
        const std::size_t start = out.items.size();
        if (base != kNone) {
            // Copied through indices: the vector may move while it grows.
            out.items.resize(start + base_size);
            std::copy_n(out.items.begin() + static_cast<std::ptrdiff_t>(out.begin[base]),
                        base_size, out.items.begin() + static_cast<std::ptrdiff_t>(start));
            for (std::size_t i = start; i != out.items.size(); ++i) stamp[out.items[i]] = k;
        }
        extra.clear();
        auto add = [&](std::uint32_t t) {
            if (stamp[t] != k) {
                stamp[t] = k;
                extra.push_back(t);
            }
        };
        for (const std::uint32_t d : successors) {
            const std::span<const std::uint32_t> members = comps.members(d);
            // Covered: what brought in one member brought in all of d and its reach.
            if (d != base && stamp[members.front()] == k) continue;
            for (const std::uint32_t m : members) add(m);
            // d == k: a cycle back into k, whose reach is the one being made.
            if (d == k || d == base) continue;
            for (std::size_t i = out.begin[d]; i != out.begin[d + 1]; ++i) add(out.items[i]);
        }
        std::sort(extra.begin(), extra.end());
        const std::size_t have = out.items.size();
        out.items.resize(have + extra.size());
        std::uint32_t* first = out.items.data() + start;
        merge_in_place(first, out.items.data() + have, extra);
        out.begin.push_back(out.items.size());
    }
    return out;
}

}  // namespace

ReachTable transitive_closure(std::uint32_t term_count, std::span<const Edge> edges,
                              bool reflexive, Checkpoint* checkpoint) {
    const OutEdges graph = out_edges(term_count, edges);
    const Components comps = strongly_connected_components(term_count, graph);
    const TermLists reached = component_reach(comps, graph, term_count, checkpoint);

    // Whether a term is listed as reaching itself although no cycle leads back to it: with
    // `reflexive`, every term of an edge.
    std::vector<bool> add_self(term_count, false);
    if (reflexive) {
        for (const Edge& e : edges) add_self[e.child] = add_self[e.parent] = true;
    }
    ReachTable out;
    out.begin.resize(std::size_t{term_count} + 1);
    std::size_t total = 0;
    for (std::uint32_t t = 0; t < term_count; ++t) {
        const std::span<const std::uint32_t> r = reached.of(comps.of[t]);
        // A term on a cycle is in its own reach already.
        if (add_self[t] && std::binary_search(r.begin(), r.end(), t)) add_self[t] = false;
        out.begin[t] = total;
        total += r.size() + (add_self[t] ? 1 : 0);
    }
    out.begin[term_count] = total;
    if (total > out.items.max_size()) throw std::bad_alloc();
    // Reserved, not resized: zeroing a large result first would cost a pass over it with no
    // checkpoint.
    out.items.reserve(total);
    for (std::uint32_t t = 0; t < term_count; ++t) {
        reach(checkpoint);
        const std::span<const std::uint32_t> r = reached.of(comps.of[t]);
        if (!add_self[t]) {
            out.items.insert(out.items.end(), r.begin(), r.end());
            continue;
        }
        const auto split = std::lower_bound(r.begin(), r.end(), t);
        out.items.insert(out.items.end(), r.begin(), split);
        out.items.push_back(t);
        out.items.insert(out.items.end(), split, r.end());
    }
    return out;
}

NumberedEdges number_followed_edges(const TripleList& rows, const TermSet* follow) {
    NumberedEdges out;
    TermNumbering numbering;
    // Ontologies have about two edges per term; a guess that spares most rehashes.
    numbering.reserve(rows.size() / 2);
    out.edges.reserve(rows.size());
    out.edge_predicates.reserve(rows.size());

    // Rows usually come grouped by child and share a handful of predicates: a child or predicate
    // equal to the previous row's reuses its number or its verdict without a probe.
    Term last_predicate, last_child;
    bool have_predicate = false, followed = false;
    TermMap<std::uint32_t> predicate_numbers;
    std::uint32_t predicate_number = 0;
    std::uint32_t last_child_number = kNone;
    auto number = [&](Term text, std::size_t where) {
        const std::uint32_t n = numbering.number(text);
        if (n == out.first_seen.size()) out.first_seen.push_back(where);
        return n;
    };
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const Triple& row = rows[r];
        if (!have_predicate || !same_text(row.predicate, last_predicate)) {
            followed = follow == nullptr || follow->contains(row.predicate);
            last_predicate = row.predicate;
            have_predicate = true;
            if (followed) {
                const auto [it, added] = predicate_numbers.try_emplace(
                    row.predicate, static_cast<std::uint32_t>(out.predicate_texts.size()));
                if (added) out.predicate_texts.push_back(row.predicate);
                predicate_number = it->second;
            }
        }
        if (!followed) continue;
        if (last_child_number == kNone || !same_text(row.subject, last_child)) {
            last_child_number = number(row.subject, 2 * r);
            last_child = row.subject;
        }
        out.edges.push_back({last_child_number, number(row.object, 2 * r + 1)});
        out.edge_predicates.push_back(predicate_number);
    }
    out.texts = numbering.release_texts();
    return out;
}

}  // namespace ontarix
