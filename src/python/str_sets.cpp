#include "python/str_sets.hpp"

#include <cstddef>
#include <cstdint>

#include "python/convert.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

constexpr auto kNoVisit = [](PyObject*) noexcept {};

// Validates every element as to_term_set would and hands each to visit while all elements so far
// are exact str. True when all are.
template <class Visit>
bool validate_term_set(PyObject* obj, Visit&& visit) {
    if (!PySet_Check(obj)) [[unlikely]] throw_downcast(obj, "PySet");
    bool all_exact = true;
    for_each_entry(obj, [&](PyObject* key) {
        // The conversion's own check, and its error.
        if (!validate_term(key)) [[unlikely]] all_exact = false;
        if (all_exact) visit(key);
    });
    return all_exact;
}

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
        convert_argument(f, a, 1, validate_only);  // set2's errors before the generic route
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

bool validate_term_set(PyObject* obj) { return validate_term_set(obj, kNoVisit); }

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
