"""Value conversion: every accepted shape, every error text, and no crash when Python code runs
during a conversion."""

import collections
import gc
import sys

import pytest

import ontarix
from conftest import MutatingFloat


class StrSub(str):
    pass


class SetSub(set):
    def __iter__(self):  # never consulted: the set's own table is walked
        raise AssertionError("__iter__ called")


class DictSub(dict):
    def items(self):
        raise AssertionError("items called")


class TupleSub(tuple):
    pass


Row = collections.namedtuple("Row", "subject predicate object")


class Outer:
    class Inner:
        pass


class RaisingQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class NonStrQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Anonymous(metaclass=RaisingQualnameMeta):
    pass


class Numbered(metaclass=NonStrQualnameMeta):
    pass


class Index:
    def __index__(self):
        return 3


class IntWithFloat(int):
    def __float__(self):
        return 0.5


class TypeErrorWithCause:
    def __float__(self):
        raise TypeError("bad score") from KeyError("root")


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    def __float__(self):
        raise TypeErrorSubclass("subclass")


def not_implemented(call):
    """The conversion succeeded: only the missing operation stops the call."""
    with pytest.raises(NotImplementedError):
        call()


# ---- accepted values ----------------------------------------------------------------------------

ACCEPTED = [
    pytest.param(lambda: ontarix.jaccard_similarity({"a", "b"}, set()), id="sets"),
    pytest.param(lambda: ontarix.jaccard_similarity(SetSub({"a"}), {StrSub("b")}), id="set-and-str-subclass"),
    pytest.param(lambda: ontarix.get_intersection({"é", "😀", ""}, {"\x00"}), id="non-ascii-and-empty"),
    pytest.param(lambda: ontarix.mrca_and_score({"a": 1}), id="int-score"),
    pytest.param(lambda: ontarix.mrca_and_score({"a": True, "b": Index(), "c": IntWithFloat(2)}), id="index-and-int-subclass"),
    pytest.param(lambda: ontarix.mrca_and_score(DictSub(a=float("nan"), b=float("-inf"))), id="dict-subclass"),
    pytest.param(lambda: ontarix.mrca_and_score({StrSub("a"): MutatingFloat(lambda: None)}), id="dunder-float"),
    pytest.param(lambda: ontarix.phenomizer_score({"a": {"b": 0.5}, "c": DictSub()}, {"a"}, {"b"}), id="pairwise"),
    pytest.param(lambda: ontarix.semantic_jaccard_similarity({"a": {"p": {"b"}}, "c": {}}, "a", StrSub("b"), None), id="closure"),
    pytest.param(lambda: ontarix.max_information_content(DictSub(a=DictSub(p=SetSub())), "a", "b", set()), id="closure-subclasses"),
    pytest.param(lambda: ontarix.run("in.csv", StrSub("closure.csv")), id="paths"),
]


@pytest.mark.parametrize("call", ACCEPTED)
def test_accepted_arguments(call):
    not_implemented(call)


# ---- errors -------------------------------------------------------------------------------------

TYPE_ERRORS = [
    (lambda: ontarix.jaccard_similarity(frozenset({"a"}), {"a"}), "argument 'set1': 'frozenset' object cannot be converted to 'PySet'"),
    (lambda: ontarix.jaccard_similarity(["a"], {"a"}), "argument 'set1': 'list' object cannot be converted to 'PySet'"),
    (lambda: ontarix.jaccard_similarity({1}, {"a"}), "argument 'set1': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.jaccard_similarity({"a"}, {"a": 1}), "argument 'set2': 'dict' object cannot be converted to 'PySet'"),
    (lambda: ontarix.get_intersection({"a"}, ("a",)), "argument 'set2': 'tuple' object cannot be converted to 'PySet'"),
    (lambda: ontarix.get_intersection({b"a"}, set()), "argument 'set1': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: ontarix.mrca_and_score({"a": "x"}), "argument 'map': must be real number, not str"),
    (lambda: ontarix.mrca_and_score({"a": None}), "argument 'map': must be real number, not NoneType"),
    (lambda: ontarix.mrca_and_score([("a", 1.0)]), "argument 'map': 'list' object cannot be converted to 'PyDict'"),
    (lambda: ontarix.mrca_and_score({1: 1.0}), "argument 'map': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.mrca_and_score(collections.OrderedDict(a=1.0, b=[])), "argument 'map': must be real number, not list"),
    (lambda: ontarix.phenomizer_score({}, "a", "b"), "argument 'entity1': 'str' object cannot be converted to 'PySet'"),
    (lambda: ontarix.phenomizer_score({"a": 1.0}, set(), set()), "argument 'map': 'float' object cannot be converted to 'PyDict'"),
    (lambda: ontarix.phenomizer_score({"a": {"b": "x"}}, set(), set()), "argument 'map': must be real number, not str"),
    (lambda: ontarix.phenomizer_score({"a": {2: 1.0}}, set(), set()), "argument 'map': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.semantic_jaccard_similarity({"a": {"p": ["b"]}}, "a", "b"), "argument 'closure_table': 'list' object cannot be converted to 'PySet'"),
    (lambda: ontarix.semantic_jaccard_similarity({"a": {"p"}}, "a", "b"), "argument 'closure_table': 'set' object cannot be converted to 'PyDict'"),
    (lambda: ontarix.semantic_jaccard_similarity({"a": {"p": {3}}}, "a", "b"), "argument 'closure_table': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.semantic_jaccard_similarity({}, 1, "b"), "argument 'entity1': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.semantic_jaccard_similarity({}, "a", b"b"), "argument 'entity2': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: ontarix.semantic_jaccard_similarity({}, "a", "b", frozenset()), "argument 'predicates': 'frozenset' object cannot be converted to 'PySet'"),
    (lambda: ontarix.max_information_content({}, "a", "b", predicates=[]), "argument 'predicates': 'list' object cannot be converted to 'PySet'"),
    (lambda: ontarix.max_information_content({}, "a", "b", {None}), "argument 'predicates': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: ontarix.run(None, "c"), "argument 'input_file': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: ontarix.run("i", 3.5), "argument 'closure_file': 'float' object cannot be converted to 'PyString'"),
    (lambda: ontarix.jaccard_similarity(Outer.Inner(), set()), "argument 'set1': 'Outer.Inner' object cannot be converted to 'PySet'"),
    (lambda: ontarix.jaccard_similarity(Anonymous(), set()), "argument 'set1': '<failed to extract type name>' object cannot be converted to 'PySet'"),
    (lambda: ontarix.jaccard_similarity(Numbered(), set()), "argument 'set1': '<failed to extract type name>' object cannot be converted to 'PySet'"),
    (lambda: ontarix.relationships_to_closure_table("abc"), "argument 'list_of_tuples': Can't extract `str` to `Vec`"),
    (lambda: ontarix.relationships_to_closure_table(StrSub("abc")), "argument 'list_of_tuples': Can't extract `str` to `Vec`"),
    (lambda: ontarix.relationships_to_closure_table({("a", "b", "c")}), "argument 'list_of_tuples': 'set' object cannot be converted to 'Sequence'"),
    (lambda: ontarix.relationships_to_closure_table({"a": ("a", "b", "c")}), "argument 'list_of_tuples': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: ontarix.relationships_to_closure_table(t for t in [("a", "b", "c")]), "argument 'list_of_tuples': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: ontarix.relationships_to_closure_table(None), "argument 'list_of_tuples': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: ontarix.relationships_to_closure_table([["a", "b", "c"]]), "argument 'list_of_tuples': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: ontarix.relationships_to_closure_table([("a", "b", "c"), "abc"]), "argument 'list_of_tuples': 'str' object cannot be converted to 'PyTuple'"),
    (lambda: ontarix.relationships_to_closure_table([("a", "b", 1)]), "argument 'list_of_tuples': 'int' object cannot be converted to 'PyString'"),
    (lambda: ontarix.relationships_to_closure_table([(None, 1, 2)]), "argument 'list_of_tuples': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: ontarix.mrca_and_score({"a": TypeErrorWithCause()}), "argument 'map': bad score"),
]


@pytest.mark.parametrize("call, message", TYPE_ERRORS)
def test_type_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_wrapped_error_keeps_the_cause_of_the_original():
    with pytest.raises(TypeError) as info:
        ontarix.mrca_and_score({"a": TypeErrorWithCause()})
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__cause__.args == ("root",)


def test_wrapped_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        ontarix.jaccard_similarity(1, 2)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: ontarix.relationships_to_closure_table([("a", "b")]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        (lambda: ontarix.relationships_to_closure_table([("a", "b", "c", "d")]), ValueError, "expected tuple of length 3, but got tuple of length 4"),
        (lambda: ontarix.relationships_to_closure_table([()]), ValueError, "expected tuple of length 3, but got tuple of length 0"),
        (lambda: ontarix.mrca_and_score({"a": 10**400}), OverflowError, "int too large to convert to float"),
        (lambda: ontarix.mrca_and_score({"a": RaisesSubclass()}), TypeErrorSubclass, "subclass"),
        (lambda: ontarix.mrca_and_score({"a": MutatingFloat(lambda: 1 / 0)}), ZeroDivisionError, "division by zero"),
    ],
)
def test_other_errors_pass_unchanged(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: ontarix.jaccard_similarity({"ok", "\udc80"}, set()),
        lambda: ontarix.semantic_jaccard_similarity({}, "a", "\ud800"),
        lambda: ontarix.mrca_and_score({"\udfff": 1.0}),
        lambda: ontarix.relationships_to_closure_table([("a", "b", "c"), ("a", "\udc80", "c")]),
        lambda: ontarix.run("\udc80", "x"),
    ],
)
def test_lone_surrogate_raises_the_interpreters_encode_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert info.value.reason == "surrogates not allowed"


# ---- Python code running during a conversion ---------------------------------------------------


def dict_with_mutation(make_action, second=1.0):
    scores: dict = {}
    scores["a"] = MutatingFloat(lambda: make_action(scores)())
    scores["b"] = second
    return scores


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: dict_with_mutation(lambda d: lambda: d.__setitem__("new", 1.0)), "dictionary changed size during iteration"),
        (lambda: dict_with_mutation(lambda d: lambda: d.pop("b")), "dictionary changed size during iteration"),
        (lambda: dict_with_mutation(lambda d: lambda: d.clear()), "dictionary changed size during iteration"),
        # same size, but the walk now meets one key more than the dict held
        (lambda: dict_with_mutation(lambda d: lambda: (d.pop("a"), d.__setitem__("c", 2.0))), "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_by_dunder_float_is_a_fault(build, message, panic_type):
    with pytest.raises(panic_type) as info:
        ontarix.mrca_and_score(build())
    assert str(info.value) == message


def test_inner_dict_changed_by_dunder_float_is_a_fault(panic_type):
    inner: dict = {}
    inner["x"] = MutatingFloat(lambda: inner.__setitem__("y", 1.0))
    with pytest.raises(panic_type, match="^dictionary changed size during iteration$"):
        ontarix.phenomizer_score({"a": inner}, set(), set())


def test_dunder_float_dropping_the_inner_dict_does_not_crash():
    outer: dict = {}
    inner = {"".join(["k", str(i)]): 1.0 for i in range(50)}
    inner["last"] = MutatingFloat(lambda: outer.clear())
    outer["".join(["o", "uter"])] = inner
    del inner
    with pytest.raises(BaseException) as info:
        ontarix.phenomizer_score(outer, set(), set())
    assert str(info.value) == "dictionary changed size during iteration"


def test_same_size_churn_in_dunder_float_is_harmless():
    # Keys the walk already viewed are dropped and replaced by fresh strings of other content.
    scores: dict = {}
    fresh = iter(range(10**6))

    def churn():
        for key in [k for k in scores if k.startswith("k")][:5]:
            scores.pop(key)
            scores["".join(["n", str(next(fresh))])] = 1.0
        gc.collect()

    for i in range(40):
        scores["".join(["k", str(i)])] = 1.0
    scores["z"] = MutatingFloat(churn)
    with pytest.raises(BaseException) as info:
        ontarix.mrca_and_score(scores)
    assert type(info.value) in (NotImplementedError,) or "during iteration" in str(info.value)


# ---- triple sequences other than list and tuple -------------------------------------------------


class Row3(tuple):
    """A row that reports its own deallocation, to see that the binding releases every row."""

    alive = 0

    def __new__(cls, items):
        Row3.alive += 1
        return super().__new__(cls, items)

    def __del__(self):
        Row3.alive -= 1


class FreshRows:
    """A sequence whose items exist only while the caller holds them."""

    def __init__(self, n, bad_at=None):
        self.n = n
        self.bad_at = bad_at
        self.made = 0

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        if i == self.bad_at:
            return ("short",)
        row = Row3(("".join(["s", str(i % 7)]), "".join(["p", str(i % 3)]), "".join(["o", str(i)])))
        self.made += 1
        gc.collect() if i % 50 == 0 else None
        return row


def expected_fresh(n):
    table: dict = {}
    for i in range(n):
        table.setdefault(f"s{i % 7}", {}).setdefault(f"p{i % 3}", set()).add(f"o{i}")
    return table


def test_rows_from_a_custom_sequence_are_kept_alive_and_released():
    rows = FreshRows(300)
    assert ontarix.relationships_to_closure_table(rows) == expected_fresh(300)
    assert rows.made == 300 and Row3.alive == 0


def test_rows_are_released_when_conversion_fails():
    rows = FreshRows(100, bad_at=60)
    with pytest.raises(ValueError, match="got tuple of length 1"):
        ontarix.relationships_to_closure_table(rows)
    assert rows.made == 60 and Row3.alive == 0


class ListWithOwnIter(list):
    def __iter__(self):
        for i in range(len(self)):
            yield tuple("".join([c, str(i)]) for c in "spo")


class LenRaises(list):
    def __len__(self):
        raise RuntimeError("no length")


class HugeLen:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i < 2:
            return ("a", "p", str(i))
        raise IndexError(i)


class GetitemRaises:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise KeyError("broken")


class GetitemTypeError:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise TypeError("no items")


class ClassRaises(list):
    @property
    def __class__(self):
        raise RuntimeError("no class")


class IterOnly:
    def __iter__(self):
        return iter([("a", "b", "c")])


@pytest.mark.parametrize(
    "make_rows, expected",
    [
        (lambda: ListWithOwnIter([None, None]), {"s0": {"p0": {"o0"}}, "s1": {"p1": {"o1"}}}),
        (lambda: LenRaises([("a", "p", "b")]), {"a": {"p": {"b"}}}),
        (lambda: HugeLen(), {"a": {"p": {"0", "1"}}}),
        (lambda: ClassRaises([("a", "p", "b")]), {"a": {"p": {"b"}}}),
        (lambda: (("a", "p", "b"), ("a", "p", "c")), {"a": {"p": {"b", "c"}}}),
        (lambda: [TupleSub(("a", "p", "b")), Row("a", "q", "b")], {"a": {"p": {"b"}, "q": {"b"}}}),
        (lambda: collections.deque([("a", "p", "b")]), {"a": {"p": {"b"}}}),
        (lambda: range(0), {}),
    ],
)
def test_sequence_shapes(make_rows, expected):
    assert ontarix.relationships_to_closure_table(make_rows()) == expected


@pytest.mark.parametrize(
    "rows, exc_type, message",
    [
        (GetitemRaises(), KeyError, "'broken'"),
        (GetitemTypeError(), TypeError, "argument 'list_of_tuples': no items"),
        (IterOnly(), TypeError, "argument 'list_of_tuples': 'IterOnly' object cannot be converted to 'Sequence'"),
        (range(2), TypeError, "argument 'list_of_tuples': 'int' object cannot be converted to 'PyTuple'"),
    ],
)
def test_sequence_failures(rows, exc_type, message):
    with pytest.raises(BaseException) as info:
        ontarix.relationships_to_closure_table(rows)
    assert type(info.value) is exc_type
    assert str(info.value) == message


# ---- reference counts ---------------------------------------------------------------------------


def test_arguments_are_unchanged_and_reference_counts_balanced():
    rows = [("".join(["s", str(i)]), "is_a", "".join(["o", str(i)])) for i in range(100)]
    snapshot = list(rows)
    counts = [sys.getrefcount(x) for row in rows for x in (row, *row)]
    for _ in range(3):
        ontarix.relationships_to_closure_table(rows)
        with pytest.raises(ValueError):
            ontarix.relationships_to_closure_table(rows + [("x",)])
    assert rows == snapshot
    assert [sys.getrefcount(x) for row in rows for x in (row, *row)] == counts


def test_score_keys_are_released_after_dunder_float():
    keys = ["".join(["k", str(i)]) for i in range(20)]
    scores = {k: 1.0 for k in keys}
    scores["z"] = MutatingFloat(lambda: None)
    for k in keys[:5]:
        scores[k] = MutatingFloat(lambda: None)
    before = [sys.getrefcount(k) for k in keys]
    for _ in range(3):
        with pytest.raises(NotImplementedError):
            ontarix.mrca_and_score(scores)
        with pytest.raises(NotImplementedError):
            ontarix.phenomizer_score({"o": scores}, set(), set())
    assert [sys.getrefcount(k) for k in keys] == before


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        ontarix.relationships_to_closure_table([("a", "p", "b")])
        with pytest.raises(ValueError):
            ontarix.relationships_to_closure_table([("a",)])
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def test_finalizers_cannot_run_while_results_view_the_arguments():
    # A cycle whose finalizer empties the caller's list; a collection during result building
    # would free every string the native table still views.
    rows = [tuple("".join([c, str(i)]) for c in "spo") for i in range(2000)]
    # built from other string objects: the rows' strings must die with the rows
    expected = {f"s{i}": {f"p{i}": {f"o{i}"}} for i in range(2000)}

    junk: list = []

    class Saboteur:
        def __del__(self):
            rows.clear()
            # Reuse the freed memory, so that a stale view would read other text.
            junk.extend("".join(["#", str(i)]) for i in range(6000))

    old = gc.get_threshold()
    gc.collect()
    # The next collection comes a few dozen container allocations into the call: only result
    # building allocates that many.
    gc.set_threshold(40, 1, 1)
    saboteur = Saboteur()
    saboteur.cycle = saboteur
    del saboteur
    try:
        result = ontarix.relationships_to_closure_table(rows)
    finally:
        gc.set_threshold(*old)
    gc.collect()
    assert rows == []
    assert result == expected

