"""Argument binding: every function reports binding errors with the interpreter's own wording."""

import pytest

import ontarix

S = {"a"}


# Pure-Python twins of the signatures. CPython's own binding errors are the reference texts.
class twins:
    def run(input_file, closure_file): ...
    def jaccard_similarity(set1, set2): ...
    def mrca_and_score(map): ...
    def get_intersection(set1, set2): ...
    def semantic_jaccard_similarity(closure_table, entity1, entity2, predicates=None): ...
    def relationships_to_closure_table(list_of_tuples): ...
    def phenomizer_score(map, entity1, entity2): ...
    def max_information_content(closure_table, entity1, entity2, predicates=None): ...
    def closure_from_relationships(list_of_tuples, *, follow=None, reflexive=False, label="rdfs:subClassOf"): ...


for _name, _fn in list(vars(twins).items()):
    if callable(_fn):
        _fn.__qualname__ = _name

# (function, args, kwargs, expected message)
BINDING_ERRORS = [
    ("jaccard_similarity", (S,), {}, "jaccard_similarity() missing 1 required positional argument: 'set2'"),
    ("jaccard_similarity", (), {}, "jaccard_similarity() missing 2 required positional arguments: 'set1' and 'set2'"),
    ("jaccard_similarity", (), {"set2": S}, "jaccard_similarity() missing 1 required positional argument: 'set1'"),
    ("semantic_jaccard_similarity", (), {}, "semantic_jaccard_similarity() missing 3 required positional arguments: 'closure_table', 'entity1', and 'entity2'"),
    ("semantic_jaccard_similarity", (), {"entity1": "a"}, "semantic_jaccard_similarity() missing 2 required positional arguments: 'closure_table' and 'entity2'"),
    ("max_information_content", ({},), {"predicates": None}, "max_information_content() missing 2 required positional arguments: 'entity1' and 'entity2'"),
    ("phenomizer_score", (), {"entity2": S}, "phenomizer_score() missing 2 required positional arguments: 'map' and 'entity1'"),
    ("run", ("x",), {}, "run() missing 1 required positional argument: 'closure_file'"),
    ("jaccard_similarity", (S, S, S), {}, "jaccard_similarity() takes 2 positional arguments but 3 were given"),
    ("max_information_content", ({}, "a", "b", None, 1), {}, "max_information_content() takes from 3 to 4 positional arguments but 5 were given"),
    ("semantic_jaccard_similarity", ({}, "a", "b", None, 1, 2), {}, "semantic_jaccard_similarity() takes from 3 to 4 positional arguments but 6 were given"),
    ("jaccard_similarity", (S,), {"set1": S}, "jaccard_similarity() got multiple values for argument 'set1'"),
    ("semantic_jaccard_similarity", ({}, "a", "b", None), {"predicates": None}, "semantic_jaccard_similarity() got multiple values for argument 'predicates'"),
    ("mrca_and_score", (), {"map": {}, "x": 1}, "mrca_and_score() got an unexpected keyword argument 'x'"),
    ("mrca_and_score", (), {"Map": {}}, "mrca_and_score() got an unexpected keyword argument 'Map'"),
    ("relationships_to_closure_table", (), {"list_of_tuple": []}, "relationships_to_closure_table() got an unexpected keyword argument 'list_of_tuple'"),
    ("run", (), {"\udc80": 1}, "run() got an unexpected keyword argument '\udc80'"),
    # keyword-only options, worded as for a function defined in Python
    ("closure_from_relationships", ([], None), {}, "closure_from_relationships() takes 1 positional argument but 2 were given"),
    ("closure_from_relationships", ([], None, True), {"label": "x"}, "closure_from_relationships() takes 1 positional argument but 3 positional arguments (and 1 keyword-only argument) were given"),
    ("closure_from_relationships", (), {"follow": None}, "closure_from_relationships() missing 1 required positional argument: 'list_of_tuples'"),
    ("closure_from_relationships", ([],), {"list_of_tuples": []}, "closure_from_relationships() got multiple values for argument 'list_of_tuples'"),
    ("closure_from_relationships", ([],), {"reflexiv": True}, "closure_from_relationships() got an unexpected keyword argument 'reflexiv'"),
    # the keyword errors come before the check for missing parameters
    ("get_intersection", (), {"set3": S}, "get_intersection() got an unexpected keyword argument 'set3'"),
]

# Where CPython words it differently for a pure-Python function: one parameter is still
# "positional arguments" here.
SINGLE_PARAMETER_ERRORS = [
    ("mrca_and_score", ({}, {}), {}, "mrca_and_score() takes 1 positional arguments but 2 were given"),
    ("relationships_to_closure_table", ([], [], []), {}, "relationships_to_closure_table() takes 1 positional arguments but 3 were given"),
]


def _call(name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(ontarix, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_error_matches_python(name, args, kwargs, message):
    assert _call(name, args, kwargs) == message
    with pytest.raises(TypeError) as twin:
        getattr(twins, name)(*args, **kwargs)
    assert str(twin.value) == message


@pytest.mark.parametrize("name, args, kwargs, message", SINGLE_PARAMETER_ERRORS)
def test_single_parameter_too_many(name, args, kwargs, message):
    assert _call(name, args, kwargs) == message


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("jaccard_similarity", (), {"set2": S, "set1": S}),
        ("jaccard_similarity", (S,), {"set2": S}),
        ("mrca_and_score", (), {"map": {}}),
        ("get_intersection", (), {"set1": S, "set2": S}),
        ("semantic_jaccard_similarity", ({}, "a", "b"), {}),
        ("semantic_jaccard_similarity", ({}, "a", "b", None), {}),
        ("semantic_jaccard_similarity", ({},), {"entity2": "b", "entity1": "a", "predicates": set()}),
        ("phenomizer_score", (), {"entity2": S, "entity1": S, "map": {}}),
        ("max_information_content", (), {"closure_table": {}, "entity1": "a", "entity2": "b"}),
        ("closure_from_relationships", (), {"label": "x", "reflexive": True, "follow": None, "list_of_tuples": []}),
        # keyword names that are not interned still match by their text
        ("jaccard_similarity", (), {"".join(["se", "t1"]): S, "".join(["se", "t2"]): S}),
    ],
)
def test_every_parameter_binds_by_keyword(name, args, kwargs):
    # Binding and conversion succeed: whatever the operation then does, it is no TypeError.
    try:
        getattr(ontarix, name)(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - an empty score map is a fault, not a binding error
        assert not isinstance(exc, TypeError), exc


def test_closure_table_binds_by_keyword():
    assert ontarix.relationships_to_closure_table(list_of_tuples=[("a", "p", "b")]) == {
        "a": {"p": {"b"}}
    }


def test_binding_fails_before_any_conversion():
    # `map` would fail conversion, but the unknown keyword is reported first.
    assert _call("mrca_and_score", (), {"map": 5, "x": 1}) == (
        "mrca_and_score() got an unexpected keyword argument 'x'"
    )


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("jaccard_similarity", (5, 6), "argument 'set1': 'int' object cannot be converted to 'PySet'"),
        ("phenomizer_score", ([], 5, 6), "argument 'map': 'list' object cannot be converted to 'PyDict'"),
        ("semantic_jaccard_similarity", ({}, 1, 2, 3), "argument 'entity1': 'int' object cannot be converted to 'PyString'"),
        ("run", (1, 2), "argument 'input_file': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_first_failing_argument_stops_the_call(name, args, message):
    assert _call(name, args, {}) == message
