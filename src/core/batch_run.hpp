// The batch comparison: every named term set of one association file against the set "set1",
// both expanded through a closure read from a second file.
//
// run_batch(input, closure):
//   1. reads the input file, closing it, then the closure file (each into an AssociationTable);
//   2. finds "set1" (exact bytes) in the input table, else the missing-value fault;
//   3. expands the "set1" set through the closure once (expand_terms_using_closure) into the
//      template record's subject_termset;
//   4. drains iter_tsps, which yields one record per entry of the input table, in the table's
//      (unspecified) iteration order: set_id = the key, object_termset = the expansion of its set,
//      best_score = |subject ∩ object| / |subject ∪ object|.
// Any term without a closure entry fails the whole call (missing-value fault); no record escapes.
//
// Cost: the reading is streaming; each record costs one expansion (one closure lookup per term,
// one insertion per reached term) and one membership test per expanded term. Strings are never
// copied: the closure file's reader stores each distinct string once, so two of its terms are
// equal exactly when their views share a data pointer, and expansions and the Jaccard counts
// compare pointers instead of hashing strings.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "core/association_reader.hpp"
#include "core/similarity_record.hpp"
#include "core/terms.hpp"

namespace ontarix {

// The two tables of one run. Their views point into a RunStorage.
struct BatchTables {
    TermSetMap input;    // set name -> terms
    TermSetMap closure;  // term -> terms it expands to
};

// The bytes of one run's strings. Records keep it alive through `storage` after the tables are
// gone, so a run's result holds the distinct strings of its files once and nothing else.
struct RunStorage {
    StringArena input;
    StringArena closure;
};

// The lazy producer of the records of one run. Holds the tables, the template and its position in
// the input table; each next() consumes one entry. Single pass, not copyable.
class TspsProducer {
public:
    TspsProducer(BatchTables tables, TermSetPairwiseSimilarity tmpl);
    TspsProducer(const TspsProducer&) = delete;
    TspsProducer& operator=(const TspsProducer&) = delete;
    TspsProducer(TspsProducer&&) = delete;  // holds iterators into its own tables

    // The record for the next entry, or nothing once every entry has been produced.
    std::optional<TermSetPairwiseSimilarity> next();

    // Entries not produced yet (an upper bound to reserve for).
    std::size_t remaining() const noexcept { return remaining_; }

private:
    struct PtrHash {
        using is_avalanching = void;
        std::size_t operator()(const char* p) const noexcept {
            return hash_u64(reinterpret_cast<std::uintptr_t>(p), process_hash_key());
        }
    };
    using PtrSet = boost::unordered_flat_set<const char*, PtrHash>;

    BatchTables tables_;
    TermSetPairwiseSimilarity template_;
    TermSetMap::const_iterator cur_;
    std::size_t remaining_;
    PtrSet subject_;  // the template's subject terms, by identity
    // Scratch space reused from record to record.
    PtrSet seen_;                        // the current expansion, by identity
    std::vector<const TermSet*> parts_;  // the closure sets of the current entry's terms
    TermList reached_;                   // the current expansion, in insertion order
};

TspsProducer iter_tsps(BatchTables tables, TermSetPairwiseSimilarity tmpl);

// Reads both files and returns every record (see above).
std::vector<TermSetPairwiseSimilarity> run_batch(std::string_view input_file,
                                                 std::string_view closure_file);

}  // namespace ontarix
