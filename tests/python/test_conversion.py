"""Value conversion: accepted shapes, exact error texts, and soundness when Python code runs
in the middle of a conversion."""

import collections
import gc
import sys

import pytest

import ontarix
from conftest import MutatingFloat, qualname_meta

o = ontarix


class StrSub(str): ...
class TupleSub(tuple): ...
class DictSub(dict):
    def items(self): raise AssertionError("items() consulted")
class SetSub(set):
    def __iter__(self): raise AssertionError("__iter__ consulted")
class Outer:
    class Inner: ...
class Index:
    def __index__(self): return 3
class FloatInt(int):
    def __float__(self): return 0.5
class CausedTypeError:
    def __float__(self): raise TypeError("bad score") from KeyError("root")
class TypeErrorSub(TypeError): ...
class RaisesTypeErrorSub:
    def __float__(self): raise TypeErrorSub("subclass")


Hidden = qualname_meta(lambda: 1 / 0)
NotStrName = qualname_meta(lambda: 42)
Row = collections.namedtuple("Row", "s p o")


@pytest.mark.parametrize("call, expected", [
    (lambda: o.jaccard_similarity(SetSub({"a", "", "é😀"}), {StrSub("b")}), 0.0),
    (lambda: o.mrca_and_score(DictSub(a=1, b=True, c=Index(), d=FloatInt(2), e=float("nan"))), ("e", float("nan"))),
    (lambda: o.mrca_and_score({StrSub("a"): MutatingFloat(lambda: None)}), ("a", 1.0)),
    (lambda: o.phenomizer_score({"a": {"b": 0.5}, "c": DictSub()}, {"a"}, set()), float("nan")),
    (lambda: o.semantic_jaccard_similarity({"a": {"p": {"b"}}, "c": {}}, "a", StrSub("b"), None), 0.0),
    (lambda: o.max_information_content(DictSub(a=DictSub(p=SetSub())), "a", "b", set()), 0.0),
])
def test_accepted(call, expected):
    assert repr(call()) == repr(expected)  # repr tells nan and -0.0 apart


@pytest.mark.parametrize("call, message", [
    (lambda: o.jaccard_similarity(frozenset({"a"}), {"a"}), "argument 'set1': 'frozenset' object cannot be converted to 'PySet'"),
    (lambda: o.jaccard_similarity(["a"], {"a"}), "argument 'set1': 'list' object cannot be converted to 'PySet'"),
    (lambda: o.jaccard_similarity({1}, {"a"}), "argument 'set1': 'int' object cannot be converted to 'PyString'"),
    (lambda: o.get_intersection({"a"}, {"a": 1}), "argument 'set2': 'dict' object cannot be converted to 'PySet'"),
    (lambda: o.mrca_and_score({"a": "x"}), "argument 'map': must be real number, not str"),
    (lambda: o.mrca_and_score([("a", 1.0)]), "argument 'map': 'list' object cannot be converted to 'PyDict'"),
    (lambda: o.mrca_and_score({1: 1.0}), "argument 'map': 'int' object cannot be converted to 'PyString'"),
    (lambda: o.mrca_and_score({"a": CausedTypeError()}), "argument 'map': bad score"),
    (lambda: o.phenomizer_score({}, "a", "b"), "argument 'entity1': 'str' object cannot be converted to 'PySet'"),
    (lambda: o.phenomizer_score({"a": 1.0}, set(), set()), "argument 'map': 'float' object cannot be converted to 'PyDict'"),
    (lambda: o.phenomizer_score({"a": {2: 1.0}}, set(), set()), "argument 'map': 'int' object cannot be converted to 'PyString'"),
    (lambda: o.semantic_jaccard_similarity({"a": {"p": ["b"]}}, "a", "b"), "argument 'closure_table': 'list' object cannot be converted to 'PySet'"),
    (lambda: o.semantic_jaccard_similarity({"a": {"p"}}, "a", "b"), "argument 'closure_table': 'set' object cannot be converted to 'PyDict'"),
    (lambda: o.semantic_jaccard_similarity({}, 1, "b"), "argument 'entity1': 'int' object cannot be converted to 'PyString'"),
    (lambda: o.max_information_content({}, "a", "b", frozenset()), "argument 'predicates': 'frozenset' object cannot be converted to 'PySet'"),
    (lambda: o.run("i", 3.5), "argument 'closure_file': 'float' object cannot be converted to 'PyString'"),
    (lambda: o.jaccard_similarity(Outer.Inner(), set()), "argument 'set1': 'Outer.Inner' object cannot be converted to 'PySet'"),
    (lambda: o.jaccard_similarity(Hidden(), set()), "argument 'set1': '<failed to extract type name>' object cannot be converted to 'PySet'"),
    (lambda: o.jaccard_similarity(NotStrName(), set()), "argument 'set1': '<failed to extract type name>' object cannot be converted to 'PySet'"),
    (lambda: o.relationships_to_closure_table("abc"), "argument 'list_of_tuples': Can't extract `str` to `Vec`"),
    (lambda: o.relationships_to_closure_table(StrSub("abc")), "argument 'list_of_tuples': Can't extract `str` to `Vec`"),
    (lambda: o.relationships_to_closure_table({("a", "b", "c")}), "argument 'list_of_tuples': 'set' object cannot be converted to 'Sequence'"),
    (lambda: o.relationships_to_closure_table(t for t in [("a", "b", "c")]), "argument 'list_of_tuples': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: o.relationships_to_closure_table([["a", "b", "c"]]), "argument 'list_of_tuples': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: o.relationships_to_closure_table(range(2)), "argument 'list_of_tuples': 'int' object cannot be converted to 'PyTuple'"),
    (lambda: o.relationships_to_closure_table([("a", "b", 1)]), "argument 'list_of_tuples': 'int' object cannot be converted to 'PyString'"),
])
def test_type_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


def test_wrapping_keeps_the_original_cause():
    with pytest.raises(TypeError) as info:
        o.mrca_and_score({"a": CausedTypeError()})
    assert type(info.value.__cause__) is KeyError and info.value.__cause__.args == ("root",)
    with pytest.raises(TypeError) as info:
        o.jaccard_similarity(1, 2)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda: o.relationships_to_closure_table([("a", "b")]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda: o.relationships_to_closure_table([("a", "b", "c", "d")]), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    (lambda: o.mrca_and_score({"a": 10**400}), OverflowError, "int too large to convert to float"),
    (lambda: o.mrca_and_score({"a": RaisesTypeErrorSub()}), TypeErrorSub, "subclass"),
    (lambda: o.mrca_and_score({"a": MutatingFloat(lambda: 1 / 0)}), ZeroDivisionError, "division by zero"),
    (lambda: o.jaccard_similarity({"ok", "\udc80"}, set()), UnicodeEncodeError, "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    (lambda: o.mrca_and_score({"\udfff": 1.0}), UnicodeEncodeError, "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed"),
    (lambda: o.relationships_to_closure_table([("a", "b", "c"), ("a", "\ud800", "c")]), UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
])
def test_other_errors_pass_unchanged(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type and str(info.value) == message


# ---- dicts changed by a __float__ --------------------------------------------------------------


def mutated(change):
    d: dict = {}
    d["a"] = MutatingFloat(lambda: change(d))
    d["b"] = 1.0
    return d


@pytest.mark.parametrize("change, message", [
    (lambda d: d.__setitem__("new", 1.0), "dictionary changed size during iteration"),
    (lambda d: d.clear(), "dictionary changed size during iteration"),
    # same size, but the walk meets one key more than the dict held
    (lambda d: (d.pop("a"), d.__setitem__("c", 2.0)), "dictionary keys changed during iteration"),
])
def test_dict_changed_during_conversion_is_a_fault(change, message, panic_type):
    with pytest.raises(panic_type) as info:
        o.mrca_and_score(mutated(change))
    assert str(info.value) == message
    with pytest.raises(panic_type) as info:
        o.phenomizer_score({"x": mutated(change)}, set(), set())
    assert str(info.value) == message


def test_dropping_the_inner_dict_being_walked_does_not_crash(panic_type):
    outer: dict = {}
    inner = {"".join(["k", str(i)]): 1.0 for i in range(50)}
    inner["last"] = MutatingFloat(outer.clear)
    outer["".join(["ou", "ter"])] = inner
    del inner
    with pytest.raises(panic_type, match="^dictionary changed size during iteration$"):
        o.phenomizer_score(outer, set(), set())


# ---- sequences other than list and tuple -------------------------------------------------------


class Row3(tuple):
    """A row that counts its live instances, to see that the binding releases every one."""

    alive = 0

    def __new__(cls, items):
        Row3.alive += 1
        return super().__new__(cls, items)

    def __del__(self):
        Row3.alive -= 1


class Seq:
    """A sequence whose items exist only while the caller holds them."""

    def __init__(self, n, item=None, length=None):
        self.n, self.item, self.length, self.made = n, item, length, 0

    def __len__(self):
        return self.length() if self.length else self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        if self.item:
            return self.item(i)
        self.made += 1
        if i % 50 == 0:
            gc.collect()
        return Row3(("".join(["s", str(i % 7)]), "".join(["p", str(i % 3)]), "".join(["o", str(i)])))


def fresh_model(n):
    table: dict = {}
    for i in range(n):
        table.setdefault(f"s{i % 7}", {}).setdefault(f"p{i % 3}", set()).add(f"o{i}")
    return table


def test_items_of_a_custom_sequence_are_kept_alive_then_released():
    rows = Seq(300)
    assert o.relationships_to_closure_table(rows) == fresh_model(300)
    assert rows.made == 300 and Row3.alive == 0
    rows = Seq(100, item=lambda i: ("short",) if i == 60 else Seq.__getitem__(Seq(100), i))
    with pytest.raises(ValueError, match="got tuple of length 1$"):
        o.relationships_to_closure_table(rows)
    assert Row3.alive == 0


class OwnIter(list):
    def __iter__(self):
        return iter([("a", "p", "b")])


class NoClass(list):
    __class__ = property(lambda self: 1 / 0)


def raise_(exc):
    raise exc


@pytest.mark.parametrize("make_rows, expected", [
    (lambda: OwnIter([None]), {"a": {"p": {"b"}}}),
    (lambda: NoClass([("a", "p", "b")]), {"a": {"p": {"b"}}}),  # failing isinstance counts as no str
    (lambda: Seq(2, item=lambda i: ("a", "p", str(i)), length=lambda: raise_(RuntimeError())), {"a": {"p": {"0", "1"}}}),
    (lambda: Seq(2, item=lambda i: ("a", "p", str(i)), length=lambda: sys.maxsize), {"a": {"p": {"0", "1"}}}),
    (lambda: (("a", "p", "b"), TupleSub(("a", "p", "c")), Row("a", "q", "b")), {"a": {"p": {"b", "c"}, "q": {"b"}}}),
    (lambda: collections.deque([("a", "p", "b")]), {"a": {"p": {"b"}}}),
])
def test_sequence_shapes(make_rows, expected):
    assert o.relationships_to_closure_table(make_rows()) == expected


@pytest.mark.parametrize("item, exc_type, message", [
    (lambda i: raise_(KeyError("broken")), KeyError, "'broken'"),
    (lambda i: raise_(TypeError("no items")), TypeError, "argument 'list_of_tuples': no items"),
])
def test_errors_of_the_iteration_propagate(item, exc_type, message):
    with pytest.raises(BaseException) as info:
        o.relationships_to_closure_table(Seq(1, item=item))
    assert type(info.value) is exc_type and str(info.value) == message


# ---- lifetimes and reference counts ------------------------------------------------------------


def test_reference_counts_balance_and_arguments_stay_unchanged():
    rows = [("".join(["s", str(i)]), "is_a", "".join(["o", str(i)])) for i in range(100)]
    scores = {"".join(["k", str(i)]): MutatingFloat(lambda: None) if i % 3 else 1.0 for i in range(20)}
    snapshot = list(rows), dict(scores)
    objects = [x for row in rows for x in (row, *row)] + list(scores)
    counts = [sys.getrefcount(x) for x in objects]
    for _ in range(3):
        o.relationships_to_closure_table(rows)
        pytest.raises(ValueError, o.relationships_to_closure_table, rows + [("x",)])
        o.mrca_and_score(scores)
        o.phenomizer_score({"x": scores}, set(), set())
    assert (rows, scores) == snapshot
    assert [sys.getrefcount(x) for x in objects] == counts


def test_finalizers_cannot_run_while_results_view_the_arguments():
    # A cycle whose finalizer empties the caller's list; were it collected while the result is
    # built, every string the native table views would be freed and its memory reused.
    rows = [tuple("".join([c, str(i)]) for c in "spo") for i in range(2000)]
    expected = {f"s{i}": {f"p{i}": {f"o{i}"}} for i in range(2000)}  # other string objects
    junk: list = []

    class Saboteur:
        def __del__(self):
            rows.clear()
            junk.extend("".join(["#", str(i)]) for i in range(6000))

    old = gc.get_threshold()
    gc.collect()
    gc.set_threshold(40, 1, 1)  # only result building allocates that many containers
    saboteur = Saboteur()
    saboteur.cycle = saboteur
    del saboteur
    try:
        result = o.relationships_to_closure_table(rows)
    finally:
        gc.set_threshold(*old)
    gc.collect()
    assert rows == [] and result == expected


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        o.relationships_to_closure_table([("a", "p", "b")])
        pytest.raises(ValueError, o.relationships_to_closure_table, [("a",)])
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
