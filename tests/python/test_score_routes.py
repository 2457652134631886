"""mrca_and_score and phenomizer_score read plain arguments (exact str keys, float or exact int
scores) in place and hand anything else to the native conversion. Both routes must give the
same results, errors and faults, and switching may neither skip an error nor run Python code
twice. (Each measure's own rules are checked in test_measures.py and test_measure_models.py.)"""

import math
import re

import pytest
from hypothesis import given, settings, strategies as st

import ontarix as o

MISSING = "called `Option::unwrap()` on a `None` value"


class StrSub(str): ...


class Counted:
    """A score whose conversion is Python code; counts the conversions."""

    calls = 0

    def __init__(self, value):
        self.value = value

    def __float__(self):
        Counted.calls += 1
        return self.value


class StoredFloat(float):
    def __float__(self):
        raise AssertionError("a float subclass is read by its stored value")


def outcome(call, *args):
    try:
        return call(*args)
    except BaseException as exc:  # noqa: BLE001 - PanicException is no Exception
        return type(exc).__name__, str(exc)


def bits(x):
    return "nan" if math.isnan(x) else repr(x)  # repr keeps the sign of zero


# ---- both routes on generated inputs ---------------------------------------------------------------

# Multi-character terms, so that copies made with join are other objects than the dicts' keys:
# lookups must match text, not identity.
TERMS = ["t1", "t2", "t3", "\u00e9x", "e\u0301x", "\U0001f600y", "", "owl:Thing"]
terms = st.sampled_from(TERMS)
values = (st.floats() | st.integers(-(2**60), 2**60)
          | st.sampled_from([0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 0]))
FORCE_NATIVE = StrSub("\x00 first key")  # a row no call visits, walked before any other


def copies(s):
    return {"".join(list(t)) for t in s}


@settings(max_examples=300, deadline=None)
@given(st.sets(terms, max_size=5), st.sets(terms, max_size=5), st.data())
def test_phenomizer_routes_agree(a, b, data):
    table: dict = {}
    for x, y in [(x, y) for x in a for y in b] + [(y, x) for x in a for y in b]:
        if data.draw(st.integers(0, 12), label="keep") > 0:  # sometimes a pair is missing
            table.setdefault(x, {})[y] = data.draw(values, label="score")
    plain = outcome(o.phenomizer_score, table, copies(a), copies(b))
    native = outcome(o.phenomizer_score, {FORCE_NATIVE: {}, **table}, a, b)
    if isinstance(native, tuple):
        assert plain == native == ("PanicException", MISSING)
    elif math.isnan(native) or math.isinf(native):
        assert bits(plain) == bits(native)
    else:  # the bests are summed in each set's own order: only the last bits may differ
        assert type(plain) is float and math.isclose(plain, native, rel_tol=1e-12, abs_tol=1e-300)


# ---- switching routes -----------------------------------------------------------------------------

ENCODE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


@pytest.mark.parametrize("args, expected, conversions", [
    # mrca: the first failing entry in the dict's order wins, whichever route meets it.
    (({"a": 1.0, 5: 1.0, "b": Counted(2.0)},), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyString'"), 0),
    (({"a": Counted(2.0), 5: 1.0},), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyString'"), 1),
    (({StrSub("a"): 1.0, "b": "x"},), ("TypeError", "argument 'map': must be real number, not str"), 0),
    (({"a": 10**400, "b": Counted(1.0)},), ("OverflowError", "int too large to convert to float"), 0),
    (({"a": Counted(1.0), "b": 10**400},), ("OverflowError", "int too large to convert to float"), 1),
    (({"a": 1.0, "\ud800": Counted(1.0)},), ("UnicodeEncodeError", ENCODE), 0),
    (({"\ud800": 10**400},), ("UnicodeEncodeError", ENCODE), 0),  # the key before its value
    (({"a": 1, "b": -3, "c": 2.5},), ("b", -3.0), 0),
    (({"a": 1, "b": Counted(-3.0), "c": 2.5},), ("b", -3.0), 1),
    (({"a": StoredFloat(-2.5), "b": True},), ("a", -2.5), 0),
    (({},), ("PanicException", MISSING), 0),
    # phenomizer: map first, then entity1, then entity2.
    (({"a": {"b": Counted(1.0)}, "c": 5}, set(), set()), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyDict'"), 1),
    (({"a": {"b": 1.0}, "c": 5, "d": {"e": Counted(1.0)}}, set(), set()), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyDict'"), 0),
    (({"a": {"b": 1.0}, "c": 5}, set(), set()), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyDict'"), 0),
    (({"a": {StrSub("b"): 1.0}, 1: {}}, "x", "y"), ("TypeError", "argument 'map': 'int' object cannot be converted to 'PyString'"), 0),
    (({"a": {"b": 1.0, "c": []}}, set(), set()), ("TypeError", "argument 'map': must be real number, not list"), 0),
    (({"a": {"b": 1.0}}, {"a", 3}, "x"), ("TypeError", "argument 'entity1': 'int' object cannot be converted to 'PyString'"), 0),
    (({"a": {"b": 1.0}}, {StrSub("a")}, "x"), ("TypeError", "argument 'entity2': 'str' object cannot be converted to 'PySet'"), 0),
    (({"a": {"b": 1.0}}, {"a"}, {"\ud800"}), ("UnicodeEncodeError", ENCODE), 0),
    (({"a": {"\ud800": 10**400}}, set(), set()), ("UnicodeEncodeError", ENCODE), 0),
    (({"a": {"b": Counted(2.0)}, "b": {"a": 4}}, {"a"}, {"b"}), 3.0, 1),
    (({"a": {"b": StoredFloat(2.0)}, "b": {"a": 2**53 + 1}}, {"a"}, {"b"}), (2.0 + 2.0**53) / 2, 0),
    (({"a": {"b": Counted(2.0)}}, {"a"}, {"b"}), ("PanicException", MISSING), 1),
])
def test_first_failure_wins_and_python_code_runs_once(args, expected, conversions):
    Counted.calls = 0
    call = o.mrca_and_score if len(args) == 1 else o.phenomizer_score
    result = outcome(call, *args)
    assert repr(result) == repr(expected) and Counted.calls == conversions


DIAGNOSTIC = re.compile(r"panicked at '(?P<message>.*)', (?P<file>src/[\w/]+\.cpp):\d+:\d+$")


@pytest.mark.parametrize("route", [lambda t: t, lambda t: StrSub(t)])
@pytest.mark.parametrize("call, args, where", [
    (o.mrca_and_score, lambda k: ({},), "src/core/common_ancestor.cpp"),
    (o.phenomizer_score, lambda k: ({k: {"b": 1.0}, "b": {}}, {"a"}, {"b"}), "src/core/phenomizer.cpp"),
    (o.phenomizer_score, lambda k: ({k: {"b": 1.0}}, {"a"}, {"b"}), "src/core/phenomizer.cpp"),
])
def test_faults_come_from_the_core_on_both_routes(capfd, route, call, args, where):
    assert outcome(call, *args(route("a"))) == ("PanicException", MISSING)
    lines = [line for line in capfd.readouterr().err.splitlines() if not line.startswith("note:")]
    assert len(lines) == 1
    match = DIAGNOSTIC.search(lines[0])
    assert match and (match["message"], match["file"]) == (MISSING, where)


# ---- closure tables and profile mappings: every route raises what the conversion raises ----------

class ItemsOnly:
    """A mapping known by its items() alone: profiles read through the generic mapping route."""

    def __init__(self, mapping):
        self.mapping = mapping

    def items(self):
        return self.mapping.items()


def error_of(call):
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the exact type is compared
        return type(exc), str(exc)
    raise AssertionError("no error")


# Each bad table follows a good row, whose subject is a str subclass on the converting route.
BAD_TABLES = {
    "table-not-a-dict": None,
    "row-not-a-dict": {"a": ["p"]},
    "subject-not-str": {1: {"p": {"x"}}},
    "predicate-not-str": {"a": {2: {"x"}}},
    "objects-frozenset": {"a": {"p": frozenset({"x"})}},
    "objects-list": {"a": {"p": ["x"]}},
    "element-not-str": {"a": {"p": {"x", 3}}},
    "subject-surrogate": {"\ud800": {"p": {"x"}}},
    "predicate-surrogate": {"a": {"\ud800": {"x"}}},
    "element-surrogate": {"a": {"p": {"x", "\udc00"}}},
    "first-of-two-errors": {"a": {"p": {4}}, "b": []},
    "entity-not-str": {"a": {"p": {"x"}}},
}
CLOSURE_CALLS = {
    "ClosureIndex": lambda t, bad: o.ClosureIndex(t, frozenset() if bad == "entity-not-str" else None),
    "semantic_jaccard_similarity": lambda t, bad: o.semantic_jaccard_similarity(t, "a", 5 if bad == "entity-not-str" else "b"),
    "max_information_content": lambda t, bad: o.max_information_content(t, "a", "b", frozenset() if bad == "entity-not-str" else {"p"}),
}


@pytest.mark.parametrize("bad", sorted(BAD_TABLES))
@pytest.mark.parametrize("call", sorted(CLOSURE_CALLS))
def test_closure_table_routes_raise_alike(call, bad):
    def table(route):
        rows = BAD_TABLES[bad]
        return ["not", "a", "dict"] if rows is None else {route("first"): {"p": {"x"}}, **rows}

    plain, converted = (error_of(lambda: CLOSURE_CALLS[call](table(route), bad)) for route in (str, StrSub))
    assert plain == converted
    assert plain[0] in (TypeError, ValueError, UnicodeEncodeError)


BAD_PROFILES = {
    "name-not-str": {"q": {"a"}, 1: {"a"}},
    "profile-list": {"q": ["a"]},
    "profile-not-a-set": {"q": {"a"}, "r": object},
    "element-not-str": {"q": {"a", 5}},
    "element-surrogate": {"q": {"a", "\ud800"}},
    "name-surrogate": {"\ud800": {"a"}},
    "first-of-two-errors": {"q": {"a"}, "r": [1], "s": {2}},
    "not-a-subject": {"q": {"a", "r"}},
}
INDEX = o.ClosureIndex({"a": {"p": {"a", "r"}}, "b": {"p": {"b", "r"}}})
PROFILE_CALLS = {
    "top_k-queries": lambda p: INDEX.top_k(p, measure="expanded_jaccard"),
    "top_k-candidates": lambda p: INDEX.top_k({"z": {"a"}}, p, measure="expanded_jaccard"),
}


@pytest.mark.parametrize("bad", sorted(BAD_PROFILES))
@pytest.mark.parametrize("call", sorted(PROFILE_CALLS))
def test_profile_mapping_routes_raise_alike(call, bad):
    def routes():
        given = BAD_PROFILES[bad]
        yield given  # a dict of exact strs: read in place
        yield ItemsOnly({StrSub(k) if isinstance(k, str) else k: v for k, v in given.items()})

    plain, generic = (error_of(lambda: PROFILE_CALLS[call](p)) for p in routes())
    assert plain == generic
    assert plain[0] in (TypeError, KeyError, UnicodeEncodeError)
