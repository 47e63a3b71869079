"""The examples of the README and of the package's description (the long
description a user reads before installing), and the tour, run as written,
each in its own interpreter (they harden the process)."""

from __future__ import annotations

import re

import pytest

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


def test_readme_links_lead_to_files():
    text = (REPO / "README.md").read_text()
    targets = re.findall(r"\]\(([^)#]+)\)", text)
    assert any(t.startswith("docs/") for t in targets)
    missing = [t for t in targets if "://" not in t and not (REPO / t).exists()]
    assert not missing
