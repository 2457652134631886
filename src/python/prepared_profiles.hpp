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

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/profile_cache.hpp"
#include "core/string_arena.hpp"
#include "core/top_k_lists.hpp"
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
    // The names' order for top-k lists, made once: sorting thousands of names would cost a call
    // more than its scoring.
    std::optional<NeighbourOrder> order;
    // What the kernels derive from the profiles for the index that made the object (which
    // index_object keeps alive), made on first use.
    std::unique_ptr<ProfileCache> cache;
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

// One profiles argument of a call, in the call's numbering: a PreparedProfiles, or what the
// parameter takes otherwise -- a mapping of names to sets (Form::Named), or a sequence of sets
// (Form::Sequence; a prepared object then stands for the sequence of its profiles, in order).
class CallProfiles {
public:
    enum class Form : std::uint8_t { Named, Sequence };

    CallProfiles() = default;
    CallProfiles(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                 const ClosureIndex& index, Form form = Form::Named);

    // The names (empty for a sequence that was not prepared).
    std::span<const PyRef> names() const noexcept;
    std::span<const Term> name_texts() const noexcept;
    const ProfileList& profiles() const noexcept;
    std::size_t size() const noexcept { return profiles().size(); }
    // The prepared object this argument is, or null.
    const PreparedProfiles* prepared() const noexcept { return prepared_; }
    // What a prepared object keeps for the kernels and for top-k lists (null otherwise).
    const ProfileCache* cache() const noexcept;
    const NeighbourOrder* order() const noexcept;

private:
    const PreparedProfiles* prepared_ = nullptr;
    NamedProfiles converted_;                 // a mapping's, when not prepared
    std::unique_ptr<ProfileList> renumbered_;  // a prepared object's, in another numbering
};

}  // namespace ontarix::py
