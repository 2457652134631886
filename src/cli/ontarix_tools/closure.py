"""Command line that turns an ontology's edges into the closure file of ontarix-run.

    ontarix-closure INPUT [--format csv|obo] [--follow P,Q,...] [--reflexive] [-o FILE]

Reads the direct parent links of an ontology, from an edge file (comma-separated child,
predicate, parent lines) or an OBO 1.4 document (the is_a and relationship lines of its [Term]
stanzas; obsolete terms skipped), computes their transitive closure with
ontarix.closure_from_relationships and writes it as sorted "term,ancestor" lines: the closure
file that `ontarix-run` and the module's readers take. OBO input needs the optional fastobo
package (pip install 'ontarix[obo]').
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import os
import sys
import tempfile
from typing import IO, Any, Iterator, Sequence

from ontarix_tools.readers import FileFormatError, read_obo_relationships

PROG = "ontarix-closure"
LABEL = "rdfs:subClassOf"
Row = tuple[str, str, str]


class CommandError(Exception):
    """A failure explained in one line to the user."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Compute the transitive closure of an ontology's parent links and write it as a "
            "closure file: one 'term,ancestor' line for every term and each term it reaches "
            "through the followed links, sorted. INPUT is an OBO 1.4 file (is_a and "
            "relationship lines of [Term] stanzas; obsolete terms skipped; needs "
            "pip install 'ontarix[obo]') or a comma-separated edge file of child,predicate,parent "
            "lines without a header (UTF-8, RFC 4180 quoting). '-' reads standard input."),
        epilog=(
            "For ontarix-run, pass --reflexive: every term of its input files must have a line, "
            "and a term keeps itself only if the closure lists it. Predicates of OBO input are "
            "'is_a' and the relation named on each relationship line (e.g. part_of)."))
    p.add_argument("input", metavar="INPUT", help="OBO file or CSV edge file ('-': standard input)")
    p.add_argument("--format", choices=("csv", "obo"),
                   help="input format (default: obo for a .obo file, csv otherwise)")
    p.add_argument("--follow", metavar="P,Q", type=_predicates,
                   help="comma-separated predicates to follow (default: all)")
    p.add_argument("--reflexive", action="store_true",
                   help="also list every term of a followed link as its own ancestor")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write here (replaced only once complete) instead of standard output")
    return p


def _predicates(text: str) -> frozenset[str]:
    return frozenset(p.strip() for p in text.split(",") if p.strip())


# ---- reading -----------------------------------------------------------------------------------

def _open_text(path: str) -> IO[str]:
    if path == "-":
        return io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
    return open(path, encoding="utf-8-sig", newline="")


def read_edge_csv(path: str) -> list[Row]:
    rows: list[Row] = []
    with _open_text(path) as f:
        reader = csv.reader(f, strict=True)
        try:
            for fields in reader:
                if not fields:
                    continue  # a blank line
                if len(fields) != 3:
                    raise CommandError(f"{path}:{reader.line_num}: expected 3 fields "
                                       f"(child,predicate,parent), found {len(fields)}")
                rows.append((fields[0], fields[1], fields[2]))
        except csv.Error as exc:
            raise CommandError(f"{path}:{reader.line_num}: {exc}") from None
        except UnicodeDecodeError as exc:
            raise CommandError(f"{path}: not UTF-8 text ({exc.reason})") from None
    return rows


def read_obo(path: str) -> list[Row]:
    try:
        return read_obo_relationships(sys.stdin.buffer if path == "-" else path)
    except FileFormatError as exc:
        where = path if exc.lineno is None else f"{path}:{exc.lineno}"
        raise CommandError(f"{where}: {exc.msg}") from None


# ---- writing -----------------------------------------------------------------------------------

def _field(text: str) -> str:
    """RFC 4180: a field with a comma, a quote or a line break is quoted, quotes doubled."""
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def closure_lines(closure: dict[str, dict[str, set[str]]]) -> Iterator[str]:
    fields: dict[str, str] = {}

    def field(text: str) -> str:
        shown = fields.get(text)
        if shown is None:
            shown = fields[text] = _field(text)
        return shown

    for term in sorted(closure):
        head = field(term) + ","
        yield "".join(head + field(a) + "\n" for a in sorted(closure[term][LABEL]))


class ReplacingFile:
    """A temporary file beside `path`, renamed over `path` when the block completes and removed
    when it fails, so that no partial file is ever seen (and an existing one stays as it was).
    Created on entry, so that an unusable path fails before any work."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.temporary: str | None = None

    def _fail(self, exc: OSError) -> CommandError:
        return CommandError(f"{self.path}: {exc.strerror or exc}")

    def __enter__(self) -> IO[str]:
        if os.path.isdir(self.path):
            raise CommandError(f"{self.path}: Is a directory")
        directory = os.path.dirname(os.path.abspath(self.path))
        try:
            fd, self.temporary = tempfile.mkstemp(
                dir=directory, prefix=f".{os.path.basename(self.path)}.", suffix=".tmp")
        except OSError as exc:
            raise self._fail(exc) from None
        self.file = os.fdopen(fd, "w", encoding="utf-8", newline="")
        return self.file

    def __exit__(self, kind: Any, exc: Any, traceback: Any) -> None:
        assert self.temporary is not None
        try:
            if kind is None:
                try:
                    self.file.flush()
                    os.fsync(self.file.fileno())
                    self.file.close()
                    umask = os.umask(0)
                    os.umask(umask)
                    # mkstemp's 0600 suits the temporary file, not the result
                    os.chmod(self.temporary, 0o666 & ~umask)
                    os.replace(self.temporary, self.path)
                    return
                except OSError as error:
                    raise self._fail(error) from None
        finally:
            self.file.close()
            if os.path.exists(self.temporary):
                os.unlink(self.temporary)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.filename}: {exc.strerror}" if exc.filename else exc.strerror
    if isinstance(exc, MemoryError):
        return "out of memory"
    text = str(exc)
    return text.splitlines()[0] if text else type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ontarix-closure with the arguments argv (default: sys.argv[1:]) and returns its exit
    status: 0, or 1 after a one-line error on standard error (usage errors exit with 2)."""
    args = _parser().parse_args(argv)
    obo = args.format == "obo" or (args.format is None and args.input.lower().endswith(".obo"))
    to_file = args.output is not None and args.output != "-"
    try:
        import ontarix

        with ReplacingFile(args.output) if to_file else contextlib.nullcontext(sys.stdout) as out:
            rows = read_obo(args.input) if obo else read_edge_csv(args.input)
            closure = ontarix.closure_from_relationships(
                rows, follow=args.follow, reflexive=args.reflexive, label=LABEL)
            del rows
            out.writelines(closure_lines(closure))
            out.flush()
    except BrokenPipeError:  # e.g. piped into head
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except BaseException as exc:  # the module's PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        print(f"{PROG}: error: {_describe(exc)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
