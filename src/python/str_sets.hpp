// Set measures computed on the caller's own Python sets, when every element is an exact str.
//
// jaccard_similarity and get_intersection are called in tight loops, where building two native
// hash tables (hashing every string again with our key) costs more than the measure itself. For
// exact str elements the interpreter's set already answers the question we would ask of a native
// one:
//   * two exact strs are equal exactly when their UTF-8 encodings are equal byte for byte (the
//     encoding is injective on text without lone surrogates, and those fail validation), so a
//     Python set holds exactly the distinct byte strings a TermSet would, and its size and its
//     membership test agree with the native ones;
//   * a str caches its hash, and a lookup between exact strs compares hash, identity and text
//     inside the interpreter without ever calling Python code.
// The counts, and so the quotient, are the same to the last bit as on the native route.
//
// Every element is still validated by exactly the rules, and in exactly the order, of the
// to_term_set conversion, so a failing call raises the same error for the same element. Lookups
// only ever go into a set that is validated completely, with a key validated just before, so no
// Python code can run. A str subclass (whose __eq__ or __hash__ may be Python code) makes these
// functions give up; the caller then takes the generic native route.
//
// Cost. Validation touches every element once (a type and flag check; text that is not ASCII is
// encoded once, as the conversion does). When the second set is not the larger, its validation
// walk also does the membership tests, so each set is walked once; otherwise the first set is
// walked a second time for them. One membership test per element of the walked set, no
// allocation apart from the result.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "python/call_boundary.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/set_table.hpp"

namespace ontarix::py {

// Visits the elements of a set (or subclass) in iteration order, the order to_term_set uses, with
// the walk inlined (set_table.hpp): for ten-element sets a call per element shows.
template <class Fn>
inline void for_each_entry(PyObject* set, Fn&& fn) {
    set_table::for_each(set, [&](PyObject* key, Py_hash_t) { fn(key); });
}

// Membership between exact strs: runs no Python code.
inline bool contains(PyObject* set, PyObject* key) {
    const int found = PySet_Contains(set, key);
    if (found < 0) [[unlikely]] throw_pending();
    return found != 0;
}

// Validates a str argument or element as to_term would, raising the same error; true when it is an
// exact str.
inline bool validate_term(PyObject* obj) {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] return true;
    static_cast<void>(to_term(obj));
    return PyUnicode_CheckExact(obj);
}

// Validates a set argument as to_term_set would, raising the same error for the same element;
// true when every element is an exact str.
bool validate_term_set(PyObject* obj);

// Parameters 0 and 1 of f are the two sets. Validation errors are raised (wrapped with the
// parameter name) as convert_argument(f, a, i, to_term_set) would raise them.

// |set1 ∩ set2| / |set1 ∪ set2|; 0/0 (both empty) is NaN. Empty when an element is a str
// subclass.
std::optional<double> exact_str_jaccard(const FunctionSpec& f, const BoundArgs& a);

// A new set of the common elements, holding the callers' own (immutable) str objects; null when
// an element is a str subclass.
PyRef exact_str_intersection(const FunctionSpec& f, const BoundArgs& a);

}  // namespace ontarix::py
