"""The scripts under examples/, each run as a user would, on small inputs."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def field(output, label):
    """The text after `label:` on its line."""
    match = re.search(rf"^{label}:\s+(.*)$", output, re.MULTILINE)
    assert match, f"no '{label}:' line in\n{output}"
    return match.group(1)


def test_stdlib_simhash_finds_a_copied_paragraph(tmp_path):
    shared = ("def merge(left, right):\n    result = []\n    while left and right:\n"
              "        result.append(left.pop(0) if left[0] <= right[0] else right.pop(0))\n"
              "    return result + left + right\n")
    other = ("class Point:\n    def __init__(self, x, y):\n        self.x = x\n        self.y = y\n"
             "    def norm(self):\n        return (self.x ** 2 + self.y ** 2) ** 0.5\n")
    (tmp_path / "a.py").write_text(shared + "\n" + other)
    (tmp_path / "b.py").write_text("import os\n\n" + shared)
    out = run("stdlib_simhash.py", "--root", tmp_path, "--k", 3)
    assert field(out, "codes").startswith("3 paragraphs")
    assert field(out, "pairs").startswith("1 within distance 3")
    assert "identical texts: 1" in out


@pytest.mark.skipif(
    not all(importlib.util.find_spec(m) for m in ("PIL", "imagehash")),
    reason="needs Pillow and ImageHash: pip install -r examples/requirements.txt",
)
def test_image_near_duplicates():
    out = run("image_near_duplicates.py", "--originals", 9, "--copies", 2, "--show", 1)
    # 9 originals, 6 of them with 2 copies: 6 groups of 3 images, 18 pairs.
    assert field(out, "images").startswith("21 (9 originals, 12 edited copies)")
    found, planted = map(int, re.search(r"\((\d+) of (\d+) planted pairs", out).groups())
    assert planted == 18 and found > 0
    assert field(out, "exactness").endswith("agrees: yes")


def test_moderation_matcher():
    out = run("moderation_matcher.py", "--references", 3000, "--incoming", 400, "--k", 20)
    near, far = map(int, re.search(r"(\d+) altered within k, (\d+) altered beyond k",
                                   field(out, "stream")).groups())
    assert near > 0 and far > 0
    assert field(out, "index").startswith("3030 references of 256 bits, k = 20")
    # Every copy within k is caught and no copy beyond k is.
    assert field(out, "caught") == f"{near} of {near} copies within k (0 missed)"
    assert field(out, "passed") == f"{far} of {far} copies beyond k not matched"
    assert field(out, "checked") == "0 hits with a wrong distance"
