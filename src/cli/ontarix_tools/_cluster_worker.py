"""What distributed_top_k runs on Dask workers. Imported only where dask.distributed is installed.

The index and the prepared profiles travel as a worker plugin rather than as scattered data. The
scheduler keeps a registered plugin and installs it on every worker before that worker takes a
task, including a worker started later to replace one that died; scattered data, in contrast, is
gone once the last worker holding it dies, and every task needing it then fails. So each worker
receives the inputs once, whatever happens to its peers, and a task carries only the ranges of its
piece.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, cast

from distributed import WorkerPlugin, get_worker

from ontarix_tools._blocks import Combine, Measure, Piece, top_k_piece

if TYPE_CHECKING:
    import ontarix


class SharedInputs(WorkerPlugin):
    """The inputs of one distributed_top_k call, unpickled once on each worker. The profiles are
    prepared for the index, and pickle with it, so no worker converts a set."""

    def __init__(self, index: ontarix.ClosureIndex, queries: ontarix.PreparedProfiles,
                 candidates: ontarix.PreparedProfiles | None) -> None:
        self.index = index
        self.queries = queries
        self.candidates = candidates


def piece_task(plugin_name: str, piece: Piece, k: int, measure: Measure, combine: Combine | None,
               threads: int | None) -> bytes:
    """One piece of the search (see _blocks), from the inputs installed on this worker."""
    shared = cast(SharedInputs, get_worker().plugins[plugin_name])
    return top_k_piece(shared.index, shared.queries, shared.candidates, piece, k, measure, combine,
                       threads)
