"""The Python examples of the README files run as written, from the repository root."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
BLOCKS = [(doc, block) for doc in ("README.md", "examples/README.md")
          for block in re.findall(r"```python\n(.*?)```", (ROOT / doc).read_text(), re.S)]


@pytest.mark.parametrize("doc, code", BLOCKS, ids=[f"{d}-{i}" for i, (d, _) in
                                                   enumerate(BLOCKS)])
def test_python_example_runs(tmp_path, doc, code):
    (tmp_path / "examples").symlink_to(ROOT / "examples")  # the paths the examples use
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
