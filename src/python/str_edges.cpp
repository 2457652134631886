#include "python/str_edges.hpp"

#include "python/convert.hpp"
#include "python/str_numbering.hpp"

namespace ontarix::py {

StrEdges number_exact_str_edges(PyObject* rows, const TermSet* follow) {
    PyObject* const* const items = PySequence_Fast_ITEMS(rows);
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows));
    StrEdges out;
    // Ontologies have about two edges per term.
    StrNumbering terms(count / 2);
    out.graph.edges.reserve(count);
    out.graph.edge_predicates.reserve(count);
    // Rows usually come grouped by child and share a handful of predicate objects: a child or
    // predicate that is the previous row's object reuses its number or verdict without a probe.
    PyObject* last_predicate = nullptr;
    bool followed = false;
    TermMap<std::uint32_t> predicate_numbers;
    std::uint32_t predicate_number = 0;
    PyObject* last_child = nullptr;
    std::uint32_t last_child_number = 0;
    auto number = [&](PyObject* str) {
        const std::uint32_t n = terms.number(str, PyObject_Hash(str), out.graph.texts);
        if (n == out.strings.size()) out.strings.push_back(str);
        return n;
    };
    for (std::size_t r = 0; r < count; ++r) {
        PyObject* const row = items[r];
        PyObject* const predicate = PyTuple_GET_ITEM(row, 1);
        if (predicate != last_predicate) {
            const Term text = to_term(predicate);
            followed = follow == nullptr || follow->contains(text);
            last_predicate = predicate;
            if (followed) {
                const auto [it, added] = predicate_numbers.try_emplace(
                    text, static_cast<std::uint32_t>(out.graph.predicate_texts.size()));
                if (added) out.graph.predicate_texts.push_back(text);
                predicate_number = it->second;
            }
        }
        if (!followed) continue;
        PyObject* const child = PyTuple_GET_ITEM(row, 0);
        if (child != last_child) {
            last_child_number = number(child);
            last_child = child;
        }
        out.graph.edges.push_back({last_child_number, number(PyTuple_GET_ITEM(row, 2))});
        out.graph.edge_predicates.push_back(predicate_number);
    }
    return out;
}

}  // namespace ontarix::py
