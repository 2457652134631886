"""Command line for ontarix's batch comparison.

    ontarix-run INPUT CLOSURE [--json]

Compares every named term set of INPUT with the set named "set1", both expanded through CLOSURE
(two comma-separated association files), and prints one row per set: its id, the Jaccard index of
the two expanded sets, and the sizes of the two expanded sets, highest score first.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
from typing import Any, Sequence

PROG = "ontarix-run"


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            'Compare every named term set of INPUT with the set named "set1". Both files are '
            "comma-separated association files without a header: INPUT pairs a set name with one "
            "term per line, CLOSURE pairs a term with one term it expands to (list a term with "
            "itself to keep it). Each set is expanded through CLOSURE and scored by the Jaccard "
            "index of its expansion and the expansion of set1."),
        epilog="Output columns: set_id, best_score, subject_size (expanded set1), "
               "object_size (expanded set). Rows are sorted by score, highest first, then by set id.")
    p.add_argument("input", metavar="INPUT", help="association file of named term sets")
    p.add_argument("closure", metavar="CLOSURE", help="association file of term expansions")
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


def _rows(records: Sequence[Any]) -> list[dict[str, Any]]:
    rows = [
        {
            "set_id": r.get_set_id(),
            "best_score": r.get_best_score(),
            "subject_size": len(r.get_subject_termset()),
            "object_size": len(r.get_object_termset()),
        }
        for r in records
    ]
    rows.sort(key=lambda d: (-d["best_score"], d["set_id"]))
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        records = _run_quietly(args.input, args.closure)
    except BaseException as exc:  # the module's PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        print(f"{PROG}: error: {text}", file=sys.stderr)
        return 1
    rows = _rows(records)
    out = sys.stdout
    try:
        if args.json:
            json.dump(rows, out, indent=1, allow_nan=False)
            out.write("\n")
        else:
            out.write("set_id\tbest_score\tsubject_size\tobject_size\n")
            for d in rows:
                score = d["best_score"]
                shown = repr(score) if math.isfinite(score) else str(score)
                out.write(f"{d['set_id']}\t{shown}\t{d['subject_size']}\t{d['object_size']}\n")
        out.flush()
    except BrokenPipeError:  # e.g. piped into head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
