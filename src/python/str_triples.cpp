#include "python/str_triples.hpp"

#include <cstring>

#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/str_sets.hpp"

namespace ontarix::py {
namespace {

// The item walk of to_triple_list on an exact list or tuple. True when every string is an exact
// str; false at the first str subclass.
bool validate_rows(PyObject* const* rows, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const row = rows[i];
        require_triple_shape(row);
        // Subject, predicate, object: the conversion's order, so the same string fails first.
        for (Py_ssize_t k = 0; k < 3; ++k) {
            if (!validate_term(PyTuple_GET_ITEM(row, k))) [[unlikely]] return false;
        }
    }
    return true;
}

// Equality of two validated exact strs (previous may be null), without a call: exact strs are
// stored in their narrowest kind, so equal text means equal kind, length and bytes.
inline bool same_text(PyObject* s, PyObject* previous) noexcept {
    if (s == previous) return true;
    if (previous == nullptr) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const auto kind = PyUnicode_KIND(s);
    if (length != PyUnicode_GET_LENGTH(previous) || kind != PyUnicode_KIND(previous)) return false;
    // Both hashes are cached once either string has been a key: unequal ones settle it.
    const Py_hash_t h1 = reinterpret_cast<PyASCIIObject*>(s)->hash;
    const Py_hash_t h2 = reinterpret_cast<PyASCIIObject*>(previous)->hash;
    if (h1 != -1 && h2 != -1 && h1 != h2) return false;
    return std::memcmp(PyUnicode_DATA(s), PyUnicode_DATA(previous),
                       static_cast<std::size_t>(length) * kind) == 0;
}

// The value stored under key in dict: the one already there, or `fresh`, made by make() when
// needed and then handed to the dict. One probe either way; a fresh container that was not
// needed waits for the next new key.
template <class Make>
PyObject* stored_or_fresh(PyObject* dict, PyObject* key, PyRef& fresh, Make make) {
    if (!fresh) {
        fresh = PyRef::steal(make());
        if (!fresh) throw_pending();
    }
    PyObject* const value = PyDict_SetDefault(dict, key, fresh.get());  // borrowed
    if (value == nullptr) throw_pending();
    if (value == fresh.get()) fresh = PyRef();  // the dict holds the only reference now
    return value;
}

PyRef group_rows(PyObject* const* rows, Py_ssize_t count) {
    PyRef table = PyRef::steal(PyDict_New());
    if (!table) throw_pending();
    PyRef fresh_dict;
    PyRef fresh_set;
    const auto new_dict = [] { return PyDict_New(); };
    const auto new_set = [] { return PySet_New(nullptr); };

    // Borrowed from the rows (strs) and from the table (containers), which keep them alive.
    PyObject* subject = nullptr;
    PyObject* predicate = nullptr;
    PyObject* predicates = nullptr;
    PyObject* objects = nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const row = rows[i];
        PyObject* const s = PyTuple_GET_ITEM(row, 0);
        PyObject* const p = PyTuple_GET_ITEM(row, 1);
        if (!same_text(s, subject)) {
            predicates = stored_or_fresh(table.get(), s, fresh_dict, new_dict);
            subject = s;
            predicate = nullptr;
        }
        if (!same_text(p, predicate)) {
            objects = stored_or_fresh(predicates, p, fresh_set, new_set);
            predicate = p;
        }
        if (PySet_Add(objects, PyTuple_GET_ITEM(row, 2)) < 0) throw_pending();
    }
    return table;
}

}  // namespace

bool exact_str_rows(const FunctionSpec& f, const BoundArgs& a) {
    PyObject* const arg = a[0];
    if (!PyList_CheckExact(arg) && !PyTuple_CheckExact(arg)) return false;
    PyObject* const* const rows = PySequence_Fast_ITEMS(arg);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(arg);
    return convert_argument(f, a, 0, [&](PyObject*) { return validate_rows(rows, count); });
}

PyRef exact_str_closure_table(const FunctionSpec& f, const BoundArgs& a) {
    // An exact list's item array can only move if Python code runs; none does from here on, and
    // with the collector paused no finalizer can either.
    const GcPause pause;
    if (!exact_str_rows(f, a)) return PyRef();
    return group_rows(PySequence_Fast_ITEMS(a[0]), PySequence_Fast_GET_SIZE(a[0]));
}

}  // namespace ontarix::py
