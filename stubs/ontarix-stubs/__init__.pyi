import os
from collections.abc import AbstractSet, Iterable, Mapping, Sequence
from typing import Final, Literal, final

import numpy as np
import numpy.typing as npt

# Exactly the eight functions; ClosureIndex and closure_from_relationships are attributes only.
__all__ = [
    "run",
    "jaccard_similarity",
    "mrca_and_score",
    "get_intersection",
    "semantic_jaccard_similarity",
    "relationships_to_closure_table",
    "phenomizer_score",
    "max_information_content",
]

# The type of the records that `run` returns. It is not an attribute of the module at run time:
# use it in annotations only (quoted, or under `if TYPE_CHECKING:`), and reach the class itself
# as `type(record)`.
@final
class TermSetPairwiseSimilarity:
    @staticmethod
    def new() -> TermSetPairwiseSimilarity: ...
    def get_set_id(self) -> str: ...
    def get_subject_termset(self) -> set[str]: ...
    def get_object_termset(self) -> set[str]: ...
    def get_subject_best_matches(self) -> list[str]: ...
    def get_object_best_matches(self) -> list[str]: ...
    def get_average_score(self) -> float: ...
    def get_best_score(self) -> float: ...
    def get_metric(self) -> str: ...

def run(input_file: str, closure_file: str) -> list[TermSetPairwiseSimilarity]: ...
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

# The names `measure=` and `combine=` take (private aliases: not attributes of the module).
_TermMeasure = Literal[
    "resnik",
    "max_information_content",
    "lin",
    "jiang_conrath",
    "relevance",
    "information_coefficient",
    "graph_ic",
    "semantic_jaccard",
    "wang",
]
_ProfileMeasure = Literal["phenomizer", "jaccard", "expanded_jaccard", "simgic"] | _TermMeasure
_CompareMeasure = Literal["phenomizer"] | _TermMeasure
_Combine = Literal["funsimavg", "funsimmax", "bma", "max", "avg", "directed"]
# Named profiles, as a mapping or prepared (ClosureIndex.prepare).
_Named = Mapping[str, AbstractSet[str]] | PreparedProfiles

@final
class ClosureIndex:
    def __init__(
        self,
        closure_table: dict[str, dict[str, set[str]]],
        predicates: set[str] | None = None,
        *,
        information_content: Mapping[str, float] | None = None,
    ) -> None: ...
    @classmethod
    def from_file(
        cls,
        closure_file: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        information_content: Mapping[str, float] | None = None,
    ) -> ClosureIndex: ...
    @classmethod
    def from_relationships(
        cls,
        list_of_tuples: Sequence[tuple[str, str, str]],
        *,
        follow: set[str] | frozenset[str] | list[str] | tuple[str, ...] | None = None,
        reflexive: bool = False,
        information_content: Mapping[str, float] | None = None,
        wang_weights: Mapping[str, float] | None = None,
    ) -> ClosureIndex: ...
    def with_information_content(
        self, information_content: Mapping[str, float] | None
    ) -> ClosureIndex: ...
    def annotation_information_content(
        self,
        annotations: Mapping[object, Iterable[str]],
        *,
        count: Literal["objects", "annotations"] = ...,
    ) -> dict[str, float]: ...
    def __len__(self) -> int: ...
    def __contains__(self, term: object) -> bool: ...
    def ancestors(self, term: str) -> set[str]: ...
    def information_content(self, term: str) -> float: ...
    def semantic_jaccard(self, term1: str, term2: str) -> float: ...
    def max_information_content(self, term1: str, term2: str) -> float: ...
    def most_informative_common_ancestor(self, term1: str, term2: str) -> tuple[str, float] | None: ...
    def term_similarity(self, term1: str, term2: str, *, measure: _TermMeasure = ...) -> float: ...
    def phenomizer(self, set1: AbstractSet[str], set2: AbstractSet[str]) -> float: ...
    def similarity(
        self,
        set1: AbstractSet[str],
        set2: AbstractSet[str],
        *,
        measure: _ProfileMeasure = ...,
        combine: _Combine | None = None,
    ) -> float: ...
    def best_matches(
        self, set1: AbstractSet[str], set2: AbstractSet[str], *, measure: _TermMeasure = ...
    ) -> list[tuple[str, str, str | None, float]]: ...
    def compare(
        self,
        set1: AbstractSet[str],
        set2: AbstractSet[str],
        set_id: str = ...,
        *,
        measure: _CompareMeasure = ...,
        combine: _Combine | None = None,
    ) -> TermSetPairwiseSimilarity: ...
    def term_similarity_matrix(
        self,
        terms1: Iterable[str],
        terms2: Iterable[str] | None = None,
        *,
        measure: _TermMeasure = ...,
        threads: int | None = None,
    ) -> npt.NDArray[np.float64]: ...
    def similarity_matrix(
        self,
        sets1: Iterable[AbstractSet[str]] | PreparedProfiles,
        sets2: Iterable[AbstractSet[str]] | PreparedProfiles | None = None,
        *,
        measure: _ProfileMeasure = ...,
        combine: _Combine | None = None,
        threads: int | None = None,
    ) -> npt.NDArray[np.float64]: ...
    def top_k(
        self,
        queries: _Named,
        candidates: _Named | None = None,
        *,
        k: int = ...,
        measure: _ProfileMeasure = ...,
        combine: _Combine | None = None,
        threads: int | None = None,
    ) -> dict[str, list[tuple[str, float]]]: ...
    def prepare(self, profiles: Mapping[str, AbstractSet[str]]) -> PreparedProfiles: ...
    def pvalues(
        self,
        query: AbstractSet[str],
        candidates: _Named,
        *,
        measure: _ProfileMeasure = ...,
        combine: _Combine | None = None,
        pool: Iterable[str] | None = None,
        method: Literal["exact", "sampling"] = ...,
        samples: int = ...,
        seed: int = ...,
        threads: int | None = None,
    ) -> npt.NDArray[np.float64]: ...
    def null_distributions(
        self,
        candidates: _Named,
        query_size: int,
        *,
        measure: _TermMeasure = ...,
        pool: Iterable[str] | None = None,
        threads: int | None = None,
    ) -> NullDistributions: ...
    # A search cut into pieces (ontarix_tools' cluster entry point); not for direct use.
    def _top_k_piece(
        self,
        queries: _Named,
        candidates: _Named | None,
        piece: tuple[int, int, int, int],
        *,
        k: int = ...,
        measure: _ProfileMeasure = ...,
        combine: _Combine | None = None,
        threads: int | None = None,
    ) -> bytes: ...
    @staticmethod
    def _merge_top_k(
        query_names: Sequence[str],
        candidate_names: Sequence[str] | None,
        pieces: Iterable[bytes],
        k: int,
    ) -> dict[str, list[tuple[str, float]]]: ...

# Named sets of terms converted once for a ClosureIndex (ClosureIndex.prepare); not
# constructible directly.
@final
class PreparedProfiles:
    @property
    def names(self) -> tuple[str, ...]: ...
    def __len__(self) -> int: ...

# The null distributions of exact p-values for candidates and one query size
# (ClosureIndex.null_distributions); not constructible directly.
@final
class NullDistributions:
    def pvalues(self, query: AbstractSet[str], *, threads: int | None = None) -> npt.NDArray[np.float64]: ...
    @property
    def query_size(self) -> int: ...
    @property
    def measure(self) -> str: ...
    @property
    def candidates(self) -> PreparedProfiles: ...
    @property
    def grid_steps(self) -> npt.NDArray[np.float64]: ...
    def __len__(self) -> int: ...

def closure_from_relationships(
    list_of_tuples: Sequence[tuple[str, str, str]],
    *,
    follow: set[str] | frozenset[str] | list[str] | tuple[str, ...] | None = None,
    reflexive: bool = False,
    label: str = "rdfs:subClassOf",
) -> dict[str, dict[str, set[str]]]: ...
