"""Property fuzzing of the argument conversions: arbitrary nested inputs, mostly of the right
shape with anything at all in places, to every function. Each call must give a result of the
function's type or exactly the exception a small model of the conversion rules predicts, and
must leave its arguments as they were."""

import math

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import ontarix as o
from conftest import provoke_panic

Panic = type(provoke_panic())
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


class StrSub(str): ...
class SetSub(set): ...
class DictSub(dict): ...
class TupleSub(tuple): ...


# ---- strategies --------------------------------------------------------------------------------

# Few distinct texts, so that keys collide and lookups hit; a lone surrogate now and then.
texts = st.sampled_from(["a", "b", "c", "", "é", "e\u0301", "owl:Thing", "\U0001f600"]) | st.text(max_size=4)
surrogates = st.sampled_from(["\ud800", "x\udfff"])
terms = texts | texts.map(StrSub)
hashable_leaves = (terms | surrogates | st.integers() | st.integers(min_value=2**1023, max_value=2**1100)
                   | st.floats() | st.none() | st.binary(max_size=3) | st.booleans())
hashables = st.recursive(hashable_leaves, lambda c: st.tuples(c, c) | st.frozensets(c, max_size=3), max_leaves=6)


def containers(children):
    return (st.lists(children, max_size=4) | st.lists(children, max_size=4).map(tuple)
            | st.lists(children, max_size=4).map(TupleSub)
            | st.sets(hashables, max_size=4) | st.sets(hashables, max_size=4).map(SetSub)
            | st.dictionaries(hashables, children, max_size=4)
            | st.dictionaries(hashables, children, max_size=4).map(DictSub))


anything = st.recursive(hashable_leaves, containers, max_leaves=12)


def mostly(valid, weight=6, other=anything):
    """`valid`, or now and then anything at all (anything hashable, for set elements and keys)."""
    return st.one_of(*[valid] * weight, other)


def key(valid):
    return mostly(valid, 8, hashables)


def set_of(elements, max_size=5):
    return st.sets(elements, max_size=max_size) | st.sets(elements, max_size=max_size).map(SetSub)


def dict_of(keys, values, max_size=5):
    return (st.dictionaries(keys, values, max_size=max_size)
            | st.dictionaries(keys, values, max_size=max_size).map(DictSub))


term_arg = mostly(terms | surrogates)
term_set = mostly(set_of(key(terms)))
optional_set = st.none() | term_set
scores = mostly(st.floats() | st.integers(-3, 3) | st.booleans() | st.sampled_from([2**1024, -(2**2000)]), 8)
score_map = mostly(dict_of(key(terms), scores))
pairwise = mostly(dict_of(key(terms), score_map))
closure = mostly(dict_of(key(terms), mostly(dict_of(key(terms), term_set))))
triple = mostly(st.tuples(terms, terms, terms) | st.tuples(terms, terms, terms).map(TupleSub)
                | st.lists(terms, min_size=2, max_size=4).map(tuple), 6)
triples = mostly(st.lists(triple, max_size=5) | st.lists(triple, max_size=5).map(tuple), 6)
paths = mostly(st.text(max_size=8).map(lambda t: "no-such-dir-for-ontarix/" + t))


# ---- the model -----------------------------------------------------------------------------------


class Failure(Exception):
    def __init__(self, exc_type, message=None):
        super().__init__(exc_type, message)
        self.exc_type, self.message = exc_type, message


def downcast(value, target):
    return Failure(TypeError, f"'{type(value).__qualname__}' object cannot be converted to '{target}'")


def as_string(value):
    if not isinstance(value, str):
        raise downcast(value, "PyString")
    try:
        value.encode()
    except UnicodeEncodeError:
        raise Failure(UnicodeEncodeError) from None
    return str(value)


def as_term_set(value):
    if not isinstance(value, set):
        raise downcast(value, "PySet")
    return {as_string(x) for x in set.__iter__(value)}  # the set's own order, first failure wins


def as_optional_set(value):
    return None if value is None else as_term_set(value)


def as_score(value):
    if isinstance(value, float):
        return value
    if isinstance(value, int):
        try:
            return float(value)
        except OverflowError:
            raise Failure(OverflowError, "int too large to convert to float") from None
    raise Failure(TypeError, f"must be real number, not {type(value).__name__}")


def as_dict(value, convert_value):
    if not isinstance(value, dict):
        raise downcast(value, "PyDict")
    out = {}
    for k, v in dict.items(value):
        key = as_string(k)
        out[key] = convert_value(v)  # a later key of the same text replaces the value
    return out


def as_score_map(value):
    return as_dict(value, as_score)


def as_pairwise(value):
    return as_dict(value, as_score_map)


def as_closure(value):
    return as_dict(value, lambda row: as_dict(row, as_term_set))


def as_triples(value):
    if isinstance(value, str):
        raise Failure(TypeError, "Can't extract `str` to `Vec`")
    if not isinstance(value, (list, tuple, bytes)):  # the sequences among the generated values
        raise downcast(value, "Sequence")
    out = []
    for item in value:
        if not isinstance(item, tuple):
            raise downcast(item, "PyTuple")
        if len(item) != 3:
            raise Failure(ValueError, f"expected tuple of length 3, but got tuple of length {len(item)}")
        out.append(tuple(as_string(x) for x in item))
    return out


def phenomizer_model(table, e1, e2):
    for a, b in [(a, b) for a in e1 for b in e2] + [(b, a) for b in e2 for a in e1]:
        if b not in table.get(a, {}):
            raise Failure(Panic, UNWRAP_NONE)
    return float


def mrca_model(scores_map):
    if not scores_map:
        raise Failure(Panic, UNWRAP_NONE)
    return tuple


def path_model(input_file, closure_file):
    raise Failure(Panic)  # neither file exists


FUNCTIONS = {
    "run": (o.run, [("input_file", paths, as_string), ("closure_file", paths, as_string)], path_model),
    "jaccard_similarity": (o.jaccard_similarity, [("set1", term_set, as_term_set), ("set2", term_set, as_term_set)],
                           lambda a, b: float),
    "mrca_and_score": (o.mrca_and_score, [("map", score_map, as_score_map)], mrca_model),
    "get_intersection": (o.get_intersection, [("set1", term_set, as_term_set), ("set2", term_set, as_term_set)],
                         lambda a, b: a & b),
    "semantic_jaccard_similarity": (o.semantic_jaccard_similarity,
                                    [("closure_table", closure, as_closure), ("entity1", term_arg, as_string),
                                     ("entity2", term_arg, as_string), ("predicates", optional_set, as_optional_set)],
                                    lambda *a: float),
    "relationships_to_closure_table": (o.relationships_to_closure_table,
                                       [("list_of_tuples", triples, as_triples)], lambda rows: dict),
    "phenomizer_score": (o.phenomizer_score, [("map", pairwise, as_pairwise), ("entity1", term_set, as_term_set),
                                              ("entity2", term_set, as_term_set)], phenomizer_model),
    "max_information_content": (o.max_information_content,
                                [("closure_table", closure, as_closure), ("entity1", term_arg, as_string),
                                 ("entity2", term_arg, as_string), ("predicates", optional_set, as_optional_set)],
                                lambda *a: float),
}


def predict(params, args, model):
    """The result's type (or, for the intersection, its value), or the Failure to expect."""
    converted = []
    for (name, _, convert), value in zip(params, args):
        try:
            converted.append(convert(value))
        except Failure as failure:
            if failure.exc_type is TypeError:  # the call boundary names the argument
                return Failure(TypeError, f"argument '{name}': {failure.message}")
            return failure
    try:
        return model(*converted)
    except Failure as failure:
        return failure


# ---- snapshots ------------------------------------------------------------------------------------


def snapshot(value):
    """Everything observable about a value: types, contents, dict order; floats by repr."""
    t = type(value)
    if isinstance(value, float):
        return (t, repr(value))
    if isinstance(value, dict):
        return (t, [(snapshot(k), snapshot(v)) for k, v in dict.items(value)])
    if isinstance(value, (set, frozenset)):
        return (t, sorted(repr(snapshot(x)) for x in value))
    if isinstance(value, (list, tuple)):
        return (t, [snapshot(x) for x in value])
    return (t, value)


# ---- the properties --------------------------------------------------------------------------------

fuzz = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
@fuzz
@given(data=st.data())
def test_result_or_predicted_exception_and_arguments_untouched(name, data):
    fn, params, model = FUNCTIONS[name]
    args = [data.draw(strategy, label=param) for param, strategy, _ in params]
    by_keyword = data.draw(st.booleans(), label="by keyword")
    before = snapshot(args)
    expected = predict(params, args, model)
    event(expected.exc_type.__name__ if isinstance(expected, Failure) else "result")

    try:
        if by_keyword:
            result = fn(**{param: value for (param, _, _), value in zip(params, args)})
        else:
            result = fn(*args)
    except BaseException as exc:  # noqa: BLE001 - PanicException is no Exception
        assert isinstance(expected, Failure), f"raised {exc!r}, expected {expected!r}"
        assert type(exc) is expected.exc_type, (exc, expected.message)
        if expected.message is not None:
            assert str(exc) == expected.message
    else:
        assert not isinstance(expected, Failure), f"returned {result!r}, expected {expected.exc_type}: {expected.message}"
        if isinstance(expected, type):
            assert type(result) is expected
        else:
            assert result == expected
        if type(result) is tuple:
            assert [type(x) for x in result] == [str, float]
    assert snapshot(args) == before


# ---- Python code that changes the dict being converted -----------------------------------------


class Meddler:
    """A score whose __float__ does one thing to the dict being converted."""

    def __init__(self, action, target=None):
        self.action, self.target = action, target

    def __float__(self):
        d = self.target
        if self.action == "add":
            d["".join(["added", str(len(d))])] = 1.0
        elif self.action == "delete" and d:
            del d[next(iter(d))]
        elif self.action == "clear":
            d.clear()
        elif self.action == "swap" and d:  # one out, one in: the size stays
            del d[next(iter(d))]
            d["".join(["swapped", str(len(d))])] = 2.0
        elif self.action == "rebind" and d:
            d[next(iter(d))] = 3.0
        return 0.5


meddlers = st.sampled_from(["add", "delete", "clear", "swap", "rebind", "nothing"]).map(Meddler)


@fuzz
@given(items=st.lists(st.tuples(st.text(max_size=3), st.floats(allow_nan=False) | meddlers), max_size=6),
       nested=st.booleans())
def test_dicts_changed_by_python_code(items, nested):
    d = dict(items)
    for v in d.values():
        if isinstance(v, Meddler):
            v.target = d
    size = len(d)
    only_harmless = all(not isinstance(v, Meddler) or v.action in ("rebind", "nothing") for v in d.values())
    try:
        if nested:
            result = o.phenomizer_score({"outer": d}, set(), set())
        else:
            result = o.mrca_and_score(d)
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is Panic
        if size == 0:
            assert str(exc) == UNWRAP_NONE
        else:
            assert not only_harmless, str(exc)
            assert str(exc) in ("dictionary changed size during iteration",
                                "dictionary keys changed during iteration")
    else:
        # The size is checked before every step of the walk, the last included: a call that
        # returns has seen the dict keep its size.
        assert len(d) == size
        if nested:
            assert math.isnan(result)
