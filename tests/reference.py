"""A slow, obvious reference for the module's results, used as a test oracle.

It parses plain Newick (names, lengths, nesting; no quotes or comments), numbers nodes in
creation order (a group when its "(" is read, a leaf when the "," or ")" after it is read),
reduces each tree to canonical leaf sets held as Python ints, interns them in order of
first appearance and computes RF, WRF and KF with the same summation order as the module,
so that float results can be compared bit for bit.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field

MASK64 = (1 << 64) - 1


@dataclass
class RefNode:
    parent: int | None
    children: list = field(default_factory=list)
    name: str | None = None
    length: float | None = None


def parse_newick(text: str) -> list:
    nodes: list = []
    stack: list = []
    current = None
    name = ""
    length = ""
    in_length = False

    def complete():
        nonlocal current, name, length, in_length
        if current is None:
            nodes.append(RefNode(parent=stack[-1]))
            current = len(nodes) - 1
            nodes[stack[-1]].children.append(current)
        if name:
            nodes[current].name = name
        nodes[current].length = float(length) if length else None
        name, length, in_length = "", "", False

    for c in text:
        if c.isspace():
            continue
        if c == "(":
            nodes.append(RefNode(parent=stack[-1] if stack else None))
            if stack:
                nodes[stack[-1]].children.append(len(nodes) - 1)
            stack.append(len(nodes) - 1)
        elif c == ",":
            complete()
            current = None
        elif c == ")":
            complete()
            current = stack.pop()
        elif c == ";":
            if name:
                nodes[current].name = name
            break
        elif c == ":":
            in_length = True
        elif in_length:
            length += c
        else:
            name += c
    return nodes


def _words_key(bits: int, n_words: int) -> tuple:
    # Ascending Bitset order: word 0 decides first, each word compared as unsigned.
    return tuple((bits >> (64 * w)) & MASK64 for w in range(n_words))


@dataclass
class RefSnapshot:
    partitions: list  # ints, ascending Bitset order
    lengths: list
    leaf_names: list
    n_words: int


def snapshot(nodes: list, translate: dict | None, rooted: bool) -> RefSnapshot:
    leaves = [i for i, node in enumerate(nodes) if not node.children]

    def leaf_name(i):
        label = nodes[i].name
        if translate and label is not None:
            return translate.get(label, "")
        return label or ""

    order = sorted(leaves, key=lambda i: (leaf_name(i).encode(), i))
    index = {node_id: pos for pos, node_id in enumerate(order)}
    n_leaves = len(order)
    n_words = (n_leaves + 63) // 64
    full = (1 << n_leaves) - 1

    bits = [0] * len(nodes)
    for i in reversed(range(len(nodes))):  # a parent always has a smaller id than its child
        if not nodes[i].children:
            bits[i] |= 1 << index[i]
        if nodes[i].parent is not None:
            bits[nodes[i].parent] |= bits[i]

    pairs = []
    for i in range(1, len(nodes)):  # node 0 is the root; ids ascending
        b = bits[i]
        length = nodes[i].length if nodes[i].length is not None else 0.0
        if not rooted:
            count = bin(b).count("1")
            if count == 1:
                pass
            elif count == n_leaves:
                continue
            elif count == n_leaves - 1 or b & 1:
                b = full & ~b
        pairs.append((b, length))
    pairs.sort(key=lambda p: _words_key(p[0], n_words))  # stable
    partitions, lengths = [], []
    for b, length in pairs:
        if partitions and partitions[-1] == b:
            lengths[-1] = lengths[-1] + length
        else:
            partitions.append(b)
            lengths.append(length)
    return RefSnapshot(partitions, lengths, [leaf_name(i) for i in order], n_words)


@dataclass
class RefSnapshots:
    trees: list  # per tree: dict id -> length
    bips: list  # id -> int
    leaf_names: list
    n_words: int


def collect(newicks: list, rooted: bool, translate: dict | None = None) -> RefSnapshots:
    snaps = [snapshot(parse_newick(t), translate, rooted) for t in newicks]
    ids: dict = {}
    bips: list = []
    trees = []
    for s in snaps:
        tree = {}
        for b, length in zip(s.partitions, s.lengths):
            if b not in ids:
                ids[b] = len(bips)
                bips.append(b)
            tree[ids[b]] = length
        trees.append(dict(sorted(tree.items())))
    return RefSnapshots(trees, bips, sorted(n for n in snaps[0].leaf_names if n), snaps[0].n_words)


def rf_matrix(s: RefSnapshots) -> list:
    sets = [set(t) for t in s.trees]
    return [[len(a ^ b) for b in sets] for a in sets]


def _dense(s: RefSnapshots) -> list:
    m = len(s.bips)
    rows = []
    for tree in s.trees:
        row = [0.0] * m
        for k, length in tree.items():
            row[k] = length
        rows.append(row)
    return rows


def wrf_matrix(s: RefSnapshots) -> list:
    rows = _dense(s)
    n = len(rows)
    out = [[0.0] * n for _ in range(n)]
    for i in range(n):
        for j in range(i + 1, n):
            acc = -0.0
            for a, b in zip(rows[i], rows[j]):
                acc += abs(a - b)
            out[i][j] = out[j][i] = acc
    return out


def kf_matrix(s: RefSnapshots) -> list:
    rows = _dense(s)
    n = len(rows)
    norms = []
    for row in rows:
        acc = -0.0
        for a in row:
            acc += a * a
        norms.append(acc)
    out = [[0.0] * n for _ in range(n)]
    for i in range(n):
        for j in range(i + 1, n):
            dot = -0.0
            for a, b in zip(rows[i], rows[j]):
                dot += a * b
            q = (norms[i] + norms[j]) - (dot + dot)
            cell = math.sqrt(q) if q > 0.0 else 0.0  # max(q, +0.0), NaN -> +0.0
            out[i][j] = out[j][i] = cell
    return out


def columns(s: RefSnapshots) -> list:
    """Ids in column order: ascending Bitset order of their leaf sets."""
    return sorted(range(len(s.bips)), key=lambda k: _words_key(s.bips[k], s.n_words))


# --- random trees -----------------------------------------------------------------------


def random_newick(
    rng: random.Random,
    taxa: list,
    *,
    max_children: int = 2,
    single_child: float = 0.0,
    missing_length: float = 0.0,
) -> str:
    """A random tree over `taxa` (shuffled), with up to `max_children` children per group,
    a chance of single-child groups and of missing branch lengths."""
    taxa = list(taxa)
    rng.shuffle(taxa)

    def length() -> str:
        if rng.random() < missing_length:
            return ""
        return ":" + repr(round(rng.uniform(0.001, 2.0), rng.choice([1, 3, 17])))

    def build(group: list, top: bool) -> str:
        if len(group) == 1 and (top or rng.random() >= single_child):
            return group[0] + ("" if top else length())
        if len(group) == 1:
            return "(" + group[0] + length() + ")" + length()
        k = rng.randint(2, min(max_children, len(group)))
        cuts = sorted(rng.sample(range(1, len(group)), k - 1))
        parts = [group[a:b] for a, b in zip([0] + cuts, cuts + [len(group)])]
        inner = ",".join(build(p, False) for p in parts)
        if rng.random() < single_child and not top:
            inner = "(" + inner + ")" + length()
        return "(" + inner + ")" + ("" if top else length())

    return build(taxa, True) + ";"


# --- random tree sets with awkward lengths ----------------------------------------------

SPECIAL_LENGTHS = ["nan", "inf", "-inf", "-0", "0", "-1.5", "1e-300", "5e-324", "1e-160",
                   "1.5e154", "1e300"]


def with_special_lengths(rng: random.Random, newick: str, rate: float) -> str:
    """Replaces each written branch length by one of SPECIAL_LENGTHS with chance `rate`."""
    out = []
    for part in newick.split(":"):
        if out and rng.random() < rate:
            end = len(part)
            for stop in ",);":
                at = part.find(stop)
                if at != -1:
                    end = min(end, at)
            part = rng.choice(SPECIAL_LENGTHS) + part[end:]
        out.append(part)
    return ":".join(out)


@dataclass
class RandomSet:
    newicks: list
    rooted: bool
    translate: dict | None  # labels "1".."N" to taxon names, or None for plain names


def random_tree_set(rng: random.Random, *, special_rate: float = 0.0) -> RandomSet:
    """A random call: 2 to 8 trees over 3 to 140 taxa (past the 64- and 128-leaf word
    boundaries), multifurcations, single-child groups, missing lengths, either mode, and
    with `special_rate` > 0 some lengths replaced by signed zeros, infinities, NaN, tiny and
    huge values. Large taxon sets get fewer trees, to keep the reference quick."""
    n_taxa = rng.choice([3, 4, 5, 9, 17, 40, 64, 65, 100, 129, 140])
    n_trees = rng.randint(2, 8 if n_taxa <= 65 else 4)
    translate = None
    if rng.random() < 0.3:
        # Numbers in the trees, names through the map; the name order differs from the
        # number order.
        names = [f"taxon_{i:03d}" for i in range(n_taxa)]
        rng.shuffle(names)
        translate = {str(i + 1): name for i, name in enumerate(names)}
        taxa = list(translate)
    else:
        taxa = [f"x{i}" for i in range(n_taxa)]
    options = dict(max_children=rng.choice([2, 2, 3, 6]), single_child=rng.choice([0, 0.15]),
                   missing_length=rng.choice([0, 0, 0.3]))
    newicks = [random_newick(rng, taxa, **options) for _ in range(n_trees)]
    if special_rate > 0:
        newicks = [with_special_lengths(rng, t, special_rate) for t in newicks]
    return RandomSet(newicks, rng.random() < 0.5, translate)
