#!/usr/bin/env python3
"""Write an MCMC-like sample of unrooted trees as a MrBayes-style NEXUS file.

The sample is a random walk through tree space: a random bifurcating start
tree with random branch lengths, then one tree per step, each step applying
``--moves-per-step`` topology moves (NNI, or SPR with probability
``--spr-prob``) and a multiplicative lognormal jitter of every branch length.
Consecutive trees therefore share most of their splits, as the trees of a
real posterior sample do, while the whole sample still holds many distinct
splits.

Output format (what MrBayes writes):

    #NEXUS
    begin trees;
       translate
           1 t1,
           ...
           T tT;
       tree gen.0 = [&U] (12:1.234560e-02,(3:...,...):...,7:...);
       ...
    end;

Trees are unrooted and written with a three-way root (``--rooted``: rooted and
binary, marked ``[&R]``), leaves as the numbers 1..T of the translate block,
lengths as ``%.6e``.  Tree K is named
``gen.K`` (K counts steps, not MCMC generations).

The output is a pure function of the arguments: the same seed writes the same
bytes.

Example:
    python bench/gen_trees.py --taxa 200 --trees 2000 --seed 1 -o sample.t
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np


class WalkTree:
    """A binary unrooted tree held as a tree rooted at an internal node.

    Nodes 0..T-1 are leaves (leaf i is taxon i+1), T..2T-3 internal nodes.
    The root has three children, every other internal node two, so every
    edge of the unrooted tree is the edge from exactly one non-root node to
    its parent, and ``length[v]`` is the length of that edge.
    """

    def __init__(self, n_taxa: int, rng: np.random.Generator, mean_length: float):
        if n_taxa < 4:
            raise ValueError("need at least 4 taxa")
        self.n_taxa = n_taxa
        n_nodes = 2 * n_taxa - 2
        self.parent = [-1] * n_nodes
        self.children: list[list[int]] = [[] for _ in range(n_nodes)]
        self.length = rng.exponential(mean_length, n_nodes)
        self.root = n_taxa
        self.rng = rng

        # Stepwise random addition: a star of three leaves, then each further
        # leaf (in random order) splits a uniformly chosen edge.
        order = rng.permutation(n_taxa).tolist()
        root = self.root
        for leaf in order[:3]:
            self._attach(leaf, root)
        edges = order[:3]  # non-root nodes, one per edge
        next_internal = n_taxa + 1
        picks = rng.integers(0, 1 << 62, size=n_taxa)
        for k, leaf in enumerate(order[3:]):
            target = edges[int(picks[k]) % len(edges)]
            mid = next_internal
            next_internal += 1
            self._split_edge(target, mid)
            self._attach(leaf, mid)
            edges.append(mid)
            edges.append(leaf)
        assert next_internal == n_nodes

    # --- structure edits -------------------------------------------------

    def _attach(self, child: int, parent: int) -> None:
        self.parent[child] = parent
        self.children[parent].append(child)

    def _replace_child(self, parent: int, old: int, new: int) -> None:
        kids = self.children[parent]
        kids[kids.index(old)] = new
        self.parent[new] = parent

    def _split_edge(self, below: int, mid: int) -> None:
        """Put node ``mid`` on the edge from ``below`` to its parent."""
        above = self.parent[below]
        self._replace_child(above, below, mid)
        self.children[mid] = [below]
        self.parent[below] = mid
        total = self.length[below]
        frac = self.rng.uniform(0.1, 0.9)
        self.length[mid] = total * frac
        self.length[below] = total * (1.0 - frac)

    def _subtree(self, v: int) -> list[int]:
        out = []
        stack = [v]
        while stack:
            u = stack.pop()
            out.append(u)
            stack.extend(self.children[u])
        return out

    # --- moves -----------------------------------------------------------

    def nni(self) -> None:
        """Swap a child of an internal non-root node with that node's sibling.

        Around the edge v-u (u = parent of v) the four subtrees are v's two
        children A, B, a sibling C of v, and the rest D; swapping A or B with
        C reaches both NNI neighbours of the edge.
        """
        rng = self.rng
        n = self.n_taxa
        v = n + 1 + int(rng.integers(0, n - 3))  # internal, not the root
        u = self.parent[v]
        siblings = [c for c in self.children[u] if c != v]
        a = self.children[v][int(rng.integers(0, 2))]
        c = siblings[int(rng.integers(0, len(siblings)))]
        self._replace_child(v, a, c)
        self._replace_child(u, c, a)

    def spr(self) -> None:
        """Prune a subtree and regraft it on an edge outside it.

        The pruned node p keeps its parent q; q leaves its place (its other
        child s takes it, with the two edge lengths added) and is put on the
        target edge, which it splits at a random point.  p's parent is never
        the root, so the root keeps its three children.
        """
        rng = self.rng
        n_nodes = len(self.parent)
        while True:
            p = int(rng.integers(0, n_nodes))
            if p == self.root or self.parent[p] == self.root:
                continue
            q = self.parent[p]
            s = next(c for c in self.children[q] if c != p)
            banned = set(self._subtree(p))
            banned.update((q, s, self.root))
            if len(banned) < n_nodes:
                break
        # Draw the target among the allowed edges.
        while True:
            x = int(rng.integers(0, n_nodes))
            if x not in banned:
                break
        g = self.parent[q]
        # Detach q: s takes its place under g.
        self._replace_child(g, q, s)
        self.length[s] += self.length[q]
        # Regraft q on the edge x -> parent(x).
        above = self.parent[x]
        self._replace_child(above, x, q)
        self.children[q] = [p, x]
        self.parent[x] = q
        total = self.length[x]
        frac = rng.uniform(0.1, 0.9)
        self.length[q] = total * frac
        self.length[x] = total * (1.0 - frac)

    def jitter(self, sigma: float, mean_length: float) -> None:
        # Lognormal factor with a weak pull of log(length) towards
        # log(mean_length), so lengths stay in a stationary range over
        # thousands of steps instead of drifting like a pure random walk.
        log_len = np.log(self.length)
        pull = 0.01 * (log_len - np.log(mean_length))
        self.length = np.exp(log_len - pull + self.rng.normal(0.0, sigma, log_len.shape[0]))

    # --- output ----------------------------------------------------------

    def newick(self, annotate: bool = False, rooted: bool = False) -> str:
        """Newick text with leaves as their taxon numbers and %.6e lengths; with
        ``annotate``, each length follows a BEAST-style ``[&rate=...]`` annotation.

        ``rooted`` joins the first two children of the three-way root into a clade (on a
        branch of half the mean start length, rate 0.5), which makes the tree rooted and
        binary.
        """
        lens = ["%.6e" % x for x in self.length.tolist()]
        if annotate:
            rates = (self.length / self.mean_length).tolist()
            lens = [f"[&rate={r!r}]{x}" for r, x in zip(rates, lens)]
        labels = [str(i + 1) for i in range(self.n_taxa)]
        n = self.n_taxa
        out: list[str] = []
        children = self.children
        # Iterative pre-order walk; a negative entry closes node ~entry.
        stack = [self.root]
        first = True
        while stack:
            v = stack.pop()
            if v < 0:
                w = ~v
                out.append(")")
                if w != self.root:
                    out.append(":")
                    out.append(lens[w])
                continue
            if not first and out[-1] != "(":
                out.append(",")
            first = False
            if v < n:
                out.append(labels[v])
                out.append(":")
                out.append(lens[v])
            else:
                out.append("(")
                stack.append(~v)
                stack.extend(reversed(children[v]))
        out.append(";")
        if rooted:
            depth, commas = 0, []
            for i, token in enumerate(out):
                depth += (token == "(") - (token == ")")
                if token == "," and depth == 1:
                    commas.append(i)
            second = commas[1]
            # With annotate, the new branch has its rate too, as BEAST gives both of the
            # root's branches one.
            rate = "[&rate=0.5]" if annotate else ""
            out[second:second] = [")", ":", rate + "%.6e" % (self.mean_length / 2)]
            out.insert(0, "(")
        return "".join(out)


def write_nexus(out, n_taxa: int, n_trees: int, seed: int, moves_per_step: int,
                spr_prob: float, jitter_sigma: float, mean_length: float,
                annotate: bool = False, rooted: bool = False,
                independent: bool = False) -> None:
    rng = np.random.default_rng(seed)
    tree = WalkTree(n_taxa, rng, mean_length)
    tree.mean_length = mean_length
    out.write("#NEXUS\n")
    out.write(f"[generated by bench/gen_trees.py --taxa {n_taxa} --trees {n_trees} "
              f"--seed {seed} --moves-per-step {moves_per_step} --spr-prob {spr_prob} "
              f"--jitter {jitter_sigma} --mean-length {mean_length}"
              f"{' --beast-annotations' if annotate else ''}"
              f"{' --rooted' if rooted else ''}"
              f"{' --independent' if independent else ''}]\n")
    out.write("begin trees;\n   translate\n")
    for i in range(1, n_taxa + 1):
        sep = ";" if i == n_taxa else ","
        out.write(f"{i:>8} t{i}{sep}\n")
    for k in range(n_trees):
        if k > 0 and independent:
            tree = WalkTree(n_taxa, rng, mean_length)
            tree.mean_length = mean_length
        elif k > 0:
            for _ in range(moves_per_step):
                if rng.random() < spr_prob:
                    tree.spr()
                else:
                    tree.nni()
            tree.jitter(jitter_sigma, mean_length)
        rooting = "[&R]" if rooted else "[&U]"
        if annotate:
            out.write(f"   tree STATE_{k} [&lnP={-1000.0 - float(tree.length.sum())!r}] = "
                      f"{rooting} ")
        else:
            out.write(f"   tree gen.{k} = {rooting} ")
        out.write(tree.newick(annotate, rooted))
        out.write("\n")
    out.write("end;\n")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--taxa", type=int, required=True, help="number of taxa (>= 4)")
    ap.add_argument("--trees", type=int, required=True, help="number of trees to write")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--moves-per-step", type=int, default=1,
                    help="topology moves between consecutive trees (default 1)")
    ap.add_argument("--spr-prob", type=float, default=0.1,
                    help="probability that a move is SPR rather than NNI (default 0.1)")
    ap.add_argument("--jitter", type=float, default=0.05,
                    help="sigma of the per-step lognormal length factor (default 0.05)")
    ap.add_argument("--mean-length", type=float, default=0.05,
                    help="mean of the exponential start lengths (default 0.05)")
    ap.add_argument("--beast-annotations", action="store_true",
                    help="BEAST-style [&...] annotations on every tree and branch")
    ap.add_argument("--rooted", action="store_true",
                    help="write rooted binary trees marked [&R] (the root's first two "
                         "children joined into a clade)")
    ap.add_argument("--independent", action="store_true",
                    help="draw every tree afresh (random stepwise addition, new lengths) "
                         "instead of walking: a diffuse set, nearly every split unique")
    ap.add_argument("-o", "--output", default="-", help="output path, - for stdout")
    args = ap.parse_args(argv)
    if args.taxa < 4:
        ap.error("--taxa must be at least 4")
    if args.trees < 1:
        ap.error("--trees must be at least 1")

    t0 = time.perf_counter()
    params = dict(n_taxa=args.taxa, n_trees=args.trees, seed=args.seed,
                  moves_per_step=args.moves_per_step, spr_prob=args.spr_prob,
                  jitter_sigma=args.jitter, mean_length=args.mean_length,
                  annotate=args.beast_annotations, rooted=args.rooted,
                  independent=args.independent)
    if args.output == "-":
        write_nexus(sys.stdout, **params)
    else:
        # Write under a temporary name so an interrupted run leaves no
        # truncated file behind under the final name.
        tmp = args.output + ".part"
        with open(tmp, "w", encoding="ascii", newline="\n") as fh:
            write_nexus(fh, **params)
        os.replace(tmp, args.output)
        print(f"wrote {args.trees} trees on {args.taxa} taxa to {args.output} "
              f"in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
