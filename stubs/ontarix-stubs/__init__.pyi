from collections.abc import Sequence
from typing import Any, Final

__all__: Final[list[str]]

def run(input_file: str, closure_file: str) -> list[Any]: ...
def jaccard_similarity(set1: set[str], set2: set[str]) -> float: ...
def mrca_and_score(map: dict[str, float]) -> tuple[str, float]: ...
def get_intersection(set1: set[str], set2: set[str]) -> set[str]: ...
def semantic_jaccard_similarity(
    closure_table: dict[str, dict[str, set[str]]],
    entity1: str,
    entity2: str,
    predicates: set[str] | None = ...,
) -> float: ...
def relationships_to_closure_table(
    list_of_tuples: Sequence[tuple[str, str, str]],
) -> dict[str, dict[str, set[str]]]: ...
def phenomizer_score(
    map: dict[str, dict[str, float]], entity1: set[str], entity2: set[str]
) -> float: ...
def max_information_content(
    closure_table: dict[str, dict[str, set[str]]],
    entity1: str,
    entity2: str,
    predicates: set[str] | None = ...,
) -> float: ...
