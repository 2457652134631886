"""Finds every gene profile's two nearest others on a Dask cluster, and checks the answer against
one ClosureIndex.top_k call. Needs the dask extra: pip install '.[dask]'.

A LocalCluster of two worker processes stands in for a real cluster; for one, connect the client
to its scheduler instead: Client("tcp://scheduler-host:8786").
"""

import csv
import pathlib

from dask.distributed import Client, LocalCluster

import ontarix
from ontarix_tools import distributed_top_k

HERE = pathlib.Path(__file__).parent

if __name__ == "__main__":  # worker processes import this module; only the client runs the search
    index = ontarix.ClosureIndex.from_file(HERE / "closure.csv")
    profiles: dict[str, set[str]] = {}
    with open(HERE / "input.csv", newline="", encoding="utf-8") as handle:
        for name, term in csv.reader(handle):
            profiles.setdefault(name, set()).add(term)

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        neighbours = distributed_top_k(client, index, profiles, k=2)

    assert neighbours == index.top_k(profiles, k=2)
    for name, row in neighbours.items():
        print(name, "->", ", ".join(f"{other} ({score:.3f})" for other, score in row))
