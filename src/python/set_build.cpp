#include "python/set_build.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "python/panic.hpp"

namespace ontarix::py {
namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
constexpr bool kKnownLayout = true;
#else
constexpr bool kKnownLayout = false;
#endif

// setobject.c of CPython 3.11: LINEAR_PROBES and PERTURB_SHIFT.
constexpr std::size_t kLinearProbes = 9;
constexpr unsigned kPerturbShift = 5;

// The table size the interpreter keeps for n keys: a power of two whose mask m has n * 5 < m * 3.
std::size_t table_size_for(std::size_t n) noexcept {
    std::size_t size = PySet_MINSIZE;
    while (n * 5 >= (size - 1) * 3) size <<= 1;
    return size;
}

// set_insert_clean() of setobject.c: the first free slot of the lookup's probe sequence.
void insert_clean(setentry* table, std::size_t mask, PyObject* key, Py_hash_t hash) noexcept {
    std::size_t perturb = static_cast<std::size_t>(hash);
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    for (;;) {
        setentry* entry = &table[i];
        if (entry->key == nullptr) {
            entry->key = key;
            entry->hash = hash;
            return;
        }
        if (i + kLinearProbes <= mask) {
            for (std::size_t j = 0; j < kLinearProbes; ++j) {
                ++entry;
                if (entry->key == nullptr) {
                    entry->key = key;
                    entry->hash = hash;
                    return;
                }
            }
        }
        perturb >>= kPerturbShift;
        i = (i * 5 + 1 + perturb) & mask;
    }
}

Py_hash_t cached_hash(PyObject* str) noexcept { return reinterpret_cast<PyASCIIObject*>(str)->hash; }

PyRef new_set() {
    PyRef set = PyRef::steal(PySet_New(nullptr));
    if (!set) throw_pending();
    return set;
}

PyRef filled_in_place(std::span<const std::uint32_t> numbers, std::span<PyObject* const> strings) {
    PyRef set = new_set();
    auto* so = reinterpret_cast<PySetObject*>(set.get());
    const std::size_t size = table_size_for(numbers.size());
    setentry* table = so->smalltable;  // an empty set's built-in slots are all free
    if (size > PySet_MINSIZE) {
        table = static_cast<setentry*>(PyMem_Calloc(size, sizeof(setentry)));
        if (table == nullptr) {
            PyErr_NoMemory();
            throw_pending();
        }
    }
    const std::size_t mask = size - 1;
    for (const std::uint32_t n : numbers) {
        PyObject* key = strings[n];
        Py_INCREF(key);
        insert_clean(table, mask, key, cached_hash(key));
    }
    so->table = table;
    so->mask = static_cast<Py_ssize_t>(mask);
    so->fill = so->used = static_cast<Py_ssize_t>(numbers.size());
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
    if constexpr (!kKnownLayout) return false;
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
