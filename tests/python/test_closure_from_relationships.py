"""closure_from_relationships: the transitive closure of (child, predicate, parent) rows."""

import os
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ontarix

L = "rdfs:subClassOf"
closure = ontarix.closure_from_relationships


def model(rows, follow=None, reflexive=False, label=L):
    """Depth-first search from every term of a followed edge, with an explicit stack."""
    parents: dict = {}
    terms = set()
    for child, predicate, parent in rows:
        if follow is None or predicate in follow:
            parents.setdefault(child, set()).add(parent)
            terms |= {child, parent}
    out = {}
    for term in terms:
        seen: set = set()
        stack = list(parents.get(term, ()))
        while stack:
            t = stack.pop()
            if t not in seen:
                seen.add(t)
                stack.extend(parents.get(t, ()))
        if reflexive:
            seen.add(term)
        if seen:
            out[term] = {label: seen}
    return out


CHAIN = [("a", "is_a", "b"), ("b", "is_a", "c")]
MIXED = [("a", "is_a", "b"), ("b", "part_of", "c"), ("c", "regulates", "d"), ("e", "part_of", "a")]


@pytest.mark.parametrize(
    "rows, kwargs, expected",
    [
        ([], {}, {}),
        ((), {"reflexive": True}, {}),
        (CHAIN, {}, {"a": {L: {"b", "c"}}, "b": {L: {"c"}}}),
        (CHAIN, {"reflexive": True}, {"a": {L: {"a", "b", "c"}}, "b": {L: {"b", "c"}}, "c": {L: {"c"}}}),
        (CHAIN, {"label": "is_a"}, {"a": {"is_a": {"b", "c"}}, "b": {"is_a": {"c"}}}),
        # a cycle: each of its terms reaches every one, itself included, and so does what leads in
        ([("a", "p", "b"), ("b", "p", "a"), ("c", "p", "a")], {},
         {"a": {L: {"a", "b"}}, "b": {L: {"a", "b"}}, "c": {L: {"a", "b"}}}),
        ([("a", "p", "a")], {}, {"a": {L: {"a"}}}),
        ([("a", "p", "a"), ("b", "p", "a")], {"reflexive": True}, {"a": {L: {"a"}}, "b": {L: {"a", "b"}}}),
        # a diamond, and rows given twice
        ([("a", "p", "b"), ("a", "p", "c"), ("b", "p", "d"), ("c", "p", "d"), ("a", "p", "b")], {},
         {"a": {L: {"b", "c", "d"}}, "b": {L: {"d"}}, "c": {L: {"d"}}}),
        # the follow filter, in every accepted container; predicates it does not name break paths
        (MIXED, {"follow": {"is_a", "part_of"}}, {"a": {L: {"b", "c"}}, "b": {L: {"c"}}, "e": {L: {"a", "b", "c"}}}),
        (MIXED, {"follow": frozenset({"is_a"})}, {"a": {L: {"b"}}}),
        (MIXED, {"follow": ["regulates", "regulates"]}, {"c": {L: {"d"}}}),
        (MIXED, {"follow": ("part_of",), "reflexive": True},
         {"b": {L: {"b", "c"}}, "c": {L: {"c"}}, "e": {L: {"e", "a"}}, "a": {L: {"a"}}}),
        (MIXED, {"follow": set(), "reflexive": True}, {}),
        (MIXED, {"follow": None}, model(MIXED)),
        # exact strings: case, spaces and normal forms count
        ([("é", "p", "e\u0301"), ("E\u0301", "p", " é")], {}, {"é": {L: {"e\u0301"}}, "E\u0301": {L: {" é"}}}),
    ],
)
def test_closure(rows, kwargs, expected):
    assert closure(rows, **kwargs) == expected


names = st.sampled_from(["A", "B", "C", "D", "E", "F", "G", "é"])
predicates = st.sampled_from(["is_a", "part_of", "regulates"])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(names, predicates, names), max_size=25),
       st.none() | st.sets(predicates), st.booleans())
def test_matches_a_search_from_every_term(rows, follow, reflexive):
    assert closure(rows, follow=follow, reflexive=reflexive) == model(rows, follow, reflexive)


@pytest.mark.parametrize(
    "rows",
    [
        [(f"t{i}", "is_a", f"t{i + 1}") for i in range(2000)],  # a chain
        [(f"t{i}", "is_a", f"t{(i + 1) % 1400}") for i in range(1400)],  # one long cycle
    ],
    ids=["chain", "cycle"],
)
def test_depth_costs_no_stack(rows):
    # Far deeper than a recursive walk could go with this little stack, native or Python. An
    # AddressSanitizer build pads every native frame with red zones, so the same code needs a few
    # times the stack there (and a recursive walk would still need far more).
    found = []
    previous = threading.stack_size((256 if "ASAN_OPTIONS" in os.environ else 32) * 1024)
    try:
        worker = threading.Thread(target=lambda: found.append(closure(rows)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    [result] = found
    assert len(result) == len(rows)
    assert {len(v[L]) for v in result.values()} == (
        set(range(1, len(rows) + 1)) if rows[-1][2] == "t2000" else {len(rows)}
    )
    assert result["t0"][L] == {c for c, _, _ in rows[1:]} | {rows[-1][2]}
    # Large sets behave as any set while they shrink and grow again.
    big = result["t0"][L]
    for term in list(big)[::2]:
        big.remove(term)
    big |= {f"x{i}" for i in range(3000)}
    assert len(big) == (len(rows) + 1) // 2 + 3000 and all(f"x{i}" in big for i in range(3000))


class FreshRows:
    """A sequence whose items exist only while it hands them out: new tuples of new strings."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        return ("".join(["t", str(i)]), "p", "".join(["t", str(i // 2)]))


def test_rows_that_live_only_during_the_call():
    rows = FreshRows(300)
    assert closure(rows) == model([rows[i] for i in range(300)])


def test_sets_are_independent_plain_objects_and_rows_are_untouched():
    class S(str):
        pass

    rows = [(S("a"), "p", S("b")), ("c", S("p"), "b"), ("b", "p", "d")]
    kept = list(rows)
    result = closure(rows, label=S("L"))
    assert result == {"a": {"L": {"b", "d"}}, "c": {"L": {"b", "d"}}, "b": {"L": {"d"}}}
    assert {type(x) for k, v in result.items() for x in (k, *v, *v["L"])} == {str}
    result["a"]["L"].add("zz")
    assert result["c"]["L"] == {"b", "d"} and rows == kept


# Whatever relationships_to_closure_table refuses, and how, is refused the same way.
BAD_ROWS = [
    "abc",
    5,
    None,
    {("a", "p", "b")},
    (row for row in [("a", "p", "b")]),
    [("a", "p")],
    [("a", "p", "b", "c")],
    [["a", "p", "b"]],
    [("a", 1, "b")],
    [("a", "p", b"b")],
    [("a", "p", "\udc80")],
]


@pytest.mark.parametrize("rows", BAD_ROWS, ids=range(len(BAD_ROWS)))
def test_bad_rows_fail_as_in_relationships_to_closure_table(rows):
    with pytest.raises(Exception) as expected:
        ontarix.relationships_to_closure_table(rows)
    with pytest.raises(Exception) as got:
        closure(rows, follow={"p"}, reflexive=True)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"follow": "is_a"}, "argument 'follow': expected a set of predicates, got a str (write {'is_a'} rather than 'is_a')"),
        ({"follow": 5}, "argument 'follow': 'int' object cannot be converted to 'PySet'"),
        ({"follow": {"is_a": 1}}, "argument 'follow': 'dict' object cannot be converted to 'PySet'"),
        ({"follow": {1}}, "argument 'follow': 'int' object cannot be converted to 'PyString'"),
        ({"follow": ["is_a", None]}, "argument 'follow': 'NoneType' object cannot be converted to 'PyString'"),
        ({"reflexive": 1}, "argument 'reflexive': 'int' object cannot be converted to 'PyBool'"),
        ({"reflexive": None}, "argument 'reflexive': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"label": None}, "argument 'label': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_option_errors_name_the_option(kwargs, message):
    with pytest.raises(TypeError) as info:
        closure(CHAIN, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message
