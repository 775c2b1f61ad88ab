"""Pictures (matplotlib, an optional dependency): ``plots`` (tree-space map, distance trace,
heatmap), ``converge`` (split frequencies and ASDSF) and ``treeplot`` (summary trees)."""
