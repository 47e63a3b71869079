"""The examples of the README and of the package's description (the long
description a user reads before installing), and the tour, run as written,
each in its own interpreter (they harden the process); and the places the
README and the docstrings send a reader to exist."""

from __future__ import annotations

import inspect
import re

import pytest

from velmora import _secure

from conftest import REPO

DOCS = ("README.md", "DESCRIPTION.md")
BLOCKS = [block for doc in DOCS
          for block in re.findall(r"```python\n(.*?)```", (REPO / doc).read_text(), re.S)]


@pytest.mark.parametrize("doc", DOCS)
def test_readme_has_examples(doc):
    assert "```python\n" in (REPO / doc).read_text()


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(run_child, index):
    run_child(BLOCKS[index])


def test_tour_runs_and_releases_every_secret(run_child):
    out = run_child((REPO / "examples" / "tour.py").read_text()).stdout
    for section in ("Derived keys", "Entropy pool", "Secret stream", "Hybrid identity", "Hardening"):
        assert f"-- {section}" in out
    assert out.rstrip().splitlines()[-1].startswith("== After they are released: live_secrets=0,")


def test_getting_started_imports_what_it_uses(run_child):
    # The manual's build gives every page a shared set-up (os, the module's
    # names); a reader typing the tour has only what the page itself imports.
    page = REPO / "docs" / "getting-started.rst"
    child = run_child(
        "import doctest\n"
        f"failed, tried = doctest.testfile({str(page)!r}, module_relative=False, globs={{}},\n"
        "    optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)\n"
        "print(failed, tried)\n",
        check=False,
    )
    failed, tried = map(int, child.stdout.split()[-2:])
    assert (failed, tried > 10) == (0, True), child.stdout[-3000:]


def test_readme_links_lead_to_files():
    text = (REPO / "README.md").read_text()
    targets = re.findall(r"\]\(([^)#]+)\)", text)
    assert any(t.startswith("docs/") for t in targets)
    missing = [t for t in targets if "://" not in t and not (REPO / t).exists()]
    assert not missing


def test_docstring_references_lead_to_sections():
    # A docstring that cites `docs/<file>.md §N` sends the reader to section N
    # of that file: a heading "## N." there.
    cited = set()
    for _, member in inspect.getmembers(_secure):
        for obj in [member, *vars(member).values()] if inspect.isclass(member) else [member]:
            cited.update(re.findall(r"(docs/[\w.-]+\.md) §(\d+)", getattr(obj, "__doc__", "") or ""))
    assert ("docs/PROTOCOL.md", "5") in cited
    missing = [(path, n) for path, n in sorted(cited)
               if not (REPO / path).is_file()
               or not re.search(rf"^## {n}\. ", (REPO / path).read_text(), re.M)]
    assert missing == []
