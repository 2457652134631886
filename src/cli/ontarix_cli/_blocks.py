"""One ClosureIndex.top_k answer computed in blocks of queries, equal to the single call.

With candidates given, the rows of a block are exactly those of the single call: each query's row
depends on that query and the candidates only. Comparing the queries with each other (candidates
None) is the case that needs care: a block's queries must still meet every other query, so the
block is compared with the whole query mapping, asking for one neighbour more, and each query's
own name is then dropped. The row of the single call is the k best of the others, ordered by
(score descending, NaN last, name in UTF-8 byte order) -- a total order over distinct names --
so the k best of the others are the k+1 best of all, less the query itself if it is among them,
cut to k. The scores are those of the single call bit for bit, since every measure is symmetric
and computed the same way whichever block a pair falls in.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence, Set
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    import ontarix

Profiles = Mapping[str, Set[str]]
Measure = Literal["phenomizer", "jaccard", "expanded_jaccard"]
Neighbours = dict[str, list[tuple[str, float]]]


def top_k_of_block(index: ontarix.ClosureIndex, queries: Profiles, names: Sequence[str],
                   candidates: Profiles | None, k: int, measure: Measure,
                   threads: int | None) -> Neighbours:
    """The rows of index.top_k(queries, candidates, k=k, ...) for the queries named `names`."""
    block = {name: queries[name] for name in names}
    if candidates is not None:
        return index.top_k(block, candidates, k=k, measure=measure, threads=threads)
    # min() keeps k + 1 representable for the native call whatever k the caller passed.
    wanted = min(k, max(len(queries) - 1, 0)) + 1
    found = index.top_k(block, queries, k=wanted, measure=measure, threads=threads)
    for name, row in found.items():
        found[name] = [pair for pair in row if pair[0] != name][:k]
    return found


def check_arguments(index: ontarix.ClosureIndex, queries: Profiles, candidates: Profiles | None,
                    k: int, measure: Measure, threads: int | None) -> None:
    """Raises what index.top_k would raise for these arguments, at the cost of converting them
    once and comparing nothing, so that a mistake surfaces before any work is shipped or split."""
    index.top_k(queries, {}, k=k, measure=measure, threads=threads)
    if candidates is not None:
        index.top_k({}, candidates, k=k, measure=measure, threads=threads)


def top_k_in_chunks(index: ontarix.ClosureIndex, queries: Profiles, candidates: Profiles | None,
                    k: int, measure: Measure, threads: int | None,
                    on_chunk: Callable[[int], object], seconds_per_chunk: float = 2.0) -> Neighbours:
    """index.top_k(queries, candidates, ...) in chunks of queries sized to take about
    `seconds_per_chunk` each, calling on_chunk(number of queries done) after each.

    Every call converts the candidates anew (about 0.1 s for 19,000 GO profiles), so chunks are
    sized by time rather than by count: a first small chunk measures the rate."""
    names = list(queries)
    result: Neighbours = {}
    size = 16
    done = 0
    while done < len(names):
        chunk = names[done:done + size]
        started = time.perf_counter()
        result.update(top_k_of_block(index, queries, chunk, candidates, k, measure, threads))
        elapsed = time.perf_counter() - started
        done += len(chunk)
        on_chunk(len(chunk))
        # Grow at most eightfold a step: the first chunks' time is dominated by the conversion.
        rate = len(chunk) / max(elapsed, 1e-3)
        size = max(1, min(int(rate * seconds_per_chunk), 8 * len(chunk)))
    return result
