"""Reading tree files: one module per format (``nexus``, ``newick``) over shared text
helpers (``text``), one entry that tells the format by content (:func:`read_trees`), and
what it returns (:class:`TreeSet`, :class:`TreeFileInfo`, :class:`TreeFileError`).
``runs`` expands MrBayes and RevBayes base names into their run files; ``tabular`` reads
RevBayes tab-separated tree logs; ``prune`` cuts trees down to the taxa they share;
``params`` reads the parameter logs of MCMC runs (:func:`read_params`) and finds the one
beside a tree file; ``follow`` reads tree files that are still being written."""

from .burnin import parse_burnin
from .errors import TreeFileError, TreeFileWarning
from .params import (
    ParameterFileError, ParameterFileWarning, ParameterLog, param_file_for, read_param_runs,
    read_params,
)
from .read import FileHead, read_heads, read_trees
from .runs import expand_runs
from .text import MAX_STATEMENT_BYTES
from .prune import leaf_names, prune
from .treeset import CommonTaxa, TreeFileInfo, TreeSet

__all__ = ["read_trees", "read_heads", "FileHead", "TreeSet", "TreeFileInfo", "TreeFileError", "TreeFileWarning",
           "parse_burnin", "expand_runs", "MAX_STATEMENT_BYTES", "CommonTaxa", "leaf_names",
           "prune", "ParameterLog", "ParameterFileError", "ParameterFileWarning", "read_params",
           "read_param_runs", "param_file_for"]
