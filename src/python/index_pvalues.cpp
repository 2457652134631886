#include "python/index_pvalues.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "core/batch_scoring.hpp"
#include "core/fault.hpp"
#include "core/null_distributions.hpp"
#include "core/sampled_pvalues.hpp"
#include "python/closure_index_class.hpp"
#include "python/convert.hpp"
#include "python/index_input.hpp"
#include "python/index_measures.hpp"
#include "python/interpreter_waiter.hpp"
#include "python/null_distributions_class.hpp"
#include "python/numpy_matrix.hpp"
#include "python/panic.hpp"
#include "python/prepared_profiles.hpp"

namespace ontarix::py {
namespace {

// ---- signatures ------------------------------------------------------------------------------

using Params = std::array<const char*, kMaxParams>;
ONTARIX_INDEX_METHOD(kPvalues, "pvalues",
                     (Params{"query", "candidates", "measure", "combine", "pool", "method",
                             "samples", "seed", "threads"}),
                     9, 2, 2, 1);
ONTARIX_INDEX_METHOD(kNullDistributions, "null_distributions",
                     (Params{"candidates", "query_size", "measure", "pool", "threads"}), 5, 2, 2,
                     1);

// ---- arguments ----------------------------------------------------------------------------------

[[noreturn, gnu::cold, gnu::noinline]] void raise_value(PyObject* message) {
    throw_error(PyExc_ValueError, message);
}

// A seed: an int in [0, 2**64).
std::uint64_t seed_argument(const FunctionSpec& f, PyObject* obj) {
    if (obj == nullptr) return 0;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) raise_argument_type(f, "seed", "int", obj);
    const unsigned long long seed = PyLong_AsUnsignedLongLong(obj);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_pending();
        PyErr_Clear();
        raise_value(PyUnicode_FromFormat("%s() argument 'seed' must be in [0, 2**64), not %R",
                                         f.shown_name(), obj));
    }
    return seed;
}

// The query sizes the exact method takes.
unsigned exact_query_size(const FunctionSpec& f, const char* param, std::size_t q) {
    if (q > kMaxQuerySize) {
        raise_value(PyUnicode_FromFormat(
            "%s() argument '%s' holds %zu terms: exact p-values take queries of at most %u "
            "terms (method='sampling' takes any)",
            f.shown_name(), param, q, kMaxQuerySize));
    }
    return static_cast<unsigned>(q);
}

// The pool: None for every term of the candidates, else an iterable of str (not a str). Distinct
// terms in a fixed order, whatever the order of the sets they came from: the index's terms by
// number (their text order), then the terms it lacks by text. Sampling draws positions in it.
std::vector<std::uint32_t> pool_argument(const FunctionSpec& f, PyObject* obj,
                                         ProfileNumbering& numbering, const ClosureIndex& index,
                                         const ProfileList& candidates, bool require_subjects) {
    std::vector<std::uint32_t> pool;
    PyRef items;  // holds what the texts view until the pool is numbered
    if (obj == nullptr || obj == Py_None) {
        pool.assign(candidates.terms.begin(), candidates.terms.end());
    } else {
        if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
            PyDict_Check(obj)) {
            raise_argument_type(f, "pool", "an iterable of str", obj);
        }
        items = PyRef::steal(PySequence_Fast(obj, ""));
        if (!items) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
            PyErr_Clear();
            raise_argument_type(f, "pool", "an iterable of str", obj);
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        PyObject** item = PySequence_Fast_ITEMS(items.get());
        pool.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyUnicode_Check(item[i])) {
                const PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(item[i])));
                if (!type) throw_pending();
                throw_error(PyExc_TypeError,
                            PyUnicode_FromFormat("%s() argument 'pool' item %zd must be str, not %U",
                                                 f.shown_name(), i, type.get()));
            }
            const std::uint32_t t = numbering.number(to_term(item[i]));
            if (require_subjects && !index.is_subject(t)) {
                PyErr_SetObject(PyExc_KeyError, item[i]);
                throw PythonError{};
            }
            pool.push_back(t);
        }
    }
    std::sort(pool.begin(), pool.end());
    pool.erase(std::unique(pool.begin(), pool.end()), pool.end());
    const auto absent = std::lower_bound(pool.begin(), pool.end(), index.size());
    std::sort(absent, pool.end(), [&](std::uint32_t a, std::uint32_t b) {
        return numbering.text(a) < numbering.text(b);
    });
    if (pool.empty()) {
        raise_value(PyUnicode_FromFormat("%s() argument 'pool' must hold at least one term",
                                         f.shown_name()));
    }
    return pool;
}

// Faults of a build that report bad input rather than a bug: ValueError.
template <class Build>
auto checked_build(const FunctionSpec& f, Build&& build) {
    try {
        return build();
    } catch (const Fault& fault) {
        if (fault.cause().kind != FaultCause::Kind::Content) throw;
        raise_value(PyUnicode_FromFormat("%s() %s: %s", f.shown_name(), fault.message().c_str(),
                                         fault.cause().detail.c_str()));
    }
}

// ---- the methods --------------------------------------------------------------------------------

PyObject* pvalues(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return call_function(kPvalues, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        // Names first: a wrong one costs no work.
        ProfileScoring scoring = profile_scoring(kPvalues, a[2], a[3],
                                                 {TermMeasure::Resnik, Combine::Directed});
        // Without a combine, a term measure's p-values are those of the directed score.
        if ((a[3] == nullptr || a[3] == Py_None) && scoring.measure == ProfileMeasure::Combined) {
            scoring.combine = Combine::Directed;
        }
        const bool exact =
            a[5] == nullptr || measure_choice(kPvalues, "method", a[5], {"exact", "sampling"}) == 0;
        if (exact && scoring.measure != ProfileMeasure::Combined) {
            raise_value(PyUnicode_FromFormat(
                "%s() argument 'measure' must be a term measure with method='exact', not %R",
                kPvalues.shown_name(), a[2]));
        }
        if (exact && scoring.combine != Combine::Directed) {
            raise_value(PyUnicode_FromFormat(
                "%s() argument 'combine' must be None or 'directed' with method='exact' (exact "
                "p-values are those of the directed score), not %R",
                kPvalues.shown_name(), a[3]));
        }
        const std::uint64_t samples = a[6] == nullptr ? 100000 : positive_count(kPvalues, "samples", a[6]);
        const std::uint64_t seed = seed_argument(kPvalues, a[7]);
        const unsigned threads = thread_count(kPvalues, "threads", a[8]);
        const WangTable* wang = wang_if_needed(kPvalues, index, scoring);
        const bool expanded = scoring.measure == ProfileMeasure::ExpandedJaccard;

        ProfileNumbering numbering = call_numbering(index, std::array{a[1]});
        const std::vector<std::uint32_t> query =
            query_argument(kPvalues, a[0], numbering, index, expanded);
        const CallProfiles candidates({&kPvalues, "candidates", expanded}, a[1], numbering, index);
        const std::vector<std::uint32_t> pool =
            pool_argument(kPvalues, a[4], numbering, index, candidates.profiles(), expanded);
        const unsigned q = exact ? exact_query_size(kPvalues, "query", query.size())
                                 : static_cast<unsigned>(std::min<std::size_t>(query.size(), UINT32_MAX));

        // The result exists before any work does.
        NumpyMatrix out(candidates.size());
        const std::vector<double> observed =
            observed_scores(index, query, candidates.profiles(), scoring, candidates.cache(),
                            numbering.space(), threads);
        InterpreterWaiter waiter;
        if (exact) {
            const ScoreDistributionTable table = checked_build(kPvalues, [&] {
                return build_null_distributions(index, wang, scoring.term, candidates.profiles(),
                                                pool, q, threads, &waiter);
            });
            exact_pvalues(table, observed, out.data());
        } else {
            const std::vector<double> p = checked_build(kPvalues, [&] {
                return sampled_pvalues(index, wang, candidates.profiles(), pool, observed,
                                       {scoring, q, samples, seed},
                                       {threads, &waiter, numbering.space(), nullptr, nullptr});
            });
            std::copy(p.begin(), p.end(), out.data());
        }
        return out.take();
    });
}

PyObject* null_distributions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return call_function(kNullDistributions, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const TermMeasure measure = term_measure(kNullDistributions, a[2], TermMeasure::Resnik);
        const std::size_t size = positive_count(kNullDistributions, "query_size", a[1]);
        if (size > kMaxQuerySize) {
            raise_value(PyUnicode_FromFormat(
                "%s() argument 'query_size' must be at most %u, not %R",
                kNullDistributions.shown_name(), kMaxQuerySize, a[1]));
        }
        const unsigned threads = thread_count(kNullDistributions, "threads", a[4]);
        const WangTable* wang = wang_if_needed(kNullDistributions, index, measure);

        // The candidates are kept prepared: the distributions answer for them, by position.
        PyRef prepared = prepared_of(a[0]) != nullptr
                             ? PyRef::borrow(a[0])
                             : prepare_profiles(kNullDistributions, self, index, a[0]);
        ProfileNumbering numbering = call_numbering(index, std::array{prepared.get()});
        const CallProfiles candidates({&kNullDistributions, "candidates"}, prepared.get(),
                                      numbering, index);
        const std::vector<std::uint32_t> pool =
            pool_argument(kNullDistributions, a[3], numbering, index, candidates.profiles(), false);
        ScoreDistributionTable table;
        {
            InterpreterWaiter waiter;
            table = checked_build(kNullDistributions, [&] {
                return build_null_distributions(index, wang, measure, candidates.profiles(), pool,
                                                static_cast<unsigned>(size), threads, &waiter);
            });
        }
        return make_null_distributions(self, prepared.get(), measure, std::move(table));
    });
}

// ---- the method table ---------------------------------------------------------------------------

using Method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const FunctionSpec& f, Method fn, const char* doc) {
    return {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

#define POOL_DOC                                                                                 \
    "pool: the terms random queries are drawn from (an iterable of str; each distinct term\n"    \
    "once, terms the index lacks scoring 0.0 with every term); None: every term of the\n"        \
    "candidates."

const PyMethodDef g_methods[] = {
    method(kPvalues, pvalues,
           "pvalues($self, query, candidates, *, measure='resnik', combine=None, pool=None, "
           "method='exact', samples=100000, seed=0, threads=None)\n--\n\n"
           "One p-value per candidate, as a float64 numpy array in the candidates' order: the\n"
           "probability that a random query of len(query) terms, drawn independently and\n"
           "uniformly with replacement from the pool, scores at least as high against the\n"
           "candidate as query does (nan for an empty candidate).\n"
           "\n"
           "query: a non-empty set of str. candidates: a mapping of names to sets of str, or a\n"
           "PreparedProfiles (ClosureIndex.prepare).\n" POOL_DOC "\n"
           "measure and combine: a term measure and a combine as similarity takes them; None\n"
           "means 'directed', the mean of the query terms' best scores in the candidate.\n"
           "\n"
           "method='exact': the directed score of a term measure (another combine, or a\n"
           "profile measure, is a ValueError); queries of at most 2048 terms. Its cost grows\n"
           "with the square of the query size; to answer several queries of one size, keep\n"
           "null_distributions(candidates, len(query)), which is what this call computes.\n"
           "\n" ONTARIX_EXACT_PVALUE_GUARANTEE "\n"
           "\n"
           "method='sampling': Monte Carlo for any measure and combine, profile measures\n"
           "included ('phenomizer', and 'jaccard', 'expanded_jaccard' and 'simgic' over the\n"
           "set of a random query's distinct terms); p = (1 + hits) / (1 + samples), hits the\n"
           "random queries scoring at least as high (a score within rounding of the observed\n"
           "one counts as a tie). A term drawn twice counts twice in every mean. The result\n"
           "depends on seed (an int in [0, 2**64)), never on threads.\n"
           "\n"
           "Runs on `threads` threads (None: every CPU this process may use) without the\n"
           "interpreter lock."),
    method(kNullDistributions, null_distributions,
           "null_distributions($self, candidates, query_size, *, measure='resnik', pool=None, "
           "threads=None)\n--\n\n"
           "The null distributions of exact p-values for the candidates and queries of\n"
           "query_size terms, as a NullDistributions: its pvalues(query) answers what\n"
           "pvalues(query, candidates, measure=measure, pool=pool) answers, for every query of\n"
           "that size, without computing the distributions again.\n"
           "\n"
           "candidates: a mapping of names to sets of str (prepared by the call and kept), or a\n"
           "PreparedProfiles. query_size: an int in [1, 2048]. measure: a term measure (the\n"
           "score is its directed combine).\n" POOL_DOC "\n"
           "\n" ONTARIX_EXACT_PVALUE_GUARANTEE),
};
#undef POOL_DOC

}  // namespace

bool intern_pvalue_parameters() noexcept {
    return intern_parameter_names(kPvalues) && intern_parameter_names(kNullDistributions);
}

std::span<const PyMethodDef> pvalue_methods() noexcept { return g_methods; }

std::vector<std::uint32_t> query_argument(const FunctionSpec& f, PyObject* obj,
                                          ProfileNumbering& numbering, const ClosureIndex& index,
                                          bool require_subjects) {
    std::vector<std::uint32_t> query =
        profile_argument({&f, "query", require_subjects}, obj, numbering, index);
    if (query.empty()) {
        raise_value(PyUnicode_FromFormat("%s() argument 'query' must hold at least one term",
                                         f.shown_name()));
    }
    return query;
}

std::vector<double> observed_scores(const ClosureIndex& index, ProfileTerms query,
                                    const ProfileList& candidates, const ProfileScoring& scoring,
                                    const ProfileCache* cache, std::uint32_t term_space,
                                    unsigned threads) {
    ProfileList rows;
    rows.add(query);
    std::vector<double> out(candidates.size());
    InterpreterWaiter waiter;
    profile_similarity_matrix(index, rows, candidates, false, scoring, out.data(),
                              {threads, &waiter, term_space, nullptr, cache});
    return out;
}

void exact_pvalues(const ScoreDistributionTable& table, std::span<const double> observed,
                   double* out) noexcept {
    for (std::size_t c = 0; c < observed.size(); ++c) out[c] = pvalue_of_mean(table, c, observed[c]);
}

}  // namespace ontarix::py
