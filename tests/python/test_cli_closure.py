"""The ontarix-closure command, run as a subprocess. The ontologies are small ones written here."""

import os
import subprocess
import sys

import pytest

import ontarix

OBO = """\
format-version: 1.4
ontology: toy

[Term]
id: TOY:1
name: root

[Term]
id: TOY:2
name: organ
is_a: TOY:1 ! root

[Term]
id: TOY:3
name: heart
is_a: TOY:2 {source="x"} ! organ
relationship: part_of TOY:4 ! circulatory system
intersection_of: TOY:2

[Term]
id: TOY:4
name: circulatory system
is_a: TOY:1

[Term]
id: TOY:5
name: old heart
is_obsolete: true
is_a: TOY:3

[Term]
id: TOY:6
name: heart valve
relationship: regulates TOY:3
relationship: part_of TOY:5

[Typedef]
id: part_of
is_a: TOY:1
"""

RUN_WITH_ARGV = "import sys; from ontarix_tools.closure import main; sys.exit(main(sys.argv[1:]))"


def cli(*args: str, without_fastobo: bool = False, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    # Hiding fastobo from the import system is how a machine without the extra looks.
    hide = "import sys; sys.modules['fastobo'] = None; " if without_fastobo else ""
    return subprocess.run([sys.executable, "-c", hide + RUN_WITH_ARGV, *args], input=stdin,
                          capture_output=True, text=True, timeout=120)


def test_from_an_obo_file_to_a_score(tmp_path):
    pytest.importorskip("fastobo")
    (tmp_path / "toy.obo").write_text(OBO)
    out = cli(str(tmp_path / "toy.obo"), "--follow", "is_a, part_of", "--reflexive",
              "-o", str(tmp_path / "closure.csv"))
    assert (out.returncode, out.stdout, out.stderr) == (0, "", "")
    # TOY:5 is obsolete: gone, and with it TOY:6's part_of link to it; regulates is not followed.
    assert (tmp_path / "closure.csv").read_text().splitlines() == [
        "TOY:1,TOY:1",
        "TOY:2,TOY:1", "TOY:2,TOY:2",
        "TOY:3,TOY:1", "TOY:3,TOY:2", "TOY:3,TOY:3", "TOY:3,TOY:4",
        "TOY:4,TOY:1", "TOY:4,TOY:4",
    ]
    assert sorted(os.listdir(tmp_path)) == ["closure.csv", "toy.obo"]
    (tmp_path / "profiles.csv").write_text("set1,TOY:3\ng,TOY:4\n")
    [record] = [r for r in ontarix.run(str(tmp_path / "profiles.csv"), str(tmp_path / "closure.csv"))
                if r.get_set_id() == "g"]
    assert record.get_best_score() == 0.5


def test_edge_file_to_standard_output():
    edges = 'a,is_a,b\n\nb,part_of,"c, the ""third"""\n"c, the ""third""",regulates,d\n'
    out = cli("-", stdin=edges)
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout == (
        'a,b\na,"c, the ""third"""\na,d\nb,"c, the ""third"""\nb,d\n"c, the ""third""",d\n'
    )
    assert cli("-", "--follow", "is_a", stdin=edges).stdout == "a,b\n"


@pytest.mark.parametrize(
    "name, text, options, message",
    [
        ("missing.csv", None, (), "{d}/missing.csv: No such file or directory"),
        ("short.csv", "a,is_a,b\nb,is_a\n", (), "{d}/short.csv:2: expected 3 fields (child,predicate,parent), found 2"),
        ("quote.csv", 'a,is_a,"b\n', (), "{d}/quote.csv:1: unexpected end of data"),
        ("toy.txt", "[Term]\nid: T:1\nis_a T:2\n", ("--format", "obo"), "{d}/toy.txt:3: not valid OBO: "),
        ("toy.obo", OBO, ("--without-fastobo",), "reading OBO files needs the fastobo package: pip install 'ontarix[obo]'"),
    ],
)
def test_errors_leave_no_output_file(tmp_path, name, text, options, message):
    if "--format" in options:
        pytest.importorskip("fastobo")
    if text is not None:
        (tmp_path / name).write_text(text)
    (tmp_path / "kept.csv").write_text("old,content\n")
    before = sorted(os.listdir(tmp_path))
    args = [a for a in options if a != "--without-fastobo"]
    for target in ("new.csv", "kept.csv"):
        out = cli(str(tmp_path / name), *args, "-o", str(tmp_path / target),
                  without_fastobo="--without-fastobo" in options)
        assert out.returncode == 1 and out.stdout == ""
        [line] = out.stderr.splitlines()
        assert line.startswith("ontarix-closure: error: " + message.format(d=tmp_path))
        assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "kept.csv").read_text() == "old,content\n"


def test_unusable_output_path_fails_before_reading(tmp_path):
    out = cli("-", "-o", str(tmp_path / "no" / "such.csv"), stdin="a,is_a,b\n")
    assert (out.returncode, out.stdout) == (1, "")
    assert out.stderr == f"ontarix-closure: error: {tmp_path}/no/such.csv: No such file or directory\n"
