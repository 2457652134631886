// ontarix.PreparedProfiles: named term sets converted once for an index (ClosureIndex.prepare),
// for a service that compares query after query with the same candidates.
//
// Converting thousands of Python sets is most of a one-query search; a prepared object holds
// them as the batches read them -- term numbers of the index, ascending per profile -- with the
// names kept as the caller's strs. It is immutable, shares nothing mutable with the mapping it was
// made from, and pickles (with its index) to travel to process pools and cluster workers.
//
// Terms the index lacks are numbered from index.size() up within the object, as a call numbers
// them. A call that mixes a prepared object with other profiles continues the object's numbering
// (ProfileNumbering's seeded constructor), so equal texts keep equal numbers; a second prepared
// object in the same call is renumbered into it when their numberings differ (only ever for
// terms the index lacks).
//
// An object is valid for every index sharing the structure it was made for (with another
// information content, say); any other index refuses it with ValueError.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/string_arena.hpp"
#include "python/call_boundary.hpp"
#include "python/index_input.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

struct PreparedProfiles {
    std::shared_ptr<const IndexStructure> structure;
    PyRef index_object;            // the ClosureIndex it was made by (kept for pickling)
    std::vector<PyRef> names;
    std::vector<Term> name_texts;  // views of the strs in `names`
    ProfileList profiles;
    StringArena arena;             // declared before the views of it
    std::vector<Term> absent_texts;  // number index.size() + i -> text
    PyRef first_non_subject;       // the first term met that is no subject, as given; or null
};

// Borrowed reference to the class, created on first call.
PyTypeObject* prepared_profiles_type();

// The prepared profiles `obj` holds, or null when it is no PreparedProfiles.
const PreparedProfiles* prepared_of(PyObject* obj) noexcept;

// ClosureIndex.prepare: a new PreparedProfiles of a mapping of str names to sets of str.
PyRef prepare_profiles(const FunctionSpec& f, PyObject* index_object, const ClosureIndex& index,
                       PyObject* mapping);

// The numbering of a call whose profile arguments are `args` (any may be null): it continues the
// numbering of the first prepared object among them, if any.
ProfileNumbering call_numbering(const ClosureIndex& index, std::span<PyObject* const> args);

// One named-profiles argument of a call, a mapping or a PreparedProfiles, in the call's numbering.
class CallProfiles {
public:
    CallProfiles() = default;
    CallProfiles(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                 const ClosureIndex& index);

    std::span<const PyRef> names() const noexcept;
    std::span<const Term> name_texts() const noexcept;
    const ProfileList& profiles() const noexcept;
    std::size_t size() const noexcept { return names().size(); }

private:
    const PreparedProfiles* prepared_ = nullptr;
    NamedProfiles converted_;                 // a mapping's, when not prepared
    std::unique_ptr<ProfileList> renumbered_;  // a prepared object's, in another numbering
};

}  // namespace ontarix::py
