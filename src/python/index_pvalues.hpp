// The p-value methods of ontarix.ClosureIndex (pvalues, null_distributions), and what the class
// NullDistributions shares with them.
//
// A p-value of candidate c is the probability that a random query of the observed query's size
// (its terms drawn independently and uniformly, with replacement, from a pool) scores at least as
// high against c as the observed query does. The core computes them (null_distributions.hpp for
// the exact method, sampled_pvalues.hpp for Monte Carlo); here arguments are converted, with the
// measure's names and the options checked before any profile is, and the work runs without the
// interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/closure_index.hpp"
#include "core/profile_cache.hpp"
#include "core/profile_measures.hpp"
#include "core/score_distribution.hpp"
#include "python/call_boundary.hpp"
#include "python/index_input.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Interns the methods' parameter names; false with a Python error set on failure.
bool intern_pvalue_parameters() noexcept;

// The methods, for the class's method table (no sentinel).
std::span<const PyMethodDef> pvalue_methods() noexcept;

// A query argument: a set of str holding at least one term (ValueError otherwise).
std::vector<std::uint32_t> query_argument(const FunctionSpec& f, PyObject* obj,
                                          ProfileNumbering& numbering, const ClosureIndex& index,
                                          bool require_subjects = false);

// The scores of `query` against every candidate under `scoring`: a row of similarity_matrix,
// computed on `threads` threads without the interpreter lock.
std::vector<double> observed_scores(const ClosureIndex& index, ProfileTerms query,
                                    const ProfileList& candidates, const ProfileScoring& scoring,
                                    const ProfileCache* cache, std::uint32_t term_space,
                                    unsigned threads);

// out[c] = the exact p-value of candidate c's observed score, for every candidate.
void exact_pvalues(const ScoreDistributionTable& table, std::span<const double> observed,
                   double* out) noexcept;

}  // namespace ontarix::py
