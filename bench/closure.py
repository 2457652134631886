"""closure_from_relationships on the Gene Ontology: exactness, speed and memory.

    python bench/closure.py [--quick] [--synthetic N]

1. Exactness. GO.db (Debian's r-bioc-go.db, see data.py) holds the direct parents of the 28k
   biological-process terms (go_bp_parents, five relation types) and the ancestor closure that the
   GO tooling computed from them (go_bp_offspring). The closure of the parent rows, every relation
   followed, must equal that table term by term; the number of terms that differ is printed.
2. Speed, in one process, best of several runs, result disposal included (baseline / module:
   above 1 the module is faster) against memoized recursive pure-Python walks that build the same
   dict, and against networkx (`descendants` of every node of the child -> parent graph, graph
   built in the timing), when networkx is installed. networkx is a comparator only, never a
   requirement of the package. Two walks: the one most code has, functools.lru_cache over
   frozensets (the cache must not hand out mutable sets) copied into the result's sets; and a
   hand-tuned one whose memo sets become the result's sets, which is as fast as Python gets.
3. Memory. In a fresh process: the peak resident growth while the call runs, against the resident
   size of the result it leaves (and the size that sys.getsizeof adds up for its objects).

Without the GO data (no apt-get), a synthetic ontology stands in and step 1 is skipped.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import pickle
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from functools import lru_cache
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

import ontarix  # noqa: E402

LABEL = "rdfs:subClassOf"


def py_walk_lru(rows: list[tuple[str, str, str]]) -> dict[str, dict[str, set[str]]]:
    """The usual memoized walk: parents per term, ancestors cached by functools.lru_cache as
    frozensets, each copied into a set of the result. Recursive: fine on GO, whose depth is a few
    dozen, and blind to cycles."""
    parents: defaultdict[str, set[str]] = defaultdict(set)
    for child, _, parent in rows:
        parents[child].add(parent)

    @lru_cache(maxsize=None)
    def ancestors(term: str) -> frozenset[str]:
        found: set[str] = set()
        for p in parents.get(term, ()):
            found.add(p)
            found |= ancestors(p)
        return frozenset(found)

    return {t: {LABEL: set(ancestors(t))} for t in parents}


def py_walk(rows: list[tuple[str, str, str]]) -> dict[str, dict[str, set[str]]]:
    """The same walk tuned: a dict memo whose sets are the result's own (each made once, by set
    unions in C), parents as lists."""
    parents: dict[str, list[str]] = {}
    for child, _, parent in rows:
        parents.setdefault(child, []).append(parent)
    memo: dict[str, set[str]] = {}

    def reach(term: str) -> set[str]:
        found = memo.get(term)
        if found is None:
            found = set()
            for p in parents.get(term, ()):
                found.add(p)
                found |= reach(p)
            memo[term] = found
        return found

    return {t: {LABEL: reach(t)} for t in parents}


def networkx_descendants(rows: list[tuple[str, str, str]]) -> dict[str, dict[str, set[str]]]:
    import networkx as nx

    g = nx.DiGraph()
    g.add_edges_from((child, parent) for child, _, parent in rows)
    return {t: {LABEL: nx.descendants(g, t)} for t in g if g.out_degree(t)}


def best_of(fn: Callable[[], Any], repeat: int) -> float:
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


MEMORY_PROBE = r"""
import gc, pickle, sys
import ontarix

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

with open(sys.argv[1], "rb") as f:
    rows = pickle.load(f)
gc.collect()
try:  # the peak so far belongs to loading the rows: start the high-water mark afresh
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
base = status("VmRSS")
result = ontarix.closure_from_relationships(rows)
peak, after = status("VmHWM"), status("VmRSS")
strings = {s for k, v in result.items() for s in (k, *v["rdfs:subClassOf"])}
objects = sum(sys.getsizeof(k) + sys.getsizeof(v) + sys.getsizeof(v["rdfs:subClassOf"])
              for k, v in result.items())
objects += sum(map(sys.getsizeof, strings)) + sys.getsizeof(result)
print(peak - base, after - base, objects // 1024)
"""


def memory(rows: list[tuple[str, str, str]]) -> tuple[float, float, float] | None:
    """(peak growth, resident result, sys.getsizeof total) in MB, from a fresh process."""
    if not Path("/proc/self/status").exists():
        return None
    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / "rows.pkl"
        with open(path, "wb") as f:
            pickle.dump(rows, f, protocol=pickle.HIGHEST_PROTOCOL)
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], check=True,
                             capture_output=True, text=True).stdout.split()
    peak, result, objects = (int(x) / 1024 for x in out)
    return peak, result, objects


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions")
    ap.add_argument("--synthetic", type=int, metavar="N",
                    help="use a synthetic ontology of N terms instead of GO")
    args = ap.parse_args()
    rep = 2 if args.quick else 5

    go = None if args.synthetic else data.load_go_bp_edges()
    if go is None:
        n = args.synthetic or 28_000
        if not args.synthetic:
            print("GO data could not be fetched; using a synthetic ontology (no exactness check)")
        rows, expected = data.synthetic(n).triples, None
        name = f"synthetic({n})"
    else:
        rows, expected = go
        name = "GO biological process"
    terms = {t for c, _, p in rows for t in (c, p)}
    print(f"data: {name}: {len(rows)} parent rows, {len(terms)} terms")
    print(f"python {sys.version.split()[0]}, {os.uname().machine}, {time.strftime('%Y-%m-%d')}")

    result = ontarix.closure_from_relationships(rows)
    pairs = sum(len(v[LABEL]) for v in result.values())
    print(f"closure: {len(result)} terms with ancestors, {pairs} (term, ancestor) pairs")
    if expected is not None:
        keys = set(result) | set(expected)
        mismatches = sum(result.get(t, {}).get(LABEL, set()) != expected.get(t, set())
                         for t in keys)
        print(f"terms whose ancestors differ from GO's own closure (go_bp_offspring): {mismatches}")
    del result

    if expected is not None:
        index = ontarix.ClosureIndex.from_relationships(rows)
        differ = sum(index.ancestors(t) != expected.get(t, set()) for t in keys)
        print(f"terms whose ancestors in ClosureIndex.from_relationships differ: {differ}")
        del index

    module = best_of(lambda: ontarix.closure_from_relationships(rows), 2 * rep)
    print(f"  {'closure_from_relationships':<40} {module * 1e3:9.1f} ms")
    index_time = best_of(lambda: ontarix.ClosureIndex.from_relationships(rows), 2 * rep)
    print(f"  {'ClosureIndex.from_relationships':<40} {index_time * 1e3:9.1f} ms")
    walk = best_of(lambda: py_walk_lru(rows), rep)
    print(f"  {'memoized walk (lru_cache, frozensets)':<40} {walk * 1e3:9.1f} ms  "
          f"{walk / module:6.1f}x  (target >= 4x)")
    print(f"  {'  the same walk vs the index':<40} {'':>12}  {walk / index_time:6.1f}x"
          f"  (target >= 20x)")
    walk = best_of(lambda: py_walk(rows), rep)
    print(f"  {'memoized walk, hand-tuned':<40} {walk * 1e3:9.1f} ms  {walk / module:6.1f}x")
    try:
        import networkx  # noqa: F401
    except ImportError:
        print(f"  {'networkx descendants per node':<40} networkx not installed")
    else:
        nx_time = best_of(lambda: networkx_descendants(rows), max(2, rep // 2))
        print(f"  {'networkx descendants per node':<40} {nx_time * 1e3:9.1f} ms  "
              f"{nx_time / module:6.1f}x  (target >= 10x)")

    mem = memory(rows)
    if mem is None:
        print("  memory: needs /proc")
    else:
        peak, kept, objects = mem
        print(f"  memory: peak growth {peak:.1f} MB while building; the result keeps {kept:.1f} MB "
              f"resident ({objects:.1f} MB by sys.getsizeof): {peak / kept:.2f}x (target <= 1.25x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
