#include "python/closure_input.hpp"

#include "python/set_table.hpp"

namespace ontarix::py {

bool plain_term_slow(PyObject* obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return false;
    if (PyUnicode_AsUTF8AndSize(obj, nullptr) != nullptr) return true;
    // A lone surrogate: the conversion raises its UnicodeEncodeError.
    PyErr_Clear();
    return false;
}

bool plain_term_set(PyObject* obj) {
    return plain_set(obj) &&
           set_table::for_each(obj, [](PyObject* key, Py_hash_t) { return plain_term(key); });
}

bool plain_closure_table(PyObject* table) {
    if (!plain_dict(table)) return false;
    Py_ssize_t pos = 0;
    PyObject* subject;
    PyObject* row;
    while (PyDict_Next(table, &pos, &subject, &row)) {
        if (!plain_term(subject) || !plain_dict(row)) return false;
        Py_ssize_t row_pos = 0;
        PyObject* predicate;
        PyObject* objects;
        while (PyDict_Next(row, &row_pos, &predicate, &objects)) {
            if (!plain_term(predicate) || !plain_term_set(objects)) return false;
        }
    }
    return true;
}

}  // namespace ontarix::py
