"""The batch comparison: `run` over an input file of named term sets and a closure file."""

import math
import os
import random

import pytest

import ontarix

CLOSURE = "A,A\nA,R\nB,B\nB,R\nC,C\n"
MISSING = "called `Option::unwrap()` on a `None` value"


@pytest.fixture
def files(tmp_path):
    def write(input_text: str, closure_text: str = CLOSURE) -> tuple[str, str]:
        i, c = tmp_path / "input.csv", tmp_path / "closure.csv"
        i.write_text(input_text, encoding="utf-8", newline="")
        c.write_text(closure_text, encoding="utf-8", newline="")
        return str(i), str(c)

    return write


def by_id(records) -> dict:
    out = {}
    for r in records:
        assert r.get_set_id() not in out
        out[r.get_set_id()] = (r.get_subject_termset(), r.get_object_termset(), r.get_best_score())
    return out


@pytest.mark.parametrize(
    "input_text, closure_text, expected",
    [
        (
            "set1,A\nset2,B\nset3,C\n",
            CLOSURE,
            {
                "set1": ({"A", "R"}, {"A", "R"}, 1.0),
                "set2": ({"A", "R"}, {"B", "R"}, 1 / 3),
                "set3": ({"A", "R"}, {"C"}, 0.0),
            },
        ),
        ("set1,A\n", CLOSURE, {"set1": ({"A", "R"}, {"A", "R"}, 1.0)}),
        (
            "set1,A\nset2,B\nset3,C\nset2,C\n",
            CLOSURE,
            {
                "set1": ({"A", "R"}, {"A", "R"}, 1.0),
                "set2": ({"A", "R"}, {"B", "R", "C"}, 0.25),
                "set3": ({"A", "R"}, {"C"}, 0.0),
            },
        ),
        # Only expansions are compared: without self pairs A and B both expand to {R}.
        ("set1,A\nset2,B\n", "A,R\nB,R\n", {"set1": ({"R"}, {"R"}, 1.0), "set2": ({"R"}, {"R"}, 1.0)}),
        # Quoting, CR LF and a byte order mark reach run unchanged.
        (
            '\ufeffset1,"A"\r\n"set,2",B\r\n',
            CLOSURE,
            {"set1": ({"A", "R"}, {"A", "R"}, 1.0), "set,2": ({"A", "R"}, {"B", "R"}, 1 / 3)},
        ),
        # Keys that come back after other keys, repeated lines, a set name that is also a term,
        # and a term that is a closure value before it is a key.
        (
            "set2,B\nset1,A\nset2,A\nset1,A\nA,C\n",
            "A,R\nB,A\nA,A\nC,C\nB,B\nA,R\nB,A\n",
            {
                "set1": ({"A", "R"}, {"A", "R"}, 1.0),
                "set2": ({"A", "R"}, {"A", "B", "R"}, 2 / 3),
                "A": ({"A", "R"}, {"C"}, 0.0),
            },
        ),
        # Terms that differ only past their first 8 or 16 bytes, or in length by a zero byte.
        (
            "set1,GO:00000001\nset2,GO:00000002\nset3,GO:0000000001-long-tail-x\n",
            "GO:00000001,GO:00000001\nGO:00000002,GO:00000001\nGO:00000002,GO:00000002\n"
            "GO:0000000001-long-tail-x,GO:0000000001-long-tail-y\n",
            {
                "set1": ({"GO:00000001"}, {"GO:00000001"}, 1.0),
                "set2": ({"GO:00000001"}, {"GO:00000001", "GO:00000002"}, 0.5),
                "set3": ({"GO:00000001"}, {"GO:0000000001-long-tail-y"}, 0.0),
            },
        ),
    ],
)
def test_scores(files, input_text, closure_text, expected):
    records = ontarix.run(*files(input_text, closure_text))
    assert type(records) is list
    assert by_id(records) == expected
    for r in records:
        assert r.get_average_score() == 0.0
        assert r.get_subject_best_matches() == [] and r.get_object_best_matches() == []
        assert r.get_metric() == "SWO:0000243"


@pytest.mark.parametrize(
    "input_text, closure_text",
    [
        ("set2,A\n", CLOSURE),
        ("", CLOSURE),
        ("Set1,A\n", CLOSURE),
        (" set1,A\n", CLOSURE),
        ("set1,A\nset2,D\n", CLOSURE),  # any unknown term fails the whole call
        ("set1,D\nset2,A\n", CLOSURE),
        ("set1,A\n", ""),
    ],
)
def test_missing_lookups_fail_the_whole_call(files, panic_type, input_text, closure_text):
    with pytest.raises(panic_type) as info:
        ontarix.run(*files(input_text, closure_text))
    assert str(info.value) == MISSING


def test_missing_files_name_their_path_and_keep_order(tmp_path, files, panic_type):
    input_file, _ = files("set1,A\n")
    missing = str(tmp_path / "nope.csv")
    with pytest.raises(panic_type) as info:
        ontarix.run(input_file, missing)
    assert str(info.value) == f"Failed to open file: {missing} No such file or directory (os error 2)"
    # The input file is read first: its failure wins and the closure path is never opened.
    with pytest.raises(panic_type) as info:
        ontarix.run(missing, str(tmp_path / "also-missing.csv"))
    assert str(info.value).startswith(f"Failed to open file: {missing} ")
    broken_input, _ = files("set1\n")
    with pytest.raises(panic_type) as info:
        ontarix.run(broken_input, missing)
    assert str(info.value) == MISSING


def test_reader_errors_surface_with_their_rendering(files, panic_type, tmp_path):
    with pytest.raises(panic_type) as info:
        ontarix.run(*files("set1,A\nset2,B,C\n"))
    assert str(info.value) == (
        "called `Result::unwrap()` on an `Err` value: Error(UnequalLengths { pos: Some(Position "
        "{ byte: 7, line: 2, record: 1 }), expected_len: 2, len: 3 })"
    )
    with pytest.raises(panic_type) as info:
        ontarix.run(str(tmp_path), str(tmp_path))
    assert str(info.value).startswith(
        "called `Result::unwrap()` on an `Err` value: Error(Io(Os { code: 21, kind: IsADirectory"
    )


@pytest.mark.parametrize("bad", [b"set1,\xff\n", b"set1,A\nset2,\xe2\x82\n"])
def test_invalid_utf8_fails(tmp_path, panic_type, bad):
    (tmp_path / "in.csv").write_bytes(bad)
    (tmp_path / "cl.csv").write_text(CLOSURE)
    with pytest.raises(panic_type) as info:
        ontarix.run(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"))
    assert "Error(Utf8 {" in str(info.value)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "x"), "argument 'input_file': 'int' object cannot be converted to 'PyString'"),
        (("x", b"y"), "argument 'closure_file': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        ontarix.run(*args)
    assert str(info.value) == message


def test_keywords_and_pathlike_subclass(files):
    class P(str):
        pass

    input_file, closure_file = files("set1,A\n")
    records = ontarix.run(closure_file=P(closure_file), input_file=input_file)
    assert [r.get_set_id() for r in records] == ["set1"]


@pytest.mark.parametrize("shuffled", [False, True], ids=["grouped", "shuffled"])
def test_large_generated_input_matches_a_model(tmp_path, shuffled):
    """Thousands of sets over a random DAG, checked against a pure-Python model, across the
    reader's buffer boundaries; with the lines of both files grouped by key, or shuffled."""
    rng = random.Random(5)
    terms = [f"T:{i:05d}" for i in range(3000)]
    closure = {}
    for i, t in enumerate(terms):
        anc = {t}
        for p in rng.sample(range(i), min(i, 2)):
            anc |= closure[terms[p]]
        closure[t] = anc
    sets = {("set1" if k == 0 else f"S{k}"): set(rng.sample(terms, rng.randint(1, 6)))
            for k in range(2000)}
    closure_lines = [f"{t},{a}\n" for t, anc in closure.items() for a in anc]
    input_lines = [f"{k},{t}\n" for k, s in sets.items() for t in s]
    if shuffled:
        rng.shuffle(closure_lines)
        rng.shuffle(input_lines)
    (tmp_path / "cl.csv").write_text("".join(closure_lines))
    (tmp_path / "in.csv").write_text("".join(input_lines))
    assert os.path.getsize(tmp_path / "cl.csv") > 65536 * 4

    def expand(s):
        return set().union(*(closure[t] for t in s))

    ref = expand(sets["set1"])
    got = by_id(ontarix.run(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv")))
    assert got.keys() == sets.keys()
    for k, s in sets.items():
        obj = expand(s)
        subject, object_, score = got[k]
        assert subject == ref and object_ == obj
        assert score == len(ref & obj) / len(ref | obj)
        assert not math.isnan(score)
