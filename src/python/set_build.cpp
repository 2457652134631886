#include "python/set_build.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "python/panic.hpp"
#include "python/set_table.hpp"

namespace ontarix::py {
namespace {

Py_hash_t cached_hash(PyObject* str) noexcept { return reinterpret_cast<PyASCIIObject*>(str)->hash; }

PyRef new_set() {
    PyRef set = PyRef::steal(PySet_New(nullptr));
    if (!set) throw_pending();
    return set;
}

PyRef filled_in_place(std::span<const std::uint32_t> numbers, std::span<PyObject* const> strings) {
    PyRef set = new_set();
    set_table::fill_empty(set.get(), numbers, strings);
    return set;
}

PyRef filled_by_adding(std::span<const std::uint32_t> numbers, std::span<PyObject* const> strings) {
    PyRef set = new_set();
    for (const std::uint32_t n : numbers) {
        if (PySet_Add(set.get(), strings[n]) < 0) throw_pending();
    }
    return set;
}

// Builds sets in place at the edges of the size classes (the built-in slots, the first tables), and
// one large enough for long probe sequences, and looks every key up through the interpreter, with
// as many absent ones.
bool in_place_filling_works() {
    constexpr std::size_t kKeys = 200;
    std::vector<PyRef> owned;
    std::vector<PyObject*> strings;
    for (std::size_t i = 0; i < 2 * kKeys; ++i) {
        const std::string text = "check:" + std::to_string(i);
        owned.push_back(PyRef::steal(PyUnicode_FromStringAndSize(text.data(), std::ssize(text))));
        if (!owned.back()) throw_pending();
        strings.push_back(owned.back().get());
    }
    cache_str_hashes(strings);
    for (const std::uint32_t count : {1u, 4u, 5u, 18u, 19u, 76u, 77u, 200u}) {
        std::vector<std::uint32_t> numbers(count);
        for (std::uint32_t n = 0; n < count; ++n) numbers[n] = n;
        const PyRef set = filled_in_place(numbers, strings);
        if (PySet_GET_SIZE(set.get()) != static_cast<Py_ssize_t>(count)) return false;
        for (std::size_t i = 0; i < strings.size(); ++i) {
            const int found = PySet_Contains(set.get(), strings[i]);
            if (found < 0) throw_pending();
            if ((found == 1) != (i < count)) return false;
        }
    }
    return true;
}

bool fill_in_place() {
    if constexpr (!set_table::kLayoutKnown) return false;
    static const bool works = in_place_filling_works();
    return works;
}

}  // namespace

void cache_str_hashes(std::span<PyObject* const> strings) noexcept {
    // Hashing an exact str cannot fail: it reads the str's own text.
    for (PyObject* s : strings) {
        if (cached_hash(s) == -1) (void)PyObject_Hash(s);
    }
}

PyRef set_of_distinct_strs(std::span<const std::uint32_t> numbers,
                           std::span<PyObject* const> strings) {
    return fill_in_place() ? filled_in_place(numbers, strings) : filled_by_adding(numbers, strings);
}

}  // namespace ontarix::py
