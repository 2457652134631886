"""ClosureIndex measures by name: the formulas on small ontologies checked by hand or against the
definitions, the same double on every path, avg's one orientation, errors, and hostile input."""

import itertools
import math
import random

import pytest

import ontarix
from conftest import run_python

ROOT = "owl:Thing"
IC_MEASURES = ["resnik", "lin", "jiang_conrath", "relevance", "information_coefficient"]
TERM_MEASURES = IC_MEASURES + ["graph_ic", "semantic_jaccard", "wang"]
COMBINES = ["funsimavg", "funsimmax", "bma", "max", "avg", "directed"]
PROFILE_ONLY = ["phenomizer", "jaccard", "expanded_jaccard", "simgic"]


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


# ---- formulas -------------------------------------------------------------------------------------

# r -> {x, y}; x -> {a, b}; y -> {b, c}; a is_a x; b is_a x and part_of y; c part_of y.
EDGES = [("x", "is_a", "r"), ("y", "is_a", "r"), ("a", "is_a", "x"), ("b", "is_a", "x"),
         ("b", "part_of", "y"), ("c", "part_of", "y"), ("r", "is_a", ROOT)]
IC = {"r": 0.5, "x": 1.0, "y": 1.5, "a": 3.0, "b": 2.0, "c": 4.0, ROOT: 9.0}


@pytest.fixture(scope="module")
def small():
    return ontarix.ClosureIndex.from_relationships(EDGES, reflexive=True, information_content=IC)


@pytest.mark.parametrize(
    "measure, pairs",
    [
        # a, b share x (1.0) and r; a, c share r (0.5) only; the root never counts.
        ("resnik", {("a", "b"): 1.0, ("a", "c"): 0.5, ("b", "c"): 1.5, ("a", "zz"): 0.0}),
        ("lin", {("a", "b"): 2 / 5, ("a", "c"): 1 / 7, ("b", "c"): 3 / 6, ("a", "a"): 1.0, ("a", "zz"): 0.0}),
        ("jiang_conrath", {("a", "b"): 1 / 4, ("a", "c"): 1 / 7, ("a", "a"): 1.0, ("zz", "zz"): 0.0,
                           (ROOT, ROOT): 0.0}),
        ("relevance", {("a", "b"): 2 / 5 * (1 - math.exp(-1.0)), ("b", "c"): 0.5 * (1 - math.exp(-1.5))}),
        ("information_coefficient", {("a", "b"): 2 / 5 * 0.5, ("b", "c"): 0.5 * (1 - 1 / 2.5)}),
        # Sums of IC over the ancestors shared / over the union (the root counts 0.0).
        ("graph_ic", {("a", "b"): 1.5 / (4.5 + 5.0 - 1.5), ("a", "c"): 0.5 / (4.5 + 6.0 - 0.5),
                      ("b", "c"): 2.0 / (5.0 + 6.0 - 2.0), ("a", "a"): 1.0, ("zz", "zz"): 0.0}),
        ("semantic_jaccard", {("a", "b"): 3 / 6, ("a", "c"): 2 / 6}),
    ],
)
def test_term_formulas_by_hand(small, measure, pairs):
    for (t1, t2), expected in pairs.items():
        assert small.term_similarity(t1, t2, measure=measure) == pytest.approx(expected, rel=1e-15), (t1, t2)
        assert small.term_similarity(t2, t1, measure=measure) == small.term_similarity(t1, t2, measure=measure)


def wang_by_definition(edges, weights, a, b):
    """S-values as the maximum product over every path, enumerated."""
    parents = {}
    for child, predicate, parent in edges:
        parents.setdefault(child, []).append((parent, weights.get(predicate, 0.7)))

    def s_values(term):
        best = {}

        def walk(t, value):
            if value > best.get(t, 0.0):
                best[t] = value
            for p, w in parents.get(t, []):
                walk(p, value * w)

        walk(term, 1.0)
        return best

    sa, sb = s_values(a), s_values(b)
    common = sum(sa[t] + sb[t] for t in sa.keys() & sb.keys())
    return common / (sum(sa.values()) + sum(sb.values()))


def test_wang_is_the_definition(small):
    # A diamond with unequal paths: the maximum product over paths counts, not the first met.
    edges = EDGES + [("d", "is_a", "a"), ("d", "part_of", "c"), ("e", "regulates", "d"), ("e", "is_a", "y")]
    weights = {"is_a": 0.8, "part_of": 0.6}
    idx = ontarix.ClosureIndex.from_relationships(edges)
    custom = ontarix.ClosureIndex.from_relationships(edges, wang_weights={"is_a": 0.5, "regulates": 1.0})
    terms = sorted({t for e in edges for t in (e[0], e[2])})
    for a, b in itertools.product(terms, repeat=2):
        assert idx.term_similarity(a, b, measure="wang") == pytest.approx(
            wang_by_definition(edges, weights, a, b), rel=1e-14)
        assert custom.term_similarity(a, b, measure="wang") == pytest.approx(
            wang_by_definition(edges, {"is_a": 0.5, "regulates": 1.0, "part_of": 0.7}, a, b), rel=1e-14)
    assert idx.term_similarity("a", "unknown", measure="wang") == 0.0


def test_combines_and_profile_measures_by_hand(small):
    # Lin scores of A = {a, c} against B = {b}: a-b 0.4, c-b 0.5.
    A, B = {"a", "c"}, {"b"}
    expected = {
        "funsimavg": ((0.4 + 0.5) / 2 + 0.5) / 2,
        "funsimmax": max((0.4 + 0.5) / 2, 0.5),
        "bma": (0.4 + 0.5 + 0.5) / 3,
        "max": 0.5,
        "avg": (0.4 + 0.5) / 2,
        "directed": (0.4 + 0.5) / 2,
    }
    for combine, value in expected.items():
        assert small.similarity(A, B, measure="lin", combine=combine) == pytest.approx(value, rel=1e-15)
    assert small.similarity(B, A, measure="lin", combine="directed") == 0.5
    assert small.similarity(A, B, measure="lin") == small.similarity(A, B, measure="lin", combine="funsimavg")
    # simgic: the expansions' unions {a, c, x, y, r} and {b, x, y, r}.
    assert small.similarity(A, B, measure="simgic") == pytest.approx(3 / (10 + 5 - 3), rel=1e-15)
    for measure in TERM_MEASURES + ["simgic"]:
        assert math.isnan(small.similarity(A, set(), measure=measure)), measure
    # A nan term score (two empty expansions) counts as 0.0.
    assert small.similarity({"zz", "a"}, {"qq"}, measure="semantic_jaccard", combine="max") == 0.0
    # best_matches: the ancestor for IC measures, None for the others.
    assert small.best_matches({"a"}, {"b", "c"}, measure="lin") == [("a", "b", "x", 0.4)]
    assert small.best_matches({"a"}, {"b", "c"}, measure="graph_ic") == [
        ("a", "b", None, small.term_similarity("a", "b", measure="graph_ic"))]
    record = small.compare(A, B, measure="lin", combine="bma")
    assert record.get_metric() == "lin+bma" and record.get_average_score() == small.similarity(
        A, B, measure="lin", combine="bma")
    assert record.get_best_score() == 0.5 and record.get_subject_best_matches() == ["b", "b"]
    assert small.compare(A, B, measure="resnik").get_metric() == "phenomizer"


def test_resnik_with_funsimavg_is_phenomizer_bit_for_bit():
    idx, profiles = random_index(3)
    sets = list(profiles.values())
    pheno = idx.similarity_matrix(sets)
    assert (idx.similarity_matrix(sets, measure="resnik", combine="funsimavg") == pheno).all()
    assert (idx.similarity_matrix(sets, measure="resnik", combine="bma") != pheno).any()
    for a, b in itertools.islice(itertools.product(sets, repeat=2), 200):
        assert same(idx.similarity(a, b), idx.phenomizer(a, b))


# ---- every path the same double ---------------------------------------------------------------------


def random_index(seed, n=60):
    rng = random.Random(seed)
    names = [f"T{i:02d}" for i in range(n)]
    edges = [(names[i], rng.choice(["is_a", "part_of", "regulates"]), names[rng.randrange(i)])
             for i in range(1, n) for _ in range(rng.randint(1, 2))]
    edges.append(("T00", "is_a", ROOT))
    idx = ontarix.ClosureIndex.from_relationships(edges, reflexive=True)
    pool = names + [ROOT, "absent1", "absent2"]
    profiles = {f"p{i:02d}": set(rng.sample(pool, rng.randint(0 if i % 11 == 0 else 1, 7)))
                for i in range(24)}
    profiles["dup_b"] = profiles["dup_a"] = {"T03", "T40"}
    return idx, profiles


def scorings():
    yield from ((m, None) for m in PROFILE_ONLY)
    yield from itertools.product(TERM_MEASURES, COMBINES)


@pytest.fixture(scope="module")
def random_data():
    return random_index(5)


@pytest.mark.parametrize("measure, combine", list(scorings()))
def test_every_path_gives_the_same_double(random_data, measure, combine):
    idx, profiles = random_data
    if measure == "expanded_jaccard":  # every term a subject
        profiles = {k: {t for t in v if t in idx} for k, v in profiles.items()}
    names, sets = list(profiles), list(profiles.values())
    per_call = [[idx.similarity(a, b, measure=measure, combine=combine) for b in sets] for a in sets]
    for threads in (1, 3):
        full = idx.similarity_matrix(sets, measure=measure, combine=combine, threads=threads)
        part = idx.similarity_matrix(sets[:7], sets, measure=measure, combine=combine, threads=threads)
        for i, j in itertools.product(range(len(sets)), repeat=2):
            assert same(full[i][j], per_call[i][j]), (threads, i, j)
            assert i >= 7 or same(part[i][j], per_call[i][j])
        top = idx.top_k(profiles, k=4, measure=measure, combine=combine, threads=threads)
        for i, q in enumerate(names):
            assert len(top[q]) == 4
            for name, score in top[q]:
                assert name != q and same(score, per_call[i][names.index(name)])
            # The best four of the others, by score (nan last) and then name.
            others = sorted((j for j in range(len(names)) if j != i),
                            key=lambda j: (math.isnan(per_call[i][j]), -per_call[i][j] if per_call[i][j] == per_call[i][j] else 0, names[j]))
            assert [n for n, _ in top[q]] == [names[j] for j in others[:4]]
    if measure in TERM_MEASURES and combine == "avg":
        terms = sorted(set().union(*sets))
        matrix = idx.term_similarity_matrix(terms, measure=measure, threads=3)
        assert all(same(matrix[i][j], idx.term_similarity(a, b, measure=measure))
                   for (i, a), (j, b) in itertools.product(enumerate(terms), repeat=2))


def test_avg_sums_in_one_orientation_whichever_side_comes_first():
    # A 2 x 2 matrix summed by rows, (s_pu + s_pv) + (s_qu + s_qv), or by columns,
    # (s_pu + s_qu) + (s_pv + s_qv): an information content is drawn until the two differ in the
    # last bit. The mirrored cell and the swapped call must still be the same double.
    edges = [(t, "is_a", "r") for t in "pquv"] + [("r", "is_a", ROOT)]
    rng = random.Random(1)
    while True:
        ic = {"r": 1.0, **{t: rng.uniform(1.0, 9.0) for t in "pquv"}}
        idx = ontarix.ClosureIndex.from_relationships(edges, reflexive=True, information_content=ic)
        s = {a + b: idx.term_similarity(a, b, measure="lin") for a in "pq" for b in "uv"}
        if (s["pu"] + s["pv"]) + (s["qu"] + s["qv"]) != (s["pu"] + s["qu"]) + (s["pv"] + s["qv"]):
            break
    one, other = {"p", "q"}, {"u", "v"}
    forward = idx.similarity(one, other, measure="lin", combine="avg")
    assert forward == idx.similarity(other, one, measure="lin", combine="avg")
    m = idx.similarity_matrix([one, other, {"p", "v"}], measure="lin", combine="avg", threads=2)
    assert (m == m.T).all() and m[1][0] == forward
    top = idx.top_k({"one": one, "other": other}, k=1, measure="lin", combine="avg")
    assert top == {"one": [("other", forward)], "other": [("one", forward)]}


def test_directed_is_scored_in_both_directions(random_data):
    idx, profiles = random_data
    sets = list(profiles.values())
    m = idx.similarity_matrix(sets, measure="lin", combine="directed", threads=3)
    assert (m != m.T).any()
    top = idx.top_k(profiles, k=len(profiles), measure="lin", combine="directed")
    names = list(profiles)
    for i, q in enumerate(names):
        got = dict(top[q])
        assert len(got) == len(names) - 1 and q not in got
        assert all(same(got[n], m[i][j]) for j, n in enumerate(names) if j != i)


def test_scratch_grows_with_what_can_score_only():
    # A million terms the index lacks must not ask for bits or marks per term and rank.
    result = run_python(
        """
        import resource, ontarix
        resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))
        edges = [(f"T{i}", "is_a", f"T{i // 2}") for i in range(1, 20000)]
        idx = ontarix.ClosureIndex.from_relationships(edges, reflexive=True)
        huge = {f"absent{i}" for i in range(1_000_000)} | {"T4000"}
        profiles = {"huge": huge, "small": {"T4001", "T17"}}
        for measure, combine in [("phenomizer", None), ("lin", "bma"), ("graph_ic", "avg"),
                                 ("semantic_jaccard", "max"), ("jaccard", None)]:
            idx.similarity_matrix(list(profiles.values()), measure=measure, combine=combine, threads=2)
            idx.top_k(profiles, k=1, measure=measure, combine=combine, threads=2)
        print("done")
        """
    )
    assert result.stdout.strip() == "done", result.stderr


# ---- errors and hostile input ----------------------------------------------------------------------

M = "ClosureIndex"
NAMES = ("'max_information_content', 'semantic_jaccard', 'resnik', 'lin', 'jiang_conrath', 'relevance', "
         "'information_coefficient', 'graph_ic', 'wang'")
COMBINE_NAMES = "'funsimavg', 'funsimmax', 'bma', 'max', 'avg', 'directed'"
NO_EDGES = "measure 'wang' needs the ontology's edges: build the index with ClosureIndex.from_relationships"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i: i.term_similarity("a", "b", measure="phenomizer"), ValueError,
         f"{M}.term_similarity() argument 'measure' must be one of {NAMES}, not 'phenomizer'"),
        (lambda i: i.term_similarity("a", "b", measure=None), TypeError,
         f"{M}.term_similarity() argument 'measure' must be str, not NoneType"),
        (lambda i: i.term_similarity("a", "b", "lin"), TypeError,
         f"{M}.term_similarity() takes 3 positional arguments but 4 were given"),
        (lambda i: i.similarity({"a"}, {"b"}, measure="cosine"), ValueError,
         f"{M}.similarity() argument 'measure' must be one of 'phenomizer', 'jaccard', 'expanded_jaccard', 'simgic', {NAMES}, not 'cosine'"),
        (lambda i: i.similarity({"a"}, {"b"}, measure="lin", combine="BMA"), ValueError,
         f"{M}.similarity() argument 'combine' must be one of {COMBINE_NAMES}, not 'BMA'"),
        (lambda i: i.similarity_matrix([{"a"}], measure="simgic", combine="bma"), ValueError,
         f"{M}.similarity_matrix() argument 'combine' must be None with measure 'simgic': a combine applies to the term measures {NAMES}"),
        (lambda i: i.top_k({"q": {"a"}}, combine="max"), ValueError,
         f"{M}.top_k() argument 'combine' must be None with measure 'phenomizer'"),
        (lambda i: i.compare({"a"}, {"b"}, measure="jaccard"), ValueError,
         f"{M}.compare() argument 'measure' must be one of 'phenomizer', {NAMES}, not 'jaccard'"),
        (lambda i: i.best_matches({"a"}, {"b"}, measure="simgic"), ValueError,
         f"{M}.best_matches() argument 'measure' must be one of {NAMES}, not 'simgic'"),
        (lambda i: i.similarity({"a"}, {"b", "zz"}, measure="expanded_jaccard"), KeyError, "'zz'"),
        (lambda i: i.term_similarity("a", "b", measure="wang"), ValueError, f"{M}.term_similarity() {NO_EDGES}"),
        (lambda i: i.top_k({"q": {"a"}}, measure="wang", combine="bma"), ValueError, f"{M}.top_k() {NO_EDGES}"),
        (lambda i: i.term_similarity_matrix(["a"], measure="wang"), ValueError, f"{M}.term_similarity_matrix() {NO_EDGES}"),
    ],
)
def test_bad_names(call, error, message):
    idx = ontarix.ClosureIndex({"a": {"p": {"a", "b"}}, "b": {"p": {"b"}}})
    with pytest.raises(error) as info:
        call(idx)
    assert type(info.value) is error
    assert message in str(info.value)


class Mutating(str):
    """A term whose comparison and hash empty the set being read."""

    victim = None

    def __eq__(self, other):
        if Mutating.victim is not None:
            Mutating.victim.clear()
        return str.__eq__(self, other)

    def __hash__(self):
        if Mutating.victim is not None:
            Mutating.victim.clear()
        return str.__hash__(self)


@pytest.mark.parametrize("call", [
    lambda i, s: i.similarity(s, {"b", "c"}, measure="lin", combine="bma"),
    lambda i, s: i.best_matches(s, {"b"}, measure="graph_ic"),
    lambda i, s: i.compare({"b"}, s, measure="jiang_conrath", combine="avg"),
    lambda i, s: i.similarity_matrix([s, {"b"}], measure="semantic_jaccard", combine="directed"),
    lambda i, s: i.top_k({"q": s, "r": {"b"}}, measure="wang", combine="max"),
])
def test_terms_that_mutate_the_set_being_read(call):
    idx = ontarix.ClosureIndex.from_relationships([("b", "is_a", "a"), ("c", "is_a", "a")], reflexive=True)
    victim = {Mutating("b"), Mutating("c"), "a", "zz"}
    snapshot = {str(t) for t in victim}
    Mutating.victim = victim
    try:
        result = call(idx, victim)
    finally:
        Mutating.victim = None
    plain = call(idx, snapshot)
    if hasattr(plain, "shape"):
        assert (result == plain).all()
    elif hasattr(plain, "get_average_score"):
        assert result.get_average_score() == plain.get_average_score()
    else:
        assert result == plain
