#include "core/batch_run.hpp"

#include <string>
#include <utility>

#include "core/fault.hpp"

namespace ontarix {
namespace {

constexpr Term kReferenceSet = "set1";

std::span<const std::uint32_t> range_of(const NumberedAssociations& table, std::uint32_t key) {
    const NumberedAssociations::Range r = table.ranges[key];
    return {table.values.data() + r.begin, r.end - r.begin};
}

}  // namespace

void expand_numbers(const NumberedAssociations& closure, std::span<const std::uint32_t> terms,
                    std::vector<std::uint32_t>& marks, std::uint32_t generation,
                    TermNumberList& out) {
    // Resolve every term first: a term without a closure entry fails before any work. Every key
    // of the closure has at least one value, so an empty range means "no entry".
    std::size_t bound = 0;
    for (const std::uint32_t t : terms) {
        if (closure.ranges[t].begin == closure.ranges[t].end) [[unlikely]] {
            raise_fault(std::string(kMissingValue));
        }
        bound += closure.ranges[t].end - closure.ranges[t].begin;
    }
    // Every reached term is written, but the write position only advances past a new one: no
    // branch on whether a term is new, which would be mispredicted about half the time.
    const std::size_t first = out.size();
    out.resize(first + bound);
    std::uint32_t* const base = out.data() + first;
    std::size_t n = 0;
    for (const std::uint32_t t : terms) {
        for (const std::uint32_t reached : range_of(closure, t)) {
            base[n] = reached;
            n += marks[reached] != generation;
            marks[reached] = generation;
        }
    }
    out.resize(first + n);
}

TspsProducer::TspsProducer(BatchTables tables, TermSetPairwiseSimilarity tmpl)
    : tables_(std::move(tables)), template_(std::move(tmpl)) {
    const std::size_t terms = tables_.strings->texts.size();
    in_subject_.assign(terms, 0);
    for (const std::uint32_t t : template_.subject_numbers()) in_subject_[t] = 1;
    marks_.assign(terms, 0);
}

std::optional<TermSetPairwiseSimilarity> TspsProducer::next() {
    if (cur_ == tables_.set_names.size()) return std::nullopt;
    const std::size_t set = cur_;

    reached_.clear();
    expand_numbers(tables_.closure, range_of(tables_.input, static_cast<std::uint32_t>(set)),
                   marks_, ++generation_, reached_);

    std::uint64_t common = 0;
    for (const std::uint32_t t : reached_) common += in_subject_[t];
    const std::uint64_t all = template_.subject_numbers().size() + reached_.size() - common;

    TermSetPairwiseSimilarity record = template_;
    record.set_id = tables_.set_names[set];
    record.object_termset.assign(reached_.begin(), reached_.end());
    record.best_score = static_cast<double>(common) / static_cast<double>(all);

    ++cur_;
    return record;
}

TspsProducer iter_tsps(BatchTables tables, TermSetPairwiseSimilarity tmpl) {
    return TspsProducer(std::move(tables), std::move(tmpl));
}

std::vector<TermSetPairwiseSimilarity> run_batch(std::string_view input_file,
                                                 std::string_view closure_file, Waiter& waiter) {
    auto strings = std::make_shared<RunStrings>();
    // Set names and terms share the arena but not the numbering: a set name is not a term.
    TermNumbering set_names(&strings->arena);
    TermNumbering terms(&strings->arena);

    // The input file is read and closed before the closure file is opened.
    BatchTables tables;
    tables.input = parse_numbered_associations(read_file(input_file, waiter), set_names, terms);
    tables.closure = parse_numbered_associations(read_file(closure_file, waiter), terms, terms);

    const TermNumbering::Id reference = set_names.find(kReferenceSet);
    if (reference == TermNumbering::kNone) raise_fault(std::string(kMissingValue));

    // The closure was read last, so its ranges cover every term number of both files.
    strings->texts = terms.release_texts();
    tables.set_names = set_names.release_texts();

    TermSetPairwiseSimilarity tmpl = TermSetPairwiseSimilarity::make_default();
    {
        std::vector<std::uint32_t> marks(strings->texts.size(), 0);
        TermNumberList expanded;
        expand_numbers(tables.closure, range_of(tables.input, reference), marks, 1, expanded);
        expanded.shrink_to_fit();
        tmpl.subject_termset = std::make_shared<const TermNumberList>(std::move(expanded));
    }
    tmpl.strings = strings;
    tables.strings = std::move(strings);

    TspsProducer producer = iter_tsps(std::move(tables), std::move(tmpl));
    std::vector<TermSetPairwiseSimilarity> records;
    records.reserve(producer.remaining());
    while (auto record = producer.next()) records.push_back(std::move(*record));
    return records;
}

}  // namespace ontarix
