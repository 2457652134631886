"""ClosureIndex.top_k on a Dask cluster: pieces of the work as tasks, the inputs shipped once per
worker, the pieces' lists merged natively into the single call's answer (see _blocks).

Dask is an optional dependency (`pip install 'ontarix[dask]'`): nothing here imports it before
distributed_top_k is called, so the command lines and `import ontarix_tools` work without it.
"""

from __future__ import annotations

import contextlib
import math
import operator
import uuid
from collections.abc import Callable, Mapping, Set
from typing import TYPE_CHECKING, Any

from ontarix_tools._blocks import (Combine, Measure, Neighbours, check_arguments, is_symmetric,
                                   piece_pairs, row_pieces, triangle_block_size, triangle_pieces)

if TYPE_CHECKING:
    from distributed import Client

    import ontarix

# A block's work, in pairs of profiles: about 8 s of phenomizer scores on one core for GO gene
# profiles (a second or less for the Jaccard measures), short enough that a worker lost mid-block
# costs little to redo.
PAIRS_PER_BLOCK = 20_000_000
# Blocks per worker thread at least, so that threads that finish early take over others' work.
BLOCKS_PER_THREAD = 4

MISSING_EXTRA = ("distributed_top_k requires the optional dependency dask: "
                 "pip install 'ontarix[dask]'")


def distributed_top_k(
    client: Client,
    index: ontarix.ClosureIndex,
    queries: Mapping[str, Set[str]],
    candidates: Mapping[str, Set[str]] | None = None,
    *,
    k: int = 10,
    measure: Measure = "phenomizer",
    combine: Combine | None = None,
    threads: int | None = 1,
    block_size: int | None = None,
) -> Neighbours:
    """index.top_k(queries, candidates, k=k, measure=measure, combine=combine), computed on a Dask
    cluster.

    client is a (synchronous) dask.distributed.Client: of a LocalCluster, or connected to a
    scheduler's address. The work is cut into tasks (pairs of blocks of queries, or blocks of
    queries against the candidates) that run on the workers; the index and the profiles are
    sent once to each worker, as a worker plugin that the scheduler also installs on workers
    joining later, and removed when the call returns. A task
    lost with its worker is run again elsewhere by Dask, so the answer is complete as long as the
    scheduler survives.

    The result equals the single call's: the same queries in the same order, the same neighbours,
    scores and ties. candidates=None compares the queries with each other, a query never being
    its own neighbour; then the tasks are pairs of blocks, so that each pair of queries is scored
    once, as the single call scores it, and the blocks' best are merged.

    threads: the threads each task's top_k uses. 1 suits Dask's usual worker, which runs one task
    per thread; for workers with one thread each and several cores, give the cores per worker
    (None: every CPU the worker's process may use).
    block_size: queries per block; None sizes blocks from the number of pairs and of worker
    threads.

    Raises ImportError naming the extra to install when dask.distributed is missing, and what
    index.top_k raises for bad arguments, before anything is sent.
    """
    return run_blocks(client, index, queries, candidates, k=k, measure=measure, combine=combine,
                      threads=threads, block_size=block_size)


def run_blocks(
    client: Any,  # a Client; Any, since older Dask releases type its methods less
    index: ontarix.ClosureIndex,
    queries: Mapping[str, Set[str]],
    candidates: Mapping[str, Set[str]] | None,
    *,
    k: int,
    measure: Measure,
    threads: int | None,
    block_size: int | None,
    on_block: Callable[[int], object] | None = None,
    combine: Combine | None = None,
) -> Neighbours:
    """distributed_top_k, calling on_block(pairs of profiles scored) as each task's rows arrive."""
    try:
        from distributed import as_completed
    except ImportError as exc:
        raise ImportError(MISSING_EXTRA, name="distributed") from exc
    from ontarix_tools._cluster_worker import SharedInputs, piece_task

    queries = dict(queries)
    candidates = None if candidates is None else dict(candidates)
    check_arguments(index, queries, candidates, k, measure, threads, combine)
    if block_size is not None:
        block_size = operator.index(block_size)
        if block_size < 1:
            raise ValueError(f"block_size must be at least 1, not {block_size}")
    if not queries:
        return {}

    n = len(queries)
    all_vs_all = candidates is None
    workers = sum(client.nthreads().values())
    if candidates is None:
        size = block_size or triangle_block_size(n, BLOCKS_PER_THREAD * max(workers, 1))
        pieces = triangle_pieces(n, size, is_symmetric(combine))
    else:
        size = block_size or choose_block_size(n, len(candidates), workers)
        pieces = row_pieces(n, len(candidates), size)
    name = f"ontarix-top-k-{uuid.uuid4().hex}"
    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    futures: list[Any] = []
    try:
        inputs = SharedInputs(index, index.prepare(queries),
                              None if candidates is None else index.prepare(candidates))
        register(inputs, name=name)
        futures = [
            client.submit(piece_task, name, piece, k, measure, combine, threads,
                          key=f"{name}-{i}", pure=False)
            for i, piece in enumerate(pieces)
        ]
        pairs = {future.key: piece_pairs(piece, all_vs_all, is_symmetric(combine))
                 for future, piece in zip(futures, pieces)}
        found = []
        for future, piece in as_completed(futures, with_results=True):  # type: ignore[no-untyped-call]
            found.append(piece)
            if on_block is not None:
                on_block(pairs[future.key])
        result: Neighbours = type(index)._merge_top_k(
            list(queries), None if candidates is None else list(candidates), found, k)
    except BaseException:
        client.cancel(futures)
        with contextlib.suppress(Exception):  # the first error is the one to report
            client.unregister_worker_plugin(name)
        raise
    client.unregister_worker_plugin(name)
    return result


def choose_block_size(n_queries: int, n_candidates: int, worker_threads: int) -> int:
    """Queries per block: blocks of about PAIRS_PER_BLOCK pairs, and at least BLOCKS_PER_THREAD
    blocks per worker thread."""
    blocks = max(BLOCKS_PER_THREAD * max(worker_threads, 1),
                 math.ceil(n_queries * n_candidates / PAIRS_PER_BLOCK))
    return max(1, math.ceil(n_queries / blocks))
