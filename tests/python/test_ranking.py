"""Ranking candidates against a query: prepared candidates on every path, and p-values (exact
against enumeration and against sampling, the reusable NullDistributions, errors)."""

import itertools
import math
import pickle

import numpy as np
import pytest

import ontarix
from conftest import random_profiles

TERM_MEASURES = ["resnik", "lin", "jiang_conrath", "relevance", "information_coefficient", "graph_ic",
                 "semantic_jaccard", "wang"]
M = "ClosureIndex"

# a -> b, c; b -> d, e; c -> f; e part_of c; g has two parents (d, f); h under e.
EDGES = [("b", "is_a", "a"), ("c", "is_a", "a"), ("d", "is_a", "b"), ("e", "is_a", "b"),
         ("e", "part_of", "c"), ("f", "is_a", "c"), ("g", "is_a", "d"), ("g", "is_a", "f"),
         ("h", "is_a", "e")]
# "zz", "yy" and "qq" are no terms of the index; "empty" has no terms at all.
CANDIDATES = {"c1": {"g", "h"}, "c2": {"e"}, "c3": {"b", "f", "zz"}, "empty": set()}
POOL = ["b", "c", "d", "e", "f", "g", "h", "yy"]


@pytest.fixture(scope="module")
def tiny():
    return ontarix.ClosureIndex.from_relationships(EDGES, reflexive=True, wang_weights=None)


@pytest.fixture(scope="module")
def generated():
    """A random ontology with an IC of small integers: every directed score is a multiple of 1/q,
    far more than the grid's bracket apart, so the exact p-values are exact."""
    table, profiles = random_profiles(300, 25, seed=5)
    ic = {t: float(1 + i % 4) for i, t in enumerate(sorted(table))}
    return ontarix.ClosureIndex(table, information_content=ic), profiles


def best(index, term, candidate, measure):
    """v(t): the term's best score in the candidate, one pair at a time (nan counts as 0.0)."""
    scores = (index.term_similarity(term, d, measure=measure) for d in candidate)
    return max([0.0] + [0.0 if math.isnan(s) else s for s in scores])


# ---- exact p-values against every query of the pool ------------------------------------------------

@pytest.mark.parametrize("measure", TERM_MEASURES)
def test_exact_pvalues_bracket_the_enumerated_ones(tiny, measure):
    for q in (1, 2, 3):
        dist = tiny.null_distributions(CANDIDATES, q, measure=measure, pool=POOL)
        tuples = list(itertools.product(range(len(POOL)), repeat=q))
        for query in itertools.islice(itertools.combinations(["a", "d", "g", "h", "c", "qq"], q), 4):
            query = set(query)
            p = tiny.pvalues(query, CANDIDATES, measure=measure, pool=POOL)
            assert np.array_equal(p, dist.pvalues(query), equal_nan=True)
            for i, (name, candidate) in enumerate(CANDIDATES.items()):
                if not candidate:
                    assert math.isnan(p[i])
                    continue
                v = [best(tiny, t, candidate, measure) for t in POOL]
                m = tiny.similarity(query, candidate, measure=measure, combine="directed")
                means = [sum(v[t] for t in draw) / q for draw in tuples]
                # Never below the exact p-value; above it at most by the scores within two grid
                # steps below m (and by rounding).
                exact = sum(x >= m - 1e-12 * max(1.0, m) for x in means) / len(means)
                h = dist.grid_steps[i]
                bound = sum(x > m - 2 * h - 1e-9 for x in means) / len(means) * (1 + 2**-19) + 2**-1022
                assert exact <= p[i] <= bound, (q, query, name)


def test_exact_and_sampled_pvalues_agree(generated):
    index, profiles = generated
    terms = sorted({t for p in profiles.values() for t in p})
    query = set(terms[5:9]) | {"lacking"}
    n = 10**6
    exact = index.pvalues(query, profiles)
    sampled = index.pvalues(query, profiles, method="sampling", samples=n, seed=3)
    assert math.isnan(exact[list(profiles).index("empty")])
    assert np.array_equal(np.isnan(exact), np.isnan(sampled))
    ok = ~np.isnan(exact)
    p = exact[ok]
    # Within 4 binomial standard errors, plus the 1 / (1 + n) of counting the query itself.
    assert np.all(np.abs(sampled[ok] - p) <= 4 * np.sqrt(p * (1 - p) / n) + 1 / (n + 1))


@pytest.mark.parametrize("measure, combine", [("resnik", None), ("lin", "bma"), ("graph_ic", "avg"),
                                              ("phenomizer", None), ("simgic", None)])
def test_sampling_depends_on_the_seed_not_on_threads(generated, measure, combine):
    index, profiles = generated
    query = {"T0010", "T0020", "T0100"}
    run = lambda threads, seed: index.pvalues(query, profiles, measure=measure, combine=combine,
                                              method="sampling", samples=20_000, seed=seed,
                                              threads=threads)
    one = run(1, 7)
    assert np.array_equal(one, run(3, 7), equal_nan=True)
    assert not np.array_equal(one, run(1, 8), equal_nan=True)
    assert np.nanmin(one) >= 1 / 20_001 and np.nanmax(one) <= 1.0


# ---- prepared candidates --------------------------------------------------------------------------

@pytest.mark.parametrize("measure, combine", [("phenomizer", None), ("lin", "bma"), ("resnik", "directed"),
                                              ("simgic", None), ("expanded_jaccard", None), ("jaccard", None)])
def test_prepared_profiles_answer_as_their_mapping(measure, combine):
    table, profiles = random_profiles(120, 30, seed=11)
    index = ontarix.ClosureIndex(table)
    # Terms the index lacks, numbered apart in each prepared object (expanded_jaccard refuses them).
    lacking = [] if measure == "expanded_jaccard" else ["lacking", "also lacking", "other lacking"]
    profiles["odd"] = {"T0003", *lacking[:2]}
    queries = {"q1": {"T0005", "T0050"}, "q2": {"T0003", *lacking[1:]}}
    prepared, prepared_queries = index.prepare(profiles), index.prepare(queries)
    kw = {"measure": measure, "combine": combine}
    top = repr(index.top_k(queries, profiles, k=5, **kw))  # repr: nan equals nan
    assert repr(index.top_k(queries, prepared, k=5, **kw)) == top
    assert repr(index.top_k(prepared_queries, prepared, k=5, **kw)) == top
    assert repr(index.top_k(prepared_queries, profiles, k=5, **kw)) == top
    assert repr(index.top_k(prepared, k=3, **kw)) == repr(index.top_k(profiles, k=3, **kw))
    matrix = index.similarity_matrix(list(queries.values()), list(profiles.values()), **kw)
    assert np.array_equal(index.similarity_matrix(prepared_queries, prepared, **kw), matrix, equal_nan=True)
    assert np.array_equal(index.similarity_matrix(list(queries.values()), prepared, **kw), matrix, equal_nan=True)
    # Another index over the same terms takes the object too, with its own information content.
    other = index.with_information_content({"T0005": 2.0, "T0001": 1.0})
    assert repr(other.top_k(queries, prepared, k=5, **kw)) == repr(other.top_k(queries, profiles, k=5, **kw))
    sampling = {"method": "sampling", "samples": 500, **kw}
    if measure not in ("phenomizer", "simgic", "expanded_jaccard", "jaccard"):
        sampling = {"measure": measure, "combine": "directed"}  # exact
    assert np.array_equal(index.pvalues({"T0005", "T0050"}, prepared, **sampling),
                          index.pvalues({"T0005", "T0050"}, profiles, **sampling), equal_nan=True)


@pytest.mark.parametrize("measure, combine", [("lin", "bma"), ("resnik", "directed"), ("graph_ic", "max")])
def test_pieces_with_a_combine_merge_into_top_k(measure, combine):
    table, profiles = random_profiles(80, 40, seed=6)
    index = ontarix.ClosureIndex(table)
    prepared, names, n = index.prepare(profiles), list(profiles), len(profiles)
    bounds = [(0, 15), (15, 30), (30, n)]
    # The pairs of blocks once each; a directed score also needs every block against the earlier.
    pairs = [(a, b) for i, a in enumerate(bounds) for b in bounds[i:]]
    if combine == "directed":
        pairs += [(b, a) for a, b in pairs if a != b]
    pieces = [index._top_k_piece(prepared, None, (*a, *b), k=4, measure=measure, combine=combine)
              for a, b in pairs]
    merged = type(index)._merge_top_k(names, None, pieces, 4)
    assert repr(merged) == repr(index.top_k(profiles, k=4, measure=measure, combine=combine))


def test_null_distributions_are_kept_and_pickled(generated):
    index, profiles = generated
    query = {"T0005", "T0050", "T0100"}
    dist = index.null_distributions(profiles, 3, measure="lin", pool=sorted(profiles["p0003"]) + ["lacking"])
    p = dist.pvalues(query)
    assert np.array_equal(p, index.pvalues(query, profiles, measure="lin",
                                           pool=["lacking"] + sorted(profiles["p0003"])), equal_nan=True)
    assert (len(dist), dist.query_size, dist.measure, dist.candidates.names) == (
        len(profiles), 3, "lin", tuple(profiles))
    restored = pickle.loads(pickle.dumps(dist))
    assert np.array_equal(restored.pvalues(query), p, equal_nan=True)
    assert np.array_equal(restored.grid_steps, dist.grid_steps)
    # A prepared object made by another index of the same terms, and distributions of the index's
    # own default measure, answer alike.
    prepared = index.with_information_content(None).prepare(profiles)
    assert np.array_equal(index.null_distributions(prepared, 3).pvalues(query), index.pvalues(query, profiles),
                          equal_nan=True)
    _, (owner, candidates, measure, state) = dist.__reduce__()
    damaged = state[:100] + bytes([state[100] ^ 1]) + state[101:]
    for args, error in [((owner, candidates, measure, damaged), "invalid NullDistributions state"),
                        ((owner, candidates, measure, state[:-1]), "invalid NullDistributions state"),
                        ((owner, index.prepare({"x": {"T0001"}}), measure, state),
                         "it does not hold one distribution per candidate")]:
        with pytest.raises(ValueError, match=error):
            type(dist)._from_state(*args)


# ---- errors ---------------------------------------------------------------------------------------

NO_EDGES = "measure 'wang' needs the ontology's edges: build the index with ClosureIndex.from_relationships"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i, c: i.pvalues(set(), c), ValueError, f"{M}.pvalues() argument 'query' must hold at least one term"),
        (lambda i, c: i.pvalues({"a"}, c, pool=[]), ValueError, f"{M}.pvalues() argument 'pool' must hold at least one term"),
        (lambda i, c: i.pvalues({"a"}, {"x": set()}), ValueError, f"{M}.pvalues() argument 'pool' must hold at least one term"),
        (lambda i, c: i.pvalues({"a"}, c, pool="ab"), TypeError, f"{M}.pvalues() argument 'pool' must be an iterable of str, not str"),
        (lambda i, c: i.pvalues({"a"}, c, pool=["a", 1]), TypeError, f"{M}.pvalues() argument 'pool' item 1 must be str, not int"),
        (lambda i, c: i.pvalues(["a"], c), TypeError, f"{M}.pvalues() argument 'query' must be a set of str, not list"),
        (lambda i, c: i.pvalues({"a"}, [{"a"}]), TypeError, f"{M}.pvalues() argument 'candidates' must be a mapping of str to sets of str, not list"),
        (lambda i, c: i.pvalues({"a"}, c, method="exactly"), ValueError, f"{M}.pvalues() argument 'method' must be one of 'exact', 'sampling', not 'exactly'"),
        (lambda i, c: i.pvalues({"a"}, c, combine="bma"), ValueError, f"{M}.pvalues() argument 'combine' must be None or 'directed' with method='exact'"),
        (lambda i, c: i.pvalues({"a"}, c, measure="phenomizer"), ValueError, f"{M}.pvalues() argument 'measure' must be a term measure with method='exact', not 'phenomizer'"),
        (lambda i, c: i.pvalues({"a"}, c, measure="jaccard", combine="bma", method="sampling"), ValueError, f"{M}.pvalues() argument 'combine' must be None with measure 'jaccard'"),
        (lambda i, c: i.pvalues({"a"}, c, measure="wang"), ValueError, f"{M}.pvalues() {NO_EDGES}"),
        (lambda i, c: i.pvalues({"a"}, c, method="sampling", samples=0), ValueError, f"{M}.pvalues() argument 'samples' must be at least 1, not 0"),
        (lambda i, c: i.pvalues({"a"}, c, method="sampling", seed=-1), ValueError, f"{M}.pvalues() argument 'seed' must be in [0, 2**64), not -1"),
        (lambda i, c: i.pvalues({"a"}, c, method="sampling", seed=2**64), ValueError, f"{M}.pvalues() argument 'seed' must be in [0, 2**64), not {2**64}"),
        (lambda i, c: i.pvalues({"a"}, c, method="sampling", seed=1.0), TypeError, f"{M}.pvalues() argument 'seed' must be int, not float"),
        (lambda i, c: i.pvalues({f"t{n}" for n in range(2049)}, c), ValueError, f"{M}.pvalues() argument 'query' holds 2049 terms: exact p-values take queries of at most 2048 terms (method='sampling' takes any)"),
        (lambda i, c: i.pvalues({"a"}, {"x": {"a"}}, measure="expanded_jaccard", method="sampling", pool=["a", "nope"]), KeyError, "'nope'"),
        (lambda i, c: i.pvalues({"a"}, ontarix.ClosureIndex({"a": {"p": {"a"}}}).prepare(c)), ValueError, f"{M}.pvalues() argument 'candidates' was prepared for another index"),
        (lambda i, c: i.null_distributions(c, 0), ValueError, f"{M}.null_distributions() argument 'query_size' must be at least 1, not 0"),
        (lambda i, c: i.null_distributions(c, 2049), ValueError, f"{M}.null_distributions() argument 'query_size' must be at most 2048, not 2049"),
        (lambda i, c: i.null_distributions(c, 2, measure="phenomizer"), ValueError, f"{M}.null_distributions() argument 'measure' must be one of "),
        (lambda i, c: i.null_distributions(c, 2).pvalues({"a"}), ValueError, "NullDistributions.pvalues() argument 'query' must hold 2 terms (the query size of these distributions), not 1"),
        (lambda i, c: type(i.null_distributions(c, 2))(), TypeError, "cannot create 'ontarix.NullDistributions' instances"),
        (lambda i, c: i._top_k_piece(c, None, (0, 1, 0, 1), combine="bma"), ValueError, f"{M}._top_k_piece() argument 'combine' must be None with measure 'phenomizer'"),
    ],
)
def test_errors(call, error, message):
    index = ontarix.ClosureIndex({"a": {"p": {"a", "b"}}, "b": {"p": {"b"}}})
    with pytest.raises(error) as info:
        call(index, {"x": {"a"}, "y": {"b", "c"}})
    assert type(info.value) is error
    assert str(info.value).startswith(message) or message == str(info.value)
