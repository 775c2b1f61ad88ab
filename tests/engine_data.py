"""Real posterior samples the engine tests run on: every program and layout of the shared
data (MrBayes unrooted with translate tables, BEAST rooted with annotations, two runs)."""

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
FILES = {
    "primates": [ROOT / "examples" / "mrbayes_primates_12taxa.t"],
    "beast": [DATA / "beast1_ucln_17taxa_head.trees"],
    "cynmix": [DATA / "engine" / "mrbayes_cynmix_32taxa_head.t"],
    "two_runs": [DATA / "engine" / "primates2.run1_head.t", DATA / "engine" / "primates2.run2_head.t"],
}
