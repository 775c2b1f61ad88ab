"""Companion tools for the ``kestrilune`` extension module, in layers that import one way:

* :mod:`kestrilune_tools.reading`: tree files (NEXUS, Newick; plain or gzip) into a
  ``TreeSet`` (``read_trees``).
* :mod:`kestrilune_tools.table`: the split table (``SplitTable``), split data, typed
  results (``TreeDistances``) and the ``Metric`` names.
* :mod:`kestrilune_tools.analyses`: distances, convergence (``diagnose``), summary trees,
  big posteriors (``scale``: Zarr, memory-mapped .npy, Dask).
* :mod:`kestrilune_tools.pictures`: tree-space map, traces, heatmap, cladograms (matplotlib).
* :mod:`kestrilune_tools.commands`: the ``kestrilune`` command.
* :mod:`kestrilune_tools.arrays`: NumPy views of the module's raw results.
"""

from typing import Any, Optional

import numpy as np

from .reading import TreeFileError, TreeFileInfo, TreeSet, read_trees
from .table.metrics import Metric
from .table.result import TreeDistances, tree_distances

__all__ = ["TreeFileError", "TreeFileInfo", "TreeSet", "read_trees", "distance_matrix",
           "TreeDistances", "tree_distances", "SplitTable", "diagnose", "__version__"]


__version__: str  # looked up when first asked for (below)


def distance_matrix(metric: Metric, treeset: TreeSet, rooted: bool = False,
                    progress: Optional[object] = None) -> np.ndarray:
    """The n x n distance matrix of ``treeset`` as a NumPy array (see ``arrays.distance_matrix``)."""
    from .arrays import distance_matrix as _distance_matrix

    return _distance_matrix(metric, treeset, rooted=rooted, progress=progress)


def __getattr__(name: str) -> Any:
    # Imported on first use: the split table needs the engine extension, and the
    # convergence diagnostics pull in more than reading a file does.
    if name == "SplitTable":
        from .table.engine import SplitTable

        return SplitTable
    if name == "read_table":
        from .table.load import read_table

        return read_table
    if name == "diagnose":
        from .analyses.converge import diagnose

        return diagnose
    if name == "__version__":  # importlib.metadata costs 2.8 MiB of every command's memory
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("kestrilune")
        except PackageNotFoundError:  # imported from a source tree that was never installed
            found = "unknown"
        globals()["__version__"] = found
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
