#include "python/functions.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "core/batch_run.hpp"
#include "core/closure_table.hpp"
#include "core/intersection.hpp"
#include "core/numericize.hpp"
#include "core/similarity.hpp"
#include "core/terms.hpp"
#include "core/transitive_closure.hpp"
#include "python/call_boundary.hpp"
#include "python/convert.hpp"
#include "python/interpreter_waiter.hpp"
#include "python/record_class.hpp"
#include "python/str_closure.hpp"
#include "python/str_scores.hpp"
#include "python/str_sets.hpp"
#include "python/str_edges.hpp"
#include "python/str_triples.hpp"

namespace ontarix::py {
namespace {

// ---- signatures ------------------------------------------------------------------------------

// What each parameter converts to. Only used to check the signatures below at compile time.
enum class Kind { String, Set, OptionalSet, ScoreMap, PairwiseTable, Closure, Triples, Bool };

// Conversions that may run Python code must come first, so that no view taken from an earlier
// argument is exposed to that code (see the lifetime policy in convert.hpp).
constexpr bool runs_python(Kind k) {
    return k == Kind::ScoreMap || k == Kind::PairwiseTable || k == Kind::Triples;
}
template <std::size_t N>
constexpr bool code_running_params_lead(const std::array<Kind, N>& kinds) {
    bool seen_inert = false;
    for (Kind k : kinds) {
        if (runs_python(k) && seen_inert) return false;
        if (!runs_python(k)) seen_inert = true;
    }
    return true;
}

InternedParams g_run_names, g_jaccard_names, g_mrca_names, g_intersection_names,
    g_semantic_names, g_closure_names, g_phenomizer_names, g_max_ic_names, g_from_edges_names;

constexpr FunctionSpec kRun{"run", "run(input_file, closure_file)\n--\n\n",
                            {"input_file", "closure_file"}, 2, 2, &g_run_names};
constexpr FunctionSpec kJaccard{"jaccard_similarity", "jaccard_similarity(set1, set2)\n--\n\n",
                                {"set1", "set2"}, 2, 2, &g_jaccard_names};
constexpr FunctionSpec kMrca{"mrca_and_score", "mrca_and_score(map)\n--\n\n", {"map"}, 1, 1,
                             &g_mrca_names};
constexpr FunctionSpec kIntersection{"get_intersection", "get_intersection(set1, set2)\n--\n\n",
                                     {"set1", "set2"}, 2, 2, &g_intersection_names};
constexpr FunctionSpec kSemantic{
    "semantic_jaccard_similarity",
    "semantic_jaccard_similarity(closure_table, entity1, entity2, predicates=...)\n--\n\n",
    {"closure_table", "entity1", "entity2", "predicates"}, 4, 3, &g_semantic_names};
constexpr FunctionSpec kClosure{"relationships_to_closure_table",
                                "relationships_to_closure_table(list_of_tuples)\n--\n\n",
                                {"list_of_tuples"}, 1, 1, &g_closure_names};
constexpr FunctionSpec kPhenomizer{"phenomizer_score",
                                   "phenomizer_score(map, entity1, entity2)\n--\n\n",
                                   {"map", "entity1", "entity2"}, 3, 3, &g_phenomizer_names};
constexpr FunctionSpec kMaxIc{
    "max_information_content",
    "max_information_content(closure_table, entity1, entity2, predicates=...)\n--\n\n",
    {"closure_table", "entity1", "entity2", "predicates"}, 4, 3, &g_max_ic_names};

// Options after the rows are keyword-only: by position they would read as riddles.
constexpr FunctionSpec kFromEdges{
    "closure_from_relationships",
    "closure_from_relationships(list_of_tuples, *, follow=None, reflexive=False, "
    "label='rdfs:subClassOf')\n--\n\n"
    "The transitive closure of (child, predicate, parent) rows, as a closure table.\n"
    "\n"
    "Every term with at least one edge of a followed predicate maps to\n"
    "{label: the set of terms reachable from it through followed edges}.\n"
    "Terms on a cycle reach each other, themselves included; chains of any\n"
    "depth are walked without recursion.\n"
    "\n"
    "follow: a set of the predicates to traverse; None follows every one,\n"
    "  an empty set none. A bare str is refused: write {'is_a'}.\n"
    "reflexive: True or False; True also lists each term of a followed edge\n"
    "  as its own ancestor, and so keys terms without parents too.\n"
    "label: the predicate key of every inner dict.\n"
    "\n"
    "Rows are read as relationships_to_closure_table reads them, with the\n"
    "same errors.",
    {"list_of_tuples", "follow", "reflexive", "label"},
    4,
    1,
    &g_from_edges_names,
    1,
    nullptr,
    true,
    0,
    true};

static_assert(code_running_params_lead(std::array{Kind::String, Kind::String}));
static_assert(code_running_params_lead(std::array{Kind::Set, Kind::Set}));
static_assert(code_running_params_lead(std::array{Kind::ScoreMap}));
static_assert(code_running_params_lead(
    std::array{Kind::Closure, Kind::String, Kind::String, Kind::OptionalSet}));
static_assert(code_running_params_lead(std::array{Kind::Triples}));
static_assert(code_running_params_lead(std::array{Kind::PairwiseTable, Kind::Set, Kind::Set}));
static_assert(code_running_params_lead(
    std::array{Kind::Triples, Kind::OptionalSet, Kind::Bool, Kind::String}));

// Absent or None: every predicate counts. An empty set is a filter that admits none.
const TermSet* filter_of(const std::optional<TermSet>& predicates) noexcept {
    return predicates.has_value() ? &*predicates : nullptr;
}

// ---- wrappers ---------------------------------------------------------------------------------

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kRun, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        const Term input_file = convert_argument(kRun, a, 0, to_term);
        const Term closure_file = convert_argument(kRun, a, 1, to_term);
        // The files may be FIFOs or pipes that make the call wait.
        InterpreterWaiter waiter;
        // The records own the strings they show, so building the list needs no GC pause.
        return records_to_py(run_batch(input_file, closure_file, waiter));
    });
}

PyObject* jaccard_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return call_function(kJaccard, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (const std::optional<double> index = exact_str_jaccard(kJaccard, a)) [[likely]] {
            return float_to_py(*index);
        }
        // A str subclass among the elements. Both sets are validated already, so these
        // conversions cannot fail on an element.
        const TermSet set1 = to_term_set(a[0]);
        const TermSet set2 = to_term_set(a[1]);
        const NumericizedSets ids = numericize_sets(set1, set2);
        return float_to_py(calculate_jaccard_similarity(ids.first, ids.second));
    });
}

PyObject* mrca_and_score(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return call_function(kMrca, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (PyRef best = exact_str_mrca_and_score(kMrca, a)) [[likely]] return best;
        // A str subclass, a score that needs Python code, or an empty map (whose fault the core
        // raises). No Python code has run yet, so the conversion meets what validation met.
        Anchor anchor;
        const TermScoreMap map = convert_argument(
            kMrca, a, 0, [&](PyObject* o) { return to_term_score_map(o, anchor); });
        const std::pair<Term, double> best = get_most_recent_common_ancestor_with_score(map);
        const GcPause pause;
        return term_score_to_py(best);
    });
}

PyObject* get_intersection(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return call_function(kIntersection, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (PyRef common = exact_str_intersection(kIntersection, a)) [[likely]] return common;
        // A str subclass among the elements; both sets are validated already.
        const TermSet set1 = to_term_set(a[0]);
        const TermSet set2 = to_term_set(a[1]);
        const auto common = get_intersection_between_sets(set1, set2);
        TermSet result;
        result.reserve(common.walked().size());
        for (const Term& term : common) result.insert(term);
        const GcPause pause;
        return term_set_to_py(result);
    });
}

PyObject* semantic_jaccard_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return call_function(kSemantic, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (plain_closure_arguments(a)) [[likely]] {
            return float_to_py(exact_str_semantic_jaccard(a[0], a[1], a[2], a[3]));
        }
        // A str subclass somewhere, or an error, which the conversions raise in parameter order.
        const ClosureTable table = convert_argument(kSemantic, a, 0, to_closure_table);
        const Term entity1 = convert_argument(kSemantic, a, 1, to_term);
        const Term entity2 = convert_argument(kSemantic, a, 2, to_term);
        const std::optional<TermSet> predicates =
            convert_argument(kSemantic, a, 3, to_optional_term_set);
        return float_to_py(
            calculate_semantic_jaccard_similarity(table, entity1, entity2, filter_of(predicates)));
    });
}

PyObject* relationships_to_closure_table(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    return call_function(kClosure, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (PyRef table = exact_str_closure_table(kClosure, a)) [[likely]] return table;
        // Another sequence type, or a str subclass in a row: no Python code has run and nothing
        // was built, so the conversion meets the rows as validation left them.
        Anchor anchor;
        TripleList rows = convert_argument(
            kClosure, a, 0, [&](PyObject* o) { return to_triple_list(o, anchor); });
        // The flat layout holds the same entries as the hash table and is all the result
        // needs: it is walked once, in order, to build the dicts and sets.
        const FlatClosure table = flatten_closure_rows(rows);
        const GcPause pause;
        return closure_table_to_py(table);
    });
}

PyObject* phenomizer_score(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return call_function(kPhenomizer, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (const std::optional<double> score = exact_str_phenomizer_score(kPhenomizer, a))
            [[likely]] {
            return float_to_py(*score);
        }
        // A str subclass, a score that needs Python code, or a missing pair (whose fault the
        // core raises). No Python code has run yet, so the conversion meets what validation met.
        Anchor anchor;
        const PairwiseScoreTable map = convert_argument(
            kPhenomizer, a, 0, [&](PyObject* o) { return to_pairwise_score_table(o, anchor); });
        const TermSet entity1 = convert_argument(kPhenomizer, a, 1, to_term_set);
        const TermSet entity2 = convert_argument(kPhenomizer, a, 2, to_term_set);
        return float_to_py(calculate_phenomizer_score(map, entity1, entity2));
    });
}

PyObject* max_information_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return call_function(kMaxIc, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        if (plain_closure_arguments(a)) [[likely]] {
            return float_to_py(exact_str_max_information_content(a[0], a[1], a[2], a[3]));
        }
        // A str subclass somewhere, or an error, which the conversions raise in parameter order.
        const ClosureTable table = convert_argument(kMaxIc, a, 0, to_closure_table);
        const Term entity1 = convert_argument(kMaxIc, a, 1, to_term);
        const Term entity2 = convert_argument(kMaxIc, a, 2, to_term);
        const std::optional<TermSet> predicates =
            convert_argument(kMaxIc, a, 3, to_optional_term_set);
        return float_to_py(
            calculate_max_information_content(table, entity1, entity2, filter_of(predicates)));
    });
}

PyObject* closure_from_relationships(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    return call_function(kFromEdges, args, nargs, kwnames, [](const BoundArgs& a) -> PyRef {
        // Rows of exact strs are numbered by their strs, which the result then holds; any others
        // are converted first, and the result holds the caller's plain strs where there are any.
        const bool exact = exact_str_rows(kFromEdges, a);
        Anchor anchor;
        std::vector<PyObject*> row_items;
        TripleList rows;
        if (!exact) {
            rows = convert_argument(kFromEdges, a, 0, [&](PyObject* o) {
                return to_triple_list(o, anchor, &row_items);
            });
        }
        const std::optional<TermSet> follow = convert_argument(kFromEdges, a, 1, to_predicate_filter);
        const bool reflexive =
            a[2] != nullptr && convert_argument(kFromEdges, a, 2, to_bool);
        const Term label = a[3] != nullptr ? convert_argument(kFromEdges, a, 3, to_term)
                                           : Term("rdfs:subClassOf");

        StrEdges exact_edges;
        NumberedEdges graph;
        if (exact) {
            exact_edges = number_exact_str_edges(a[0], filter_of(follow));
            graph = std::move(exact_edges.graph);
        } else {
            graph = number_followed_edges(rows, filter_of(follow));
        }
        // The numbered texts view the caller's strings, not the rows: the rows can go before the
        // closure, the largest native part, is made.
        rows = TripleList();
        const ReachTable reach =
            transitive_closure(static_cast<std::uint32_t>(graph.texts.size()), graph.edges, reflexive);
        graph.edges = std::vector<Edge>();

        const GcPause pause;
        // The caller's label when it is a plain str; a subclass gives way to a plain copy.
        PyRef key;
        if (a[3] != nullptr && PyUnicode_CheckExact(a[3])) {
            key = PyRef::borrow(a[3]);
        } else {
            key = PyRef::steal(
                PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
            if (!key) throw_pending();
        }
        if (exact) {
            // Every str has its hash cached by the numbering.
            return reach_table_to_py(reach, exact_edges.strings, key.get());
        }
        // The result holds the caller's own plain strs (no copies to make, hash or free later).
        const TermStrings strings(graph, row_items);
        return reach_table_to_py(reach, strings.objects(), key.get());
    });
}

// ---- table ------------------------------------------------------------------------------------

using FastcallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const FunctionSpec& f, FastcallWithKeywords fn) {
    // The interpreter dispatches on ml_flags; PyCFunction is only the storage type.
    return {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, f.doc};
}

constexpr std::array<const FunctionSpec*, kFunctionCount> kSpecs{
    &kRun,     &kJaccard,    &kMrca,  &kIntersection, &kSemantic,
    &kClosure, &kPhenomizer, &kMaxIc, &kFromEdges};

std::array<PyMethodDef, kFunctionCount> g_methods{
    method(kRun, run),
    method(kJaccard, jaccard_similarity),
    method(kMrca, mrca_and_score),
    method(kIntersection, get_intersection),
    method(kSemantic, semantic_jaccard_similarity),
    method(kClosure, relationships_to_closure_table),
    method(kPhenomizer, phenomizer_score),
    method(kMaxIc, max_information_content),
    method(kFromEdges, closure_from_relationships),
};

}  // namespace

std::span<PyMethodDef, kFunctionCount> function_table() noexcept { return g_methods; }

bool prepare_function_table() noexcept {
    for (const FunctionSpec* f : kSpecs) {
        if (!intern_parameter_names(*f)) return false;
    }
    return true;
}

}  // namespace ontarix::py
