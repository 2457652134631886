"""The six measures end to end: results, NaNs, signed zeros, symmetry and faults."""

import gc
import math
import sys

import pytest

import ontarix as o

NAN = float("nan")
MISSING = "called `Option::unwrap()` on a `None` value"


class StrSub(str): ...
class SetSub(set): ...
class DictSub(dict): ...


def same(result, expected):
    """Bit-level equality for floats (nan == nan, -0.0 != 0.0), recursively in tuples."""
    if isinstance(expected, tuple):
        return type(result) is tuple and len(result) == len(expected) and all(map(same, result, expected))
    if isinstance(expected, float):
        return type(result) is float and (
            math.isnan(result) if math.isnan(expected)
            else result == expected and math.copysign(1, result) == math.copysign(1, expected))
    return type(result) is type(expected) and result == expected


def fault(call, *args):
    with pytest.raises(BaseException) as info:
        call(*args)
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    return str(info.value)


def subclassed(terms):
    """The same terms as str subclass instances in a set subclass: the generic native route."""
    return SetSub(StrSub(t) for t in terms)


# ---- set Jaccard and intersection ----------------------------------------------------------------

SET_CASES = [
    # set1, set2, Jaccard index, intersection
    (set(), set(), NAN, set()),
    ({"a"}, set(), 0.0, set()),
    ({"a", "b"}, {"a", "b"}, 1.0, {"a", "b"}),
    ({"a", "b"}, {"b", "c"}, 1 / 3, {"b"}),
    ({"a", "b", "c", "d"}, {"c", "d"}, 0.5, {"c", "d"}),
    ({"A"}, {"a"}, 0.0, set()),
    ({"", " ", "a "}, {"", "a"}, 0.25, {""}),
    ({"\u00e9", "\U0001f600"}, {"e\u0301", "\U0001f600"}, 1 / 3, {"\U0001f600"}),  # no normalisation
    ({f"t{i}" for i in range(300)}, {f"t{i}" for i in range(200, 600)}, 100 / 600, {f"t{i}" for i in range(200, 300)}),
]


@pytest.mark.parametrize("route", [set, subclassed])
@pytest.mark.parametrize("set1, set2, index, common", SET_CASES)
def test_set_measures_are_symmetric_on_both_routes(route, set1, set2, index, common):
    for a, b in ((set1, set2), (set2, set1)):
        assert same(o.jaccard_similarity(route(a), route(b)), index)
        result = o.get_intersection(route(a), route(b))
        assert type(result) is set and result == common
        assert all(type(t) is str for t in result)


@pytest.mark.parametrize("route", [set, subclassed])
def test_intersection_is_a_new_set(route):
    s = route({"a", "b"})
    result = o.get_intersection(s, s)
    assert result == s and result is not s
    result.add("c")
    assert s == {"a", "b"}


def test_sets_with_deleted_entries():
    # Removed elements leave markers in the set's table; they are no elements.
    a = {f"x{i}" for i in range(1000)}
    b = set(a)
    for i in range(0, 1000, 3):
        a.discard(f"x{i}")
    b -= {f"x{i}" for i in range(500)}
    assert o.get_intersection(a, b) == a & b
    assert o.jaccard_similarity(a, b) == len(a & b) / len(a | b)


class Colliding:
    """Hashes like a str and records every equality test: Python code a lookup could run."""

    calls = 0

    def __init__(self, twin):
        self.twin = twin

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        Colliding.calls += 1
        return other == self.twin


@pytest.mark.parametrize("fn", [o.jaccard_similarity, o.get_intersection])
@pytest.mark.parametrize("size", [1, 50])  # the bad set the smaller, then the larger
def test_invalid_element_runs_no_python_code(fn, size):
    good = {"k", *(f"g{i}" for i in range(10))}
    bad = {Colliding("k"), *(f"b{i}" for i in range(size))}
    Colliding.calls = 0
    for args, param in (((good, bad), "set2"), ((bad, good), "set1")):
        with pytest.raises(TypeError, match=f"^argument '{param}': 'Colliding' object cannot be converted to 'PyString'$"):
            fn(*args)
    assert Colliding.calls == 0


def expected_set_error(s):
    """The error of the first element, in the set's own order, that is no encodable str."""
    for x in s:
        if not isinstance(x, str):
            return TypeError
        try:
            x.encode()
        except UnicodeEncodeError:
            return UnicodeEncodeError
    return None


@pytest.mark.parametrize("fn", [o.jaccard_similarity, o.get_intersection])
@pytest.mark.parametrize("bad", [
    {1, "\udc80"}, {"\udc80", 2.5, "a"}, {StrSub("\udc81"), "b", 3}, {"a", "b", "c", "\ud800x"},
])
def test_first_failing_element_wins(fn, bad):
    kind = expected_set_error(bad)
    for good in (set(), {f"t{i}" for i in range(20)}):
        with pytest.raises(kind):
            fn(bad, {5})  # set1 is reported before set2 is looked at
        with pytest.raises(kind) as info:
            fn(good, bad)
        assert type(info.value) is kind
        if kind is TypeError:
            assert str(info.value).startswith("argument 'set2': ")


# ---- most recent common ancestor -----------------------------------------------------------------

@pytest.mark.parametrize("scores, winners", [
    ({"A": 1.0, "B": 2.5}, [("B", 2.5)]),
    ({"A": -3.0, "B": 2.0}, [("A", -3.0)]),
    ({"A": 2.0, "B": -2.0}, [("A", 2.0), ("B", -2.0)]),
    ({"A": NAN, "B": 100.0}, [("A", NAN)]),
    ({"A": -math.inf, "B": NAN, "C": 1e308}, [("B", NAN)]),
    ({"A": 0.0}, [("A", 0.0)]),
    ({"A": -0.0}, [("A", -0.0)]),
    (DictSub({StrSub("A"): 1, "B": True}), [("A", 1.0), ("B", 1.0)]),
])
def test_mrca(scores, winners):
    assert any(same(o.mrca_and_score(scores), w) for w in winners)


def test_mrca_of_an_empty_map_is_a_fault():
    assert fault(o.mrca_and_score, {}) == MISSING


# ---- semantic Jaccard and maximum information content --------------------------------------------

# One predicate: total 9 object entries; counts P 2, R 3, owl:Thing 4.
T = {
    "X": {"p1": {"P", "R", "owl:Thing"}},
    "Y": {"p1": {"P", "R", "owl:Thing"}},
    "P": {"p1": {"R", "owl:Thing"}},
    "R": {"p1": {"owl:Thing"}},
}
# Two predicates, where the filter decides.
T2 = {
    "A": {"is_a": {"B", "C"}, "part_of": {"D"}},
    "F": {"is_a": {"B"}, "part_of": {"D"}},
    "E": {"is_a": {"A"}},
}
ABSENT = object()


def ic(count, total):
    return -math.log2(count / total)


@pytest.mark.parametrize("table, e1, e2, predicates, index", [
    (T, "X", "Y", ABSENT, 1.0),
    (T, "X", "P", ABSENT, 2 / 3),
    (T, "X", "Z", ABSENT, 0.0),
    (T, "Z", "W", ABSENT, NAN),
    (T, "R", "R", ABSENT, 1.0),
    (T, "X", "Y", set(), NAN),
    (T, "X", "Y", {"p2"}, NAN),
    (T2, "A", "F", ABSENT, 2 / 3),
    (T2, "A", "F", {"is_a"}, 0.5),
    (T2, "A", "F", {"part_of"}, 1.0),
    (T2, "E", "A", None, 0.0),  # nothing transitive: E reaches A only
])
def test_semantic_jaccard(table, e1, e2, predicates, index):
    extra = () if predicates is ABSENT else (predicates,)
    for a, b in ((e1, e2), (e2, e1)):
        assert same(o.semantic_jaccard_similarity(table, a, b, *extra), index)
        assert same(o.semantic_jaccard_similarity(DictSub(table), StrSub(a), b, *extra), index)


@pytest.mark.parametrize("table, e1, e2, predicates, result", [
    (T, "X", "Y", ABSENT, ic(2, 9)),
    (T, "X", "P", ABSENT, ic(3, 9)),
    (T, "X", "X", None, ic(2, 9)),
    (T, "R", "X", ABSENT, 0.0),  # only owl:Thing in common, and it never counts
    (T, "X", "Y", set(), 0.0),
    ({**T, "Q": {"p1": {"owl:Thing"}}}, "X", "Y", None, ic(2, 10)),  # the whole table counts
    ({"X": {"p1": {"P"}}, "Y": {"p1": {"P"}}}, "X", "Y", ABSENT, 0.0),  # IC -0.0 never shows
    # The caller's filter also decides which pairs count: part_of holds D twice out of 2.
    (T2, "A", "F", ABSENT, ic(2, 6)),
    (T2, "A", "F", {"is_a"}, ic(2, 4)),
    (T2, "A", "F", {"part_of"}, 0.0),
])
def test_max_information_content(table, e1, e2, predicates, result):
    extra = () if predicates is ABSENT else (predicates,)
    for a, b in ((e1, e2), (e2, e1)):
        assert same(o.max_information_content(table, a, b, *extra), result)
        assert same(o.max_information_content(DictSub(table), a, StrSub(b), *extra), result)


@pytest.mark.parametrize("fn", [o.semantic_jaccard_similarity, o.max_information_content])
@pytest.mark.parametrize("args, kind, message", [
    (({"a": {"p": {"b", 1}}}, "a", 2), TypeError, "argument 'closure_table': 'int' object cannot be converted to 'PyString'"),
    (({"a": {"p": {"b"}}, "c": []}, 1, 2), TypeError, "argument 'closure_table': 'list' object cannot be converted to 'PyDict'"),
    (({"a": {"p": frozenset()}}, 1, 2), TypeError, "argument 'closure_table': 'frozenset' object cannot be converted to 'PySet'"),
    (({StrSub("a"): {"p": {"b"}}}, "a", 2), TypeError, "argument 'entity2': 'int' object cannot be converted to 'PyString'"),
    (({"a": {"p": {"b"}}}, "a", "b", {Colliding("p")}), TypeError, "argument 'predicates': 'Colliding' object cannot be converted to 'PyString'"),
    (({"a": {"p": {"\udc80"}}}, 1, 2), UnicodeEncodeError, None),
    (({"a": {StrSub("p"): {"b"}}}, "a", "\udc80"), UnicodeEncodeError, None),
])
def test_closure_argument_errors(fn, args, kind, message):
    Colliding.calls = 0
    with pytest.raises(kind) as info:
        fn(*args)
    assert type(info.value) is kind and Colliding.calls == 0
    if message is not None:
        assert str(info.value) == message


# ---- phenomizer ----------------------------------------------------------------------------------

@pytest.mark.parametrize("scores, e1, e2, result", [
    ({"a": {"b": 2.0}, "b": {"a": 4.0}}, {"a"}, {"b"}, 3.0),
    ({"a1": {"b": 1.0}, "a2": {"b": 3.0}, "b": {"a1": 2.0, "a2": 5.0}}, {"a1", "a2"}, {"b"}, 3.5),
    ({"a": {"b": -1.0}, "b": {"a": -2.0}}, {"a"}, {"b"}, 0.0),
    ({"a": {"b": NAN, "c": 2.0}, "b": {"a": NAN}, "c": {"a": 4.0}}, {"a"}, {"b", "c"}, (2.0 + 2.0) / 2),
    ({"a": {"b": NAN}, "b": {"a": NAN}}, {"a"}, {"b"}, 0.0),
    ({}, set(), {"b"}, NAN),  # nothing is looked up
    ({}, set(), set(), NAN),
])
def test_phenomizer(scores, e1, e2, result):
    assert same(o.phenomizer_score(scores, e1, e2), result)
    assert same(o.phenomizer_score(scores, e2, e1), result)
    assert same(o.phenomizer_score(DictSub(scores), subclassed(e1), subclassed(e2)), result)


@pytest.mark.parametrize("scores", [
    {"a": {"b": 1.0}},  # map[b] missing: found in the second direction
    {"a": {"b": 1.0}, "b": {}},  # map[b][a] missing
    {"b": {"a": 1.0}},  # map[a] missing: found in the first direction
    {"a": {"c": 1.0}, "b": {"a": 1.0}},
])
def test_phenomizer_missing_pair_is_a_fault(scores):
    assert fault(o.phenomizer_score, scores, {"a"}, {"b"}) == MISSING


# ---- references ----------------------------------------------------------------------------------

def test_calls_leave_reference_counts_and_arguments_unchanged():
    terms = ["".join(["t", str(i)]) for i in range(40)]  # not interned: counts are their own
    s1, s2 = set(terms[:25]), set(terms[10:])
    sub = {StrSub(t) for t in terms[:5]}
    table = {t: {"p1": set(terms[i:i + 5]), "p2": {terms[-1 - i]}} for i, t in enumerate(terms[:30])}
    scores = {a: {b: 1.0 for b in terms[:6]} for a in terms[:6]}
    tracked = [s1, s2, sub, table, scores, *terms, *table.values()]
    snapshot = repr((s1, s2, sub, table, scores))
    before = [sys.getrefcount(x) for x in tracked]
    for _ in range(3):
        o.jaccard_similarity(s1, s2), o.jaccard_similarity(s2, sub)
        o.get_intersection(s1, s2), o.get_intersection(sub, s1)
        for fn in (o.semantic_jaccard_similarity, o.max_information_content):
            fn(table, terms[0], terms[1]), fn(table, terms[2], StrSub(terms[3]), {"p1"})
            pytest.raises(TypeError, fn, table, terms[0], 5)
        o.mrca_and_score(scores[terms[0]])
        o.phenomizer_score(scores, set(terms[:3]), set(terms[3:6]))
        fault(o.phenomizer_score, scores, {terms[0]}, {terms[7]})
        pytest.raises(TypeError, o.get_intersection, s1, {5})
    gc.collect()  # the caught exceptions' tracebacks form cycles with their frames
    assert [sys.getrefcount(x) for x in tracked] == before
    assert repr((s1, s2, sub, table, scores)) == snapshot
