// What a candidate profile scores against each term of a pool: the tables from which the score of
// a random query of pool terms is read rather than computed query by query.
//
// For a candidate profile c and a pool term t, v_c(t) = max over d in c of s(t, d), the best term
// score of t in c (a NaN term score counting as 0.0, as the combines count it; 0.0 for every t
// when c is empty). The directed score of a query Q against c is the mean of v_c over Q's terms,
// so v_c over the pool is the single draw of exact p-values (score_distribution.hpp), and the
// row maxima of any random query. The column maxima of other combines need the term scores
// themselves, s(t, d) for the pool terms and every term of c (only those with v_c(t) > 0 can
// raise a column maximum).
//
// How. resnik: c's terms' scored lists are marked once (by rank); v_c(t) is the IC of the first
// marked rank of t's scored list (ranks run by IC descending), a walk that stops at t's most
// informative ancestor in c's reach. Every other measure: the kernel of the term measure with the
// 'max' combine (profile_kernels.hpp), c as the row profile and each pool term a one-term column
// profile: c is marked once, and each pool term walks its own lists against the marks; a pool
// term that shares no key (scored rank, expansion term, Wang ancestor) with c's terms scores 0.0
// with all of them and is answered without the kernel (not for jiang_conrath, which scores
// terms that share nothing). Term scores:
// the term kernel (term_kernels.hpp), each term of c a row. Every value is the double term_score
// gives for its pair (and v_c the largest of them): the kernels and the formulas are the batches'.
//
// Cost per candidate: one walk per pool term (resnik: down to its first shared rank; the others:
// its whole list, and a formula per term of c); term scores, one walk per pool term and term of c.
// Memory per thread: marks per rank, or per index term for wang and semantic_jaccard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/closure_index.hpp"
#include "core/profile_measures.hpp"
#include "core/term_measures.hpp"

namespace ontarix {

class PoolScores {
public:
    // Per-thread working memory.
    class Scratch {
    public:
        virtual ~Scratch() = default;
    };

    // `profiles` and `pool` (term numbers, distinct) must outlive the object; Wang's measure
    // needs the index's table in `wang`.
    PoolScores(const ClosureIndex& index, const WangTable* wang, TermMeasure measure,
               const ProfileList& profiles, std::span<const std::uint32_t> pool);
    ~PoolScores();
    PoolScores(const PoolScores&) = delete;
    PoolScores& operator=(const PoolScores&) = delete;

    std::size_t pool_size() const noexcept { return pool_.size(); }

    std::unique_ptr<Scratch> scratch() const;

    // out[i] = v_c(pool[i]) for profile c of the list; out holds pool_size() values.
    void best(Scratch& scratch, std::size_t profile, std::span<double> out) const;

    // out[j * c.size() + k] = s(terms[j], d_k) as combines count it, d_k the k-th term of
    // profile c, for any terms (pool terms, say); out holds terms.size() * c.size() values.
    void term_scores(std::size_t profile, std::span<const std::uint32_t> terms,
                     std::span<double> out) const;

    class Impl;

private:
    const ClosureIndex& index_;
    const WangTable* wang_;
    TermMeasure measure_;
    const ProfileList& profiles_;
    std::span<const std::uint32_t> pool_;
    ProfileList columns_;  // each pool term a profile of its own, for the kernels that need one
    std::unique_ptr<const Impl> impl_;
};

}  // namespace ontarix
