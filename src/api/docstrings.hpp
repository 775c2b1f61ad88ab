// Documentation of the six module functions. Each starts with the signature line, a line
// holding "--" and an empty line: the interpreter turns that into __text_signature__, so
// inspect.signature() works on the built-in functions.
#pragma once

#define KESTRILUNE_SIGNATURE(name) \
    name "(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)\n--\n\n"

#define KESTRILUNE_ARGS_HEAD                                                        \
    "Args:\n"                                                                       \
    "    names: Tree identifiers (one per newick).\n"                               \
    "    newick_iter: Python iterator yielding newick strings.\n"                   \
    "    translate_maps: List of translate maps (number → taxon name).\n"           \
    "    map_indices: Per-tree index into translate_maps.\n"                        \
    "    rooted: If True compare clades; if False compare bipartitions (default: False).\n"

#define KESTRILUNE_PROGRESS_SHORT                                                      \
    "    progress: Optional ``kestrilune.ProgressCounter`` whose ``value()``,\n"       \
    "        ``total()`` and ``fraction()`` reflect live progress, typically polled\n" \
    "        from another Python thread. See ``pairwise_rf_from_newick_iter`` for\n"   \
    "        details.\n"

#define KESTRILUNE_RAISES \
    "Raises:\n"           \
    "    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.\n"

namespace kestrilune::api::docs {

inline constexpr const char* kRf =
    KESTRILUNE_SIGNATURE("pairwise_rf_from_newick_iter")
    "Compute pairwise Robinson-Foulds distances from a lazy Python iterator of newick strings.\n"
    "\n" KESTRILUNE_ARGS_HEAD
    "    progress: Optional ``kestrilune.ProgressCounter``. Create one, hand it in, and\n"
    "        read its ``value()``, ``total()`` and ``fraction()`` from any other Python\n"
    "        thread. While the counter is in use the interpreter lock (GIL) is released\n"
    "        for the duration of the pairwise loop, so a polling thread runs unimpeded.\n"
    "        With None (the default) the call has no progress-related overhead and the\n"
    "        lock stays held throughout.\n"
    "\n"
    "Returns:\n"
    "    (tree_names, rf_matrix_bytes) — rf_matrix_bytes is flat u32 bytes (row-major n×n).\n"
    "\n" KESTRILUNE_RAISES;

inline constexpr const char* kWrf =
    KESTRILUNE_SIGNATURE("pairwise_wrf_from_newick_iter")
    "Compute pairwise Weighted Robinson-Foulds distances from a lazy Python iterator.\n"
    "\n" KESTRILUNE_ARGS_HEAD KESTRILUNE_PROGRESS_SHORT
    "\n"
    "Returns:\n"
    "    (tree_names, distance_matrix) — a 2D list of Weighted RF distances.\n"
    "\n" KESTRILUNE_RAISES;

inline constexpr const char* kKf =
    KESTRILUNE_SIGNATURE("pairwise_kf_from_newick_iter")
    "Compute pairwise Kuhner-Felsenstein (Branch Score) distances from a lazy Python iterator.\n"
    "\n" KESTRILUNE_ARGS_HEAD KESTRILUNE_PROGRESS_SHORT
    "\n"
    "Returns:\n"
    "    (tree_names, distance_matrix) — a 2D list of KF distances.\n"
    "\n" KESTRILUNE_RAISES;

inline constexpr const char* kRfSnapshots =
    KESTRILUNE_SIGNATURE("pairwise_rf_with_snapshots_from_newick_iter")
    "Compute pairwise RF distances and export binary tree snapshots in a single pass.\n"
    "\n"
    "Parses each newick once, building both the RF distance matrix and a binary\n"
    "presence matrix of every bipartition (clade when rooted) in every tree.\n"
    "\n"
    "Presence matrix format\n"
    "----------------------\n"
    "``presence_bytes`` holds n_trees × n_bipartitions bytes in row-major order: row t is\n"
    "tree t in input order, and a byte is 1 where the tree has the bipartition, 0\n"
    "elsewhere. Columns are in ascending bitset order of the bipartitions, which depends\n"
    "only on the set of distinct bipartitions, so it is stable across calls on the same\n"
    "tree set whatever the order of the trees::\n"
    "\n"
    "    presence = np.frombuffer(presence_bytes, dtype=np.uint8).reshape(n_trees, n_bip)\n"
    "\n"
    "Bipartition clade bytes\n"
    "-----------------------\n"
    "``bipartition_clade_bytes`` holds one row of ceil(len(leaf_names) / 8) bytes per\n"
    "column of the presence matrix, in the same order. Leaf i of a row is bit i % 8 of\n"
    "byte i // 8, least significant bit first (little-endian bit order); a 1 means\n"
    "``leaf_names[i]`` is on the bipartition's side (in the clade, when rooted)::\n"
    "\n"
    "    row_bytes = (len(leaf_names) + 7) // 8\n"
    "    bits = np.unpackbits(\n"
    "        np.frombuffer(bipartition_clade_bytes, dtype=np.uint8).reshape(n_bip, row_bytes),\n"
    "        axis=1, bitorder=\"little\")[:, :len(leaf_names)].astype(bool)\n"
    "    labels = [\"|\".join(np.array(leaf_names)[row]) for row in bits]\n"
    "\n" KESTRILUNE_ARGS_HEAD KESTRILUNE_PROGRESS_SHORT
    "\n"
    "Returns:\n"
    "    6-tuple (tree_names, rf_matrix_bytes, leaf_names, n_bipartitions, presence_bytes,\n"
    "    bipartition_clade_bytes).\n"
    "\n" KESTRILUNE_RAISES;

#define KESTRILUNE_BRANCH_LENGTH_FORMAT                                                   \
    "Branch-length matrix format\n"                                                      \
    "---------------------------\n"                                                      \
    "``branch_length_bytes`` holds an array of shape ``(n_trees, n_bip)`` of row-major\n" \
    "little-endian ``float64``: row t is tree t in input order, and a cell is the\n"     \
    "tree's branch length for that bipartition, 0.0 for an absent edge. Pendant edges\n" \
    "are present in every tree. The column order equals that of\n"                      \
    "``bipartition_clade_bytes``::\n"                                                   \
    "\n"                                                                                  \
    "    lengths = np.frombuffer(branch_length_bytes, dtype=\"<f8\").reshape(n_trees, n_bip)\n" \
    "    ref = lengths[0]\n"                                                             \
    "    wrf_trace = np.abs(lengths - ref).sum(axis=1)\n"                                 \
    "    kf_trace = np.sqrt(((lengths - ref) ** 2).sum(axis=1))\n"

inline constexpr const char* kWrfSnapshots =
    KESTRILUNE_SIGNATURE("pairwise_wrf_with_snapshots_from_newick_iter")
    "Compute pairwise WRF distances and export a branch-length matrix in a single pass.\n"
    "\n"
    "Parses each newick once, building both the pairwise WRF distance matrix and a\n"
    "per-edge branch-length matrix of every bipartition (clade when rooted) in every tree.\n"
    "\n" KESTRILUNE_BRANCH_LENGTH_FORMAT
    "\n" KESTRILUNE_ARGS_HEAD KESTRILUNE_PROGRESS_SHORT
    "\n"
    "Returns:\n"
    "    6-tuple (tree_names, wrf_matrix_bytes, leaf_names, n_bip, branch_length_bytes,\n"
    "    bipartition_clade_bytes). wrf_matrix_bytes is flat float64 bytes (row-major n×n).\n"
    "\n" KESTRILUNE_RAISES;

inline constexpr const char* kKfSnapshots =
    KESTRILUNE_SIGNATURE("pairwise_kf_with_snapshots_from_newick_iter")
    "Compute pairwise KF distances and export a branch-length matrix in a single pass.\n"
    "\n"
    "Identical to `pairwise_wrf_with_snapshots_from_newick_iter` except the distance\n"
    "matrix uses the Kuhner–Felsenstein (Branch Score) metric instead of Weighted RF.\n"
    "The branch-length matrix is metric-agnostic and identical in both functions.\n"
    "\n" KESTRILUNE_BRANCH_LENGTH_FORMAT
    "\n" KESTRILUNE_ARGS_HEAD KESTRILUNE_PROGRESS_SHORT
    "\n"
    "Returns:\n"
    "    6-tuple (tree_names, kf_matrix_bytes, leaf_names, n_bip, branch_length_bytes,\n"
    "    bipartition_clade_bytes). kf_matrix_bytes is flat float64 bytes (row-major n×n).\n"
    "\n" KESTRILUNE_RAISES;

}  // namespace kestrilune::api::docs

#undef KESTRILUNE_BRANCH_LENGTH_FORMAT
#undef KESTRILUNE_RAISES
#undef KESTRILUNE_PROGRESS_SHORT
#undef KESTRILUNE_ARGS_HEAD
#undef KESTRILUNE_SIGNATURE
