// Conversions between Python objects and the core's native values.
//
// Argument conversions produce tables of std::string_view that point straight into the
// interpreter's UTF-8 buffers (for a compact ASCII str the buffer is the object itself), so a
// conversion allocates per container, never per string. Failures throw PythonError with the
// Python exception pending (the call boundary adds the argument name), or raise a fault.
//
// Lifetime policy of the views. A view into a str is valid while that str lives, and a str that
// a caller's container holds can only die if Python code runs and changes the container. So:
//   * Sets, the closure-table dict shape and exact list/tuple iteration run no Python code at
//     all; their views rely on the caller's containers, which stay untouched for the call.
//   * A score value that is neither a float nor an exact int runs __float__/__index__, which may
//     change any container. From the first such value on, the score conversions hold a strong
//     reference (in the call's Anchor) to every key they have viewed, including those viewed
//     before the switch, and to the inner dict being walked. All-float dicts pay only a pointer
//     push per key.
//   * A triple list other than an exact list or tuple may run Python code between items, or hand
//     out items that only its iterator owns; every item tuple is then kept in the Anchor (tuples
//     are immutable, so their strings live as long as they do).
//   * Arguments whose conversion may run Python code come first in every signature that has
//     them, so no other argument's views are exposed to it (checked where the table is defined).
//   * The core runs no Python code. Building the result allocates Python objects, which may
//     start the cyclic GC, whose finalizers are Python code; results are therefore built under a
//     GcPause, which restores the collector's previous state afterwards.
// The Anchor is declared before any converted value in a wrapper and so outlives every view.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/closure_table.hpp"
#include "core/terms.hpp"
#include "core/transitive_closure.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Strong references that keep viewed strings alive until the call ends.
class Anchor {
public:
    Anchor() = default;
    Anchor(const Anchor&) = delete;
    Anchor& operator=(const Anchor&) = delete;
    ~Anchor() {
        for (PyObject* obj : held_) Py_DECREF(obj);
    }

    void reserve(std::size_t n) { held_.reserve(held_.size() + n); }
    // Takes a new strong reference to a borrowed object.
    void hold(PyObject* obj) {
        held_.push_back(obj);  // may throw before the reference is taken
        Py_INCREF(obj);
    }
    // Keeps a new reference that the caller hands over.
    void adopt(PyRef obj) {
        held_.push_back(obj.get());
        obj.release();
    }

private:
    std::vector<PyObject*> held_;
};

// Pauses automatic garbage collection for a scope; restores the previous state.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    int was_enabled_;
};

// ---- Python -> native ------------------------------------------------------------------------

[[noreturn, gnu::cold, gnu::noinline]] void throw_downcast(PyObject* obj, const char* target);
[[gnu::noinline]] Term to_term_slow(PyObject* obj);

// str or a subclass -> view of its UTF-8 text.
inline Term to_term(PyObject* obj) {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
        return {static_cast<const char*>(PyUnicode_DATA(obj)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
    }
    return to_term_slow(obj);
}

// set or a subclass (never frozenset) of str.
TermSet to_term_set(PyObject* obj);
// Absent (null) or None -> no set.
std::optional<TermSet> to_optional_term_set(PyObject* obj);
// dict of str -> dict of str -> set of str.
ClosureTable to_closure_table(PyObject* obj);
// dict of str -> real number.
TermScoreMap to_term_score_map(PyObject* obj, Anchor& anchor);
// dict of str -> dict of str -> real number.
PairwiseScoreTable to_pairwise_score_table(PyObject* obj, Anchor& anchor);
// A sequence (not a str) of 3-tuples of str, in order. With `items`, also each row's tuple there
// (borrowed: alive for the call, through the argument or the anchor).
TripleList to_triple_list(PyObject* obj, Anchor& anchor, std::vector<PyObject*>* items = nullptr);
// Absent or None -> no filter; a set, frozenset, list or tuple (or a subclass) of str -> the set of
// its strings. A str alone is refused, although it is a sequence of str: `follow="is_a"` is the
// usual slip for `follow={"is_a"}` and would otherwise follow the predicates "i", "s", "_", "a".
// Runs no Python code.
std::optional<TermSet> to_predicate_filter(PyObject* obj);
// True or False, nothing else (no truthiness: `reflexive="no"` is a mistake, not a yes).
bool to_bool(PyObject* obj);

[[noreturn, gnu::cold, gnu::noinline]] void throw_wrong_tuple_length(Py_ssize_t length);

// The check of one item of a triple list before its strings: a tuple or subclass (whose own
// storage is read, never its __len__ or __getitem__) of exactly three items.
inline void require_triple_shape(PyObject* item) {
    if (!PyTuple_Check(item)) [[unlikely]] throw_downcast(item, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(item);
    if (n != 3) [[unlikely]] throw_wrong_tuple_length(n);
}

// ---- native -> Python ------------------------------------------------------------------------

// Creating or filling a result set failed with a Python error pending.
[[noreturn, gnu::cold, gnu::noinline]] void fault_set_build();

PyRef float_to_py(double value);
PyRef str_to_py(Term text);
PyRef term_score_to_py(const std::pair<Term, double>& pair);
PyRef term_set_to_py(const TermSet& set);
// The same from distinct term numbers and the texts they index.
PyRef term_set_to_py(std::span<const std::uint32_t> numbers, std::span<const Term> texts);
// A closure table, from its flat layout: one new str per distinct string, dicts sized up front.
PyRef closure_table_to_py(const FlatClosure& table);
// One str per numbered term, owning a reference to each: the str the rows held where it is a
// plain str (as given to to_triple_list, whose `items` are passed here), else a new plain one.
class TermStrings {
public:
    TermStrings(const NumberedEdges& numbered, std::span<PyObject* const> row_items);
    TermStrings(const TermStrings&) = delete;
    TermStrings& operator=(const TermStrings&) = delete;
    ~TermStrings();

    std::span<PyObject* const> objects() const noexcept { return objects_; }

private:
    std::vector<PyObject*> objects_;
};

// {strings[t]: {label: {strings[u] for u in reach.of(t)}}} for every term t with a non-empty
// reach (strings: distinct plain strs, one per term number). A failure of the interpreter
// (MemoryError) passes unchanged; nothing partial is returned.
PyRef reach_table_to_py(const ReachTable& reach, std::span<PyObject* const> strings,
                        PyObject* label);

// A new list of new str, in order; works for any range of string-like elements.
template <class Range>
PyRef string_list_to_py(const Range& strings) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(strings))));
    if (!list) fail_python_api();
    Py_ssize_t i = 0;
    for (const auto& s : strings) {
        PyList_SET_ITEM(list.get(), i++, str_to_py(Term(s)).release());
    }
    return list;
}

}  // namespace ontarix::py
