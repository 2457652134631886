#include "core/batch_run.hpp"

#include <string>
#include <utility>

#include "core/expansion.hpp"
#include "core/fault.hpp"

namespace ontarix {
namespace {

constexpr Term kReferenceSet = "set1";

}  // namespace

TspsProducer::TspsProducer(BatchTables tables, TermSetPairwiseSimilarity tmpl)
    : tables_(std::move(tables)),
      template_(std::move(tmpl)),
      cur_(tables_.input.begin()),
      remaining_(tables_.input.size()) {
    const TermList& subject = template_.subject_terms();
    subject_.reserve(subject.size());
    for (const Term& t : subject) subject_.insert(t.data());
}

std::optional<TermSetPairwiseSimilarity> TspsProducer::next() {
    if (remaining_ == 0) return std::nullopt;
    const auto& [key, terms] = *cur_;

    // Resolve every term before expanding any: a term without a closure entry fails the record.
    parts_.clear();
    std::size_t bound = 0;
    for (const Term& t : terms) {
        const auto found = tables_.closure.find(t);
        if (found == tables_.closure.end()) [[unlikely]] raise_fault(std::string(kMissingValue));
        parts_.push_back(&found->second);
        bound += found->second.size();
    }

    // The union, deduplicated by data pointer: equal closure strings share one view.
    seen_.clear();
    seen_.reserve(bound);
    reached_.clear();
    for (const TermSet* part : parts_) {
        for (const Term& t : *part) {
            if (seen_.insert(t.data()).second) reached_.push_back(t);
        }
    }

    std::uint64_t common = 0;
    for (const Term& t : reached_) common += subject_.contains(t.data());
    const std::uint64_t all = subject_.size() + reached_.size() - common;

    TermSetPairwiseSimilarity record = template_;
    record.set_id = key;
    record.object_termset.assign(reached_.begin(), reached_.end());
    record.best_score = static_cast<double>(common) / static_cast<double>(all);

    ++cur_;
    --remaining_;
    return record;
}

TspsProducer iter_tsps(BatchTables tables, TermSetPairwiseSimilarity tmpl) {
    return TspsProducer(std::move(tables), std::move(tmpl));
}

std::vector<TermSetPairwiseSimilarity> run_batch(std::string_view input_file,
                                                 std::string_view closure_file) {
    // The input file is read and closed before the closure file is opened.
    AssociationTable input = parse_associations(read_file(input_file));
    AssociationTable closure = parse_associations(read_file(closure_file));

    auto storage = std::make_shared<RunStorage>();
    storage->input = std::move(input.arena);  // chunks do not move, so the maps' views stay valid
    storage->closure = std::move(closure.arena);
    BatchTables tables{std::move(input.map), std::move(closure.map)};

    const auto reference = tables.input.find(kReferenceSet);
    if (reference == tables.input.end()) raise_fault(std::string(kMissingValue));

    TermSetPairwiseSimilarity tmpl = TermSetPairwiseSimilarity::make_default();
    const TermSet expanded = expand_terms_using_closure(reference->second, tables.closure);
    tmpl.subject_termset = std::make_shared<const TermList>(expanded.begin(), expanded.end());
    tmpl.storage = std::move(storage);

    TspsProducer producer = iter_tsps(std::move(tables), std::move(tmpl));
    std::vector<TermSetPairwiseSimilarity> records;
    records.reserve(producer.remaining());
    while (auto record = producer.next()) records.push_back(std::move(*record));
    return records;
}

}  // namespace ontarix
