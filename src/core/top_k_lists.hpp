// The k best neighbours of each query: the one order they are kept in, the lists that any number
// of threads fill at once, and partial lists that travel between processes to be merged.
//
// The order (NeighbourOrder) is total: score descending, NaN after every number, then the
// candidate's name in UTF-8 byte order, then its position (equal names are possible only for
// distinct keys of one mapping that encode alike). Because it is total, the k best of a set of
// scored pairs are one definite list, whichever thread scored which pair, in whatever order, and
// however the pairs were split into pieces and merged again: a single call, a run on many threads
// and a cluster's pieces all give the same lists.
//
// TopKLists keeps, per query, a heap of at most k entries whose top is the worst kept. Threads
// offer scored pairs concurrently; each query also publishes the score of its worst kept entry
// once its heap is full (a relaxed atomic), so that an offer that cannot enter -- most of them,
// once the lists fill -- is turned away without a lock. Offers that may enter take one of a fixed
// set of locks, chosen by query. Memory: 16 bytes per kept entry plus 12 per query, whatever the
// thread count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/terms.hpp"

namespace ontarix {

struct Neighbour {
    std::uint32_t candidate;  // position among the candidates
    double score;
};

// Lists per query: query q owns items[begin[q], begin[q + 1]), best first.
struct NeighbourLists {
    std::vector<std::size_t> begin;
    std::vector<Neighbour> items;
};

// Holds a table over the candidates: hand it to algorithms, which copy their comparators, as
// std::cref.
class NeighbourOrder {
public:
    explicit NeighbourOrder(std::span<const Term> candidate_names);

    // True when a comes before b.
    bool operator()(const Neighbour& a, const Neighbour& b) const noexcept;

    std::size_t candidates() const noexcept { return name_rank_.size(); }

private:
    std::vector<std::uint32_t> name_rank_;  // candidate -> place in name order
};

class TopKLists {
public:
    // Lists for `queries` queries of at most k entries each, in `order` (which must outlive them).
    TopKLists(std::size_t queries, std::size_t k, const NeighbourOrder& order);

    // Thread-safe. Keeps n if it is among the k best offered to `query` so far.
    void offer(std::size_t query, Neighbour n);

    // Every list, best first. Call once every offer has returned.
    NeighbourLists sorted() const;

private:
    std::size_t k_;
    const NeighbourOrder& order_;
    std::vector<Neighbour> entries_;      // k per query, a heap each
    std::vector<std::uint32_t> sizes_;
    // Per query: the score of the worst kept entry once k are kept, else NaN (nothing can be
    // turned away on the score alone).
    std::unique_ptr<std::atomic<double>[]> bar_;
    static constexpr std::size_t kLocks = 256;
    std::unique_ptr<std::mutex[]> locks_;
};

// Some queries' lists, computed by one piece of a search, to be merged with other pieces' by
// offering every entry to the full search's TopKLists.
struct PartialNeighbours {
    std::vector<std::uint32_t> queries;  // the query of each list, as positions
    NeighbourLists lists;
};

// A compact byte form of partial lists, and its reader (a Fault of kind Content for anything that
// is not one, or that names a query >= `queries` or a candidate >= `candidates`).
std::string save_partial_neighbours(const PartialNeighbours& partial);
PartialNeighbours load_partial_neighbours(std::string_view bytes, std::size_t queries,
                                          std::size_t candidates);

}  // namespace ontarix
