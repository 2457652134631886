// Converting the arguments of ClosureIndex's constructors and methods.
//
// Two families of rules meet here:
//   * a closure table and a predicate filter are converted exactly as semantic_jaccard_similarity
//     and max_information_content convert them (same walk, same errors, for the caller to wrap
//     with the argument name), since the index stands for those functions' arguments;
//   * everything new (terms, profiles, named profiles, options, a custom information content)
//     raises the interpreter's idiomatic errors, worded "ClosureIndex.m() argument 'x' must be
//     ..., not T" like the interpreter's own argument errors.
//
// Profiles become lists of term numbers (see profile_measures.hpp). Nothing converted here keeps
// a view into a Python object once the conversion returns, except where a function says so.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/string_arena.hpp"
#include "python/call_boundary.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// The signature of a ClosureIndex method: named "ClosureIndex.<name>" in errors, worded as the
// interpreter words a method defined in Python, and raising MemoryError when memory runs out.
// `implicit`: 1 for a method of an instance or of the class, 0 for a static method.
#define ONTARIX_INDEX_METHOD(var, name, params, count, required, positional, implicit) \
    InternedParams g_##var##_names;                                                    \
    constexpr FunctionSpec var{name,                                                   \
                               nullptr,                                                \
                               params,                                                 \
                               count,                                                  \
                               required,                                               \
                               &g_##var##_names,                                       \
                               positional,                                             \
                               "ClosureIndex." name,                                   \
                               true,                                                   \
                               implicit,                                               \
                               true}

// ---- the closure table ----------------------------------------------------------------------

// The rows of a dict of str -> dict of str -> set of str. Texts are views into the dict's strs:
// valid while the dict is unchanged, which holds as long as no Python code runs. Raises the
// conversion errors of to_closure_table, unwrapped.
ClosureRows closure_rows_from_dict(PyObject* table);

// ---- errors -------------------------------------------------------------------------------------

// TypeError "{f}() argument '{param}' must be {expected}, not {type of got}".
[[noreturn, gnu::cold, gnu::noinline]] void raise_argument_type(const FunctionSpec& f,
                                                                const char* param,
                                                                const char* expected,
                                                                PyObject* got);

// ---- options ----------------------------------------------------------------------------------

// Index of `obj` among `choices`; TypeError when it is no str, ValueError listing the choices.
std::size_t measure_choice(const FunctionSpec& f, const char* param, PyObject* obj,
                           std::initializer_list<const char*> choices);

// None (or absent): the CPUs this process may use; otherwise an int >= 1.
unsigned thread_count(const FunctionSpec& f, const char* param, PyObject* obj);

// An int >= 1.
std::size_t positive_count(const FunctionSpec& f, const char* param, PyObject* obj);

// A str (or subclass): a view of its UTF-8 text (valid while the str lives).
Term term_argument(const FunctionSpec& f, const char* param, PyObject* obj);

// A custom information content: a mapping of str to real numbers, with owned keys.
struct OwnedScores {
    StringArena arena;
    TermScoreMap map;
};
std::unique_ptr<OwnedScores> information_content_argument(const FunctionSpec& f,
                                                          const char* param, PyObject* obj);

// The same argument read straight into one value per term of `structure` (terms it does not
// name have 0.0), with the same errors in the same order; nothing for None or absent.
std::optional<std::vector<double>> information_content_values(const FunctionSpec& f,
                                                              const char* param, PyObject* obj,
                                                              const IndexStructure& structure);

// ---- profiles ---------------------------------------------------------------------------------

// Numbers terms for profiles of one call: index terms by their index number, and every other
// distinct text by a number from index.size() up, the same for the same text throughout the call.
// Those other texts are copied: the sets that held them may be gone before the call ends (the sets
// a generator made, or a mapping's items() handed out).
class ProfileNumbering {
public:
    explicit ProfileNumbering(const ClosureIndex& index) : index_(index) {}
    // Continues a numbering that gave `absent` (in order) the numbers from index.size() up.
    ProfileNumbering(const ClosureIndex& index, std::span<const Term> absent);

    std::uint32_t number(Term text);
    // One past the largest number handed out.
    std::uint32_t space() const noexcept {
        return index_.size() + static_cast<std::uint32_t>(absent_texts_.size());
    }
    Term text(std::uint32_t number) const noexcept {
        return number < index_.size() ? index_.text(number) : absent_texts_[number - index_.size()];
    }
    // The texts the index lacks, in number order.
    std::span<const Term> absent_texts() const noexcept { return absent_texts_; }

private:
    const ClosureIndex& index_;
    StringArena arena_;  // declared before the views of it
    TermMap<std::uint32_t> absent_;
    std::vector<Term> absent_texts_;
};

struct ProfileRules {
    const FunctionSpec* f;
    const char* param;
    // Every term must be a subject of the index (KeyError naming the first that is not).
    bool require_subjects = false;
    // Otherwise, where to keep the first term met that is no subject (as it was given), if any.
    PyRef* first_non_subject = nullptr;
};

// A set or frozenset (or subclass) of str: its distinct term numbers, ascending.
std::vector<std::uint32_t> profile_argument(const ProfileRules& rules, PyObject* obj,
                                            ProfileNumbering& numbering, const ClosureIndex& index);

// An iterable of profiles (not a str, bytes, mapping or set), in order.
ProfileList profile_sequence(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                             const ClosureIndex& index);

// A mapping of str names to profiles. The names are kept as strong references, in order.
struct NamedProfiles {
    std::vector<PyRef> names;
    std::vector<Term> name_texts;  // views of the strs in `names`
    ProfileList profiles;
};
NamedProfiles named_profiles(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                             const ClosureIndex& index);

// The annotations of annotation_information_content: a mapping of objects (any keys) to
// iterables of str (not a str itself). Terms the index lacks count only in the totals.
struct AnnotationTerms {
    TermLists objects;                   // per object, its index terms (repeats kept); objects mode
    std::uint64_t object_count = 0;
    std::vector<std::uint64_t> entries;  // per index term, the entries on it; annotations mode
    std::uint64_t total_entries = 0;
};
AnnotationTerms annotation_terms(const FunctionSpec& f, const char* param, PyObject* obj,
                                 const ClosureIndex& index, bool per_entry);

// An iterable of str (not a str itself): index numbers, size() for terms the index lacks.
std::vector<std::uint32_t> term_sequence(const FunctionSpec& f, const char* param, PyObject* obj,
                                         const ClosureIndex& index);

}  // namespace ontarix::py
