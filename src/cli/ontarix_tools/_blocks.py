"""One ClosureIndex.top_k answer computed in pieces, equal to the single call.

A search is cut into pieces of its pairs: query rows against candidate columns, both ranges of
positions in the mappings' order. With candidates given, a piece is a block of consecutive queries
against every candidate. Comparing the queries with each other (candidates None), the queries are
cut into consecutive blocks and every pair of blocks (a block with itself included) is one piece:
a block with itself scores each of its pairs once, two different blocks score each of their pairs
once for both queries, so every pair of queries is scored exactly once, as the single call scores
it.

Each piece is computed natively (ClosureIndex._top_k_piece, by the same kernels as top_k) and
returns its queries' best as compact bytes; ClosureIndex._merge_top_k merges the pieces natively
under top_k's own order -- score descending, NaN after every number, then name in UTF-8 byte order,
then position -- which is total, so the merged lists are the single call's, bit for bit, however
the search was cut. The profiles are prepared once (ClosureIndex.prepare), not converted per piece.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Set
from typing import TYPE_CHECKING, Literal, Union

if TYPE_CHECKING:
    import ontarix

Profiles = Union[Mapping[str, Set[str]], "ontarix.PreparedProfiles"]
Measure = Literal["phenomizer", "jaccard", "expanded_jaccard", "simgic", "resnik",
                  "max_information_content", "lin", "jiang_conrath", "relevance",
                  "information_coefficient", "graph_ic", "semantic_jaccard", "wang"]
Combine = Literal["funsimavg", "funsimmax", "bma", "max", "avg", "directed"]
Neighbours = dict[str, list[tuple[str, float]]]
# (r0, r1, c0, c1): query rows r0..r1-1 against candidate columns c0..c1-1.
Piece = tuple[int, int, int, int]

# A piece of two different blocks scores about this many pairs: about a second and a half of
# phenomizer scores on one core for GO gene profiles.
CELLS_PER_PIECE = 4_000_000


def triangle_block_size(n: int, pieces_wanted: int) -> int:
    """Queries per block: pieces of at most CELLS_PER_PIECE pairs, and at least pieces_wanted
    pieces when there are that many queries."""
    size = max(1, min(n, math.isqrt(CELLS_PER_PIECE)))
    while size > 1 and len(triangle_pieces(n, size)) < pieces_wanted:
        size = (size + 1) // 2
    return size


def is_symmetric(combine: Combine | None) -> bool:
    """Whether a pair scores the same for both of its queries: for every measure and combine but
    "directed", which scores how well one side explains the other."""
    return combine != "directed"


def triangle_pieces(n: int, size: int, symmetric: bool = True) -> list[Piece]:
    """Every pair of blocks a <= b of `size` consecutive queries out of n; for a measure that is
    not symmetric also b > a, since a piece of two blocks then scores one direction only."""
    bounds = [(start, min(start + size, n)) for start in range(0, n, size)]
    pieces = [(*a, *b) for i, a in enumerate(bounds) for b in bounds[i:]]
    if not symmetric:
        pieces += [(*b, *a) for i, a in enumerate(bounds) for b in bounds[i + 1:]]
    return pieces


def row_pieces(n: int, candidates: int, size: int) -> list[Piece]:
    """Blocks of `size` consecutive queries, each against every candidate."""
    return [(start, min(start + size, n), 0, candidates) for start in range(0, n, size)]


def piece_pairs(piece: Piece, all_vs_all: bool, symmetric: bool = True) -> int:
    """The pairs of profiles a piece scores (ordered pairs for a measure that is not symmetric)."""
    r0, r1, c0, c1 = piece
    if all_vs_all and r0 == c0:
        pairs = (r1 - r0) * (r1 - r0 - 1)
        return pairs // 2 if symmetric else pairs
    return (r1 - r0) * (c1 - c0)


def top_k_in_pieces(index: ontarix.ClosureIndex, queries: Mapping[str, Set[str]], k: int,
                    measure: Measure, threads: int | None, on_pairs: Callable[[int], object],
                    block_size: int | None = None, combine: Combine | None = None) -> Neighbours:
    """index.top_k(queries, k=k, ...) -- every query against the others -- piece by piece,
    calling on_pairs(pairs scored) after each piece."""
    names = list(queries)
    prepared = index.prepare(queries)
    size = block_size or triangle_block_size(len(names), 1)
    found = []
    symmetric = is_symmetric(combine)
    for piece in triangle_pieces(len(names), size, symmetric):
        found.append(top_k_piece(index, prepared, None, piece, k, measure, combine, threads))
        on_pairs(piece_pairs(piece, True, symmetric))
    return type(index)._merge_top_k(names, None, found, k)


def top_k_piece(index: ontarix.ClosureIndex, queries: ontarix.PreparedProfiles,
                candidates: ontarix.PreparedProfiles | None, piece: Piece, k: int,
                measure: Measure, combine: Combine | None, threads: int | None) -> bytes:
    """One piece's best lists, by index._top_k_piece with top_k's measure and combine."""
    scored: bytes = index._top_k_piece(queries, candidates, piece, k=k, measure=measure,
                                       combine=combine, threads=threads)
    return scored


def check_arguments(index: ontarix.ClosureIndex, queries: Mapping[str, Set[str]],
                    candidates: Mapping[str, Set[str]] | None, k: int, measure: Measure,
                    threads: int | None, combine: Combine | None = None) -> None:
    """Raises what index.top_k would raise for these arguments, at the cost of converting them
    once and comparing nothing, so that a mistake surfaces before any work is shipped or split."""
    index.top_k(queries, {}, k=k, measure=measure, combine=combine, threads=threads)
    if candidates is not None:
        index.top_k({}, candidates, k=k, measure=measure, combine=combine, threads=threads)
