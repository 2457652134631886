"""Reference and memory leaks on the release interpreter, for every function on success and on
each way it can fail.

Each scenario calls one function 10**4 times with the same arguments. The reference count of
every argument, and of every object inside it, must be what it was before; and the number of
memory blocks the interpreter holds (sys.getallocatedblocks) must not drift: after a warm-up,
every batch of calls changes it by -1, 0 or 1, the rule CPython's own leak hunter uses."""

import gc
import sys

import pytest

import ontarix as o
from conftest import provoke_panic

Panic = type(provoke_panic())

CALLS = 10_000
WARMUP = 2_000  # some caches of the interpreter (tracebacks, captured streams) fill slowly
BATCH = 1_000


def s(text):
    """A str of its own (not an interned literal), so that its count is ours alone."""
    return "".join(list(text))


def terms(prefix, n):
    return {s(f"{prefix}{i}") for i in range(n)}


class Sub(str):
    pass


class Score:
    """A score converted by __float__, which may raise (a new exception every time: raising one
    instance again and again would grow its traceback)."""

    def __init__(self, value=None, exc=None):
        self.value, self.exc = value, exc

    def __float__(self):
        if self.exc is not None:
            raise self.exc[0](self.exc[1])
        return self.value


class Rows:
    """A sequence other than list and tuple, whose iteration runs Python code between items."""

    def __init__(self, rows, length=None):
        self.rows, self.length = rows, length

    def __len__(self):
        if isinstance(self.length, tuple):
            raise self.length[0](self.length[1])
        return len(self.rows) if self.length is None else self.length

    def __getitem__(self, i):
        return self.rows[i]


def closure(n=30, key=s):
    return {key(f"t{i}"): {s("is_a"): terms("a", i % 7 + 2) | {s(f"t{i}")}, s("part_of"): terms("w", 2)}
            for i in range(n)}


def triples(n=40):
    return [(s(f"s{i % 5}"), s(f"p{i % 2}"), s(f"o{i}")) for i in range(n)]


def pairwise(names):
    return {s(a): {s(b): float(len(a) * len(b)) for b in names} for a in names}


class Grows:
    """A score whose __float__ adds a key to the dict being converted: an internal fault."""

    def __init__(self, scores):
        self.scores = scores

    def __float__(self):
        self.scores[s("new")] = 1.0
        return 2.0


def index():
    return o.ClosureIndex(closure())


def named(n):
    return {s(f"q{i}"): terms("a", i % 4 + 1) | {s("t2")} for i in range(n)}


def ranked():
    """An index, prepared candidates (one lacks a term of the index) and kept null distributions."""
    idx = index()
    candidates = named(5)
    candidates[s("odd")] = {s("t3"), s("zz")}
    prepared = idx.prepare(candidates)
    return idx, prepared, idx.null_distributions(prepared, 2)


def changing_scores():
    d = {s("a"): 1.0}
    d[s("b")] = Grows(d)
    return d


def cleanup_changing(d):
    del d["new"]


# Each factory takes the paths of the run fixture files and returns (fn, args, kwargs, expected
# exception type or None, optional hook run after every call to undo what the call's Python code
# did to the arguments).
SCENARIOS = {
    "run": lambda p: (o.run, (p["input"], p["closure"]), {}, None),
    "run-by-keyword": lambda p: (o.run, (), {"closure_file": p["closure"], "input_file": p["input"]}, None),
    "run-missing-argument": lambda p: (o.run, (p["input"],), {}, TypeError),
    "run-path-not-str": lambda p: (o.run, (p["input"], 5), {}, TypeError),
    "run-surrogate-path": lambda p: (o.run, (s("\ud800.csv"), p["closure"]), {}, UnicodeEncodeError),
    "run-file-missing": lambda p: (o.run, (p["missing"], p["closure"]), {}, Panic),
    "run-no-reference-set": lambda p: (o.run, (p["closure"], p["closure"]), {}, Panic),
    "run-malformed": lambda p: (o.run, (p["malformed"], p["closure"]), {}, Panic),
    "jaccard": lambda p: (o.jaccard_similarity, (terms("x", 50), terms("x", 30) | terms("y", 5)), {}, None),
    "jaccard-subclass": lambda p: (o.jaccard_similarity, (terms("x", 20) | {Sub("q")}, terms("x", 9)), {}, None),
    "jaccard-too-many": lambda p: (o.jaccard_similarity, (terms("x", 3), terms("x", 3), terms("x", 3)), {}, TypeError),
    "jaccard-twice": lambda p: (o.jaccard_similarity, (terms("x", 3),), {"set1": terms("x", 3)}, TypeError),
    "jaccard-frozenset": lambda p: (o.jaccard_similarity, (terms("x", 3), frozenset(terms("x", 3))), {}, TypeError),
    "jaccard-element": lambda p: (o.jaccard_similarity, (terms("x", 3) | {7}, terms("x", 3)), {}, TypeError),
    "jaccard-surrogate": lambda p: (o.jaccard_similarity, (terms("x", 3), {s("\udc80")}), {}, UnicodeEncodeError),
    "intersection": lambda p: (o.get_intersection, (terms("x", 50), terms("x", 30) | terms("y", 5)), {}, None),
    "intersection-subclass": lambda p: (o.get_intersection, ({Sub(t) for t in terms("x", 20)}, terms("x", 9)), {}, None),
    "intersection-element": lambda p: (o.get_intersection, (terms("x", 3), {b"x0"}), {}, TypeError),
    "mrca": lambda p: (o.mrca_and_score, ({s(f"k{i}"): float(i % 9) for i in range(40)},), {}, None),
    "mrca-float-methods": lambda p: (o.mrca_and_score, ({s(f"k{i}"): Score(float(i)) if i % 2 else 1 for i in range(40)},), {}, None),
    "mrca-not-a-number": lambda p: (o.mrca_and_score, ({s("a"): 1.0, s("b"): s("x")},), {}, TypeError),
    "mrca-float-raises": lambda p: (o.mrca_and_score, ({s("a"): Score(exc=(TypeError, s("bad")))},), {}, TypeError),
    "mrca-overflow": lambda p: (o.mrca_and_score, ({s("a"): 10**400},), {}, OverflowError),
    "mrca-empty": lambda p: (o.mrca_and_score, ({},), {}, Panic),
    "mrca-dict-changed": lambda p: (o.mrca_and_score, (changing_scores(),), {}, Panic, cleanup_changing),
    "mrca-panic-from-python": lambda p: (o.mrca_and_score, ({s("a"): Score(exc=(Panic, s("py")))},), {}, Panic),
    "mrca-unknown-keyword": lambda p: (o.mrca_and_score, (), {"map": {}, "other": 1}, TypeError),
    "semantic": lambda p: (o.semantic_jaccard_similarity, (closure(), s("t1"), s("t2")), {}, None),
    "semantic-filter": lambda p: (o.semantic_jaccard_similarity, (closure(), s("t1"), s("t3"), {s("is_a")}), {}, None),
    "semantic-subclass": lambda p: (o.semantic_jaccard_similarity, (closure(key=Sub), s("t1"), s("t2"), None), {}, None),
    "semantic-filter-frozen": lambda p: (o.semantic_jaccard_similarity, (closure(), s("t1"), s("t2"), frozenset()), {}, TypeError),
    "semantic-row-not-dict": lambda p: (o.semantic_jaccard_similarity, ({s("t1"): [1]}, s("t1"), s("t2")), {}, TypeError),
    "max-ic": lambda p: (o.max_information_content, (closure(), s("t1"), s("t8")), {}, None),
    "max-ic-filter": lambda p: (o.max_information_content, (closure(), s("t1"), s("t8"), {s("is_a")}), {}, None),
    "max-ic-subclass": lambda p: (o.max_information_content, (closure(key=Sub), s("t1"), s("t8")), {}, None),
    "max-ic-entity-not-str": lambda p: (o.max_information_content, (closure(), 1, s("t8")), {}, TypeError),
    "max-ic-missing": lambda p: (o.max_information_content, (closure(),), {}, TypeError),
    "closure-table": lambda p: (o.relationships_to_closure_table, (triples(),), {}, None),
    "closure-table-sequence": lambda p: (o.relationships_to_closure_table, (Rows(triples()),), {}, None),
    "closure-table-lying-length": lambda p: (o.relationships_to_closure_table, (Rows(triples(), (ValueError, s("no length"))),), {}, None),
    "closure-table-short-row": lambda p: (o.relationships_to_closure_table, (triples() + [(s("a"), s("b"))],), {}, ValueError),
    "closure-table-list-row": lambda p: (o.relationships_to_closure_table, (triples() + [[s("a"), s("b"), s("c")]],), {}, TypeError),
    "closure-table-subclass-last": lambda p: (o.relationships_to_closure_table, (triples() + [(Sub("s1"), s("p0"), s("late"))],), {}, None),
    "closure-table-surrogate-last": lambda p: (o.relationships_to_closure_table, (triples() + [(s("s1"), s("p0"), s("x\ud800"))],), {}, UnicodeEncodeError),
    "closure-table-str": lambda p: (o.relationships_to_closure_table, (s("abc"),), {}, TypeError),
    "closure-table-panic-from-len": lambda p: (o.relationships_to_closure_table, (Rows(triples(), (Panic, s("len"))),), {}, Panic),
    "closure-from-relationships": lambda p: (o.closure_from_relationships, (triples() + [(s("o3"), s("p0"), s("s0"))],), {"follow": {s("p0")}, "reflexive": True, "label": s("anc")}, None),
    "closure-from-relationships-sequence": lambda p: (o.closure_from_relationships, (Rows(triples()),), {}, None),
    "closure-from-relationships-short-row": lambda p: (o.closure_from_relationships, (triples() + [(s("a"), s("b"))],), {}, ValueError),
    "closure-from-relationships-follow-str": lambda p: (o.closure_from_relationships, (triples(),), {"follow": s("p0")}, TypeError),
    "phenomizer": lambda p: (o.phenomizer_score, (pairwise(["ab", "c", "def"]), {s("ab"), s("c")}, {s("def")}), {}, None),
    "phenomizer-float-methods": lambda p: (o.phenomizer_score, ({s("a"): {s("b"): Score(2.0)}, s("b"): {s("a"): Score(4.0)}}, {s("a")}, {s("b")}), {}, None),
    "phenomizer-missing-pair": lambda p: (o.phenomizer_score, (pairwise(["ab", "c"]), {s("ab")}, {s("zz")}), {}, Panic),
    "phenomizer-entity-str": lambda p: (o.phenomizer_score, (pairwise(["ab"]), s("ab"), {s("ab")}), {}, TypeError),
    "index": lambda p: (o.ClosureIndex, (closure(), {s("is_a")}), {"information_content": {s("a1"): 2.0}}, None),
    "index-subclass": lambda p: (o.ClosureIndex, (closure(key=Sub),), {}, None),
    "index-row-not-dict": lambda p: (o.ClosureIndex, ({s("t1"): [1]},), {}, TypeError),
    "index-ic-not-a-number": lambda p: (o.ClosureIndex, (closure(),), {"information_content": {s("a1"): s("x")}}, TypeError),
    "index-from-file": lambda p: (o.ClosureIndex.from_file, (p["closure"],), {}, None),
    "index-from-file-missing": lambda p: (o.ClosureIndex.from_file, (p["missing"],), {}, FileNotFoundError),
    "index-from-file-malformed": lambda p: (o.ClosureIndex.from_file, (p["malformed"],), {}, ValueError),
    "index-state": lambda p: (o.ClosureIndex._from_state, (index().__reduce__()[1][0],), {}, None),
    "index-mica": lambda p: (index().most_informative_common_ancestor, (s("t1"), s("t8")), {}, None),
    "index-compare": lambda p: (index().compare, (terms("t", 5), terms("a", 3) | {s("zz")}), {"set_id": s("x")}, None),
    "index-best-matches": lambda p: (index().best_matches, (terms("t", 5), terms("a", 3)), {}, None),
    "index-element-not-str": lambda p: (index().phenomizer, (terms("t", 3) | {5}, terms("a", 3)), {}, TypeError),
    "index-top-k": lambda p: (index().top_k, (named(6),), {"k": 2}, None),
    "index-top-k-lacking": lambda p: (index().top_k, (named(3), {s("c"): {s("zz")}}), {"measure": s("expanded_jaccard")}, KeyError),
    "index-matrix": lambda p: (index().similarity_matrix, (list(named(4).values()),), {"threads": 2}, None),
    "index-terms-matrix": lambda p: (index().term_similarity_matrix, ([s("t1"), s("t2"), s("zz")],), {}, None),
    "index-term-similarity": lambda p: (index().term_similarity, (s("t1"), s("zz")), {"measure": s("graph_ic")}, None),
    "index-similarity-combined": lambda p: (index().similarity, (terms("t", 5), terms("a", 3) | {s("zz")}), {"measure": s("lin"), "combine": s("avg")}, None),
    "index-compare-combined": lambda p: (index().compare, (terms("t", 5), terms("a", 3)), {"measure": s("jiang_conrath"), "combine": s("bma")}, None),
    "index-top-k-directed": lambda p: (index().top_k, (named(6),), {"k": 2, "measure": s("resnik"), "combine": s("directed")}, None),
    "index-combine-refused": lambda p: (index().similarity_matrix, (list(named(2).values()),), {"measure": s("jaccard"), "combine": s("bma")}, ValueError),
    "index-wang-without-edges": lambda p: (index().similarity, (terms("t", 2), terms("a", 2)), {"measure": s("wang")}, ValueError),
    "index-top-k-prepared": lambda p: (lambda i, c, _: (i.top_k, (named(3), c), {"k": 2}, None))(*ranked()),
    "index-pvalues": lambda p: (index().pvalues, (terms("t", 3) | {s("zz")}, named(5)), {"measure": s("lin")}, None),
    "index-pvalues-sampling": lambda p: (index().pvalues, (terms("t", 3), named(5)), {"method": s("sampling"), "samples": 30, "combine": s("bma"), "pool": [s("t1"), s("a2"), s("zz")]}, None),
    "index-pvalues-prepared-sets": lambda p: (lambda i, c, _: (i.pvalues, (terms("t", 2), c), {"method": s("sampling"), "samples": 30, "measure": s("simgic")}, None))(*ranked()),
    "index-pvalues-empty-pool": lambda p: (index().pvalues, (terms("t", 3), named(5)), {"pool": []}, ValueError),
    "index-pvalues-bad-seed": lambda p: (index().pvalues, (terms("t", 3), named(5)), {"method": s("sampling"), "seed": -1}, ValueError),
    "null-distributions": lambda p: (index().null_distributions, (named(4), 3), {"pool": terms("a", 5)}, None),
    "null-distributions-pvalues": lambda p: (ranked()[2].pvalues, ({s("t1"), s("zz")},), {}, None),
    "null-distributions-wrong-size": lambda p: (ranked()[2].pvalues, (terms("t", 3),), {}, ValueError),
    "null-distributions-state": lambda p: (lambda d: (type(d)._from_state, d.__reduce__()[1], {}, None))(ranked()[2]),
}


def tracked(value, depth=3):
    """The argument and what it holds, down to strings and numbers; not None, booleans or the
    small ints, which the interpreter shares with everything."""
    if value is None or isinstance(value, bool) or (type(value) is int and -5 <= value <= 256):
        return []
    if type(value) is str and len(value) < 2:
        return []  # one-character strings are shared singletons too
    out = [value]
    if depth == 0:
        return out
    if isinstance(value, dict):
        for k, v in value.items():
            out += tracked(k, 0) + tracked(v, depth - 1)
    elif isinstance(value, (set, frozenset, list, tuple)):
        for x in value:
            out += tracked(x, depth - 1)
    elif isinstance(value, (Rows, Score)):
        for attribute in vars(value).values():  # the names are the interpreter's, not ours
            out += tracked(attribute, depth - 1)
    return out


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    files = {
        "input": "set1,A\nset1,B\ng1,A\ng1,C\ng2,B\n",
        "closure": "A,A\nA,R\nB,B\nB,R\nC,C\n",
        "malformed": "set1,A\nset2,B,C\n",
    }
    for name, text in files.items():
        (d / f"{name}.csv").write_text(text)
    found = {name: s(str(d / f"{name}.csv")) for name in files}
    found["missing"] = s(str(d / "missing.csv"))
    return found


def discard(*exc_info):
    pass


def call_many(fn, args, kwargs, expected, after, n):
    for _ in range(n):
        try:
            fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - PanicException is no Exception
            if type(exc) is not expected:
                raise
        else:
            assert expected is None
        if after:
            after(*args)


def block_deltas(run_batch):
    """Runs a warm-up batch, then the rest of CALLS in batches; the change of the interpreter's
    block count over each batch after the warm-up, once the collector has run."""
    def blocks(n):
        run_batch(n)
        # As CPython's leak hunter does: drop the type attribute cache, then collect.
        sys._clear_type_cache()
        gc.collect()
        return sys.getallocatedblocks()

    # A stored block count is itself a block: exactly one is alive at every measurement, and the
    # list of deltas never grows.
    deltas = [0] * ((CALLS - WARMUP) // BATCH)
    before = after_batch = int("1000000")
    for i in range(-1, len(deltas)):
        after_batch = blocks(WARMUP if i < 0 else BATCH)
        if i >= 0:
            deltas[i] = after_batch - before
        before = after_batch
    return deltas


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_reference_or_memory_leak(name, paths, capfd):
    fn, args, kwargs, expected, *after = SCENARIOS[name](paths)
    after = after[0] if after else None
    objects = [x for a in (*args, *kwargs.values()) for x in tracked(a)]
    gc.collect()  # whatever an earlier test left to the collector may hold the shared paths
    counts = [sys.getrefcount(x) for x in objects]

    def run_batch(n):
        # A resumed panic prints its traceback through sys.excepthook. The interpreter's own
        # display parses each source line to underline it, and what the parser interns and caches
        # comes and goes with the collector's timing: not ours to measure.
        hook, sys.excepthook = sys.excepthook, discard
        try:
            call_many(fn, args, kwargs, expected, after, n)
        finally:
            sys.excepthook = hook
        capfd.readouterr()  # faults write a diagnostic per call; keep the capture small

    deltas = block_deltas(run_batch)
    now = [sys.getrefcount(x) for x in objects]  # measured exactly as `counts` was
    assert [(x, b - a) for x, a, b in zip(objects, counts, now) if a != b] == []
    assert set(deltas) <= {-1, 0, 1}, (name, deltas)


def test_records_and_their_accessors_do_not_leak(paths):
    records = o.run(paths["input"], paths["closure"])
    cls = type(records[0])
    gc.collect()
    counts = [sys.getrefcount(r) for r in records]
    calls = [getattr(r, name) for r in records for name in dir(cls) if name.startswith("get_")]
    calls.append(cls.new)

    def run_batch(n):
        for _ in range(n // len(calls) + 1):
            for call in calls:
                call()

    deltas = block_deltas(run_batch)
    del calls  # the bound methods hold the records
    assert [sys.getrefcount(r) for r in records] == counts
    assert set(deltas) <= {-1, 0, 1}, deltas
