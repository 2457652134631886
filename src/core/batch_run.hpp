// The batch comparison: every named term set of one association file against the set "set1",
// both expanded through a closure read from a second file.
//
// run_batch(input, closure):
//   1. reads the input file, closing it, then the closure file;
//   2. finds "set1" (exact bytes) among the input's set names, else the missing-value fault;
//   3. expands the "set1" set through the closure once into the template record's
//      subject_termset;
//   4. drains iter_tsps, which yields one record per set of the input file: set_id = the set's
//      name, object_termset = the expansion of its set, best_score = |subject ∩ object| /
//      |subject ∪ object|.
// Any term without a closure entry fails the whole call (missing-value fault); no record escapes.
//
// Representation: both files are read with every term (of either file) numbered 0..n-1 on first
// sight, so a set is a list of 4-byte numbers and the closure is one array of numbers with a
// range per term. An expansion marks each reached term in an array indexed by number with the
// current set's generation, which deduplicates without hashing and without clearing between sets;
// the Jaccard count is one array read per reached term (is it in the reference expansion?). The
// counts are the ones the set formulation gives, so the scores are the same doubles.
//
// Cost: each file is streamed once (one numbering probe per record); each record costs one closure
// range per term of its set and one mark per element of those ranges. Memory: the distinct strings
// once, 4 bytes per closure line and per input line, 4 bytes per element of every expansion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/association_reader.hpp"
#include "core/similarity_record.hpp"
#include "core/terms.hpp"

namespace ontarix {

// The two files of one run, numbered. The texts of the term numbers (and the set names) are in
// `strings`, which the records share once they are made.
struct BatchTables {
    NumberedAssociations input;    // set number -> term numbers
    NumberedAssociations closure;  // term number -> term numbers it expands to
    std::vector<Term> set_names;   // set number -> name (bytes in strings->arena)
    std::shared_ptr<RunStrings> strings;
};

// Distinct term numbers reached from `terms` through `closure`, appended to `out`. `marks` holds
// one entry per term number; entries equal to `generation` are taken to be reached already, and
// reached ones are set to it, so a fresh generation per expansion needs no clearing. Raises the
// missing-value fault for a term that is no key of the closure, before anything is appended.
void expand_numbers(const NumberedAssociations& closure, std::span<const std::uint32_t> terms,
                    std::vector<std::uint32_t>& marks, std::uint32_t generation,
                    TermNumberList& out);

// The lazy producer of the records of one run. Holds the tables, the template and its position
// among the input sets; each next() consumes one set. Single pass, not copyable.
class TspsProducer {
public:
    TspsProducer(BatchTables tables, TermSetPairwiseSimilarity tmpl);
    TspsProducer(const TspsProducer&) = delete;
    TspsProducer& operator=(const TspsProducer&) = delete;

    // The record for the next set, or nothing once every set has been produced.
    std::optional<TermSetPairwiseSimilarity> next();

    // Sets not produced yet.
    std::size_t remaining() const noexcept { return tables_.set_names.size() - cur_; }

private:
    BatchTables tables_;
    TermSetPairwiseSimilarity template_;
    std::size_t cur_ = 0;
    std::vector<std::uint8_t> in_subject_;  // per term number: 1 if in the template's subject set
    std::vector<std::uint32_t> marks_;      // per term number: generation that last reached it
    std::uint32_t generation_ = 0;
    TermNumberList reached_;                // scratch: the current expansion
};

TspsProducer iter_tsps(BatchTables tables, TermSetPairwiseSimilarity tmpl);

// Reads both files and returns every record (see above). Opening and reading the files wait
// through `waiter` (see read_file).
std::vector<TermSetPairwiseSimilarity> run_batch(std::string_view input_file,
                                                 std::string_view closure_file,
                                                 Waiter& waiter = plain_waiter());

}  // namespace ontarix
