"""The annotation and ontology file readers of ontarix_tools, on small files written here."""

import gzip
import pickle

import pytest

import ontarix
from ontarix_tools import readers
from ontarix_tools.readers import (FileFormatError, read_associations, read_gaf, read_hpoa,
                                   read_obo_index, read_obo_relationships)
from test_cli_closure import OBO

# Columns in another order than HPO's, with one the reader does not know: it finds them by name.
HPOA = (
    "#description: a few diseases\n"
    "#version: 2025-01-16\n"
    "hpo_id\tdatabase_id\textra\tdisease_name\tqualifier\taspect\n"
    "HP:1\tOMIM:1\tx\tFirst disease\t\tP\n"
    "HP:2\tOMIM:1\t\tFirst disease\t\tP\n"
    "HP:3\tOMIM:1\t\tFirst disease\tNOT\tP\n"
    "HP:4\tOMIM:1\t\tFirst disease\t\tI\n"
    "\n"
    "HP:1\tORPHA:9\t\tSecond, Orphanet's\t\tP\n"
    "HP:5\tORPHA:9\t\tSecond, Orphanet's\t\tC\n"
    "HP:6\tDECIPHER:4\t\tOnly NOT and clinical course\tNOT\tP\n"
    "HP:7\tDECIPHER:4\t\tOnly NOT and clinical course\t\tC\n"
    "HP:3\tOMIM:1\t\tFirst disease\t\tP\n"  # back to an object seen before
)


@pytest.mark.parametrize(
    "options, profiles",
    [
        ({}, {"OMIM:1": {"HP:1", "HP:2", "HP:3"}, "ORPHA:9": {"HP:1"}}),
        ({"aspects": None}, {"OMIM:1": {"HP:1", "HP:2", "HP:3", "HP:4"}, "ORPHA:9": {"HP:1", "HP:5"},
                             "DECIPHER:4": {"HP:7"}}),
        ({"aspects": "CI"}, {"OMIM:1": {"HP:4"}, "ORPHA:9": {"HP:5"}, "DECIPHER:4": {"HP:7"}}),
        ({"databases": "ORPHA"}, {"ORPHA:9": {"HP:1"}}),
        ({"databases": ["OMIM", "DECIPHER"], "aspects": ["P", "C"]},
         {"OMIM:1": {"HP:1", "HP:2", "HP:3"}, "DECIPHER:4": {"HP:7"}}),
    ],
)
@pytest.mark.parametrize("suffix", [".hpoa", ".hpoa.gz"])
def test_hpoa(tmp_path, options, profiles, suffix):
    path = write(tmp_path / ("phenotype" + suffix), HPOA.replace("\n", "\r\n"))
    got = read_hpoa(path, **options)
    assert got.profiles == profiles and list(got.profiles) == list(profiles)
    names = {"OMIM:1": "First disease", "ORPHA:9": "Second, Orphanet's",
             "DECIPHER:4": "Only NOT and clinical course"}
    assert got.names == {obj: names[obj] for obj in profiles}


def gaf_row(db, object_id, symbol, qualifier, go_id, evidence, aspect, name):
    columns = [db, object_id, symbol, qualifier, go_id, "PMID:1", evidence, "", aspect, name,
               "", "protein", "taxon:9606", "20250101", "UniProt", "", ""]
    return "\t".join(columns) + "\n"


GAF = (
    "!gaf-version: 2.2\n"
    "!generated-by: hand\n"
    + gaf_row("UniProtKB", "P04637", "TP53", "enables", "GO:1", "IDA", "F", "Tumor antigen p53")
    + gaf_row("UniProtKB", "P04637", "TP53", "involved_in", "GO:2", "IEA", "P", "Tumor antigen p53")
    + gaf_row("UniProtKB", "P04637", "TP53", "NOT|located_in", "GO:3", "IDA", "C", "Tumor antigen p53")
    + "! a comment between rows\n"
    + gaf_row("UniProtKB", "P38398", "BRCA1", "located_in", "GO:3", "TAS", "C", "")
    + gaf_row("UniProtKB", "P38398", "BRCA1", "contributes_to|NOT", "GO:1", "IDA", "F", "")
    + gaf_row("MGI", "MGI:98834", "TP53", "involved_in", "GO:4", "IMP", "P", "mouse p53")
)


@pytest.mark.parametrize(
    "options, profiles, names",
    [
        ({}, {"UniProtKB:P04637": {"GO:1", "GO:2"}, "UniProtKB:P38398": {"GO:3"},
              "MGI:MGI:98834": {"GO:4"}},
         {"UniProtKB:P04637": "TP53", "UniProtKB:P38398": "BRCA1", "MGI:MGI:98834": "TP53"}),
        ({"by_symbol": True}, {"TP53": {"GO:1", "GO:2", "GO:4"}, "BRCA1": {"GO:3"}},
         {"TP53": "Tumor antigen p53", "BRCA1": ""}),
        ({"aspects": "P", "exclude_evidence": "IEA"}, {"MGI:MGI:98834": {"GO:4"}},
         {"MGI:MGI:98834": "TP53"}),
        ({"evidence": ["IDA", "TAS"], "aspects": {"F", "C"}},
         {"UniProtKB:P04637": {"GO:1"}, "UniProtKB:P38398": {"GO:3"}},
         {"UniProtKB:P04637": "TP53", "UniProtKB:P38398": "BRCA1"}),
    ],
)
@pytest.mark.parametrize("suffix", [".gaf", ".gaf.gz"])
def test_gaf(tmp_path, options, profiles, names, suffix):
    got = read_gaf(write(tmp_path / ("goa" + suffix), GAF), **options)
    assert got.profiles == profiles and list(got.profiles) == list(profiles)
    assert got.names == names


@pytest.mark.parametrize("suffix", [".csv", ".csv.gz"])
def test_association_csv(tmp_path, suffix):
    text = '\ufeffg1,A,x\n\ng2,"B, quoted",y\ng1,C,z\n"g""3",A,w\n'
    profiles, names = read_associations(write(tmp_path / ("in" + suffix), text))
    assert profiles == {"g1": {"A", "C"}, "g2": {"B, quoted"}, 'g"3': {"A"}} and names == {}
    assert list(profiles) == ["g1", "g2", 'g"3']


HEADER = "database_id\tdisease_name\tqualifier\thpo_id\taspect\n"


@pytest.mark.parametrize(
    "reader, name, content, message",
    [
        (read_hpoa, "a.hpoa", "#c\ndatabase_id\tdisease_name\tqualifier\thpo_id\n",
         "line 2: the header has no column 'aspect'"),
        (read_hpoa, "a.hpoa", "#only comments\n\n", "a.hpoa: no row of column names (database_id, hpo_id, ...)"),
        (read_hpoa, "a.hpoa", HEADER + "OMIM:1\tD\t\tHP:1\tP\nOMIM:1\tD\tHP:2\tP\n",
         "line 3, column 5: 4 tab-separated columns, where the header has 5"),
        (read_hpoa, "a.hpoa", HEADER + "OMIM:1\tD\t\tHP:1\tP\tx\n",
         "line 2, column 6: 6 tab-separated columns, where the header has 5"),
        (read_hpoa, "a.hpoa", HEADER + "\tD\tNOT\tHP:1\tP\n", "line 2, column 1: empty database_id"),
        (read_hpoa, "a.hpoa", HEADER + "OMIM:1\tD\tNOT\t\tC\n", "line 2, column 4: empty hpo_id"),
        (read_gaf, "a.gaf", "!gaf-version: 2.2\n" + gaf_row("DB", "1", "S", "", "GO:1", "IDA", "P", "")[4:],
         "line 2, column 17: 16 tab-separated columns, where GAF has 17"),
        (read_gaf, "a.gaf", gaf_row("UniProtKB", "", "S", "", "GO:1", "IDA", "P", ""),
         "line 1, column 2: empty DB_Object_ID"),
        (read_gaf, "a.gaf", gaf_row("", "P1", "S", "", "GO:1", "IDA", "P", ""),
         "line 1, column 1: empty DB"),
        (read_gaf, "a.gaf", gaf_row("UniProtKB", "P1", "S", "NOT", "", "IDA", "P", ""),
         "line 1, column 5: empty GO ID"),
        (read_gaf, "a.gaf", b"!x\n" + gaf_row("DB", "1", "S", "", "GO:1", "IDA", "P", "\xe9").encode("latin-1"),
         "line 2, column 10: not UTF-8 (invalid continuation byte)"),
        (read_gaf, "a.gaf.gz", gzip.compress(GAF.encode())[:-20],
         "a.gaf.gz: not a complete gzip stream (Compressed file ended before the end-of-stream "
         "marker was reached)"),
        (read_associations, "a.csv", "g,A\ng,B,x\n", "line 2, column 3: 3 fields, where the first line has 2"),
        (read_associations, "a.csv", "g\n", "line 1, column 2: expected two comma-separated fields"),
        (read_associations, "a.csv", "g,A\n,B\n", "line 2, column 1: empty object"),
        (read_associations, "a.csv", "g,A\ng,\n", "line 2, column 2: empty term"),
        (read_associations, "a.csv", 'g,A\ng,"B\n', "line 2: unexpected end of data"),
        (read_obo_relationships, "a.obo", "[Term]\nid: T:1\nis_a T:2\n",
         "line 3, column 1: not valid OBO: expected EOI, Comment, or TermClause"),
    ],
)
def test_malformed_content_names_the_file_line_and_column(tmp_path, reader, name, content, message):
    if reader is read_obo_relationships:
        pytest.importorskip("fastobo")
    path = write(tmp_path / name, content)
    with pytest.raises(FileFormatError) as caught:
        reader(path)
    assert str(caught.value).startswith(path) and str(caught.value).endswith(message)
    assert isinstance(caught.value, ValueError)
    assert str(pickle.loads(pickle.dumps(caught.value))) == str(caught.value)  # crosses to Dask


@pytest.mark.parametrize("reader", [read_hpoa, read_gaf, read_associations, read_obo_relationships,
                                    readers.read_information_content, read_obo_index])
def test_file_problems_are_the_interpreters_own(tmp_path, reader):
    if reader in (read_obo_relationships, read_obo_index):
        pytest.importorskip("fastobo")
    with pytest.raises(FileNotFoundError) as caught:
        reader(str(tmp_path / "missing.gz"))
    assert caught.value.filename == str(tmp_path / "missing.gz")
    with pytest.raises(IsADirectoryError):
        reader(tmp_path)


@pytest.mark.parametrize("suffix", [".obo", ".obo.gz"])
def test_obo_index_in_one_call(tmp_path, suffix):
    pytest.importorskip("fastobo")
    path = write(tmp_path / ("toy" + suffix), OBO)
    rows = read_obo_relationships(path)
    # TOY:5 is obsolete: its rows go, and with them TOY:6's part_of link to it.
    assert ("TOY:6", "regulates", "TOY:3") in rows and not any("TOY:5" in r for r in rows)
    ic = {"TOY:2": 1.5}
    for options in ({}, {"follow": ["is_a", "part_of"], "reflexive": False, "information_content": ic}):
        index = read_obo_index(path, **options)
        expected = ontarix.ClosureIndex.from_relationships(
            rows, **{"follow": {"is_a"}, "reflexive": True, **options})
        terms = {t for r in rows for t in (r[0], r[2])}
        assert {t: index.ancestors(t) for t in terms if t in index} == {
            t: expected.ancestors(t) for t in terms if t in expected}
        assert [index.information_content(t) for t in sorted(terms) if t in index] == [
            expected.information_content(t) for t in sorted(terms) if t in expected]
    assert read_obo_index(path).ancestors("TOY:3") == {"TOY:1", "TOY:2", "TOY:3"}


def write(path, content):
    """Writes text as UTF-8 (bytes as they are), through gzip for a .gz name; returns the path."""
    data = content.encode() if isinstance(content, str) else content
    if path.name.endswith(".gz") and isinstance(content, str):
        data = gzip.compress(data)
    path.write_bytes(data)
    return str(path)
