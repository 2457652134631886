"""Statistics of ranked lists: q-values from the p-values of many candidates.

numpy is imported when a function is called, not when this module is, so that the command lines
start without it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["benjamini_hochberg"]


def benjamini_hochberg(pvalues: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Benjamini-Hochberg q-values of a one-dimensional array of p-values, in the same order.

    The q-value of a p-value is the smallest false discovery rate at which it would be called
    significant: with the m p-values sorted ascending, q_(i) = min over j >= i of p_(j) * m / j,
    capped at 1. Keeping the candidates whose q-value is at most alpha keeps the false discovery
    rate at or below alpha for independent (or positively dependent) tests. The values are those
    of scipy.stats.false_discovery_control(pvalues, method="bh").

    NaN marks a candidate without a p-value: its q-value is NaN and it is left out of the others'
    correction (m counts the p-values that are not NaN), as R's p.adjust does. An array of NaN
    only, or an empty one, gives NaN only, or an empty array.

    Raises ValueError for an array that is not one-dimensional or holds a value outside [0, 1]
    (infinities included), and what numpy.asarray raises for values that are not numbers.
    """
    import numpy as np

    p = np.asarray(pvalues, dtype=np.float64)
    if p.ndim != 1:
        raise ValueError(f"pvalues must be one-dimensional, not of shape {p.shape}")
    present = ~np.isnan(p)
    values = p[present]
    if values.size and not (values.min() >= 0.0 and values.max() <= 1.0):
        raise ValueError("pvalues must lie between 0 and 1")
    q = np.full(p.shape, np.nan)
    m = values.size
    if m:
        order = np.argsort(values, kind="stable")
        ranked = values[order] * (m / np.arange(1, m + 1, dtype=np.float64))
        np.minimum.accumulate(ranked[::-1], out=ranked[::-1])
        adjusted = np.empty(m)
        adjusted[order] = np.minimum(ranked, 1.0)
        q[present] = adjusted
    return q
