// The Python class ontarix.NullDistributions: the null distributions of exact p-values for named
// candidate profiles and one query size (ClosureIndex.null_distributions), kept to answer query
// after query of that size without computing them again.
//
// An instance holds its index, its candidates (a PreparedProfiles), the term measure and the
// core's table (score_distribution.hpp). It is immutable, so any number of threads may ask it for
// p-values at once; it pickles with its index and candidates, the table in the core's checked
// stored form (score_distribution_state.hpp).
#pragma once

#include <Python.h>

#include "core/score_distribution.hpp"
#include "core/term_measures.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Borrowed reference to the class, created on first call.
PyTypeObject* null_distributions_type();

// A new instance over `table`, built for `candidates` (a PreparedProfiles) and `measure` by the
// ClosureIndex `index_object`.
PyRef make_null_distributions(PyObject* index_object, PyObject* candidates, TermMeasure measure,
                              ScoreDistributionTable table);

// What the doc strings say of the grid's guarantee (kept in one place).
#define ONTARIX_EXACT_PVALUE_GUARANTEE \
    "Exact p-values are computed on a grid. Per candidate, v(t) = the best term score of\n"       \
    "pool term t in the candidate; the directed score of a random query of q terms is the\n"      \
    "mean of q independent draws of v. The values are rounded down to whole multiples of a\n"     \
    "step h that is vmax / 1024 to within a relative 2^-30 (vmax the largest v over the\n"        \
    "pool; grid_steps of NullDistributions gives each h). For an observed score m, with\n"        \
    "delta = (q + 3) 2^-52, the reported p satisfies\n"                                           \
    "    P(mean >= m) <= p <= (1 + 2^-19) P(mean > m - 2h - delta m) + 2^-1022:\n"                \
    "it is never below the exact p-value, and above it by at most the probability of the\n"       \
    "scores less than two grid steps below m, and by rounding. p is 0 only where no query of\n"   \
    "that size reaches m, 1 for m <= 0; 2^-1022 is the least p-value reported for a\n"            \
    "reachable score."

}  // namespace ontarix::py
