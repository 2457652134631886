"""Typed use of the public surface; checked by mypy against the installed stubs."""

from typing import TYPE_CHECKING

import ontarix
from ontarix_tools import (Annotations, benjamini_hochberg, distributed_top_k, read_gaf, read_hpoa,
                           read_obo_index)

if TYPE_CHECKING:
    from distributed import Client

    from ontarix import TermSetPairwiseSimilarity

closure: dict[str, dict[str, set[str]]] = ontarix.relationships_to_closure_table(
    [("A", "is_a", "B"), ("B", "is_a", "C")]
)
rows_as_tuple: dict[str, dict[str, set[str]]] = ontarix.relationships_to_closure_table(
    (("A", "is_a", "B"),)
)
similarity: float = ontarix.semantic_jaccard_similarity(closure, "A", "B")
filtered: float = ontarix.semantic_jaccard_similarity(closure, "A", "B", predicates={"is_a"})
information: float = ontarix.max_information_content(closure, "A", "B", None)
jaccard: float = ontarix.jaccard_similarity({"a"}, set2={"b"})
common: set[str] = ontarix.get_intersection({"a"}, {"a", "b"})
ancestor: tuple[str, float] = ontarix.mrca_and_score({"A": 1.0, "B": 2.5})
term, score = ancestor
phenomizer: float = ontarix.phenomizer_score({"a": {"b": 1.0}}, {"a"}, {"b"})
records: list["TermSetPairwiseSimilarity"] = ontarix.run("input.csv", "closure.csv")
first = records[0]
set_id: str = first.get_set_id()
best: float = first.get_best_score() + first.get_average_score()
subject: set[str] = first.get_subject_termset() | first.get_object_termset()
matches: list[str] = first.get_subject_best_matches() + first.get_object_best_matches()
metric: str = first.get_metric()
fresh: "TermSetPairwiseSimilarity" = type(first).new()
names: list[str] = ontarix.__all__

index = ontarix.ClosureIndex(closure, information_content={"B": 1.0})
resnik: float = index.max_information_content("A", "B") + index.phenomizer({"A"}, frozenset({"B"}))
explained: list[tuple[str, str, str | None, float]] = index.best_matches({"A"}, {"B"})
neighbours: dict[str, list[tuple[str, float]]] = index.top_k({"x": {"A"}}, k=3, measure="jaccard")
row_sums = index.similarity_matrix([{"A"}, {"B"}]).sum(axis=1)
lin_bma: float = index.similarity({"A"}, {"B"}, measure="lin", combine="bma") + index.term_similarity(
    "A", "B", measure="graph_ic"
)
prepared = index.prepare({"x": {"A"}, "y": {"B"}})
ranked: dict[str, list[tuple[str, float]]] = index.top_k({"q": {"A"}}, prepared, k=1)
p_values = index.pvalues({"A"}, prepared, measure="lin", method="sampling", samples=1000, seed=2)
kept: ontarix.NullDistributions = index.null_distributions(prepared, 1, pool=["A", "B"])
later = kept.pvalues({"B"}, threads=1)[0] + p_values[0] + kept.grid_steps.max()
ancestors: dict[str, dict[str, set[str]]] = ontarix.closure_from_relationships(
    [("A", "is_a", "B")], follow={"is_a"}, reflexive=True, label="is_a"
)


def on_cluster(client: "Client") -> dict[str, list[tuple[str, float]]]:
    return distributed_top_k(client, index, {"x": {"A"}}, {"y": frozenset({"B"})}, k=3, measure="jaccard")


def from_files(hpoa: str, gaf: str, obo: str) -> float:
    profiles, names = read_hpoa(hpoa, aspects=None, databases=["OMIM", "ORPHA"])
    genes: Annotations = read_gaf(gaf, aspects="P", exclude_evidence={"IEA"}, by_symbol=True)
    terms: set[str] = profiles["OMIM:1"] | genes.profiles["TP53"]
    name: str = names["OMIM:1"]
    ontology = read_obo_index(obo, follow=["is_a", "part_of"], information_content={"A": 1.0})
    q = benjamini_hochberg([0.01, 0.2])
    return ontology.phenomizer(terms, {name}) + float(q.max())
