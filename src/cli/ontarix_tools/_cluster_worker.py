"""What distributed_top_k runs on Dask workers. Imported only where dask.distributed is installed.

The index and the profiles travel as a worker plugin rather than as scattered data. The scheduler
keeps a registered plugin and installs it on every worker before that worker takes a task,
including a worker started later to replace one that died; scattered data, in contrast, is gone
once the last worker holding it dies, and every task needing it then fails. So each worker
receives the inputs once, whatever happens to its peers, and a task carries only the bounds of its
block of queries.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, cast

from distributed import WorkerPlugin, get_worker

from ontarix_tools._blocks import (Found, Measure, Neighbours, Profiles, best_of_piece, name_ranks,
                                   top_k_of_block)

if TYPE_CHECKING:
    import ontarix


class SharedInputs(WorkerPlugin):
    """The inputs of one distributed_top_k call, unpickled once on each worker."""

    def __init__(self, index: ontarix.ClosureIndex, queries: Profiles,
                 candidates: Profiles | None) -> None:
        self.index = index
        self.queries = queries
        self.candidates = candidates
        self.names = list(queries)  # blocks are slices of it
        self.sets = list(queries.values())
        self._ranks: list[int] | None = None

    @property
    def ranks(self) -> list[int]:
        # Only the all-vs-all pieces need them; made on a worker's first such piece.
        if self._ranks is None:
            self._ranks = name_ranks(self.names)
        return self._ranks

    def __reduce__(self) -> tuple[Any, ...]:
        # The names are derived again on each worker; shipping them would only add to the queries.
        return SharedInputs, (self.index, self.queries, self.candidates)


def top_k_task(plugin_name: str, start: int, stop: int, k: int, measure: Measure,
               threads: int | None) -> Neighbours:
    """The top_k rows of the queries start..stop-1, from the inputs installed on this worker."""
    shared = cast(SharedInputs, get_worker().plugins[plugin_name])
    return top_k_of_block(shared.index, shared.queries, shared.names[start:stop],
                          shared.candidates, k, measure, threads)


def piece_task(plugin_name: str, piece: tuple[int, int, int, int], k: int, measure: Measure,
               threads: int | None) -> Found:
    """The best of each query's pairs within one piece of an all-vs-all search."""
    shared = cast(SharedInputs, get_worker().plugins[plugin_name])
    return best_of_piece(shared.index, shared.names, shared.sets, shared.ranks, piece, k,
                         measure, threads)
