#include "core/closure_index.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace ontarix {
namespace {

// Counts -> offsets: begin[t] becomes the sum of the counts before t; begin gets one more entry.
std::vector<std::size_t> offsets_of(const std::vector<std::size_t>& counts) {
    std::vector<std::size_t> begin(counts.size() + 1, 0);
    for (std::size_t i = 0; i < counts.size(); ++i) begin[i + 1] = begin[i] + counts[i];
    return begin;
}

// The numbers of the used source terms, in byte order of their texts.
std::vector<std::uint32_t> sorted_by_text(const std::vector<Term>& texts,
                                          const std::vector<std::uint8_t>& used) {
    std::vector<std::uint32_t> order;
    order.reserve(texts.size());
    for (std::uint32_t t = 0; t < texts.size(); ++t) {
        if (used[t]) order.push_back(t);
    }
    // Sorted by the first 16 bytes as two big-endian words first, which settles most comparisons
    // of identifiers without touching the texts; equal heads compare the texts themselves.
    // Unsigned bytes in big-endian words order as string_view does, which is UTF-8 byte order
    // (and code point order).
    struct Keyed {
        std::uint64_t head0, head1;
        std::uint32_t term;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(order.size());
    for (const std::uint32_t t : order) {
        unsigned char head[16] = {};
        std::memcpy(head, texts[t].data(), std::min<std::size_t>(16, texts[t].size()));
        std::uint64_t h0 = 0, h1 = 0;
        for (int i = 0; i < 8; ++i) {
            h0 = (h0 << 8) | head[i];
            h1 = (h1 << 8) | head[8 + i];
        }
        keyed.push_back({h0, h1, t});
    }
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        if (a.head0 != b.head0) return a.head0 < b.head0;
        if (a.head1 != b.head1) return a.head1 < b.head1;
        return texts[a.term] < texts[b.term];
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].term;
    return order;
}

// Copies the used texts into the index in byte order; returns each source number's new number.
// The text lookup (index.numbers) is left to TextLookup.
std::vector<std::uint32_t> number_in_text_order(ClosureIndex& index, const std::vector<Term>& texts,
                                                const std::vector<std::uint8_t>& used) {
    const std::vector<std::uint32_t> order = sorted_by_text(texts, used);
    const auto n = static_cast<std::uint32_t>(order.size());
    std::vector<std::uint32_t> new_of(texts.size(), UINT32_MAX);
    index.texts.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        new_of[order[i]] = i;
        index.texts.push_back(index.arena.store(texts[order[i]]));
    }
    return new_of;
}

// Fills index.numbers from index.texts on a thread of its own while the build goes on: a table
// of every text, touched by nothing else until finish(). The build is single-threaded otherwise,
// and this table is a few percent of it that a second core can take. Without a thread to be had,
// the table is filled by finish().
class TextLookup {
public:
    explicit TextLookup(ClosureIndex& index) : index_(index) {
        try {
            thread_ = std::thread([this] {
                try {
                    fill(index_);
                } catch (...) {
                    failure_ = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            inline_ = true;
        }
    }
    TextLookup(const TextLookup&) = delete;
    TextLookup& operator=(const TextLookup&) = delete;
    ~TextLookup() {
        if (thread_.joinable()) thread_.join();
    }

    void finish() {
        if (inline_) {
            fill(index_);
            return;
        }
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    static void fill(ClosureIndex& index) {
        index.numbers.reserve(index.size());
        for (const Term text : index.texts) index.numbers.number(text);
    }

    ClosureIndex& index_;
    std::thread thread_;
    std::exception_ptr failure_;
    bool inline_ = false;
};

// The table's own information content from frequencies: count / total, for counts that are 0
// (a term no row holds) left at 0.0.
void set_frequency_ic(ClosureIndex& index, const std::vector<std::uint64_t>& counts,
                      std::uint64_t total) {
    index.ic.assign(index.size(), 0.0);
    if (total == 0) return;
    const auto all = static_cast<double>(total);
    for (std::uint32_t t = 0; t < index.size(); ++t) {
        if (counts[t] != 0) index.ic[t] = -std::log2(static_cast<double>(counts[t]) / all);
    }
}

void set_custom_ic(ClosureIndex& index, const TermScoreMap& ic) {
    index.custom_ic = true;
    index.ic.assign(index.size(), 0.0);
    for (std::uint32_t t = 0; t < index.size(); ++t) {
        const auto found = ic.find(index.texts[t]);
        if (found != ic.end()) index.ic[t] = found->second;
    }
}

// The raw expansions (in no order within a term) and the frequencies, in the index's numbering.
struct Expansions {
    TermLists raw;                       // subject -> distinct reached terms, unordered
    std::vector<std::uint64_t> counts;   // term -> rows (subject, predicate) that hold it
    std::uint64_t total = 0;             // entries (subject, predicate, object) within the filter
};

Expansions expand_rows(const ClosureRows& rows, const std::vector<std::uint8_t>& kept,
                       const std::vector<std::uint32_t>& new_of, std::uint32_t n) {
    // Groups bucketed by subject in the new numbering.
    std::vector<std::size_t> group_count(n, 0);
    std::size_t bound = 0;
    for (std::size_t g = 0; g < rows.groups.size(); ++g) {
        if (!kept[g]) continue;
        ++group_count[new_of[rows.groups[g].subject]];
        bound += rows.groups[g].end - rows.groups[g].begin;
    }
    std::vector<std::size_t> group_begin = offsets_of(group_count);
    std::vector<std::uint32_t> by_subject(group_begin.back());
    {
        std::vector<std::size_t> cursor(group_begin.begin(), group_begin.end() - 1);
        for (std::size_t g = 0; g < rows.groups.size(); ++g) {
            if (kept[g]) by_subject[cursor[new_of[rows.groups[g].subject]]++] = static_cast<std::uint32_t>(g);
        }
    }

    Expansions out;
    out.counts.assign(n, 0);
    out.raw.begin.assign(n + 1, 0);
    out.raw.items.reserve(bound);
    // A term is in the current group (or subject) when its stamp equals the group's (subject's);
    // fresh stamps need no clearing. Stamps start at 1.
    std::vector<std::uint32_t> in_group(n, 0);
    std::vector<std::uint32_t> in_subject(n, 0);
    std::uint32_t group_stamp = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        out.raw.begin[s] = out.raw.items.size();
        const std::size_t groups = group_begin[s + 1] - group_begin[s];
        if (groups == 1 && rows.distinct_objects) {
            // The common shape (one predicate, a set of distinct objects): nothing to merge.
            const ClosureRows::Group& group = rows.groups[by_subject[group_begin[s]]];
            out.total += group.end - group.begin;
            for (std::size_t k = group.begin; k < group.end; ++k) {
                const std::uint32_t t = new_of[rows.objects[k]];
                ++out.counts[t];
                out.raw.items.push_back(t);
            }
            continue;
        }
        for (std::size_t i = group_begin[s]; i < group_begin[s + 1]; ++i) {
            const ClosureRows::Group& group = rows.groups[by_subject[i]];
            ++group_stamp;
            for (std::size_t k = group.begin; k < group.end; ++k) {
                const std::uint32_t t = new_of[rows.objects[k]];
                if (in_group[t] == group_stamp) continue;  // a repeat within the row
                in_group[t] = group_stamp;
                ++out.counts[t];
                ++out.total;
                if (in_subject[t] != s + 1) {
                    in_subject[t] = s + 1;
                    out.raw.items.push_back(t);
                }
            }
        }
    }
    out.raw.begin[n] = out.raw.items.size();
    return out;
}

// For every term, the subjects whose expansion holds it, ascending.
TermLists holders_of(const TermLists& raw, std::uint32_t n) {
    std::vector<std::size_t> count(n, 0);
    for (const std::uint32_t t : raw.items) ++count[t];
    TermLists out;
    out.begin = offsets_of(count);
    out.items.resize(raw.items.size());
    std::vector<std::size_t> cursor(out.begin.begin(), out.begin.end() - 1);
    for (std::uint32_t s = 0; s < n; ++s) {
        for (const std::uint32_t t : raw.of(s)) out.items[cursor[t]++] = s;
    }
    return out;
}

// `counts`, when given, are the frequencies the IC was computed from: IC falls strictly as the
// count grows, so ordering by count ascending is ordering by IC descending, and counts (bounded
// by the number of rows) sort by buckets instead of comparisons.
void rank_terms(ClosureIndex& index, const std::vector<std::uint64_t>* counts) {
    const std::uint32_t n = index.size();
    for (std::uint32_t t = 0; t < n; ++t) {
        // Only an IC strictly above 0.0 can raise a score above its start of 0.0 (a NaN never
        // compares greater), and the root never counts.
        if (index.ic[t] > 0.0 && index.texts[t] != kRootTerm) index.ranked.push_back(t);
    }
    if (counts != nullptr) {
        std::uint64_t largest = 0;
        for (const std::uint32_t t : index.ranked) largest = std::max(largest, (*counts)[t]);
        std::vector<std::size_t> bucket(largest + 2, 0);
        for (const std::uint32_t t : index.ranked) ++bucket[(*counts)[t] + 1];
        for (std::size_t c = 1; c < bucket.size(); ++c) bucket[c] += bucket[c - 1];
        std::vector<std::uint32_t> sorted(index.ranked.size());
        // Terms in ascending order within a bucket: ties go to the smaller number.
        for (const std::uint32_t t : index.ranked) sorted[bucket[(*counts)[t]]++] = t;
        index.ranked = std::move(sorted);
    } else {
        struct Keyed {
            double ic;
            std::uint32_t term;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(index.ranked.size());
        for (const std::uint32_t t : index.ranked) keyed.push_back({index.ic[t], t});
        std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
            if (a.ic != b.ic) return a.ic > b.ic;
            return a.term < b.term;
        });
        for (std::size_t r = 0; r < keyed.size(); ++r) index.ranked[r] = keyed[r].term;
    }
    index.rank_of.assign(n, ClosureIndex::kNoRank);
    index.rank_ic.resize(index.ranked.size());
    for (std::uint32_t r = 0; r < index.ranked.size(); ++r) {
        index.rank_of[index.ranked[r]] = r;
        index.rank_ic[r] = index.ic[index.ranked[r]];
    }
}

// Walking terms (or ranks) in ascending order and appending each to the lists of its holders
// leaves every list ascending without sorting it. The same walk counts each subject's scoring
// ancestors (the ranks must be known), which sizes its scored list.
std::vector<std::size_t> fill_expansions(ClosureIndex& index, const TermLists& raw,
                                         const TermLists& holders) {
    index.expansions.begin = raw.begin;
    index.expansions.items.resize(raw.items.size());
    std::vector<std::size_t> scoring(index.size(), 0);
    std::vector<std::size_t> cursor(raw.begin.begin(), raw.begin.end() - 1);
    for (std::uint32_t t = 0; t < index.size(); ++t) {
        const std::size_t scores = index.rank_of[t] != ClosureIndex::kNoRank;
        for (const std::uint32_t s : holders.of(t)) {
            index.expansions.items[cursor[s]++] = t;
            scoring[s] += scores;
        }
    }
    return scoring;
}

// The scoring ancestors of each subject as ranks, ascending; `scoring` counts them per subject.
void fill_scored(ClosureIndex& index, const TermLists& holders,
                 const std::vector<std::size_t>& scoring) {
    index.scored.begin = offsets_of(scoring);
    index.scored.items.resize(index.scored.begin.back());
    std::vector<std::size_t> cursor(index.scored.begin.begin(), index.scored.begin.end() - 1);
    for (std::uint32_t r = 0; r < index.ranked.size(); ++r) {
        for (const std::uint32_t s : holders.of(index.ranked[r])) index.scored.items[cursor[s]++] = r;
    }
}

// Ranks and scored lists of an index whose expansions and IC are in place.
void derive_scores(ClosureIndex& index) {
    const TermLists holders = holders_of(index.expansions, index.size());
    index.ranked.clear();
    rank_terms(index, nullptr);
    std::vector<std::size_t> scoring(index.size(), 0);
    for (std::uint32_t s = 0; s < index.size(); ++s) {
        for (const std::uint32_t t : index.expansions.of(s)) {
            scoring[s] += index.rank_of[t] != ClosureIndex::kNoRank;
        }
    }
    fill_scored(index, holders, scoring);
}

}  // namespace

ClosureIndex build_closure_index(const ClosureRows& rows, const TermSet* filter,
                                 const TermScoreMap* custom_ic) {
    if (rows.texts.size() >= UINT32_MAX) throw std::length_error("too many distinct terms");
    std::vector<std::uint8_t> admitted(rows.predicate_texts.size());
    for (std::size_t p = 0; p < admitted.size(); ++p) {
        admitted[p] = filter == nullptr || filter->contains(rows.predicate_texts[p]);
    }

    // The index holds the subjects and what the admitted rows reach; nothing else can matter.
    std::vector<std::uint8_t> used(rows.texts.size(), 0);
    for (const std::uint32_t s : rows.subjects) used[s] = 1;
    std::vector<std::uint8_t> kept(rows.groups.size(), 0);
    for (std::size_t g = 0; g < rows.groups.size(); ++g) {
        const ClosureRows::Group& group = rows.groups[g];
        if (!admitted[group.predicate]) continue;
        kept[g] = 1;
        for (std::size_t k = group.begin; k < group.end; ++k) used[rows.objects[k]] = 1;
    }

    ClosureIndex index;
    const std::vector<std::uint32_t> new_of = number_in_text_order(index, rows.texts, used);
    TextLookup lookup(index);
    const std::uint32_t n = index.size();
    index.is_subject.assign(n, 0);
    for (const std::uint32_t s : rows.subjects) index.is_subject[new_of[s]] = 1;
    index.subject_count = rows.subjects.size();

    Expansions expanded = expand_rows(rows, kept, new_of, n);
    if (custom_ic != nullptr) {
        set_custom_ic(index, *custom_ic);
    } else {
        set_frequency_ic(index, expanded.counts, expanded.total);
    }
    rank_terms(index, custom_ic == nullptr ? &expanded.counts : nullptr);
    expanded.counts = {};
    const TermLists holders = holders_of(expanded.raw, n);
    const std::vector<std::size_t> scoring = fill_expansions(index, expanded.raw, holders);
    expanded.raw = {};
    fill_scored(index, holders, scoring);
    lookup.finish();
    return index;
}

void set_information_content(ClosureIndex& index, const TermScoreMap& ic) {
    set_custom_ic(index, ic);
    derive_scores(index);
}

ClosureIndex build_closure_index(NumberedEdges graph, bool reflexive,
                                 const TermScoreMap* custom_ic) {
    if (graph.texts.size() >= UINT32_MAX) throw std::length_error("too many distinct terms");
    ClosureIndex index;
    // Numbered in byte order before the closure is taken, so that the closure's ascending lists
    // are the index's expansions as they come.
    const std::vector<std::uint32_t> new_of =
        number_in_text_order(index, graph.texts, std::vector<std::uint8_t>(graph.texts.size(), 1));
    graph.texts = {};
    TextLookup lookup(index);
    for (Edge& edge : graph.edges) edge = {new_of[edge.child], new_of[edge.parent]};
    const std::uint32_t n = index.size();
    ReachTable reach = transitive_closure(n, graph.edges, reflexive);
    graph.edges = {};
    index.expansions = std::move(reach);

    // One row per term with a reach: a term's frequency is the number of terms that reach it.
    index.is_subject.assign(n, 0);
    for (std::uint32_t t = 0; t < n; ++t) {
        index.is_subject[t] = !index.expansions.of(t).empty();
        index.subject_count += index.is_subject[t];
    }
    const TermLists holders = holders_of(index.expansions, n);
    std::vector<std::uint64_t> counts(n);
    for (std::uint32_t t = 0; t < n; ++t) counts[t] = holders.of(t).size();
    if (custom_ic != nullptr) {
        set_custom_ic(index, *custom_ic);
    } else {
        set_frequency_ic(index, counts, index.expansions.items.size());
    }
    rank_terms(index, custom_ic == nullptr ? &counts : nullptr);
    std::vector<std::size_t> scoring(n, 0);
    for (std::uint32_t t = 0; t < n; ++t) {
        if (index.rank_of[t] == ClosureIndex::kNoRank) continue;
        for (const std::uint32_t s : holders.of(t)) ++scoring[s];
    }
    fill_scored(index, holders, scoring);
    lookup.finish();
    return index;
}

void restore_derived(ClosureIndex& index) {
    index.numbers = TermNumbering();
    index.numbers.reserve(index.size());
    for (std::uint32_t t = 0; t < index.size(); ++t) index.numbers.number(index.texts[t]);
    derive_scores(index);
}

std::uint32_t common_rank(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept {
    const std::span<const std::uint32_t> x = index.scored.of(a);
    const std::span<const std::uint32_t> y = index.scored.of(b);
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < x.size() && j < y.size()) {
        if (x[i] == y[j]) return x[i];
        if (x[i] < y[j]) {
            ++i;
        } else {
            ++j;
        }
    }
    return ClosureIndex::kNoRank;
}

double index_max_information_content(const ClosureIndex& index, std::uint32_t a,
                                     std::uint32_t b) noexcept {
    return rank_score(index, common_rank(index, a, b));
}

double sorted_jaccard(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) noexcept {
    std::uint64_t common = 0;
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            ++common;
            ++i;
            ++j;
        } else if (a[i] < b[j]) {
            ++i;
        } else {
            ++j;
        }
    }
    const std::uint64_t united = a.size() + b.size() - common;
    // Two empty sets divide 0 by 0 on purpose: their similarity is the quiet NaN.
    return static_cast<double>(common) / static_cast<double>(united);
}

double index_semantic_jaccard(const ClosureIndex& index, std::uint32_t a,
                              std::uint32_t b) noexcept {
    return sorted_jaccard(index.expansions.of(a), index.expansions.of(b));
}

ClosureRows closure_rows_of(const ClosureTable& table) {
    ClosureRows rows;
    TermNumbering terms;
    TermMap<std::uint32_t> predicates;
    rows.subjects.reserve(table.size());
    for (const auto& [subject, by_predicate] : table) {
        const std::uint32_t s = terms.number(subject);
        rows.subjects.push_back(s);
        for (const auto& [predicate, objects] : by_predicate) {
            const auto [it, added] = predicates.try_emplace(
                predicate, static_cast<std::uint32_t>(rows.predicate_texts.size()));
            if (added) rows.predicate_texts.push_back(predicate);
            const std::size_t begin = rows.objects.size();
            for (const Term object : objects) rows.objects.push_back(terms.number(object));
            rows.groups.push_back({s, it->second, begin, rows.objects.size()});
        }
    }
    rows.texts = terms.release_texts();
    rows.distinct_objects = true;  // a TermSet holds distinct texts
    return rows;
}

}  // namespace ontarix
