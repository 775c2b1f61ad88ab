"""The results of the summaries (:class:`SummaryTree`, :class:`TopologyTable`), the
checks of their input and the helpers every summary builds its tree with."""

from __future__ import annotations

from dataclasses import dataclass, field
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Set, Tuple, cast

import numpy as np

from ...table.splits import SplitData
from .newick import TreeLayout, newick_label, _layout, _render

if TYPE_CHECKING:
    from ...reading import TreeSet

__all__ = ["SummaryTree", "TopologyTable", "check_taxa", "check_file_taxa", "rooting_marks"]


# ----------------------------------------------------------------------------- results


@dataclass(frozen=True)
class SummaryTree:
    """One summary tree.

    ``split_ids`` are the ids (in the split data it came from) of every split of the tree,
    pendant edges included, ascending; ``support`` and ``lengths`` are beside them
    (``lengths`` is NaN where a branch has no length). ``newick`` names the leaves;
    :meth:`to_newick` writes it with other labels (for example translate-table numbers).
    """

    method: str  # "majority-rule consensus", "allcompat consensus", "MCC", "CCD0 MAP", ...
    newick: str
    leaf_names: Tuple[str, ...]
    rooted: bool
    split_ids: np.ndarray
    support: np.ndarray
    lengths: Optional[np.ndarray]
    n_trees: int  # trees summarised
    score: Optional[float] = None
    score_name: Optional[str] = None
    tree_index: Optional[int] = None  # the chosen sample tree (MCC), index into the trees used
    tree_name: Optional[str] = None
    log_probability: Optional[float] = None  # CCD0 / CCD1: log of the estimate's probability
    settings: Dict[str, object] = field(default_factory=dict)
    membership: Optional[np.ndarray] = field(default=None, repr=False, compare=False)

    @property
    def n_clades(self) -> int:
        """Internal nodes other than the root (the non-trivial splits)."""
        sizes = cast(np.ndarray, self.membership).sum(axis=1)
        n = len(self.leaf_names)
        return int(np.count_nonzero((sizes >= 2) & (sizes <= (n - 1 if self.rooted else n - 2))))

    def layout(self, outgroup: int = 0) -> "TreeLayout":
        """The tree as parent-linked nodes, for drawing (see :class:`TreeLayout`)."""
        return _layout(cast(np.ndarray, self.membership), self.rooted, outgroup)

    def to_newick(self, labels: Optional[Sequence[str]] = None, outgroup: int = 0,
                  support: bool = True, lengths: bool = True, precision: Optional[int] = None,
                  support_labels: bool = False, posterior_key: bool = False,
                  extra: Optional[Sequence[str]] = None) -> str:
        """The tree in Newick; ``labels[i]`` stands for ``leaf_names[i]`` (default: the
        names, quoted where Newick needs it). Unrooted trees are drawn from ``outgroup``
        (an index into ``leaf_names``), as MrBayes draws them: a basal polytomy holding it.
        ``precision`` rounds numbers to that many significant digits (default: shortest
        exact text). ``support_labels`` also writes each support as the node's label, for
        readers that skip comments; ``posterior_key`` writes it under ``posterior`` as well
        as ``prob`` (the key FigTree, treeio and TreeAnnotator's users read). ``extra[row]``
        (``key=value,...`` beside each split of :attr:`split_ids`) is added to the support's
        keys."""
        if labels is None:
            labels = [newick_label(n) for n in self.leaf_names]
        return _render(cast(np.ndarray, self.membership), self.support if support else None,
                       self.lengths if lengths and self.lengths is not None else None,
                       labels, self.rooted, outgroup, precision, support_labels,
                       posterior_key, extra=extra)


@dataclass(frozen=True)
class TopologyTable:
    """Distinct topologies, most frequent first (see the module notes for ties).

    ``first_tree[k]`` is the first tree of topology k in the sample (an index into the
    trees used); ``tree_topology[t]`` is the rank of tree t's topology. ``n_credible``
    topologies make the credible set of mass ``credible_mass``.
    """

    counts: np.ndarray  # (k,) int64
    probabilities: np.ndarray  # (k,) float64
    cumulative: np.ndarray  # (k,) float64
    first_tree: np.ndarray  # (k,) int64
    group_counts: np.ndarray  # (k, n_groups) int64: count of each topology in each run
    tree_topology: np.ndarray  # (n_trees,) int64
    credible_mass: float
    n_credible: int
    n_trees: int
    rooted: bool
    settings: Dict[str, object] = field(default_factory=dict)
    _sd: Optional[SplitData] = field(default=None, repr=False, compare=False)

    def __len__(self) -> int:
        return len(self.counts)

    def newicks(self, ranks: Optional[Sequence[int]] = None,
                progress: Optional[object] = None) -> List[str]:
        """The topology of each rank (default: all) as plain Newick with taxon names,
        written from the splits of its first tree, so no file is read again: every node's
        children in order of their first taxon (the order of ``leaf_names``), so one
        topology has one text. ``progress``: a ``kestrilune.ProgressCounter`` told of the
        topologies written."""
        sd = cast(SplitData, self._sd)  # set by topology_probabilities
        ranks = list(range(len(self))) if ranks is None else [int(k) for k in ranks]
        if sd.table is None:  # split data made without the engine
            return [self.tree(k).to_newick(support=False, lengths=False) for k in ranks]
        return cast(List[str], sd.table.topology_newicks(
            self.first_tree[ranks], [newick_label(n) for n in sd.leaf_names], progress))

    def tree(self, k: int) -> SummaryTree:
        """Topology k as a tree without branch lengths (support: the topology's share)."""
        sd = cast(SplitData, self._sd)  # set by topology_probabilities
        t = int(self.first_tree[k])
        ids = sd.tree_splits(t)
        return _make_tree(sd, "topology", ids, lengths=None,
                          support=np.full(len(ids), self.probabilities[k]), n_trees=self.n_trees,
                          settings={"rank": k + 1})


# ----------------------------------------------------------------------------- checks


def _require_rooted(sd: SplitData, what: str) -> None:
    if not sd.rooted:
        raise ValueError(f"{what} needs rooted trees: read them as rooted (--rooted, or "
                         "trees marked [&R] in the file)")


def _require_trees(sd: SplitData) -> None:
    if sd.n_trees == 0:
        raise ValueError("no trees to summarise (is the burn-in longer than the runs?)")


def _check_ccd_input(sd: SplitData, what: str) -> None:
    """Rooted, at least one tree, every tree binary: a rooted binary tree of n leaves
    holds 2n - 2 clades besides the root, none of them all n leaves."""
    _require_rooted(sd, what)
    _require_trees(sd)
    n_leaves = len(sd.leaf_names)
    per_tree = np.diff(sd.indptr)
    bad_shape = per_tree != 2 * n_leaves - 2
    whole = np.flatnonzero(sd.split_sizes() == n_leaves)  # a root with one child
    if len(whole):
        holds = np.isin(sd.ids, whole)
        bad_shape |= np.bincount(np.repeat(np.arange(sd.n_trees), per_tree), weights=holds,
                                 minlength=sd.n_trees) > 0
    bad = np.flatnonzero(bad_shape)
    if len(bad):
        t = int(bad[0])
        raise ValueError(f"{what} needs binary trees, but {len(bad)} of the {sd.n_trees} "
                         f"trees are not (a node with more than two children, or a root with "
                         f"one); the first is tree {t}, {sd.tree_names[t]!r}. The MCC tree "
                         "and the consensus trees take such samples")


def check_taxa(treeset: TreeSet) -> None:
    """Refuse files whose translate tables name different taxa, saying which differ (the
    split data would only say that some tree has another leaf set)."""
    tables: Dict[int, Dict[str, str]] = {}
    for m, f in zip(treeset.map_indices, treeset.file_indices):
        if f not in tables and treeset.translate_maps[m]:
            tables[f] = treeset.translate_maps[m]
    check_file_taxa([(treeset.files[f].path, t) for f, t in sorted(tables.items())])


def check_file_taxa(tables: Sequence[Tuple[str, Dict[str, str]]]) -> None:
    """As :func:`check_taxa`, from (path, translate table) per file (files without a table
    left out), such as :func:`~kestrilune_tools.reading.read_heads` gives before the trees
    are read."""
    named = [(path, set(t.values())) for path, t in tables if t]
    if not named:
        return
    first_path, ref = named[0]
    for path, taxa in named[1:]:
        if taxa != ref:
            def some(taxa: Set[str]) -> str:
                names = sorted(taxa)
                return ", ".join(names[:5]) + (f" and {len(names) - 5} more" if len(names) > 5
                                               else "")
            extra, missing = taxa - ref, ref - taxa
            what = "; ".join(part for part in (
                f"it has {some(extra)}" if extra else "",
                f"it lacks {some(missing)}" if missing else "") if part)
            raise ValueError(f"the runs have different taxa: {path} does "
                             f"not name the taxa of {first_path} ({what})")


def rooting_marks(treeset: TreeSet) -> List[Optional[str]]:
    """Per file of a :class:`~kestrilune_tools.reading.TreeSet`, the rooting its first tree
    declares: ``"R"`` for ``[&R]``, ``"U"`` for ``[&U]``, None when it says nothing."""
    return [f.rooting for f in treeset.files]


# ----------------------------------------------------------------------------- helpers


def _threshold(threshold: float) -> Fraction:
    q = Fraction(repr(float(threshold)))
    if not Fraction(1, 2) <= q <= 1:
        raise ValueError(f"consensus threshold must be between 0.5 and 1, got {threshold!r}")
    return q


def _totals(sd: SplitData) -> np.ndarray:
    return sd.counts().sum(axis=1)


def _pendant(sd: SplitData) -> np.ndarray:
    sizes = sd.split_sizes()
    n = len(sd.leaf_names)
    return (sizes == 1) | ((sizes == n - 1) & (not sd.rooted))


def _words(member: np.ndarray) -> np.ndarray:
    """Bool rows (k, n) as little-endian 64-bit words (k, ceil(n / 64))."""
    member = np.asarray(member, dtype=bool)
    k, n = member.shape
    n_words = max(1, (n + 63) // 64)
    packed = np.packbits(member, axis=1, bitorder="little")
    padded = np.zeros((k, n_words * 8), dtype=np.uint8)
    padded[:, :packed.shape[1]] = packed
    return padded.view("<u8").astype(np.uint64, copy=False)


def _has_lengths(sd: SplitData) -> bool:
    """Whether the trees carry branch lengths: the split data write a missing length as 0.0,
    so a sample whose lengths are all zero is taken to have none."""
    return sd.lengths is not None and bool(np.any(sd.lengths != 0.0))


def _mean_lengths(sd: SplitData) -> np.ndarray:
    """Mean length of each split over the trees holding it (NaN for none); kept with the
    split data's other cached sums, since every summary tree asks for it."""
    cache = sd._cache
    if "mean_lengths" not in cache:
        counts = _totals(sd)
        # bincount's sums (each split's lengths added in entry order), a chunk of entries
        # at a time: bincount would first copy every id to a 64-bit index.
        lengths = cast(np.ndarray, sd.lengths)
        sums = np.zeros(sd.n_splits)
        step = 1 << 20
        for e in range(0, len(sd.ids), step):
            np.add.at(sums, sd.ids[e:e + step], lengths[e:e + step])
        with np.errstate(invalid="ignore", divide="ignore"):
            cache["mean_lengths"] = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
    return cache["mean_lengths"]


def _make_tree(sd: SplitData, method: str, ids: Any, *, lengths: Optional[bool],
               support: Any = None, branch_lengths: Optional[np.ndarray] = None,
               n_trees: Optional[int] = None, score: Optional[float] = None,
               score_name: Optional[str] = None, tree_index: Optional[int] = None,
               tree_name: Optional[str] = None, log_probability: Optional[float] = None,
               settings: Optional[Dict[str, object]] = None) -> SummaryTree:
    ids = np.asarray(ids, dtype=np.int64)
    if support is None:
        support = _totals(sd)[ids] / sd.n_trees
    if branch_lengths is None and lengths and _has_lengths(sd):
        branch_lengths = _mean_lengths(sd)[ids]
    settings = dict(settings or {})
    settings.setdefault("rooted", sd.rooted)
    if sd.n_groups > 1 and method.endswith("consensus"):
        settings["support"] = "pooled over runs"
    tree = SummaryTree(method=method, newick="", leaf_names=sd.leaf_names, rooted=sd.rooted,
                       split_ids=ids, support=np.asarray(support, dtype=np.float64),
                       lengths=None if branch_lengths is None
                       else np.asarray(branch_lengths, dtype=np.float64),
                       n_trees=sd.n_trees if n_trees is None else n_trees, score=score,
                       score_name=score_name, tree_index=tree_index, tree_name=tree_name,
                       log_probability=log_probability, settings=settings,
                       membership=sd.member_rows(ids))
    object.__setattr__(tree, "newick", tree.to_newick())
    return tree
