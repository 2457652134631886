// The order on the selection keys of the most recent common ancestor.
//
// A key is the magnitude of a score. Numbers compare as usual; NaN is above every number and
// equal to NaN, so any NaN score wins and a later NaN replaces an earlier one on a tie. Both the
// native map walk and the binding's walk of a caller's dict choose with this one comparison.
#pragma once

#include <cmath>

namespace ontarix {

// True when key k strictly beats key other; a tie is false, so the entry visited later wins.
// A plain `>` would let a NaN key never win and never lose.
inline bool selection_key_greater(double k, double other) noexcept {
    if (std::isnan(k)) return !std::isnan(other);
    if (std::isnan(other)) return false;
    return k > other;
}

}  // namespace ontarix
