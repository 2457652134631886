#include "python/convert.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/fault.hpp"
#include "python/set_build.hpp"
#include "python/set_table.hpp"

namespace ontarix::py {
namespace {

// ---- error catalogue (off the hot paths) -------------------------------------------------------

// __qualname__ of the object's type; a metaclass may make it anything, hence the fallback.
[[gnu::cold]] PyRef type_qualname(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyRef name;
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) {
        name = PyRef::steal(PyType_GetQualName(type));
    } else {
        name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    }
    if (!name) {
        drop_pending_error();
    } else if (!PyUnicode_Check(name.get())) {
        name = PyRef();
    }
    return name;
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_cant_extract_str() {
    throw_error(PyExc_TypeError, PyUnicode_FromString("Can't extract `str` to `Vec`"));
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_str_as_filter() {
    throw_error(PyExc_TypeError,
                PyUnicode_FromString("expected a set of predicates, got a str "
                                     "(write {'is_a'} rather than 'is_a')"));
}

[[noreturn, gnu::cold, gnu::noinline]] void fault_dict_changed_size() {
    raise_fault("dictionary changed size during iteration");
}

[[noreturn, gnu::cold, gnu::noinline]] void fault_dict_keys_changed() {
    raise_fault("dictionary keys changed during iteration");
}

[[noreturn, gnu::cold, gnu::noinline]] void fault_dict_set_item() {
    keep_pending_memory_error();
    raise_fault("Failed to set_item on dict: " + take_error_description());
}

// ---- walking a dict -----------------------------------------------------------------------------

// PyDict_Next with the checks that catch a dict changed by Python code during the walk (only a
// __float__ of a score value can do that): before each step the size must still be the size
// at the start, and the walk may not have produced more items than the dict held.
class DictWalk {
public:
    explicit DictWalk(PyObject* dict) noexcept
        : dict_(dict), size_(PyDict_GET_SIZE(dict)), remaining_(size_) {}

    bool next(PyObject*& key, PyObject*& value) {
        if (PyDict_GET_SIZE(dict_) != size_) fault_dict_changed_size();
        if (remaining_ == -1) fault_dict_keys_changed();
        if (!PyDict_Next(dict_, &pos_, &key, &value)) return false;
        --remaining_;
        return true;
    }

    Py_ssize_t size() const noexcept { return size_; }

private:
    PyObject* dict_;
    Py_ssize_t size_;
    Py_ssize_t remaining_;
    Py_ssize_t pos_ = 0;
};

void require_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) [[unlikely]] throw_downcast(obj, "PyDict");
}

PredicateMap to_predicate_map(PyObject* obj) {
    require_dict(obj);
    DictWalk walk(obj);
    PredicateMap out;
    out.reserve(static_cast<std::size_t>(walk.size()));
    PyObject* key;
    PyObject* value;
    while (walk.next(key, value)) {
        const Term predicate = to_term(key);
        out.insert_or_assign(predicate, to_term_set(value));
    }
    return out;
}

// ---- score maps -------------------------------------------------------------------------------

// Converts keys and real-number values of score dicts, switching to holding strong references
// once a value needs Python code (see the lifetime policy in convert.hpp).
class ScoreConversion {
public:
    explicit ScoreConversion(Anchor& anchor) : anchor_(anchor) {}

    Term key(PyObject* obj) {
        const Term term = to_term(obj);
        if (protecting_) {
            anchor_.hold(obj);
        } else {
            viewed_.push_back(obj);
        }
        return term;
    }

    double value(PyObject* obj) {
        if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
        if (PyLong_CheckExact(obj)) {
            const double v = PyFloat_AsDouble(obj);  // native; may overflow
            if (v == -1.0 && PyErr_Occurred() != nullptr) throw_pending();
            return v;
        }
        return value_running_python(obj);
    }

    // Containers walked while Python code may run must outlive the walk.
    PyRef hold_container(PyObject* obj) { return PyRef::borrow(obj); }

    void reserve_keys(std::size_t n) { viewed_.reserve(viewed_.size() + n); }

private:
    [[gnu::noinline]] double value_running_python(PyObject* obj) {
        if (!protecting_) {
            anchor_.reserve(viewed_.size());
            for (PyObject* viewed : viewed_) anchor_.hold(viewed);
            viewed_ = {};
            protecting_ = true;
        }
        const PyRef held = PyRef::borrow(obj);
        const double v = PyFloat_AsDouble(held.get());
        if (v == -1.0 && PyErr_Occurred() != nullptr) throw_pending();
        return v;
    }

    Anchor& anchor_;
    std::vector<PyObject*> viewed_;
    bool protecting_ = false;
};

TermScoreMap to_score_map(PyObject* obj, ScoreConversion& conv) {
    require_dict(obj);
    DictWalk walk(obj);
    TermScoreMap out;
    out.reserve(static_cast<std::size_t>(walk.size()));
    conv.reserve_keys(static_cast<std::size_t>(walk.size()));
    PyObject* key;
    PyObject* value;
    while (walk.next(key, value)) {
        const Term term = conv.key(key);
        out.insert_or_assign(term, conv.value(value));
    }
    return out;
}

// ---- triple lists -------------------------------------------------------------------------------

bool is_str_instance(PyObject* obj) {
    if (PyUnicode_Check(obj)) return true;
    const int r = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (r < 0) {
        drop_pending_error();
        return false;
    }
    return r == 1;
}

Triple to_triple(PyObject* item) {
    require_triple_shape(item);
    // Braced initialisation evaluates in order: subject, predicate, object.
    return Triple{to_term(PyTuple_GET_ITEM(item, 0)), to_term(PyTuple_GET_ITEM(item, 1)),
                  to_term(PyTuple_GET_ITEM(item, 2))};
}

// A length hint from a user-defined __len__ may be anything; beyond this the vector grows.
constexpr Py_ssize_t kMaxTrustedHint = Py_ssize_t{1} << 20;

}  // namespace

void throw_downcast(PyObject* obj, const char* target) {
    const PyRef name = type_qualname(obj);
    if (name) {
        throw_error(PyExc_TypeError, PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                          name.get(), target));
    }
    throw_error(PyExc_TypeError,
                PyUnicode_FromFormat(
                    "'<failed to extract type name>' object cannot be converted to '%s'", target));
}

void throw_wrong_tuple_length(Py_ssize_t length) {
    throw_error(PyExc_ValueError,
                PyUnicode_FromFormat("expected tuple of length 3, but got tuple of length %zd",
                                     length));
}

void fault_set_build() {
    keep_pending_memory_error();
    raise_fault("Failed to create Python set from HashSet: " + take_error_description());
}

Term to_term_slow(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_downcast(obj, "PyString");
    Py_ssize_t size = 0;
    // Non-ASCII text is encoded once and cached inside the str object itself.
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw_pending();  // lone surrogate: the interpreter's UnicodeEncodeError
    return {data, static_cast<std::size_t>(size)};
}

namespace {

// The elements of a set or frozenset (or subclass), by the string rule. Walks the set's own table,
// so a subclass's __iter__ is not consulted and no Python code runs.
TermSet terms_of_set(PyObject* set) {
    TermSet out;
    out.reserve(static_cast<std::size_t>(PySet_GET_SIZE(set)));
    set_table::for_each(set, [&](PyObject* key, Py_hash_t) { out.insert(to_term(key)); });
    return out;
}

}  // namespace

TermSet to_term_set(PyObject* obj) {
    if (!PySet_Check(obj)) [[unlikely]] throw_downcast(obj, "PySet");
    return terms_of_set(obj);
}

std::optional<TermSet> to_optional_term_set(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_term_set(obj);
}

ClosureTable to_closure_table(PyObject* obj) {
    require_dict(obj);
    DictWalk walk(obj);
    ClosureTable out;
    out.reserve(static_cast<std::size_t>(walk.size()));
    PyObject* key;
    PyObject* value;
    while (walk.next(key, value)) {
        const Term subject = to_term(key);
        out.insert_or_assign(subject, to_predicate_map(value));
    }
    return out;
}

TermScoreMap to_term_score_map(PyObject* obj, Anchor& anchor) {
    ScoreConversion conv(anchor);
    return to_score_map(obj, conv);
}

PairwiseScoreTable to_pairwise_score_table(PyObject* obj, Anchor& anchor) {
    require_dict(obj);
    ScoreConversion conv(anchor);
    DictWalk walk(obj);
    PairwiseScoreTable out;
    out.reserve(static_cast<std::size_t>(walk.size()));
    conv.reserve_keys(static_cast<std::size_t>(walk.size()));
    PyObject* key;
    PyObject* value;
    while (walk.next(key, value)) {
        const Term term = conv.key(key);
        // A __float__ inside may drop the inner dict from the outer one.
        const PyRef inner = conv.hold_container(value);
        out.insert_or_assign(term, to_score_map(inner.get(), conv));
    }
    return out;
}

TripleList to_triple_list(PyObject* obj, Anchor& anchor, std::vector<PyObject*>* items) {
    const bool builtin = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    if (!builtin) {
        if (is_str_instance(obj)) throw_cant_extract_str();
        if (!PySequence_Check(obj)) throw_downcast(obj, "Sequence");
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        drop_pending_error();
        hint = 0;
    }
    if (!builtin) hint = std::min(hint, kMaxTrustedHint);
    TripleList rows;
    rows.reserve(static_cast<std::size_t>(hint));

    const PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) throw_pending();
    // Only an exact list or tuple is sure to be iterated over itself, by an iterator that runs no
    // Python code, so that the argument keeps every item alive. Anything else may hand out items
    // that only its iterator owns: a subclass whose __iter__ returns iter() of a temporary list
    // gets a built-in list iterator too, and that iterator drops the list, items and all, when it
    // is exhausted. Their items are kept.
    const bool keep_items = !builtin;
    if (keep_items) anchor.reserve(static_cast<std::size_t>(hint));
    if (items != nullptr) items->reserve(static_cast<std::size_t>(hint));
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred() != nullptr) throw_pending();
            break;
        }
        rows.push_back(to_triple(item.get()));
        if (items != nullptr) items->push_back(item.get());
        if (keep_items) anchor.adopt(std::move(item));
    }
    return rows;
}

std::optional<TermSet> to_predicate_filter(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    if (PyAnySet_Check(obj)) return terms_of_set(obj);
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        // Items read in place (not through a subclass's __iter__), so no Python code runs and the
        // container stays as it is while it is read.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        TermSet out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) out.insert(to_term(items[i]));
        return out;
    }
    if (PyUnicode_Check(obj)) throw_str_as_filter();
    throw_downcast(obj, "PySet");
}

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj != Py_False) [[unlikely]] throw_downcast(obj, "PyBool");
    return false;
}

PyRef float_to_py(double value) {
    PyRef out = PyRef::steal(PyFloat_FromDouble(value));
    if (!out) fail_python_api();
    return out;
}

PyRef str_to_py(Term text) {
    PyRef out = PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!out) fail_python_api();
    return out;
}

PyRef term_score_to_py(const std::pair<Term, double>& pair) {
    PyRef out = PyRef::steal(PyTuple_New(2));
    if (!out) fail_python_api();
    PyTuple_SET_ITEM(out.get(), 0, str_to_py(pair.first).release());
    PyTuple_SET_ITEM(out.get(), 1, float_to_py(pair.second).release());
    return out;
}

PyRef term_set_to_py(const TermSet& set) {
    PyRef out = PyRef::steal(PySet_New(nullptr));
    if (!out) fault_set_build();
    for (const Term term : set) {
        PyRef str = str_to_py(term);
        if (PySet_Add(out.get(), str.get()) < 0) fault_set_build();
    }
    return out;
}

PyRef term_set_to_py(std::span<const std::uint32_t> numbers, std::span<const Term> texts) {
    PyRef out = PyRef::steal(PySet_New(nullptr));
    if (!out) fault_set_build();
    for (const std::uint32_t number : numbers) {
        PyRef str = str_to_py(texts[number]);
        if (PySet_Add(out.get(), str.get()) < 0) fault_set_build();
    }
    return out;
}

namespace {

// A new str, or null with the interpreter's error pending; ASCII text (nearly every term
// identifier) is copied straight into a str made for it, without the decoder's pass.
PyObject* new_str_or_null(Term text) {
    bool ascii = true;
    for (const char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (!ascii) return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (out != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
    return out;
}

// The closure table's strs: a failure is a fault, as for every result it builds.
PyObject* new_str(Term text) {
    PyObject* out = new_str_or_null(text);
    if (out == nullptr) fail_python_api();
    return out;
}

}  // namespace

PyRef closure_table_to_py(const FlatClosure& table) {
    // Strings are made on first use, as the table is walked; all are released at the end (the
    // containers hold their own references).
    struct Strings {
        std::vector<PyObject*> objects;
        ~Strings() {
            for (PyObject* s : objects) Py_XDECREF(s);
        }
    } strings{std::vector<PyObject*>(table.texts.size(), nullptr)};
    auto str = [&](std::uint32_t number) -> PyObject* {
        PyObject*& slot = strings.objects[number];
        if (slot == nullptr) slot = new_str(table.texts[number]);
        return slot;
    };
    auto presized_dict = [](std::size_t entries) {
        PyRef d = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries)));
        if (!d) fail_python_api();
        return d;
    };

    PyRef out = presized_dict(table.subjects.size());
    for (std::size_t i = 0; i < table.subjects.size(); ++i) {
        const std::uint32_t first = table.group_begin[i];
        const std::uint32_t last = table.group_begin[i + 1];
        PyRef inner = presized_dict(last - first);
        for (std::uint32_t g = first; g < last; ++g) {
            PyRef set = PyRef::steal(PySet_New(nullptr));
            if (!set) fault_set_build();
            for (std::uint32_t k = table.object_begin[g]; k < table.object_begin[g + 1]; ++k) {
                if (PySet_Add(set.get(), str(table.objects[k])) < 0) fault_set_build();
            }
            if (PyDict_SetItem(inner.get(), str(table.group_predicate[g]), set.get()) < 0) {
                fault_dict_set_item();
            }
        }
        if (PyDict_SetItem(out.get(), str(table.subjects[i]), inner.get()) < 0) {
            fault_dict_set_item();
        }
    }
    return out;
}

namespace {

// A new str holding `text`, with a failure of the interpreter left pending as it is.
PyObject* new_plain_str(Term text) {
    PyObject* out = new_str_or_null(text);
    if (out == nullptr) throw_pending();
    return out;
}

PyRef presized_dict(std::size_t entries) {
    PyRef d = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries)));
    if (!d) throw_pending();
    return d;
}

}  // namespace

TermStrings::TermStrings(const NumberedEdges& numbered, std::span<PyObject* const> row_items) {
    objects_.reserve(numbered.texts.size());
    try {
        for (std::size_t t = 0; t < numbered.texts.size(); ++t) {
            const std::size_t where = numbered.first_seen[t];
            PyObject* given = PyTuple_GET_ITEM(row_items[where / 2], where % 2 == 0 ? 0 : 2);
            if (PyUnicode_CheckExact(given)) {
                Py_INCREF(given);
                objects_.push_back(given);
            } else {
                objects_.push_back(new_plain_str(numbered.texts[t]));
            }
        }
    } catch (...) {
        for (PyObject* s : objects_) Py_DECREF(s);
        throw;
    }
    cache_str_hashes(objects_);
}

TermStrings::~TermStrings() {
    for (PyObject* s : objects_) Py_DECREF(s);
}

PyRef reach_table_to_py(const ReachTable& reach, std::span<PyObject* const> strings,
                        PyObject* label) {
    const std::size_t terms = reach.term_count();
    std::size_t keys = 0;
    for (std::size_t t = 0; t < terms; ++t) keys += reach.begin[t + 1] != reach.begin[t];
    PyRef out = presized_dict(keys);
    for (std::uint32_t t = 0; t < terms; ++t) {
        const std::span<const std::uint32_t> reached = reach.of(t);
        if (reached.empty()) continue;
        const PyRef set = set_of_distinct_strs(reached, strings);
        const PyRef inner = presized_dict(1);
        if (PyDict_SetItem(inner.get(), label, set.get()) < 0) throw_pending();
        if (PyDict_SetItem(out.get(), strings[t], inner.get()) < 0) throw_pending();
    }
    return out;
}

}  // namespace ontarix::py
