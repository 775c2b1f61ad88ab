"""Reading tree files: one module per format (``nexus``, ``newick``) over shared text
helpers (``text``), one entry that tells the format by content (:func:`read_trees`), and
what it returns (:class:`TreeSet`, :class:`TreeFileInfo`, :class:`TreeFileError`).
``runs`` expands MrBayes base names into their run files."""

from .burnin import parse_burnin
from .errors import TreeFileError, TreeFileWarning
from .read import FileHead, read_heads, read_trees
from .runs import expand_runs
from .text import MAX_STATEMENT_BYTES
from .treeset import TreeFileInfo, TreeSet

__all__ = ["read_trees", "read_heads", "FileHead", "TreeSet", "TreeFileInfo", "TreeFileError", "TreeFileWarning",
           "parse_burnin", "expand_runs", "MAX_STATEMENT_BYTES"]
