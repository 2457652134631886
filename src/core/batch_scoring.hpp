// Batches over a ClosureIndex: similarity matrices of terms and of profiles, and the k best
// candidates of every query profile, computed on several threads.
//
// Every batch is a set of rows (a term, or a query profile) scored against columns by a kernel
// (term_kernels.hpp, profile_kernels.hpp): a row is prepared once on the thread that takes it, by
// marking what it reaches in that thread's scratch, and each column is scored by walking its own
// lists against the marks. The drivers (batch_driver.hpp) decide which thread takes which rows.
// Scores are computed by the same formulas from the same values, and summed in the same order, as
// the one-pair functions of term_measures.hpp and profile_measures.hpp: a batch gives the same
// doubles, whatever the thread count.
//
// When the columns are the rows themselves, a symmetric measure is computed for one triangle and
// mirrored (a top-k list takes each pair from the one computation); a measure that is not
// symmetric (a directed combine) is computed for every ordered pair.
//
// Memory per thread: marks per rank or per index term, and bits per row term that can score; a
// top-k run keeps k entries per query and thread. Terms the index lacks take no marks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/blocking_wait.hpp"
#include "core/closure_index.hpp"
#include "core/profile_cache.hpp"
#include "core/profile_measures.hpp"
#include "core/top_k_lists.hpp"

namespace ontarix {

struct BatchOptions {
    unsigned threads = 1;
    Waiter* waiter = nullptr;  // the host's lock and signals; plain_waiter() when null
    // Term numbers in use by the profiles, index terms included (an upper bound of every
    // number + 1). No kernel keeps marks for the numbers above index.size().
    std::uint32_t term_space = 0;
    // What the kernels derive from the row or column profiles, kept from earlier calls
    // (profile_cache.hpp); null, or a cache that serves another index: derived for this call.
    const ProfileCache* row_cache = nullptr;
    const ProfileCache* col_cache = nullptr;
};

// out[i * cols.size() + j] = measure(rows[i], cols[j]). With `symmetric`, cols must be rows.
// Wang's measure needs the index's Wang table (a fault without one).
void term_similarity_matrix(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                            std::span<const std::uint32_t> cols, bool symmetric,
                            TermMeasure measure, double* out, const BatchOptions& options);

// out[i * cols.size() + j] = measure(rows[i], cols[j]). With `symmetric`, cols must be rows.
// A measure that is not symmetric (directed) is computed for every cell even with `symmetric`.
void profile_similarity_matrix(const ClosureIndex& index, const ProfileList& rows,
                               const ProfileList& cols, bool symmetric, const ProfileScoring& scoring,
                               double* out, const BatchOptions& options);

// For every query, its k best candidates: score descending (NaN after every number), then
// candidate name in UTF-8 byte order (then position, for equal names). With `all_vs_all`,
// candidates must be the queries and no query is its own neighbour.
NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             std::span<const Term> candidate_names, std::size_t k,
                             const ProfileScoring& scoring, const BatchOptions& options);
// The same in an order made beforehand from the candidates' names (kept with them).
NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             const NeighbourOrder& order, std::size_t k,
                             const ProfileScoring& scoring, const BatchOptions& options);

// One piece of profile_top_k's search, cut by the caller (a cluster): the pairs of query rows
// [rows.first, rows.second) and candidate columns [cols.first, cols.second). Offering every entry
// of every piece of a partition of the search to one TopKLists gives profile_top_k's lists. For
// all-vs-all, a partition of the pairs: a range with itself, and two disjoint ranges once each.
PartialNeighbours profile_top_k_piece(const ClosureIndex& index, const ProfileList& queries,
                                      const ProfileList& candidates, bool all_vs_all,
                                      std::pair<std::size_t, std::size_t> rows,
                                      std::pair<std::size_t, std::size_t> cols,
                                      const NeighbourOrder& order, std::size_t k,
                                      const ProfileScoring& scoring, const BatchOptions& options);

}  // namespace ontarix
