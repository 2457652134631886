/* The C-API floor of relationships_to_closure_table, for bench/run.py only (never part of the
 * package): the grouping a C extension gets with the interpreter's public dict and set calls
 * over the caller's own str objects.
 *
 * It does the least any correct implementation must: every row is checked first (a tuple of
 * three str, each with its UTF-8 form, as a conversion has to, so that a bad row fails before
 * anything is built), then each row costs a subject lookup, a predicate lookup and a set
 * insertion, creating the inner dict or the set when the lookup misses. The collector is paused
 * around it, as a pure-Python loop would need gc.disable() for. No caching between rows. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int rows_valid(PyObject *const *rows, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = rows[i];
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 3) {
            PyErr_SetString(PyExc_TypeError, "rows must be 3-tuples");
            return 0;
        }
        for (Py_ssize_t k = 0; k < 3; ++k) {
            PyObject *s = PyTuple_GET_ITEM(row, k);
            Py_ssize_t size;
            if (!PyUnicode_Check(s)) {
                PyErr_SetString(PyExc_TypeError, "rows must hold str");
                return 0;
            }
            if (PyUnicode_AsUTF8AndSize(s, &size) == NULL) return 0;
        }
    }
    return 1;
}

/* The value under key, made by make() and stored when missing; borrowed. */
static PyObject *get_or_add(PyObject *dict, PyObject *key, PyObject *(*make)(void)) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (value != NULL || PyErr_Occurred()) return value;
    value = make();
    if (value == NULL) return NULL;
    int failed = PyDict_SetItem(dict, key, value) < 0;
    Py_DECREF(value);
    return failed ? NULL : value;
}

static PyObject *new_dict(void) { return PyDict_New(); }
static PyObject *new_set(void) { return PySet_New(NULL); }

static PyObject *group(PyObject *self, PyObject *arg) {
    (void)self;
    if (!PyList_CheckExact(arg) && !PyTuple_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a list or tuple");
        return NULL;
    }
    PyObject *const *rows = PySequence_Fast_ITEMS(arg);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(arg);
    int was_enabled = PyGC_Disable();
    PyObject *table = rows_valid(rows, n) ? PyDict_New() : NULL;
    for (Py_ssize_t i = 0; table != NULL && i < n; ++i) {
        PyObject *row = rows[i];
        PyObject *predicates = get_or_add(table, PyTuple_GET_ITEM(row, 0), new_dict);
        PyObject *objects =
            predicates ? get_or_add(predicates, PyTuple_GET_ITEM(row, 1), new_set) : NULL;
        if (objects == NULL || PySet_Add(objects, PyTuple_GET_ITEM(row, 2)) < 0) Py_CLEAR(table);
    }
    if (was_enabled) PyGC_Enable();
    return table;
}

static PyMethodDef methods[] = {
    {"group", group, METH_O, "group(rows) -> {subject: {predicate: {objects}}}"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "capi_floor", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_capi_floor(void) { return PyModule_Create(&module); }
