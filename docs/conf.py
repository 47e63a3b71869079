"""Sphinx configuration of the velmora._secure manual (scripts/docs.sh builds it)."""

from __future__ import annotations

import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))
# The worked examples in formats.rst use the test-only ML-KEM module of a build
# with VELMORA_BUILD_TESTS=ON, named by VELMORA_TESTMODS as for the test suite.
if os.environ.get("VELMORA_TESTMODS"):
    sys.path.insert(0, os.environ["VELMORA_TESTMODS"])

project = "velmora._secure"
author = "the velmora developers"
copyright = "the velmora developers"

# figures: the pictures and plots of docs/figures/, drawn into docs/_generated/;
# perf_results: the Performance page's tables, from docs/perf/results.json.
extensions = ["sphinx.ext.doctest", "members_check", "named_tests", "figures", "perf_results"]

html_theme = "alabaster"
html_title = "velmora._secure manual"
html_static_path: list[str] = []
exclude_patterns = ["_build", "_generated", "figures", "perf"]
primary_domain = "py"
default_role = "literal"

# Every cross-reference must resolve. Builtins and typing names have no page
# here (no intersphinx: the build never goes to the network).
nitpicky = True
nitpick_ignore_regex = [
    ("py:class", r"(bytes|bytearray|str|int|bool|None|object|tuple|dict|memoryview|mmap\.mmap"
                 r"|typing_extensions\.Buffer|Buffer|TypedDict|Literal\[.*\]|.*Error|list)"),
    ("py:exc", r"(TypeError|ValueError|OverflowError|BufferError|ImportError)"),
]

# The stub whose parameters the reference is checked against.
members_check_stub = str(HERE.parent / "python" / "velmora" / "_secure.pyi")
members_check_module = "velmora._secure"

doctest_global_setup = """
import os, sys, tempfile
from velmora._secure import *
from velmora._secure import SecureError
"""
doctest_default_flags = 0
import doctest as _doctest  # noqa: E402

doctest_default_flags = _doctest.ELLIPSIS | _doctest.NORMALIZE_WHITESPACE | _doctest.DONT_ACCEPT_TRUE_FOR_1
