// Batches over a ClosureIndex: similarity matrices of terms and of profiles, and the k best
// candidates of every query profile, computed on several threads.
//
// Every batch is a set of rows (a term, or a query profile) scored against columns. A row is
// prepared once on the thread that takes it, by marking what it reaches in that thread's scratch
// arrays, and each column is then scored by walking the column's own lists against the marks:
//   - Resnik (max information content) of two terms: the first rank of the column's scored list
//     that the row marked;
//   - semantic Jaccard, and Jaccard of profiles: a count of marked numbers;
//   - phenomizer of two profiles: each column term's best is the first marked rank of its list;
//     each row term's best is the first rank, in the union of the column's lists, whose mark
//     carries that term's bit (one bit per row term, in as many 64-bit words as it takes).
// Scores are computed by the same formulas, and summed in the same order, as the one-pair
// functions of profile_measures.hpp: a batch gives the same doubles, whatever the thread count.
//
// When the columns are the rows themselves, a symmetric measure is computed for one triangle
// and mirrored (a top-k list takes each pair from the one computation).
//
// Cost per row: its lists are marked and unmarked once; per cell: one walk of the column's lists,
// stopping early for the Resnik and best-match walks. Memory per thread: a byte and a word per
// rank, a word per term; a top-k run keeps k entries per query and thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/blocking_wait.hpp"
#include "core/closure_index.hpp"
#include "core/profile_measures.hpp"
#include "core/top_k_lists.hpp"

namespace ontarix {

// Profiles of one side of a batch: profile i holds terms[begin[i], begin[i + 1]), ascending and
// distinct (numbers >= index.size() are terms the index lacks, see profile_measures.hpp).
struct ProfileList {
    std::vector<std::size_t> begin{0};
    std::vector<std::uint32_t> terms;

    std::size_t size() const noexcept { return begin.size() - 1; }
    ProfileTerms operator[](std::size_t i) const noexcept {
        return {terms.data() + begin[i], begin[i + 1] - begin[i]};
    }
    void add(ProfileTerms profile) {
        terms.insert(terms.end(), profile.begin(), profile.end());
        begin.push_back(terms.size());
    }
};

enum class TermMeasure : std::uint8_t { MaxInformationContent, SemanticJaccard };
enum class ProfileMeasure : std::uint8_t { Phenomizer, Jaccard, ExpandedJaccard };

struct BatchOptions {
    unsigned threads = 1;
    Waiter* waiter = nullptr;  // the host's lock and signals; plain_waiter() when null
    // Term numbers in use by the profiles, index terms included (an upper bound of every
    // number + 1); only the Jaccard of profiles as given needs more than index.size().
    std::uint32_t term_space = 0;
};

// out[i * cols.size() + j] = measure(rows[i], cols[j]). With `symmetric`, cols must be rows.
void term_similarity_matrix(const ClosureIndex& index, std::span<const std::uint32_t> rows,
                            std::span<const std::uint32_t> cols, bool symmetric,
                            TermMeasure measure, double* out, const BatchOptions& options);

// out[i * cols.size() + j] = measure(rows[i], cols[j]). With `symmetric`, cols must be rows.
void profile_similarity_matrix(const ClosureIndex& index, const ProfileList& rows,
                               const ProfileList& cols, bool symmetric, ProfileMeasure measure,
                               double* out, const BatchOptions& options);

// For every query, its k best candidates: score descending (NaN after every number), then
// candidate name in UTF-8 byte order (then position, for equal names). With `all_vs_all`,
// candidates must be the queries and no query is its own neighbour.
NeighbourLists profile_top_k(const ClosureIndex& index, const ProfileList& queries,
                             const ProfileList& candidates, bool all_vs_all,
                             std::span<const Term> candidate_names, std::size_t k,
                             ProfileMeasure measure, const BatchOptions& options);

// One piece of profile_top_k's search, cut by the caller (a cluster): the pairs of query rows
// [rows.first, rows.second) and candidate columns [cols.first, cols.second). Offering every entry
// of every piece of a partition of the search to one TopKLists gives profile_top_k's lists. For
// all-vs-all, a partition of the pairs: a range with itself, and two disjoint ranges once each.
PartialNeighbours profile_top_k_piece(const ClosureIndex& index, const ProfileList& queries,
                                      const ProfileList& candidates, bool all_vs_all,
                                      std::pair<std::size_t, std::size_t> rows,
                                      std::pair<std::size_t, std::size_t> cols,
                                      const NeighbourOrder& order, std::size_t k,
                                      ProfileMeasure measure, const BatchOptions& options);

}  // namespace ontarix
