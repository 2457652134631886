#include "core/term_numbering.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ontarix {

TermNumbering::Probe TermNumbering::probe(Term s) noexcept {
    // Whole-word loads that never reach outside the string; a variable-length copy would go
    // through memory and stall the comparison that reads it back.
    const char* d = s.data();
    const std::size_t n = s.size();
    auto load64 = [](const char* at) {
        std::uint64_t v;
        std::memcpy(&v, at, 8);
        return v;
    };
    auto load32 = [](const char* at) -> std::uint64_t {
        std::uint32_t v;
        std::memcpy(&v, at, 4);
        return v;
    };
    Head head{{0, 0}};
    if (n >= 16) {
        head.w[0] = load64(d);
        head.w[1] = load64(d + 8);
    } else if (n >= 8) {
        head.w[0] = load64(d);
        if (n > 8) head.w[1] = load64(d + n - 8) >> (8 * (16 - n));
    } else if (n >= 4) {
        // Overlapping loads agree on the bytes they share.
        head.w[0] = load32(d) | (load32(d + n - 4) << (8 * (n - 4)));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            head.w[0] |= std::uint64_t{static_cast<unsigned char>(d[i])} << (8 * i);
        }
    }
    return {s, head, hash_of(head, n, d)};
}

// A string of up to 16 bytes is all in its head already: two keyed multiply-folds of the head
// words and the length hash it, the same finish as hash_bytes without its loads and branches.
// Longer strings take the general keyed hash.
std::size_t TermNumbering::hash_of(const Head& head, std::size_t size, const char* data) noexcept {
    const HashKey& key = process_hash_key();
    if (size <= sizeof(Head::w)) {
        using detail::fold_mul;
        return static_cast<std::size_t>(
            fold_mul(fold_mul(head.w[0] ^ key.k1, head.w[1] ^ key.k2) ^ key.k3, size ^ key.k0));
    }
    return static_cast<std::size_t>(hash_bytes(data, size, key));
}

std::size_t TermNumbering::EntryHash::operator()(const Entry& e) const noexcept {
    return hash_of(e.head, e.size, e.data);
}

bool TermNumbering::EntryEq::operator()(const Entry& a, const Entry& b) const noexcept {
    return a.size == b.size && a.head == b.head && std::memcmp(a.data, b.data, a.size) == 0;
}

bool TermNumbering::EntryEq::operator()(const Probe& p, const Entry& e) const noexcept {
    const std::size_t n = p.text.size();
    if (n != e.size || !(p.head == e.head)) return false;
    constexpr std::size_t kHead = sizeof(Head::w);
    return n <= kHead || std::memcmp(p.text.data() + kHead, e.data + kHead, n - kHead) == 0;
}

TermNumbering::Id TermNumbering::number(Term s) {
    const Probe p = probe(s);
    const auto it = entries_.find(p);
    if (it != entries_.end()) return it->id;
    if (texts_.size() >= kNone || s.size() > UINT32_MAX) [[unlikely]] {
        throw std::length_error("more distinct strings than 32-bit numbers can tell apart");
    }
    const Term stored = arena_ != nullptr ? arena_->store(s) : s;
    const Id id = static_cast<Id>(texts_.size());
    texts_.push_back(stored);
    entries_.insert(Entry{p.head, stored.data(), static_cast<std::uint32_t>(s.size()), id});
    return id;
}

TermNumbering::Id TermNumbering::find(Term s) const {
    const auto it = entries_.find(probe(s));
    return it == entries_.end() ? kNone : it->id;
}

}  // namespace ontarix
