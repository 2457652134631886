// The interpreter's private dict layout, read from its own header so that a build always agrees
// with the interpreter it is built for (the module's ABI tag pins the minor version).
#define Py_BUILD_CORE 1
#include "python/dict_entries.hpp"

#include <internal/pycore_dict.h>

#include <cstddef>

namespace ontarix::py {

static_assert(sizeof(StrKeyedEntry) == sizeof(PyDictUnicodeEntry));
static_assert(offsetof(StrKeyedEntry, key) == offsetof(PyDictUnicodeEntry, me_key));
static_assert(offsetof(StrKeyedEntry, value) == offsetof(PyDictUnicodeEntry, me_value));

StrKeyedEntries str_keyed_entries(PyObject* dict) noexcept {
    const auto* mp = reinterpret_cast<const PyDictObject*>(dict);
    PyDictKeysObject* keys = mp->ma_keys;
    // Split tables keep their values apart; general tables have entries with a hash field.
    if (mp->ma_values != nullptr || keys->dk_kind != DICT_KEYS_UNICODE) return {nullptr, 0};
    return {reinterpret_cast<const StrKeyedEntry*>(DK_UNICODE_ENTRIES(keys)),
            static_cast<std::size_t>(keys->dk_nentries)};
}

}  // namespace ontarix::py
