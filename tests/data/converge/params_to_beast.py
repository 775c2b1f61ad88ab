"""Write a MrBayes .p file (plain or gzip) in BEAST 1's log layout on stdout: '#' comment
lines, then the header with 'state' for 'Gen', then the rows unchanged.

    python3 params_to_beast.py primates2/primates2.run1.p.gz > primates2.run1.beast.log
"""
import gzip
import sys

path = sys.argv[1]
opener = gzip.open if path.endswith(".gz") else open
with opener(path, "rt") as f:
    lines = f.read().splitlines()
print("# BEAST v1.10.4 log layout, made from " + path.split("/")[-1])
print("# by params_to_beast.py (the rows are MrBayes', unchanged)")
header = lines[1].split("\t")
header[0] = "state"
print("\t".join(header))
for line in lines[2:]:
    print(line)
