// Sets built at their final size, for results of hundreds of thousands of set entries.
//
// PySet_Add grows a table by moving every entry into one four times larger each time it gets 60%
// full, so a set filled one key at a time is rehashed two or three times and ends up with 1.7 to
// 6.7 slots per key. A closure table of GO's biological-process branch has 659k (term, ancestor)
// entries: most of the time of building it went into those moves and into the kernel's first
// touch of the oversized tables. When the number of keys is known and every key is a distinct
// exact str, the table can be allocated once at the size the interpreter itself would pick for
// that many keys (the smallest power of two that keeps it under 60% full) and filled in place.
//
// Filling in place is set_table.hpp's (the one place that knows the table layout). Only 3.11 is
// supported by the package; the first call checks the layout once more by building a set this way
// and looking up every key (and some absent ones) through PySet_Contains. On any other
// interpreter, or if that check fails, every set is filled with PySet_Add instead.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "python/py_ref.hpp"

namespace ontarix::py {

// Computes and caches the hash of every exact str of `strings` that has none yet (never fails).
void cache_str_hashes(std::span<PyObject* const> strings) noexcept;

// A new set {strings[n] for n in numbers}: the numbers distinct, the strings distinct exact strs
// whose hash is cached (cache_str_hashes). A failure of the interpreter (MemoryError) is left
// pending and thrown as PythonError.
PyRef set_of_distinct_strs(std::span<const std::uint32_t> numbers,
                           std::span<PyObject* const> strings);

}  // namespace ontarix::py
