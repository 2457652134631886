#include "python/record_class.hpp"

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "python/call_boundary.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

struct RecordObject {
    PyObject_HEAD
    TermSetPairwiseSimilarity record;
    // Shared borrows held by running accessors. Records are frozen once wrapped, so nothing ever
    // takes an exclusive borrow; the count documents (and checks) that accessors only read.
    Py_ssize_t borrows;
};

// Counts a shared borrow for the duration of an accessor.
class SharedBorrow {
public:
    explicit SharedBorrow(RecordObject* self) noexcept : self_(self) { ++self_->borrows; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --self_->borrows; }
    const TermSetPairwiseSimilarity& record() const noexcept { return self_->record; }

private:
    RecordObject* self_;
};

PyTypeObject* g_type = nullptr;  // created on first use, never released

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    return guarded_call([]() -> PyObject* {
        throw_error(PyExc_TypeError, PyUnicode_FromString("No constructor defined"));
    });
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    // Inside the boundary, so that nothing a destructor might throw escapes into the interpreter.
    guarded_call([&]() -> PyObject* {
        std::destroy_at(&reinterpret_cast<RecordObject*>(self)->record);
        return nullptr;
    });
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// One accessor: borrow, copy the field out as a new Python object, release the borrow.
template <auto Field>
PyObject* accessor(PyObject* self, PyObject*) noexcept {
    return guarded_call([&]() -> PyObject* {
        const SharedBorrow borrow(reinterpret_cast<RecordObject*>(self));
        return Field(borrow.record()).release();
    });
}

PyRef get_set_id(const TermSetPairwiseSimilarity& r) { return str_to_py(r.set_id); }
// A record's term numbers index its run's texts; a record without them has no terms either.
PyRef numbered_set_to_py(const TermSetPairwiseSimilarity& r, const TermNumberList& numbers) {
    return term_set_to_py(std::span<const std::uint32_t>(numbers),
                          r.strings ? std::span<const Term>(r.strings->texts)
                                    : std::span<const Term>());
}
PyRef get_subject_termset(const TermSetPairwiseSimilarity& r) {
    return numbered_set_to_py(r, r.subject_numbers());
}
PyRef get_object_termset(const TermSetPairwiseSimilarity& r) {
    return numbered_set_to_py(r, r.object_termset);
}
PyRef get_subject_best_matches(const TermSetPairwiseSimilarity& r) {
    return string_list_to_py(r.subject_best_matches);
}
PyRef get_object_best_matches(const TermSetPairwiseSimilarity& r) {
    return string_list_to_py(r.object_best_matches);
}
PyRef get_average_score(const TermSetPairwiseSimilarity& r) { return float_to_py(r.average_score); }
PyRef get_best_score(const TermSetPairwiseSimilarity& r) { return float_to_py(r.best_score); }
PyRef get_metric(const TermSetPairwiseSimilarity& r) { return str_to_py(r.metric); }

PyObject* new_record(PyObject*, PyObject*) noexcept {
    return guarded_call(
        [] { return record_to_py(TermSetPairwiseSimilarity::make_default()).release(); });
}

PyMethodDef g_methods[] = {
    {"new", new_record, METH_NOARGS | METH_STATIC, "new()\n--\n\n"},
    {"get_set_id", accessor<get_set_id>, METH_NOARGS, "get_set_id($self)\n--\n\n"},
    {"get_subject_termset", accessor<get_subject_termset>, METH_NOARGS,
     "get_subject_termset($self)\n--\n\n"},
    {"get_object_termset", accessor<get_object_termset>, METH_NOARGS,
     "get_object_termset($self)\n--\n\n"},
    {"get_subject_best_matches", accessor<get_subject_best_matches>, METH_NOARGS,
     "get_subject_best_matches($self)\n--\n\n"},
    {"get_object_best_matches", accessor<get_object_best_matches>, METH_NOARGS,
     "get_object_best_matches($self)\n--\n\n"},
    {"get_average_score", accessor<get_average_score>, METH_NOARGS,
     "get_average_score($self)\n--\n\n"},
    {"get_best_score", accessor<get_best_score>, METH_NOARGS, "get_best_score($self)\n--\n\n"},
    {"get_metric", accessor<get_metric>, METH_NOARGS, "get_metric($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.TermSetPairwiseSimilarity",
    sizeof(RecordObject),
    0,
    Py_TPFLAGS_DEFAULT,  // no subclassing, no cyclic GC (a record holds no Python references)
    g_slots,
};

PyTypeObject* record_type() {
    if (g_type == nullptr) [[unlikely]] {
        PyObject* type = PyType_FromSpec(&g_spec);
        if (type == nullptr) {
            PyErr_Print();
            raise_fault("An error occurred while initializing class TermSetPairwiseSimilarity");
        }
        g_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return g_type;
}

[[noreturn, gnu::cold, gnu::noinline]] void fault_instance_allocation() {
    keep_pending_memory_error();
    raise_fault(std::string(kErrValue) + ": " + take_error_description());
}

}  // namespace

PyRef record_to_py(TermSetPairwiseSimilarity&& record) {
    PyTypeObject* type = record_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) fault_instance_allocation();
    auto* obj = reinterpret_cast<RecordObject*>(self);
    // Moving cannot throw, so the instance is complete before anything else can fail.
    static_assert(std::is_nothrow_move_constructible_v<TermSetPairwiseSimilarity>);
    new (&obj->record) TermSetPairwiseSimilarity(std::move(record));
    obj->borrows = 0;
    return PyRef::steal(self);
}

PyRef records_to_py(std::vector<TermSetPairwiseSimilarity>&& records) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) fail_python_api();
    Py_ssize_t i = 0;
    for (TermSetPairwiseSimilarity& record : records) {
        PyList_SET_ITEM(list.get(), i++, record_to_py(std::move(record)).release());
    }
    return list;
}

}  // namespace ontarix::py
