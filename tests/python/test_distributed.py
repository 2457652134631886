"""distributed_top_k on a LocalCluster of two worker processes: the single call's answer, also when
a worker is killed mid-run; the missing extra; ontarix-neighbours --scheduler."""

import logging
import os
import signal
import subprocess
import sys

import pytest

import ontarix
from conftest import random_profiles, run_python, write_association


def ontology(n_terms, n_sets, seed, max_terms=6):
    table, profiles = random_profiles(n_terms, n_sets, seed, max_terms)
    return ontarix.ClosureIndex(table), profiles


def comparable(neighbours):
    """NaN != NaN, so the rows are compared with NaN spelled out; the key order counts too."""
    return [(q, [(n, "nan" if s != s else s) for n, s in row]) for q, row in neighbours.items()]


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.mark.parametrize(
    "measure, with_candidates, k, block_size, combine",
    [
        ("phenomizer", False, 5, 7, None),
        ("jaccard", False, 1000, None, None),  # more than there are others: every other, in order
        ("expanded_jaccard", True, 3, 4, None),
        # directed is asymmetric: a pair of blocks must score both directions as the call does
        ("relevance", False, 4, 9, "directed"),
        ("lin", True, 3, 5, "bma"),
    ],
)
def test_equals_one_top_k_call(client, measure, with_candidates, k, block_size, combine):
    from ontarix_tools import distributed_top_k

    idx, profiles = ontology(200, 150, seed=1)
    if measure == "expanded_jaccard":
        del profiles["empty"]  # no terms, no expansion: that measure needs a term of the index
    candidates = dict(list(profiles.items())[40:]) if with_candidates else None
    queries = dict(list(profiles.items())[:60]) if with_candidates else profiles
    expected = idx.top_k(queries, candidates, k=k, measure=measure, combine=combine)
    got = distributed_top_k(client, idx, queries, candidates, k=k, measure=measure, combine=combine,
                            block_size=block_size)
    assert comparable(got) == comparable(expected)


def test_a_worker_killed_mid_run_is_replaced_and_the_answer_is_complete(client):
    from ontarix_tools.cluster import run_blocks

    idx, profiles = ontology(400, 1500, seed=2, max_terms=12)
    expected = idx.top_k(profiles, k=4)
    pids = client.run(os.getpid)
    killed = {}

    def kill_a_busy_worker(_):
        if killed:
            return
        busy = sorted((w, keys) for w, keys in client.processing().items() if keys)
        if busy:  # else at the next block: the kill must catch a worker with tasks
            killed["worker"], killed["tasks"] = busy[0]
            os.kill(pids[busy[0][0]], signal.SIGKILL)

    got = run_blocks(client, idx, profiles, None, k=4, measure="phenomizer", threads=1,
                     block_size=25, on_block=kill_a_busy_worker)
    assert killed, "no worker had tasks while blocks were still arriving"
    assert comparable(got) == comparable(expected)
    client.wait_for_workers(2, timeout=60)  # the nanny starts a replacement
    assert set(client.run(os.getpid).values()) - set(pids.values())


def test_without_dask_the_package_imports_and_the_call_names_the_extra():
    out = run_python("""
        import sys
        sys.modules["dask"] = sys.modules["distributed"] = None  # as if not installed
        import ontarix, ontarix_tools, ontarix_tools.neighbours
        try:
            ontarix_tools.distributed_top_k(None, ontarix.ClosureIndex({}), {"q": {"a"}})
        except ImportError as exc:
            print(exc)
    """)
    assert out.stdout == ("distributed_top_k requires the optional dependency dask: "
                          "pip install 'ontarix[dask]'\n"), out.stderr


def test_neighbours_command_on_the_cluster_prints_the_local_answer(client, tmp_path):
    table, profiles = random_profiles(200, 80, seed=3)
    del profiles["empty"]  # a set has at least one line
    files = [write_association(tmp_path / "in.csv", profiles),
             write_association(tmp_path / "cl.csv", {t: row["is_a"] for t, row in table.items()})]

    def neighbours(*extra):
        return subprocess.run([sys.executable, "-m", "ontarix_tools.neighbours", *files, "-k", "3", *extra],
                              capture_output=True, text=True, timeout=120)

    local = neighbours()
    remote = neighbours("--scheduler", client.scheduler.address)
    assert local.returncode == remote.returncode == 0, local.stderr + remote.stderr
    assert remote.stdout == local.stdout and remote.stderr == ""
    assert local.stdout.count("\n") == 1 + 3 * len(profiles)
