"""Reading the command lines' input files in Python, by the rules the native reader of `run` keeps.

INPUT and CLOSURE are association files: comma-separated, no header, UTF-8 with an optional byte
order mark, RFC 4180 quoting, every line as wide as the first (further columns ignored), blank
lines skipped. The closure file goes to ClosureIndex.from_file; INPUT and the information-content
file are read here, since the index takes profiles and IC values as Python mappings.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

from ontarix_tools import readers

if TYPE_CHECKING:
    import ontarix


def _records(path: str, what: str) -> Iterator[tuple[int, str, str]]:
    """(line number, first field, second field) of every non-blank line of an association file.
    Raises OSError for an unreadable file and ValueError, naming the file and line, for a bad one.
    The commands take a ".gz" name as the native reader of `run` does: as plain text."""
    try:
        yield from readers.association_records(path, gzipped=False)
    except readers.FileFormatError as exc:
        raise ValueError(f"{what} {exc}") from None


def read_sets(path: str) -> dict[str, set[str]]:
    """The named term sets of an INPUT file, in the order their names first appear."""
    sets: dict[str, set[str]] = {}
    for _, name, term in _records(path, "INPUT"):
        sets.setdefault(name, set()).add(term)
    return sets


def read_information_content(path: str) -> dict[str, float]:
    """The "term,information content" lines of an IC file (see readers.read_information_content)."""
    try:
        return readers.read_information_content(path)
    except readers.FileFormatError as exc:
        raise ValueError(f"IC file {exc}") from None


def check_terms(sets: dict[str, set[str]], index: ontarix.ClosureIndex) -> None:
    """Every term of INPUT must be a term of the closure file, as `run` requires: a term the
    index lacks would silently score as one with no ancestors (usually a typo or an obsolete id)."""
    for name, terms in sets.items():
        missing = [term for term in terms if term not in index]
        if missing:
            raise ValueError(f"term {min(missing)!r} of set {name!r} is not in the closure file")


def load(input_file: str, closure_file: str,
         ic_file: str | None) -> tuple[ontarix.ClosureIndex, dict[str, set[str]]]:
    """The closure file's index (with the IC file's values, if one is given) and INPUT's sets,
    every term of which the index knows."""
    import ontarix

    information_content = None if ic_file is None else read_information_content(ic_file)
    index = ontarix.ClosureIndex.from_file(closure_file, information_content=information_content)
    sets = read_sets(input_file)
    check_terms(sets, index)
    return index, sets
