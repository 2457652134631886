"""Benchmark of the prepared closure index, ontarix.ClosureIndex.

    python bench/index.py [--quick] [--skip-headline]

On the Gene Ontology (bench/data.py) it compares the index with the module functions it replaces
and with the prepared pure-Python loop a user would write (a dict of ancestor sets and a dict of
IC values), and times the headline: every human gene's GO BP profile against every other
(top_k, k=10, phenomizer, the table's own IC). On the Human Phenotype Ontology that hpo3 ships in
its wheel it compares the index, given hpo3's ancestors (each term its own ancestor, as hpo3
counts them) and hpo3's OMIM IC, with hpo3 itself (the Rust extension `pip install hpo3`, a
benchmark-only comparator): first that both compute the same numbers, then their speed, both
using every core. Ratios are peer time / ontarix time: above 1 the index is faster.
"""

from __future__ import annotations

import argparse
import csv
import gc
import math
import os
import random
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402
from run import best_of, fmt  # noqa: E402

import ontarix  # noqa: E402

ROOT = "owl:Thing"


def line(name: str, base: float | None, mod: float, target: str, base_name: str = "") -> None:
    if base is None:
        print(f"  {name:<58} {'':>10} {fmt(mod):>10} {'':>9}  ({target})", flush=True)
        return
    print(f"  {name:<58} {fmt(base):>10} {fmt(mod):>10} {base / mod:>8.2f}x  ({target}){base_name}",
          flush=True)


def peak_growth_of_build(closure_pickle: Path) -> tuple[float, float]:
    """Resident and peak memory growth (MB) of building the index from the pickled closure dict,
    in a fresh process."""
    code = (
        "import gc, pickle, sys, ontarix\n"
        "def status(key):\n"
        "    with open('/proc/self/status') as f:\n"
        "        return next(int(l.split()[1]) for l in f if l.startswith(key)) / 1024\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    table = pickle.load(f)\n"
        "gc.collect()\n"
        "with open('/proc/self/clear_refs', 'w') as f:\n"
        "    f.write('5')  # restart the peak count here\n"
        "rss, peak = status('VmRSS:'), status('VmHWM:')\n"
        "index = ontarix.ClosureIndex(table)\n"
        "print(status('VmRSS:') - rss, status('VmHWM:') - peak)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(closure_pickle)], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def read_sets(path: Path) -> dict[str, set[str]]:
    sets: dict[str, set[str]] = {}
    with open(path, newline="", encoding="utf-8") as f:
        for key, term in csv.reader(f):
            sets.setdefault(key, set()).add(term)
    return sets


# ---------------------------------------------------------------- GO

def go_section(rep: int, headline: bool) -> None:
    ds = data.load_go()
    if ds is None:
        print("GO data could not be fetched (see bench/data.py); GO rows skipped")
        return
    table = ds.closure
    rows = sum(len(o) for p in table.values() for o in p.values())
    print(f"\nGO: {len(table)} terms, {rows} closure rows")
    print(f"  {'workload':<58} {'baseline':>10} {'ontarix':>10} {'ratio':>9}")
    terms = sorted(table)
    rng = random.Random(1)
    a, b = rng.choice(terms), rng.choice(terms)

    build = best_of(lambda: ontarix.ClosureIndex(table), rep)
    call = best_of(lambda: ontarix.max_information_content(table, a, b), rep)
    line("ClosureIndex(closure dict) vs one max_information_content", call, build,
         "target: index <= 3x the call, ratio >= 0.33")
    rss, peak = peak_growth_of_build(ds.closure_file.parent / "closure.pkl")
    print(f"  ClosureIndex(closure dict) memory growth: {rss:.1f} MB resident, {peak:.1f} MB peak"
          f" (target <= 40 MB)")

    idx = ontarix.ClosureIndex(table)
    scaled = {t: idx.information_content(t) * 0.7 for t in table}
    other = best_of(lambda: idx.with_information_content(scaled), rep)
    line("with_information_content(ic of every term) vs the build", build, other,
         "target: <= 0.25 of the build, ratio >= 4")

    # The prepared loop: ancestor sets and the table's own IC, as a user would keep them.
    anc = {t: set().union(*p.values()) for t, p in table.items()}
    counts: dict[str, int] = {}
    for s in anc.values():
        for x in s:
            counts[x] = counts.get(x, 0) + 1
    total = sum(counts.values())
    ic = {x: -math.log2(c / total) for x, c in counts.items()}

    def py_resnik(x: str, y: str) -> float:
        return max((ic[z] for z in anc[x] & anc[y] if z != ROOT), default=0.0)

    pairs = [(rng.choice(terms), rng.choice(terms)) for _ in range(50_000)]
    assert all(py_resnik(x, y) == idx.max_information_content(x, y) for x, y in pairs[:2000])
    f = idx.max_information_content
    base = best_of(lambda: [py_resnik(x, y) for x, y in pairs], rep) / len(pairs)
    mod = best_of(lambda: [f(x, y) for x, y in pairs], rep) / len(pairs)
    line("max_information_content per call, random GO term pairs", base, mod,
         "target >= 4x the prepared loop")
    f = idx.semantic_jaccard
    mod = best_of(lambda: [f(x, y) for x, y in pairs], rep) / len(pairs)
    one = best_of(lambda: ontarix.semantic_jaccard_similarity(table, a, b), rep)
    line("semantic_jaccard per call vs the module function", one, mod, "the same double")

    if headline:
        profiles = read_sets(ds.input_file)
        n = len(profiles)
        gc.collect()
        t0 = time.perf_counter()
        idx.top_k(profiles, k=10)
        dt = time.perf_counter() - t0
        print(f"  headline: top_k all-vs-all, {n} gene BP profiles, k=10, phenomizer: {dt:.1f} s, "
              f"{n * (n - 1) / dt / 1e6:.1f} M ordered pairs/s (target < 60 s)", flush=True)


# ---------------------------------------------------------------- HPO

def hpo_section(rep: int, quick: bool) -> None:
    try:
        import numpy as np
        from pyhpo import HPOSet, Ontology, helper
    except ImportError:
        print("\nhpo3 is not installed (pip install hpo3): HPO rows skipped")
        return
    Ontology()
    terms = list(Ontology)
    closure = {t.id: {"is_a": {p.id for p in t.all_parents} | {t.id}} for t in terms}
    ic = {t.id: float(t.information_content.omim) for t in terms}
    idx = ontarix.ClosureIndex(closure, information_content=ic)
    by_id = {t.id: t for t in terms}
    print(f"\nHPO (hpo3's wheel): {len(terms)} terms; the index with hpo3's ancestors and OMIM IC")
    rng = random.Random(2)

    # Agreement first: the same measure, to hpo3's float32 precision.
    sample = rng.sample(terms, 300)
    pairs = [(x, y) for x in sample[:100] for y in sample[100:]]
    theirs = helper.batch_similarity(pairs, kind="omim", method="resnik")
    ours = [idx.max_information_content(x.id, y.id) for x, y in pairs]
    worst = max(abs(o - t) / max(abs(t), 1e-12) for o, t in zip(ours, theirs))
    print(f"  Resnik agreement on {len(pairs)} pairs: max relative difference {worst:.2e}"
          f" (target <= 1e-5)")
    diseases = [d for d in Ontology.omim_diseases if len(d.hpo) > 0]
    dsample = rng.sample(diseases, 60)
    dsets = [{by_id[i].id if i in by_id else Ontology.hpo(i).id for i in d.hpo} for d in dsample]
    hsets = [d.hpo_set() for d in dsample]
    theirs = helper.batch_set_similarity([(x, y) for x in hsets for y in hsets], kind="omim",
                                         method="resnik", combine="funSimAvg")
    ours = idx.similarity_matrix(dsets).ravel().tolist()
    worst = max(abs(o - t) / max(abs(t), 1e-12) for o, t in zip(ours, theirs))
    print(f"  phenomizer vs funSimAvg agreement on {len(theirs)} disease pairs: max relative "
          f"difference {worst:.2e} (target <= 1e-5)")

    print(f"  {'workload':<58} {'hpo3':>10} {'ontarix':>10} {'ratio':>9}")
    t1, t2 = rng.choice(terms), rng.choice(terms)
    per = 20_000
    base = best_of(lambda: [t1.similarity_score(t2, kind="omim", method="resnik")
                            for _ in range(per)], rep) / per
    f = idx.max_information_content
    a, b = t1.id, t2.id
    mod = best_of(lambda: [f(a, b) for _ in range(per)], rep) / per
    line("Resnik per call (hpo3: term.similarity_score)", base, mod, "target >= 1x")

    m = 400 if quick else 1000
    rows, cols = rng.sample(terms, m), rng.sample(terms, m)
    pairs = [(x, y) for x in rows for y in cols]
    ids1, ids2 = [x.id for x in rows], [y.id for y in cols]
    base = best_of(lambda: helper.batch_similarity(pairs, kind="omim", method="resnik"),
                   max(1, rep // 2))
    mod = best_of(lambda: idx.term_similarity_matrix(ids1, ids2), rep)
    line(f"Resnik matrix {m}x{m} (hpo3: helper.batch_similarity)", base, mod, "target >= 10x")

    for label, pool, size in (("OMIM disease", diseases, 150 if quick else 300),
                              ("gene", [g for g in Ontology.genes if len(g.hpo) > 0],
                               60 if quick else 120)):
        chosen = rng.sample(pool, size)
        ours_sets = [{Ontology.hpo(i).id for i in x.hpo} for x in chosen]
        their_sets = [x.hpo_set() for x in chosen]
        pairs = [(x, y) for x in their_sets for y in their_sets]
        base = best_of(lambda: helper.batch_set_similarity(pairs, kind="omim", method="resnik",
                                                           combine="funSimAvg"), 1)
        mod = best_of(lambda: idx.similarity_matrix(ours_sets), rep)
        line(f"phenomizer matrix, {size}x{size} {label} profiles (hpo3: funSimAvg)", base, mod,
             "target >= 20x")
        del pairs
    del np, HPOSet


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, smaller samples")
    ap.add_argument("--skip-headline", action="store_true", help="leave out the GO all-vs-all")
    args = ap.parse_args()
    rep = 2 if args.quick else 5
    print(f"python {sys.version.split()[0]}, {os.uname().machine}, {os.cpu_count()} CPUs, "
          f"{time.strftime('%Y-%m-%d')}")
    go_section(rep, not args.skip_headline)
    hpo_section(rep, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
