#include "python/index_input.hpp"

#include <algorithm>
#include <climits>
#include <string>

#include "core/parallel_blocks.hpp"
#include "core/term_numbering.hpp"
#include "python/closure_input.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/set_table.hpp"
#include "python/str_numbering.hpp"

namespace ontarix::py {
namespace {

// ---- the closure table -------------------------------------------------------------------------

// Predicates are few: numbered by text.
std::uint32_t predicate_number(ClosureRows& rows, TermMap<std::uint32_t>& numbers, Term text) {
    const auto [it, inserted] =
        numbers.try_emplace(text, static_cast<std::uint32_t>(rows.predicate_texts.size()));
    if (inserted) rows.predicate_texts.push_back(text);
    return it->second;
}

// The rows of a table that is not plain (closure_input.hpp): converted by the native route, which
// raises whatever error there is and settles keys that encode alike. The rows view the strs, as
// the native table did.
ClosureRows rows_from_native(PyObject* table) { return closure_rows_of(to_closure_table(table)); }

// The rows of a plain table (closure_input.hpp), or nothing when something else turns up: the
// native route then converts the table. Strings are checked as they are numbered, so a str met
// again (most of them: programs share their term objects) is not read again.
//
// The walk is in two passes because its cost is memory latency, not work: every subject leads
// through a row dict to a set object and from there to the set's table, each a separate heap
// block. The first pass collects the (subject, predicate, set) rows; the second walks the sets'
// tables, loading the set objects and then their tables a few rows ahead of use.
std::optional<ClosureRows> exact_rows(PyObject* table) {
    struct Row {
        std::uint32_t subject;
        std::uint32_t predicate;
        PyObject* objects;
    };
    ClosureRows rows;
    StrNumbering terms(static_cast<std::size_t>(PyDict_GET_SIZE(table)));
    TermMap<std::uint32_t> predicates;
    // Rows nearly always use one or two predicates, and usually the same str objects for them.
    PyObject* last_predicate = nullptr;
    std::uint32_t last_predicate_number = 0;
    std::vector<Row> sets;
    sets.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(table)));
    rows.subjects.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(table)));

    std::size_t entries = 0;
    Py_ssize_t pos = 0;
    PyObject* subject;
    PyObject* row;
    while (PyDict_Next(table, &pos, &subject, &row)) {
        if (!PyUnicode_CheckExact(subject) || !plain_dict(row)) return std::nullopt;
        // An exact str's hash never fails.
        const std::uint32_t s = terms.number(subject, PyObject_Hash(subject), rows.texts);
        if (s == StrNumbering::kNotExact) return std::nullopt;
        rows.subjects.push_back(s);
        Py_ssize_t row_pos = 0;
        PyObject* predicate;
        PyObject* objects;
        while (PyDict_Next(row, &row_pos, &predicate, &objects)) {
            if (!plain_term(predicate) || !plain_set(objects)) return std::nullopt;
            if (predicate != last_predicate) {
                last_predicate = predicate;
                last_predicate_number = predicate_number(rows, predicates, to_term(predicate));
            }
            sets.push_back({s, last_predicate_number, objects});
            entries += static_cast<std::size_t>(PySet_GET_SIZE(objects));
        }
    }
    // Sized once: growing a vector of a million numbers would copy it and touch fresh pages
    // several times over.
    rows.objects.reserve(entries);

    // The sets' entries are gathered a chunk at a time (reading each table front to back), and
    // then numbered with the slot of an entry a little further on already on its way. A set's
    // entries are distinct strs, so its group holds distinct numbers.
    constexpr std::size_t kObjectAhead = 8;
    constexpr std::size_t kTableAhead = 4;
    constexpr std::size_t kChunk = 4096;
    constexpr std::size_t kSlotAhead = 16;
    // Room for a chunk plus whatever the set that fills it may copy (set_table::copy_entries).
    std::size_t largest_table = 0;
    for (const Row& r : sets) largest_table = std::max(largest_table, set_table::capacity(r.objects));
    std::vector<set_table::Entry> chunk(kChunk + largest_table);
    std::size_t chunk_size = 0;
    std::size_t first_set = 0;  // the first set whose entries are in the chunk
    rows.groups.reserve(sets.size());
    auto number_chunk = [&](std::size_t end_set) {
        for (std::size_t j = 0; j < chunk_size; ++j) {
            if (j + kSlotAhead < chunk_size) terms.prefetch(chunk[j + kSlotAhead].hash);
            rows.objects.push_back(terms.number(chunk[j].key, chunk[j].hash, rows.texts));
        }
        chunk_size = 0;
        for (std::size_t k = first_set; k < end_set; ++k) {
            const std::size_t begin = rows.groups.empty() ? 0 : rows.groups.back().end;
            const auto size = static_cast<std::size_t>(PySet_GET_SIZE(sets[k].objects));
            rows.groups.push_back({sets[k].subject, sets[k].predicate, begin, begin + size});
        }
        first_set = end_set;
    };
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (i + kObjectAhead < sets.size()) __builtin_prefetch(sets[i + kObjectAhead].objects);
        if (i + kTableAhead < sets.size()) set_table::prefetch_table(sets[i + kTableAhead].objects);
        const set_table::Entry* end =
            set_table::copy_entries(sets[i].objects, chunk.data() + chunk_size);
        chunk_size = static_cast<std::size_t>(end - chunk.data());
        if (chunk_size >= kChunk) number_chunk(i + 1);
    }
    number_chunk(sets.size());
    for (const std::uint32_t number : rows.objects) {
        if (number == StrNumbering::kNotExact) return std::nullopt;
    }
    rows.distinct_objects = true;
    return rows;
}


// ---- error texts ------------------------------------------------------------------------------

PyRef type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        drop_pending_error();
        name = PyRef::steal(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
        if (!name) throw_pending();
    }
    return name;
}

[[noreturn, gnu::cold, gnu::noinline]] void raise_type(const FunctionSpec& f,
                                                       const std::string& what,
                                                       const char* expected, PyObject* got) {
    const PyRef name = type_name(got);
    throw_error(PyExc_TypeError, PyUnicode_FromFormat("%s() %s must be %s, not %U", f.shown_name(),
                                                      what.c_str(), expected, name.get()));
}

std::string argument(const char* param) { return std::string("argument '") + param + "'"; }

// raise_type for `got`, with the value described by describe(), which may run Python code (the
// __repr__ of a mapping key that names it). That code may drop the last other reference to `got`
// (a value borrowed from the mapping being read): it is held across.
template <class Describe>
[[noreturn, gnu::cold, gnu::noinline]] void raise_type_of(const FunctionSpec& f,
                                                          Describe&& describe,
                                                          const char* expected, PyObject* got) {
    const PyRef held = PyRef::borrow(got);
    const std::string what = describe();
    raise_type(f, what, expected, held.get());
}

std::string item_of(const char* param, std::size_t i) {
    return argument(param) + " item " + std::to_string(i);
}

// A str subclass or str: its text; else the TypeError of describe(), which names the value (only
// called to report the error).
template <class Describe>
Term text_of(const FunctionSpec& f, Describe&& describe, PyObject* obj) {
    if (!PyUnicode_Check(obj)) [[unlikely]] raise_type_of(f, describe, "str", obj);
    return to_term(obj);
}

bool is_unordered_or_text(PyObject* obj) {
    return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
           PyAnySet_Check(obj) || PyDict_Check(obj);
}

// The (key, value) items of a mapping argument as a new list: a snapshot, which Python code run
// later (a value's __float__) cannot change. TypeError naming the argument for anything that is
// no mapping, and for a mapping whose items() are not pairs; fn(key, value) for each item, with
// the pair held while fn runs (code it runs could find the list through the collector).
template <class Fn>
void for_each_mapping_item(const FunctionSpec& f, const char* param, const char* expected,
                           PyObject* obj, Fn&& fn) {
    if (!PyDict_Check(obj) && (is_unordered_or_text(obj) || PyList_Check(obj) ||
                               PyTuple_Check(obj) || !PyObject_HasAttrString(obj, "items"))) {
        raise_type(f, argument(param), expected, obj);
    }
    const PyRef items = PyRef::steal(PyMapping_Items(obj));
    if (!items) throw_pending();
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const PyRef pair = PyRef::borrow(PyList_GET_ITEM(items.get(), i));
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            raise_type(f, argument(param), expected, obj);
        }
        fn(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
    }
}

// A new list of the items of an iterable (the caller checked what it must not be).
PyRef items_of(PyObject* obj, const FunctionSpec& f, const char* param, const char* expected) {
    PyRef fast = PyRef::steal(PySequence_Fast(obj, ""));
    if (!fast) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_type(f, argument(param), expected, obj);
        }
        throw_pending();
    }
    return fast;
}

}  // namespace

ClosureRows closure_rows_from_dict(PyObject* table) {
    if (plain_dict(table)) {
        if (std::optional<ClosureRows> rows = exact_rows(table)) return std::move(*rows);
    }
    return rows_from_native(table);
}

// ---- errors and options ------------------------------------------------------------------------

void raise_argument_type(const FunctionSpec& f, const char* param, const char* expected,
                         PyObject* got) {
    raise_type(f, argument(param), expected, got);
}

std::size_t measure_choice(const FunctionSpec& f, const char* param, PyObject* obj,
                           std::initializer_list<const char*> choices) {
    const Term text = text_of(f, [&] { return argument(param); }, obj);
    std::size_t i = 0;
    for (const char* choice : choices) {
        if (text == choice) return i;
        ++i;
    }
    std::string listed;
    for (const char* choice : choices) {
        if (!listed.empty()) listed += ", ";
        listed += '\'';
        listed += choice;
        listed += '\'';
    }
    throw_error(PyExc_ValueError, PyUnicode_FromFormat("%s() argument '%s' must be one of %s, not %R",
                                                       f.shown_name(), param, listed.c_str(), obj));
}

namespace {

// An int (not a bool) >= 1, saturated at `cap`.
std::size_t int_at_least_one(const FunctionSpec& f, const char* param, PyObject* obj,
                             std::size_t cap) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) raise_type(f, argument(param), "int", obj);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) throw_pending();
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        throw_error(PyExc_ValueError, PyUnicode_FromFormat("%s() argument '%s' must be at least 1, not %R",
                                                           f.shown_name(), param, obj));
    }
    if (overflow > 0 || static_cast<unsigned long long>(value) > cap) return cap;
    return static_cast<std::size_t>(value);
}

}  // namespace

unsigned thread_count(const FunctionSpec& f, const char* param, PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return usable_cpus();
    // More threads than this only add switching; the blocks cap the count further.
    constexpr std::size_t kMaxThreads = 1024;
    return static_cast<unsigned>(int_at_least_one(f, param, obj, kMaxThreads));
}

std::size_t positive_count(const FunctionSpec& f, const char* param, PyObject* obj) {
    return int_at_least_one(f, param, obj, SIZE_MAX / 2);
}

Term term_argument(const FunctionSpec& f, const char* param, PyObject* obj) {
    return text_of(f, [&] { return argument(param); }, obj);
}

std::unique_ptr<OwnedScores> information_content_argument(const FunctionSpec& f,
                                                          const char* param, PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return nullptr;
    auto out = std::make_unique<OwnedScores>();
    for_each_mapping_item(f, param, "a mapping of str to float", obj,
                          [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) raise_type(f, argument(param) + " key", "str", key);
        const PyRef held_value = PyRef::borrow(value);
        const double v = PyFloat_AsDouble(held_value.get());
        if (v == -1.0 && PyErr_Occurred() != nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
            PyErr_Clear();
            raise_type(f, argument(param) + " value", "a real number", held_value.get());
        }
        // The key is copied: no view outlives this call or the Python code just run.
        out->map.insert_or_assign(out->arena.store(to_term(key)), v);
    });
    return out;
}

namespace {

// An exact dict of exact strs to exact floats or ints, read without running Python code or
// copying a key; nothing when anything else turns up, which the general route then reads (and
// reports) from the start.
std::optional<std::vector<double>> exact_values(PyObject* dict, const IndexStructure& structure) {
    std::vector<double> ic(structure.size(), 0.0);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
        double v;
        if (PyFloat_CheckExact(value)) {
            v = PyFloat_AS_DOUBLE(value);
        } else if (PyLong_CheckExact(value)) {
            v = PyLong_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        const TermNumbering::Id term =
            structure.numbers.find(Term(text, static_cast<std::size_t>(size)));
        if (term != TermNumbering::kNone) ic[term] = v;
    }
    return ic;
}

}  // namespace

std::optional<std::vector<double>> information_content_values(const FunctionSpec& f,
                                                              const char* param, PyObject* obj,
                                                              const IndexStructure& structure) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    if (PyDict_CheckExact(obj)) {
        if (std::optional<std::vector<double>> ic = exact_values(obj, structure)) return ic;
    }
    return ic_by_text(structure, information_content_argument(f, param, obj)->map);
}

// ---- profiles ---------------------------------------------------------------------------------

ProfileNumbering::ProfileNumbering(const ClosureIndex& index, std::span<const Term> absent)
    : index_(index) {
    absent_texts_.reserve(absent.size());
    for (const Term text : absent) number(text);
}

std::uint32_t ProfileNumbering::number(Term text) {
    const std::uint32_t known = index_.find(text);
    if (known < index_.size()) return known;
    const auto found = absent_.find(text);
    if (found != absent_.end()) return found->second;
    const std::uint32_t number = space();
    const Term copy = arena_.store(text);
    absent_.emplace(copy, number);
    absent_texts_.push_back(copy);
    return number;
}

namespace {

template <class Describe>
std::vector<std::uint32_t> profile_of(const ProfileRules& rules, Describe&& describe,
                                      PyObject* obj, ProfileNumbering& numbering,
                                      const ClosureIndex& index) {
    if (!PyAnySet_Check(obj)) [[unlikely]] raise_type_of(*rules.f, describe, "a set of str", obj);
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>(PySet_GET_SIZE(obj)));
    set_table::for_each(obj, [&](PyObject* element, Py_hash_t) {
        const Term text = text_of(*rules.f, [&] { return describe() + " element"; }, element);
        const std::uint32_t number = numbering.number(text);
        if (number >= index.size() || !index.is_subject(number)) {
            if (rules.require_subjects) {
                // The term is named as it was given.
                PyErr_SetObject(PyExc_KeyError, element);
                throw PythonError{};
            }
            if (rules.first_non_subject != nullptr && !*rules.first_non_subject) {
                *rules.first_non_subject = PyRef::borrow(element);
            }
        }
        out.push_back(number);
    });
    std::sort(out.begin(), out.end());
    // Distinct strs can share a text only through a str subclass; they are one term.
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace

std::vector<std::uint32_t> profile_argument(const ProfileRules& rules, PyObject* obj,
                                            ProfileNumbering& numbering,
                                            const ClosureIndex& index) {
    return profile_of(rules, [&] { return argument(rules.param); }, obj, numbering, index);
}

ProfileList profile_sequence(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                             const ClosureIndex& index) {
    const char* expected = "a sequence of sets of str";
    if (is_unordered_or_text(obj)) raise_argument_type(*rules.f, rules.param, expected, obj);
    const PyRef items = items_of(obj, *rules.f, rules.param, expected);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    ProfileList out;
    out.begin.reserve(static_cast<std::size_t>(n) + 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.add(profile_of(rules, [&] { return item_of(rules.param, static_cast<std::size_t>(i)); },
                           item[i], numbering, index));
    }
    return out;
}

NamedProfiles named_profiles(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                             const ClosureIndex& index) {
    NamedProfiles out;
    // The name and the profile may be borrowed from a dict; describing a bad profile runs the
    // name's __repr__, which may empty that dict. Both are held first.
    auto add = [&](PyObject* name, PyObject* borrowed_profile) {
        if (!PyUnicode_Check(name)) {
            raise_type(*rules.f, argument(rules.param) + " key", "str", name);
        }
        out.names.push_back(PyRef::borrow(name));
        out.name_texts.push_back(to_term(name));
        const PyRef profile = PyRef::borrow(borrowed_profile);
        const auto describe = [&] {
            const PyRef repr = PyRef::steal(PyObject_Repr(name));
            if (!repr) throw_pending();
            return argument(rules.param) + " value for " + std::string(to_term(repr.get()));
        };
        out.profiles.add(profile_of(rules, describe, profile.get(), numbering, index));
    };
    if (PyDict_Check(obj)) {
        // A dict's own walk: converting profiles runs no Python code (a name's __repr__ runs only
        // to report an error, which ends the walk), and nothing is copied.
        out.names.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* profile;
        while (PyDict_Next(obj, &pos, &name, &profile)) add(name, profile);
    } else {
        for_each_mapping_item(*rules.f, rules.param, "a mapping of str to sets of str", obj, add);
    }
    return out;
}

namespace {

// Counts one annotated text.
void annotate(AnnotationTerms& out, const ClosureIndex& index, bool per_entry, Term text) {
    const std::uint32_t term = index.find(text);
    if (per_entry) {
        ++out.total_entries;
        if (term < index.size()) ++out.entries[term];
    } else if (term < index.size()) {
        out.objects.items.push_back(term);
    }
}

// An exact dict whose values are exact lists, tuples, sets or frozensets of exact strs, read in
// place: walking those runs no Python code, so nothing can change under the walk. False (with
// `out` to be discarded) when anything else turns up; the general route then reads, and reports,
// from the start.
bool exact_annotations(PyObject* dict, const ClosureIndex& index, bool per_entry,
                       AnnotationTerms& out) {
    auto text = [](PyObject* element, Term& into) {
        if (!PyUnicode_CheckExact(element)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(element, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return false;
        }
        into = Term(utf8, static_cast<std::size_t>(size));
        return true;
    };
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* terms;
    while (PyDict_Next(dict, &pos, &key, &terms)) {
        Term t;
        if (PyList_CheckExact(terms) || PyTuple_CheckExact(terms)) {
            PyObject** items = PySequence_Fast_ITEMS(terms);
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(terms);
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!text(items[i], t)) return false;
                annotate(out, index, per_entry, t);
            }
        } else if (PyAnySet_CheckExact(terms)) {
            const PyRef iterator = PyRef::steal(PyObject_GetIter(terms));
            if (!iterator) throw_pending();
            while (PyObject* element = PyIter_Next(iterator.get())) {
                const bool ok = text(element, t);
                Py_DECREF(element);  // still held by the set
                if (!ok) return false;
                annotate(out, index, per_entry, t);
            }
        } else {
            return false;
        }
        ++out.object_count;
        out.objects.begin.push_back(out.objects.items.size());
    }
    return true;
}

}  // namespace

AnnotationTerms annotation_terms(const FunctionSpec& f, const char* param, PyObject* obj,
                                 const ClosureIndex& index, bool per_entry) {
    const char* expected = "a mapping of objects to iterables of str";
    if (PyDict_CheckExact(obj)) {
        AnnotationTerms fast;
        fast.objects.begin.push_back(0);
        if (per_entry) fast.entries.assign(index.size(), 0);
        if (exact_annotations(obj, index, per_entry, fast)) return fast;
    }
    AnnotationTerms out;
    out.objects.begin.push_back(0);
    if (per_entry) out.entries.assign(index.size(), 0);
    // The items are a snapshot, holding every key and value: iterating a value may run Python
    // code that changes the mapping.
    for_each_mapping_item(f, param, expected, obj, [&](PyObject*, PyObject* terms) {
        if (PyUnicode_Check(terms) || PyBytes_Check(terms) || PyByteArray_Check(terms)) {
            raise_type(f, argument(param) + " value", "an iterable of str", terms);
        }
        const PyRef iterator = PyRef::steal(PyObject_GetIter(terms));
        if (!iterator) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
            PyErr_Clear();
            raise_type(f, argument(param) + " value", "an iterable of str", terms);
        }
        while (PyObject* raw = PyIter_Next(iterator.get())) {
            const PyRef element = PyRef::steal(raw);
            annotate(out, index, per_entry,
                     text_of(f, [&] { return argument(param) + " value element"; },
                             element.get()));
        }
        if (PyErr_Occurred() != nullptr) throw_pending();
        ++out.object_count;
        out.objects.begin.push_back(out.objects.items.size());
    });
    return out;
}

std::vector<std::uint32_t> term_sequence(const FunctionSpec& f, const char* param, PyObject* obj,
                                         const ClosureIndex& index) {
    const char* expected = "a sequence of str";
    if (is_unordered_or_text(obj)) raise_argument_type(f, param, expected, obj);
    const PyRef items = items_of(obj, f, param, expected);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto describe = [&] { return item_of(param, static_cast<std::size_t>(i)); };
        out.push_back(index.find(text_of(f, describe, item[i])));
    }
    return out;
}

}  // namespace ontarix::py
