"""Summary trees of a posterior sample: consensus, topology probabilities, MCC and CCD trees.

Everything is computed from the split data of :mod:`kestrilune_tools.table.splits`::

    >>> ts = read_trees(["a.run1.t", "a.run2.t"], burnin="25%")
    >>> sd = split_data(ts, rooted=False)
    >>> majority_consensus(sd).newick       # support as [&prob=...], mean branch lengths
    >>> topology_probabilities(sd).counts    # like MrBayes' .trprobs
    >>> sd = split_data(read_trees("beast.trees", burnin=200), rooted=True)
    >>> mcc_tree(sd).tree_name, mcc_tree(sd).score

Definitions (each result carries the settings that made it):

* Support of a split (clade) = trees holding it / trees used, pooled over runs.
* Majority-rule consensus at threshold t >= 0.5: the non-trivial splits held by at least
  the fraction t of the trees and by more than half of them (so two splits that cannot
  coexist never both enter at exactly 0.5).
* Greedy ("allcompat") consensus: the majority-rule splits, then every other split in
  order of decreasing count that is compatible with those already taken; splits of equal
  count are tried in ascending split-id (leaf-set) order.
* Topology: the set of splits of a tree. Topologies are ordered by decreasing count, ties
  by first appearance in the sample; the credible set at mass m is the shortest prefix
  whose probability reaches m.
* MCC tree (TreeAnnotator 1.10): rooted clades; a tree's score is the sum over its internal
  nodes (root included, whose clade has credibility 1) of log(count / trees used). The
  score is computed once per distinct topology with a correctly rounded sum, so identical
  topologies score exactly alike and, as in TreeAnnotator, the first tree with the highest
  score wins. ``criterion="product"`` maximises the plain product of the credibilities,
  ``"sum"`` the sum of credibilities (TreeAnnotator's "maximum sum of clade
  credibilities", root included).
* CCD0 and CCD1 (Berling et al. 2025, PLOS Comput Biol 21:e1012789): distributions over
  the rooted binary trees built from observed clades. CCD1 gives a tree the product of the
  conditional clade probabilities of its observed clade splits; CCD0 a probability
  proportional to the product of its clade credibilities, normalised over every tree whose
  clades were all observed. The MAP tree maximises that probability; among partitions of a
  clade that score exactly alike, the one whose first child clade comes first in leaf-set
  order is taken.
* Dated, annotated trees (:mod:`.annotate`): node heights kept, mean, median or common
  ancestor, with TreeAnnotator 1.10's annotations, for any rooted summary tree or a
  given target tree.
"""

from __future__ import annotations

from .ccd import CCD, ccd0, ccd0_map, ccd1, ccd1_map, clade_parents, hipstr
from .consensus import allcompat_consensus, majority_consensus
from .newick import TreeLayout, newick_label, plain_topology
from .results import SummaryTree, TopologyTable, check_file_taxa, check_taxa, rooting_marks
from .topologies import MCC_CRITERIA, mcc_tree, topology_probabilities

__all__ = [
    "SummaryTree",
    "TopologyTable",
    "MCC_CRITERIA",
    "majority_consensus",
    "allcompat_consensus",
    "topology_probabilities",
    "mcc_tree",
    "CCD",
    "ccd0",
    "ccd1",
    "ccd0_map",
    "ccd1_map",
    "hipstr",
    "clade_parents",
    "newick_label",
    "plain_topology",
    "rooting_marks",
    "check_taxa",
    "check_file_taxa",
    "TreeLayout",
]
