// CPython's set tables, read and written in place: the one place that knows their layout.
//
// Sets of str are read on every hot path of the binding (term sets, profiles, the object sets of
// a closure table), and the interpreter's own iteration costs a call per element and hides the
// hash every entry stores. So they are read as CPython 3.11 lays them out: a PySetObject points
// at `mask + 1` setentry slots of {key, hash}, where a slot is free (key null), a live element,
// or the dummy key that marks a deleted one; iteration order is slot order. Building large result
// sets writes such a table once at its final size (set_build.hpp).
//
// That layout is checked against the interpreter the module is compiled for: 3.11, the only one
// the package supports. Compiled for any other (kLayoutKnown false), the same functions go
// through the public API instead: the set type's own iterator (never a subclass's __iter__, so no
// Python code runs), hashes computed for exact strs (whose hashing runs no Python code either) and
// -1 for anything else, and no filling in place.
//
// Readers hold the interpreter lock and run no Python code between their steps, so the table
// cannot change under them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py::set_table {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
inline constexpr bool kLayoutKnown = true;
#else
inline constexpr bool kLayoutKnown = false;
#endif

// An element and the hash its set stored for it (see above for other interpreters).
struct Entry {
    PyObject* key;
    Py_hash_t hash;
};

namespace detail {

inline Py_hash_t public_hash(PyObject* key) {
    return PyUnicode_CheckExact(key) ? PyObject_Hash(key) : -1;
}

// fn's result as "go on": a visitor may return void (always) or bool.
template <class Fn>
inline bool visit(Fn& fn, PyObject* key, Py_hash_t hash) {
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&, PyObject*, Py_hash_t>>) {
        fn(key, hash);
        return true;
    } else {
        return fn(key, hash);
    }
}

}  // namespace detail

// Calls fn(key, hash) for every element of a set or frozenset (or subclass) in iteration order;
// fn may return false to stop the walk, which then returns false. The walk is inlined, and loads
// the element a few slots ahead: visitors read the element, and each element is a separate heap
// block whose load would otherwise stall every step.
template <class Fn>
inline bool for_each(PyObject* set, Fn&& fn) {
    if constexpr (kLayoutKnown) {
        constexpr std::ptrdiff_t kAhead = 32;
        const auto* so = reinterpret_cast<const PySetObject*>(set);
        const setentry* entry = so->table;
        const setentry* const end = entry + so->mask + 1;
        for (; entry != end; ++entry) {
            if (end - entry > kAhead) __builtin_prefetch(entry[kAhead].key);
            PyObject* key = entry->key;
            if (key == nullptr || key == _PySet_Dummy) continue;
            if (!detail::visit(fn, key, entry->hash)) return false;
        }
        return true;
    } else {
        const PyRef iter = PyRef::steal(PySet_Type.tp_iter(set));
        if (!iter) throw_pending();
        for (;;) {
            const PyRef key = PyRef::steal(PyIter_Next(iter.get()));
            if (!key) {
                if (PyErr_Occurred() != nullptr) throw_pending();
                return true;
            }
            // The set keeps the element alive: its table cannot change during the walk.
            if (!detail::visit(fn, key.get(), detail::public_hash(key.get()))) return false;
        }
    }
}

// The room copy_entries may need for `set`.
inline std::size_t capacity(PyObject* set) noexcept {
    if constexpr (kLayoutKnown) {
        return static_cast<std::size_t>(reinterpret_cast<const PySetObject*>(set)->mask) + 1;
    } else {
        return static_cast<std::size_t>(PySet_GET_SIZE(set));
    }
}

// Writes every element of `set` with its hash to out[0, ...) (room for capacity(set) entries) and
// returns the end. The table is copied slot by slot without a branch, a slot kept by advancing past
// it: whether a slot is live is as good as random, and a mispredicted branch per slot costs more
// than the copy.
inline Entry* copy_entries(PyObject* set, Entry* out) {
    if constexpr (kLayoutKnown) {
        const auto* so = reinterpret_cast<const PySetObject*>(set);
        const setentry* entry = so->table;
        const setentry* const end = entry + so->mask + 1;
        for (; entry != end; ++entry) {
            PyObject* key = entry->key;
            *out = {key, entry->hash};
            out += (key != nullptr) & (key != _PySet_Dummy);
        }
        return out;
    } else {
        for_each(set, [&](PyObject* key, Py_hash_t hash) { *out++ = {key, hash}; });
        return out;
    }
}

// Starts loading the first lines of the set's table (its object must be loaded already, or on
// its way).
inline void prefetch_table(PyObject* set) noexcept {
    if constexpr (kLayoutKnown) {
        const auto* so = reinterpret_cast<const PySetObject*>(set);
        __builtin_prefetch(so->table);
        __builtin_prefetch(reinterpret_cast<const char*>(so->table) + 64);
    }
}

// ---- writing ---------------------------------------------------------------------------------

// Only where kLayoutKnown: fills a new empty set with {strings[n] for n in numbers} at the table
// size the interpreter itself would give that many keys, as set_insert_clean() of 3.11 places
// them. The numbers are distinct, the strings distinct exact strs with cached hashes. A MemoryError
// is left pending and thrown as PythonError.
void fill_empty(PyObject* set, std::span<const std::uint32_t> numbers,
                std::span<PyObject* const> strings);

}  // namespace ontarix::py::set_table
