#include "python/str_scores.hpp"

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/selection_key.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/set_table.hpp"
#include "python/str_sets.hpp"

namespace ontarix::py {
namespace {

// ---- scores -------------------------------------------------------------------------------------

// Reads a score as the conversion does, where that runs no Python code. False for any other
// value, which only the generic route converts.
inline bool plain_score(PyObject* obj, double& out) {
    // A float subclass too: its stored double is read, never its __float__.
    if (PyFloat_Check(obj)) [[likely]] {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (!PyLong_CheckExact(obj)) return false;
    out = PyFloat_AsDouble(obj);  // int's own conversion, in C; too large: OverflowError
    if (out == -1.0 && PyErr_Occurred() != nullptr) throw_pending();
    return true;
}

// A validated score's double.
inline double stored_score(PyObject* obj) {
    if (PyFloat_Check(obj)) [[likely]] return PyFloat_AS_DOUBLE(obj);
    return PyFloat_AsDouble(obj);  // an exact int that converted once already
}

// ---- most recent common ancestor ----------------------------------------------------------------

struct Choice {
    PyObject* term = nullptr;  // borrowed from the caller's dict; null: take the generic route
    double score = 0.0;
};

// The conversion's walk of a term-score map, choosing the winner on the way.
Choice choose_plain(PyObject* map) {
    if (!PyDict_Check(map)) [[unlikely]] throw_downcast(map, "PyDict");
    Choice best;
    double best_key = 0.0;
    Py_ssize_t pos = 0;
    PyObject* term;
    PyObject* value;
    while (PyDict_Next(map, &pos, &term, &value)) {
        double score;
        if (!validate_term(term) || !plain_score(value, score)) [[unlikely]] return {};
        const double key = std::fabs(score);
        if (best.term == nullptr || !selection_key_greater(best_key, key)) {
            best = {term, score};
            best_key = key;
        }
    }
    return best;
}

// ---- phenomizer ---------------------------------------------------------------------------------

// A set element with the hash its set stored for it (the str's own hash), so that lookups need
// not touch the str object unless the dict holds a different object with that hash.
struct Entry {
    PyObject* term;
    Py_hash_t hash;
};

// The conversion's walk of a pairwise score table: each term, its row (a dict), and each of the
// row's (term, score) entries.
bool validate_pairwise_table(PyObject* map) {
    if (!PyDict_Check(map)) [[unlikely]] throw_downcast(map, "PyDict");
    Py_ssize_t pos = 0;
    PyObject* term;
    PyObject* row;
    while (PyDict_Next(map, &pos, &term, &row)) {
        if (!validate_term(term)) [[unlikely]] return false;
        if (!PyDict_Check(row)) [[unlikely]] throw_downcast(row, "PyDict");
        Py_ssize_t row_pos = 0;
        PyObject* other;
        PyObject* value;
        while (PyDict_Next(row, &row_pos, &other, &value)) {
            double score;
            if (!validate_term(other) || !plain_score(value, score)) [[unlikely]] return false;
        }
    }
    return true;
}

// The conversion's walk of a term set (to_term_set), appending the entries while every element
// is an exact str, with the hashes the set stored, which the lookups want.
bool collect_term_set(PyObject* set, std::vector<Entry>& out) {
    if (!PySet_Check(set)) [[unlikely]] throw_downcast(set, "PySet");
    return set_table::for_each(set, [&](PyObject* key, Py_hash_t hash) {
        if (!validate_term(key)) [[unlikely]] return false;
        out.push_back({key, hash});  // capacity reserved by the caller
        return true;
    });
}

// Borrowed; null when absent. Between exact strs the lookup runs no Python code and cannot fail.
inline PyObject* lookup(PyObject* dict, const Entry& key) {
    PyObject* value = _PyDict_GetItem_KnownHash(dict, key.term, key.hash);
    if (value == nullptr && PyErr_Occurred() != nullptr) [[unlikely]] throw_pending();
    return value;
}

// Directed best-match average of a against b; empty when a visited pair is missing. The row of
// a term is looked up once for all its pairs: that visits the same pairs and misses the same
// first missing one as a lookup per pair, and no lookup at all is made when b is empty.
std::optional<double> best_match_average(PyObject* map, std::span<const Entry> a,
                                         std::span<const Entry> b) {
    double total = 0.0;
    if (!b.empty()) {
        for (const Entry& left : a) {
            PyObject* row = lookup(map, left);
            if (row == nullptr) [[unlikely]] return std::nullopt;
            double best = 0.0;
            for (const Entry& right : b) {
                PyObject* cell = lookup(row, right);
                if (cell == nullptr) [[unlikely]] return std::nullopt;
                // NaN compares false and negatives stay below the starting 0.0: neither counts.
                const double score = stored_score(cell);
                if (score > best) best = score;
            }
            total += best;
        }
    }
    // An empty `a` divides 0.0 by 0.0 on purpose: its score is the quiet NaN.
    return total / static_cast<double>(static_cast<std::uint64_t>(a.size()));
}

Py_ssize_t size_if_set(PyObject* obj) noexcept {
    return PySet_Check(obj) ? PySet_GET_SIZE(obj) : 0;
}

}  // namespace

PyRef exact_str_mrca_and_score(const FunctionSpec& f, const BoundArgs& a) {
    const Choice best = convert_argument(f, a, 0, choose_plain);
    if (best.term == nullptr) return PyRef();
    // Building the tuple may start a collection whose finalizers could drop the winning key from
    // the caller's dict; the reference keeps the viewed text alive until the str is made.
    const PyRef keep = PyRef::borrow(best.term);
    return term_score_to_py({to_term(best.term), best.score});
}

std::optional<double> exact_str_phenomizer_score(const FunctionSpec& f, const BoundArgs& a) {
    if (!convert_argument(f, a, 0, validate_pairwise_table)) return std::nullopt;
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(size_if_set(a[1]) + size_if_set(a[2])));
    if (!convert_argument(f, a, 1, [&](PyObject* o) { return collect_term_set(o, entries); })) {
        return std::nullopt;
    }
    const std::size_t split = entries.size();
    if (!convert_argument(f, a, 2, [&](PyObject* o) { return collect_term_set(o, entries); })) {
        return std::nullopt;
    }
    const std::span<const Entry> entity1(entries.data(), split);
    const std::span<const Entry> entity2(entries.data() + split, entries.size() - split);

    const std::optional<double> forward = best_match_average(a[0], entity1, entity2);
    if (!forward) return std::nullopt;
    const std::optional<double> backward = best_match_average(a[0], entity2, entity1);
    if (!backward) return std::nullopt;
    return (*forward + *backward) * 0.5;
}

}  // namespace ontarix::py
