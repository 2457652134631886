"""relationships_to_closure_table: grouping of rows by subject and predicate."""

import collections

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ontarix

Row = collections.namedtuple("Row", "subject predicate object")


def model(rows):
    table: dict = {}
    for s, p, o in rows:
        table.setdefault(s, {}).setdefault(p, set()).add(o)
    return table


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([], {}),
        ((), {}),
        ([("A", "is_a", "B"), ("A", "is_a", "B")], {"A": {"is_a": {"B"}}}),
        (
            [("A", "is_a", "B"), ("A", "is_a", "C"), ("A", "part_of", "D"), ("E", "is_a", "A")],
            {"A": {"is_a": {"B", "C"}, "part_of": {"D"}}, "E": {"is_a": {"A"}}},
        ),
        ([("A", "is_a", "A")], {"A": {"is_a": {"A"}}}),
        ([("", "", "")], {"": {"": {""}}}),
        ([("", "p", "o"), ("s", "", "o"), ("s", "p", "")], {"": {"p": {"o"}}, "s": {"": {"o"}, "p": {""}}}),
        # exact bytes: case, spaces and Unicode normal forms all count
        ([("a", "p", "B"), ("A", "p", "b"), (" a", "p", "b")], {"a": {"p": {"B"}}, "A": {"p": {"b"}}, " a": {"p": {"b"}}}),
        ([("é", "p", "x"), ("e\u0301", "p", "y")], {"é": {"p": {"x"}}, "e\u0301": {"p": {"y"}}}),
        ([("😀", "≈", "\x00"), ("😀", "≈", "ß")], {"😀": {"≈": {"\x00", "ß"}}}),
        ([Row("A", "is_a", "B"), ("A", "is_a", "C")], {"A": {"is_a": {"B", "C"}}}),
        # nothing transitive or reversed is derived
        ([("A", "p", "B"), ("B", "p", "C")], {"A": {"p": {"B"}}, "B": {"p": {"C"}}}),
    ],
)
def test_table(rows, expected):
    assert ontarix.relationships_to_closure_table(rows) == expected


def test_result_is_made_of_new_plain_objects():
    class S(str):
        pass

    subject, predicate, obj = S("A"), S("is_a"), S("B")
    rows = [(subject, predicate, obj)]
    table = ontarix.relationships_to_closure_table(rows)
    [(key, inner)] = table.items()
    [(pred, objects)] = inner.items()
    [member] = objects
    assert (type(table), type(inner), type(objects)) == (dict, dict, set)
    assert {type(key), type(pred), type(member)} == {str}
    assert key is not subject and pred is not predicate and member is not obj
    assert rows == [("A", "is_a", "B")]


text = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=4)
small = st.sampled_from(["A", "B", "C", "", "é"])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(small | text, small, small | text), max_size=60))
def test_matches_the_model(rows):
    assert ontarix.relationships_to_closure_table(rows) == model(rows)


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(small, small, small), max_size=30), st.randoms())
def test_row_order_does_not_matter(rows, rnd):
    shuffled = list(rows)
    rnd.shuffle(shuffled)
    assert ontarix.relationships_to_closure_table(shuffled) == ontarix.relationships_to_closure_table(rows)


def test_large_grouped_and_interleaved_input():
    grouped = [(f"s{i // 10}", f"p{i % 3}", f"o{i}") for i in range(30_000)]
    interleaved = grouped[::2] + grouped[1::2]
    assert ontarix.relationships_to_closure_table(grouped) == model(grouped)
    assert ontarix.relationships_to_closure_table(interleaved) == model(grouped)


# ---- exact list or tuple of exact str: grouped in the caller's own objects ---------------------


class StrSub(str): ...


class TupleSub(tuple): ...


class RowList(list): ...  # any other sequence type takes the native route


def fresh(text):
    """An object of its own with the literal's text: grouping must match text, not identity."""
    return "".join(list(text))


def mixed_rows():
    rows = [
        # consecutive rows whose equal subjects and predicates are distinct objects
        ("GO:0000001", "is_a", "GO:0000002"),
        (fresh("GO:0000001"), fresh("is_a"), "GO:0000003"),
        (fresh("GO:0000001"), "part_of", "GO:0000002"),
        (fresh("GO:0000001"), fresh("is_a"), fresh("GO:0000003")),  # a duplicate row
        # same length and kind, other text; the first one's hash not computed yet
        (fresh("GO:0000002"), fresh("is_a"), "GO:0000001"),
        # each storage width, and texts of equal length that differ only in width
        ("\u00e9a", "p", "x"), (fresh("\u00e9a"), "p", "y"), ("\u0101a", "p", "z"),
        ("\U0001f600a", "\u03b1\u03b2", "\u00e9a"), ("\U0001f600b", fresh("\u03b1\u03b2"), "q"),
        ("e\u0301", "p", "\U0001f600a"), ("", "", ""),
        # subjects and a predicate coming back after others
        ("GO:0000001", "part_of", fresh("GO:0000009")), (fresh("\u00e9a"), "p", "x"),
        Row("GO:0000002", "is_a", "GO:0000004"),
    ]
    return rows + [(f"s{i % 7}", f"p{i % 3}", f"o{i % 11}") for i in range(200)]


@pytest.mark.parametrize("container", [list, tuple, RowList])
@pytest.mark.parametrize("last_row", [[], [(StrSub("s1"), "p1", "late")], [("s1", "p1", StrSub("late"))]])
def test_both_routes_group_alike(container, last_row):
    # A str subclass in the last row hands the call to the native route after all the others
    # have been validated.
    rows = container(mixed_rows() + last_row)
    table = ontarix.relationships_to_closure_table(rows)
    assert table == model(rows)
    assert {type(table)} | {type(inner) for inner in table.values()} == {dict}
    assert {type(objects) for inner in table.values() for objects in inner.values()} == {set}
    strings = [s for k, inner in table.items() for p, objs in inner.items() for s in (k, p, *objs)]
    assert {type(s) for s in strings} == {str}


ENCODE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"
GOOD = [(f"s{i}", "p", f"o{i}") for i in range(5000)]


@pytest.mark.parametrize("rows, expected", [
    (GOOD + [("a", "p", "\ud800"), ("a", 1, "b")], (UnicodeEncodeError, ENCODE)),
    (GOOD + [(1, "p", "\ud800")], (TypeError, "argument 'list_of_tuples': 'int' object cannot be converted to 'PyString'")),
    (GOOD + [("a", StrSub("p"), b"o")], (TypeError, "argument 'list_of_tuples': 'bytes' object cannot be converted to 'PyString'")),
    (GOOD + [(StrSub("a"), "p", "b"), ["a", "p", "b"]], (TypeError, "argument 'list_of_tuples': 'list' object cannot be converted to 'PyTuple'")),
    (GOOD + [("a", "p"), (StrSub("a"), "p", "b")], (ValueError, "expected tuple of length 3, but got tuple of length 2")),
    (GOOD + [Row("a", "p", "\ud800"), TupleSub(("a",) * 4)], (UnicodeEncodeError, ENCODE)),
    (GOOD + [("a", "p", StrSub("\ud800"))], (UnicodeEncodeError, ENCODE)),
])
@pytest.mark.parametrize("container", [list, tuple, RowList])
def test_first_bad_row_fails_alike_on_both_routes(rows, expected, container):
    with pytest.raises(BaseException) as info:
        ontarix.relationships_to_closure_table(container(rows))
    assert (type(info.value), str(info.value)) == expected
