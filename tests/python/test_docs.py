"""The documentation as a reader uses it: every Python block of README.md and
docs/*.md runs (blocks with >>> prompts as doctests, checking what they show),
and every relative link points at a file and heading that exist."""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
LINK = re.compile(r"\]\(([^)\s]+)\)")


def ids(pages):
    return [str(p.relative_to(ROOT)) for p in pages]


@pytest.mark.parametrize("page", PAGES, ids=ids(PAGES))
def test_python_blocks_run(page):
    # The blocks of one page run in order in one namespace, as one session.
    namespace = {"__name__": "__docs__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for number, block in enumerate(BLOCK.findall(page.read_text(encoding="utf-8")), 1):
        name = f"{page.name} block {number}"
        if ">>>" in block:
            test = parser.get_doctest(block, namespace, name, str(page), 0)
            runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran in a copy
        else:
            exec(compile(block, name, "exec"), namespace)
    failed, attempted = runner.summarize(verbose=False)
    assert failed == 0


def anchors(page):
    """GitHub's ids of the page's headings."""
    found = set()
    for heading in re.findall(r"^#+ (.*)$", page.read_text(encoding="utf-8"), re.MULTILINE):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


@pytest.mark.parametrize("page", PAGES, ids=ids(PAGES))
def test_relative_links_resolve(page):
    for target in LINK.findall(page.read_text(encoding="utf-8")):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        assert linked.exists(), f"{page.name}: {target}"
        if anchor:
            assert anchor in anchors(linked), f"{page.name}: {target}"
