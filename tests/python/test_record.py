"""The record class that `run` returns."""

import pytest

import ontarix


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    d = tmp_path_factory.mktemp("record")
    (d / "in.csv").write_text("set1,A\nset2,B\n")
    (d / "cl.csv").write_text("A,A\nA,R\nB,B\nB,R\n")
    records = ontarix.run(str(d / "in.csv"), str(d / "cl.csv"))
    return next(r for r in records if r.get_set_id() == "set2")


def test_class_properties(record):
    cls = type(record)
    assert cls.__name__ == cls.__qualname__ == "TermSetPairwiseSimilarity"
    assert cls.__module__ == "builtins"
    assert cls.__doc__ is None
    assert not hasattr(ontarix, "TermSetPairwiseSimilarity")
    assert "TermSetPairwiseSimilarity" not in ontarix.__all__
    methods = ["new", "get_set_id", "get_subject_termset", "get_object_termset",
               "get_subject_best_matches", "get_object_best_matches", "get_average_score",
               "get_best_score", "get_metric"]
    assert [m for m in cls.__dict__ if not m.startswith("__")] == methods
    assert cls.new.__text_signature__ == "()"
    for m in methods[1:]:
        assert getattr(cls, m).__text_signature__ == "($self)"
        assert getattr(cls, m).__doc__ is None


def test_values_and_fresh_copies(record):
    assert record.get_set_id() == "set2"
    assert record.get_best_score() == 1 / 3
    for getter in ("get_subject_termset", "get_object_termset",
                   "get_subject_best_matches", "get_object_best_matches"):
        first = getattr(record, getter)()
        assert first is not getattr(record, getter)()
        first_len = len(first)
        (first.add if isinstance(first, set) else first.append)("X")
        assert len(getattr(record, getter)()) == first_len
    assert callable(record.get_best_score)


@pytest.mark.parametrize("make", [lambda r: type(r).new(), lambda r: r.new()])
def test_new_holds_the_defaults(record, make):
    fresh = make(record)
    assert type(fresh) is type(record)
    assert fresh.get_set_id() == ""
    assert fresh.get_subject_termset() == set() and fresh.get_object_termset() == set()
    assert fresh.get_subject_best_matches() == [] and fresh.get_object_best_matches() == []
    assert fresh.get_average_score() == 0.0 and fresh.get_best_score() == 0.0
    assert fresh.get_metric() == "SWO:0000243"


def test_frozen_and_closed(record):
    cls = type(record)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls(1, x=2)
    with pytest.raises(AttributeError):
        record.x = 1
    with pytest.raises(AttributeError):
        record.get_set_id = None
    with pytest.raises(TypeError):
        type("S", (cls,), {})
    with pytest.raises(TypeError):
        record.get_set_id(1)
    with pytest.raises(TypeError):
        cls.get_set_id("not a record")
    assert not hasattr(record, "__dict__")


def test_records_outlive_everything_else(tmp_path):
    (tmp_path / "in.csv").write_text("set1,A\n")
    (tmp_path / "cl.csv").write_text("A,long-term-" + "x" * 100 + "\n")
    records = ontarix.run(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"))
    (tmp_path / "in.csv").unlink()
    (tmp_path / "cl.csv").unlink()
    only = records.pop()
    del records
    assert only.get_object_termset() == {"long-term-" + "x" * 100}
