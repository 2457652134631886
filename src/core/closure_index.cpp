#include "core/closure_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "core/lock_free_section.hpp"

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

// Copies the used texts into the structure in byte order; returns each source number's new
// number. The text lookup (numbers) is left to TextLookup.
std::vector<std::uint32_t> number_in_text_order(IndexStructure& s, const std::vector<Term>& texts,
                                                const std::vector<std::uint8_t>& used) {
    const std::vector<std::uint32_t> order = sorted_by_text(texts, used);
    const auto n = static_cast<std::uint32_t>(order.size());
    std::vector<std::uint32_t> new_of(texts.size(), UINT32_MAX);
    s.texts.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        new_of[order[i]] = i;
        s.texts.push_back(s.arena.store(texts[order[i]]));
    }
    return new_of;
}

// Fills the text lookup from the texts on a thread of its own while the build goes on: a table
// of every text, touched by nothing else until finish(). The build is single-threaded otherwise,
// and this table is a few percent of it that a second core can take. Without a thread to be had,
// the table is filled by finish().
class TextLookup {
public:
    explicit TextLookup(IndexStructure& s) : s_(s) {
        try {
            thread_ = std::thread([this] {
                try {
                    fill(s_);
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
            fill(s_);
            return;
        }
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    static void fill(IndexStructure& s) {
        s.numbers.reserve(s.size());
        for (const Term text : s.texts) s.numbers.number(text);
    }

    IndexStructure& s_;
    std::thread thread_;
    std::exception_ptr failure_;
    bool inline_ = false;
};

// The raw expansions (in no order within a term) and the frequencies, in the new numbering.
struct Expansions {
    TermLists raw;                       // subject -> distinct reached terms, unordered
    std::vector<std::uint64_t> counts;   // term -> rows (subject, predicate) that hold it
    std::uint64_t total = 0;             // entries (subject, predicate, object) within the filter
};

Expansions expand_rows(const ClosureRows& rows, const std::vector<std::uint8_t>& kept,
                       const std::vector<std::uint32_t>& new_of, std::uint32_t n,
                       Checkpoint* checkpoint) {
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
        reach(checkpoint);
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

// For every term, the terms whose list (in `lists`, in any order) holds it, ascending.
TermLists holders_of(const TermLists& lists, std::uint32_t n, Checkpoint* checkpoint) {
    std::vector<std::size_t> count(n, 0);
    for (std::uint32_t s = 0; s < n; ++s) {
        reach(checkpoint);
        for (const std::uint32_t t : lists.of(s)) ++count[t];
    }
    TermLists out;
    out.begin = offsets_of(count);
    out.items.resize(lists.items.size());
    std::vector<std::size_t> cursor(out.begin.begin(), out.begin.end() - 1);
    for (std::uint32_t s = 0; s < n; ++s) {
        reach(checkpoint);
        for (const std::uint32_t t : lists.of(s)) out.items[cursor[t]++] = s;
    }
    return out;
}

// Walking terms in ascending order and appending each to the lists of its holders leaves every
// list ascending without sorting it.
TermLists ascending_lists(const TermLists& raw, const TermLists& holders, std::uint32_t n,
                          Checkpoint* checkpoint) {
    TermLists out;
    out.begin = raw.begin;
    out.items.resize(raw.items.size());
    std::vector<std::size_t> cursor(raw.begin.begin(), raw.begin.end() - 1);
    for (std::uint32_t t = 0; t < n; ++t) {
        reach(checkpoint);
        for (const std::uint32_t s : holders.of(t)) out.items[cursor[s]++] = t;
    }
    return out;
}

// Stage 1's common end: holders from the (ascending) expansions, and the subject count.
void finish_structure(IndexStructure& s, Checkpoint* checkpoint) {
    s.holders = holders_of(s.expansions, s.size(), checkpoint);
    s.subject_count = 0;
    for (const std::uint8_t flag : s.is_subject) s.subject_count += flag;
}

// The terms that can score, in rank order. `counts`, when given, are the frequencies the IC was
// computed from: IC falls strictly as the count grows, so ordering by count ascending is ordering
// by IC descending, and counts (bounded by the number of rows) sort by buckets instead of
// comparisons.
std::vector<std::uint32_t> ranked_terms(const IndexStructure& s, const std::vector<double>& ic,
                                        const std::vector<std::uint64_t>* counts) {
    std::vector<std::uint32_t> ranked;
    for (std::uint32_t t = 0; t < s.size(); ++t) {
        // Only an IC strictly above 0.0 can raise a score above its start of 0.0 (a NaN never
        // compares greater), and the root never counts.
        if (ic[t] > 0.0 && s.texts[t] != kRootTerm) ranked.push_back(t);
    }
    if (counts != nullptr) {
        std::uint64_t largest = 0;
        for (const std::uint32_t t : ranked) largest = std::max(largest, (*counts)[t]);
        std::vector<std::size_t> bucket(largest + 2, 0);
        for (const std::uint32_t t : ranked) ++bucket[(*counts)[t] + 1];
        for (std::size_t c = 1; c < bucket.size(); ++c) bucket[c] += bucket[c - 1];
        std::vector<std::uint32_t> sorted(ranked.size());
        // Terms in ascending order within a bucket: ties go to the smaller number.
        for (const std::uint32_t t : ranked) sorted[bucket[(*counts)[t]]++] = t;
        return sorted;
    }
    struct Keyed {
        double ic;
        std::uint32_t term;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(ranked.size());
    for (const std::uint32_t t : ranked) keyed.push_back({ic[t], t});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.ic != b.ic) return a.ic > b.ic;
        return a.term < b.term;
    });
    for (std::size_t r = 0; r < keyed.size(); ++r) ranked[r] = keyed[r].term;
    return ranked;
}

// The table's own IC from its frequencies: -log2(count / total), 0.0 for a count of 0.
std::vector<double> frequency_ic(const IndexStructure& s) {
    std::vector<double> ic(s.size(), 0.0);
    if (s.total == 0) return ic;
    const auto all = static_cast<double>(s.total);
    for (std::uint32_t t = 0; t < s.size(); ++t) {
        if (s.counts[t] != 0) ic[t] = -std::log2(static_cast<double>(s.counts[t]) / all);
    }
    return ic;
}

}  // namespace

// ---- stage 1 ------------------------------------------------------------------------------------

std::unique_ptr<IndexStructure> build_structure(const ClosureRows& rows, const TermSet* filter,
                                                Waiter* host) {
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

    auto s = std::make_unique<IndexStructure>();
    const std::vector<std::uint32_t> new_of = number_in_text_order(*s, rows.texts, used);
    // From here on only numbers are read: the host's objects may change.
    std::optional<LockFreeSection> section;
    if (host != nullptr) section.emplace(*host);
    Checkpoint* const checkpoint = section ? &*section : nullptr;
    TextLookup lookup(*s);
    const std::uint32_t n = s->size();
    s->is_subject.assign(n, 0);
    for (const std::uint32_t subject : rows.subjects) s->is_subject[new_of[subject]] = 1;

    Expansions expanded = expand_rows(rows, kept, new_of, n, checkpoint);
    const TermLists holders = holders_of(expanded.raw, n, checkpoint);
    s->expansions = ascending_lists(expanded.raw, holders, n, checkpoint);
    s->holders = std::move(holders);
    s->counts = std::move(expanded.counts);
    s->total = expanded.total;
    s->subject_count = 0;
    for (const std::uint8_t flag : s->is_subject) s->subject_count += flag;
    lookup.finish();
    return s;
}

std::unique_ptr<IndexStructure> build_structure(NumberedEdges graph, bool reflexive,
                                                Waiter* host) {
    if (graph.texts.size() >= UINT32_MAX) throw std::length_error("too many distinct terms");
    auto s = std::make_unique<IndexStructure>();
    // Numbered in byte order before the closure is taken, so that the closure's ascending lists
    // are the index's expansions as they come.
    const std::vector<std::uint32_t> new_of =
        number_in_text_order(*s, graph.texts, std::vector<std::uint8_t>(graph.texts.size(), 1));
    WangEdges edges;
    edges.predicate_texts.reserve(graph.predicate_texts.size());
    for (const Term predicate : graph.predicate_texts) {
        edges.predicate_texts.push_back(s->arena.store(predicate));
    }
    graph.texts = {};
    graph.predicate_texts = {};
    std::optional<LockFreeSection> section;
    if (host != nullptr) section.emplace(*host);
    Checkpoint* const checkpoint = section ? &*section : nullptr;
    TextLookup lookup(*s);
    for (Edge& edge : graph.edges) edge = {new_of[edge.child], new_of[edge.parent]};
    const std::uint32_t n = s->size();
    s->expansions = transitive_closure(n, graph.edges, reflexive, checkpoint);
    edges.edges = std::move(graph.edges);
    edges.edge_predicates = std::move(graph.edge_predicates);
    s->edges = std::move(edges);

    // One row per term with a reach: a term's frequency is the number of terms that reach it.
    s->is_subject.assign(n, 0);
    for (std::uint32_t t = 0; t < n; ++t) s->is_subject[t] = !s->expansions.of(t).empty();
    finish_structure(*s, checkpoint);
    s->counts.resize(n);
    for (std::uint32_t t = 0; t < n; ++t) s->counts[t] = s->holders.of(t).size();
    s->total = s->expansions.items.size();
    lookup.finish();
    return s;
}

const WangTable* IndexStructure::wang_table() const {
    if (!edges) return nullptr;
    std::call_once(wang_once_, [&] {
        wang_table_ = std::make_unique<const WangTable>(ontarix::wang_table(size(), *edges));
    });
    return wang_table_.get();
}

// ---- stage 2 ------------------------------------------------------------------------------------

ClosureIndex finish_index(std::shared_ptr<const IndexStructure> structure, std::vector<double> ic,
                          bool custom, Checkpoint* checkpoint) {
    const IndexStructure& s = *structure;
    const std::uint32_t n = s.size();
    if (ic.size() != n) throw std::invalid_argument("one IC value per term");
    ClosureIndex index;
    index.custom_ic_ = custom;
    // The table's own IC ranks by its frequencies, when they are known.
    index.ranked_ = ranked_terms(s, ic, !custom && s.counts.size() == n ? &s.counts : nullptr);
    index.rank_of_.assign(n, ClosureIndex::kNoRank);
    index.rank_ic_.resize(index.ranked_.size());
    index.weight_.assign(n, 0.0);
    for (std::uint32_t r = 0; r < index.ranked_.size(); ++r) {
        const std::uint32_t t = index.ranked_[r];
        index.rank_of_[t] = r;
        index.rank_ic_[r] = ic[t];
        index.weight_[t] = ic[t];
    }

    // The scoring ancestors of each term as ranks, ascending: walking the ranks in order and
    // appending each to the lists of its holders.
    std::vector<std::size_t> scoring(n, 0);
    for (const std::uint32_t t : index.ranked_) {
        reach(checkpoint);
        for (const std::uint32_t holder : s.holders.of(t)) ++scoring[holder];
    }
    index.scored_.begin = offsets_of(scoring);
    index.scored_.items.resize(index.scored_.begin.back());
    // Each term's scored weight is summed in the same pass: a holder meets its ranks in ascending
    // order, which is the order the weight is defined to be summed in.
    std::vector<std::size_t> cursor(index.scored_.begin.begin(), index.scored_.begin.end() - 1);
    index.scored_weight_.assign(n, 0.0);
    for (std::uint32_t r = 0; r < index.ranked_.size(); ++r) {
        reach(checkpoint);
        const double rank_ic = index.rank_ic_[r];
        for (const std::uint32_t holder : s.holders.of(index.ranked_[r])) {
            index.scored_.items[cursor[holder]++] = r;
            index.scored_weight_[holder] += rank_ic;
        }
    }
    index.ic_ = std::move(ic);
    index.structure_ = std::move(structure);
    return index;
}

ClosureIndex finish_index(std::shared_ptr<const IndexStructure> structure,
                          const TermScoreMap* custom_ic, Checkpoint* checkpoint) {
    std::vector<double> ic = custom_ic != nullptr ? ic_by_text(*structure, *custom_ic)
                                                  : frequency_ic(*structure);
    return finish_index(std::move(structure), std::move(ic), custom_ic != nullptr, checkpoint);
}

std::vector<double> ic_by_text(const IndexStructure& s, const TermScoreMap& values) {
    std::vector<double> ic(s.size(), 0.0);
    for (std::uint32_t t = 0; t < s.size(); ++t) {
        const auto found = values.find(s.texts[t]);
        if (found != values.end()) ic[t] = found->second;
    }
    return ic;
}

ClosureIndex build_closure_index(const ClosureRows& rows, const TermSet* filter,
                                 const TermScoreMap* custom_ic) {
    return finish_index(build_structure(rows, filter), custom_ic);
}

// ---- term measures ------------------------------------------------------------------------------

std::uint32_t common_rank(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept {
    const std::span<const std::uint32_t> x = index.scored().of(a);
    const std::span<const std::uint32_t> y = index.scored().of(b);
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
