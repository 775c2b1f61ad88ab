"""Writes the seed corpora of the fuzz harnesses from real MCMC tree files.

    python fuzz/make_corpus.py MRBAYES_12TAXA.t MRBAYES_32TAXA.t BEAST_17TAXA.trees

The seeds committed in fuzz/corpus/ came from the MrBayes 3.2.7a samples of primates.nex
(12 taxa) and cynmix.nex (32 taxa) and the BEAST 1.10.4 Dengue sample (17 taxa), read
with kestrilune_tools.read_trees: one_tree/ holds single tree texts as the files
write them (translate numbers, [&U]/[&R], BEAST's per-node [&rate=...] annotations) plus a
few hand-written dialect cases; tree_set/ holds a few consecutive trees per line group;
split_table_bytes/ holds the byte form of the split tables of those tree sets (built by
kestrilune_tools.SplitTable, which needs the package installed).
"""

import hashlib
import sys
from pathlib import Path

from kestrilune_tools.table.engine import SplitTable
from kestrilune_tools.reading import read_trees

CORPUS = Path(__file__).parent / "corpus"

HAND_WRITTEN = [
    "((A:1,B:2)X:3,C:4);",
    "('a b':1,\"c,d\":2,(e[comment]:3,f:4e-3):.5);",
    "(A,B,(C,D)[&label=x]);",
    "((A,B),(C,D)):0.0;",
    "(A:inf,B:-nan,(C:1e308,D:-0.0):5e-324);",
    "(((((A))))),B;",
    "A;",
    "(1,2,(3,(4,5)));",
]


def write(folder: str, text) -> None:
    data = text.encode() if isinstance(text, str) else bytes(text)
    path = CORPUS / folder / hashlib.sha1(data).hexdigest()[:16]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def main(paths):
    for text in HAND_WRITTEN:
        write("one_tree", text)
    for path in paths:
        ts = read_trees(path, max_trees=40)
        texts = list(ts.newicks())
        for i in (0, 1, len(texts) - 1):
            write("one_tree", texts[i])
        for start in (0, 20, 36):
            write("tree_set", "\n".join(texts[start:start + 4]))
            subset = read_trees(path, burnin=start, max_trees=4)
            for lengths in (False, True):
                table = SplitTable.from_treeset(subset, rooted=lengths, lengths=lengths)
                write("split_table_bytes", table.to_bytes())


if __name__ == "__main__":
    main(sys.argv[1:])
