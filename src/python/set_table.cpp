#include "python/set_table.hpp"

namespace ontarix::py::set_table {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000

namespace {

// setobject.c of CPython 3.11: LINEAR_PROBES and PERTURB_SHIFT.
constexpr std::size_t kLinearProbes = 9;
constexpr unsigned kPerturbShift = 5;

// The table size the interpreter keeps for n keys: a power of two whose mask m has n * 5 < m * 3.
std::size_t table_size_for(std::size_t n) noexcept {
    std::size_t size = PySet_MINSIZE;
    while (n * 5 >= (size - 1) * 3) size <<= 1;
    return size;
}

// set_insert_clean() of setobject.c: the first free slot of the lookup's probe sequence (the slot
// of hash & mask, then up to nine slots after it while they stay inside the table, then a
// perturbed jump).
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

}  // namespace

void fill_empty(PyObject* set, std::span<const std::uint32_t> numbers,
                std::span<PyObject* const> strings) {
    auto* so = reinterpret_cast<PySetObject*>(set);
    const std::size_t size = table_size_for(numbers.size());
    setentry* table = so->smalltable;  // an empty set's built-in slots are all free
    if (size > PySet_MINSIZE) {
        // The set's deallocator frees a table larger than its built-in slots with PyMem_Free.
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
}

#else

void fill_empty(PyObject*, std::span<const std::uint32_t>, std::span<PyObject* const>) {
    raise_fault("set tables of this interpreter are not filled in place");
}

#endif

}  // namespace ontarix::py::set_table
