"""The ontarix-run command: every named term set scored against the one named "set1".

    ontarix-run INPUT CLOSURE [--measure M] [--combine C] [--ic FILE] [--top K] [--json]

Compares every named term set of INPUT with the set named "set1" (two comma-separated association
files) and prints one row per set, highest score first: its id, the score, and the sizes of the
two sets compared. jaccard (the default) is ontarix.run's own: the Jaccard index of the sets
expanded through CLOSURE. Every other measure scores the sets themselves with the closure file's
ClosureIndex: a profile measure (phenomizer, simgic), or a term measure combined by --combine.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from typing import Any, Sequence, TextIO, cast

from ontarix_tools._measures import (CLOSURE_TERM_MEASURES, COMBINE_HELP, COMBINES,
                                     check_options)
from ontarix_tools._output import format_score, positive_int, report_error, write_stdout

__all__ = ["main"]

PROG = "ontarix-run"


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            'Compare every named term set of INPUT with the set named "set1". Both files are '
            "comma-separated association files without a header: INPUT pairs a set name with one "
            "term per line, CLOSURE pairs a term with one term it expands to (list a term with "
            "itself to keep it). By default each set is expanded through CLOSURE and scored by the "
            "Jaccard index of its expansion and the expansion of set1."),
        epilog="Output columns: set_id, best_score, subject_size, object_size: the sizes of set1 "
               "and of the set, expanded for jaccard, as given for the other measures. Rows are "
               "sorted by score, highest first, then by set id.")
    p.add_argument("input", metavar="INPUT", help="association file of named term sets")
    p.add_argument("closure", metavar="CLOSURE", help="association file of term expansions")
    p.add_argument("--measure", choices=("jaccard", "phenomizer", "simgic", *CLOSURE_TERM_MEASURES),
                   default="jaccard", metavar="M",
                   help="jaccard (default): Jaccard index of the expanded sets; phenomizer: "
                        "best-match average of the terms' Resnik scores; simgic: information "
                        "content shared by the sets' expansions; or a term measure ("
                        + ", ".join(CLOSURE_TERM_MEASURES) + ") combined by --combine. The "
                        "measures of information content read CLOSURE's own unless --ic gives one")
    p.add_argument("--combine", choices=COMBINES, metavar="C", help=COMBINE_HELP)
    p.add_argument("--ic", metavar="FILE",
                   help='"term,information content" lines to use instead (not with jaccard); '
                        "terms it lacks have 0.0")
    p.add_argument("--top", metavar="K", type=positive_int,
                   help="print only the K best rows")
    p.add_argument("--json", action="store_true",
                   help="print a JSON array of objects instead of tab-separated text")
    return p


def _run_quietly(input_file: str, closure_file: str) -> list[Any]:
    """Calls ontarix.run with the native diagnostic on fd 2 captured, so that a failure reaches
    the user as one clear line rather than a diagnostic plus a message."""
    import ontarix

    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            return ontarix.run(input_file, closure_file)
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def _sorted(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    rows.sort(key=lambda d: (-d["best_score"], d["set_id"]))
    return rows


def _jaccard_rows(input_file: str, closure_file: str) -> list[dict[str, Any]]:
    return _sorted([
        {
            "set_id": r.get_set_id(),
            "best_score": r.get_best_score(),
            "subject_size": len(r.get_subject_termset()),
            "object_size": len(r.get_object_termset()),
        }
        for r in _run_quietly(input_file, closure_file)
    ])


def _index_rows(input_file: str, closure_file: str, ic_file: str | None, measure: str,
                combine: str | None) -> list[dict[str, Any]]:
    from ontarix_tools._inputs import load

    index, sets = load(input_file, closure_file, ic_file)
    if "set1" not in sets:
        raise ValueError(f'INPUT {input_file} has no set named "set1"')
    reference = sets["set1"]
    # One row of the matrix: a cell is the per-call score of its pair, the sets converted once.
    matrix = index.similarity_matrix([reference], list(sets.values()), measure=cast(Any, measure),
                                     combine=cast(Any, combine))
    scores: list[float] = matrix[0].tolist()
    return _sorted([
        {
            "set_id": name,
            "best_score": score,
            "subject_size": len(reference),
            "object_size": len(terms),
        }
        for (name, terms), score in zip(sets.items(), scores)
    ])


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ontarix-run with the arguments argv (default: sys.argv[1:]) and returns its exit
    status: 0, or 1 after a one-line error on standard error (usage errors exit with 2)."""
    parser = _parser()
    args = parser.parse_args(argv)
    check_options(parser, args.measure, args.combine, args.ic)
    try:
        if args.measure == "jaccard":
            rows = _jaccard_rows(args.input, args.closure)
        else:
            rows = _index_rows(args.input, args.closure, args.ic, args.measure, args.combine)
    except BaseException as exc:  # the module's PanicException derives from BaseException
        return report_error(PROG, exc)
    if args.top is not None:
        del rows[args.top:]

    def write(out: TextIO) -> None:
        if args.json:
            json.dump(rows, out, indent=1, allow_nan=False)
            out.write("\n")
            return
        out.write("set_id\tbest_score\tsubject_size\tobject_size\n")
        for d in rows:
            out.write(f"{d['set_id']}\t{format_score(d['best_score'])}\t"
                      f"{d['subject_size']}\t{d['object_size']}\n")

    write_stdout(write)
    return 0


if __name__ == "__main__":
    sys.exit(main())
