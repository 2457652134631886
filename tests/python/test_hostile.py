"""Hostile inputs at the Python boundary: Python code that runs in the middle of a conversion and
changes, breaks or re-enters what is being converted; subclasses whose special methods lie; text
that cannot be encoded; inputs that are very large or very deep; and memory exhaustion injected
at every allocation of a call. Each case ends with its documented result or exception."""

import gc
import importlib.util
import json
import math
import sys

import pytest

import ontarix as o
from conftest import provoke_panic, qualname_meta, run_python

Panic = type(provoke_panic())
UNWRAPPED = "Unwrapped panic from Python code"
CHANGED_SIZE = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


def fresh(text):
    """A str object of its own, so that no interned literal keeps it alive behind a view."""
    return "".join(list(text))


def raise_(exc):
    raise exc


# ---- score values that run Python code -----------------------------------------------------------


class OnFloat:
    """A score whose __float__ runs `action(container)` and then returns `value` (or raises it)."""

    def __init__(self, action=None, value=1.0):
        self.action, self.value, self.container = action, value, None

    def __float__(self):
        if self.action:
            self.action(self.container)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def scores(*items, bind=None):
    """A score dict; every OnFloat in it acts on `bind` (by default the dict itself)."""
    d = {fresh(k): v for k, v in items}
    for v in d.values():
        if isinstance(v, OnFloat):
            v.container = d if bind is None else bind
    return d


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntFloat(int):
    def __float__(self):
        return 2.5


class FloatFloat(float):
    def __float__(self):
        return 9.0  # never consulted: a float is used as it is


class Unprintable:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


def reentering_scores():
    d = {fresh("a"): None}
    d["a"] = OnFloat(lambda _: o.mrca_and_score(d))  # converts d again, forever
    return d


def nested_call_scores():
    d = scores(("a", OnFloat(lambda _: o.relationships_to_closure_table([("x", "p", "y")]), 3.0)))
    return d


def rebinding_later_value():
    d = scores(("a", OnFloat(lambda d: d.__setitem__("b", 5.0))), ("b", 1.0))
    return d


def pairwise_inner_cleared():
    inner = scores(("k1", 1.0), ("k2", OnFloat(lambda d: d.clear())), ("k3", 1.0))
    return {fresh("x"): inner}


def pairwise_outer_key_dropped():
    outer = {}
    outer[fresh("x")] = scores(("k1", 1.0), ("k2", OnFloat(lambda _: outer.clear())), bind=outer)
    return outer


def phenomizer_sees_later_argument_change():
    # Without the change, the pair (c, b) would be missing from the table: a fault.
    e1, e2 = {fresh("a"), fresh("c")}, {fresh("b")}
    table = {fresh("a"): {fresh("b"): OnFloat(lambda _: e1.discard("c"), 2.0)}, fresh("b"): {fresh("a"): 4.0}}
    return table, e1, e2


# ---- subclasses with lying special methods ------------------------------------------------------


class NeverEqual(str):
    """Distinct entries of one set although their text is the same."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 7

    def __len__(self):
        return 99

    def __str__(self):
        return "lie"


class LyingSet(set):
    def __iter__(self):
        return iter(["not", "these"])

    def __len__(self):
        return 1000

    def __contains__(self, item):
        return True


class LyingDict(dict):
    def __iter__(self):
        raise AssertionError("__iter__ consulted")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ consulted")

    def __len__(self):
        return 0

    def __missing__(self, key):
        return {"p": {"x"}}

    def keys(self):
        raise AssertionError("keys() consulted")


class LyingTuple(tuple):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return "lie"

    def __iter__(self):
        return iter(("l", "i", "e"))


class LyingFrozen(frozenset):
    pass


PanickingName = qualname_meta(lambda: raise_(Panic("from __qualname__")))


# ---- sequences that lie ------------------------------------------------------------------------------


class Rows:
    """A sequence by __getitem__, with whatever __len__ it is given."""

    def __init__(self, rows, length=None, getitem=None):
        self.rows, self.length, self.getitem = rows, length, getitem

    def __len__(self):
        return self.length() if callable(self.length) else self.length

    def __getitem__(self, i):
        if self.getitem:
            return self.getitem(i)
        return self.rows[i]


def rows(n=3):
    return [(fresh(f"s{i}"), fresh("p"), fresh(f"o{i}")) for i in range(n)]


def table_of(row_list):
    table = {}
    for s, p, obj in row_list:
        table.setdefault(s, {}).setdefault(p, set()).add(obj)
    return table


class TemporaryItems(list):
    """Iterates over a list that only the iterator owns: the list dies when the iterator ends."""

    def __iter__(self):
        return iter(rows(300))


class TemporaryTupleItems(tuple):
    def __iter__(self):
        return iter(tuple(rows(300)))


class NotAnIterator(list):
    def __iter__(self):
        return 5


class PanickingIterator(list):
    def __iter__(self):
        yield rows(1)[0]
        raise Panic("from the iterator")


class StrByClass(list):
    __class__ = property(lambda self: str)


def deep_list(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


def deep_tuple(depth):
    x = ()
    for _ in range(depth):
        x = (x,)
    return x


def big_sets(n):
    a = {f"t{i}" for i in range(n)}
    b = {f"t{i}" for i in range(n // 2, n + n // 2)}
    return a, b


HUGE_TEXT = "x" * (8 << 20)


# ---- the index: names, mappings and sets that change what is being read ----------------------------

INDEX = o.ClosureIndex({"a": {"p": {"a", "r"}}, "b": {"p": {"b", "r"}}})


class Thing:
    """A value of no builtin type: not kept on a free list, so a use after free reads garbage."""


class NameThatEmpties(str):
    """A profile name whose __repr__ (run to name it in an error) empties the mapping it came from."""

    def __repr__(self):
        self.mapping.clear()
        return "'" + str(self) + "'"


def emptied_by_name(profile):
    mapping = {}
    name = NameThatEmpties("q")
    name.mapping = mapping
    mapping[name] = profile
    return mapping


class NameThatClears(str):
    """Hashed and compared while the result dict is built: clears `targets` and maybe raises."""

    def __hash__(self):
        for t in self.targets:
            t.clear()
        return 7

    def __eq__(self, other):
        if self.raises:
            raise ValueError("eq")
        return str.__eq__(self, other)


def clearing_names(raises=False):
    sets = [{"a"}, {"b", "zz"}]
    names = [NameThatClears("q0"), NameThatClears("q1")]
    for name in names:
        name.targets, name.raises = (), False
    queries = dict(zip(names, sets))
    for name in names:  # armed once the mapping is made
        name.targets, name.raises = (queries, *sets), raises
    return queries


class ItemsThatMutate:
    """A mapping by items() alone, whose items() empties its dict and the sets it hands out."""

    def __init__(self, **profiles):
        self.profiles = profiles

    def items(self):
        pairs = list(self.profiles.items())
        for _, s in pairs:
            s.clear()
        self.profiles.clear()
        return iter(pairs)


class Profiles:
    """A mapping by items() alone, whose items are made (and dropped) by a generator."""

    def __init__(self, make):
        self.make = make

    def items(self):
        return self.make()


def yields_then_frees():
    sets = {"q": {Thing()}}
    yield "q", sets.pop("q")


def later_item_mutates_earlier():
    first = {"a"}
    yield "q1", first
    first.add("b")  # after it was yielded, before it is read
    yield "q2", {"b"}


def ic_that_clears(table):
    class Clearing:
        def __float__(self):
            for row in table.values():
                for objects in row.values():
                    objects.clear()
            table.clear()
            return 1.5
    return {"a": Clearing(), "r": 0.5}


def fresh_table():
    return {fresh("a"): {fresh("p"): {fresh("a"), fresh("r")}}, fresh("b"): {fresh("p"): {fresh("b"), fresh("r")}}}


def index_with_clearing_ic():
    table = fresh_table()
    idx = o.ClosureIndex(table, {fresh("p")}, information_content=ic_that_clears(table))
    return (table, idx.information_content("a"), sorted(idx.ancestors("b")))


def generator_mutating_earlier_sets():
    sets = [{"a"}, {"b"}]

    def gen():  # read to its end before any set is converted
        yield sets[0]
        sets[0].add("zz")
        yield sets[1]
    return INDEX.similarity_matrix(gen(), measure="jaccard").tolist()


VALUE_FOR_Q = "ClosureIndex.top_k() argument 'queries' value for 'q'"


# a -> r, b -> r: a query of "b" scores IC(b) against {"b"}, and the pool term "a" only IC(r).
RANKING = o.ClosureIndex({"a": {"p": {"a", "r"}}, "b": {"p": {"b", "r"}}, "r": {"p": {"r"}}})


def pvalues_while_the_pool_empties_the_candidates():
    candidates = {fresh(f"c{i}"): {fresh("a"), fresh("b")} for i in range(50)}
    expected = RANKING.pvalues({"a"}, dict(candidates), pool=["a", "b", "r"], method="sampling", samples=200)

    def pool():
        candidates.clear()
        gc.collect()
        yield from ["a", "b", "r"]

    got = RANKING.pvalues({"a"}, candidates, pool=pool(), method="sampling", samples=200)
    return list(got) == list(expected)


def case(id, call, expected):
    return pytest.param(call, expected, id=id)


def err(exc_type, message):
    return (exc_type, message)


CASES = [
    # __float__ / __index__ on the dict being converted
    case("float-adds-key", lambda: o.mrca_and_score(scores(("a", OnFloat(lambda d: d.__setitem__("z", 1.0))))), err(Panic, CHANGED_SIZE)),
    case("float-clears-dict", lambda: o.mrca_and_score(scores(("a", 1.0), ("b", OnFloat(lambda d: d.clear())))), err(Panic, CHANGED_SIZE)),
    case("float-swaps-a-key", lambda: o.mrca_and_score(scores(("a", OnFloat(lambda d: (d.pop("a"), d.__setitem__("c", 1.0)))), ("b", 1.0))), err(Panic, KEYS_CHANGED)),
    case("float-rebinds-later-value", lambda: o.mrca_and_score(rebinding_later_value()), ("b", 5.0)),
    case("float-clears-inner-dict", lambda: o.phenomizer_score(pairwise_inner_cleared(), set(), set()), err(Panic, CHANGED_SIZE)),
    case("float-drops-inner-from-outer", lambda: o.phenomizer_score(pairwise_outer_key_dropped(), set(), set()), err(Panic, CHANGED_SIZE)),
    case("float-changes-a-later-argument", lambda: o.phenomizer_score(*phenomizer_sees_later_argument_change()), 3.0),
    case("float-raises", lambda: o.mrca_and_score(scores(("a", OnFloat(value=KeyError("k"))))), err(KeyError, "'k'")),
    case("float-raises-type-error", lambda: o.mrca_and_score(scores(("a", OnFloat(value=TypeError("bad"))))), err(TypeError, "argument 'map': bad")),
    case("float-raises-panic", lambda: o.mrca_and_score(scores(("a", OnFloat(value=Panic("p"))))), err(Panic, UNWRAPPED)),
    case("float-error-str-raises", lambda: o.mrca_and_score(scores(("a", OnFloat(value=TypeError(Unprintable(ValueError("no str"))))))), err(ValueError, "no str")),
    case("float-error-str-raises-panic", lambda: o.mrca_and_score(scores(("a", OnFloat(value=TypeError(Unprintable(Panic("s"))))))), err(Panic, UNWRAPPED)),
    case("float-returns-huge", lambda: o.mrca_and_score(scores(("a", OnFloat(value=1e308 * 10)))), ("a", float("inf"))),
    case("float-returns-str", lambda: o.mrca_and_score(scores(("a", OnFloat(value="x")))), err(TypeError, "argument 'map': OnFloat.__float__ returned non-float (type str)")),
    case("float-reenters-same-dict", lambda: o.mrca_and_score(reentering_scores()), err(RecursionError, "maximum recursion depth exceeded")),
    case("float-makes-a-nested-call", lambda: o.mrca_and_score(nested_call_scores()), ("a", 3.0)),
    case("index-huge", lambda: o.mrca_and_score(scores(("a", Index(10**400)))), err(OverflowError, "int too large to convert to float")),
    case("index-negative-huge", lambda: o.phenomizer_score({"a": scores(("b", Index(-(10**400))))}, {"a"}, {"b"}), err(OverflowError, "int too large to convert to float")),
    case("index-not-int", lambda: o.mrca_and_score(scores(("a", Index("3")))), err(TypeError, "argument 'map': __index__ returned non-int (type str)")),
    case("int-subclass-float", lambda: o.mrca_and_score(scores(("a", IntFloat(1)))), ("a", 2.5)),
    case("float-subclass-float", lambda: o.mrca_and_score(scores(("a", FloatFloat(1.0)))), ("a", 1.0)),
    case("int-too-large", lambda: o.mrca_and_score(scores(("a", 2**1024))), err(OverflowError, "int too large to convert to float")),
    # subclasses whose special methods lie: the containers' own contents count
    case("str-never-equal-in-set", lambda: o.jaccard_similarity({NeverEqual("a"), NeverEqual("a")}, {"a"}), 1.0),
    case("str-never-equal-intersection", lambda: o.get_intersection({NeverEqual("a"), NeverEqual("b")}, {"a"}), {"a"}),
    # two keys with one text: the later one's row replaces the earlier one's
    case("str-never-equal-keys", lambda: o.semantic_jaccard_similarity({NeverEqual("a"): {"p": {"x"}}, "a": {"p": {"y"}}, "b": {"p": {"y"}}}, "a", "b"), 1.0),
    case("set-lies", lambda: o.jaccard_similarity(LyingSet({"a", "b"}), {"a"}), 0.5),
    case("set-lies-native", lambda: o.get_intersection(LyingSet({NeverEqual("a"), "b"}), {"a"}), {"a"}),
    case("set-lies-as-filter", lambda: o.semantic_jaccard_similarity({"a": {"p": {"x"}}, "b": {"q": {"x"}}}, "a", "b", LyingSet({"p"})), 0.0),
    case("dict-lies", lambda: o.mrca_and_score(LyingDict(a=1.0, b=2.0)), ("b", 2.0)),
    case("dict-lies-closure", lambda: o.max_information_content(LyingDict(a={"p": {"r", "x"}}, b=LyingDict(p={"r"})), "a", "b"), -math.log2(2 / 3)),
    case("dict-missing-ignored", lambda: o.semantic_jaccard_similarity(LyingDict(a={"p": {"x"}}), "a", "nope"), 0.0),
    case("tuple-lies", lambda: o.relationships_to_closure_table([LyingTuple(("a", "p", "b"))]), {"a": {"p": {"b"}}}),
    case("tuple-lies-about-length", lambda: o.relationships_to_closure_table([LyingTuple(("a", "p"))]), err(ValueError, "expected tuple of length 3, but got tuple of length 2")),
    case("frozenset-subclass", lambda: o.jaccard_similarity(LyingFrozen({"a"}), {"a"}), err(TypeError, "argument 'set1': 'LyingFrozen' object cannot be converted to 'PySet'")),
    case("type-name-raises-panic", lambda: o.jaccard_similarity({"a"}, PanickingName()), err(Panic, UNWRAPPED)),
    # text that UTF-8 cannot hold
    case("surrogate-in-set", lambda: o.jaccard_similarity({"a"}, {"\ud800"}), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-pair-halves", lambda: o.get_intersection({"\ud83d\ude00"}, set()), err(UnicodeEncodeError, "'utf-8' codec can't encode characters in position 0-1: surrogates not allowed")),
    case("surrogate-closure-key", lambda: o.semantic_jaccard_similarity({"a": {"\ud800": set()}}, "a", "a"), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-in-subclass", lambda: o.max_information_content({}, "a", NeverEqual("\ud800")), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-score-key", lambda: o.mrca_and_score({"\ud800": 1.0}), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-triple", lambda: o.relationships_to_closure_table([("a", "p", "\ud800")]), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-path", lambda: o.run("\ud800", "x"), err(UnicodeEncodeError, SURROGATE)),
    case("surrogate-keyword", lambda: o.jaccard_similarity(**{"\ud800": 1}), err(TypeError, "jaccard_similarity() got an unexpected keyword argument '\ud800'")),
    case("astral-text-is-fine", lambda: o.get_intersection({"\U0001f600", "e\u0301"}, {"\U0001f600"}), {"\U0001f600"}),
    # very large and very deep
    case("large-sets", lambda: o.jaccard_similarity(*big_sets(200_000)), 1 / 3),
    case("large-sets-native", lambda: len(o.get_intersection({NeverEqual("x"), *big_sets(100_000)[0]}, big_sets(100_000)[1])), 50_000),
    case("large-rows", lambda: len(o.relationships_to_closure_table([(f"s{i % 1000}", "p", f"o{i}") for i in range(200_000)])), 1000),
    case("huge-term", lambda: o.mrca_and_score({HUGE_TEXT: 1.0})[0] == HUGE_TEXT, True),
    case("deep-score-value", lambda: o.mrca_and_score({"a": deep_list(100_000)}), err(TypeError, "argument 'map': must be real number, not list")),
    case("deep-triple", lambda: o.relationships_to_closure_table([deep_tuple(100_000)]), err(ValueError, "expected tuple of length 3, but got tuple of length 1")),
    case("deep-closure-row", lambda: o.semantic_jaccard_similarity({"a": deep_list(100_000)}, "a", "a"), err(TypeError, "argument 'closure_table': 'list' object cannot be converted to 'PyDict'")),
    # sequences whose length lies, or whose iteration misbehaves
    case("len-huge", lambda: o.relationships_to_closure_table(Rows(rows(), sys.maxsize)), table_of(rows())),
    case("len-negative", lambda: o.relationships_to_closure_table(Rows(rows(), -5)), table_of(rows())),
    case("len-raises", lambda: o.relationships_to_closure_table(Rows(rows(), lambda: 1 / 0)), table_of(rows())),
    case("len-too-large-for-ssize", lambda: o.relationships_to_closure_table(Rows(rows(), 2**70)), table_of(rows())),
    case("len-raises-panic", lambda: o.relationships_to_closure_table(Rows(rows(), lambda: raise_(Panic("len")))), err(Panic, UNWRAPPED)),
    case("len-too-small", lambda: o.relationships_to_closure_table(Rows(rows(5), 1)), table_of(rows(5))),
    case("len-too-large", lambda: o.relationships_to_closure_table(Rows(rows(), 50)), table_of(rows())),
    case("getitem-raises-panic", lambda: o.relationships_to_closure_table(Rows(rows(), 3, lambda i: raise_(Panic("item")))), err(Panic, UNWRAPPED)),
    case("getitem-reenters", lambda: o.relationships_to_closure_table(Rows(None, 1, lambda i: (o.get_intersection({"a"}, {"a"}).pop(), "p", "b") if i < 2 else raise_(IndexError))), {"a": {"p": {"b"}}}),
    case("iter-owns-the-items", lambda: o.relationships_to_closure_table(TemporaryItems()), table_of(rows(300))),
    case("tuple-iter-owns-the-items", lambda: o.relationships_to_closure_table(TemporaryTupleItems()), table_of(rows(300))),
    case("iter-not-an-iterator", lambda: o.relationships_to_closure_table(NotAnIterator()), err(TypeError, "argument 'list_of_tuples': iter() returned non-iterator of type 'int'")),
    case("iter-raises-panic", lambda: o.relationships_to_closure_table(PanickingIterator()), err(Panic, UNWRAPPED)),
    case("class-claims-str", lambda: o.relationships_to_closure_table(StrByClass()), err(TypeError, "argument 'list_of_tuples': Can't extract `str` to `Vec`")),
    # the index: a name's __repr__ frees the profile being reported, or the set holding the element
    case("index-repr-frees-the-profile", lambda: INDEX.top_k(emptied_by_name(Thing())), err(TypeError, f"{VALUE_FOR_Q} must be a set of str, not Thing")),
    case("index-repr-frees-the-element", lambda: INDEX.top_k(emptied_by_name({Thing()})), err(TypeError, f"{VALUE_FOR_Q} element must be str, not Thing")),
    case("index-repr-frees-a-prepared-profile", lambda: INDEX.prepare(emptied_by_name(Thing())), err(TypeError, "ClosureIndex.prepare() argument 'profiles' value for 'q' must be a set of str, not Thing")),
    case("index-repr-frees-a-candidate", lambda: INDEX.top_k({"x": {"a"}}, emptied_by_name([1])), err(TypeError, "ClosureIndex.top_k() argument 'candidates' value for 'q' must be a set of str, not list")),
    # names hashed and compared while the result is built, clearing the arguments meanwhile
    case("index-hash-clears-the-arguments", lambda: {str(k): v for k, v in INDEX.top_k(clearing_names(), k=1, measure="jaccard").items()}, {"q0": [("q1", 0.0)], "q1": [("q0", 0.0)]}),
    case("index-eq-raises", lambda: INDEX.top_k(clearing_names(raises=True)), err(ValueError, "eq")),
    # mappings whose items() or iteration changes or frees what they hand out
    case("index-items-empties-the-mapping", lambda: repr(INDEX.top_k(ItemsThatMutate(q={"a"}, r={"b"}), k=1, measure="jaccard")), "{'q': [('r', nan)], 'r': [('q', nan)]}"),
    case("index-items-generator-frees", lambda: INDEX.top_k(Profiles(yields_then_frees)), err(TypeError, f"{VALUE_FOR_Q} element must be str, not Thing")),
    case("index-items-change-an-earlier-set", lambda: INDEX.top_k(Profiles(later_item_mutates_earlier), k=1, measure="jaccard"), {"q1": [("q2", 0.5)], "q2": [("q1", 0.5)]}),
    case("index-items-not-pairs", lambda: INDEX.top_k(Profiles(lambda: iter([("q", {"a"}, 3)]))), err(TypeError, "ClosureIndex.top_k() argument 'queries' must be a mapping of str to sets of str, not Profiles")),
    case("index-sequence-changes-earlier-sets", generator_mutating_earlier_sets, [[1.0, 0.0], [0.0, 1.0]]),
    # a custom information content that empties the table it is given with
    case("index-ic-clears-the-table", index_with_clearing_ic, ({}, 1.5, ["b", "r"])),
    # p-values: a pool whose iteration runs Python code, lying strs, text that cannot be encoded
    case("pool-iteration-empties-the-candidates", lambda: pvalues_while_the_pool_empties_the_candidates(), True),
    case("pool-str-never-equal", lambda: round(RANKING.pvalues({"b"}, {"x": {"b"}}, pool=[NeverEqual("a"), NeverEqual("a"), "b"])[0], 5), 0.5),
    case("query-surrogate", lambda: RANKING.pvalues({"\ud800"}, {"x": {"a"}}), err(UnicodeEncodeError, SURROGATE)),
    case("pool-surrogate", lambda: RANKING.pvalues({"a"}, {"x": {"a"}}, pool=["a", "\ud800"]), err(UnicodeEncodeError, SURROGATE)),
    case("pool-raises-panic", lambda: RANKING.pvalues({"a"}, {"x": {"a"}}, pool=PanickingIterator()), err(Panic, UNWRAPPED)),
]


@pytest.mark.parametrize("call, expected", CASES)
def test_hostile_input(call, expected):
    if isinstance(expected, tuple) and len(expected) == 2 and isinstance(expected[0], type) \
            and issubclass(expected[0], BaseException):
        exc_type, message = expected
        with pytest.raises(BaseException) as info:
            call()
        assert (type(info.value), str(info.value)) == (exc_type, message)
    else:
        assert call() == expected


@pytest.mark.parametrize(
    "lie",
    [
        pytest.param(lambda np, shape, dtype: np.zeros(1), id="too-small"),
        pytest.param(lambda np, shape, dtype: np.zeros(shape, "float32"), id="float32"),
        pytest.param(lambda np, shape, dtype: np.zeros(shape[::-1]).T, id="fortran-order"),
        pytest.param(lambda np, shape, dtype: np.zeros((shape[0], 2 * shape[1]))[:, ::2], id="strided"),
        pytest.param(lambda np, shape, dtype: np.broadcast_to(np.zeros(1), shape), id="read-only"),
        pytest.param(lambda np, shape, dtype: bytearray(8 * shape[0] * shape[1]), id="flat-bytes"),
    ],
)
def test_a_matrix_is_written_only_into_a_buffer_that_fits(monkeypatch, lie):
    np = pytest.importorskip("numpy")
    monkeypatch.setattr(np, "empty", lambda shape, dtype: lie(np, shape, dtype))
    with pytest.raises(TypeError) as info:
        INDEX.similarity_matrix([{"a"}, {"b"}, {"a", "b"}])
    assert str(info.value).startswith("numpy.empty((3, 3), 'float64') returned a ")
    assert str(info.value).endswith(" whose buffer is not a writable C-contiguous float64 array of that shape")


# ---- finalizers that sabotage the arguments ----------------------------------------------------


def closure_table(n=200):
    return {fresh(f"s{i}"): {fresh(f"p{j}"): {fresh(f"o{i}_{j}"), fresh("r")} for j in range(4)}
            for i in range(n)}


@pytest.mark.parametrize("fn", [o.semantic_jaccard_similarity, o.max_information_content])
def test_a_finalizer_cannot_empty_the_table_mid_call(fn):
    # The direct route allocates working sets while it holds pointers into the caller's table; a
    # collection started there would run this finalizer, which frees every row.
    expected = fn(closure_table(), "s1", "s2")
    table = closure_table()

    class Saboteur:
        def __del__(self):
            table.clear()
            sys.intern  # touch something, as real finalizers do

    old = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1, 1, 1)
    saboteur = Saboteur()
    saboteur.cycle = saboteur
    del saboteur
    try:
        result = fn(table, "s1", "s2")
    finally:
        gc.set_threshold(*old)
    gc.collect()
    assert result == expected and table == {}


# ---- memory exhaustion at every allocation -----------------------------------------------------

# Messages that building a result (or a record) may fail with, by the interpreter's own account.
RESULT_FAULTS = (
    "Failed to create Python set from HashSet",
    "Failed to set_item on dict",
    "Python API call failed",
    "called `Result::unwrap()` on an `Err` value",
)

# Runs in a fresh interpreter. `setup` defines `fn`, `args` and maybe `kwargs` and `post` (applied
# to a result once the allocator works again). The call is repeated with the allocator failing,
# first from allocation `start` on, then at allocation `start` alone, for every start up to the
# number of allocations the call makes. The call is made straight from a frame whose frame object
# already exists: the interpreter itself loses the error when it cannot create that object while
# an exception passes (a SystemError "error return without exception set", whatever is called).
NOMEMORY_HARNESS = r"""
import json, sys, _testcapi
{setup}
kwargs = globals().get("kwargs", {{}})
post = globals().get("post", lambda value: value)

def attempt(start, stop):
    sys._getframe()
    try:
        _testcapi.set_nomemory(start, stop)
        try:
            value = fn(*args, **kwargs)
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as exc:
        return [type(exc).__name__, str(exc)]
    return ["ok", repr(post(value))]

baseline = attempt(10**9, 0)
seen = {{}}
count = None
for start in range(5000):
    got = attempt(start, 0)
    seen[json.dumps(got)] = seen.get(json.dumps(got), 0) + 1
    if got == baseline:
        count = start
        break
for start in range(count + 3):
    got = attempt(start, start + 1)
    seen[json.dumps(got)] = seen.get(json.dumps(got), 0) + 1
print(json.dumps({{"baseline": baseline, "allocations": count, "outcomes": seen}}))
"""

FILES = """
import os, tempfile
d = tempfile.mkdtemp()
for name, text in (("in.csv", "set1,A\\nset1,B\\ng,A\\ng,C\\n"), ("cl.csv", "A,A\\nA,R\\nB,B\\nC,C\\nC,R\\n")):
    with open(os.path.join(d, name), "w") as f:
        f.write(text)
paths = os.path.join(d, "in.csv"), os.path.join(d, "cl.csv")
record = o.run(*paths)[0]
"""

# Inputs big enough that results are built of fresh strings (no one-character singletons) and
# sets and dicts grow while they are filled.
COMMON = """
import ontarix as o
class S(str): pass
class Score:
    def __float__(self): return 2.0
class Rows:
    def __init__(self, rows): self.rows = rows
    def __len__(self): return len(self.rows)
    def __getitem__(self, i): return self.rows[i]
def closure(key=str):
    return {key(f"term{i}"): {"is_a": {f"term{i}", "root", "ébène", *(f"anc{j}" for j in range(i % 3, 12))},
                              "part_of": {f"whole{i}"}}
            for i in range(12)}
def table_items(table):
    return sorted((k, sorted((p, sorted(v)) for p, v in row.items())) for k, row in table.items())
ct, ct_sub = closure(), closure(S)
set_a = {f"term{i}" for i in range(20)} | {"ébène"}
set_b = {f"term{i}" for i in range(10, 30)} | {"ébène"}
set_sub = set_a | {S("sub")}
scores = {f"term{i}": float(i % 7) for i in range(20)}
rows = [(f"subj{i % 4}", f"pred{i % 2}", f"obj{i}") for i in range(20)] + [("ébène", "q", "subj1")]
# Scores whose sums are exact, whatever order the sets are walked in.
names = ("alpha", "beta", "gamma", "delta")
pairs = {a: {b: 0.25 * (len(a) + len(b)) for b in names} for a in names}
pairs["beta"]["delta"] = Score()
"""

NOMEMORY_SCENARIOS = {
    "run": FILES + "fn, args = o.run, paths\npost = lambda rs: sorted((r.get_set_id(), r.get_best_score()) for r in rs)",
    "run-missing-set": FILES + "fn, args = o.run, (paths[1], paths[1])",
    "record-termset": FILES + "fn, args, post = record.get_object_termset, (), sorted",
    "record-matches": FILES + "fn, args = record.get_subject_best_matches, ()",
    "record-constructor": FILES + "fn, args = type(record), ()",
    "record-new": FILES + "fn, args, post = type(record).new, (), lambda r: r.get_metric()",
    "jaccard": "fn, args = o.jaccard_similarity, (set_a, set_b)",
    "jaccard-subclass": "fn, args = o.jaccard_similarity, (set_sub, set_b)",
    "jaccard-binding-error": "fn, args, kwargs = o.jaccard_similarity, (set_a,), {'set1': set_b}",
    "jaccard-downcast": "fn, args = o.jaccard_similarity, (set_a, [1])",
    "intersection": "fn, args, post = o.get_intersection, (set_a, set_b), sorted",
    "intersection-subclass": "fn, args, post = o.get_intersection, (set_sub, set_b), sorted",
    "mrca": "fn, args = o.mrca_and_score, (scores,)",
    "mrca-float-method": "fn, args = o.mrca_and_score, ({**scores, 'best_of_all': Score(), 'ébène': 1.5},)",
    "mrca-fault": "fn, args = o.mrca_and_score, ({},)",
    "mrca-type-error": "fn, args = o.mrca_and_score, ({**scores, 'bad': 'x'},)",
    "semantic": "fn, args = o.semantic_jaccard_similarity, (ct, 'term1', 'term4')",
    "semantic-subclass": "fn, args = o.semantic_jaccard_similarity, (ct_sub, 'term1', 'term4', {'is_a', 'part_of'})",
    "max-ic": "fn, args = o.max_information_content, (ct, 'term1', 'term4', {'is_a'})",
    "max-ic-keywords": "fn, args, kwargs = o.max_information_content, (ct,), {'entity1': 'term1', 'entity2': 'term4', 'predicates': None}",
    "max-ic-subclass": "fn, args = o.max_information_content, (ct_sub, 'term1', 'term4')",
    "closure-table": "fn, args, post = o.relationships_to_closure_table, (rows,), table_items",
    "closure-table-sequence": "fn, args, post = o.relationships_to_closure_table, (Rows(rows),), table_items",
    "closure-table-bad-row": "fn, args = o.relationships_to_closure_table, (rows + [('a', 'p')],)",
    "closure-from-relationships": "fn, args, kwargs, post = o.closure_from_relationships, (rows + [('obj3', 'pred1', 'subj3'), ('subj1', 'pred1', 'subj1')],), {'follow': {'pred1', 'q'}, 'reflexive': True}, table_items",
    "closure-from-relationships-bad-option": "fn, args, kwargs = o.closure_from_relationships, (rows,), {'follow': 'pred1'}",
    "phenomizer": "fn, args = o.phenomizer_score, (pairs, {'alpha', 'beta'}, {'gamma', 'delta'})",
    "phenomizer-fault": "fn, args = o.phenomizer_score, (pairs, {'alpha', 'beta'}, {'gamma', 'epsilon'})",
}

# The index's entry points: running out of memory anywhere in them raises MemoryError.
INDEX_SETUP = """
idx = o.ClosureIndex(ct)
profiles = {f"p{i}": {f"term{j}" for j in range(i, i + 4)} | {"absent"} for i in range(8)}
"""
INDEX_SCENARIOS = {
    "index-build": "fn, args, post = o.ClosureIndex, (ct,), len",
    "index-build-subclass": "fn, args, kwargs, post = o.ClosureIndex, (ct_sub, {'is_a'}), {'information_content': {'root': 1.0}}, len",
    "index-from-relationships": "fn, args, kwargs, post = o.ClosureIndex.from_relationships, (rows,), {'reflexive': True}, len",
    "index-from-file": FILES + "fn, args, post = o.ClosureIndex.from_file, (paths[1],), len",
    "index-pickle": "import pickle\nfn, args, post = pickle.loads, (pickle.dumps(idx),), len",
    "index-ancestors": "fn, args, post = idx.ancestors, ('term5',), sorted",
    "index-information-content": "fn, args = idx.information_content, ('anc3',)",
    "index-mica": "fn, args = idx.most_informative_common_ancestor, ('term1', 'term4')",
    "index-phenomizer": "fn, args = idx.phenomizer, (set_a, set_b)",
    "index-best-matches": "fn, args = idx.best_matches, (set_a, set_b)",
    "index-compare": "fn, args, post = idx.compare, (set_a, set_b, 'x'), lambda r: (r.get_average_score(), r.get_subject_best_matches())",
    "index-term-matrix": "fn, args, post = idx.term_similarity_matrix, (['term1', 'anc4', 'x'],), lambda m: m.tolist()",
    "index-matrix": "fn, args, kwargs, post = idx.similarity_matrix, (list(profiles.values()),), {'threads': 2}, lambda m: m.tolist()",
    "index-top-k": "fn, args, kwargs = idx.top_k, (profiles,), {'k': 3, 'threads': 2}",
    "index-with-ic": "fn, args, post = idx.with_information_content, ({'anc3': 2.0, 'root': Score()},), lambda i: i.information_content('anc3')",
    "index-prepare": "fn, args, post = idx.prepare, (profiles,), len",
    "index-annotation-ic": "fn, args, kwargs, post = idx.annotation_information_content, (profiles,), {'count': 'annotations'}, sorted",
    "index-top-k-prepared": "fn, args, kwargs = idx.top_k, ({'q': set_a}, idx.prepare(profiles)), {'k': 3}",
    "index-pvalues": "fn, args, kwargs, post = idx.pvalues, (set_a, idx.prepare(profiles)), {'measure': 'lin', 'pool': sorted(set_b)}, list",
    "index-pvalues-sampling": "fn, args, kwargs, post = idx.pvalues, (set_a, profiles), {'method': 'sampling', 'samples': 20, 'combine': 'bma'}, list",
    "index-null-distributions": "fn, args, post = idx.null_distributions, (profiles, 2), len",
    "index-null-distributions-load": "dist = idx.null_distributions(profiles, 2)\nfn, args, post = type(dist)._from_state, dist.__reduce__()[1], lambda d: list(d.pvalues({'term1', 'x'}))",
}
NOMEMORY_SCENARIOS.update({name: INDEX_SETUP + setup for name, setup in INDEX_SCENARIOS.items()})


# Closure measures taken directly on the caller's containers allocate working sets and an index,
# then a float result, which the interpreter takes from its free list (the baseline call has just
# released one): any failure is one of the working objects, whose MemoryError must pass as it is.
WORKING_OBJECTS_ONLY = {"semantic", "max-ic", "max-ic-keywords"}

# Calls beyond the original module functions raise MemoryError wherever memory runs out.
MEMORY_ERROR_ONLY = {"closure-from-relationships", "closure-from-relationships-bad-option",
                     *INDEX_SCENARIOS}


# Scenarios whose error message is the interpreter's own. Some 3.11 releases (Debian's 3.11.2, not
# 3.11.7) lose such a message when creating it fails, raising the error with none instead of the
# MemoryError; the binding then prefixes the empty message with the argument name.
INTERPRETER_MESSAGES = {"mrca-type-error"}


def allowed(name, outcome, baseline):
    kind, value = outcome
    if outcome == baseline or kind == "MemoryError":
        return True
    if kind == "PanicException":
        return name not in WORKING_OBJECTS_ONLY and name not in MEMORY_ERROR_ONLY and value.startswith(RESULT_FAULTS)
    if name in INTERPRETER_MESSAGES and kind == baseline[0]:
        return value == baseline[1].split(": ", 1)[0] + ": "
    # The type name of a downcast error is looked up by the interpreter, which may fail too.
    return kind == baseline[0] == "TypeError" and "'<failed to extract type name>'" in value


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
@pytest.mark.parametrize("name", sorted(NOMEMORY_SCENARIOS))
def test_memory_exhaustion_at_every_allocation(name):
    result = run_python(NOMEMORY_HARNESS.format(setup=COMMON + NOMEMORY_SCENARIOS[name]))
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["allocations"] is not None, report
    bad = [o for o in map(json.loads, report["outcomes"]) if not allowed(name, o, report["baseline"])]
    assert bad == [], report
