"""The ontarix-rank command: one query's terms against every profile of an annotation file, ranked,
with p-values.

    ontarix-rank QUERY ONTOLOGY CANDIDATES [--measure M] [--combine C]
                 [--ic annotations|closure|FILE] [--pvalues exact|sampling|none] [--top N] [--json]

The job of phenotype-driven ranking: a patient's terms (QUERY) scored against every disease of
phenotype.hpoa (CANDIDATES) through hp.obo (ONTOLOGY), best first, each score with the p-value of
its directed score (the chance that a random query of the same size explains that candidate at
least as well) and the Benjamini-Hochberg q-value over all candidates. The candidates are prepared
once for the index and scored by one native call; the p-values are a second one.

rank_candidates() is the same ranking for a program that keeps the index and the candidates.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Iterable, Mapping, MutableMapping, Sequence, Set
from typing import TYPE_CHECKING, Any, NamedTuple, TextIO, cast

from ontarix_tools._measures import (COMBINE_HELP, COMBINES, IC_MEASURES, MEASURES_HELP,
                                     PROFILE_MEASURES, TERM_MEASURES, check_options, term_measure)
from ontarix_tools._output import (format_score, is_terminal, positive_int, report_error,
                                   write_stdout)

if TYPE_CHECKING:
    import ontarix

    from ontarix_tools.readers import Annotations

__all__ = ["Ranked", "main", "rank_candidates"]

PROG = "ontarix-rank"
COLUMNS = ("rank", "id", "name", "score", "p_value", "q_value")
PVALUE_METHODS = ("exact", "sampling", "none")
# Input files from which the work is worth a progress bar: HPO's hp.obo alone is 9 MB and takes
# over a second to parse, and an annotation file this size holds thousands of candidates whose
# exact p-values take seconds. Smaller inputs are done before a bar could be read.
LONG_WORK_BYTES = 4_000_000


class Ranked(NamedTuple):
    """One row of the ranking. p_value and q_value are None when no p-values were computed."""

    rank: int
    id: str
    name: str
    score: float
    p_value: float | None
    q_value: float | None


# ---- the ranking -------------------------------------------------------------------------------

def rank_candidates(index: ontarix.ClosureIndex, query: Set[str],
                    candidates: Mapping[str, Set[str]], *,
                    names: Mapping[str, str] | None = None, measure: str = "resnik",
                    combine: str | None = None, pvalues: str = "exact",
                    prepared: ontarix.PreparedProfiles | None = None,
                    null_distributions: MutableMapping[int, Any] | None = None) -> list[Ranked]:
    """Every candidate scored against query, best first.

    The score is measure (+ combine, for a term measure; None is funsimavg) of the query against
    the candidate. The p-value is that of the directed score of measure's term measure (resnik
    for phenomizer): index.pvalues(query, candidates, measure=..., method=pvalues); pvalues="none"
    computes none. q-values are Benjamini-Hochberg over every candidate. Rows are ordered by score
    (highest first, nan last), ties by p-value (smallest first), then by id; rank counts from 1.

    query: terms of the index (one it lacks would score as a term without ancestors, and count
        in the size of the random queries). prepared: index.prepare(candidates), when the caller
        keeps one. names: the candidates' names (missing ones are "").
    null_distributions: a dict the caller keeps between queries against the same index,
        candidates and measure, for exact p-values: it maps a query size to the candidates'
        score distributions (index.null_distributions), made on the first query of that size,
        so that later ones cost a fraction of the first.

    Raises ValueError for a p-value method other than exact, sampling or none, or p-values asked
    of a profile measure without term scores (jaccard, expanded_jaccard, simgic), and what the
    index raises for the measure and combine.
    """
    if pvalues not in PVALUE_METHODS:
        raise ValueError(f"pvalues must be one of {', '.join(map(repr, PVALUE_METHODS))}, "
                         f"not {pvalues!r}")
    scored_terms = term_measure(measure)
    if pvalues != "none" and scored_terms is None:
        raise ValueError(f"measure {measure!r} has no term scores, so no directed score to give "
                         'p-values: pass pvalues="none"')
    if prepared is None:
        prepared = index.prepare(candidates)
    scores = _score_row(index, query, prepared, measure, combine)
    p: list[float] | None = None
    q: list[float] | None = None
    if pvalues != "none":
        from ontarix_tools.stats import benjamini_hochberg

        if pvalues == "exact" and null_distributions is not None:
            null = null_distributions.get(len(query))
            if null is None:
                null = null_distributions[len(query)] = index.null_distributions(
                    prepared, len(query), measure=cast(Any, scored_terms))
            values = null.pvalues(query)
        else:
            values = index.pvalues(query, prepared, measure=cast(Any, scored_terms),
                                   method=cast(Any, pvalues))
        p, q = values.tolist(), benjamini_hochberg(values).tolist()
    ids = list(candidates)

    def order(i: int) -> tuple[bool, float, bool, float, str]:
        # nan sorts last by the flags; as 0.0 in the value it keeps the key totally ordered.
        score = scores[i]
        pv = math.nan if p is None else p[i]
        return (score != score, -score if score == score else 0.0, pv != pv,
                pv if pv == pv else 0.0, ids[i])

    shown = names or {}
    return [Ranked(rank, ids[i], shown.get(ids[i], ""), scores[i],
                   None if p is None else p[i], None if q is None else q[i])
            for rank, i in enumerate(sorted(range(len(ids)), key=order), 1)]


def _score_row(index: ontarix.ClosureIndex, query: Set[str],
               prepared: ontarix.PreparedProfiles, measure: str,
               combine: str | None) -> list[float]:
    """The query's score against every candidate, in the candidates' order: one row of the
    index's matrix, whose cells are the per-call scores."""
    row: list[float] = index.similarity_matrix([query], prepared, measure=cast(Any, measure),
                                               combine=cast(Any, combine))[0].tolist()
    return row


# ---- the command's inputs ----------------------------------------------------------------------

def read_query(text: str) -> list[str]:
    """QUERY's terms, each once, in their order: comma-separated, or "@FILE" with one term per line
    (blank lines skipped). Raises ValueError when it names no term, OSError for an unreadable FILE."""
    if text.startswith("@"):
        with open(text[1:], encoding="utf-8-sig") as f:
            terms = [line.strip() for line in f]
        where = f"query file {text[1:]}"
    else:
        terms = [term.strip() for term in text.split(",")]
        where = "QUERY"
    found = list(dict.fromkeys(term for term in terms if term))
    if not found:
        raise ValueError(f"{where} names no term")
    return found


def _is_obo(path: str) -> bool:
    name = path.lower()
    return name.endswith(".obo") or name.endswith(".obo.gz")


def _candidates_format(path: str) -> str:
    """hpoa, gaf or csv, by CANDIDATES' extension (a ".gz" suffix aside)."""
    name = path.lower().removesuffix(".gz")
    if name.endswith(".hpoa"):
        return "hpoa"
    return "gaf" if name.endswith(".gaf") else "csv"


def load_ontology(path: str) -> ontarix.ClosureIndex:
    """ONTOLOGY's index: an OBO file's is_a links, every term its own ancestor; else a closure file
    as ontarix-run reads it."""
    if _is_obo(path):
        from ontarix_tools.readers import read_obo_index

        return read_obo_index(path)
    import ontarix

    return ontarix.ClosureIndex.from_file(path)


def read_candidates(path: str) -> Annotations:
    """CANDIDATES' profiles and names: an HPOA file (aspect P), a GAF file, or the association CSV."""
    from ontarix_tools import readers

    kind = _candidates_format(path)
    if kind == "hpoa":
        return readers.read_hpoa(path)
    if kind == "gaf":
        return readers.read_gaf(path)
    return readers.read_associations(path)


def with_ic(index: ontarix.ClosureIndex, choice: str,
            profiles: Mapping[Any, Iterable[str]]) -> ontarix.ClosureIndex:
    """The index with the information content --ic names: "closure" (the index's own),
    "annotations" (estimated from the candidates' profiles, objects counted) or a file of
    "term,value" lines."""
    if choice == "closure":
        return index
    if choice == "annotations":
        return index.with_information_content(
            index.annotation_information_content(profiles, count="objects"))
    from ontarix_tools._inputs import read_information_content

    return index.with_information_content(read_information_content(choice))


# ---- the command -------------------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Rank every profile of CANDIDATES by its similarity to the terms of QUERY, with the "
            "p-value of each score. QUERY is comma-separated terms (HP:0001250,HP:0001263) or "
            "@FILE, one term per line. ONTOLOGY is an OBO file (.obo: its is_a links, each term "
            "its own ancestor; needs pip install 'ontarix[obo]') or a closure file as for "
            "ontarix-run. CANDIDATES is an HPO annotation file (.hpoa: phenotypic abnormalities, "
            "NOT rows left out), a GAF file (.gaf, .gaf.gz) or the association CSV of ontarix-run "
            "(object,term lines)."),
        epilog=(
            "Output columns: rank, id, name, score, p_value, q_value (tab-separated, with a header "
            "line; name and the p-value columns empty where there are none), best score first, "
            "ties by p-value, then by id. The p-value of a candidate is the probability that a "
            "random query of as many terms, drawn from the terms of the candidates, explains it "
            "at least as well: the directed score (the mean of the query terms' best scores in "
            "the candidate) of the measure's term measure (resnik for phenomizer). q-values are "
            "Benjamini-Hochberg over all candidates. Query terms the ontology lacks are left out, "
            "named in one warning line on standard error. A progress bar goes to standard error "
            "when it is a terminal and the input files are large."))
    p.add_argument("query", metavar="QUERY", help="comma-separated terms, or @FILE")
    p.add_argument("ontology", metavar="ONTOLOGY", help="OBO file or closure file")
    p.add_argument("candidates", metavar="CANDIDATES",
                   help="HPO annotation file, GAF file or association CSV")
    p.add_argument("--measure", choices=(*TERM_MEASURES, *PROFILE_MEASURES), default="resnik",
                   metavar="M", help=f"the score (default resnik): {MEASURES_HELP}")
    p.add_argument("--combine", choices=COMBINES, metavar="C", help=COMBINE_HELP)
    p.add_argument("--ic", metavar="annotations|closure|FILE",
                   help="information content: annotations (estimated from CANDIDATES, "
                        "-ln(share of its objects annotated with a term or a descendant); the "
                        "default for HPOA and GAF files), closure (ONTOLOGY's own; the default for "
                        'the CSV) or a file of "term,value" lines')
    p.add_argument("--pvalues", choices=PVALUE_METHODS,
                   help="exact (the default for term measures and phenomizer), sampling (100,000 "
                        "random queries, seeded) or none (the default for jaccard, "
                        "expanded_jaccard and simgic, which have no term scores)")
    p.add_argument("--top", metavar="N", type=positive_int, help="print only the N best rows")
    p.add_argument("--json", action="store_true",
                   help="print a JSON list of objects with the columns as keys")
    return p


def progress_wanted(stream: TextIO | None, input_bytes: int) -> bool:
    """Whether to draw the progress bar: on a terminal, for inputs large enough to take seconds."""
    return input_bytes >= LONG_WORK_BYTES and is_terminal(stream)


def _input_bytes(*paths: str) -> int:
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:  # reported when the file is read
            pass
    return total


class _Stages:
    """The command's steps as a progress bar on standard error, each named while it runs; nothing
    at all when not shown. The bar is cleared when done, leaving the terminal to the output."""

    def __init__(self, show: bool, steps: int) -> None:
        self.show = show
        self.steps = steps
        self.bar: Any = None

    def start(self, what: str) -> None:
        if not self.show:
            return
        desc = f"{PROG}: {what}"
        if self.bar is None:
            from tqdm import tqdm  # type: ignore[import-untyped]

            self.bar = tqdm(total=self.steps, desc=desc, file=sys.stderr, leave=False,
                            bar_format="{desc} {bar:20} {n_fmt}/{total_fmt} [{elapsed}]")
        else:
            self.bar.update(1)
            self.bar.set_description_str(desc)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _known_terms(index: ontarix.ClosureIndex, terms: list[str], ontology: str) -> set[str]:
    """The query's terms that the index holds; the others named in one warning line."""
    missing = [term for term in terms if term not in index]
    if len(missing) == len(terms):
        raise ValueError(f"none of the query's terms is in {ontology}: {', '.join(missing)}")
    if missing:
        print(f"{PROG}: warning: {ontology} lacks {len(missing)} of the query's terms, left out: "
              f"{', '.join(missing)}", file=sys.stderr)
    return {term for term in terms if term in index}


def _rank(args: argparse.Namespace, stages: _Stages) -> list[Ranked]:
    terms = read_query(args.query)
    stages.start(f"reading {os.path.basename(args.ontology)}")
    index = load_ontology(args.ontology)
    query = _known_terms(index, terms, args.ontology)
    stages.start(f"reading {os.path.basename(args.candidates)}")
    profiles, names = read_candidates(args.candidates)
    if not profiles:
        raise ValueError(f"{args.candidates}: no profile to rank")
    if args.measure in IC_MEASURES:
        stages.start("information content")
        index = with_ic(index, args.ic, profiles)
    stages.start(f"scoring {len(profiles):,} candidates"
                 + ("" if args.pvalues == "none" else f", {args.pvalues} p-values"))
    return rank_candidates(index, query, profiles, names=names, measure=args.measure,
                           combine=args.combine, pvalues=args.pvalues)


def _write_tsv(out: TextIO, rows: Sequence[Ranked]) -> None:
    def number(value: float | None) -> str:
        return "" if value is None else format_score(value)

    out.write("\t".join(COLUMNS) + "\n")
    for r in rows:
        out.write(f"{r.rank}\t{r.id}\t{r.name}\t{format_score(r.score)}\t{number(r.p_value)}\t"
                  f"{number(r.q_value)}\n")


def _write_json(out: TextIO, rows: Sequence[Ranked]) -> None:
    # JSON has no NaN: a value that is not a number becomes null, like a p-value not computed.
    def number(value: float | None) -> float | None:
        return None if value is None or value != value else value

    json.dump([{"rank": r.rank, "id": r.id, "name": r.name, "score": number(r.score),
                "p_value": number(r.p_value), "q_value": number(r.q_value)} for r in rows],
              out, indent=1, allow_nan=False)
    out.write("\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ontarix-rank with the arguments argv (default: sys.argv[1:]) and returns its exit
    status: 0, or 1 after a one-line error on standard error (usage errors exit with 2)."""
    parser = _parser()
    args = parser.parse_args(argv)
    check_options(parser, args.measure, args.combine, args.ic)
    directed = term_measure(args.measure)
    if args.pvalues is None:
        args.pvalues = "none" if directed is None else "exact"
    elif args.pvalues != "none" and directed is None:
        parser.error(f"--pvalues {args.pvalues} needs a measure with term scores (the p-value is "
                     f"that of their directed score); {args.measure} has none: use --pvalues none")
    if args.ic is None:
        args.ic = "closure" if _candidates_format(args.candidates) == "csv" else "annotations"
    steps = 3 + (args.measure in IC_MEASURES)
    show = progress_wanted(sys.stderr, _input_bytes(args.ontology, args.candidates))
    stages = _Stages(show, steps)
    try:
        rows = _rank(args, stages)
    except BaseException as exc:  # the module's PanicException derives from BaseException
        stages.close()
        return report_error(PROG, exc)
    stages.close()
    if args.top is not None:
        del rows[args.top:]
    write_stdout(lambda out: (_write_json if args.json else _write_tsv)(out, rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
