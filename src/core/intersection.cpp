#include "core/intersection.hpp"

namespace ontarix {

// The scan runs here, between two produced terms, so one resumption costs one call however many
// walked elements it passes over.
void IntersectionRange::iterator::skip_to_common() {
    while (cur_ != end_ && !other_->contains(*cur_)) ++cur_;
}

IntersectionRange get_intersection_between_sets(const TermSet& a, const TermSet& b) noexcept {
    return IntersectionRange(a, b);
}

}  // namespace ontarix
