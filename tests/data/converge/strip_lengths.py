"""Keep only the topology of every tree in a NEXUS tree file: drop [...] comments and branch
lengths, leave everything else (translate table, tree names) as it is.

    python3 strip_lengths.py IN OUT
"""
import re
import sys

src, dst = sys.argv[1], sys.argv[2]
with open(src) as f, open(dst, "w") as out:
    for line in f:
        if line.lstrip().lower().startswith("tree "):
            line = re.sub(r"\[[^\]]*\]", "", line)
            line = re.sub(r":[0-9.eE+\-]+", "", line)
            line = re.sub(r"\s*=\s*", " = ", line, count=1)
        out.write(line)
