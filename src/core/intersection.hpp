// The common terms of two term sets, produced lazily.
//
// get_intersection_between_sets(a, b) returns a small input range that walks the smaller of the
// two sets (a when both have the same size) in that set's iteration order and yields each element
// the other set contains. Every common term comes out exactly once, because the walked set holds
// no duplicates; nothing is copied and no intermediate set is built, so a consumer that only
// needs to see the terms (or build its own container of them) pays one membership test per
// element of the smaller set and nothing else.
//
// The range holds both sets by reference: they must outlive it and must not change while it is
// walked. It is a view (copying it copies two pointers) and is meant to be walked once; the
// yielded references point into the walked set, i.e. at the input's own string views.
#pragma once

#include <cstddef>
#include <iterator>
#include <ranges>

#include "core/terms.hpp"

namespace ontarix {

class IntersectionRange : public std::ranges::view_interface<IntersectionRange> {
public:
    class iterator {
    public:
        using iterator_concept = std::input_iterator_tag;
        using value_type = Term;
        using difference_type = std::ptrdiff_t;

        iterator() = default;

        const Term& operator*() const noexcept { return *cur_; }
        const Term* operator->() const noexcept { return &*cur_; }

        iterator& operator++() {
            ++cur_;
            skip_to_common();
            return *this;
        }
        void operator++(int) { ++*this; }

        friend bool operator==(const iterator& it, std::default_sentinel_t) noexcept {
            return it.cur_ == it.end_;
        }

    private:
        friend class IntersectionRange;

        iterator(TermSet::const_iterator cur, TermSet::const_iterator end, const TermSet* other)
            : cur_(cur), end_(end), other_(other) {
            skip_to_common();
        }

        // Stops at the next walked element that the other set holds, or at the end.
        void skip_to_common();

        TermSet::const_iterator cur_{};
        TermSet::const_iterator end_{};
        const TermSet* other_ = nullptr;
    };

    IntersectionRange(const TermSet& a, const TermSet& b) noexcept
        : walked_(a.size() <= b.size() ? &a : &b), other_(a.size() <= b.size() ? &b : &a) {}

    iterator begin() const { return iterator(walked_->begin(), walked_->end(), other_); }
    static std::default_sentinel_t end() noexcept { return std::default_sentinel; }

    // The set being walked; its size bounds the number of terms produced (useful for reserving).
    const TermSet& walked() const noexcept { return *walked_; }

private:
    const TermSet* walked_;
    const TermSet* other_;
};

// The lazy producer of the terms common to a and b.
IntersectionRange get_intersection_between_sets(const TermSet& a, const TermSet& b) noexcept;

// The range refers to its inputs, so temporaries would leave it dangling.
IntersectionRange get_intersection_between_sets(TermSet&&, const TermSet&) = delete;
IntersectionRange get_intersection_between_sets(const TermSet&, TermSet&&) = delete;
IntersectionRange get_intersection_between_sets(TermSet&&, TermSet&&) = delete;

}  // namespace ontarix
