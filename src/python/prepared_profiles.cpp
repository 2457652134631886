#include "python/prepared_profiles.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/fault.hpp"
#include "core/stored_form.hpp"
#include "core/utf8.hpp"
#include "python/closure_index_class.hpp"
#include "python/convert.hpp"
#include "python/owned_object.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

using PreparedObject = OwnedObject<PreparedProfiles>;

PyTypeObject* g_type = nullptr;  // created once, never released

const PreparedProfiles& data_of(PyObject* self) { return owned_value<PreparedProfiles>(self); }

// The parts made from the rest once it is complete.
void finish(PreparedProfiles& p, const ClosureIndex& index) {
    p.order.emplace(p.name_texts);
    p.cache = std::make_unique<ProfileCache>(index, p.profiles);
}

PyRef wrap(std::unique_ptr<PreparedProfiles> data) {
    return wrap_owned(prepared_profiles_type(), std::move(data));
}

Py_ssize_t length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(data_of(self).names.size());
}

PyObject* repr(PyObject* self) noexcept {
    return guarded_call([&]() -> PyObject* {
        const PreparedProfiles& p = data_of(self);
        PyObject* out = PyUnicode_FromFormat("<ontarix.PreparedProfiles: %zu profiles, %zu terms>",
                                             p.names.size(), p.profiles.terms.size());
        if (out == nullptr) throw_pending();
        return out;
    });
}

PyObject* names(PyObject* self, void*) noexcept {
    return guarded_call([&]() -> PyObject* {
        const PreparedProfiles& p = data_of(self);
        PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(p.names.size())));
        if (!out) throw_pending();
        for (std::size_t i = 0; i < p.names.size(); ++i) {
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(p.names[i].get()));
        }
        return out.release();
    });
}

// ---- the stored form ------------------------------------------------------------------------------
//   "ONTXPRO" 0x01, u64 profiles, u64 entries, u64 absent texts, u64 absent bytes; u32 length per
//   profile, u32 entries; u32 length per absent text, then their bytes. The names travel beside it
//   as a list, so that pickle keeps their types.

constexpr std::string_view kMagic{"ONTXPRO\x01", 8};

std::string save_state(const PreparedProfiles& p) {
    std::uint64_t absent_bytes = 0;
    for (const Term t : p.absent_texts) absent_bytes += t.size();
    std::string out;
    out.append(kMagic);
    put_field<std::uint64_t>(out, p.profiles.size());
    put_field<std::uint64_t>(out, p.profiles.terms.size());
    put_field<std::uint64_t>(out, p.absent_texts.size());
    put_field<std::uint64_t>(out, absent_bytes);
    for (std::size_t i = 0; i < p.profiles.size(); ++i) {
        put_field<std::uint32_t>(out, static_cast<std::uint32_t>(p.profiles[i].size()));
    }
    for (const std::uint32_t t : p.profiles.terms) put_field<std::uint32_t>(out, t);
    for (const Term t : p.absent_texts) put_field<std::uint32_t>(out, static_cast<std::uint32_t>(t.size()));
    for (const Term t : p.absent_texts) out.append(t);
    return out;
}

void load_state(PreparedProfiles& p, const ClosureIndex& index, std::string_view state) {
    StoredFormReader in(state, "PreparedProfiles state");
    if (std::string_view(in.take(kMagic.size()), kMagic.size()) != kMagic) {
        in.invalid("it was not made by this version");
    }
    const std::uint64_t profiles = in.count(4);
    const std::uint64_t entries = in.count(4);
    const std::uint64_t absent = in.count(4);
    const std::uint64_t absent_bytes = in.count(1);
    if (profiles != p.names.size()) in.invalid("the names do not match the profiles");
    const std::uint64_t space = std::uint64_t{index.size()} + absent;
    std::vector<std::uint32_t> lengths(profiles);
    std::uint64_t sum = 0;
    for (auto& length : lengths) sum += (length = in.get<std::uint32_t>());
    if (sum != entries) in.invalid("profile lengths do not add up");
    p.profiles.begin.reserve(profiles + 1);
    p.profiles.terms.reserve(entries);
    for (const std::uint32_t length : lengths) {
        for (std::uint32_t k = 0; k < length; ++k) {
            const auto t = in.get<std::uint32_t>();
            if (t >= space || (k > 0 && t <= p.profiles.terms.back())) {
                in.invalid("a profile is not ascending within its numbers");
            }
            p.profiles.terms.push_back(t);
        }
        p.profiles.begin.push_back(p.profiles.terms.size());
    }
    std::vector<std::uint32_t> absent_lengths(absent);
    sum = 0;
    for (auto& length : absent_lengths) sum += (length = in.get<std::uint32_t>());
    if (sum != absent_bytes) in.invalid("text lengths do not add up");
    const char* bytes = in.take(absent_bytes);
    TermSet seen;
    for (const std::uint32_t length : absent_lengths) {
        const Term text(bytes, length);
        bytes += length;
        // Each must stand for one text the index lacks, or a term would have two numbers.
        if (!is_utf8(text)) in.invalid("a text is not UTF-8");
        if (index.find(text) != index.size() || !seen.insert(text).second) {
            in.invalid("a text the index lacks is listed twice or is a term of the index");
        }
        p.absent_texts.push_back(p.arena.store(text));
    }
    if (!in.done()) in.invalid("trailing bytes");
}

// ---- methods ------------------------------------------------------------------------------------

InternedParams g_from_state_names;
constexpr FunctionSpec kFromState{"_from_state",
                                  nullptr,
                                  {"index", "names", "state", "first_non_subject"},
                                  4,
                                  4,
                                  &g_from_state_names,
                                  4,
                                  "PreparedProfiles._from_state",
                                  true,
                                  1,
                                  true};

PyObject* from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kFromState, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex* index = closure_index_of(a[0]);
        if (index == nullptr) raise_argument_type(kFromState, "index", "ClosureIndex", a[0]);
        if (!PyList_Check(a[1])) raise_argument_type(kFromState, "names", "list", a[1]);
        if (!PyBytes_Check(a[2])) raise_argument_type(kFromState, "state", "bytes", a[2]);
        auto p = std::make_unique<PreparedProfiles>();
        p->structure = index->shared_structure();
        p->index_object = PyRef::borrow(a[0]);
        // A copy of the list: its items are the names, held.
        const PyRef names = PyRef::steal(PyList_GetSlice(a[1], 0, PyList_GET_SIZE(a[1])));
        if (!names) throw_pending();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            PyObject* name = PyList_GET_ITEM(names.get(), i);
            if (!PyUnicode_Check(name)) raise_argument_type(kFromState, "names", "a list of str", a[1]);
            p->names.push_back(PyRef::borrow(name));
            p->name_texts.push_back(to_term(name));
        }
        try {
            load_state(*p, *index,
                       std::string_view(PyBytes_AS_STRING(a[2]),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(a[2]))));
        } catch (const Fault& fault) {
            if (fault.cause().kind != FaultCause::Kind::Content) throw;
            throw_error(PyExc_ValueError, PyUnicode_FromString(fault.message().c_str()));
        }
        if (a[3] != Py_None) p->first_non_subject = PyRef::borrow(a[3]);
        finish(*p, *index);
        return wrap(std::move(p));
    });
}

PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guarded_call([&]() -> PyObject* {
        const PreparedProfiles& p = data_of(self);
        const PyRef constructor = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
        if (!constructor) throw_pending();
        PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(p.names.size())));
        if (!names) throw_pending();
        for (std::size_t i = 0; i < p.names.size(); ++i) {
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(p.names[i].get()));
        }
        const std::string state = save_state(p);
        const PyRef bytes = PyRef::steal(
            PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
        if (!bytes) throw_pending();
        PyObject* first = p.first_non_subject ? p.first_non_subject.get() : Py_None;
        PyObject* out = Py_BuildValue("(O(OOOO))", constructor.get(), p.index_object.get(),
                                      names.get(), bytes.get(), first);
        if (out == nullptr) throw_pending();
        return out;
    });
}

PyObject* copy_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyMethodDef g_methods[] = {
    {"_from_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_state)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_from_state($type, index, names, state, first_non_subject)\n--\n\n"
     "Rebuilds prepared profiles from their stored form (used by pickle)."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickle support."},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\nThe object itself (immutable)."},
    {"__deepcopy__", copy_self, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe object itself (immutable)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"names", names, nullptr, "The profiles' names, in the order of the mapping they came from.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Named sets of terms converted once for a ClosureIndex (made by ClosureIndex.prepare).\n"
    "\n"
    "Accepted wherever the index takes named profiles (top_k's queries and candidates,\n"
    "pvalues, null_distributions) or a sequence of sets (similarity_matrix: the profiles\n"
    "in order), with the results of the mapping they were made from, without converting\n"
    "the sets again. Immutable; len() is the number of profiles and .names their names.\n"
    "Valid for the index that made it and for every index sharing its terms\n"
    "(with_information_content). Pickles together with its index.";

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owned<PreparedProfiles>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "ontarix.PreparedProfiles",
    sizeof(PreparedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

}  // namespace

PyTypeObject* prepared_profiles_type() {
    if (g_type == nullptr) {
        if (!intern_parameter_names(kFromState)) throw_pending();
        PyObject* type = PyType_FromSpec(&g_spec);
        if (type == nullptr) throw_pending();
        g_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return g_type;
}

const PreparedProfiles* prepared_of(PyObject* obj) noexcept {
    return owned_value_if<PreparedProfiles>(obj, g_type);
}

PyRef prepare_profiles(const FunctionSpec& f, PyObject* index_object, const ClosureIndex& index,
                       PyObject* mapping) {
    ProfileNumbering numbering(index);
    auto p = std::make_unique<PreparedProfiles>();
    NamedProfiles converted =
        named_profiles({&f, f.params[0], false, &p->first_non_subject}, mapping, numbering, index);
    p->structure = index.shared_structure();
    p->index_object = PyRef::borrow(index_object);
    p->names = std::move(converted.names);
    p->name_texts = std::move(converted.name_texts);
    p->profiles = std::move(converted.profiles);
    for (const Term text : numbering.absent_texts()) p->absent_texts.push_back(p->arena.store(text));
    finish(*p, index);
    return wrap(std::move(p));
}

ProfileNumbering call_numbering(const ClosureIndex& index, std::span<PyObject* const> args) {
    for (PyObject* arg : args) {
        if (arg == nullptr) continue;
        if (const PreparedProfiles* p = prepared_of(arg)) return ProfileNumbering(index, p->absent_texts);
    }
    return ProfileNumbering(index);
}

CallProfiles::CallProfiles(const ProfileRules& rules, PyObject* obj, ProfileNumbering& numbering,
                           const ClosureIndex& index, Form form) {
    prepared_ = prepared_of(obj);
    if (prepared_ == nullptr) {
        if (form == Form::Named) {
            converted_ = named_profiles(rules, obj, numbering, index);
        } else {
            converted_.profiles = profile_sequence(rules, obj, numbering, index);
        }
        return;
    }
    if (prepared_->structure != index.shared_structure()) {
        throw_error(PyExc_ValueError,
                    PyUnicode_FromFormat("%s() argument '%s' was prepared for another index",
                                         rules.f->shown_name(), rules.param));
    }
    if (rules.require_subjects && prepared_->first_non_subject) {
        PyErr_SetObject(PyExc_KeyError, prepared_->first_non_subject.get());
        throw PythonError{};
    }
    // Its texts the index lacks keep their numbers when the call's numbering continues this
    // object's; otherwise they are renumbered (and each profile sorted again).
    std::vector<std::uint32_t> renumber(prepared_->absent_texts.size());
    bool same = true;
    for (std::size_t i = 0; i < renumber.size(); ++i) {
        renumber[i] = numbering.number(prepared_->absent_texts[i]);
        same = same && renumber[i] == index.size() + i;
    }
    if (same) return;
    const ProfileList& from = prepared_->profiles;
    renumbered_ = std::make_unique<ProfileList>();
    renumbered_->begin.reserve(from.begin.size());
    renumbered_->terms.reserve(from.terms.size());
    std::vector<std::uint32_t> profile;
    for (std::size_t p = 0; p < from.size(); ++p) {
        profile.assign(from[p].begin(), from[p].end());
        for (std::uint32_t& t : profile) {
            if (t >= index.size()) t = renumber[t - index.size()];
        }
        std::sort(profile.begin(), profile.end());
        renumbered_->add(profile);
    }
}

std::span<const PyRef> CallProfiles::names() const noexcept {
    return prepared_ != nullptr ? std::span<const PyRef>(prepared_->names) : converted_.names;
}

std::span<const Term> CallProfiles::name_texts() const noexcept {
    return prepared_ != nullptr ? std::span<const Term>(prepared_->name_texts) : converted_.name_texts;
}

const ProfileCache* CallProfiles::cache() const noexcept {
    return prepared_ != nullptr ? prepared_->cache.get() : nullptr;
}

const NeighbourOrder* CallProfiles::order() const noexcept {
    return prepared_ != nullptr ? &*prepared_->order : nullptr;
}

const ProfileList& CallProfiles::profiles() const noexcept {
    if (renumbered_) return *renumbered_;
    return prepared_ != nullptr ? prepared_->profiles : converted_.profiles;
}

}  // namespace ontarix::py
