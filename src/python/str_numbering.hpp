// Numbering exact strs by the strs themselves.
//
// Tables of Python strings (a closure dict, a list of relationship rows) are made by programs that
// share their str objects: a term's str is usually one object wherever the term occurs. And every
// str keeps its hash once it has been computed, as every set entry does too. So a numbering of
// exact strs can be a table keyed by that hash whose probe compares the object pointer first and
// the text only when the pointers differ: a str met before is numbered without reading it, and no
// text is ever hashed again by us. Equal exact strs have equal hashes and equal UTF-8, so this
// numbers texts exactly as numbering by bytes would. The hash is the interpreter's randomised
// one: crafted keys collide here no more than in the dicts that already hold them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/term_numbering.hpp"
#include "core/terms.hpp"
#include "python/closure_input.hpp"
#include "python/convert.hpp"

namespace ontarix::py {

class StrNumbering {
public:
    explicit StrNumbering(std::size_t expected) {
        std::size_t capacity = 1024;
        while (capacity < expected * 2) capacity *= 2;
        slots_.assign(capacity, Slot{});
    }

    // Starts loading the slot a later number() call with this hash will probe first.
    void prefetch(Py_hash_t hash) const noexcept {
        __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
    }

    static constexpr std::uint32_t kNotExact = UINT32_MAX;

    // The number of `obj`, or kNotExact when it is no plain term (closure_input.hpp: an exact str
    // whose UTF-8 exists); that is then left to the caller. An object met before is recognised by
    // its address alone, without reading it.
    std::uint32_t number(PyObject* obj, Py_hash_t hash, std::vector<Term>& texts) {
        const Slot& slot = slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)];
        if (slot.str == obj) [[likely]] return slot.id;
        return number_slow(obj, hash, texts);
    }

private:
    [[gnu::noinline]] std::uint32_t number_slow(PyObject* obj, Py_hash_t hash,
                                                std::vector<Term>& texts) {
        const auto tag = static_cast<std::uint32_t>(static_cast<std::size_t>(hash) >> 32);
        std::size_t i = static_cast<std::size_t>(hash) & (slots_.size() - 1);
        for (;;) {
            Slot& slot = slots_[i];
            if (slot.str == obj) return slot.id;
            if (slot.str == nullptr || slot.tag == tag) {
                if (!plain_term(obj)) return kNotExact;
                if (slot.str != nullptr) {
                    if (same_text(texts[slot.id], to_term(obj))) return slot.id;
                    i = (i + 1) & (slots_.size() - 1);
                    continue;
                }
                // New: its text is taken now (plain, so it has one).
                texts.push_back(to_term(obj));
                slot = {obj, tag, static_cast<std::uint32_t>(texts.size() - 1)};
                if (++used_ * 2 > slots_.size()) grow();
                return static_cast<std::uint32_t>(texts.size() - 1);
            }
            i = (i + 1) & (slots_.size() - 1);
        }
    }

    // 16 bytes, so four share a cache line. The slot is found by the low bits of the hash and
    // the high half is kept to settle most mismatches without reading the texts.
    struct Slot {
        PyObject* str = nullptr;
        std::uint32_t tag = 0;
        std::uint32_t id = 0;
    };

    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{});
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.str == nullptr) continue;
            const Py_hash_t hash = PyObject_Hash(slot.str);  // cached in an exact str
            std::size_t i = static_cast<std::size_t>(hash) & (slots_.size() - 1);
            while (slots_[i].str != nullptr) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace ontarix::py
