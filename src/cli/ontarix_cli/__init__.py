"""Deprecated: the former name of ontarix_tools, kept so that earlier code still imports.

distributed_top_k is ontarix_tools.distributed_top_k and main (the ontarix-run command) is
ontarix_tools.run.main; import them from there.
"""

from __future__ import annotations

import warnings

from ontarix_tools.cluster import distributed_top_k
from ontarix_tools.run import main

__all__ = ["distributed_top_k", "main"]

warnings.warn("ontarix_cli is deprecated: import distributed_top_k from ontarix_tools and "
              "main from ontarix_tools.run", DeprecationWarning, stacklevel=2)
