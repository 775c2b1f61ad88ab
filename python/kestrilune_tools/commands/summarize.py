"""``kestrilune summarize FILE...``: the tree to report from a posterior sample.

    kestrilune summarize analysis --burnin 25% --consensus --trprobs topologies.tsv -o con.nex
    kestrilune summarize beast.trees --burnin 200 --mcc --ccd0 --ccd1 -o trees.nex --json s.json
    kestrilune summarize beast.trees --burnin 200 --mcc --heights ca -o mcc.tree

Each file is one run; a MrBayes base name (``analysis``) stands for its ``.run*.t`` files.
Trees are compared as rooted clades when ``--rooted`` is given or every file marks its trees
``[&R]``, as unrooted splits otherwise; the MCC, CCD and HIPSTR trees need rooted trees.
Without a tree option the majority-rule consensus is made. The definitions are those of
:mod:`kestrilune_tools.analyses.summaries`.

``--heights keep|mean|median|ca`` makes dated trees annotated as TreeAnnotator 1.10 writes
them (``posterior``, ``height``/``length`` and every node annotation of the trees with their
median, 95% HPD and range; text traits with their frequencies): from the split table when
the trees carry no ``[&...]`` on their nodes, else from one more reading of the trees'
texts. ``--target TREE`` annotates a given tree the same way; ``--limit P`` annotates only
nodes of posterior at least P; ``--support-labels`` also writes supports as node labels.
See :mod:`kestrilune_tools.analyses.summaries.annotate`.

Outputs: ``-o`` the summary trees, NEXUS with a translate table (``.nex``, ``.nexus``,
``.tre``, ``.tree``, ``.trees``) or one Newick line per tree (``.nwk``, ``.newick``);
``--trprobs`` the topology table (TSV); ``--json`` every result at full precision with the
settings; ``--plot`` a cladogram of each summary tree with its supports.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
from typing import (TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Set, Tuple,
                    cast)

import kestrilune
import numpy as np

from ..console.cli import CommandError, Context, UsageError, add_input_arguments
from ..console.outputs import PICTURE_SUFFIXES
from ..pictures.words import counted
from ..reading import FileHead, TreeFileError, read_heads
from ..table.splits import from_table

if TYPE_CHECKING:
    from types import ModuleType

    from ..analyses.summaries import SummaryTree, TopologyTable
    from ..analyses.summaries.annotate import AnnotatedTree, TargetTree
    from ..reading import TreeSet
    from ..table.engine import SplitTable
    from ..table.splits import SplitData

    # What -o writes: each summary tree under its name in the file.
    NamedTrees = List[Tuple[str, SummaryTree]]

_NEXUS_SUFFIXES = (".nex", ".nexus", ".tre", ".tree", ".trees")
_NEWICK_SUFFIXES = (".nwk", ".newick")
_TABLE_SUFFIXES = (".tsv",)
_JSON_SUFFIXES = (".json",)
_ROOTED_METHODS = ("mcc", "ccd0", "ccd1", "hipstr", "mrhipstr")
_SHOWN_TOPOLOGIES = 5


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_input_arguments(p)
    g = p.add_argument_group("summary trees (without any: --consensus 0.5)")
    g.add_argument("--consensus", nargs="?", const=0.5, type=float, metavar="THRESHOLD",
                   help="majority-rule consensus: splits held by at least THRESHOLD of the "
                        "trees and by more than half (default 0.5)")
    g.add_argument("--allcompat", action="store_true",
                   help="greedy consensus: majority-rule splits, then every compatible split "
                        "by decreasing frequency")
    g.add_argument("--mcc", nargs="?", const="log", choices=("log", "product", "sum"),
                   metavar="SCORE",
                   help="maximum clade credibility tree, the sample tree with the best clade "
                        "score: log (TreeAnnotator 1.10, the default), product or sum of "
                        "clade credibilities; rooted trees only")
    g.add_argument("--ccd0", action="store_true",
                   help="MAP tree of the CCD0 (highest product of clade credibilities over "
                        "trees of observed clades); rooted binary trees only")
    g.add_argument("--ccd1", action="store_true",
                   help="MAP tree of the CCD1 (conditional clade probabilities); rooted "
                        "binary trees only")
    g.add_argument("--hipstr", action="store_true",
                   help="HIPSTR tree (TreeAnnotator X): the best product of clade "
                        "credibilities over trees assembled from observed subtrees; rooted "
                        "binary trees only")
    g.add_argument("--mrhipstr", action="store_true",
                   help="MrHIPSTR: HIPSTR keeping as many majority clades as it can; rooted "
                        "binary trees only")
    g.add_argument("--no-lengths", action="store_true",
                   help="no branch lengths (default: each split's mean length over the trees "
                        "holding it; the MCC tree keeps its own)")
    g.add_argument("--heights", choices=("keep", "mean", "median", "ca"),
                   help="dated, annotated trees as TreeAnnotator writes them: node heights "
                        "kept from the MCC tree (keep), the mean or median height of each "
                        "clade over the trees holding it, or common-ancestor heights (ca); "
                        "every node gets posterior, height and length with their median, "
                        "95%% HPD and range, and the same for each numeric node annotation "
                        "of the trees; rooted trees with branch lengths only")
    g.add_argument("--target", metavar="TREE",
                   help="also annotate this tree (the first of a NEXUS or Newick file, e.g. a "
                        "maximum-likelihood tree) with the sample's clade supports, heights and "
                        "annotations, as TreeAnnotator -target; alone, it is the only tree "
                        "written; implies --heights keep (its own heights) unless given")
    g.add_argument("--limit", type=float, default=0.0, metavar="P",
                   help="with --heights, annotate only nodes of posterior at least P "
                        "(default 0)")
    g.add_argument("--outgroup", metavar="TAXON",
                   help="taxon to draw unrooted trees from (default: the first taxon of the "
                        "first file's translate table, as MrBayes draws them)")
    t = p.add_argument_group("topologies")
    t.add_argument("--trprobs", metavar="TSV",
                   help="write every distinct topology with its count, probability, "
                        "cumulative probability and first tree (like MrBayes' .trprobs)")
    t.add_argument("--credible", type=float, default=0.95, metavar="MASS",
                   help="mass of the credible set of topologies (default 0.95)")
    o = p.add_argument_group("outputs")
    o.add_argument("-o", "--output", metavar="TREES",
                   help="write the summary trees: NEXUS with a translate table (.nex, .nexus, "
                        ".tre, .tree, .trees) or Newick (.nwk, .newick)")
    o.add_argument("--support-labels", action="store_true",
                   help="also write each node's support as its label in -o (read by ape, "
                        "IQ-TREE and most tools, which skip [&...] comments)")
    o.add_argument("--json", metavar="JSON",
                   help="write every result at full precision with its settings")
    o.add_argument("--plot", metavar="PNG",
                   help="draw the summary trees as cladograms with their supports")
    o.add_argument("--report", metavar="HTML",
                   help="also write the page of the whole analysis (as kestrilune report: "
                        "convergence of the runs and their parameter logs, found beside the "
                        "tree files); its trees come from the same reading")
    from ..console.scale import SCHEDULER_HELP

    o.add_argument("--scheduler", metavar="WHERE",
                   help="compute the distances of the --report page's ESS measures on a "
                        "Dask cluster (the summary trees need none): " + SCHEDULER_HELP)


def run(args: argparse.Namespace, ctx: Context) -> int:
    from ..analyses import summaries as S
    from ..reading.runs import expand_runs

    out_trees = ctx.output(args.output, _NEXUS_SUFFIXES + _NEWICK_SUFFIXES, "-o")
    out_table = ctx.output(args.trprobs, _TABLE_SUFFIXES, "--trprobs")
    out_json = ctx.output(args.json, _JSON_SUFFIXES, "--json")
    out_plot = ctx.output(args.plot, PICTURE_SUFFIXES, "--plot")
    out_page = ctx.output(args.report, (".html", ".htm"), "--report")
    if out_page and (args.thin != 1 or args.max_trees is not None):
        raise UsageError("--report diagnoses every tree of the runs: drop --thin and "
                         "--max-trees, or write the page with kestrilune report")
    if args.scheduler and not out_page:
        raise UsageError("--scheduler computes the distances of the --report page's ESS "
                         "measures; the summary trees need none (give --report, or run "
                         "rf|wrf|kf or converge with --scheduler)")
    if out_plot:
        from ..pictures.plots import require_matplotlib

        try:
            require_matplotlib()
        except ImportError as exc:
            raise CommandError(str(exc)) from None
    if args.consensus is not None and not 0.5 <= args.consensus <= 1:
        raise UsageError(f"--consensus must lie between 0.5 and 1, got {args.consensus}")
    if not 0 < args.credible <= 1:
        raise UsageError(f"--credible must lie in (0, 1], got {args.credible}")
    if args.target and not args.heights:
        args.heights = "keep"  # TreeAnnotator's default: the target's own heights
    if out_plot and args.target and not any((args.consensus is not None, args.allcompat,
                                             args.mcc, args.ccd0, args.ccd1, args.hipstr,
                                             args.mrhipstr)):
        raise UsageError("--plot draws the summary trees, and --target alone makes none: "
                         "add --mcc, --consensus, ... or drop --plot")
    if args.heights and args.no_lengths:
        raise UsageError("--heights needs the branch lengths: drop --no-lengths")
    if not 0 <= args.limit <= 1:
        raise UsageError(f"--limit must lie in [0, 1], got {args.limit}")
    methods = _methods(args)

    try:
        files = expand_runs(args.files)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    # What the trees must be read as (rooted or not) and whether the runs name the same
    # taxa, from the head of each file; then the trees, read once.
    rooted = bool(args.rooted)
    try:
        heads = read_heads(files)
    except (TreeFileError, OSError):
        heads = None  # reading the trees says what is wrong, as for any command
    if heads is not None:  # runs naming other taxa: reading the trees says which
        rooted = _rooting(args, heads, methods)
    page: Optional[Callable[[], None]] = None
    if out_page:
        ts, split_table, page = _diagnosed(ctx, args, files, rooted, out_page)
    else:
        ts, split_table = ctx.read_table(files, args.burnin, args.thin, args.max_trees,
                                         rooted=rooted, lengths=not args.no_lengths,
                                         hold_annotated=bool(args.heights))
    sd = from_table(split_table, group_labels=[f.label for f in ts.files], parents=False)
    order = _taxon_order(ts, sd.leaf_names)
    outgroup = _outgroup(args.outgroup, sd.leaf_names, order)

    trees: NamedTrees = []
    try:
        for key, label, make in _makers(S, args, methods):
            if key == "ccd0_map":  # the one long native step: show its clades
                counter = kestrilune.ProgressCounter()
                with ctx.track(label, counter, "clades"), ctx.native_call():
                    trees.append((key, S.ccd0_map(sd, lengths=not args.no_lengths,
                                                  progress=counter)))
                continue
            with ctx.phase(label):
                trees.append((key, make(sd)))
        with ctx.phase("counting topologies"):
            table = S.topology_probabilities(sd, args.credible)
    except ValueError as exc:
        raise CommandError(str(exc)) from None

    target = _read_target(args.target, sd) if args.target else None
    annotated = _annotate(ctx, args, ts, sd, trees, target) if args.heights else {}
    _print_summary(ctx, ts, sd, trees, table, order, outgroup, annotated)
    conv = _convergence_keys(ctx, sd, trees, annotated) \
        if (out_trees or out_json) and sd.n_groups > 1 else {}
    if out_trees:
        n_out = len(trees) + ("target" in annotated)
        ctx.write(out_trees, f"{n_out} tree{'s' if n_out > 1 else ''}",
                  lambda tmp: _write_trees(tmp, out_trees, trees, order, outgroup, ts,
                                           annotated, sd, args.support_labels, conv))
    if out_table:
        counter = kestrilune.ProgressCounter()
        with ctx.track("writing topologies", counter, "topologies"), ctx.native_call():
            newicks = table.newicks(progress=counter)
        ctx.write(out_table, f"{len(table)} topologies",
                  lambda tmp: _write_table(tmp, table, newicks, ts, sd))
    if out_json:
        ctx.write(out_json, "every result",
                  lambda tmp: _write_json(tmp, args, ts, sd, trees, table, order, outgroup,
                                          annotated, conv))
    if out_plot:
        from ..pictures.treeplot import cladograms

        ctx.write(out_plot, "cladogram" + ("s" if len(trees) > 1 else ""),
                  lambda tmp: cladograms([t for _, t in trees], tmp,
                                         titles=[_title(t) for _, t in trees],
                                         outgroup=outgroup,
                                         dated=[annotated.get(k) for k, _ in trees]),
                  verb="drawing")
    if page is not None:
        page()
    ctx.print(ctx.timing_line())
    return 0


def _diagnosed(ctx: Context, args: argparse.Namespace, files: List[str], rooted: bool,
               out_page: str) -> Tuple[TreeSet, SplitTable, Callable[[], None]]:
    """Every tree read once and diagnosed as ``kestrilune report`` does; returns the trees
    after the burn-in, their split table (taken from the one read) and what writes the
    page."""
    from ..analyses.converge import diagnose
    from ..console.runs import check_generations, param_files, parameters, write_page
    from ..console.scale import cluster

    args.params, args.no_params = None, False  # the logs beside the tree files
    param_paths, pairing = param_files(args, files, ctx)
    every, table = ctx.read_table(files, rooted=rooted, lengths=True, warn_nonfinite=False,
                                  hold_annotated=bool(args.heights))
    try:
        with cluster(ctx, args.scheduler, None) as client, ctx.native_call():
            rep = diagnose(every, burnin=args.burnin, rooted=rooted, phase=ctx.phase,
                           split_table=table, client=client)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    prep = logs = None
    if param_paths:
        logs, prep = parameters(param_paths, rep, args, ctx)
        check_generations(logs, every, ctx)
    keep: List[int] = []
    start = 0
    for r in rep.runs:
        keep.extend(range(start + r.burnin, start + r.n_trees))
        start += r.n_trees
    from dataclasses import replace

    ts = every.subset(keep)
    kept_lines = [set(ln for ln, f in zip(ts.lines, ts.file_indices) if f == k)
                  for k in range(len(ts.files))]
    ts = replace(ts, files=[replace(info, burnin=r.burnin, nonfinite_lines=tuple(
        ln for ln in info.nonfinite_lines if ln in kept_lines[k]))
        for k, (info, r) in enumerate(zip(ts.files, rep.runs))])
    used = table.take(np.asarray(keep, dtype=np.uint32))
    if pairing:
        ctx.print(pairing)

    def page() -> None:
        write_page(out_page, rep, every, prep, logs, files + param_paths, ctx)

    return ts, used, page


# ----------------------------------------------------------------------------- choices


def _methods(args: argparse.Namespace) -> List[str]:
    methods = []
    if args.consensus is not None:
        methods.append("consensus")
    if args.allcompat:
        methods.append("allcompat")
    if args.mcc:
        methods.append("mcc")
    if args.ccd0:
        methods.append("ccd0")
    if args.ccd1:
        methods.append("ccd1")
    if args.hipstr:
        methods.append("hipstr")
    if args.mrhipstr:
        methods.append("mrhipstr")
    if not methods and not args.target:
        args.consensus = 0.5
        methods.append("consensus")
    return methods


def _makers(S: ModuleType, args: argparse.Namespace, methods: List[str]
            ) -> List[Tuple[str, str, Callable[[SplitData], SummaryTree]]]:
    lengths = not args.no_lengths
    pct = f"{100 * args.consensus:g}" if args.consensus is not None else ""
    table = {
        "consensus": (f"con_{pct}_majrule", "majority-rule consensus",
                      lambda sd: S.majority_consensus(sd, args.consensus, lengths=lengths)),
        "allcompat": ("con_all_compat", "allcompat consensus",
                      lambda sd: S.allcompat_consensus(sd, lengths=lengths)),
        "mcc": ("mcc", "MCC tree", lambda sd: S.mcc_tree(sd, args.mcc)),
        "ccd0": ("ccd0_map", "CCD0 MAP tree", lambda sd: S.ccd0_map(sd, lengths=lengths)),
        "ccd1": ("ccd1_map", "CCD1 MAP tree", lambda sd: S.ccd1_map(sd, lengths=lengths)),
        "hipstr": ("hipstr", "HIPSTR tree", lambda sd: S.hipstr(sd, lengths=lengths)),
        "mrhipstr": ("mrhipstr", "MrHIPSTR tree",
                     lambda sd: S.hipstr(sd, majority_rule=True, lengths=lengths)),
    }
    return [table[m] for m in methods]


def _rooting(args: argparse.Namespace, heads: Sequence[FileHead], methods: List[str]) -> bool:
    """Rooted when asked (--rooted), or when not told (no --unrooted) and every file marks
    its trees [&R]."""
    unrooted_files = [h.path for h in heads if h.rooting == "U"]
    if args.rooted:  # reading the files warns about [&U] marks
        return True
    if args.rooted is None and all(h.rooting == "R" for h in heads):
        return True
    needs = [m for m in methods if m in _ROOTED_METHODS]
    if needs:
        names = {m: "--" + m for m in _ROOTED_METHODS}
        if args.rooted is False:
            raise CommandError(f"{', '.join(names[m] for m in needs)} cannot be combined "
                               "with --unrooted: they summarise rooted trees")
        if unrooted_files:
            why = f"{unrooted_files[0]} marks its trees [&U] (unrooted)"
        else:
            unmarked = [h.path for h in heads if h.rooting is None]
            why = f"{unmarked[0]} does not mark its trees [&R]"
        verb = "needs" if len(needs) == 1 else "need"
        raise CommandError(f"{', '.join(names[m] for m in needs)} {verb} rooted trees, but "
                           f"{why}; give --rooted if the trees are rooted")
    return False


def _taxon_order(ts: TreeSet, leaf_names: Sequence[str]) -> List[int]:
    """Leaf indices in the order of the first file's translate table (by its numbers when
    they are numbers), else in name order: how output files number the taxa."""
    table = ts.translate_maps[ts.map_indices[0]] if len(ts) else {}
    index = {name: i for i, name in enumerate(leaf_names)}
    if table and set(table.values()) == set(leaf_names) and len(table) == len(leaf_names):
        keys = list(table)
        if all(k.isdigit() for k in keys):
            keys.sort(key=int)
        return [index[table[k]] for k in keys]
    return list(range(len(leaf_names)))


def _outgroup(name: Optional[str], leaf_names: Tuple[str, ...], order: List[int]) -> int:
    if name is None:
        return order[0]
    if name not in leaf_names:
        raise CommandError(f"--outgroup {name}: no such taxon (the taxa are "
                           f"{', '.join(leaf_names[:5])}{', ...' if len(leaf_names) > 5 else ''})")
    return leaf_names.index(name)


def _read_target(path: str, sd: SplitData) -> TargetTree:
    from ..analyses.summaries import annotate as A
    from ..reading.first import read_first_tree

    try:
        name, text, translate = read_first_tree(path)
        return A.target_from_newick(text, {n: i for i, n in enumerate(sd.leaf_names)},
                                    translate, name=f"--target {path}")
    except (TreeFileError, OSError, ValueError) as exc:
        raise CommandError(str(exc)) from None


def _annotate(ctx: Context, args: argparse.Namespace, ts: TreeSet, sd: SplitData,
              trees: NamedTrees, target: Optional[TargetTree]) -> Dict[str, AnnotatedTree]:
    """Heights and annotations for every summary tree (and the --target tree), from one
    more pass over the trees."""
    from ..analyses.summaries import annotate as A

    if not sd.rooted:
        raise CommandError("--heights needs rooted trees, but these are read as unrooted: "
                           "give --rooted, or use trees marked [&R] in the file")
    leaf_index = {name: i for i, name in enumerate(sd.leaf_names)}
    targets = []
    try:
        for key, tree in trees:
            if tree.tree_index is not None:  # a sample tree: its clades, its own heights
                targets.append(A.target_from_table(sd, tree.tree_index))
            elif args.heights == "keep":
                raise CommandError(f"--heights keep keeps the heights of a sample tree, but "
                                   f"the {_title(tree)} is none: use --heights mean, median "
                                   "or ca with it")
            else:
                targets.append(A.target_from_clades(cast(np.ndarray, tree.membership)))
        if target is not None:
            if args.heights == "keep" and target.heights is None:
                raise CommandError(f"--target {args.target} has no branch lengths to keep: "
                                   "use --heights mean, median or ca with it")
            targets.append(target)
        annotated = ts.node_comments  # as the reading saw them, else from the texts
        if annotated is None:
            with ctx.phase("looking for node annotations", total=len(ts), unit="trees") as ph:
                annotated = _has_node_annotations(ts, ph.advance)
        with ctx.phase(f"annotating ({args.heights} heights)", total=len(ts),
                       unit="trees") as ph:
            if annotated:  # what the split table does not keep: from the texts
                done = A.annotate(targets, ts.newicks(), leaf_index,
                                  lambda i: ts.translate_maps[ts.map_indices[i]],
                                  args.heights, args.limit, names=ts.names,
                                  advance=ph.advance)
            else:
                _require_lengths(sd)
                done = A.annotate_splits(targets, sd, args.heights, args.limit,
                                         advance=ph.advance)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    titles = [_title(tree) for _, tree in trees] + ["--target tree"]
    partial = sorted({k for at in done for k in at.partial})
    if partial:
        ctx.warn(f"node annotation{'s' if len(partial) > 1 else ''} {', '.join(partial)} "
                 "missing in some trees on nodes where others give "
                 f"{'them' if len(partial) > 1 else 'it'}: summarised over the trees that do")
    for title, at in zip(titles, done):
        if at.negative_branches:
            ctx.warn(f"{title}: {counted(at.negative_branches, 'negative branch length')}"
                     f" with --heights {args.heights} (a node above its parent, as "
                     "TreeAnnotator allows)")
    keys = [key for key, _ in trees] + ["target"]
    return dict(zip(keys, done))


def _has_node_annotations(ts: TreeSet, advance: Callable[[int], None]) -> bool:
    """Whether any tree carries a ``[&...]`` comment inside its Newick (on a node)."""
    for i, text in enumerate(ts.newicks(), 1):
        if "[&" in text[text.find("("):]:
            return True
        if i % 1024 == 0:
            advance(1024)
    return False


def _require_lengths(sd: SplitData) -> None:
    """The split data write a missing length as 0.0: a tree whose lengths are all zero
    is taken to have none, and has no heights to give."""
    lengths = cast(np.ndarray, sd.lengths)
    per_tree = np.diff(sd.indptr)
    some = np.logical_or.reduceat(lengths != 0.0, sd.indptr[:-1]) \
        if len(lengths) else np.zeros(sd.n_trees, dtype=bool)
    bare = np.flatnonzero(~some & (per_tree > 0))
    if len(bare):
        t = int(bare[0])
        raise CommandError(f"node heights need branch lengths, but {len(bare)} of the "
                           f"{sd.n_trees} trees have none; the first is tree {t}, "
                           f"{sd.tree_names[t]!r}")


# ----------------------------------------------------------------------------- printing


def _title(tree: SummaryTree) -> str:
    if tree.method == "majority-rule consensus":
        return f"{tree.method} ({100 * cast(float, tree.settings['threshold']):g}%)"
    if tree.method == "MCC":
        return f"MCC tree ({tree.tree_name})"
    return tree.method


def _describe(tree: SummaryTree, sd: SplitData) -> str:
    n_full = len(sd.leaf_names) - (2 if tree.rooted else 3)
    parts = [f"{tree.n_clades} of {n_full} {'clades' if tree.rooted else 'splits'}"]
    if tree.score is not None:
        parts.append(f"{tree.score_name} {tree.score!r}")
    if tree.log_probability is not None and tree.score_name != "log CCD1 probability":
        parts.append(f"log probability {tree.log_probability!r}")
    if tree.tree_index is not None:
        parts.append(f"sample tree {tree.tree_name!r} (index {tree.tree_index})")
    return ", ".join(parts)


def _print_summary(ctx: Context, ts: TreeSet, sd: SplitData, trees: NamedTrees,
                   table: TopologyTable, order: List[int], outgroup: int,
                   annotated: Dict[str, AnnotatedTree]) -> None:
    mode = "rooted clades" if sd.rooted else "unrooted splits"
    if sd.rooted and ctx.args.rooted is None:
        mode += ", as the files mark their trees [&R]"
    files = counted(len(ts.files), "file")
    facts = (f"{counted(sd.n_trees, 'tree')} from {files}, "
             f"{counted(len(sd.leaf_names), 'taxon')}, {int(sd.nontrivial().sum())} distinct "
             f"non-trivial {'clades' if sd.rooted else 'splits'}")
    out = [f"kestrilune summarize ({mode}): {facts}"]
    if len(out[0]) > 80:  # the facts on a line of their own
        out = [f"kestrilune summarize ({mode}):", f"  {facts}"]
    for f in ts.files:
        out.append(f"  {f.label}: {counted(f.n_trees, 'tree')}, burn-in {f.burnin}, "
                   f"used {f.n_used}")
    labels = _labels(sd.leaf_names)
    for _, tree in trees:
        out.append(f"{_title(tree)}: {_describe(tree, sd)}")
        out.append("  " + tree.to_newick(labels, outgroup=outgroup, lengths=False,
                                         precision=2))
    shown = min(len(table), _SHOWN_TOPOLOGIES)
    out.append(f"topologies: {len(table)} distinct; the {100 * table.credible_mass:g}% "
               f"credible set holds {table.n_credible}")
    for k in range(shown):
        out.append(f"  {k + 1}: p = {table.probabilities[k]:.6f}, P = {table.cumulative[k]:.6f}"
                   f" ({counted(int(table.counts[k]), 'tree')}, first "
                   f"{sd.tree_names[table.first_tree[k]]!r})")
    if annotated.get("target") is not None:
        at = annotated["target"]
        out.append(f"--target tree ({ctx.args.target}): annotated from "
                   f"{counted(at.n_trees, 'tree')}, {ctx.args.heights} heights")
    ctx.print("\n".join(out))


def _labels(leaf_names: Sequence[str]) -> List[str]:
    from ..analyses.summaries import newick_label

    return [newick_label(n) for n in leaf_names]


# ----------------------------------------------------------------------------- writing


def _tree_comment(tree: SummaryTree) -> str:
    """A BEAST-style tree comment: what the tree is and its score."""
    items = []
    if tree.score is not None:
        items.append(f"{tree.score_name.replace(' ', '_')}={tree.score!r}")  # type: ignore[union-attr]  # named with its score
    if tree.log_probability is not None:
        items.append(f"log_probability={tree.log_probability!r}")
    if tree.tree_name is not None:
        items.append(f"sample_tree=\"{tree.tree_name}\"")
    return f" [&{','.join(items)}]" if items else ""


def _convergence_keys(ctx: Context, sd: SplitData, trees: NamedTrees,
                      annotated: Dict[str, AnnotatedTree]) -> Dict[int, Tuple[float, float]]:
    """(SDSF, split ESS) of every split of the trees written, by split id (see
    :func:`~kestrilune_tools.analyses.converge.splitfreq.split_convergence`); the annotated
    trees get them as ``sdsf`` and ``split_ess`` after ``posterior``."""
    from ..analyses.converge.splitfreq import split_convergence
    from ..analyses.summaries import annotate as A

    ids: Set[int] = set()
    for _, tree in trees:
        ids.update(int(i) for i in tree.split_ids)
    id_of: Dict[int, int] = {}
    if annotated:
        id_of = A.split_ids_of(sd, [m for at in annotated.values() for m in at.target.masks])
        ids.update(id_of.values())
    order = sorted(ids)
    with ctx.phase("split convergence per node"):
        sdsf, ess = split_convergence(sd, order)
    values = {i: (float(a), float(b)) for i, a, b in zip(order, sdsf, ess)}
    for at in annotated.values():
        for m, notes in zip(at.target.masks, at.annotations):
            got = values.get(id_of.get(m, -1))
            if got is None or "posterior" not in notes:
                continue
            keep = list(notes.items())
            notes.clear()
            for k, v in keep:
                notes[k] = v
                if k == "posterior":
                    notes.update({name: x for name, x in zip(("sdsf", "split_ess"), got)
                                  if not math.isnan(x)})
    return values


def _keys_text(value: Optional[Tuple[float, float]], sdsf: bool = True) -> str:
    if value is None:
        return ""
    pairs = zip(("sdsf", "split_ess"), value) if sdsf else [("split_ess", value[1])]
    return ",".join(f"{name}={x!r}" for name, x in pairs if not math.isnan(x))


def _keyed_newick(key: str, tree: SummaryTree, labels: Sequence[str],
                  annotated: Dict[str, AnnotatedTree], sd: SplitData, outgroup: int,
                  support_labels: bool = False,
                  conv: Optional[Dict[int, Tuple[float, float]]] = None) -> str:
    """A summary tree as the trees file holds it: TreeAnnotator's keys with --heights,
    sumt's on a consensus, else the support; with several runs, each node's convergence."""
    from ..analyses.summaries.sumt import sumt_keys

    at = annotated.get(key)
    if at is not None:
        return at.to_newick(labels, support_labels)
    # the SDSF beside sumt's keys would repeat its prob_stddev
    sumt = "consensus" in tree.method
    extra = [_keys_text(conv.get(int(i)), not sumt) for i in tree.split_ids] \
        if conv else None
    if sumt:  # as MrBayes' sumt writes it
        return sumt_keys(tree, sd, extra).newick(labels, outgroup, support_labels)
    return tree.to_newick(labels, outgroup=outgroup, support_labels=support_labels,
                          posterior_key=tree.rooted, extra=extra)


def _write_trees(tmp: str, path: str, trees: NamedTrees, order: List[int], outgroup: int,
                 ts: TreeSet, annotated: Dict[str, AnnotatedTree], sd: SplitData,
                 support_labels: bool = False,
                 conv: Optional[Dict[int, Tuple[float, float]]] = None) -> None:
    leaf_names = sd.leaf_names
    rooting = "[&R]" if sd.rooted else "[&U]"
    target = annotated.get("target")
    from ..analyses.summaries import newick_label

    def text_of(key: str, tree: SummaryTree, labels: List[str]) -> str:
        return _keyed_newick(key, tree, labels, annotated, sd, outgroup, support_labels,
                             conv)

    with open(tmp, "w", encoding="utf-8", newline="\n") as fh:
        if path.lower().endswith(_NEWICK_SUFFIXES):
            labels = _labels(leaf_names)
            for key, tree in trees:
                fh.write(text_of(key, tree, labels) + "\n")
            if target is not None:
                fh.write(target.to_newick(labels, support_labels) + "\n")
            return
        number = {leaf: str(k + 1) for k, leaf in enumerate(order)}
        labels = [number[i] for i in range(len(leaf_names))]
        fh.write("#NEXUS\n")
        fh.write(f"[written by kestrilune summarize from {counted(len(ts), 'tree')} of "
                 f"{', '.join(f.label for f in ts.files)}]\n")
        fh.write(f"begin taxa;\n\tdimensions ntax={len(leaf_names)};\n\ttaxlabels\n")
        for leaf in order:
            fh.write(f"\t\t{newick_label(leaf_names[leaf])}\n")
        fh.write("\t\t;\nend;\n\nbegin trees;\n\ttranslate\n")
        for k, leaf in enumerate(order):
            sep = "," if k + 1 < len(order) else ""
            fh.write(f"\t\t{k + 1}\t{newick_label(leaf_names[leaf])}{sep}\n")
        fh.write("\t\t;\n")
        for name, tree in trees:
            text = text_of(name, tree, labels)
            fh.write(f"\ttree {name}{_tree_comment(tree)} = {rooting} {text}\n")
        if target is not None:
            fh.write(f"\ttree target = {rooting} {target.to_newick(labels, support_labels)}\n")
        fh.write("end;\n")


def _write_table(tmp: str, table: TopologyTable, newicks: List[str], ts: TreeSet,
                 sd: SplitData) -> None:
    runs = [f.label for f in ts.files]
    with open(tmp, "w", encoding="utf-8", newline="") as fh:
        w = csv.writer(fh, delimiter="\t", lineterminator="\n")
        w.writerow(["rank", "count", "probability", "cumulative", "credible_set",
                    "first_tree"] + [f"count_{r}" for r in runs] + ["topology"])
        for k in range(len(table)):
            w.writerow([k + 1, int(table.counts[k]), repr(float(table.probabilities[k])),
                        repr(float(table.cumulative[k])), int(k < table.n_credible),
                        sd.tree_names[table.first_tree[k]]]
                       + table.group_counts[k].tolist() + [newicks[k]])


def _finite(x: Optional[float]) -> Optional[float]:
    return None if x is None or (isinstance(x, float) and not math.isfinite(x)) else x


def _write_json(tmp: str, args: argparse.Namespace, ts: TreeSet, sd: SplitData,
                trees: NamedTrees, table: TopologyTable, order: List[int], outgroup: int,
                annotated: Dict[str, AnnotatedTree],
                conv: Optional[Dict[int, Tuple[float, float]]] = None) -> None:
    def tree_dict(name: str, tree: SummaryTree) -> Dict[str, object]:
        d = {"name": name, "method": tree.method, "newick": tree.to_newick(outgroup=outgroup),
             "n_clades": tree.n_clades, "score": _finite(tree.score),
             "score_name": tree.score_name, "log_probability": _finite(tree.log_probability),
             "settings": tree.settings}
        if tree.tree_index is not None:
            d["sample_tree"] = {"index": tree.tree_index, "name": tree.tree_name,
                                "where": ts.locate(tree.tree_index)}
        # as the trees file holds it: every key, with taxon names
        d["annotated_newick"] = _keyed_newick(name, tree, _labels(sd.leaf_names), annotated,
                                              sd, outgroup, conv=conv)
        at = annotated.get(name)
        if at is not None:
            d["heights"] = at.heights_option
            d["negative_branches"] = at.negative_branches
        return d

    topologies = [{"rank": k + 1, "count": int(table.counts[k]),
                   "probability": float(table.probabilities[k]),
                   "cumulative": float(table.cumulative[k]),
                   "first_tree": sd.tree_names[table.first_tree[k]],
                   "count_per_run": table.group_counts[k].tolist()}
                  for k in range(table.n_credible)]
    doc: Dict[str, object] = {
        "settings": {"files": [f.path for f in ts.files], "burnin": args.burnin,
                     "burnin_per_file": [f.burnin for f in ts.files],
                     "used_per_file": [f.n_used for f in ts.files], "thin": args.thin,
                     "max_trees": args.max_trees, "rooted": sd.rooted,
                     "heights": args.heights, "limit": args.limit,
                     "lengths": not args.no_lengths,
                     "outgroup": sd.leaf_names[outgroup], "credible_mass": table.credible_mass},
        "n_trees": sd.n_trees, "taxa": [sd.leaf_names[i] for i in order],
        "trees": [tree_dict(name, tree) for name, tree in trees],
        "target": None if "target" not in annotated else {
            "path": args.target, "annotated_newick":
                annotated["target"].to_newick(_labels(sd.leaf_names)),
            "heights": args.heights, "negative_branches": annotated["target"].negative_branches},
        "topologies": {"n_distinct": len(table), "n_credible": table.n_credible,
                       "credible_set": topologies},
    }
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(doc, fh, indent=1, allow_nan=False, default=_plain)
        fh.write("\n")


def _plain(x: Any) -> Any:
    """JSON for NumPy scalars in settings."""
    if hasattr(x, "item"):
        return x.item()
    raise TypeError(f"not JSON: {type(x).__name__}")

