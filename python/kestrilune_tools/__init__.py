"""Companion tools for the ``kestrilune`` extension module.

* :mod:`kestrilune_tools.nexus`: read NEXUS / Newick tree files (``read_trees``).
* :mod:`kestrilune_tools.result`: ``TreeDistances``, a matrix with its labels and meaning,
  and ``tree_distances`` that computes one.
* :mod:`kestrilune_tools.arrays`: NumPy views of the module's raw results.
* :mod:`kestrilune_tools.plots`: tree-space map, distance trace and heatmap (needs matplotlib).
* :mod:`kestrilune_tools.cli`: the ``kestrilune`` command.
"""

from .reading import TreeFileError, TreeFileInfo, TreeSet, read_trees
from .table.result import TreeDistances, tree_distances

__all__ = ["TreeFileError", "TreeFileInfo", "TreeSet", "read_trees", "distance_matrix",
           "TreeDistances", "tree_distances", "__version__"]


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kestrilune")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        return "unknown"


__version__ = _version()


def distance_matrix(metric, treeset, rooted=False, progress=None):
    """The n x n distance matrix of ``treeset`` as a NumPy array (see ``arrays.distance_matrix``)."""
    from .arrays import distance_matrix as _distance_matrix

    return _distance_matrix(metric, treeset, rooted=rooted, progress=progress)
