#include "python/closure_index_class.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "core/annotation_ic.hpp"
#include "core/association_reader.hpp"
#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/fault.hpp"
#include "core/index_state.hpp"
#include "core/lock_free_section.hpp"
#include "core/profile_measures.hpp"
#include "core/similarity_record.hpp"
#include "core/top_k_lists.hpp"
#include "core/transitive_closure.hpp"
#include "python/call_boundary.hpp"
#include "python/convert.hpp"
#include "python/index_input.hpp"
#include "python/index_measures.hpp"
#include "python/index_pvalues.hpp"
#include "python/interpreter_waiter.hpp"
#include "python/numpy_matrix.hpp"
#include "python/owned_object.hpp"
#include "python/panic.hpp"
#include "python/prepared_profiles.hpp"
#include "python/record_class.hpp"
#include "python/str_edges.hpp"
#include "python/str_triples.hpp"

namespace ontarix::py {
namespace {

using IndexObject = OwnedObject<ClosureIndex>;

PyTypeObject* g_type = nullptr;  // created once, never released

PyRef wrap(PyTypeObject* type, ClosureIndex&& index) {
    return wrap_owned(type, std::make_unique<ClosureIndex>(std::move(index)));
}

// ---- signatures ------------------------------------------------------------------------------

using Params = std::array<const char*, kMaxParams>;
InternedParams g_kNew_names;
constexpr FunctionSpec kNew{"ClosureIndex",    nullptr, {"closure_table", "predicates", "information_content"},
                            3, 1, &g_kNew_names, 2, "ClosureIndex", true, 0, true};
ONTARIX_INDEX_METHOD(kFromFile, "from_file", (Params{"closure_file", "information_content"}), 2, 1,
                     1, 1);
ONTARIX_INDEX_METHOD(kFromRelationships, "from_relationships",
                     (Params{"list_of_tuples", "follow", "reflexive", "information_content",
                             "wang_weights"}),
                     5, 1, 1, 1);
ONTARIX_INDEX_METHOD(kFromState, "_from_state", (Params{"state"}), 1, 1, 1, 1);
ONTARIX_INDEX_METHOD(kWithIc, "with_information_content", (Params{"information_content"}), 1, 1, 1,
                     1);
ONTARIX_INDEX_METHOD(kAnnotationIc, "annotation_information_content",
                     (Params{"annotations", "count"}), 2, 1, 1, 1);
ONTARIX_INDEX_METHOD(kAncestors, "ancestors", (Params{"term"}), 1, 1, 1, 1);
ONTARIX_INDEX_METHOD(kInformationContent, "information_content", (Params{"term"}), 1, 1, 1, 1);
ONTARIX_INDEX_METHOD(kPrepare, "prepare", (Params{"profiles"}), 1, 1, 1, 1);
ONTARIX_INDEX_METHOD(kTopKPiece, "_top_k_piece",
                     (Params{"queries", "candidates", "piece", "k", "measure", "combine",
                             "threads"}),
                     7, 3, 3, 1);
ONTARIX_INDEX_METHOD(kMergeTopK, "_merge_top_k",
                     (Params{"query_names", "candidate_names", "pieces", "k"}), 4, 4, 4, 0);
// The slots without arguments (__reduce__, __repr__), for their out-of-memory rule.
constexpr FunctionSpec kReduce{"__reduce__", nullptr, {}, 0, 0, nullptr, kAllPositional, "ClosureIndex.__reduce__", true, 1, true};

constexpr std::array<const FunctionSpec*, 11> kSpecs{
    &kNew, &kFromFile, &kFromRelationships, &kFromState, &kWithIc, &kAnnotationIc, &kAncestors,
    &kInformationContent, &kPrepare, &kTopKPiece, &kMergeTopK};

using Method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// ---- construction -----------------------------------------------------------------------------
// Every constructor builds the structure first, from arguments whose views stay valid only while
// no Python code runs; the structure copies every text before it releases the interpreter lock.
// Only then are the arguments whose conversion runs Python code (a custom IC's values, weights)
// read, and the index finished.

// The index of `structure` with the information content `ic` (nothing: the table's own). The
// long part runs without the interpreter lock.
PyRef finish_with(PyTypeObject* type, std::shared_ptr<const IndexStructure> structure,
                  std::optional<std::vector<double>> ic) {
    if (!ic && structure->counts.size() != structure->size()) {
        throw_error(PyExc_ValueError,
                    PyUnicode_FromString("the table's own information content is unknown: this "
                                         "index was restored from a state that does not hold it"));
    }
    InterpreterWaiter waiter;
    ClosureIndex index = [&] {
        LockFreeSection section(waiter);
        return ic ? finish_index(std::move(structure), std::move(*ic), true, &section)
                  : finish_index(std::move(structure), nullptr, &section);
    }();
    return wrap(type, std::move(index));
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded_call([&] { return with_memory_rule(kNew, [&]() -> PyObject* {
        const BoundArgs a = bind_tuple_arguments(kNew, args, kwargs);
        std::unique_ptr<IndexStructure> structure;
        {
            // The rows view the table's strs; nothing runs Python code until the structure owns
            // copies.
            const ClosureRows rows = convert_argument(kNew, a, 0, closure_rows_from_dict);
            const std::optional<TermSet> predicates =
                convert_argument(kNew, a, 1, to_optional_term_set);
            InterpreterWaiter waiter;
            structure = build_structure(rows, predicates ? &*predicates : nullptr, &waiter);
        }
        // A custom IC's values may run Python code: the structure no longer views the table.
        auto ic = information_content_values(kNew, "information_content", a[2], *structure);
        return finish_with(type, std::move(structure), std::move(ic)).release();
    }); });
}

// A file failure as the interpreter reports file failures; anything else as it is.
[[noreturn]] void raise_file_fault(const Fault& fault, PyObject* path) {
    const FaultCause& cause = fault.cause();
    switch (cause.kind) {
        case FaultCause::Kind::Os:
            errno = cause.os_error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            throw PythonError{};
        case FaultCause::Kind::BadPath:
            throw_error(PyExc_ValueError, PyUnicode_FromString("embedded null byte"));
        case FaultCause::Kind::Content:
            throw_error(PyExc_ValueError,
                        PyUnicode_FromFormat("%S: line %llu (byte offset %llu): %s", path,
                                             static_cast<unsigned long long>(cause.line),
                                             static_cast<unsigned long long>(cause.byte),
                                             cause.detail.c_str()));
        case FaultCause::Kind::Internal:
            break;
    }
    static_cast<void>(fault);
    throw;  // called inside the handler of `fault`
}

PyObject* from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return call_function(kFromFile, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        PyRef path = PyRef::steal(PyOS_FSPath(a[0]));
        if (!path) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
            PyErr_Clear();
            raise_argument_type(kFromFile, "closure_file", "str, bytes or os.PathLike", a[0]);
        }
        PyObject* encoded_raw = nullptr;
        if (PyUnicode_FSConverter(path.get(), &encoded_raw) == 0) throw_pending();
        const PyRef encoded = PyRef::steal(encoded_raw);
        // Converted before the file is read, so that a wrong argument costs no reading; it owns
        // its keys.
        const auto ic = information_content_argument(kFromFile, "information_content", a[1]);

        StringArena arena;
        TermNumbering terms(&arena);
        NumberedAssociations closure;
        // A FIFO or a pipe waits for its writer the way the interpreter's own reads do.
        InterpreterWaiter waiter;
        try {
            const std::string_view file(PyBytes_AS_STRING(encoded.get()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
            closure = parse_numbered_associations(read_file(file, waiter), terms, terms);
        } catch (const Fault& fault) {
            raise_file_fault(fault, path.get());
        }
        ClosureRows rows;
        rows.texts = terms.texts();
        rows.predicate_texts.push_back(Term());
        for (std::uint32_t key = 0; key < closure.ranges.size(); ++key) {
            const NumberedAssociations::Range range = closure.ranges[key];
            if (range.begin == range.end) continue;
            rows.subjects.push_back(key);
            rows.groups.push_back({key, 0, range.begin, range.end});
        }
        rows.objects = std::move(closure.values);
        std::shared_ptr<const IndexStructure> structure = build_structure(rows, nullptr, &waiter);
        std::optional<std::vector<double>> values;
        if (ic) values = ic_by_text(*structure, ic->map);
        return finish_with(reinterpret_cast<PyTypeObject*>(cls), std::move(structure),
                           std::move(values));
    });
}

// Wang's edge weights: a mapping of predicate to a weight in (0, 1]; predicates it lacks weigh
// kOtherWeight. Without a mapping, the field's usual weights.
constexpr double kIsAWeight = 0.8;
constexpr double kPartOfWeight = 0.6;
constexpr double kOtherWeight = 0.7;

std::unique_ptr<OwnedScores> wang_weights_argument(const FunctionSpec& f, PyObject* obj) {
    std::unique_ptr<OwnedScores> weights = information_content_argument(f, "wang_weights", obj);
    if (!weights) {
        weights = std::make_unique<OwnedScores>();
        weights->map.emplace("is_a", kIsAWeight);
        weights->map.emplace("part_of", kPartOfWeight);
        return weights;
    }
    for (const auto& [predicate, weight] : weights->map) {
        if (weight > 0.0 && weight <= 1.0) continue;
        const PyRef name = str_to_py(predicate);
        const PyRef value = float_to_py(weight);
        throw_error(PyExc_ValueError,
                    PyUnicode_FromFormat("%s() argument 'wang_weights' must map each predicate to "
                                         "a weight in (0, 1], not %R for %R",
                                         f.shown_name(), value.get(), name.get()));
    }
    return weights;
}

PyObject* from_relationships(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return call_function(kFromRelationships, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        std::unique_ptr<IndexStructure> structure;
        {
            // Converted as closure_from_relationships converts them, with the same errors. Rows
            // of exact strs are numbered by their strs; any others are converted first.
            const bool exact = exact_str_rows(kFromRelationships, a);
            Anchor anchor;
            TripleList rows;
            if (!exact) {
                rows = convert_argument(kFromRelationships, a, 0,
                                        [&](PyObject* o) { return to_triple_list(o, anchor); });
            }
            const std::optional<TermSet> follow =
                convert_argument(kFromRelationships, a, 1, to_predicate_filter);
            const bool reflexive =
                a[2] != nullptr && convert_argument(kFromRelationships, a, 2, to_bool);
            NumberedEdges graph =
                exact ? number_exact_str_edges(a[0], follow ? &*follow : nullptr).graph
                      : number_followed_edges(rows, follow ? &*follow : nullptr);
            InterpreterWaiter waiter;
            structure = build_structure(std::move(graph), reflexive, &waiter);
        }
        // Python code may run from here on (values' __float__, a mapping's items()): the
        // structure owns its texts.
        auto ic = information_content_values(kFromRelationships, "information_content", a[3],
                                             *structure);
        const auto weights = wang_weights_argument(kFromRelationships, a[4]);
        weigh_edges(*structure, [&](Term predicate) {
            const auto found = weights->map.find(predicate);
            return found != weights->map.end() ? found->second : kOtherWeight;
        });
        return finish_with(reinterpret_cast<PyTypeObject*>(cls), std::move(structure),
                           std::move(ic));
    });
}

PyObject* from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return call_function(kFromState, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        Py_buffer view;
        if (PyObject_GetBuffer(a[0], &view, PyBUF_SIMPLE) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
            PyErr_Clear();
            raise_argument_type(kFromState, "state", "a bytes-like object", a[0]);
        }
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
        std::optional<ClosureIndex> index;
        try {
            index.emplace(load_index_state(std::string_view(static_cast<const char*>(view.buf),
                                                            static_cast<std::size_t>(view.len))));
        } catch (const Fault& fault) {
            if (fault.cause().kind != FaultCause::Kind::Content) throw;
            throw_error(PyExc_ValueError, PyUnicode_FromString(fault.message().c_str()));
        }
        return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(*index));
    });
}

PyObject* with_information_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return call_function(kWithIc, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        auto ic = information_content_values(kWithIc, "information_content", a[0],
                                             index.structure());
        // An index restored from an older state may lack its frequencies, but if it kept its own
        // IC, that is the answer.
        if (!ic && !index.custom_ic()) return PyRef::borrow(self);
        return finish_with(Py_TYPE(self), index.shared_structure(), std::move(ic));
    });
}

PyObject* annotation_information_content(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kAnnotationIc, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const bool per_entry =
            a[1] != nullptr &&
            measure_choice(kAnnotationIc, "count", a[1], {"objects", "annotations"}) == 1;
        const AnnotationTerms terms =
            annotation_terms(kAnnotationIc, "annotations", a[0], index, per_entry);
        std::vector<std::uint64_t> counts;
        std::uint64_t total = 0;
        {
            InterpreterWaiter waiter;
            LockFreeSection section(waiter);
            if (per_entry) {
                counts = annotations_per_term(index.structure(), terms.entries);
                total = terms.total_entries;
            } else {
                counts = objects_per_term(index.structure(), terms.objects);
                total = terms.object_count;
            }
        }
        const GcPause pause;
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) throw_pending();
        for (std::uint32_t t = 0; t < counts.size(); ++t) {
            if (counts[t] == 0) continue;
            const PyRef key = str_to_py(index.text(t));
            const PyRef value = float_to_py(annotation_ic(counts[t], total));
            if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) throw_pending();
        }
        return out;
    });
}

PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guarded_call([&] { return with_memory_rule(kReduce, [&]() -> PyObject* {
        const PyRef constructor = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
        if (!constructor) throw_pending();
        const std::string state = save_index_state(index_of(self));
        PyRef bytes = PyRef::steal(
            PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
        if (!bytes) throw_pending();
        PyObject* out = Py_BuildValue("(O(O))", constructor.get(), bytes.get());
        if (out == nullptr) throw_pending();
        return out;
    }); });
}

// Immutable: a copy may be the object itself.
PyObject* copy_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

// ---- small protocol ----------------------------------------------------------------------------

Py_ssize_t length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(index_of(self).subject_count());
}

int contains(PyObject* self, PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) return 0;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();  // a lone surrogate names no term
        return 0;
    }
    const ClosureIndex& index = index_of(self);
    const std::uint32_t t = index.find(Term(text, static_cast<std::size_t>(size)));
    return index.is_subject(t) ? 1 : 0;
}

PyObject* repr(PyObject* self) noexcept {
    return guarded_call([&] { return with_memory_rule(kReduce, [&]() -> PyObject* {
        const ClosureIndex& index = index_of(self);
        PyObject* out = PyUnicode_FromFormat(
            "<ontarix.ClosureIndex: %zu subjects, %zu terms, %zu expansion entries, %s>",
            index.subject_count(), static_cast<std::size_t>(index.size()),
            index.expansions().items.size(),
            index.custom_ic() ? "custom information content" : "information content of the table");
        if (out == nullptr) throw_pending();
        return out;
    }); });
}

// ---- term measures ----------------------------------------------------------------------------

std::uint32_t term_number(const ClosureIndex& index, const FunctionSpec& f, const BoundArgs& a,
                          std::size_t i) {
    return index.find(term_argument(f, f.params[i], a[i]));
}

PyObject* ancestors(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return call_function(kAncestors, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        return term_set_to_py(index.expansions().of(term_number(index, kAncestors, a, 0)),
                              index.texts());
    });
}

PyObject* information_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return call_function(kInformationContent, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const std::uint32_t t = term_number(index, kInformationContent, a, 0);
        return float_to_py(index.ic_of(t));
    });
}

// ---- searches in pieces (the measure methods are in index_measures.cpp) ---------------------

PyObject* prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return call_function(kPrepare, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        return prepare_profiles(kPrepare, self, index_of(self), a[0]);
    });
}

// One piece of a top_k search, for a search cut into pieces (a cluster): the pairs of query
// positions [r0, r1) and candidate positions [c0, c1), as compact partial lists.
PyObject* top_k_piece(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return call_function(kTopKPiece, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        Py_ssize_t r0 = 0, r1 = 0, c0 = 0, c1 = 0;
        if (!PyTuple_Check(a[2]) || !PyArg_ParseTuple(a[2], "nnnn", &r0, &r1, &c0, &c1)) {
            if (PyErr_Occurred() != nullptr) PyErr_Clear();
            raise_argument_type(kTopKPiece, "piece", "a tuple of four ints", a[2]);
        }
        const std::size_t k = a[3] == nullptr ? 10 : positive_count(kTopKPiece, "k", a[3]);
        const ProfileScoring scoring =
            profile_scoring(kTopKPiece, a[4], a[5], ProfileMeasure::Phenomizer);
        const unsigned threads = thread_count(kTopKPiece, "threads", a[6]);
        wang_if_needed(kTopKPiece, index, scoring);
        const bool expanded = scoring.measure == ProfileMeasure::ExpandedJaccard;
        const bool all_vs_all = a[1] == nullptr || a[1] == Py_None;
        ProfileNumbering numbering = call_numbering(index, std::array{a[0], a[1]});
        const CallProfiles queries({&kTopKPiece, "queries", expanded}, a[0], numbering, index);
        const CallProfiles others =
            all_vs_all ? CallProfiles()
                       : CallProfiles({&kTopKPiece, "candidates", expanded}, a[1], numbering, index);
        const CallProfiles& candidates = all_vs_all ? queries : others;
        const auto n = static_cast<Py_ssize_t>(queries.size());
        const auto m = static_cast<Py_ssize_t>(candidates.size());
        if (!(0 <= r0 && r0 <= r1 && r1 <= n && 0 <= c0 && c0 <= c1 && c1 <= m) ||
            (all_vs_all && !((r0 == c0 && r1 == c1) || r1 <= c0 || c1 <= r0))) {
            throw_error(PyExc_ValueError,
                        PyUnicode_FromFormat("ClosureIndex._top_k_piece() argument 'piece' must "
                                             "hold two ranges within the queries and candidates "
                                             "(for all-vs-all, equal or disjoint), not %R",
                                             a[2]));
        }
        std::optional<NeighbourOrder> made;
        const NeighbourOrder& order = candidates.order() != nullptr
                                          ? *candidates.order()
                                          : made.emplace(candidates.name_texts());
        const std::size_t available = all_vs_all ? candidates.size() - (m > 0 ? 1 : 0)
                                                 : candidates.size();
        PartialNeighbours piece;
        {
            InterpreterWaiter waiter;
            piece = profile_top_k_piece(
                index, queries.profiles(), candidates.profiles(), all_vs_all,
                {static_cast<std::size_t>(r0), static_cast<std::size_t>(r1)},
                {static_cast<std::size_t>(c0), static_cast<std::size_t>(c1)}, order,
                std::min(k, available), scoring,
                {threads, &waiter, numbering.space(), queries.cache(), candidates.cache()});
        }
        const std::string bytes = save_partial_neighbours(piece);
        PyRef out = PyRef::steal(
            PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        if (!out) throw_pending();
        return out;
    });
}

// The names of a sequence of str, held, with views of their text.
struct NameList {
    std::vector<PyRef> names;
    std::vector<Term> texts;
};

NameList name_list(const FunctionSpec& f, const char* param, PyObject* obj) {
    const PyRef items = PyRef::steal(PySequence_Fast(obj, ""));
    if (!items || PyUnicode_Check(obj)) {
        if (items || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_argument_type(f, param, "a sequence of str", obj);
        }
        throw_pending();
    }
    NameList out;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.names.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
        out.names.push_back(PyRef::borrow(name));
        out.texts.push_back(term_argument(f, param, name));
    }
    return out;
}

// Merges pieces from _top_k_piece into the lists of the whole search, as top_k returns them.
PyObject* merge_top_k(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return call_function(kMergeTopK, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const NameList queries = name_list(kMergeTopK, "query_names", a[0]);
        const bool all_vs_all = a[1] == Py_None;
        const NameList others = all_vs_all ? NameList() : name_list(kMergeTopK, "candidate_names", a[1]);
        const NameList& candidates = all_vs_all ? queries : others;
        const std::size_t k = positive_count(kMergeTopK, "k", a[3]);
        const std::size_t available =
            all_vs_all ? candidates.names.size() - std::min<std::size_t>(candidates.names.size(), 1)
                       : candidates.names.size();
        const NeighbourOrder order(candidates.texts);
        TopKLists lists(queries.names.size(), std::min(k, available), order);
        const PyRef iterator = PyRef::steal(PyObject_GetIter(a[2]));
        if (!iterator) throw_pending();
        while (PyObject* raw = PyIter_Next(iterator.get())) {
            const PyRef piece = PyRef::steal(raw);
            if (!PyBytes_Check(piece.get())) {
                raise_argument_type(kMergeTopK, "pieces", "an iterable of bytes", piece.get());
            }
            PartialNeighbours partial;
            try {
                partial = load_partial_neighbours(
                    std::string_view(PyBytes_AS_STRING(piece.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(piece.get()))),
                    queries.names.size(), candidates.names.size());
            } catch (const Fault& fault) {
                if (fault.cause().kind != FaultCause::Kind::Content) throw;
                throw_error(PyExc_ValueError, PyUnicode_FromString(fault.message().c_str()));
            }
            for (std::size_t l = 0; l < partial.queries.size(); ++l) {
                for (std::size_t e = partial.lists.begin[l]; e < partial.lists.begin[l + 1]; ++e) {
                    lists.offer(partial.queries[l], partial.lists.items[e]);
                }
            }
        }
        if (PyErr_Occurred() != nullptr) throw_pending();
        return neighbour_dict(queries.names, candidates.names, lists.sorted());
    });
}

// ---- the type -----------------------------------------------------------------------------------

constexpr const char kClassDoc[] =
    "ClosureIndex(closure_table, predicates=None, *, information_content=None)\n--\n\n"
    "A closure table prepared once for any number of similarity queries.\n"
    "\n"
    "closure_table and predicates are what semantic_jaccard_similarity and\n"
    "max_information_content take: {term: {predicate: {terms it reaches}}}, and the\n"
    "predicates to follow (None: all). The index keeps each term's expansion and\n"
    "information content, so every measure is answered in microseconds, and batches\n"
    "run on several threads without the interpreter lock.\n"
    "\n"
    "information_content: None estimates it from the table itself, exactly as\n"
    "max_information_content does (-log2(count / total) over the rows within the\n"
    "filter); a mapping of str to float supplies it instead (terms it lacks have 0.0).\n"
    "\n"
    "Terms the index lacks have an empty expansion, as in the module functions.\n"
    "Ties between terms always go to the smallest term in UTF-8 byte order, so every\n"
    "answer is the same in every process. An index is immutable and may be shared\n"
    "between threads; it pickles in a compact form.";

PyMethodDef method(const FunctionSpec& f, Method fn, int extra_flags, const char* doc) {
    return {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// The construction and reading methods; the measure methods (index_measures.cpp) and the p-value
// methods (index_pvalues.cpp) join them when the type is made.
PyMethodDef g_own_methods[] = {
    method(kFromFile, from_file, METH_CLASS,
           "from_file($type, closure_file, *, information_content=None)\n--\n\n"
           "The index of a closure association file, as run reads it: comma-separated\n"
           "'term,term it expands to' lines (UTF-8, no header). Problems with the file raise\n"
           "OSError (FileNotFoundError, PermissionError, IsADirectoryError, ...); malformed\n"
           "content raises ValueError naming the line and byte offset."),
    method(kFromRelationships, from_relationships, METH_CLASS,
           "from_relationships($type, list_of_tuples, *, follow=None, reflexive=False, "
           "information_content=None, wang_weights=None)\n--\n\n"
           "The index of the transitive closure of (child, predicate, parent) rows: the\n"
           "closure that closure_from_relationships returns, built straight into the index\n"
           "without the dict in between. follow and reflexive as there; the rows and follow\n"
           "are converted with the same errors.\n"
           "\n"
           "The index keeps the followed edges for Wang's measure. wang_weights maps a\n"
           "predicate to the weight of its edges, in (0, 1]; None means\n"
           "{'is_a': 0.8, 'part_of': 0.6}. Followed predicates the mapping lacks weigh 0.7."),
    method(kWithIc, with_information_content, 0,
           "with_information_content($self, information_content)\n--\n\n"
           "A new index over the same terms and expansions with another information content:\n"
           "a mapping of str to float (terms it lacks have 0.0), or None for the table's own.\n"
           "Nothing is read again and the expansions are shared, so it costs a fraction of a\n"
           "build."),
    method(kAnnotationIc, annotation_information_content, 0,
           "annotation_information_content($self, annotations, *, count='objects')\n--\n\n"
           "The information content of the index's terms estimated from an annotation corpus,\n"
           "as a dict of term to -ln(frequency). annotations maps each object (a gene, a\n"
           "disease) to an iterable of terms; every annotation holds for the term and for\n"
           "everything its expansion holds.\n"
           "\n"
           "count='objects': n_t is the number of objects annotated with t or with a term\n"
           "whose expansion holds t, and IC(t) = -ln(n_t / number of objects) (hpo3's\n"
           "convention). count='annotations': every element of an object's iterable is one\n"
           "annotation entry (pass a list to keep repeated rows), n_t is the entries on t plus\n"
           "the entries on every other term whose expansion holds t, and IC(t) =\n"
           "-ln(n_t / total entries) (GOSemSim's computeIC). Terms with n_t = 0 are left out;\n"
           "terms the index lacks count only in the totals. Pass the result to\n"
           "with_information_content."),
    method(kFromState, from_state, METH_CLASS,
           "_from_state($type, state)\n--\n\n"
           "Rebuilds an index from its stored form (used by pickle)."),
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickle support."},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\nThe index itself (immutable)."},
    {"__deepcopy__", copy_self, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe index itself (immutable)."},
    method(kAncestors, ancestors, 0,
           "ancestors($self, term)\n--\n\n"
           "The terms that term expands to (a new set; empty for a term the index lacks)."),
    method(kInformationContent, information_content, 0,
           "information_content($self, term)\n--\n\n"
           "The information content the index uses for term (0.0 for a term it lacks)."),
    method(kPrepare, prepare, 0,
           "prepare($self, profiles)\n--\n\n"
           "The named sets of terms of `profiles` (a mapping of str to sets of str) converted\n"
           "once, as a PreparedProfiles: pass it instead of the mapping wherever named\n"
           "profiles or sequences of sets are taken, for the same results without converting\n"
           "the sets on every call. Errors as for the mapping; the object does not change when\n"
           "the mapping does."),
    method(kTopKPiece, top_k_piece, 0,
           "_top_k_piece($self, queries, candidates, piece, *, k=10, measure='phenomizer', "
           "combine=None, threads=None)\n--\n\n"
           "One piece of top_k(queries, candidates, k=k, measure=measure, combine=combine),\n"
           "for a search cut into pieces: piece = (r0, r1, c0, c1), the pairs of the queries\n"
           "at positions [r0, r1) (in the mapping's order) and the candidates at [c0, c1).\n"
           "With candidates=None (all-vs-all) the two ranges are equal (each pair of the range\n"
           "once) or disjoint (each pair once, for both queries). Returns the piece's lists as\n"
           "bytes for _merge_top_k."),
    method(kMergeTopK, merge_top_k, METH_STATIC,
           "_merge_top_k(query_names, candidate_names, pieces, k)\n--\n\n"
           "The lists of a whole top_k search from the pieces that partition its pairs (each\n"
           "pair in exactly one piece): what top_k returns, in the same order. candidate_names\n"
           "is None for an all-vs-all search."),
};
std::vector<PyMethodDef> g_methods;  // both tables and the sentinel; filled once

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owned<ClosureIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, nullptr},  // g_methods, once filled
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "ontarix.ClosureIndex",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

const ClosureIndex& index_of(PyObject* self) { return owned_value<ClosureIndex>(self); }
const ClosureIndex* closure_index_of(PyObject* obj) noexcept {
    return owned_value_if<ClosureIndex>(obj, g_type);
}

PyTypeObject* closure_index_type() {
    if (g_type == nullptr) {
        for (const FunctionSpec* f : kSpecs) {
            if (!intern_parameter_names(*f)) throw_pending();
        }
        if (!intern_measure_parameters() || !intern_pvalue_parameters()) throw_pending();
        g_methods.assign(std::begin(g_own_methods), std::end(g_own_methods));
        const std::span<const PyMethodDef> measures = measure_methods();
        g_methods.insert(g_methods.end(), measures.begin(), measures.end());
        const std::span<const PyMethodDef> pvalues = pvalue_methods();
        g_methods.insert(g_methods.end(), pvalues.begin(), pvalues.end());
        g_methods.push_back({nullptr, nullptr, 0, nullptr});
        for (PyType_Slot& slot : g_slots) {
            if (slot.slot == Py_tp_methods) slot.pfunc = g_methods.data();
        }
        PyObject* type = PyType_FromSpec(&g_spec);
        if (type == nullptr) throw_pending();
        g_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return g_type;
}

}  // namespace ontarix::py
