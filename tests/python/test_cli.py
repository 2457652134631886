"""The ontarix-run and ontarix-neighbours commands, run as subprocesses; the progress bar's rule."""

import io
import json
import pathlib
import random
import subprocess
import sys

import pytest

import ontarix
from conftest import random_profiles, write_association

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
MODULES = {"ontarix-run": "ontarix_tools.run", "ontarix-neighbours": "ontarix_tools.neighbours"}


def cli(*args: str, command: str = "ontarix-run") -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", MODULES[command], *args],
                          capture_output=True, text=True, timeout=120)


def profile_files(tmp_path, seed):
    """INPUT and CLOSURE files of random profiles (one of them named set1), and the profiles."""
    table, profiles = random_profiles(80, 25, seed)
    del profiles["empty"]  # a set has at least one line
    profiles["set1"] = profiles.pop("p0000")
    closure = {term: row["is_a"] for term, row in table.items()}
    return (write_association(tmp_path / "in.csv", profiles),
            write_association(tmp_path / "cl.csv", closure), profiles)


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
    top = cli(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"), "--top", "2")
    assert top.stdout.splitlines() == out.stdout.splitlines()[:3]


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


@pytest.mark.parametrize("custom_ic", [False, True])
def test_phenomizer_scores_every_set_against_set1_by_the_index(tmp_path, custom_ic):
    input_file, closure_file, profiles = profile_files(tmp_path, seed=4)
    args = [input_file, closure_file, "--measure", "phenomizer", "--top", "6"]
    ic = None
    if custom_ic:
        rng = random.Random(4)
        ic = {f"T{i:04d}": rng.uniform(0, 6) for i in range(0, 80, 3)}
        (tmp_path / "ic.csv").write_text("".join(f"{t},{v!r}\n" for t, v in ic.items()))
        args += ["--ic", str(tmp_path / "ic.csv")]
    out = cli(*args)
    assert out.returncode == 0 and out.stderr == ""
    idx = ontarix.ClosureIndex.from_file(closure_file, information_content=ic)
    set1 = profiles["set1"]
    rows = sorted(((idx.phenomizer(set1, s), name, len(s)) for name, s in profiles.items()),
                  key=lambda r: (-r[0], r[1]))[:6]
    assert out.stdout.splitlines() == ["set_id\tbest_score\tsubject_size\tobject_size"] + [
        f"{name}\t{score!r}\t{len(set1)}\t{size}" for score, name, size in rows]


@pytest.mark.parametrize(
    "command, measure, combine",
    [("ontarix-run", "lin", "bma"), ("ontarix-run", "simgic", None),
     ("ontarix-neighbours", "graph_ic", "directed"), ("ontarix-neighbours", "jiang_conrath", None)],
)
def test_measure_and_combine_reach_the_index(tmp_path, command, measure, combine):
    input_file, closure_file, profiles = profile_files(tmp_path, seed=7)
    out = cli(input_file, closure_file, "--measure", measure,
              *(["--combine", combine] if combine else []), command=command)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    idx = ontarix.ClosureIndex.from_file(closure_file)
    if command == "ontarix-neighbours":
        expected = idx.top_k(profiles, k=10, measure=measure, combine=combine)
        assert out.stdout.splitlines()[1:] == [f"{q}\t{r}\t{n}\t{s!r}" for q, row in expected.items()
                                               for r, (n, s) in enumerate(row, 1)]
        return
    set1 = profiles["set1"]  # per call, another path than the command's matrix row
    rows = sorted(((idx.similarity(set1, s, measure=measure, combine=combine), name, len(s))
                   for name, s in profiles.items()), key=lambda r: (-r[0], r[1]))
    assert out.stdout.splitlines()[1:] == [f"{name}\t{score!r}\t{len(set1)}\t{size}"
                                           for score, name, size in rows]


@pytest.mark.parametrize("as_json", [False, True])
def test_neighbours_are_the_index_top_k(tmp_path, as_json):
    input_file, closure_file, profiles = profile_files(tmp_path, seed=5)
    out = cli(input_file, closure_file, "-k", "3", "--threads", "2", *(["--json"] if as_json else []),
              command="ontarix-neighbours")
    assert out.returncode == 0 and out.stderr == ""  # no progress bar into a pipe
    expected = ontarix.ClosureIndex.from_file(closure_file).top_k(profiles, k=3)
    if as_json:
        assert json.loads(out.stdout) == {
            q: [{"neighbour": n, "score": s} for n, s in row] for q, row in expected.items()}
    else:
        assert out.stdout.splitlines() == ["query\trank\tneighbour\tscore"] + [
            f"{q}\t{r}\t{n}\t{s!r}" for q, row in expected.items() for r, (n, s) in enumerate(row, 1)]


@pytest.mark.parametrize(
    "command, args, status, message",
    [
        ("ontarix-run", ["--measure", "phenomizer", "--ic", "{d}/ic.csv"], 1,
         "ontarix-run: error: IC file {d}/ic.csv, line 2: 'x' is not a finite number"),
        ("ontarix-run", ["--ic", "{d}/ic.csv"], 2,
         "ontarix-run: error: --ic applies to the measures that read the information content, "
         "not to jaccard"),
        ("ontarix-run", ["--measure", "simgic", "--combine", "bma"], 2,
         "ontarix-run: error: --combine applies to the term measures only, not to simgic "
         "(a profile measure)"),
        ("ontarix-neighbours", ["--measure", "semantic_jaccard", "--ic", "{d}/ic.csv"], 2,
         "ontarix-neighbours: error: --ic applies to the measures that read the information "
         "content, not to semantic_jaccard"),
        ("ontarix-neighbours", [], 1,
         "ontarix-neighbours: error: term 'Z' of set 's2' is not in the closure file"),
        ("ontarix-neighbours", ["-k", "0"], 2,
         "ontarix-neighbours: error: argument -k: must be at least 1, not 0"),
    ],
)
def test_new_options_fail_with_one_line(tmp_path, command, args, status, message):
    (tmp_path / "in.csv").write_text("set1,A\ns2,A\ns2,Z\n" if command == "ontarix-neighbours" else "set1,A\n")
    (tmp_path / "cl.csv").write_text("A,A\n")
    (tmp_path / "ic.csv").write_text("A,1.5\nB,x\n")
    out = cli(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"), *(a.format(d=tmp_path) for a in args),
              command=command)
    assert out.returncode == status and out.stdout == ""
    assert out.stderr.splitlines()[-1] == message.format(d=tmp_path)
    assert status == 2 or len(out.stderr.splitlines()) == 1


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    "stream, pairs, shown",
    [
        (Terminal(), 10**9, True),
        (io.StringIO(), 10**9, False),  # a pipe or a file: nothing but errors
        (Terminal(), 10**4, False),  # over before a bar would be read
        (None, 10**9, False),  # no standard error at all (pythonw)
    ],
)
def test_progress_bar_only_on_a_terminal_for_long_work(stream, pairs, shown):
    from ontarix_tools.neighbours import progress_wanted

    assert progress_wanted(stream, pairs) is shown


@pytest.mark.parametrize(
    "measure, block_size, combine",
    [("phenomizer", 7, None), ("jaccard", 60, None), ("phenomizer", 1, None),
     ("lin", 7, "directed")],
)
def test_search_in_pieces_behind_the_bar_equals_one_call(measure, block_size, combine):
    from ontarix_tools._blocks import top_k_in_pieces

    table, profiles = random_profiles(80, 60, seed=6)
    idx = ontarix.ClosureIndex(table)
    done = []
    got = top_k_in_pieces(idx, profiles, 4, measure, 1, done.append, block_size=block_size,
                          combine=combine)
    expected = idx.top_k(profiles, k=4, measure=measure, combine=combine)
    nan_free = lambda d: [(q, [(n, repr(s)) for n, s in row]) for q, row in d.items()]  # noqa: E731
    n = len(profiles)
    assert nan_free(got) == nan_free(expected)
    # Every pair once, or every ordered pair once for a directed score.
    assert sum(done) == n * (n - 1) // (1 if combine == "directed" else 2)


def test_former_package_name_still_imports_and_warns():
    import importlib

    import ontarix_tools
    import ontarix_tools.run

    sys.modules.pop("ontarix_cli", None)
    with pytest.warns(DeprecationWarning, match="ontarix_cli is deprecated: import distributed_top_k "
                                                "from ontarix_tools and main from ontarix_tools.run"):
        former = importlib.import_module("ontarix_cli")
    assert former.distributed_top_k is ontarix_tools.distributed_top_k
    assert former.main is ontarix_tools.run.main
