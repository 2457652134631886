"""Readers of annotation and ontology files, into what ontarix.ClosureIndex takes.

    read_hpoa(path, *, aspects="P", databases=None)            HPO's phenotype.hpoa
    read_gaf(path, *, aspects=None, evidence=None, exclude_evidence=(), by_symbol=False)
                                                               Gene Ontology GAF 2.1 / 2.2
    read_associations(path)                                    the two-column CSV of ontarix.run
    read_information_content(path)                             "term,information content" lines
    read_obo_relationships(path)                               an OBO file's parent links
    read_obo_index(path, *, follow={"is_a"}, reflexive=True, **index_options)
                                                               an OBO file's ClosureIndex

The annotation readers return Annotations(profiles, names): profiles maps each object (a disease,
a gene product) to the set of terms it is annotated with, in the order the objects first appear
in the file, ready for the index's top_k, similarity_matrix and the like; names maps an object to
its name where the file gives one.

Every reader takes a path (str or os.PathLike); one ending in ".gz" is read through gzip, as the
files are distributed. Text is UTF-8; a leading byte order mark is skipped, and lines may end in
"\\n" or "\\r\\n". A problem with the file itself (missing, a directory, unreadable; gzip.BadGzipFile
for a ".gz" file that is not one) raises the interpreter's own OSError subclass untouched.
Malformed content raises FileFormatError, a ValueError naming the file, the line and, where one
field is at fault, its column; nothing is returned from a malformed file.

The tab-separated files are read whole and split in Python: phenotype.hpoa (271,000 lines, 34 MB)
becomes profiles in about 0.3 s, most of it splitting lines into fields
(`python bench/readers.py`).
"""

from __future__ import annotations

import codecs
import csv
import gzip
import io
import math
import os
import zlib
from collections.abc import Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Union

if TYPE_CHECKING:
    import ontarix

__all__ = [
    "Annotations",
    "FileFormatError",
    "read_associations",
    "read_gaf",
    "read_hpoa",
    "read_information_content",
    "read_obo_index",
    "read_obo_relationships",
]

StrPath = Union[str, "os.PathLike[str]"]
Relationship = tuple[str, str, str]
# What ClosureIndex.from_relationships takes as follow.
Predicates = Union[set[str], frozenset[str], list[str], tuple[str, ...], None]


class Annotations(NamedTuple):
    """What an annotation file holds: profiles maps each object to its set of terms (objects in
    the order they first appear in the file), names maps objects to their names (an object may
    have none). Unpacks as `profiles, names = read_hpoa(path)`."""

    profiles: dict[str, set[str]]
    names: dict[str, str]


class FileFormatError(ValueError):
    """Malformed content of an input file: str() reads "FILE, line L, column C: what is wrong".

    Attributes: filename (the path as given), lineno (1-based; None when the file as a whole is at
    fault), colno (the 1-based field, or character for OBO, at fault; None when the whole line
    is), msg (what is wrong, without the place).
    """

    def __init__(self, filename: str, lineno: int | None, msg: str,
                 colno: int | None = None) -> None:
        where = filename
        if lineno is not None:
            where += f", line {lineno}"
            if colno is not None:
                where += f", column {colno}"
        super().__init__(f"{where}: {msg}")
        self.filename = filename
        self.lineno = lineno
        self.colno = colno
        self.msg = msg

    def __reduce__(self) -> tuple[Any, ...]:
        # The default would call __init__ with the formatted message alone.
        return type(self), (self.filename, self.lineno, self.msg, self.colno)


# ---- reading text ------------------------------------------------------------------------------

def _display(path: StrPath) -> str:
    return os.fspath(path)


def _gzipped(name: str) -> bool:
    return name.lower().endswith(".gz")


def _open_binary(path: StrPath, gzipped: bool) -> io.BufferedIOBase:
    return gzip.open(path, "rb") if gzipped else open(path, "rb")


def _read_bytes(path: StrPath, gzipped: bool) -> bytes:
    name = _display(path)
    with _open_binary(path, gzipped) as f:
        try:
            return f.read()
        except (EOFError, zlib.error) as exc:  # truncated or corrupt: content, not the file
            raise FileFormatError(name, None, f"not a complete gzip stream ({exc})") from None


def _decode(data: bytes, name: str, separator: str | None) -> str:
    """data as text, without a leading byte order mark. A byte sequence that is not UTF-8 fails
    naming its line and, for separated fields, its column."""
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        # The codec has already dropped a byte order mark from exc.object, which holds no newline.
        raw, at = exc.object, exc.start
        line_start = raw.rfind(b"\n", 0, at) + 1
        column = None
        if separator is not None:
            column = raw.count(separator.encode(), line_start, at) + 1
        raise FileFormatError(name, raw.count(b"\n", 0, at) + 1, f"not UTF-8 ({exc.reason})",
                              column) from None


def _tab_lines(path: StrPath) -> tuple[str, list[str]]:
    """The file's name for messages and its lines (line number = index + 1)."""
    name = _display(path)
    data = _read_bytes(path, _gzipped(name))
    if b"\r" in data:
        data = data.replace(b"\r\n", b"\n")
    return name, _decode(data, name, "\t").split("\n")


def _letters(value: str | Iterable[str] | None) -> frozenset[str] | None:
    """An aspects option: None (every aspect), or letters given as a string or a collection."""
    return None if value is None else frozenset(value)


def _words(value: str | Iterable[str] | None) -> frozenset[str] | None:
    """An option of names: None (all), one name, or a collection of names."""
    if value is None:
        return None
    return frozenset((value,)) if isinstance(value, str) else frozenset(value)


def _negated(qualifier: str) -> bool:
    """Whether a qualifier holds NOT, alone or among others joined by "|" ("NOT|enables")."""
    return "NOT" in qualifier.split("|")


def _other_line(name: str, line: str, lineno: int, found: int, width: int, comment: str,
                whose: str) -> None:
    """Passes over a blank or comment line and fails for a row of the wrong width (the fast path
    of the readers sends every line of another width here)."""
    if not line or line.startswith(comment):
        return
    raise FileFormatError(name, lineno, f"{found} tab-separated columns, where {whose} {width}",
                          min(found, width) + 1)


def _empty(name: str, lineno: int, index: int, column: str) -> FileFormatError:
    return FileFormatError(name, lineno, f"empty {column}", index + 1)


# ---- HPOA --------------------------------------------------------------------------------------

HPOA_COLUMNS = ("database_id", "disease_name", "qualifier", "hpo_id", "aspect")


def read_hpoa(path: StrPath, *, aspects: str | Iterable[str] | None = "P",
              databases: str | Iterable[str] | None = None) -> Annotations:
    """The disease profiles of an HPO annotation file (phenotype.hpoa).

    The file holds "#" header lines, then a tab-separated row of column names, then one row per
    annotation. Columns are found by name: database_id (the object, e.g. "OMIM:619340"),
    disease_name (its name), qualifier, hpo_id (the term) and aspect; others are ignored, and
    every row must be as wide as the column-name row. Blank lines are skipped.

    aspects: the aspects kept: "P" (phenotypic abnormality, the default), a string of several
        letters ("PC") or a collection of letters; None keeps every aspect (P, I inheritance,
        C clinical course, M modifier, H frequency).
    databases: keep only objects of these databases, by the prefix of database_id before its
        first ":" ("OMIM", "ORPHA", "DECIPHER"; one name or a collection); None keeps all.

    Rows whose qualifier is NOT (the disease does not show the phenotype) are left out. An object
    none of whose rows is kept has no profile and no name. names[object] is the disease_name of
    its first kept row.

    Raises FileFormatError for a file with no column-name row or one that lacks a column above,
    a row of another width, or an empty database_id or hpo_id; OSError as the module's doc says.
    """
    keep_aspects = _letters(aspects)
    keep_databases = _words(databases)
    name, lines = _tab_lines(path)
    first = 0
    while first < len(lines) and (not lines[first] or lines[first].startswith("#")):
        first += 1
    if first == len(lines):
        raise FileFormatError(name, None, "no row of column names (database_id, hpo_id, ...)")
    header = lines[first].split("\t")
    at: dict[str, int] = {}
    for column in HPOA_COLUMNS:
        if column not in header:
            raise FileFormatError(name, first + 1, f"the header has no column {column!r}")
        at[column] = header.index(column)

    id_at, name_at, qualifier_at, term_at, aspect_at = (at[c] for c in HPOA_COLUMNS)
    width = len(header)
    profiles: dict[str, set[str]] = {}
    names: dict[str, str] = {}
    # The object of the previous row (None before the first, so that the first row is checked
    # even when empty), whether its database is kept, and its set: rows of one disease come
    # together, so most rows skip the lookups.
    current: str | None = None
    kept = False
    terms: set[str] | None = None
    for index in range(first + 1, len(lines)):
        fields = lines[index].split("\t")
        if len(fields) != width:
            _other_line(name, lines[index], index + 1, len(fields), width, "#", "the header has")
            continue
        obj = fields[id_at]
        if obj != current:
            if not obj:
                raise _empty(name, index + 1, id_at, "database_id")
            current = obj
            kept = keep_databases is None or obj.partition(":")[0] in keep_databases
            terms = profiles.get(obj)
        term = fields[term_at]
        if not term:
            raise _empty(name, index + 1, term_at, "hpo_id")
        qualifier = fields[qualifier_at]
        if (not kept or (keep_aspects is not None and fields[aspect_at] not in keep_aspects)
                or ("NOT" in qualifier and _negated(qualifier))):
            continue
        if terms is None:
            profiles[obj] = terms = set()
            names[obj] = fields[name_at]
        terms.add(term)
    return Annotations(profiles, names)


# ---- GAF ---------------------------------------------------------------------------------------

GAF_WIDTH = 17
# 0-based positions of the GAF columns read here.
_DB, _OBJECT_ID, _SYMBOL, _QUALIFIER, _GO_ID, _EVIDENCE, _ASPECT, _OBJECT_NAME = 0, 1, 2, 3, 4, 6, 8, 9


def read_gaf(path: StrPath, *, aspects: str | Iterable[str] | None = None,
             evidence: str | Iterable[str] | None = None,
             exclude_evidence: str | Iterable[str] = (),
             by_symbol: bool = False) -> Annotations:
    """The gene product profiles of a Gene Ontology annotation file (GAF 2.1 or 2.2).

    The file holds "!" comment lines and rows of 17 tab-separated columns; blank lines are
    skipped. The term is the GO ID (column 5). The object is "DB:DB_Object_ID" (columns 1 and 2,
    e.g. "UniProtKB:P04637"), named by its DB_Object_Symbol (column 3, "TP53"); with
    by_symbol=True the object is the DB_Object_Symbol, named by its DB_Object_Name (column 10,
    "Cellular tumor antigen p53", empty where the file has none). Either way the name is what
    the id leaves out, and it is that of the object's first kept row.

    aspects: the aspects kept (column 9): "P" (biological process), "F" (molecular function),
        "C" (cellular component), a string of several ("PF") or a collection; None (the
        default) keeps all three.
    evidence: keep only rows with these evidence codes (column 7; one code or a collection);
        None keeps every code.
    exclude_evidence: leave out rows with these codes, e.g. "IEA" for annotations no curator
        reviewed.

    Rows whose qualifier (column 4) holds NOT ("NOT", "NOT|enables", ...) are left out. An
    object none of whose rows is kept has no profile and no name.

    Raises FileFormatError for a row of another width or an empty DB, DB_Object_ID (or, with
    by_symbol, DB_Object_Symbol) or GO ID; OSError as the module's doc says.
    """
    keep_aspects = _letters(aspects)
    keep_evidence = _words(evidence)
    drop_evidence = _words(exclude_evidence) or frozenset()
    key_at, key_column, name_at = ((_SYMBOL, "DB_Object_Symbol", _OBJECT_NAME) if by_symbol
                                   else (_OBJECT_ID, "DB_Object_ID", _SYMBOL))
    name, lines = _tab_lines(path)
    profiles: dict[str, set[str]] = {}
    names: dict[str, str] = {}
    # The (DB, key) of the previous row (None before the first), its object and set: a
    # product's rows come together.
    current_db: str | None = None
    current_key: str | None = None
    obj = ""
    terms: set[str] | None = None
    for index, line in enumerate(lines):
        fields = line.split("\t")
        if len(fields) != GAF_WIDTH:
            _other_line(name, line, index + 1, len(fields), GAF_WIDTH, "!", "GAF has")
            continue
        key = fields[key_at]
        db = fields[_DB]
        if key != current_key or db != current_db:
            if not db:
                raise _empty(name, index + 1, _DB, "DB")
            if not key:
                raise _empty(name, index + 1, key_at, key_column)
            current_db, current_key = db, key
            obj = key if by_symbol else f"{db}:{key}"
            terms = profiles.get(obj)
        term = fields[_GO_ID]
        if not term:
            raise _empty(name, index + 1, _GO_ID, "GO ID")
        if ((keep_aspects is not None and fields[_ASPECT] not in keep_aspects)
                or (keep_evidence is not None and fields[_EVIDENCE] not in keep_evidence)
                or fields[_EVIDENCE] in drop_evidence
                or ("NOT" in fields[_QUALIFIER] and _negated(fields[_QUALIFIER]))):
            continue
        if terms is None:
            profiles[obj] = terms = set()
            names[obj] = fields[name_at]
        terms.add(term)
    return Annotations(profiles, names)


# ---- the association CSV of ontarix.run --------------------------------------------------------

def association_records(path: StrPath, *, gzipped: bool) -> Iterator[tuple[int, str, str]]:
    """(line number, first field, second field) of every non-blank line of an association file,
    by the rules of the native reader of ontarix.run: comma-separated, no header, RFC 4180
    quoting, every line as wide as the first (at least two fields; further fields ignored).
    Raises FileFormatError for a bad line and OSError for an unreadable file."""
    name = _display(path)
    text = _decode(_read_bytes(path, gzipped), name, None)
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    width = 0
    try:
        for row in reader:
            if not row:
                continue
            if not width:
                width = len(row)
                if width < 2:
                    raise FileFormatError(name, reader.line_num,
                                          "expected two comma-separated fields", 2)
            elif len(row) != width:
                raise FileFormatError(name, reader.line_num,
                                      f"{len(row)} fields, where the first line has {width}",
                                      min(len(row), width) + 1)
            yield reader.line_num, row[0], row[1]
    except csv.Error as exc:
        raise FileFormatError(name, reader.line_num, str(exc)) from None


def read_associations(path: StrPath) -> Annotations:
    """The named term sets of an association file, the INPUT of ontarix.run and ontarix-run:
    "object,term" lines (comma-separated, no header, RFC 4180 quoting; every line as wide as the
    first, further fields ignored; blank lines skipped). Objects in the order they first appear;
    names is empty, since the file holds none.

    Unlike ontarix.run, which takes empty fields as strings like any other, an empty object or
    term raises FileFormatError here, as does a line of another width or broken quoting; OSError
    as the module's doc says.
    """
    profiles: dict[str, set[str]] = {}
    name = _display(path)
    for lineno, obj, term in association_records(path, gzipped=_gzipped(name)):
        if not obj:
            raise FileFormatError(name, lineno, "empty object", 1)
        if not term:
            raise FileFormatError(name, lineno, "empty term", 2)
        profiles.setdefault(obj, set()).add(term)
    return Annotations(profiles, {})


def read_information_content(path: StrPath) -> dict[str, float]:
    """The "term,information content" lines of a file (an association file, as above), for the
    index's information_content option. A value must be a finite number and a term may be listed
    once: either mistake would silently change every score, so it raises FileFormatError."""
    values: dict[str, float] = {}
    name = _display(path)
    for lineno, term, text in association_records(path, gzipped=_gzipped(name)):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise FileFormatError(name, lineno, f"{text!r} is not a finite number")
        if term in values:
            raise FileFormatError(name, lineno, f"{term!r} is listed twice")
        values[term] = value
    return values


# ---- OBO ---------------------------------------------------------------------------------------

OBO_EXTRA = "reading OBO files needs the fastobo package: pip install 'ontarix[obo]'"


def read_obo_relationships(source: StrPath | IO[bytes]) -> list[Relationship]:
    """The (child, predicate, parent) rows of an OBO 1.4 document's [Term] stanzas: one
    (term, "is_a", parent) per is_a line and one (term, relation, target) per relationship line
    (the relation's id, e.g. "part_of"). An obsolete term takes no part, not even as the target
    of a stale link. Rows in file order.

    source: a path (".gz" read through gzip) or a binary file object, e.g. sys.stdin.buffer.
    Needs the fastobo package (`pip install 'ontarix[obo]'`), else raises ImportError saying so.
    Raises FileFormatError with fastobo's complaint, its line and character column, for text that
    is not OBO; OSError as the module's doc says.
    """
    try:
        import fastobo  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError(OBO_EXTRA, name="fastobo") from None
    if not isinstance(source, (str, os.PathLike)):
        return _obo_rows(fastobo, source, str(getattr(source, "name", "<stream>")))
    name = _display(source)
    with _open_binary(source, _gzipped(name)) as f:
        return _obo_rows(fastobo, f, name)


def _obo_rows(fastobo: Any, stream: IO[bytes] | io.BufferedIOBase,
              name: str) -> list[Relationship]:
    try:
        doc = fastobo.load(stream)
    except SyntaxError as exc:
        raise FileFormatError(name, exc.lineno, f"not valid OBO: {exc.msg}", exc.offset) from None
    except (EOFError, zlib.error) as exc:
        raise FileFormatError(name, None, f"not a complete gzip stream ({exc})") from None
    rows: list[Relationship] = []
    obsolete: set[str] = set()
    for frame in doc:
        if not isinstance(frame, fastobo.term.TermFrame):
            continue
        term = str(frame.id)
        for clause in frame:
            if isinstance(clause, fastobo.term.IsAClause):
                rows.append((term, "is_a", str(clause.term)))
            elif isinstance(clause, fastobo.term.RelationshipClause):
                rows.append((term, str(clause.typedef), str(clause.term)))
            elif isinstance(clause, fastobo.term.IsObsoleteClause) and clause.obsolete:
                obsolete.add(term)
    # An obsolete term takes no part, not even as the target of a stale link.
    return [r for r in rows if r[0] not in obsolete and r[2] not in obsolete]


def read_obo_index(path: StrPath, *,
                   follow: Predicates = frozenset({"is_a"}),
                   reflexive: bool = True, **index_options: Any) -> ontarix.ClosureIndex:
    """The ClosureIndex of an OBO file's terms: read_obo_relationships(path) passed to
    ontarix.ClosureIndex.from_relationships(rows, follow=follow, reflexive=reflexive,
    **index_options).

    follow: the predicates whose links are followed ("is_a" by default, the subsumption
        hierarchy that HPO's and GO's measures use; e.g. {"is_a", "part_of"}); None follows all.
    reflexive: every term of a followed link is its own ancestor (the default, as the measures
        expect: a term shares itself with itself).
    index_options: passed through, e.g. information_content={term: value}.

    Raises what read_obo_relationships and from_relationships raise.
    """
    import ontarix

    rows = read_obo_relationships(path)
    return ontarix.ClosureIndex.from_relationships(
        rows, follow=follow, reflexive=reflexive, **index_options)
