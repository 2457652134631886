#include "python/null_distributions_class.hpp"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/closure_index.hpp"
#include "core/fault.hpp"
#include "core/profile_cache.hpp"
#include "core/score_distribution_state.hpp"
#include "python/call_boundary.hpp"
#include "python/closure_index_class.hpp"
#include "python/index_input.hpp"
#include "python/index_measures.hpp"
#include "python/index_pvalues.hpp"
#include "python/numpy_matrix.hpp"
#include "python/owned_object.hpp"
#include "python/panic.hpp"
#include "python/prepared_profiles.hpp"

namespace ontarix::py {
namespace {

static_assert(kDefaultCells == 1024 && kMaxQuerySize == 2048,
              "the doc strings state the grid's resolution and the largest query");

struct Distributions {
    PyRef index_object;  // the ClosureIndex that built them
    PyRef candidates;    // a PreparedProfiles
    TermMeasure measure = TermMeasure::Resnik;
    ScoreDistributionTable table;
    // What the kernels derive from the candidates, when the candidates' own cache serves another
    // index (they were prepared by an index sharing this one's structure).
    std::unique_ptr<ProfileCache> own_cache;

    const ClosureIndex& index() const { return *closure_index_of(index_object.get()); }
    const PreparedProfiles& prepared() const { return *prepared_of(candidates.get()); }
};

using DistributionsObject = OwnedObject<Distributions>;

PyTypeObject* g_type = nullptr;  // created once, never released

const Distributions& data_of(PyObject* self) { return owned_value<Distributions>(self); }

PyRef wrap(std::unique_ptr<Distributions> data) {
    const PreparedProfiles& prepared = data->prepared();
    if (!prepared.cache->serves(data->index())) {
        data->own_cache = std::make_unique<ProfileCache>(data->index(), prepared.profiles);
    }
    return wrap_owned(null_distributions_type(), std::move(data));
}

Py_ssize_t length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(data_of(self).table.size());
}

// ---- signatures ------------------------------------------------------------------------------

InternedParams g_pvalues_names;
constexpr FunctionSpec kPvalues{"pvalues",
                                nullptr,
                                {"query", "threads"},
                                2,
                                1,
                                &g_pvalues_names,
                                1,
                                "NullDistributions.pvalues",
                                true,
                                1,
                                true};
InternedParams g_from_state_names;
constexpr FunctionSpec kFromState{"_from_state",
                                  nullptr,
                                  {"index", "candidates", "measure", "state"},
                                  4,
                                  4,
                                  &g_from_state_names,
                                  4,
                                  "NullDistributions._from_state",
                                  true,
                                  1,
                                  true};
// The slots without arguments (__reduce__, __repr__, the attributes), for their out-of-memory rule.
constexpr FunctionSpec kSlot{"__reduce__", nullptr, {}, 0, 0, nullptr, kAllPositional,
                             "NullDistributions.__reduce__", true, 1, true};

// A slot's body under the boundary, with the memory rule of the class's methods.
template <class Body>
PyObject* slot_call(Body&& body) noexcept {
    return guarded_call([&] { return with_memory_rule(kSlot, std::forward<Body>(body)); });
}

PyObject* repr(PyObject* self) noexcept {
    return slot_call([&]() -> PyObject* {
        const Distributions& d = data_of(self);
        PyObject* out = PyUnicode_FromFormat(
            "<ontarix.NullDistributions: %zu candidates, queries of %u terms, measure '%s'>",
            d.table.size(), d.table.query_size, term_measure_name(d.measure));
        if (out == nullptr) throw_pending();
        return out;
    });
}

// ---- methods ------------------------------------------------------------------------------------

PyObject* pvalues(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return call_function(kPvalues, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const Distributions& d = data_of(self);
        const ClosureIndex& index = d.index();
        const unsigned threads = thread_count(kPvalues, "threads", a[1]);
        ProfileNumbering numbering = call_numbering(index, std::array{d.candidates.get()});
        const std::vector<std::uint32_t> query = query_argument(kPvalues, a[0], numbering, index);
        if (query.size() != d.table.query_size) {
            throw_error(PyExc_ValueError,
                        PyUnicode_FromFormat("%s() argument 'query' must hold %u terms (the query "
                                             "size of these distributions), not %zu",
                                             kPvalues.shown_name(), d.table.query_size,
                                             query.size()));
        }
        const CallProfiles candidates({&kPvalues, "candidates"}, d.candidates.get(), numbering,
                                      index);
        const ProfileCache* cache = d.own_cache ? d.own_cache.get() : candidates.cache();
        NumpyMatrix out(d.table.size());
        const std::vector<double> observed =
            observed_scores(index, query, candidates.profiles(),
                            ProfileScoring(d.measure, Combine::Directed), cache, numbering.space(),
                            threads);
        exact_pvalues(d.table, observed, out.data());
        return out.take();
    });
}

PyObject* from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kFromState, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex* index = closure_index_of(a[0]);
        if (index == nullptr) raise_argument_type(kFromState, "index", "ClosureIndex", a[0]);
        const PreparedProfiles* prepared = prepared_of(a[1]);
        if (prepared == nullptr) raise_argument_type(kFromState, "candidates", "PreparedProfiles", a[1]);
        if (prepared->structure != index->shared_structure()) {
            throw_error(PyExc_ValueError,
                        PyUnicode_FromFormat("%s() argument 'candidates' was prepared for another "
                                             "index", kFromState.shown_name()));
        }
        const TermMeasure measure = term_measure(kFromState, a[2], TermMeasure::Resnik);
        wang_if_needed(kFromState, *index, measure);
        if (!PyBytes_Check(a[3])) raise_argument_type(kFromState, "state", "bytes", a[3]);
        auto d = std::make_unique<Distributions>();
        try {
            d->table = load_score_distributions(std::string_view(
                PyBytes_AS_STRING(a[3]), static_cast<std::size_t>(PyBytes_GET_SIZE(a[3]))));
        } catch (const Fault& fault) {
            if (fault.cause().kind != FaultCause::Kind::Content) throw;
            throw_error(PyExc_ValueError, PyUnicode_FromFormat("invalid NullDistributions state: %s",
                                                               fault.cause().detail.c_str()));
        }
        if (d->table.size() != prepared->names.size()) {
            throw_error(PyExc_ValueError,
                        PyUnicode_FromString("invalid NullDistributions state: it does not hold "
                                             "one distribution per candidate"));
        }
        d->index_object = PyRef::borrow(a[0]);
        d->candidates = PyRef::borrow(a[1]);
        d->measure = measure;
        return wrap(std::move(d));
    });
}

PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return slot_call([&]() -> PyObject* {
        const Distributions& d = data_of(self);
        const PyRef constructor = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
        if (!constructor) throw_pending();
        const std::string state = save_score_distributions(d.table);
        const PyRef bytes = PyRef::steal(
            PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
        if (!bytes) throw_pending();
        PyObject* out = Py_BuildValue("(O(OOsO))", constructor.get(), d.index_object.get(),
                                      d.candidates.get(), term_measure_name(d.measure), bytes.get());
        if (out == nullptr) throw_pending();
        return out;
    });
}

PyObject* copy_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

// ---- attributes ---------------------------------------------------------------------------------

PyObject* get_query_size(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLong(data_of(self).table.query_size);
}

PyObject* get_measure(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(term_measure_name(data_of(self).measure));
}

PyObject* get_candidates(PyObject* self, void*) noexcept {
    return Py_NewRef(data_of(self).candidates.get());
}

PyObject* get_grid_steps(PyObject* self, void*) noexcept {
    return slot_call([&]() -> PyObject* {
        const ScoreDistributionTable& table = data_of(self).table;
        NumpyMatrix out(table.size());
        for (std::size_t c = 0; c < table.size(); ++c) out.data()[c] = grid_step(table, c);
        return out.take().release();
    });
}

PyMethodDef g_methods[] = {
    {"pvalues", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pvalues)),
     METH_FASTCALL | METH_KEYWORDS,
     "pvalues($self, query, *, threads=None)\n--\n\n"
     "One exact p-value per candidate (a float64 numpy array in the candidates' order) for\n"
     "query, a set of query_size terms: what ClosureIndex.pvalues(query, candidates,\n"
     "measure=measure, pool=...) gives with the pool these distributions were made from.\n"
     "Reads the distributions and scores the query against every candidate, on `threads`\n"
     "threads without the interpreter lock."},
    {"_from_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_state)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_from_state($type, index, candidates, measure, state)\n--\n\n"
     "Rebuilds null distributions from their stored form (used by pickle)."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickle support."},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\nThe object itself (immutable)."},
    {"__deepcopy__", copy_self, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe object itself (immutable)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"query_size", get_query_size, nullptr, "The number of terms of the queries they answer for.",
     nullptr},
    {"measure", get_measure, nullptr, "The term measure whose directed score they describe.",
     nullptr},
    {"candidates", get_candidates, nullptr,
     "The candidates, as a PreparedProfiles (its names give the p-values' order).", nullptr},
    {"grid_steps", get_grid_steps, nullptr,
     "Each candidate's grid step h (a float64 numpy array), on which its guarantee rests.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Null distributions of exact p-values (made by ClosureIndex.null_distributions).\n"
    "\n"
    "For every candidate, the distribution of the directed score of a random query of\n"
    "query_size terms drawn from a pool: pvalues(query) answers any query of that size in\n"
    "milliseconds. Immutable and safe to share between threads; len() is the number of\n"
    "candidates. Pickles with its index and candidates (the distributions in a checked\n"
    "binary form, loaded without computing them again).\n"
    "\n" ONTARIX_EXACT_PVALUE_GUARANTEE;

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owned<Distributions>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "ontarix.NullDistributions",
    sizeof(DistributionsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

}  // namespace

PyTypeObject* null_distributions_type() {
    if (g_type == nullptr) {
        if (!intern_parameter_names(kPvalues) || !intern_parameter_names(kFromState)) {
            throw_pending();
        }
        PyObject* type = PyType_FromSpec(&g_spec);
        if (type == nullptr) throw_pending();
        g_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return g_type;
}

PyRef make_null_distributions(PyObject* index_object, PyObject* candidates, TermMeasure measure,
                              ScoreDistributionTable table) {
    auto d = std::make_unique<Distributions>();
    d->index_object = PyRef::borrow(index_object);
    d->candidates = PyRef::borrow(candidates);
    d->measure = measure;
    d->table = std::move(table);
    return wrap(std::move(d));
}

}  // namespace ontarix::py
