"""Reading the command lines' input files in Python, by the rules the native reader of `run` keeps.

INPUT and CLOSURE are association files: comma-separated, no header, UTF-8 with an optional byte
order mark, RFC 4180 quoting, every line as wide as the first (further columns ignored), blank
lines skipped. The closure file goes to ClosureIndex.from_file; INPUT and the information-content
file are read here, since the index takes profiles and IC values as Python mappings.
"""

from __future__ import annotations

import csv
import math
from collections.abc import Iterator
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import ontarix


def _records(path: str, what: str) -> Iterator[tuple[int, str, str]]:
    """(line number, first field, second field) of every non-blank line of an association file.
    Raises OSError for an unreadable file and ValueError, naming the file and line, for a bad one."""
    with open(path, encoding="utf-8-sig", newline="") as f:
        reader = csv.reader(f, strict=True)
        width = 0
        try:
            for row in reader:
                if not row:
                    continue
                if not width:
                    width = len(row)
                    if width < 2:
                        raise ValueError(f"{what} {path}, line {reader.line_num}: "
                                         "expected two comma-separated fields")
                elif len(row) != width:
                    raise ValueError(f"{what} {path}, line {reader.line_num}: {len(row)} fields, "
                                     f"where the first line has {width}")
                yield reader.line_num, row[0], row[1]
        except csv.Error as exc:
            raise ValueError(f"{what} {path}, line {reader.line_num}: {exc}") from None
        except UnicodeDecodeError as exc:
            raise ValueError(f"{what} {path}: not UTF-8 ({exc.reason} at byte {exc.start})") from None


def read_sets(path: str) -> dict[str, set[str]]:
    """The named term sets of an INPUT file, in the order their names first appear."""
    sets: dict[str, set[str]] = {}
    for _, name, term in _records(path, "INPUT"):
        sets.setdefault(name, set()).add(term)
    return sets


def read_information_content(path: str) -> dict[str, float]:
    """The "term,information content" lines of an IC file. A value must be a finite number and a
    term may be listed once: either mistake would silently change every score."""
    values: dict[str, float] = {}
    for line, term, text in _records(path, "IC file"):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise ValueError(f"IC file {path}, line {line}: {text!r} is not a finite number")
        if term in values:
            raise ValueError(f"IC file {path}, line {line}: {term!r} is listed twice")
        values[term] = value
    return values


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
