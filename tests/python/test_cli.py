"""The ontarix-run command, run as a subprocess."""

import json
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "ontarix_cli", *args],
                          capture_output=True, text=True, timeout=120)


def test_table_sorted_by_score(tmp_path):
    (tmp_path / "in.csv").write_text("set1,A\nset2,B\nset3,C\nzz,A\n")
    (tmp_path / "cl.csv").write_text("A,A\nA,R\nB,B\nB,R\nC,C\n")
    out = cli(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"))
    assert out.returncode == 0 and out.stderr == ""
    assert out.stdout.splitlines() == [
        "set_id\tbest_score\tsubject_size\tobject_size",
        "set1\t1.0\t2\t2",
        "zz\t1.0\t2\t2",
        "set2\t0.3333333333333333\t2\t2",
        "set3\t0.0\t2\t1",
    ]


def test_json_on_the_shipped_example():
    out = cli(str(EXAMPLES / "input.csv"), str(EXAMPLES / "closure.csv"), "--json")
    assert out.returncode == 0, out.stderr
    rows = json.loads(out.stdout)
    assert rows[0] == {"set_id": "set1", "best_score": 1.0, "subject_size": 6, "object_size": 6}
    assert [r["best_score"] for r in rows] == sorted((r["best_score"] for r in rows), reverse=True)
    assert {r["set_id"] for r in rows} == {"set1", "PPARA", "INSR", "GCK", "IL6", "TNF"}


@pytest.mark.parametrize(
    "input_name, expected",
    [
        ("missing.csv", "ontarix-run: error: Failed to open file: {d}/missing.csv No such file"),
        ("noset1.csv", "ontarix-run: error: called `Option::unwrap()` on a `None` value"),
    ],
)
def test_errors_are_one_line_without_traceback(tmp_path, input_name, expected):
    (tmp_path / "noset1.csv").write_text("set2,A\n")
    (tmp_path / "cl.csv").write_text("A,A\n")
    out = cli(str(tmp_path / input_name), str(tmp_path / "cl.csv"))
    assert out.returncode == 1 and out.stdout == ""
    lines = out.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(expected.format(d=tmp_path))


def test_help_and_usage_errors():
    out = cli("--help")
    assert out.returncode == 0 and "set1" in out.stdout and "--json" in out.stdout
    out = cli("only-one-argument")
    assert out.returncode == 2 and "usage: ontarix-run" in out.stderr
