#include "python/str_sets.hpp"

#include <cstddef>
#include <cstdint>

#include "python/convert.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

// Visits the live entries of a set (or subclass) in table order, the order _PySet_NextEntry and
// so to_term_set use, with the walk inlined: for ten-element sets a call per element shows.
//
// Each element is a pointer into the heap, so a walk that reads the elements waits on memory at
// every step; fetching the element a few table slots ahead overlaps those waits.
template <class Fn>
inline void for_each_entry(PyObject* set, Fn&& fn) {
    constexpr std::ptrdiff_t kAhead = 32;
    const auto* so = reinterpret_cast<const PySetObject*>(set);
    const setentry* entry = so->table;
    const setentry* const end = entry + so->mask + 1;
    for (; entry != end; ++entry) {
        if (end - entry > kAhead) __builtin_prefetch(entry[kAhead].key);
        PyObject* key = entry->key;
        if (key != nullptr && key != _PySet_Dummy) fn(key);
    }
}

inline bool contains(PyObject* set, PyObject* key) {
    const int found = PySet_Contains(set, key);
    if (found < 0) [[unlikely]] throw_pending();
    return found != 0;
}

// Validates every element as to_term_set would and hands each to visit while all elements so far
// are exact str. True when all are.
template <class Visit>
bool validate_term_set(PyObject* obj, Visit&& visit) {
    if (!PySet_Check(obj)) [[unlikely]] throw_downcast(obj, "PySet");
    bool all_exact = true;
    for_each_entry(obj, [&](PyObject* key) {
        if (!(PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key))) [[unlikely]] {
            static_cast<void>(to_term(key));  // the conversion's own check, and its error
            all_exact = all_exact && PyUnicode_CheckExact(key);
        }
        if (all_exact) visit(key);
    });
    return all_exact;
}

constexpr auto kNoVisit = [](PyObject*) noexcept {};

// Validates both set arguments, in order, and calls on_common(key) once for every element of the
// one set that the other holds (walking the second set when it is not the larger, so that its
// validation walk does the lookups). False, with on_common maybe called for some elements, when
// an element is a str subclass.
template <class OnCommon>
bool for_each_common(const FunctionSpec& f, const BoundArgs& a, OnCommon&& on_common) {
    PyObject* const set1 = a[0];
    PyObject* const set2 = a[1];
    const auto validate_only = [](PyObject* o) { return validate_term_set(o, kNoVisit); };
    if (!convert_argument(f, a, 0, validate_only)) {
        convert_argument(f, a, 1, validate_only);  // its errors still come first
        return false;
    }
    if (PySet_Check(set2) && PySet_GET_SIZE(set2) <= PySet_GET_SIZE(set1)) {
        return convert_argument(f, a, 1, [&](PyObject* o) {
            return validate_term_set(o, [&](PyObject* key) {
                if (contains(set1, key)) on_common(key);
            });
        });
    }
    if (!convert_argument(f, a, 1, validate_only)) return false;
    for_each_entry(set1, [&](PyObject* key) {
        if (contains(set2, key)) on_common(key);
    });
    return true;
}

}  // namespace

std::optional<double> exact_str_jaccard(const FunctionSpec& f, const BoundArgs& a) {
    std::uint64_t common = 0;
    if (!for_each_common(f, a, [&](PyObject*) { ++common; })) return std::nullopt;
    const auto size1 = static_cast<std::uint64_t>(PySet_GET_SIZE(a[0]));
    const auto size2 = static_cast<std::uint64_t>(PySet_GET_SIZE(a[1]));
    // Two empty sets divide 0 by 0 on purpose: their index is the quiet NaN.
    return static_cast<double>(common) / static_cast<double>(size1 + size2 - common);
}

PyRef exact_str_intersection(const FunctionSpec& f, const BoundArgs& a) {
    // A collection started by an allocation could run a finalizer that changes the inputs while
    // they are walked.
    const GcPause pause;
    PyRef out = PyRef::steal(PySet_New(nullptr));
    if (!out) fault_set_build();
    const bool exact = for_each_common(f, a, [&](PyObject* key) {
        if (PySet_Add(out.get(), key) < 0) fault_set_build();
    });
    return exact ? std::move(out) : PyRef();
}

}  // namespace ontarix::py
