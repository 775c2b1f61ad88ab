"""Pictures (matplotlib, an optional dependency): ``plots`` (tree-space map, distance trace,
heatmap), ``converge`` (split frequencies and ASDSF), ``params`` (each logged parameter's
trace and density) and ``treeplot`` (summary trees)."""
