// TermSetPairwiseSimilarity: the result of comparing two term sets.
//
// A plain record. The batch run fills set_id, the two term sets and best_score; the other fields
// keep their defaults. Once a record is handed to Python it is frozen, which lets records share
// immutable data instead of each holding a full copy:
//   - term sets and set_id are views of bytes that `storage` keeps alive (the strings read from
//     the files of one run), so a record holds no string copies;
//   - subject_termset is the same for every record of one run and is shared, not copied;
//   - term sets are stored as lists of distinct terms: a frozen set is only ever iterated, and a
//     list is a fraction of the size of a hash set.
// A default record (make_default) needs no storage: its only string, the metric, is a literal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/terms.hpp"

namespace ontarix {

// Distinct terms, in no particular order.
using TermList = std::vector<Term>;

inline constexpr Term kDefaultMetric = "SWO:0000243";

struct TermSetPairwiseSimilarity {
    Term set_id;
    std::shared_ptr<const TermList> subject_termset;  // null means empty
    TermList object_termset;
    std::vector<std::string> subject_best_matches;
    std::vector<std::string> object_best_matches;
    double average_score = 0.0;
    double best_score = 0.0;
    Term metric = kDefaultMetric;
    std::shared_ptr<const void> storage;  // owner of the bytes the views above point into

    // A record holding the defaults (the constructor of the Python class is spelled `new`).
    static TermSetPairwiseSimilarity make_default() { return {}; }

    const TermList& subject_terms() const noexcept {
        static const TermList empty;
        return subject_termset ? *subject_termset : empty;
    }
};

}  // namespace ontarix
