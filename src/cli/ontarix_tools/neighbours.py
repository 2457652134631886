"""The ontarix-neighbours command: every named term set's nearest others.

    ontarix-neighbours INPUT CLOSURE [-k K] [--measure M] [--combine C] [--ic FILE]
                       [--threads N] [--scheduler ADDRESS] [--json]

ClosureIndex.top_k over all pairs of INPUT's sets, locally or, with --scheduler, on a Dask
cluster through distributed_top_k. The answer is the same either way.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import Any, TextIO

from ontarix_tools._blocks import Neighbours, is_symmetric, top_k_in_pieces
from ontarix_tools._measures import (CLOSURE_TERM_MEASURES, COMBINE_HELP, COMBINES,
                                     check_options)
from ontarix_tools._output import (format_score, is_terminal, positive_int, report_error,
                                   write_stdout)

PROG = "ontarix-neighbours"

# Pairs of profiles from which a search is worth a progress bar: a few seconds of phenomizer
# scores on two cores for GO-sized profiles. Shorter searches would only flash one.
LONG_WORK_PAIRS = 10_000_000


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Find the k most similar other sets of every named term set of INPUT. INPUT pairs a "
            "set name with one term per line, CLOSURE pairs a term with one term it expands to "
            "(comma-separated association files without a header, as for ontarix-run); every "
            "term of INPUT must be a term of CLOSURE."),
        epilog="Output columns: query, rank, neighbour, score; queries in INPUT's order, "
               "neighbours by score (highest first), ties by name. --json prints an object "
               'mapping each query to its list of {"neighbour", "score"} objects. A progress bar '
               "goes to standard error when it is a terminal and the search is long.")
    p.add_argument("input", metavar="INPUT", help="association file of named term sets")
    p.add_argument("closure", metavar="CLOSURE", help="association file of term expansions")
    p.add_argument("-k", type=positive_int, default=10, help="neighbours per set (default 10)")
    p.add_argument("--measure",
                   choices=("phenomizer", "jaccard", "expanded_jaccard", "simgic",
                            *CLOSURE_TERM_MEASURES),
                   default="phenomizer", metavar="M",
                   help="phenomizer (default): best-match average of the terms' Resnik scores; "
                        "jaccard: Jaccard index of the sets as given; expanded_jaccard: of the "
                        "sets expanded through CLOSURE; simgic: information content shared by "
                        "the expansions; or a term measure (" + ", ".join(CLOSURE_TERM_MEASURES)
                        + ") combined by --combine")
    p.add_argument("--combine", choices=COMBINES, metavar="C", help=COMBINE_HELP)
    p.add_argument("--ic", metavar="FILE",
                   help='"term,information content" lines to use instead of CLOSURE\'s own '
                        "(measures of information content only); terms it lacks have 0.0")
    p.add_argument("--threads", metavar="N", type=positive_int,
                   help="threads of the search (default: every CPU); with --scheduler, threads "
                        "of each task (default 1)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786; "
                        "needs pip install 'ontarix[dask]')")
    p.add_argument("--json", action="store_true", help="print JSON instead of tab-separated text")
    return p


def progress_wanted(stream: TextIO | None, pairs: int) -> bool:
    """Whether to draw a progress bar on stream: only on a terminal, and only for long work,
    so that logs and pipes receive nothing but errors."""
    return pairs >= LONG_WORK_PAIRS and is_terminal(stream)


def _search(args: argparse.Namespace, sets: dict[str, set[str]], index: Any) -> Neighbours:
    from tqdm import tqdm  # type: ignore[import-untyped]

    # Ordered pairs when the measure is not symmetric: each direction is scored.
    pairs = len(sets) * (len(sets) - 1) // (2 if is_symmetric(args.combine) else 1)
    show = progress_wanted(sys.stderr, pairs)
    with tqdm(total=pairs, unit="pair", unit_scale=True, desc=PROG, file=sys.stderr,
              disable=not show, delay=0.5) as bar:
        on_progress = bar.update if show else None
        if args.scheduler is not None:
            try:
                from distributed import Client
            except ImportError as exc:
                raise ImportError("--scheduler requires the optional dependency dask: "
                                  "pip install 'ontarix[dask]'") from exc
            from ontarix_tools.cluster import run_blocks

            client: Any = Client(args.scheduler)  # type: ignore[no-untyped-call]
            with client:
                return run_blocks(client, index, sets, None, k=args.k, measure=args.measure,
                                  combine=args.combine, threads=args.threads or 1,
                                  block_size=None, on_block=on_progress)
        if on_progress is not None:
            return top_k_in_pieces(index, sets, args.k, args.measure, args.threads, on_progress,
                                   combine=args.combine)
        result: Neighbours = index.top_k(sets, k=args.k, measure=args.measure,
                                         combine=args.combine, threads=args.threads)
        return result


def _write_tsv(out: TextIO, found: Neighbours) -> None:
    out.write("query\trank\tneighbour\tscore\n")
    for query, row in found.items():
        for rank, (name, score) in enumerate(row, 1):
            out.write(f"{query}\t{rank}\t{name}\t{format_score(score)}\n")


def _write_json(out: TextIO, found: Neighbours) -> None:
    # JSON has no NaN: a score that is not a number (a set with no terms scored) becomes null.
    shown = {
        query: [{"neighbour": name, "score": score if score == score else None}
                for name, score in row]
        for query, row in found.items()
    }
    json.dump(shown, out, indent=1, allow_nan=False)
    out.write("\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ontarix-neighbours with the arguments argv (default: sys.argv[1:]) and returns its exit
    status: 0, or 1 after a one-line error on standard error (usage errors exit with 2)."""
    parser = _parser()
    args = parser.parse_args(argv)
    check_options(parser, args.measure, args.combine, args.ic)
    try:
        from ontarix_tools._inputs import load

        index, sets = load(args.input, args.closure, args.ic)
        found = _search(args, sets, index)
    except BaseException as exc:  # the module's PanicException derives from BaseException
        return report_error(PROG, exc)
    write_stdout(lambda out: (_write_json if args.json else _write_tsv)(out, found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
