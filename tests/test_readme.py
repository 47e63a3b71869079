"""The README's examples run as written (each block in its own interpreter,
since one of them hardens the process)."""

from __future__ import annotations

import re

import pytest

from conftest import REPO

BLOCKS = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(run_child, index):
    run_child(BLOCKS[index])
