#!/usr/bin/env python3
"""Write the trees of tree files in the plain form that bench/core_bench reads.

    python bench/dump_trees.py run1.t [run2.t ...] -o trees.txt

Output, UTF-8 text: a line ``maps M``, then for each translate map a line ``map K``
followed by K lines ``key<TAB>value``; then ``trees N`` followed by N lines
``map_index<TAB>newick``. The Newick strings are exactly what the module would be given
(annotations and all); the files are read with kestrilune_tools.read_trees.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
from kestrilune_tools.reading import read_trees  # noqa: E402


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", nargs="+")
    ap.add_argument("-o", "--output", required=True)
    ap.add_argument("--max-trees", type=int, default=None)
    args = ap.parse_args(argv)
    ts = read_trees(args.files, max_trees=args.max_trees)
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        out.write(f"maps {len(ts.translate_maps)}\n")
        for m in ts.translate_maps:
            out.write(f"map {len(m)}\n")
            for k, v in m.items():
                out.write(f"{k}\t{v}\n")
        newicks = list(ts.newicks())
        out.write(f"trees {len(newicks)}\n")
        for idx, text in zip(ts.map_indices, newicks):
            if "\n" in text or "\t" in text:
                text = text.replace("\n", " ").replace("\t", " ")
            out.write(f"{idx}\t{text}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
