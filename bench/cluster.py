"""All-vs-all neighbour search on gene profiles: one ClosureIndex.top_k call against
distributed_top_k on a Dask LocalCluster.

    python bench/cluster.py [--workers 2] [-k 10] [--measure phenomizer] [--chunked]
                                [--synthetic N]

The data is GO's biological-process profiles of human genes (genes_bp.csv and closure.csv, see
data.py; a synthetic ontology where the packages cannot be fetched). The index is built with
ClosureIndex.from_file, the profiles read with the csv module. Each search runs once (they take a
minute or more on a 2-core machine); the cluster's start is not timed, shipping the index to its
workers is. Rates count distinct pairs of profiles, n(n-1)/2, for every variant, so they compare
directly: the single call, and the pieces (pairs of blocks of profiles) that the distributed
search and the local search behind ontarix-neighbours' progress bar (--chunked) are cut into,
each score a pair once.
"""

from __future__ import annotations

import argparse
import csv
import logging
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

import ontarix  # noqa: E402


def read_profiles(path: Path) -> dict[str, set[str]]:
    profiles: dict[str, set[str]] = {}
    with open(path, encoding="utf-8-sig", newline="") as f:
        for name, term, *_ in csv.reader(f):
            profiles.setdefault(name, set()).add(term)
    return profiles


def same(a: dict, b: dict) -> bool:
    def key(d: dict) -> list:
        return [(q, [(n, "nan" if math.isnan(s) else s) for n, s in row]) for q, row in d.items()]
    return key(a) == key(b)


def report(label: str, seconds: float, pairs: int, reference: float | None = None) -> None:
    line = f"{label:<44} {seconds:8.1f} s  {pairs / seconds / 1e6:7.2f} M pairs/s"
    if reference is not None:
        line += f"  {reference / seconds:5.2f}x the single call's rate"
    print(line, flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--measure", default="phenomizer",
                    choices=("phenomizer", "jaccard", "expanded_jaccard"))
    ap.add_argument("--chunked", action="store_true",
                    help="also time the local search in pieces behind the progress bar")
    ap.add_argument("--synthetic", type=int, metavar="N", help="a synthetic ontology of N terms")
    args = ap.parse_args()

    from distributed import Client, LocalCluster

    from ontarix_tools import distributed_top_k

    ds = data.synthetic(args.synthetic) if args.synthetic else data.load_go()
    if ds is None:
        print("GO data could not be fetched; using a synthetic ontology of 20,000 terms")
        ds = data.synthetic(20_000)
    started = time.perf_counter()
    index = ontarix.ClosureIndex.from_file(ds.closure_file)
    profiles = read_profiles(ds.input_file)
    n = len(profiles)
    pairs = n * (n - 1) // 2
    print(f"{ds.name}: {len(index)} terms, {n} profiles, {pairs:,} pairs; index and profiles "
          f"read in {time.perf_counter() - started:.2f} s; measure {args.measure}, k={args.k}")

    started = time.perf_counter()
    expected = index.top_k(profiles, k=args.k, measure=args.measure)
    single = time.perf_counter() - started
    report("one top_k call (threads: every CPU)", single, pairs)

    if args.chunked:
        from ontarix_tools._blocks import top_k_in_pieces

        started = time.perf_counter()
        chunked = top_k_in_pieces(index, profiles, args.k, args.measure, None, lambda _: None)
        report("top_k in pieces (behind the progress bar)", time.perf_counter() - started,
               pairs, single)
        assert same(chunked, expected), "the search in pieces differs from the single call"

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.wait_for_workers(args.workers)
        started = time.perf_counter()
        got = distributed_top_k(client, index, profiles, k=args.k, measure=args.measure)
        report(f"distributed_top_k, LocalCluster({args.workers} x 1 thread)",
               time.perf_counter() - started, pairs, single)
    assert same(got, expected), "the distributed answer differs from the single call"
    print("both answers equal the single call's")
    return 0


if __name__ == "__main__":
    sys.exit(main())
