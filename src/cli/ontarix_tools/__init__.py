"""Tools around the ontarix module: file readers, ranking statistics, a Dask cluster entry point
and the command lines.

    ontarix_tools.readers      annotation files (HPOA, GAF, the association CSV) into profiles,
                               OBO files into relationship rows or a ClosureIndex
    ontarix_tools.stats        benjamini_hochberg: q-values of a ranked list's p-values
    ontarix_tools.cluster      distributed_top_k: ClosureIndex.top_k on a Dask cluster
                               (pip install 'ontarix[dask]')
    ontarix_tools.run          the ontarix-run command
    ontarix_tools.closure      the ontarix-closure command
    ontarix_tools.neighbours   the ontarix-neighbours command
    ontarix_tools.rank         the ontarix-rank command, and rank_candidates: one query against
                               every candidate profile, ranked, with p-values and q-values

The names below are importable from the package itself. Importing it imports neither numpy,
Dask nor fastobo: each is imported by the call that needs it.
"""

from __future__ import annotations

from ontarix_tools.cluster import distributed_top_k
from ontarix_tools.readers import (Annotations, FileFormatError, read_associations, read_gaf,
                                   read_hpoa, read_information_content, read_obo_index,
                                   read_obo_relationships)
from ontarix_tools.stats import benjamini_hochberg

__all__ = [
    "Annotations",
    "FileFormatError",
    "benjamini_hochberg",
    "distributed_top_k",
    "read_associations",
    "read_gaf",
    "read_hpoa",
    "read_information_content",
    "read_obo_index",
    "read_obo_relationships",
]
