// Python objects that own one immutable native value (ClosureIndex, PreparedProfiles,
// NullDistributions): the value is made first, handed to the object, and deleted with it.
#pragma once

#include <Python.h>

#include <memory>

#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// The layout of such an object; its size is the type's tp_basicsize.
template <class T>
struct OwnedObject {
    PyObject_HEAD
    const T* value;
};

// The value of `self`, whose type has this layout.
template <class T>
const T& owned_value(PyObject* self) noexcept {
    return *reinterpret_cast<OwnedObject<T>*>(self)->value;
}

// The value of `obj` when it is an instance of exactly `type` (null or not yet made: never).
template <class T>
const T* owned_value_if(PyObject* obj, const PyTypeObject* type) noexcept {
    if (type == nullptr || Py_TYPE(obj) != type) return nullptr;
    return reinterpret_cast<OwnedObject<T>*>(obj)->value;
}

// A new instance of `type` owning `value`.
template <class T>
PyRef wrap_owned(PyTypeObject* type, std::unique_ptr<T> value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_pending();
    reinterpret_cast<OwnedObject<T>*>(self)->value = value.release();
    return PyRef::steal(self);
}

// The type's tp_dealloc.
template <class T>
void dealloc_owned(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<OwnedObject<T>*>(self)->value;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace ontarix::py
