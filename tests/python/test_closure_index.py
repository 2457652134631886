"""ClosureIndex: agreement with the module functions, explanations, batches, pickling, errors."""

import collections.abc
import math
import pickle
import random
import signal
import threading
import time

import pytest

import ontarix
from conftest import run_python

ROOT = "owl:Thing"


def random_table(seed, n=40, predicates=("is_a", "part_of", "regulates")):
    """A closure table with several predicates per subject, shared objects, the root, objects that
    are no subject, and a subject with an empty row."""
    rng = random.Random(seed)
    names = [f"T{i:03d}" for i in range(n)] + ["X1", "X2", "é"]
    table = {}
    for i in range(n):
        row = {}
        for p in rng.sample(predicates, rng.randint(1, len(predicates))):
            objects = set(rng.sample(names, rng.randint(0, 6)))
            if rng.random() < 0.7:
                objects.add(ROOT)
            row[p] = objects
        table[names[i]] = row
    table["EMPTY"] = {}
    return table, names + ["EMPTY", "missing"]


FILTERS = [None, {"is_a"}, {"is_a", "part_of", "nonexistent"}, set()]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("predicates", FILTERS)
def test_term_measures_are_those_of_the_module_functions(seed, predicates):
    table, names = random_table(seed)
    idx = ontarix.ClosureIndex(table, predicates)
    rng = random.Random(seed)
    for _ in range(150):
        a, b = rng.choice(names), rng.choice(names)
        expected = ontarix.semantic_jaccard_similarity(table, a, b, predicates)
        got = idx.semantic_jaccard(a, b)
        assert got == expected or (math.isnan(got) and math.isnan(expected)), (a, b)
        assert idx.max_information_content(a, b) == ontarix.max_information_content(table, a, b, predicates)
        # The explanation gives that score, through a common ancestor that has it.
        found = idx.most_informative_common_ancestor(a, b)
        score = idx.max_information_content(a, b)
        if found is None:
            assert score == 0.0
        else:
            ancestor, ic = found
            assert ic == score == idx.information_content(ancestor) and ancestor != ROOT
            assert ancestor in idx.ancestors(a) & idx.ancestors(b)


def test_ties_and_custom_information_content():
    table = {
        "a": {"p": {"m", "n", "r", ROOT}},
        "b": {"p": {"m", "n", "r", ROOT}},
        "c": {"p": {"q"}},
    }
    idx = ontarix.ClosureIndex(table, information_content={"m": 2.0, "n": 2.0, "r": 1.0, ROOT: 9.0, "q": -1.0})
    # m and n tie: the smaller text wins; the root never counts; a negative IC never beats 0.0.
    assert idx.most_informative_common_ancestor("a", "b") == ("m", 2.0)
    assert idx.max_information_content("c", "c") == 0.0
    assert idx.most_informative_common_ancestor("c", "c") is None
    assert idx.information_content("q") == -1.0 and idx.information_content("zzz") == 0.0
    assert idx.best_matches({"a", "c"}, {"b", "c", "a"}) == [
        ("a", "a", "m", 2.0),
        ("c", "a", None, 0.0),  # every candidate scores 0.0: the smallest term
    ]


def pairwise_table(idx, s1, s2):
    return {x: {y: idx.max_information_content(x, y) for y in s1 | s2} for x in s1 | s2}


@pytest.mark.parametrize("seed", range(3))
def test_profile_measures(seed):
    table, names = random_table(seed)
    idx = ontarix.ClosureIndex(table)
    rng = random.Random(seed)
    sets = [set(rng.sample(names, rng.randint(0, 5))) for _ in range(12)]
    for s1 in sets:
        for s2 in sets:
            expected = ontarix.phenomizer_score(pairwise_table(idx, s1, s2), s1, s2)
            got = idx.phenomizer(s1, s2)
            if not s1 or not s2:
                assert math.isnan(got)
            else:
                assert got == pytest.approx(expected, rel=1e-12, abs=1e-12)
            matches = idx.best_matches(s1, s2)
            assert [m[0] for m in matches] == (sorted(s1, key=lambda t: t.encode()) if s2 else [])
            for term, match, ancestor, score in matches:
                best = max(idx.max_information_content(term, y) for y in s2)
                assert score == best == idx.max_information_content(term, match)
                assert match == min((y for y in s2 if idx.max_information_content(term, y) == best), key=str.encode)
                assert (ancestor is None) == (score == 0.0)


def test_compare_fills_the_record():
    table, names = random_table(1)
    idx = ontarix.ClosureIndex(table)
    s1, s2 = set(names[:4]), set(names[10:13]) | {"missing"}
    r = idx.compare(s1, s2, set_id="pair")
    assert r.get_set_id() == "pair"
    assert r.get_subject_termset() == s1 and r.get_object_termset() == s2
    assert r.get_subject_best_matches() == [m[1] for m in idx.best_matches(s1, s2)]
    assert r.get_object_best_matches() == [m[1] for m in idx.best_matches(s2, s1)]
    assert r.get_average_score() == idx.phenomizer(s1, s2)
    assert r.get_best_score() == max(m[3] for m in idx.best_matches(s1, s2))
    assert r.get_metric() == "phenomizer"
    assert math.isnan(idx.compare(s1, set()).get_best_score())


@pytest.fixture(scope="module")
def batch_data():
    table, names = random_table(7, n=120)
    idx = ontarix.ClosureIndex(table)
    rng = random.Random(7)
    profiles = {f"p{i:03d}": set(rng.sample(names, rng.randint(0, 6))) for i in range(60)}
    # Equal profiles make equal scores: the name order must settle them.
    profiles["dup_b"] = profiles["dup_a"] = {"T001", "T002"}
    return idx, names, profiles


def test_matrices_agree_with_the_pair_methods_for_any_thread_count(batch_data):
    idx, names, profiles = batch_data
    import numpy as np

    sets = list(profiles.values())
    expected = np.array([[idx.phenomizer(a, b) for b in sets] for a in sets])
    for threads in (1, 2, 3):
        m = idx.similarity_matrix(sets, threads=threads)
        assert m.dtype == np.float64 and m.flags.c_contiguous and m.shape == (len(sets), len(sets))
        np.testing.assert_array_equal(m, expected)
        terms = names[:50]
        t = idx.term_similarity_matrix(terms, names[20:], threads=threads)
        np.testing.assert_array_equal(
            t, [[idx.max_information_content(a, b) for b in names[20:]] for a in terms])
        t = idx.term_similarity_matrix(terms, measure="semantic_jaccard", threads=threads)
        np.testing.assert_array_equal(t, [[idx.semantic_jaccard(a, b) for b in terms] for a in terms])
    j = idx.similarity_matrix(sets[:10], sets[5:], measure="jaccard")
    np.testing.assert_array_equal(j, [[ontarix.jaccard_similarity(a, b) for b in sets[5:]] for a in sets[:10]])
    assert idx.similarity_matrix([], sets).shape == (0, len(sets))


def test_expanded_jaccard_scores_as_run_does(tmp_path, batch_data):
    idx, names, profiles = batch_data
    subjects = [n for n in names if n in idx]
    rng = random.Random(3)
    sets = {f"s{i}": set(rng.sample(subjects, rng.randint(1, 4))) for i in range(8)}
    sets["set1"] = sets.pop("s0")
    (tmp_path / "in.csv").write_text("".join(f"{k},{t}\n" for k, v in sets.items() for t in v))
    (tmp_path / "cl.csv").write_text("".join(f"{t},{a}\n" for t in subjects for a in idx.ancestors(t)))
    keep = [t for t in subjects if idx.ancestors(t)]  # run needs every term in the closure file
    if not all(t in keep for v in sets.values() for t in v):
        pytest.skip("a drawn term has an empty expansion")
    records = {r.get_set_id(): r.get_best_score() for r in ontarix.run(str(tmp_path / "in.csv"), str(tmp_path / "cl.csv"))}
    m = idx.similarity_matrix([sets["set1"]], list(sets.values()), measure="expanded_jaccard")
    assert list(m[0]) == [records[k] for k in sets]
    with pytest.raises(KeyError) as info:
        idx.similarity_matrix([{"T001", "missing"}], measure="expanded_jaccard")
    assert info.value.args == ("missing",)


@pytest.mark.parametrize("measure", ["phenomizer", "jaccard"])
def test_top_k_is_the_best_of_every_pair(batch_data, measure):
    idx, _, profiles = batch_data
    names = list(profiles)
    full = idx.similarity_matrix(list(profiles.values()), measure=measure)

    def order(item):
        name, score = item
        return (math.isnan(score), -score if not math.isnan(score) else 0, name.encode())

    for threads in (1, 2):
        got = idx.top_k(profiles, k=5, measure=measure, threads=threads)
        assert list(got) == names
        for i, q in enumerate(names):
            pairs = sorted(((names[j], full[i][j]) for j in range(len(names)) if j != i), key=order)
            expected = pairs[:5]
            assert [n for n, _ in got[q]] == [n for n, _ in expected], q
            assert all(a == b or (math.isnan(a) and math.isnan(b)) for (_, a), (_, b) in zip(got[q], expected))
    some = dict(list(profiles.items())[:5])
    got = idx.top_k(some, profiles, k=1000)
    assert all(len(v) == len(profiles) for v in got.values())  # a query may meet itself here


def test_pickle_round_trip_answers_identically(batch_data):
    idx, names, profiles = batch_data
    custom = ontarix.ClosureIndex({"a": {"p": {"b", "c"}}, "b": {"p": {"c"}}}, information_content={"c": 1.5})
    for original in (idx, custom):
        copy = pickle.loads(pickle.dumps(original))
        assert type(copy) is ontarix.ClosureIndex and len(copy) == len(original)
        assert repr(copy) == repr(original)
        for a in names[:30] + ["a", "b"]:
            assert copy.ancestors(a) == original.ancestors(a)
            assert copy.information_content(a) == original.information_content(a)
            for b in names[:30:3] + ["b"]:
                assert copy.max_information_content(a, b) == original.max_information_content(a, b)
    state = idx.__reduce__()[1][0]
    for broken in (state[:-1], state[:20], b"x" + state[1:], state + b"\0"):
        with pytest.raises(ValueError, match="invalid ClosureIndex state"):
            ontarix.ClosureIndex._from_state(broken)


def test_from_file_reads_what_run_reads(tmp_path):
    (tmp_path / "c.csv").write_text("a,a\na,r\nb,b\nb,r\nc,c\na,r\n")
    idx = ontarix.ClosureIndex.from_file(tmp_path / "c.csv")
    table = {"a": {"x": {"a", "r"}}, "b": {"x": {"b", "r"}}, "c": {"x": {"c"}}}
    assert len(idx) == 3 and "a" in idx and "r" not in idx
    for x in "abcr":
        for y in "abcr":
            assert idx.max_information_content(x, y) == ontarix.max_information_content(table, x, y)


@pytest.mark.parametrize(
    "content, error, pattern",
    [
        (None, FileNotFoundError, None),
        ("dir", IsADirectoryError, None),
        ("a,b\na,b,c\n", ValueError, r"line 2 \(byte offset 4\): the line has 3 fields"),
        (b"a,b\nc,\xff\n", ValueError, r"line 2 \(byte offset 4\): field 2 is not valid UTF-8"),
        ("a\n", ValueError, "line 1"),
    ],
)
def test_from_file_errors(tmp_path, content, error, pattern):
    path = tmp_path / "c.csv"
    if content == "dir":
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    with pytest.raises(error, match=pattern) as info:
        ontarix.ClosureIndex.from_file(str(path))
    if issubclass(error, OSError):
        assert info.value.filename == str(path) and info.value.errno


M = "ClosureIndex"
TERM_MEASURES = ("'max_information_content', 'semantic_jaccard', 'resnik', 'lin', 'jiang_conrath', 'relevance', "
                 "'information_coefficient', 'graph_ic', 'wang'")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i: ontarix.ClosureIndex([]), TypeError, "argument 'closure_table': 'list' object cannot be converted to 'PyDict'"),
        (lambda i: ontarix.ClosureIndex({"a": {"p": {"b"}}}, frozenset()), TypeError, "argument 'predicates': 'frozenset' object cannot be converted to 'PySet'"),
        (lambda i: ontarix.ClosureIndex({"a": {"p": {"b"}}}, None, {"a": 1.0}), TypeError, f"{M}() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda i: ontarix.ClosureIndex({}, information_content={"a": "x"}), TypeError, f"{M}() argument 'information_content' value must be a real number, not str"),
        (lambda i: i.max_information_content("a", 3), TypeError, f"{M}.max_information_content() argument 'term2' must be str, not int"),
        (lambda i: i.phenomizer({"a"}, ["a"]), TypeError, f"{M}.phenomizer() argument 'set2' must be a set of str, not list"),
        (lambda i: i.phenomizer({"a", 1}, {"a"}), TypeError, f"{M}.phenomizer() argument 'set1' element must be str, not int"),
        (lambda i: i.similarity_matrix([{"a"}, "ab"]), TypeError, f"{M}.similarity_matrix() argument 'sets1' item 1 must be a set of str, not str"),
        (lambda i: i.similarity_matrix("ab"), TypeError, f"{M}.similarity_matrix() argument 'sets1' must be a sequence of sets of str, not str"),
        (lambda i: i.similarity_matrix([], measure="cosine"), ValueError, f"{M}.similarity_matrix() argument 'measure' must be one of 'phenomizer', 'jaccard', 'expanded_jaccard', 'simgic', {TERM_MEASURES}, not 'cosine'"),
        (lambda i: i.term_similarity_matrix(["a"], measure="phenomizer"), ValueError, "must be one of 'max_information_content', 'semantic_jaccard'"),
        (lambda i: i.top_k({"q": {"a"}}, k=0), ValueError, f"{M}.top_k() argument 'k' must be at least 1, not 0"),
        (lambda i: i.top_k({"q": {"a"}}, k=True), TypeError, f"{M}.top_k() argument 'k' must be int, not bool"),
        (lambda i: i.top_k([{"a"}]), TypeError, f"{M}.top_k() argument 'queries' must be a mapping of str to sets of str, not list"),
        (lambda i: i.top_k({1: {"a"}}), TypeError, f"{M}.top_k() argument 'queries' key must be str, not int"),
        (lambda i: i.top_k({"q": {"a"}}, None, 3), TypeError, f"{M}.top_k() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda i: i.top_k({"q": {"a"}}, threads=0), ValueError, f"{M}.top_k() argument 'threads' must be at least 1, not 0"),
        (lambda i: i.top_k({"q": {"a"}}, treads=2), TypeError, f"{M}.top_k() got an unexpected keyword argument 'treads'"),
        (lambda i: ontarix.ClosureIndex.from_file(5), TypeError, f"{M}.from_file() argument 'closure_file' must be str, bytes or os.PathLike, not int"),
    ],
)
def test_bad_input(call, error, message):
    idx = ontarix.ClosureIndex({"a": {"p": {"b"}}})
    with pytest.raises(error) as info:
        call(idx)
    assert type(info.value) is error
    assert message in str(info.value)


def test_matrix_too_large_raises_memory_error_before_any_work():
    result = run_python(
        """
        import resource, ontarix
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        idx = ontarix.ClosureIndex({"a": {"p": {"b"}}})
        try:
            idx.term_similarity_matrix(["a"] * 200_000)
        except MemoryError:
            print("MemoryError")
        """
    )
    assert result.stdout.strip() == "MemoryError", result.stderr


@pytest.fixture(scope="module")
def big_batch():
    """A batch long enough to watch: a few seconds of phenomizer on one thread."""
    table, names = random_table(11, n=400)
    idx = ontarix.ClosureIndex(table)
    rng = random.Random(5)
    return idx, [set(rng.sample(names, 40)) for _ in range(700)]


def test_other_threads_run_during_a_batch(big_batch):
    idx, sets = big_batch
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = len(ticks)
        idx.similarity_matrix(sets, threads=1)
        assert len(ticks) - start > 20
    finally:
        done.set()
        t.join()


def test_ctrl_c_ends_a_batch_promptly():
    result = run_python(
        """
        import os, random, signal, threading, time, ontarix
        from test_closure_index import random_table
        table, names = random_table(11, n=400)
        idx = ontarix.ClosureIndex(table)
        rng = random.Random(5)
        sets = [set(rng.sample(names, 40)) for _ in range(3000)]
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            idx.top_k({str(i): s for i, s in enumerate(sets)}, threads=2)
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 1))
        """
    )
    assert result.stdout.startswith("interrupted after"), result.stdout + result.stderr
    assert float(result.stdout.split()[-1]) < 3.0


# Exit while a daemon thread is inside a call that hands the lock back and forth: the process ends
# with the status the program chose, and what its main thread wrote is flushed (standard output
# into a pipe is flushed last, as the interpreter finalizes). The calls last seconds; the exit comes
# half a second in.
EXIT_DURING_A_CALL = """
import os, random, sys, threading, time, ontarix
rng = random.Random(1)
ancestors, table = [], {{}}
for i in range(3000):
    reached = {{f"T{{i}}", "owl:Thing"}}
    for parent in {{rng.randrange(i) for _ in range(2)}} if i else ():
        reached |= ancestors[parent]
    ancestors.append(reached)
    table[f"T{{i}}"] = {{"is_a": reached}}
idx = ontarix.ClosureIndex(table)
names = sorted(table)
sets = [set(rng.sample(names, 30)) for _ in range(6000)]
fifo = {fifo!r}

def feed():
    with open(fifo, "w") as w:
        while True:
            w.write("set1,T1\\n")
            w.flush()
            time.sleep(0.001)

calls = {{
    "similarity_matrix": lambda: idx.similarity_matrix(sets),
    "top_k": lambda: idx.top_k({{str(i): s for i, s in enumerate(sets)}}, k=5),
    "run_reading_a_pipe": lambda: ontarix.run(fifo, fifo),
}}
if {call!r} == "run_reading_a_pipe":
    os.mkfifo(fifo)
    threading.Thread(target=feed, daemon=True).start()

def main():
    out = open({path!r}, "w")  # closed, and so flushed, when the exit unwinds this frame
    out.write("written by the main thread\\n")
    threading.Thread(target=calls[{call!r}], daemon=True).start()
    time.sleep(0.5)
    print("exiting")  # into a pipe: flushed only when the interpreter finalizes
    sys.exit(3)

main()
"""


@pytest.mark.parametrize("call", ["similarity_matrix", "top_k", "run_reading_a_pipe"])
def test_exit_during_a_call_on_a_daemon_thread(tmp_path, call):
    for attempt in range(2):
        path, fifo = tmp_path / f"out{attempt}.txt", tmp_path / f"fifo{attempt}"
        result = run_python(EXIT_DURING_A_CALL.format(path=str(path), fifo=str(fifo), call=call))
        assert (result.returncode, result.stdout) == (3, "exiting\n"), result.stderr[-2000:]
        assert path.read_text() == "written by the main thread\n"


class Name(str):
    """A str subclass: rows holding one take the converting route."""


@pytest.mark.parametrize("follow, reflexive", [(None, False), ({"is_a"}, True), (set(), False)])
@pytest.mark.parametrize("wrap", [str, Name])
def test_from_relationships_is_the_index_of_the_closure(follow, reflexive, wrap):
    rng = random.Random(4)
    names = [f"T{i}" for i in range(60)]
    rows = [(wrap(rng.choice(names)), rng.choice(["is_a", "part_of"]), rng.choice(names)) for _ in range(150)]
    rows.append(("T1", "is_a", "T1"))  # a self-loop, and cycles among the random rows
    table = ontarix.closure_from_relationships(rows, follow=follow, reflexive=reflexive)
    expected = ontarix.ClosureIndex(table)
    got = ontarix.ClosureIndex.from_relationships(rows, follow=follow, reflexive=reflexive)
    assert len(got) == len(expected) == len(table)
    for a in names:
        assert got.ancestors(a) == expected.ancestors(a)
        assert got.information_content(a) == expected.information_content(a)
        for b in names[::7]:
            assert got.max_information_content(a, b) == expected.max_information_content(a, b)
    custom = ontarix.ClosureIndex.from_relationships(rows, information_content={"T3": 2.0})
    assert custom.information_content("T3") == 2.0 and custom.information_content("T4") == 0.0


def test_terms_the_index_lacks_outlive_the_sets_that_held_them():
    # Sets made by generators (and by a mapping's items()) are gone once converted; the terms
    # they held still count against the later argument.
    idx = ontarix.ClosureIndex({"a": {"p": {"b"}}})

    def fresh(tag):
        return ({"".join(["absent", str(i), tag])} for i in range(300))

    m = idx.similarity_matrix(fresh(""), fresh(""), measure="jaccard")
    assert (m.diagonal() == 1.0).all() and m.sum() == 300

    class Profiles(collections.abc.Mapping):
        """Makes each profile afresh when asked."""

        def __getitem__(self, name):
            return {"".join(["absent", name[1:]])}

        def __iter__(self):
            return iter(f"q{i}" for i in range(50))

        def __len__(self):
            return 50

    queries = Profiles()
    found = idx.top_k(queries, dict(queries.items()), k=1, measure="jaccard")
    assert all(row == [(q, 1.0)] for q, row in found.items())


def test_another_information_content_is_a_build_with_it():
    table, names = random_table(2)
    custom = {n: (i % 5) * 0.5 for i, n in enumerate(names[::2])}
    own = ontarix.ClosureIndex(table)
    other = own.with_information_content(custom)
    fresh = ontarix.ClosureIndex(table, information_content=custom)
    back = pickle.loads(pickle.dumps(other)).with_information_content(None)
    for a in names:
        assert other.information_content(a) == fresh.information_content(a)
        assert back.information_content(a) == own.information_content(a)
        assert other.ancestors(a) == own.ancestors(a)
        for b in names[::5]:
            assert other.most_informative_common_ancestor(a, b) == fresh.most_informative_common_ancestor(a, b)
            assert back.max_information_content(a, b) == own.max_information_content(a, b)
    with pytest.raises(TypeError, match=r"with_information_content\(\) argument 'information_content'"):
        own.with_information_content([1.0])


def test_annotation_information_content_counts_propagated_annotations():
    # a -> {a, b}, c -> {c, b}; b is no subject.
    idx = ontarix.ClosureIndex({"a": {"p": {"a", "b"}}, "c": {"p": {"c", "b"}}})
    annotations = {"g1": ["a", "a", "zz"], "g2": iter(["c"]), "g3": {"b"}, "g4": ()}
    by_objects = idx.annotation_information_content(annotations)
    assert by_objects == pytest.approx({"a": math.log(4), "b": math.log(4 / 3), "c": math.log(4)})
    assert list(by_objects) == ["a", "b", "c"]
    # Entries: a twice, zz (only in the total), c, b: n_b = 1 + 2 + 1 of 5 entries.
    annotations["g2"] = ["c"]
    by_entries = idx.annotation_information_content(annotations, count="annotations")
    assert by_entries == pytest.approx({"a": math.log(5 / 2), "b": math.log(5 / 4), "c": math.log(5)})
    assert idx.annotation_information_content({"g": ["a", "c", "b"]})["b"] == 0.0
    for bad, error in [({"g": "ab"}, TypeError), ({"g": [1]}, TypeError), (["a"], TypeError)]:
        with pytest.raises(error, match=r"annotation_information_content\(\) argument 'annotations'"):
            idx.annotation_information_content(bad)
    with pytest.raises(ValueError, match="'count' must be one of 'objects', 'annotations'"):
        idx.annotation_information_content({}, count="genes")


def test_stored_states_are_checked_when_loaded():
    idx = ontarix.ClosureIndex.from_relationships([("b", "is_a", "a"), ("c", "part_of", "b")])
    state = idx.__reduce__()[1][0]
    assert pickle.loads(pickle.dumps(idx)).__reduce__()[1][0] == state  # edges and weights kept
    bad = bytearray(state)
    bad[8 + 8 + 24 + 4 * 3 + 2] = 0xFF  # the last byte of the largest text, "c"
    with pytest.raises(ValueError, match="not UTF-8"):
        ontarix.ClosureIndex._from_state(bytes(bad))
    with pytest.raises(ValueError, match=r"'wang_weights' must map each predicate to a weight in \(0, 1\]"):
        ontarix.ClosureIndex.from_relationships([("b", "is_a", "a")], wang_weights={"is_a": 1.5})


def test_ctrl_c_ends_a_long_build_promptly():
    result = run_python(
        """
        import os, signal, threading, time, ontarix
        chain = [(f"T{i + 1}", "is_a", f"T{i}") for i in range(10000)]
        threading.Timer(0.05, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            ontarix.ClosureIndex.from_relationships(chain, reflexive=True)
            print("finished after", round(time.monotonic() - start, 2))
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 2))
        """
    )
    assert result.stdout.startswith("interrupted after"), result.stdout + result.stderr
