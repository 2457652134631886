// TermSetPairwiseSimilarity: the result of comparing two term sets.
//
// A plain record. The batch run fills set_id, the two term sets and best_score; the other fields
// keep their defaults. Once a record is handed to Python it is frozen, which lets records share
// immutable data instead of each holding a full copy:
//   - term sets are lists of distinct 32-bit numbers into `terms`, the strings of one run, which
//     the run's records share: 4 bytes per element instead of a string (or a 16-byte view) each;
//   - set_id is a view of bytes that `terms` also keeps alive;
//   - subject_termset is the same for every record of one run and is shared, not copied;
//   - a frozen set is only ever iterated, so a list serves, at a fraction of a hash set's size.
// A default record (make_default) needs no strings: its only text, the metric, is a literal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/string_arena.hpp"
#include "core/terms.hpp"

namespace ontarix {

// Distinct term numbers, in no particular order.
using TermNumberList = std::vector<std::uint32_t>;

// The strings of one run: number -> text, the texts (and the set names) living in `arena`.
struct RunStrings {
    StringArena arena;  // declared first, so it outlives the views below
    std::vector<Term> texts;
};

inline constexpr Term kDefaultMetric = "SWO:0000243";

struct TermSetPairwiseSimilarity {
    Term set_id;
    std::shared_ptr<const TermNumberList> subject_termset;  // null means empty
    TermNumberList object_termset;
    std::vector<std::string> subject_best_matches;
    std::vector<std::string> object_best_matches;
    double average_score = 0.0;
    double best_score = 0.0;
    Term metric = kDefaultMetric;
    std::shared_ptr<const RunStrings> strings;  // texts of the numbers above; owner of set_id

    // A record holding the defaults (the constructor of the Python class is spelled `new`).
    static TermSetPairwiseSimilarity make_default() { return {}; }

    const TermNumberList& subject_numbers() const noexcept {
        static const TermNumberList empty;
        return subject_termset ? *subject_termset : empty;
    }
    // The text of a term number of this record; only valid for numbers the record holds.
    Term text(std::uint32_t number) const noexcept { return strings->texts[number]; }
};

}  // namespace ontarix
