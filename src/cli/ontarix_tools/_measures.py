"""The measure names the command lines offer, and the rules for combining --measure, --combine and
--ic, checked before any file is read so that a mistake is a usage error (exit status 2).

The names are the index's own (ClosureIndex.similarity and friends); the commands list them as
argparse choices so that --help shows them and a typo fails at once.
"""

from __future__ import annotations

import argparse

# Term measures: scored per pair of terms and combined into a profile score by a combine.
TERM_MEASURES = ("resnik", "max_information_content", "lin", "jiang_conrath", "relevance",
                 "information_coefficient", "graph_ic", "semantic_jaccard", "wang")
# Profile measures: they score two sets directly and take no combine.
PROFILE_MEASURES = ("phenomizer", "jaccard", "expanded_jaccard", "simgic")
COMBINES = ("funsimavg", "funsimmax", "bma", "max", "avg", "directed")
# The measures whose scores read the information content; --ic means nothing to the others.
IC_MEASURES = frozenset({"resnik", "max_information_content", "lin", "jiang_conrath", "relevance",
                         "information_coefficient", "graph_ic", "phenomizer", "simgic"})
# Closure files hold no edges, and wang needs them: the commands reading closure files leave it out
# rather than let every run with it fail.
CLOSURE_TERM_MEASURES = tuple(m for m in TERM_MEASURES if m != "wang")

MEASURES_HELP = (
    "term measures (scored per pair of terms, then combined): " + ", ".join(TERM_MEASURES)
    + "; profile measures (no --combine): " + ", ".join(PROFILE_MEASURES))
COMBINE_HELP = ("how a term measure's scores become a profile score: " + ", ".join(COMBINES)
                + " (default funsimavg; resnik + funsimavg is phenomizer)")


def term_measure(measure: str) -> str | None:
    """The term measure behind a measure name: itself, resnik for phenomizer (resnik +
    funsimavg) and for its alias max_information_content; None for the other profile measures,
    which have no term scores."""
    if measure in ("phenomizer", "max_information_content"):
        return "resnik"
    return measure if measure in TERM_MEASURES else None


def check_options(parser: argparse.ArgumentParser, measure: str, combine: str | None,
                  ic: object) -> None:
    """Exits with a usage error (status 2) for a combine given with a profile measure, or an
    --ic given with a measure that does not read the information content."""
    if combine is not None and measure not in TERM_MEASURES:
        parser.error(f"--combine applies to the term measures only, not to {measure} "
                     "(a profile measure)")
    if ic is not None and measure not in IC_MEASURES:
        parser.error(f"--ic applies to the measures that read the information content, "
                     f"not to {measure}")
