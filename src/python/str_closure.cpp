#include "python/str_closure.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/terms.hpp"
#include "python/closure_input.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/str_sets.hpp"

namespace ontarix::py {
namespace {

// ---- lookups on validated arguments -------------------------------------------------------------

// Borrowed; null when absent.
PyObject* lookup(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred() != nullptr) [[unlikely]] throw_pending();
    return value;
}

bool is_root(PyObject* term) {
    return PyUnicode_IS_COMPACT_ASCII(term) &&
           static_cast<std::size_t>(PyUnicode_GET_LENGTH(term)) == kRootTerm.size() &&
           std::memcmp(PyUnicode_DATA(term), kRootTerm.data(), kRootTerm.size()) == 0;
}

// The expansion of a term: borrowed when one stored object set makes it up (the common case),
// else a new set built from the stored ones with their stored hashes.
class Expansion {
public:
    void add(PyObject* objects) {
        if (first_ == nullptr) {
            first_ = objects;
            return;
        }
        if (!union_) {
            union_ = PyRef::steal(PySet_New(first_));
            if (!union_) throw_pending();
        }
        if (_PySet_Update(union_.get(), objects) < 0) throw_pending();
    }
    // Null when empty.
    PyObject* set() const noexcept { return union_ ? union_.get() : first_; }
    Py_ssize_t size() const noexcept { return set() != nullptr ? PySet_GET_SIZE(set()) : 0; }

private:
    PyObject* first_ = nullptr;
    PyRef union_;
};

// As expand_term_view: every object set of the term's row, or those of the filter's predicates
// that the row has.
Expansion expand(PyObject* table, PyObject* term, PyObject* filter) {
    Expansion out;
    PyObject* row = lookup(table, term);
    if (row == nullptr) return out;
    if (filter == nullptr) {
        Py_ssize_t pos = 0;
        PyObject* predicate;
        PyObject* objects;
        while (PyDict_Next(row, &pos, &predicate, &objects)) out.add(objects);
    } else {
        for_each_entry(filter, [&](PyObject* predicate) {
            if (PyObject* objects = lookup(row, predicate)) out.add(objects);
        });
    }
    return out;
}

PyObject* filter_of(PyObject* predicates) noexcept {
    return predicates == Py_None ? nullptr : predicates;
}

// ---- information content ------------------------------------------------------------------------

// The common ancestors other than the root, with a count each, and a dict from ancestor to its
// position for probing from the object side.
class AncestorCounts {
public:
    AncestorCounts() : index_(PyRef::steal(PyDict_New())) {
        if (!index_) throw_pending();
    }

    void add(PyObject* ancestor) {
        PyRef position = PyRef::steal(PyLong_FromSize_t(ancestors_.size()));
        if (!position || PyDict_SetItem(index_.get(), ancestor, position.get()) < 0) {
            throw_pending();
        }
        ancestors_.push_back(ancestor);
        counts_.push_back(0);
    }

    bool empty() const noexcept { return ancestors_.empty(); }
    std::uint64_t total() const noexcept { return total_; }
    const std::vector<std::uint64_t>& counts() const noexcept { return counts_; }

    // One (subject, predicate) object set: every ancestor it holds gains 1, the total its size.
    // Probes from the smaller side.
    void count(PyObject* objects) {
        const auto size = static_cast<std::size_t>(PySet_GET_SIZE(objects));
        total_ += size;
        if (ancestors_.size() <= size) {
            for (std::size_t i = 0; i < ancestors_.size(); ++i) {
                counts_[i] += contains(objects, ancestors_[i]) ? 1 : 0;
            }
        } else {
            for_each_entry(objects, [&](PyObject* object) {
                if (PyObject* position = lookup(index_.get(), object)) {
                    ++counts_[PyLong_AsSize_t(position)];
                }
            });
        }
    }

private:
    PyRef index_;
    std::vector<PyObject*> ancestors_;  // borrowed from the expansions
    std::vector<std::uint64_t> counts_;
    std::uint64_t total_ = 0;
};

// Every (subject, predicate) pair whose predicate the caller's filter admits; the filter or the
// row is walked, whichever is smaller, and both select the same pairs.
void count_table(PyObject* table, PyObject* filter, AncestorCounts& counts) {
    Py_ssize_t pos = 0;
    PyObject* subject;
    PyObject* row;
    while (PyDict_Next(table, &pos, &subject, &row)) {
        if (filter != nullptr && PySet_GET_SIZE(filter) < PyDict_GET_SIZE(row)) {
            for_each_entry(filter, [&](PyObject* predicate) {
                if (PyObject* objects = lookup(row, predicate)) counts.count(objects);
            });
            continue;
        }
        Py_ssize_t row_pos = 0;
        PyObject* predicate;
        PyObject* objects;
        while (PyDict_Next(row, &row_pos, &predicate, &objects)) {
            if (filter == nullptr || contains(filter, predicate)) counts.count(objects);
        }
    }
}

}  // namespace

bool plain_closure_arguments(const BoundArgs& a) {
    // Raising nothing, the order does not matter: the cheap ones first.
    return plain_term(a[1]) && plain_term(a[2]) &&
           (a[3] == nullptr || a[3] == Py_None || plain_term_set(a[3])) &&
           plain_closure_table(a[0]);
}

double exact_str_semantic_jaccard(PyObject* table, PyObject* entity1, PyObject* entity2,
                                  PyObject* predicates) {
    // A collection started by an allocation could run a finalizer that changes the table.
    const GcPause pause;
    PyObject* filter = filter_of(predicates);
    const Expansion first = expand(table, entity1, filter);
    const Expansion second = expand(table, entity2, filter);
    const bool first_smaller = first.size() <= second.size();
    const Expansion& smaller = first_smaller ? first : second;
    const Expansion& larger = first_smaller ? second : first;
    std::uint64_t common = 0;
    if (smaller.set() != nullptr) {
        for_each_entry(smaller.set(), [&](PyObject* term) {
            common += contains(larger.set(), term) ? 1 : 0;
        });
    }
    const auto united = static_cast<std::uint64_t>(larger.size() + smaller.size()) - common;
    // Two empty expansions divide 0 by 0 on purpose: their similarity is the quiet NaN.
    return static_cast<double>(common) / static_cast<double>(united);
}

double exact_str_max_information_content(PyObject* table, PyObject* entity1, PyObject* entity2,
                                         PyObject* predicates) {
    const GcPause pause;
    // Without a caller filter the expansion filter would be every predicate of the table, and a
    // term's own predicates are all in it: expanding unfiltered gives the same sets.
    PyObject* filter = filter_of(predicates);
    const Expansion first = expand(table, entity1, filter);
    const Expansion second = expand(table, entity2, filter);

    AncestorCounts counts;
    if (first.set() != nullptr && second.set() != nullptr) {
        const bool first_smaller = first.size() <= second.size();
        PyObject* smaller = first_smaller ? first.set() : second.set();
        PyObject* larger = first_smaller ? second.set() : first.set();
        for_each_entry(smaller, [&](PyObject* term) {
            if (!is_root(term) && contains(larger, term)) counts.add(term);
        });
    }
    if (counts.empty()) return 0.0;

    count_table(table, filter, counts);
    if (counts.total() == 0) return 0.0;  // no frequencies: no information content at all

    // Starting at +0.0 and replacing only on a strictly greater value keeps the -0.0 of an
    // ancestor that every pair holds (count == total) out of the result.
    const auto total = static_cast<double>(counts.total());
    double best = 0.0;
    for (const std::uint64_t count : counts.counts()) {
        if (count == 0) continue;
        const double ic = -std::log2(static_cast<double>(count) / total);
        if (ic > best) best = ic;
    }
    return best;
}

}  // namespace ontarix::py
