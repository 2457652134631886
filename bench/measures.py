"""The index's similarity measures against the peers of the field: agreement, then speed.

    python bench/measures.py [--quick] [--skip-headline] [--only hpo3,gosemsim,goatools]

Peers (benchmark-only, installed by hand; see peers.py): hpo3 (pip install hpo3), GOSemSim 2.24
through Rscript (apt-get install r-bioc-gosemsim r-bioc-org.hs.eg.db) and GOATOOLS (pip install
goatools). Each section first checks this script's reading of a peer against the peer itself
(peers.py restates its formulas in plain Python), then compares ontarix with the peer, then times
both. Ratios are peer time / ontarix time, targets in parentheses. A method or measure that this
build of ontarix lacks is reported as "not available in this build" on its row, with the
peer's figures still printed.

hpo3 1.5.1 (the `hpo` crate 0.12; read from hpo3's documentation and checked here against hpo3
on random, identical, parent-child, root and IC-0 pairs). IC is hpo3's OMIM IC, natural log,
float32 (so agreement is to 1e-5 relative); a term is among its own ancestors; m = the largest IC
over the common ancestors (0.0 if none).
  resnik   m
  lin      2m / (IC(a) + IC(b)); 0.0 when the sum is 0
  jc       1.0 when a == b (checked first); 0.0 when IC(a) or IC(b) is 0;
           else 1 / (1 + IC(a) + IC(b) - 2m)               [ontarix: 0.0 for a == b of IC 0]
  rel      lin * (1 - exp(-m))
  ic       lin * (1 - 1 / (1 + m)), in float32: where m is small, 1 - 1 / (1 + m) keeps few
           digits (1.7e-5 relative at m = 0.0026), so the rows of "ic" also give the difference
           from the same formula in float64, which is what ontarix computes
  graphic  1.0 when a == b; else the IC summed over the common ancestors, the two terms counted
           (a term is its own ancestor), over the IC summed over the union of the proper
           ancestors, the two terms not counted; 0.0 when that sum is 0. So a term and its
           parent score 1.0. ontarix's graph_ic on an index of hpo3's proper ancestors (no self
           rows) equals it exactly where a != b and neither is an ancestor of the other.
  combines (names matched without regard to case): funSimAvg (mean row max + mean column
           max) / 2, funSimMax max(mean row max, mean column max), BMA (sum row max + sum
           column max) / (m + n): ontarix's funsimavg, funsimmax and bma. An empty set scores
           0.0 in hpo3, nan in ontarix.
hpo3's batch functions use every core (rayon); so do the index's batches.

GOSemSim 2.24 (its R code read with Rscript; infoContentMethod is C++ without sources in the
Debian package, so its formulas are established by reproducing its output here, exactly):
  - godata(org.Hs.eg.db, ont="BP") keeps every BP annotation row, one per (gene, term,
    evidence code), IEA included. computeIC: n(t) = rows on t + rows on every offspring of t in
    GO.db's GOBPOFFSPRING; IC(t) = -ln(n(t) / all rows), for the terms of the relation table
    GOSemSim ships (data(gotbl), a GO release other than Debian's GO.db 3.16: 28,748 BP terms
    against GO.db's 28,140); +inf where n(t) = 0. Annotated terms missing from that table count
    in the total and in their ancestors' n but get no IC.
  - termSim / infoContentMethod: NA unless both terms have an IC that is finite and not 0 (so
    the root GO:0008150, terms without annotations and terms missing from the table drop out);
    every IC is divided by the largest finite IC; common ancestors from GO.db's GOBPANCESTOR
    (is_a, part_of and the three regulates relations; "all" on top), a term counting as its own
    ancestor; m = the largest (scaled) IC among them.
      Resnik  m                     (= ontarix resnik / max IC)
      Lin     2m / (IC(a) + IC(b))  (= ontarix lin; the scale cancels)
      Rel     Lin * (1 - exp(-m * max IC))  (= ontarix relevance, unscaled natural-log m)
      Jiang   1 - min(1, IC(a) + IC(b) - 2m), scaled ICs (another formula than ontarix's
              jiang_conrath / hpo3's jc; not compared)
    goSim rounds to 3 decimals; termSim does not (its values are compared here).
  - geneSim(g1, g2, drop="IEA"): each gene's distinct terms from its rows whose evidence is
    not IEA (while the IC counted every row); NA when either gene has none. Then mgoSim:
    combineScores over the term matrix, rounded to 3 decimals: all NA gives NA; a one-row or
    one-column matrix gives the mean for "avg" and the maximum for every other combine (a
    one-term side turns BMA and rcmax into max); else the all-NA rows, then columns, are dropped
    (terms without an IC), the one-line rule applies again, and avg = mean of all, max = max,
    rcmax = max(mean row max, mean column max) (ontarix funsimmax), BMA = (sum row max + sum
    column max) / (m + n) (ontarix bma).
  - mgeneSim scores every distinct term once, rounds those term scores to 3 decimals, then
    combines each gene pair as above and rounds again; genes whose row is all NA are dropped.
  - Wang (getSV): a breadth-first walk up its shipped table keeping the first value met, not
    the largest; and since that table names its relations "isa" / "part of" while the weights
    are keyed "is_a" / "part_of", every edge weighs the "other" 0.7 (so, the weights being
    equal, the first value met is also the largest). The top "all" gets 0.
  ontarix reproduces all of this on the Python side: the index of GO.db's BP closure
  (reflexive), IC from annotation_information_content(rows, count="annotations"), terms without
  a GOSemSim IC dropped, combineScores' rules, and the rounding.

GOATOOLS 1.6.9 (read: semsim/termwise/wang.py, dag_a.py, semantic.py).
  - Wang, SsWang(goids, godag, relationships, rel2scf): follows is_a only unless
    `relationships` names more (part_of, regulates, negatively_regulates,
    positively_regulates); default weights is_a 0.8, part_of and all three regulates 0.6 (where
    ontarix, like GOSemSim's intent, takes 0.7 for a predicate other than is_a and part_of).
    S-values are taken over the ancestors in decreasing depth (the longest path from the root
    through the followed relations), each the largest weight * S(child) over its children: the
    paper's maximum over paths, exactly (checked here against a best-first walk). get_sim
    returns None (and prints an error) for a term it was not built for. GO's own site is not
    reachable here, and neither PyPI nor Debian ships go-basic.obo, so the OBO file GOATOOLS
    reads is written from GO.db's relations (peers.write_obo) into the cache.
  - TermCounts(godag, {gene: terms}): n(t) = genes annotated with t or an is_a descendant
    (relationships only when asked), IC(t) = -ln(n(t) / n(root)), natural log, 0.0 where
    n(t) = 0: ontarix's count="objects" when every object has a term of the branch.
    resnik_sim = IC of the MICA over the is_a ancestors (a term its own ancestor), None across
    namespaces; lin_sim = 2m / (IC(a) + IC(b)) when both ICs are non-zero, else 1.0 for a
    term with itself, 0.0 when m = 0, otherwise None; schlicker_sim = lin_sim * (1 - the
    MICA's frequency) = ontarix's relevance where both ICs are non-zero.
"""

from __future__ import annotations

import argparse
import csv
import gc
import math
import os
import random
import sqlite3
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402
import peers  # noqa: E402
from run import best_of, fmt  # noqa: E402

import ontarix  # noqa: E402

TERM_MEASURES = ("resnik", "lin", "jiang_conrath", "relevance", "information_coefficient")
GOATOOLS_NAMES = {"resnik": "resnik_sim", "lin": "lin_sim", "relevance": "schlicker_sim"}
GOSEMSIM_COMBINES = {"max": "max", "avg": "avg", "rcmax": "funsimmax", "BMA": "bma"}


# ---------------------------------------------------------------- what this build offers

class Build:
    """Probes, on a two-term index, which parts of the measures API this build of ontarix has.
    Each probe returns None when the call works, else the reason it does not."""

    def __init__(self) -> None:
        self.toy = ontarix.ClosureIndex({"a": {"is_a": {"a"}}, "b": {"is_a": {"a", "b"}}},
                                        information_content={"a": 1.0, "b": 2.0})
        self._seen: dict[tuple, str | None] = {}

    def _probe(self, key: tuple, fn: Callable[[], Any]) -> str | None:
        if key not in self._seen:
            try:
                fn()
                self._seen[key] = None
            except (AttributeError, TypeError, ValueError, NotImplementedError) as exc:
                text = f"{type(exc).__name__}: {exc}"
                self._seen[key] = text if len(text) <= 110 else text[:107] + "..."
        return self._seen[key]

    def term_matrix(self, measure: str) -> str | None:
        return self._probe(("tm", measure), lambda: self.toy.term_similarity_matrix(
            ["a", "b"], measure=measure, threads=1))

    def term_call(self, measure: str) -> str | None:
        return self._probe(("tc", measure), lambda: self.toy.term_similarity(
            "a", "b", measure=measure))

    def profile_matrix(self, measure: str, combine: str | None) -> str | None:
        return self._probe(("pm", measure, combine), lambda: self.toy.similarity_matrix(
            [{"a"}, {"b"}], measure=measure, combine=combine, threads=1))

    def top_k(self, measure: str, combine: str | None) -> str | None:
        return self._probe(("tk", measure, combine), lambda: self.toy.top_k(
            {"x": {"a"}, "y": {"b"}}, k=1, measure=measure, combine=combine, threads=1))

    def annotation_ic(self) -> str | None:
        return self._probe(("aic",), lambda: (
            self.toy.annotation_information_content({"o": ["a", "b"]}, count="annotations"),
            self.toy.annotation_information_content({"o": ["a", "b"]}, count="objects")))

    def with_ic(self) -> str | None:
        return self._probe(("wic",), lambda: self.toy.with_information_content({"a": 1.0}))

    def wang(self) -> str | None:
        def go() -> None:
            idx = ontarix.ClosureIndex.from_relationships(
                [("b", "is_a", "a")], wang_weights={"is_a": 0.8})
            idx.term_similarity("a", "b", measure="wang")
        return self._probe(("wang",), go)

    @staticmethod
    def first(*reasons: str | None) -> str | None:
        return next((r for r in reasons if r), None)


# ---------------------------------------------------------------- printing

def header(peer: str) -> None:
    print(f"  {'workload':<66} {peer:>10} {'ontarix':>10} {'ratio':>9}", flush=True)


def speed(name: str, base: float | None, mod: float | None, target: str,
          missing: str | None = None) -> None:
    b = fmt(base) if base is not None else ""
    if mod is None:
        print(f"  {name:<66} {b:>10} {'-':>10} {'':>9}  not available in this build "
              f"({missing})", flush=True)
    elif base is None:
        print(f"  {name:<66} {'':>10} {fmt(mod):>10} {'':>9}  ({target})", flush=True)
    else:
        print(f"  {name:<66} {b:>10} {fmt(mod):>10} {base / mod:>8.1f}x  ({target})",
              flush=True)


def agree(name: str, worst: float | None, count: int, target: str, note: str = "",
          missing: str | None = None, kind: str = "max rel diff") -> None:
    if missing:
        print(f"  {name:<66} not available in this build ({missing})", flush=True)
        return
    w = "-" if worst is None else f"{worst:.2e}"
    print(f"  {name:<66} {kind} {w} over {count} ({target}){note}", flush=True)


def rel_diff(ours: float, theirs: float) -> float:
    if ours == theirs or (math.isnan(ours) and math.isnan(theirs)):
        return 0.0
    if math.isnan(ours) or math.isnan(theirs):
        return math.inf
    return abs(ours - theirs) / max(abs(theirs), 1e-300)


def worst_of(values: Iterable[float]) -> float | None:
    return max(values, default=None)


# ---------------------------------------------------------------- hpo3

def hpo3_section(build: Build, rep: int, quick: bool) -> None:
    try:
        hpo = peers.load_hpo()
    except peers.PeerMissing as exc:
        print(f"\nhpo3: {exc}: hpo3 rows skipped")
        return
    helper, HPOSet = hpo.pyhpo.helper, hpo.pyhpo.HPOSet
    ids = [t.id for t in hpo.terms]
    with_self = {t: {"is_a": hpo.parents[t] | {t}} for t in ids}
    proper = {t: {"is_a": hpo.parents[t]} for t in ids}
    idx = ontarix.ClosureIndex(with_self, information_content=hpo.ic)
    idx_proper = ontarix.ClosureIndex(proper, information_content=hpo.ic)
    print(f"\nHPO (hpo3's wheel): {len(ids)} terms, OMIM IC; indexes of hpo3's ancestors with "
          f"and without self rows")
    rng = random.Random(15)

    # This script's reading of hpo3, on random pairs and on the pairs where conventions show.
    sample = rng.sample(hpo.terms, 110)
    pairs = [(x, y) for x in sample[:50] for y in sample[50:]]
    zero = [t for t in hpo.terms if hpo.ic[t.id] == 0][:5]
    root = hpo.by_id["HP:0000001"]
    edges = ([(t, t) for t in sample[:20]] + [(z, z) for z in zero]
             + [(t, hpo.by_id[next(iter(hpo.parents[t.id]))]) for t in sample[:30]
                if hpo.parents[t.id]]
             + [(root, root), (root, sample[0]), (sample[1], root)]
             + [(z, sample[2]) for z in zero])
    for measure, method in peers.HPO3_METHODS.items():
        cases = pairs + edges
        theirs = helper.batch_similarity(cases, kind="omim", method=method)
        mine = [peers.hpo3_term(hpo, measure, a.id, b.id) for a, b in cases]
        note = ""
        if measure == "information_coefficient":
            f32 = [peers.hpo3_ic_float32(hpo, a.id, b.id) for a, b in cases]
            note = (f"; in float32 as hpo3 computes it: {worst_of(map(rel_diff, f32, theirs)):.2e}"
                    f" (hpo3's own rounding where m is small)")
        agree(f"reading of hpo3 '{method}' (random, identical, parent, root, IC-0 pairs)",
              worst_of(map(rel_diff, mine, theirs)), len(cases), "<= 1e-5", note)
    dsample = rng.sample(hpo.diseases, 15)
    dsets = [hpo.profile(d) for d in dsample]
    hsets = [d.hpo_set() for d in dsample]
    set_pairs = [(i, j) for i in range(len(dsets)) for j in range(len(dsets))]
    for measure in TERM_MEASURES:
        worst, n = 0.0, 0
        mats = {(i, j): [[peers.hpo3_term(hpo, measure, a, b) for b in dsets[j]] for a in dsets[i]]
                for i, j in set_pairs}
        for combine, name in peers.HPO3_COMBINES.items():
            theirs = helper.batch_set_similarity([(hsets[i], hsets[j]) for i, j in set_pairs],
                                                 kind="omim", method=peers.HPO3_METHODS[measure],
                                                 combine=name)
            mine = [peers.COMBINES[combine](mats[p]) for p in set_pairs]
            worst = max(worst, max(map(rel_diff, mine, theirs)))
            n += len(theirs)
        agree(f"reading of hpo3 '{peers.HPO3_METHODS[measure]}' x funSimAvg/funSimMax/BMA",
              worst, n, "<= 1e-5", " disease pairs" + (
                  ", its float32 'ic' term scores (above)"
                  if measure == "information_coefficient" else ""))
    empty = helper.batch_set_similarity([(HPOSet([]), hsets[0])], method="resnik",
                                        combine="funSimAvg")[0]
    print(f"  hpo3 scores a profile against an empty one {empty} (ontarix: nan)")

    # ontarix against hpo3: term scores.
    rows, cols = rng.sample(hpo.terms, 100), rng.sample(hpo.terms, 200)
    pairs = [(x, y) for x in rows for y in cols]
    r_ids, c_ids = [x.id for x in rows], [y.id for y in cols]
    for measure in TERM_MEASURES:
        method = peers.HPO3_METHODS[measure]
        missing = build.term_matrix(measure)
        if missing:
            agree(f"{measure} term scores vs hpo3 '{method}'", None, 0, "", missing=missing)
            continue
        theirs = helper.batch_similarity(pairs, kind="omim", method=method)
        ours = idx.term_similarity_matrix(r_ids, c_ids, measure=measure).ravel().tolist()
        # hpo3's jc scores a term against itself 1.0 before looking at its IC.
        skip = [measure == "jiang_conrath" and a.id == b.id and hpo.ic[a.id] <= 0 for a, b in pairs]
        worst = worst_of(rel_diff(o, t) for o, t, s in zip(ours, theirs, skip) if not s)
        note = f" pairs; {sum(skip)} identical IC-0 pairs left out" if sum(skip) else " pairs"
        if measure == "information_coefficient":
            ref = [peers.hpo3_term(hpo, measure, a.id, b.id) for a, b in pairs]
            note += f"; vs its formula in float64 {worst_of(map(rel_diff, ours, ref)):.2e}"
        agree(f"{measure} term scores vs hpo3 '{method}'", worst, len(pairs) - sum(skip),
              "<= 1e-5", note)
    missing = build.term_matrix("graph_ic")
    if missing:
        agree("graph_ic (proper ancestors) vs hpo3 'graphic'", None, 0, "", missing=missing)
    else:
        theirs = helper.batch_similarity(pairs, kind="omim", method="graphic")
        ours = idx_proper.term_similarity_matrix(r_ids, c_ids, measure="graph_ic").ravel().tolist()
        keep = [a.id != b.id and a.id not in hpo.parents[b.id] and b.id not in hpo.parents[a.id]
                for a, b in pairs]
        worst = worst_of(rel_diff(o, t) for o, t, k in zip(ours, theirs, keep) if k)
        agree("graph_ic (proper ancestors) vs hpo3 'graphic', unrelated pairs", worst, sum(keep),
              "<= 1e-5", f" pairs; {len(pairs) - sum(keep)} identical or ancestor pairs left out")

    # ontarix against hpo3: profile scores.
    for label, pool, size in (("OMIM disease", hpo.diseases, 60), ("gene", hpo.genes, 40)):
        chosen = rng.sample(pool, size)
        ours_sets = [hpo.profile(x) for x in chosen]
        their_sets = [x.hpo_set() for x in chosen]
        set_pairs = [(i, j) for i in range(size) for j in range(size)]
        zero_shared = [any(hpo.ic[t] <= 0 for t in ours_sets[i] & ours_sets[j])
                       for i, j in set_pairs]
        for measure in TERM_MEASURES:
            method = peers.HPO3_METHODS[measure]
            for combine, name in peers.HPO3_COMBINES.items():
                what = f"{measure} x {combine}, {label} profiles vs hpo3 '{method}' x {name}"
                missing = build.profile_matrix(measure, combine)
                if missing:
                    agree(what, None, 0, "", missing=missing)
                    continue
                theirs = helper.batch_set_similarity(
                    [(their_sets[i], their_sets[j]) for i, j in set_pairs], kind="omim",
                    method=method, combine=name)
                ours = idx.similarity_matrix(ours_sets, measure=measure,
                                             combine=combine).ravel().tolist()
                skip = [measure == "jiang_conrath" and z for z in zero_shared]
                worst = worst_of(rel_diff(o, t) for o, t, s in zip(ours, theirs, skip) if not s)
                note = f"; {sum(skip)} pairs sharing an IC-0 term left out" if sum(skip) else ""
                if measure == "information_coefficient":
                    ref = [peers.hpo3_profile(hpo, measure, combine, ours_sets[i], ours_sets[j])
                           for i, j in set_pairs]
                    note += f"; vs its formula in float64 {worst_of(map(rel_diff, ours, ref)):.2e}"
                agree(what, worst, len(theirs) - sum(skip), "<= 1e-5", note)

    # Speed.
    header("hpo3")
    m = 400 if quick else 1000
    rows, cols = rng.sample(hpo.terms, m), rng.sample(hpo.terms, m)
    pairs = [(x, y) for x in rows for y in cols]
    r_ids, c_ids = [x.id for x in rows], [y.id for y in cols]
    for measure, method in peers.HPO3_METHODS.items():
        base = best_of(lambda: helper.batch_similarity(pairs, kind="omim", method=method),
                       max(1, rep // 2))
        missing = build.term_matrix(measure)
        mod = None if missing else best_of(
            lambda: idx.term_similarity_matrix(r_ids, c_ids, measure=measure), rep)
        speed(f"{measure} term matrix {m}x{m} (hpo3 batch_similarity '{method}')", base, mod,
              "target >= 10x", missing)
    pairs.clear()  # a million tuples, not needed past here
    for label, pool, size in (("OMIM disease", hpo.diseases, 150 if quick else 300),
                              ("gene", hpo.genes, 60 if quick else 120)):
        chosen = rng.sample(pool, size)
        ours_sets = [hpo.profile(x) for x in chosen]
        their_sets = [x.hpo_set() for x in chosen]
        set_pairs = [(x, y) for x in their_sets for y in their_sets]
        for measure in ("resnik", "lin", "graph_ic"):
            method = peers.HPO3_METHODS[measure]
            for combine, name in peers.HPO3_COMBINES.items():
                base = best_of(lambda: helper.batch_set_similarity(
                    set_pairs, kind="omim", method=method, combine=name), 1)
                missing = build.profile_matrix(measure, combine)
                mod = None if missing else best_of(lambda: idx.similarity_matrix(
                    ours_sets, measure=measure, combine=combine), rep)
                speed(f"{measure} x {combine} {size}x{size} {label} (hpo3 '{method}' x {name})",
                      base, mod, "target >= 20x", missing)


# ---------------------------------------------------------------- GOSemSim

def py_annotation_ic(annotations: dict[str, Sequence[str]], expansions: dict[str, set[str]],
                     count: str) -> dict[str, float]:
    """The plain Python loop over the expansions that annotation_information_content replaces."""
    n: dict[str, int] = defaultdict(int)
    if count == "objects":
        for terms in annotations.values():
            seen: set[str] = set()
            for t in terms:
                e = expansions.get(t)
                if e:
                    seen |= e
            for x in seen:
                n[x] += 1
        total = len(annotations)
    else:
        total = 0
        for terms in annotations.values():
            for t in terms:
                total += 1
                for x in expansions.get(t, ()):
                    n[x] += 1
    return {x: -math.log(c / total) for x, c in n.items()}


def gosemsim_wang(build: Build, gs: peers.GoSemSim, rng: random.Random) -> None:
    """GOSemSim's Wang on its own relation table: every edge 0.7, "all" left out."""
    table_terms = sorted({c for c, _, _ in gs.gotbl})
    r, c = rng.sample(table_terms, 20), rng.sample(table_terms, 20)
    seconds, theirs_m = gs.wang(r, c + r[:2])
    svs: dict[str, dict[str, float]] = {}

    def sv_of(t: str) -> dict[str, float]:
        if t not in svs:
            svs[t] = peers.gosemsim_wang_svalues(t, gs.gotbl)
        return svs[t]

    cells = list(theirs_m.items())
    mine = [1.0 if a == b else peers.wang_from_svalues(sv_of(a), sv_of(b)) for (a, b), _ in cells]
    agree("reading of GOSemSim's Wang (first value met, every edge 0.7)",
          worst_of(rel_diff(x, t) for x, (_, t) in zip(mine, cells)), len(cells), "<= 1e-12",
          f"; R: {seconds / len(cells) * 1e3:.1f} ms a pair")
    missing = build.wang()
    if missing:
        agree("wang on GOSemSim's table, every weight 0.7, vs its Wang", None, 0, "",
              missing=missing)
        return
    table_rows = [x for x in gs.gotbl if x[2] != "all"]
    idx = ontarix.ClosureIndex.from_relationships(
        table_rows, wang_weights=dict.fromkeys({rel for _, rel, _ in table_rows}, 0.7))
    ours = [idx.term_similarity(a, b, measure="wang") for (a, b), _ in cells]
    agree("wang on GOSemSim's table, every weight 0.7, vs its Wang",
          worst_of(rel_diff(x, t) for x, (_, t) in zip(ours, cells)), len(cells), "<= 1e-12")


def gosemsim_section(build: Build, rep: int, quick: bool, headline: bool) -> None:
    edges = data.load_go_bp_edges()
    if edges is None:
        print("\nGOSemSim: GO.db could not be fetched (see data.py): GOSemSim rows skipped")
        return
    _, ancestors = edges  # GO.db's GOBPANCESTOR: proper ancestors, "all" on top
    try:
        t0 = time.perf_counter()
        gs = peers.GoSemSim()
        ready = time.perf_counter() - t0
    except peers.PeerMissing as exc:
        print(f"\nGOSemSim: {exc}: GOSemSim rows skipped")
        return
    print(f"\nGO BP with GOSemSim ({', '.join(gs.versions[:3])}; {gs.versions[3]}): "
          f"{len(gs.rows)} annotation rows of {len({r[0] for r in gs.rows})} genes, "
          f"{len(gs.ic)} IC entries ({sum(map(math.isfinite, gs.ic.values()))} finite); "
          f"data ready in {ready:.1f} s")
    rng = random.Random(25)
    finite = [t for t, v in gs.ic.items() if math.isfinite(v)]

    # This script's reading of GOSemSim.
    mine = gs.computed_ic(ancestors)
    agree("reading of computeIC (finite entries)",
          worst_of(rel_diff(mine[t], gs.ic[t]) for t in finite), len(finite), "exact",
          "; the +inf entries agree too" if all(math.isinf(mine[t]) for t in gs.ic
                                                 if not math.isfinite(gs.ic[t])) else
          "; the +inf entries DIFFER")
    scored = sorted(t for t in finite if gs.ic[t] > 0)
    unlisted = sorted({r[1] for r in gs.rows} - gs.ic.keys())
    rows = rng.sample(scored, 40 if quick else 60)
    cols = (rng.sample(scored, 40 if quick else 60)
            + ["GO:0008150", next(t for t in gs.ic if math.isinf(gs.ic[t]))] + unlisted[:1]
            + rows[:2])
    t0 = time.perf_counter()
    theirs = gs.term_scores(rows, cols)
    r_time = time.perf_counter() - t0
    for method in ("Lin", "Rel", "Resnik", "Jiang"):
        cells = [(a, b) for a in rows for b in cols]
        mine_ = [gs.term(method, a, b, ancestors) for a, b in cells]
        agree(f"reading of termSim '{method}' (NA for terms without an IC included)",
              worst_of(rel_diff(x, theirs[(method, a, b)]) for x, (a, b) in zip(mine_, cells)),
              len(cells), "<= 1e-9")
    print(f"  (termSim of {len(rows)}x{len(cols)} terms, 4 methods: {r_time:.1f} s with R's start)")

    gene_terms = gs.gene_terms()
    genes = sorted(gene_terms)
    one = [g for g in genes if len(gene_terms[g]) == 1]
    iea_only = sorted({r[0] for r in gs.rows} - gene_terms.keys())
    gene_pairs = ([tuple(rng.sample(genes, 2)) for _ in range(20 if quick else 60)]
                  + [(one[0], genes[0]), (genes[1], one[1]), (one[2], one[3]),
                     (iea_only[0], genes[2])])
    g_seconds, g_theirs = gs.gene_scores(gene_pairs)
    calls = len(gene_pairs) * len(GOSEMSIM_COMBINES)

    def lin_matrix_reading(a: list[str], b: list[str]) -> list[list[float]]:
        return [[gs.term("Lin", x, y, ancestors) for y in b] for x in a]

    def gene_score(g1: str, g2: str, combine: str,
                   matrix: Callable[[list[str], list[str]], list[list[float]]],
                   drop_first: bool) -> float:
        # Terms without a GOSemSim IC are NA rows and columns, which combineScores drops: the
        # readings keep them (NA cells), ontarix, which has no NA, leaves them out first.
        a = sorted(t for t in gene_terms.get(g1, ()) if gs.has_ic(t) or not drop_first)
        b = sorted(t for t in gene_terms.get(g2, ()) if gs.has_ic(t) or not drop_first)
        if not a or not b:
            return math.nan
        return peers.gosemsim_combine(matrix(a, b), combine)

    def gene_agreement(matrix: Callable[[list[str], list[str]], list[list[float]]],
                       drop_first: bool) -> tuple[float, int, int]:
        worst, same, n = 0.0, 0, 0
        for g1, g2 in gene_pairs:
            for combine in GOSEMSIM_COMBINES:
                t = g_theirs[(g1, g2, combine)]
                o = gene_score(g1, g2, combine, matrix, drop_first)
                n += 1
                if math.isnan(t) or math.isnan(o):
                    worst = worst if math.isnan(t) and math.isnan(o) else math.inf
                    same += math.isnan(t) and math.isnan(o)
                    continue
                worst = max(worst, abs(o - t))
                same += round(o, 3) == t
        return worst, same, n

    worst, same, n = gene_agreement(lin_matrix_reading, False)
    agree("reading of geneSim Lin x max/avg/rcmax/BMA (drop IEA, NA terms)", worst, n,
          "<= 5e-4, its 3-decimal rounding", f"; {same} equal once rounded (NA alike)",
          kind="max abs diff")
    print(f"  (geneSim: {g_seconds / calls * 1e3:.0f} ms a call over {calls} calls, GO.db's "
          f"ancestor list read once instead of on every call)")

    m_genes = rng.sample(genes, 200)
    m_seconds, m_theirs = gs.mgenesim(m_genes)
    term_cache: dict[tuple[str, str], float] = {}

    def rounded_reading(a: list[str], b: list[str]) -> list[list[float]]:
        out = []
        for x in a:
            row = []
            for y in b:
                v = term_cache.get((x, y))
                if v is None:
                    v = term_cache[(x, y)] = gs.term("Lin", x, y, ancestors)
                row.append(v if math.isnan(v) else round(v, 3))
            out.append(row)
        return out

    cells = list(m_theirs.items())[:1000 if quick else 3000]
    diffs = [abs(gene_score(a, b, "BMA", rounded_reading, False) - t) for (a, b), t in cells]
    agree("reading of mgeneSim Lin x BMA (term scores rounded first)", worst_of(diffs),
          len(cells), "<= 5e-4", f" cells; {len(m_genes) - math.isqrt(len(m_theirs))} genes "
          f"dropped by it", kind="max abs diff")

    # ontarix against GOSemSim.
    index = ontarix.ClosureIndex({t: {"is_a": a | {t}} for t, a in ancestors.items()})
    annotations = gs.annotations()
    missing = build.annotation_ic()
    ic = None
    if missing:
        agree("annotation_information_content(count='annotations') vs its IC", None, 0, "",
              missing=missing)
    else:
        ic = index.annotation_information_content(annotations, count="annotations")
        worst = worst_of(rel_diff(ic.get(t, math.inf), gs.ic[t]) for t in finite)
        extra = sorted(set(ic) - set(finite))
        note = (f" finite entries; {len(extra)} terms of ours without an IC there (not in its"
                f" term table: {', '.join(extra[:3])}...)" if extra else "")
        agree("annotation_information_content(count='annotations') vs its IC", worst,
              len(finite), "<= 1e-12", note)
    missing = build.first(missing, build.with_ic(), build.term_matrix("lin"),
                          build.term_matrix("relevance"))
    idx_ic = None if missing else index.with_information_content(ic)
    if idx_ic is None:
        agree("Lin / Rel / Resnik term scores vs termSim", None, 0, "", missing=missing)
    else:
        max_ic = max(ic.values())
        have = [(a, b) for a in rows for b in cols if gs.has_ic(a) and gs.has_ic(b)]
        ours_rows = [a for a in rows if gs.has_ic(a)]
        ours_cols = [b for b in cols if gs.has_ic(b)]
        for method, measure, scale in (("Lin", "lin", 1.0), ("Rel", "relevance", 1.0),
                                       ("Resnik", "resnik", max_ic)):
            mat = idx_ic.term_similarity_matrix(ours_rows, ours_cols, measure=measure)
            ours = {(a, b): v / scale for a, r in zip(ours_rows, mat.tolist())
                    for b, v in zip(ours_cols, r)}
            worst = worst_of(rel_diff(ours[p], theirs[(method, *p)]) for p in have)
            agree(f"{measure}{' / max IC' if scale != 1.0 else ''} term scores vs termSim "
                  f"'{method}'", worst, len(have), "<= 1e-9")

        def lin_matrix_ours(a: list[str], b: list[str]) -> list[list[float]]:
            return idx_ic.term_similarity_matrix(a, b, measure="lin").tolist()

        worst, same, n = gene_agreement(lin_matrix_ours, True)
        agree("lin gene scores, GOSemSim's conventions in Python, vs geneSim", worst, n,
              "<= 5e-4, its 3-decimal rounding", f"; {same} equal once rounded (NA alike)",
              kind="max abs diff")

    gosemsim_wang(build, gs, rng)

    # Speed.
    header("GOSemSim")
    profiles = [{t for t in gene_terms[g] if gs.has_ic(t)} for g in m_genes]
    missing = build.first(missing, build.profile_matrix("lin", "bma"))
    mod = None if missing else best_of(
        lambda: idx_ic.similarity_matrix(profiles, measure="lin", combine="bma"), rep)
    speed("lin x bma matrix of 200 genes' BP profiles (mgeneSim Lin + BMA)", m_seconds, mod,
          "target >= 1000x", missing)

    expansions = {t: a | {t} for t, a in ancestors.items()}
    as_sets = {g: set(terms) for g, terms in annotations.items()}
    for count, given in (("annotations", annotations), ("objects", as_sets)):
        base = best_of(lambda: py_annotation_ic(given, expansions, count), max(1, rep // 2))
        missing = build.annotation_ic()
        mod = None
        if not missing:
            mod = best_of(lambda: index.annotation_information_content(given, count=count), rep)
            ref = py_annotation_ic(given, expansions, count)
            got = index.annotation_information_content(given, count=count)
            w = worst_of(rel_diff(got.get(t, math.nan), v) for t, v in ref.items())
            extra = len(got.keys() - ref.keys())
            print(f"  annotation_information_content(count={count!r}) vs the loop: max rel diff "
                  f"{w:.2e} over {len(ref)} terms, {extra} extra terms (target <= 1e-12, none)")
        speed(f"annotation_information_content, {len(given)} genes, count={count!r} "
              f"(Python loop)", base, mod, "target >= 10x", missing)

    if headline:
        everyone = {g: set(t) for g, t in annotations.items()}
        n = len(everyone)
        missing = build.first(build.with_ic(), build.top_k("lin", "bma"))
        if missing or idx_ic is None:
            print(f"  headline: top_k all-vs-all, {n} gene BP profiles, k=10, lin x bma: not "
                  f"available in this build ({missing or 'no IC from the annotations'})")
        else:
            gc.collect()
            t0 = time.perf_counter()
            idx_ic.top_k(everyone, k=10, measure="lin", combine="bma")
            dt = time.perf_counter() - t0
            print(f"  headline: top_k all-vs-all, {n} gene BP profiles, k=10, lin x bma: "
                  f"{dt:.1f} s, {n * (n - 1) / dt / 1e6:.1f} M ordered pairs/s (target < 60 s)",
                  flush=True)


# ---------------------------------------------------------------- GOATOOLS

def goatools_section(build: Build, rep: int, quick: bool) -> None:
    edges = data.load_go_bp_edges()
    if edges is None:
        print("\nWang: GO.db could not be fetched (see data.py): Wang rows skipped")
        return
    raw, _ = edges
    rows = [(c, peers.GO_DB_RELATIONS[r], p) for c, r, p in raw if p != "all"]
    terms = sorted({c for c, _, _ in rows} | {p for _, _, p in rows})
    d = data.cache_dir() / "wang"
    d.mkdir(exist_ok=True)
    obo = d / "go_bp_from_go_db.obo"
    if not obo.exists():
        con = sqlite3.connect(str(data.go_sqlite()))
        try:
            names = dict(con.execute("select go_id, term from go_term"))
        finally:
            con.close()
        peers.write_obo(rows, names, "biological_process", obo)
    print(f"\nWang on GO BP (GO.db's {len(rows)} relation rows, {len(terms)} terms; GOATOOLS "
          f"reads them as {obo.name} in the cache)")
    rng = random.Random(35)
    sample = rng.sample(terms, 300 if quick else 1000)
    pairs = [tuple(rng.sample(sample, 2)) for _ in range(1000 if quick else 3000)]
    pairs += [(sample[0], sample[0])]
    regulates = {"regulates", "negatively_regulates", "positively_regulates"}
    configs = (
        ("is_a 0.8 + part_of 0.6", {"part_of"}, {"is_a": 0.8, "part_of": 0.6},
         {"is_a", "part_of"}, {"is_a": 0.8, "part_of": 0.6}),
        ("5 relations, regulates* 0.7 (the defaults)", {"part_of"} | regulates,
         {"is_a": 0.8, "part_of": 0.6} | dict.fromkeys(regulates, 0.7), None, None),
    )
    for label, go_rels, go_weights, follow, wang_weights in configs:
        try:
            sswang, build_time = peers.goatools_wang(obo, sample, go_rels, go_weights)
        except peers.PeerMissing as exc:
            print(f"  GOATOOLS: {exc}: GOATOOLS rows skipped")
            return
        t0 = time.perf_counter()
        theirs = [sswang.get_sim(a, b) for a, b in pairs]
        call_time = (time.perf_counter() - t0) / len(pairs)
        parents = peers.weighted_parents(rows, go_weights, None)
        sv: dict[str, dict[str, float]] = {}
        for t in sample:
            sv[t] = peers.wang_svalues(t, parents)
        mine = [peers.wang_from_svalues(sv[a], sv[b]) for a, b in pairs]
        agree(f"reading of GOATOOLS SsWang, {label}", worst_of(map(rel_diff, mine, theirs)),
              len(pairs), "the paper's maximum over paths, <= 1e-12")
        missing = build.wang()
        if missing:
            agree(f"wang vs GOATOOLS, {label}", None, 0, "", missing=missing)
            speed(f"wang per call, {label} (GOATOOLS get_sim)", call_time, None, "", missing)
            continue
        idx = ontarix.ClosureIndex.from_relationships(rows, follow=follow,
                                                      wang_weights=wang_weights)
        f = idx.term_similarity
        ours = [f(a, b, measure="wang") for a, b in pairs]
        agree(f"wang vs GOATOOLS, {label}", worst_of(map(rel_diff, ours, theirs)), len(pairs),
              "<= 1e-12")
        mod = best_of(lambda: [f(a, b, measure="wang") for a, b in pairs], rep) / len(pairs)
        speed(f"wang per call, {label} (GOATOOLS get_sim)", call_time, mod,
              f"GOATOOLS' SsWang build for {len(sample)} terms: {build_time:.2f} s")
    goatools_ic(build, rep, quick, obo, rows, rng)


def read_sets(path: Path) -> dict[str, set[str]]:
    sets: dict[str, set[str]] = {}
    with open(path, newline="", encoding="utf-8") as f:
        for key, term in csv.reader(f):
            sets.setdefault(key, set()).add(term)
    return sets


def goatools_ic(build: Build, rep: int, quick: bool, obo: Path,
                rows: list[tuple[str, str, str]], rng: random.Random) -> None:
    """GOATOOLS' Resnik, Lin and Schlicker (relevance) with its TermCounts IC from the human
    genes' BP profiles (every evidence code), all over is_a alone, which is what its
    common-ancestor search follows."""
    ds = data.load_go()
    if ds is None:
        print("  GO's gene profiles could not be fetched (see data.py): GOATOOLS IC rows skipped")
        return
    profiles = read_sets(ds.input_file)
    try:
        g = peers.GoatoolsIc(obo, profiles)
    except peers.PeerMissing as exc:
        print(f"  GOATOOLS: {exc}: its IC rows skipped")
        return
    theirs_ic = g.ic()
    anc = peers.ancestor_sets(rows, {"is_a"})
    expansions = {t: a | {t} for t, a in anc.items()}
    expansions.setdefault("GO:0008150", {"GO:0008150"})
    print(f"  GOATOOLS TermCounts of {len(profiles)} genes' BP profiles, is_a only: "
          f"{len(theirs_ic)} terms counted in {g.count_seconds:.1f} s")
    mine_ic = py_annotation_ic(profiles, expansions, "objects")
    agree("reading of TermCounts IC (count='objects' over is_a)",
          worst_of(rel_diff(mine_ic.get(t, math.nan), v) for t, v in theirs_ic.items()),
          len(theirs_ic), "exact", f" terms; {len(mine_ic.keys() - theirs_ic.keys())} more in "
          f"the reading")
    counted = sorted(t for t, v in theirs_ic.items() if v > 0)
    uncounted = sorted(set(expansions) - theirs_ic.keys())
    pairs = [tuple(rng.sample(counted, 2)) for _ in range(300 if quick else 1000)]
    # A term no gene reaches, against an ancestor of it that genes do reach: lin_sim's None.
    lone = next((u, x) for u in uncounted for x in sorted(anc.get(u, ()))
                if theirs_ic.get(x, 0.0) > 0)
    pairs += [(counted[0], counted[0]), (uncounted[0], uncounted[0]), lone,
              (counted[2], "GO:0008150")]
    for measure in ("resnik", "lin", "relevance"):
        peer = getattr(g, measure)
        theirs = [peer(a, b) for a, b in pairs]
        mine = [peers.goatools_ic_reading(measure, a, b, anc, theirs_ic) for a, b in pairs]
        nones = sum(t is None for t in theirs)
        agree(f"reading of GOATOOLS {GOATOOLS_NAMES[measure]} ({measure})",
              worst_of(math.inf if (x is None) != (t is None) else
                       0.0 if x is None or t is None else rel_diff(x, t)
                       for x, t in zip(mine, theirs)),
              len(pairs), "<= 1e-12", f" pairs, {nones} of them None")
    missing = build.annotation_ic()
    if missing:
        agree("annotation_information_content(count='objects') vs TermCounts", None, 0, "",
              missing=missing)
        return
    idx = ontarix.ClosureIndex.from_relationships(rows, follow={"is_a"}, reflexive=True)
    ic = idx.annotation_information_content(profiles, count="objects")
    agree("annotation_information_content(count='objects') vs TermCounts",
          worst_of(rel_diff(ic.get(t, math.nan), v) for t, v in theirs_ic.items()),
          len(theirs_ic), "<= 1e-12", f" terms; {len(ic.keys() - theirs_ic.keys())} more in ours")
    missing = build.first(build.with_ic(), build.term_call("resnik"), build.term_call("lin"),
                          build.term_call("relevance"))
    if missing:
        agree("resnik / lin / relevance vs GOATOOLS", None, 0, "", missing=missing)
        return
    idx = idx.with_information_content(ic)
    # Where an IC is 0 GOATOOLS has its own rules (None, or 1.0 for a term with itself).
    both = [(a, b) for a, b in pairs if theirs_ic.get(a, 0.0) != 0 and theirs_ic.get(b, 0.0) != 0]
    for measure in ("resnik", "lin", "relevance"):
        peer = getattr(g, measure)
        f = idx.term_similarity
        theirs = [peer(a, b) for a, b in both]
        ours = [f(a, b, measure=measure) for a, b in both]
        agree(f"{measure} vs GOATOOLS {GOATOOLS_NAMES[measure]}",
              worst_of(map(rel_diff, ours, theirs)), len(both), "<= 1e-12",
              " pairs of terms with an IC")
        base = best_of(lambda: [peer(a, b) for a, b in both], 1) / len(both)
        mod = best_of(lambda: [f(a, b, measure=measure) for a, b in both], rep) / len(both)
        speed(f"{measure} per call (GOATOOLS {GOATOOLS_NAMES[measure]})", base, mod, "no target")



def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, smaller samples")
    ap.add_argument("--skip-headline", action="store_true", help="leave out the GO all-vs-all")
    ap.add_argument("--only", default="hpo3,gosemsim,goatools",
                    help="comma-separated sections among hpo3, gosemsim, goatools")
    args = ap.parse_args()
    rep = 2 if args.quick else 5
    only = set(args.only.split(","))
    print(f"python {sys.version.split()[0]}, {os.uname().machine}, {os.cpu_count()} CPUs, "
          f"{time.strftime('%Y-%m-%d')}")
    build = Build()
    if "hpo3" in only:
        hpo3_section(build, rep, args.quick)
    if "gosemsim" in only:
        gosemsim_section(build, rep, args.quick, not args.skip_headline)
    if "goatools" in only:
        goatools_section(build, rep, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
