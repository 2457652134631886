// TermNumbering: dense 32-bit numbers for distinct strings.
//
// Numbering the strings of an input once lets everything after work on 4-byte numbers: arrays
// indexed by number replace hash tables, and sets become lists. Equal strings get equal numbers
// (exact bytes), different strings different ones; numbers are 0..size()-1 in first-seen order.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "core/string_arena.hpp"
#include "core/terms.hpp"

namespace ontarix {

// Byte equality, with the usual lengths of term identifiers (8 to 16 bytes) settled by two word
// compares instead of a call to memcmp.
inline bool same_text(Term a, Term b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (a.data() == b.data()) return true;
    if (n >= 8 && n <= 16) {
        std::uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a.data(), 8);
        std::memcpy(&b0, b.data(), 8);
        std::memcpy(&a1, a.data() + n - 8, 8);
        std::memcpy(&b1, b.data() + n - 8, 8);
        return a0 == b0 && a1 == b1;
    }
    return a == b;
}

// Distinct strings numbered 0, 1, 2, ... in the order they are first seen. With an arena, each new
// string is copied into it once (for strings read into a reused buffer); without one, the views
// given are kept as they are and must outlive the numbering's use (strings that already live for
// the call). texts() maps a number back to its string.
//
// A lookup hashes the string once and probes a flat table whose entries carry the string's length
// and first 16 bytes next to the pointer to the rest: a mismatch, and the whole comparison of a
// string of up to 16 bytes (most term identifiers), is settled inside the entry, without a call to
// memcmp or a cache miss on the stored text. New strings cost a second probe to insert.
class TermNumbering {
public:
    using Id = std::uint32_t;
    static constexpr Id kNone = UINT32_MAX;

    explicit TermNumbering(StringArena* arena = nullptr) : arena_(arena) {}

    // The number of `s`, numbering it (and copying it into the arena) if it is new.
    Id number(Term s);
    // The number of `s`, or kNone.
    Id find(Term s) const;

    void reserve(std::size_t n) {
        entries_.reserve(n);
        texts_.reserve(n);
    }
    std::size_t size() const noexcept { return texts_.size(); }
    const std::vector<Term>& texts() const noexcept { return texts_; }
    std::vector<Term> release_texts() noexcept { return std::move(texts_); }

private:
    struct Head {
        std::uint64_t w[2];  // the first min(size, 16) bytes, zero-padded
        friend bool operator==(const Head&, const Head&) = default;
    };
    struct Entry {
        Head head;
        const char* data;
        std::uint32_t size;
        Id id;
    };
    struct Probe {
        Term text;
        Head head;
        std::size_t hash;
    };
    struct EntryHash {
        using is_transparent = void;
        using is_avalanching = void;
        std::size_t operator()(const Entry& e) const noexcept;
        std::size_t operator()(const Probe& p) const noexcept { return p.hash; }
    };
    struct EntryEq {
        using is_transparent = void;
        bool operator()(const Entry& a, const Entry& b) const noexcept;
        bool operator()(const Probe& p, const Entry& e) const noexcept;
        bool operator()(const Entry& e, const Probe& p) const noexcept { return (*this)(p, e); }
    };

    static Probe probe(Term s) noexcept;
    static std::size_t hash_of(const Head& head, std::size_t size, const char* data) noexcept;

    StringArena* arena_;
    boost::unordered_flat_set<Entry, EntryHash, EntryEq> entries_;
    std::vector<Term> texts_;
};

}  // namespace ontarix
