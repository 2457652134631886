"""Builds a closure table from relationship rows shipped beside this script and prints it.

Each CSV row is (subject, predicate, object): the subject reaches the object through the
predicate. The rows here are an already-closed fragment of a phenotype ontology (every ancestor
is listed), which is the shape the similarity functions expect.
"""

import csv
import pathlib

import ontarix

rows_path = pathlib.Path(__file__).with_name("relationships.csv")
with rows_path.open(newline="", encoding="utf-8") as handle:
    rows = [tuple(row) for row in csv.reader(handle)]

table = ontarix.relationships_to_closure_table(rows)

print(f"{len(rows)} rows -> {len(table)} subjects")
for subject in sorted(table):
    for predicate in sorted(table[subject]):
        ancestors = ", ".join(sorted(table[subject][predicate]))
        print(f"{subject} --{predicate}--> {ancestors}")
