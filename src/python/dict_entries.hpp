// Walking a dict's items straight from its entry array.
//
// PyDict_Next costs a call and several checks per item, which is most of the time of a walk that
// only looks at each key's and value's type (validating a score table). Dicts whose keys are all
// exact str and that are not split instance dicts (every dict built from str keys, in practice)
// keep their items as an array of (key, value) pairs in insertion order, deleted items holding a
// null value: the same items in the same order as PyDict_Next hands out. That layout is private
// to the interpreter, so it is read in one translation unit against the interpreter's own
// definition (dict_entries.cpp); any other dict is walked with PyDict_Next.
//
// The entries are borrowed from the dict and valid while it is unchanged: callers must run no
// Python code during the walk.
#pragma once

#include <Python.h>

#include <cstddef>

namespace ontarix::py {

// Same layout as the interpreter's entry of a str-keyed table (checked where it is read).
struct StrKeyedEntry {
    PyObject* key;
    PyObject* value;  // null: a deleted item
};

struct StrKeyedEntries {
    const StrKeyedEntry* data;  // null: the dict has another layout
    std::size_t count;          // entries in use, deleted ones included
};

// The entry array of a dict (or subclass) in the combined str-keyed layout.
StrKeyedEntries str_keyed_entries(PyObject* dict) noexcept;

// Calls fn(key, value) for every item of the dict in its own order while fn returns true; false
// when fn stopped the walk.
template <class Fn>
inline bool for_each_item(PyObject* dict, Fn&& fn) {
    const StrKeyedEntries entries = str_keyed_entries(dict);
    if (entries.data != nullptr) [[likely]] {
        for (std::size_t i = 0; i < entries.count; ++i) {
            const StrKeyedEntry& entry = entries.data[i];
            if (entry.value != nullptr && !fn(entry.key, entry.value)) return false;
        }
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!fn(key, value)) return false;
    }
    return true;
}

}  // namespace ontarix::py
