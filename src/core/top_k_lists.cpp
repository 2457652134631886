#include "core/top_k_lists.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "core/fault.hpp"
#include "core/stored_form.hpp"

namespace ontarix {

NeighbourOrder::NeighbourOrder(std::span<const Term> candidate_names)
    : name_rank_(candidate_names.size()) {
    std::vector<std::uint32_t> by_name(candidate_names.size());
    for (std::uint32_t c = 0; c < by_name.size(); ++c) by_name[c] = c;
    // Stable: equal names keep their positions' order.
    std::stable_sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) {
        return candidate_names[a] < candidate_names[b];
    });
    for (std::uint32_t r = 0; r < by_name.size(); ++r) name_rank_[by_name[r]] = r;
}

bool NeighbourOrder::operator()(const Neighbour& a, const Neighbour& b) const noexcept {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return name_rank_[a.candidate] < name_rank_[b.candidate];
}

TopKLists::TopKLists(std::size_t queries, std::size_t k, const NeighbourOrder& order)
    : k_(k),
      order_(order),
      entries_(queries * k),
      sizes_(queries, 0),
      bar_(std::make_unique<std::atomic<double>[]>(queries)),
      locks_(std::make_unique<std::mutex[]>(kLocks)) {
    for (std::size_t q = 0; q < queries; ++q) {
        bar_[q].store(std::numeric_limits<double>::quiet_NaN(), std::memory_order_relaxed);
    }
}

void TopKLists::offer(std::size_t query, Neighbour n) {
    if (k_ == 0) return;
    // A full list's worst score only ever improves, so a stale bar turns away less, never more.
    // Strictly worse than a number never enters (a NaN is worse than every number); an equal
    // score may win on the name, and is decided under the lock.
    const double bar = bar_[query].load(std::memory_order_relaxed);
    if (!std::isnan(bar) && !(n.score >= bar)) return;
    const std::lock_guard lock(locks_[query % kLocks]);
    Neighbour* heap = entries_.data() + query * k_;
    std::uint32_t& size = sizes_[query];
    // The algorithms copy their comparator: by reference, not the order's table per candidate.
    const auto before = std::cref(order_);
    if (size < k_) {
        heap[size++] = n;
        std::push_heap(heap, heap + size, before);
    } else if (order_(n, heap[0])) {
        std::pop_heap(heap, heap + size, before);
        heap[size - 1] = n;
        std::push_heap(heap, heap + size, before);
    } else {
        return;
    }
    if (size == k_) bar_[query].store(heap[0].score, std::memory_order_relaxed);
}

NeighbourLists TopKLists::sorted() const {
    NeighbourLists out;
    out.begin.reserve(sizes_.size() + 1);
    out.begin.push_back(0);
    std::size_t total = 0;
    for (const std::uint32_t size : sizes_) total += size;
    out.items.reserve(total);
    for (std::size_t q = 0; q < sizes_.size(); ++q) {
        const Neighbour* heap = entries_.data() + q * k_;
        out.items.insert(out.items.end(), heap, heap + sizes_[q]);
        std::sort(out.items.end() - sizes_[q], out.items.end(), std::cref(order_));
        out.begin.push_back(out.items.size());
    }
    return out;
}

// ---- partial lists as bytes -----------------------------------------------------------------------
//   "ONTXTOP" 0x01, u64 lists, u64 entries, per list u32 query and u32 length, per entry u32
//   candidate and f64 score; little-endian, as the machine writes them.

namespace {

constexpr std::string_view kMagic{"ONTXTOP\x01", 8};

}  // namespace

std::string save_partial_neighbours(const PartialNeighbours& partial) {
    std::string out;
    out.reserve(kMagic.size() + 16 + partial.queries.size() * 8 + partial.lists.items.size() * 12);
    out.append(kMagic);
    put_field<std::uint64_t>(out, partial.queries.size());
    put_field<std::uint64_t>(out, partial.lists.items.size());
    for (std::size_t l = 0; l < partial.queries.size(); ++l) {
        put_field<std::uint32_t>(out, partial.queries[l]);
        put_field<std::uint32_t>(out, static_cast<std::uint32_t>(partial.lists.begin[l + 1] -
                                                           partial.lists.begin[l]));
    }
    for (const Neighbour& n : partial.lists.items) {
        put_field<std::uint32_t>(out, n.candidate);
        put_field<double>(out, n.score);
    }
    return out;
}

PartialNeighbours load_partial_neighbours(std::string_view bytes, std::size_t queries,
                                          std::size_t candidates) {
    StoredFormReader in(bytes, "partial top-k lists");
    if (std::string_view(in.take(kMagic.size()), kMagic.size()) != kMagic) {
        in.invalid("they were not made by this version");
    }
    const std::uint64_t lists = in.count(8);
    const std::uint64_t entries = in.count(12);
    PartialNeighbours out;
    out.queries.reserve(lists);
    out.lists.begin.reserve(lists + 1);
    out.lists.begin.push_back(0);
    for (std::uint64_t l = 0; l < lists; ++l) {
        const auto query = in.get<std::uint32_t>();
        const auto length = in.get<std::uint32_t>();
        if (query >= queries) in.invalid("a list names an unknown query");
        out.queries.push_back(query);
        out.lists.begin.push_back(out.lists.begin.back() + length);
    }
    if (out.lists.begin.back() != entries) in.invalid("list lengths do not add up");
    out.lists.items.reserve(entries);
    for (std::uint64_t e = 0; e < entries; ++e) {
        const auto candidate = in.get<std::uint32_t>();
        const auto score = in.get<double>();
        if (candidate >= candidates) in.invalid("an entry names an unknown candidate");
        out.lists.items.push_back({candidate, score});
    }
    if (!in.done()) in.invalid("trailing bytes");
    return out;
}

}  // namespace ontarix
