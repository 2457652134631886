// The closure-table argument, {term: {predicate: {terms it reaches}}}, and its one set of rules.
//
// A closure table reaches three readers: the native conversion (to_closure_table, convert.hpp),
// the module functions' walk of the caller's own dicts and sets (str_closure.hpp), and the
// index's numbering of the caller's strs (index_input.hpp). They share their rules this way:
//   * Only the conversion raises. What it refuses, and the first thing it refuses in its walk
//     order (a subject, its row, then each predicate and its object set element by element, in
//     the dicts' and sets' own order), with its message, is the error of every reader.
//   * The direct readers take only a table that is plainly valid by the predicates below, and
//     hand anything else, whole and untouched, to the conversion: every string an exact str whose
//     UTF-8 form exists, the table and every row a dict (or subclass), every object set a set (or
//     subclass; never a frozenset). The conversion accepts such a table without error, and exact
//     strs with equal text are one key, so a direct reader sees the very table the conversion
//     would build. A str subclass anywhere (whose texts may coincide) goes to the conversion too.
// So a direct reader can skip all checking beyond these predicates, and a change to the rules is
// made in the conversion alone; a predicate that admitted more than the conversion would be the
// one way to break the agreement. None of this runs Python code.
#pragma once

#include <Python.h>

namespace ontarix::py {

[[gnu::noinline]] bool plain_term_slow(PyObject* obj) noexcept;

// An exact str whose UTF-8 form exists (made and cached now for text that is not ASCII). Leaves
// no error pending.
inline bool plain_term(PyObject* obj) noexcept {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] return true;
    return plain_term_slow(obj);
}

// A row of the table, or the table itself.
inline bool plain_dict(PyObject* obj) noexcept { return PyDict_Check(obj); }

// An object set (or predicate filter), its elements aside.
inline bool plain_set(PyObject* obj) noexcept { return PySet_Check(obj); }

// A plain set of plain terms.
bool plain_term_set(PyObject* obj);

// A plain table: plain dicts, plain terms, plain sets of plain terms throughout.
bool plain_closure_table(PyObject* table);

}  // namespace ontarix::py
