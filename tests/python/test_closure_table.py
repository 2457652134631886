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
