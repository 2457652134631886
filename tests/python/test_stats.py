"""Benjamini-Hochberg q-values against scipy's."""

import numpy as np
import pytest

from ontarix_tools import benjamini_hochberg

scipy_stats = pytest.importorskip("scipy.stats")


def _pvalues():
    rng = np.random.default_rng(3)
    mixed = np.concatenate([rng.uniform(0, 1, 400), rng.uniform(0, 1e-3, 100)])
    rng.shuffle(mixed)
    return [
        ("random, a tenth of them small", mixed),
        ("ties and the bounds", np.array([0.04, 0.01, 0.04, 0.0, 1.0, 0.01, 0.5, 0.04])),
        ("one", np.array([0.3])),
        ("all one", np.ones(5)),
    ]


@pytest.mark.parametrize("case, p", _pvalues(), ids=[c for c, _ in _pvalues()])
def test_equals_scipy(case, p):
    q = benjamini_hochberg(p)
    assert q.dtype == np.float64 and q.shape == p.shape
    np.testing.assert_array_equal(q, scipy_stats.false_discovery_control(p, method="bh"))
    # A list is taken as the array it makes.
    np.testing.assert_array_equal(benjamini_hochberg(list(p)), q)


def test_nan_is_left_out_and_stays_nan():
    p = np.array([0.01, np.nan, 0.04, 0.03, np.nan, 0.5])
    q = benjamini_hochberg(p)
    present = ~np.isnan(p)
    assert np.isnan(q[~present]).all()
    np.testing.assert_array_equal(q[present], scipy_stats.false_discovery_control(p[present], method="bh"))
    assert np.isnan(benjamini_hochberg([np.nan, np.nan])).all()
    assert benjamini_hochberg([]).shape == (0,)


@pytest.mark.parametrize(
    "pvalues, message",
    [
        ([[0.1, 0.2]], r"pvalues must be one-dimensional, not of shape \(1, 2\)"),
        (0.5, r"pvalues must be one-dimensional, not of shape \(\)"),
        ([0.1, 1.5], "pvalues must lie between 0 and 1"),
        ([-0.0001, 0.5], "pvalues must lie between 0 and 1"),
        ([np.inf, 0.5], "pvalues must lie between 0 and 1"),
    ],
)
def test_bad_pvalues(pvalues, message):
    with pytest.raises(ValueError, match=message):
        benjamini_hochberg(pvalues)
