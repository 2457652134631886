"""One ClosureIndex.top_k answer computed in blocks, equal to the single call.

Comparing the queries with each other (candidates None) is done in blocks of pairs: the queries
are cut into consecutive blocks, and every pair of blocks (a block with itself included) is one
piece of work, so each pair of queries is scored once, as the single call scores it. A block with
itself is a top_k call of its own. Two different blocks are one similarity_matrix call, whose
matrix gives both sides' best: each row's k best columns and each column's k best rows. The
pieces' lists are merged per query by the single call's order -- score descending, NaN after
every number, then name in UTF-8 byte order, then position -- and cut to k: every pair sits in
exactly one piece, each piece keeps the k best it saw of each query's pairs, so the merge keeps
the k best of all. The scores are the single call's bit for bit, since every measure is
symmetric and computed the same way in either kind of piece.

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

import math
import time
from collections.abc import Callable, Iterable, Mapping, Sequence, Set
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import ontarix

Profiles = Mapping[str, Set[str]]
Measure = Literal["phenomizer", "jaccard", "expanded_jaccard"]
Neighbours = dict[str, list[tuple[str, float]]]
# What a piece of an all-vs-all search found: per query (by position), its best candidates (by
# position) with their scores.
Found = list[tuple[int, list[tuple[int, float]]]]

# A piece of work of two different blocks holds their matrix: about this many float64 cells (32
# MB), and about a second and a half of phenomizer scores on one core for GO gene profiles.
CELLS_PER_PIECE = 4_000_000


def name_ranks(names: Sequence[str]) -> list[int]:
    """Each name's place in the order that top_k breaks ties by: UTF-8 bytes, then position."""
    order = sorted(range(len(names)), key=lambda i: names[i].encode("utf-8"))
    ranks = [0] * len(names)
    for rank, i in enumerate(order):
        ranks[i] = rank
    return ranks


def triangle_block_size(n: int, pieces_wanted: int) -> int:
    """Queries per block: pieces of at most CELLS_PER_PIECE cells, and at least pieces_wanted
    pieces when there are that many queries."""
    size = max(1, min(n, math.isqrt(CELLS_PER_PIECE)))
    while size > 1 and len(triangle_pieces(n, size)) < pieces_wanted:
        size = (size + 1) // 2
    return size


def triangle_pieces(n: int, size: int) -> list[tuple[int, int, int, int]]:
    """(a0, a1, b0, b1): every pair of blocks a <= b of `size` consecutive queries out of n."""
    bounds = [(start, min(start + size, n)) for start in range(0, n, size)]
    return [(*a, *b) for i, a in enumerate(bounds) for b in bounds[i:]]


def piece_pairs(a0: int, a1: int, b0: int, b1: int) -> int:
    """The pairs of queries a piece scores."""
    if a0 == b0:
        return (a1 - a0) * (a1 - a0 - 1) // 2
    return (a1 - a0) * (b1 - b0)


def best_of_piece(index: ontarix.ClosureIndex, names: Sequence[str], sets: Sequence[Set[str]],
                  ranks: Sequence[int], piece: tuple[int, int, int, int], k: int,
                  measure: Measure, threads: int | None) -> Found:
    """The k best of each query's pairs within one piece (see the module's doc)."""
    a0, a1, b0, b1 = piece
    if a0 == b0:
        block = {names[i]: sets[i] for i in range(a0, a1)}
        position = {names[i]: i for i in range(a0, a1)}
        rows = index.top_k(block, k=k, measure=measure, threads=threads)
        return [(position[q], [(position[n], s) for n, s in row]) for q, row in rows.items()]
    import numpy as np

    matrix = index.similarity_matrix(sets[a0:a1], sets[b0:b1], measure=measure, threads=threads)
    return (_best_columns(np, matrix, a0, b0, ranks, k)
            + _best_columns(np, matrix.T, b0, a0, ranks, k))


def _best_columns(np: Any, matrix: Any, row0: int, col0: int, ranks: Sequence[int],
                  k: int) -> Found:
    """For each row of the matrix, its k best columns in the single call's order."""
    rows, cols = matrix.shape
    keep = min(k, cols)
    if keep == 0:
        return [(row0 + r, []) for r in range(rows)]
    # NaN after every number: no score of these measures is -inf.
    key = np.where(np.isnan(matrix), -np.inf, matrix)
    threshold = np.partition(key, cols - keep, axis=1)[:, cols - keep]
    col_ranks = np.asarray(ranks[col0:col0 + cols])
    found: Found = []
    for r in range(rows):
        # Every column at least as good as the k-th best, in order, then the first k.
        candidates = np.flatnonzero(key[r] >= threshold[r])
        best = candidates[np.lexsort((col_ranks[candidates], -key[r, candidates]))][:keep]
        found.append((row0 + r, [(col0 + int(c), float(matrix[r, c])) for c in best]))
    return found


class BestLists:
    """Merges pieces' lists per query, keeping the k best of each in the single call's order."""

    def __init__(self, names: Sequence[str], ranks: Sequence[int], k: int) -> None:
        self.names, self.ranks, self.k = names, ranks, k
        self.rows: list[list[tuple[int, float]]] = [[] for _ in names]

    def _order(self, entry: tuple[int, float]) -> tuple[bool, float, int]:
        candidate, score = entry
        unordered = score != score  # NaN
        return (unordered, 0.0 if unordered else -score, self.ranks[candidate])

    def add(self, found: Iterable[tuple[int, list[tuple[int, float]]]]) -> None:
        for query, best in found:
            row = self.rows[query]
            row.extend(best)
            if len(row) > 2 * self.k:  # trimmed now and then: memory stays about 2k per query
                row.sort(key=self._order)
                del row[self.k:]

    def result(self) -> Neighbours:
        out: Neighbours = {}
        for name, row in zip(self.names, self.rows):
            row.sort(key=self._order)
            out[name] = [(self.names[c], s) for c, s in row[:self.k]]
        return out


def top_k_in_pieces(index: ontarix.ClosureIndex, queries: Profiles, k: int, measure: Measure,
                    threads: int | None, on_pairs: Callable[[int], object],
                    block_size: int | None = None) -> Neighbours:
    """index.top_k(queries, k=k, ...) -- every query against the others -- piece by piece,
    calling on_pairs(pairs scored) after each piece."""
    names = list(queries)
    sets = list(queries.values())
    ranks = name_ranks(names)
    lists = BestLists(names, ranks, k)
    size = block_size or triangle_block_size(len(names), 1)
    for piece in triangle_pieces(len(names), size):
        lists.add(best_of_piece(index, names, sets, ranks, piece, k, measure, threads))
        on_pairs(piece_pairs(*piece))
    return lists.result()


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
