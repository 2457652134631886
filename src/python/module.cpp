// The module's entry point. PyInit_ontarix is the only symbol the shared object exports.
#include <Python.h>

#include <atomic>

#include "python/call_boundary.hpp"
#include "python/closure_index_class.hpp"
#include "python/functions.hpp"
#include "python/interpreter_waiter.hpp"
#include "python/panic.hpp"
#include "python/prepared_profiles.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {
namespace {

// The functions keep no per-module state, but one module object per process is the contract:
// a second initialisation (re-import after removal from sys.modules, a subinterpreter) fails.
std::atomic<bool> g_initialized{false};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "ontarix",  // m_name
    "",         // m_doc: present and empty
    0,          // m_size: no per-module state
    nullptr,    // m_methods: the body adds the functions after creation
    nullptr, nullptr, nullptr, nullptr,
};

constexpr int kApiVersion = 1013;

PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) return all;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    return all;
}

// Adds a function of the table; `listed` ones are appended to __all__, which names exactly the
// eight functions the module has always exported. Later additions are attributes only.
void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def, bool listed) {
    const PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) throw_pending();
    const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) {
        throw_error(PyExc_TypeError, PyUnicode_FromString("function __name__ is not a str"));
    }
    if (listed) {
        const PyRef all = module_all(module);
        if (!PyList_Check(all.get())) {
            throw_error(PyExc_TypeError, PyUnicode_FromString("__all__ is not a list"));
        }
        if (PyList_Append(all.get(), name.get()) < 0) throw_pending();
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
}

// Classes are attributes, never in __all__.
void add_class(PyObject* module, PyTypeObject* type) {
    const PyRef name = PyRef::steal(PyUnicode_FromString(_PyType_Name(type)));
    if (!name) throw_pending();
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
        throw_pending();
    }
}

PyObject* init_module() {
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, kApiVersion));
    if (!module) throw_pending();
    // Tested only once the module exists, as the flag records a module that was handed out.
    if (g_initialized.exchange(true)) {
        throw_error(PyExc_ImportError,
                    PyUnicode_FromString(
                        "Velmor modules may only be initialized once per interpreter process"));
    }
    if (!prepare_function_table()) throw_pending();
    if (!install_exit_guard()) throw_pending();
    // The full dotted name when imported inside a package.
    const char* name = PyModule_GetName(module.get());
    if (name == nullptr) throw_pending();
    const PyRef module_name = PyRef::steal(PyUnicode_FromString(name));
    if (!module_name) throw_pending();
    const auto functions = function_table();
    for (std::size_t i = 0; i < functions.size(); ++i) {
        add_function(module.get(), module_name.get(), &functions[i], i < kListedFunctions);
    }
    add_class(module.get(), closure_index_type());
    add_class(module.get(), prepared_profiles_type());
    return module.release();
}

}  // namespace
}  // namespace ontarix::py

PyMODINIT_FUNC PyInit_ontarix() {
    return ontarix::py::guarded_call(ontarix::py::init_module);
}
