"""The documentation as a reader uses it: every Python block of README.md and
docs/*.md runs (blocks with >>> prompts as doctests), every relative link
resolves, the examples run, and the type stubs match the module."""

import ast
import doctest
import importlib.util
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import support

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
IDS = [p.name for p in PAGES]


@pytest.mark.parametrize("page", PAGES, ids=IDS)
def test_python_blocks_run(page):
    namespace = {"__name__": "__docs__"}  # one page, one session
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(re.findall(r"^```python\n(.*?)^```", page.read_text(), re.M | re.S), 1):
        if ">>>" in block:
            test = parser.get_doctest(block, namespace, f"{page.name} block {number}", str(page), 0)
            runner.run(test, clear_globs=False)
            namespace.update(test.globs)
        else:
            exec(compile(block, f"{page.name} block {number}", "exec"), namespace)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("page", PAGES, ids=IDS)
def test_relative_links_resolve(page):
    for target in re.findall(r"\]\(([^)\s]+)\)", page.read_text()):
        path, _, anchor = target.partition("#")
        if re.match(r"[a-z]+:", target):
            continue
        linked = (page.parent / path).resolve() if path else page
        headings = re.findall(r"^#+ (.*)$", linked.read_text(), re.M) if linked.suffix == ".md" else []
        slugs = {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}
        assert linked.exists() and (not anchor or anchor in slugs), f"{page.name}: {target}"


SHARED = (
    "def merge(left, right):\n    result = []\n    while left and right:\n"
    "        result.append(left.pop(0) if left[0] <= right[0] else right.pop(0))\n"
    "    return result + left + right\n"
)
OTHER = (
    "class Point:\n    def __init__(self, x, y):\n        self.x = x\n        self.y = y\n"
    "    def norm(self):\n        return (self.x ** 2 + self.y ** 2) ** 0.5\n"
)
HAS_IMAGEHASH = all(importlib.util.find_spec(m) for m in ("PIL", "imagehash"))
HAS_SERVE = all(importlib.util.find_spec(m) for m in ("starlette", "uvicorn", "httpx"))


# Each example checks itself against a brute-force scan or the copies it
# planted; the patterns are those checks' lines (and, for stdlib_simhash, the
# one paragraph that two files share).
@pytest.mark.parametrize(
    "script, args, patterns",
    [
        (
            "stdlib_simhash.py",
            ["--root", "{tmp}", "--k", 3],
            [r"codes:\s+3 paragraphs", r"pairs:\s+1 within distance 3", "identical texts: 1"],
        ),
        (
            "moderation_matcher.py",
            ["--references", 3000, "--incoming", 400, "--k", 20],
            [
                r"incoming, [1-9]\d* altered within k, [1-9]",
                r"caught:\s+(\d+) of \1 copies within k \(0 missed\)",
                r"passed:\s+(\d+) of \1 copies beyond k",
                r"checked:\s+0 hits with a wrong distance",
            ],
        ),
        pytest.param(
            "serve_client.py",
            [],
            [
                r"match:\s+\[\('case-2', 10, \{'source': 'example', 'n': 2\}\)\]",
                r"batch:\s+\[\['case-2'\], \[\], \['case-4'\]\]",
                "delisted: 1 code; the upload now matches 0 codes",
                "no token: 401",
            ],
            marks=pytest.mark.skipif(not HAS_SERVE, reason="needs the serve extra and httpx"),
        ),
        pytest.param(
            "image_near_duplicates.py",
            ["--originals", 9, "--copies", 2, "--show", 1],
            [r"images:\s+21 \(9 originals", r"\([1-9]\d* of 18 planted pairs", "all pairs agrees: yes"],
            marks=pytest.mark.skipif(not HAS_IMAGEHASH, reason="needs examples/requirements.txt"),
        ),
    ],
)
def test_examples_check_themselves(script, args, patterns, tmp_path):
    (tmp_path / "a.py").write_text(SHARED + "\n" + OTHER)
    (tmp_path / "b.py").write_text("import os\n\n" + SHARED)
    command = [sys.executable, str(ROOT / "examples" / script), *(str(a).format(tmp=tmp_path) for a in args)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    for pattern in patterns:
        assert re.search(pattern, done.stdout, re.M), (pattern, done.stdout)


def mypy(tmp_path, *args):
    # Outside the source tree, so that mypy reads the installed package.
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path, timeout=600
    )


@pytest.mark.skipif(support.SANITIZED, reason="type checks run no native code")
def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy", reason="needs mypy (requirements-dev.txt installs it)")
    from brimel_native import _brimel_native

    done = mypy(tmp_path, "mypy.stubtest", "brimel_native")  # no allowlist: stubs and module agree
    assert done.returncode == 0, done.stdout + done.stderr
    # Editors show the stub's docstrings in place of the module's.
    stub = ast.parse(Path(_brimel_native.__file__).with_name("_brimel_native.pyi").read_text())

    def check(nodes, owner):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("__"):
                runtime = inspect.getattr_static(owner, node.name)
                if not inspect.isdatadescriptor(runtime):  # properties have no docstrings
                    assert ast.get_docstring(node) == (runtime.__doc__ and inspect.cleandoc(runtime.__doc__))
                    check(node.body if isinstance(node, ast.ClassDef) else [], runtime)

    check(stub.body, _brimel_native)
    # A type checker accepts correct use and flags every line of misuse (the
    # parameters themselves are stubtest's).
    use = [
        "import numpy as np",
        "import brimel_native",
        "from brimel_native import Index, find_pairs_cross, find_pairs_self",
        "codes = np.zeros((4, 8), dtype=np.uint8)",
        "floats = np.zeros((4, 8), dtype=np.float32)",
        "pairs: list[tuple[int, int, int]] = find_pairs_self(codes, np.int64(3))",
        "total: int = sum(i + j + d for i, j, d in find_pairs_cross(codes, codes, True))",
        "index = Index(8, 3)",
        "hits: list[tuple[int, int]] = index.query(codes[0])",
        "size: int = len(index) + index.n + index.d_bytes + index.add(codes[0])",
        "found = brimel_native.find_pairs(codes, 3)",
        "first: int = int(found.i[0]) + int(found.distance[0])",
    ]
    misuse = [
        "find_pairs_self(floats, 1)",
        "i, j = find_pairs_self(codes, 1)[0]",
        "first: int = index.query(codes[0])[0][2]",
        "index.k = 4",
    ]
    lines = use + misuse
    (tmp_path / "use.py").write_text("\n".join(lines) + "\n")
    done = mypy(tmp_path, "mypy", "--strict", "--no-error-summary", "use.py")
    flagged = {lines[int(line.split(":")[1]) - 1] for line in done.stdout.splitlines()}
    assert flagged == set(misuse), done.stdout
