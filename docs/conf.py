"""Sphinx configuration of the velmora._secure manual (scripts/docs.sh builds it)."""

from __future__ import annotations

import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))
# The worked examples in formats.rst use the test-only ML-KEM module of a build
# with VELMORA_BUILD_TESTS=ON: the one VELMORA_TESTMODS names, as for the test
# suite, else the repository's own test build.
sys.path.insert(0, os.environ.get("VELMORA_TESTMODS") or str(HERE.parent / "build" / "test" / "testmods"))

project = "velmora._secure"
author = "the velmora developers"
copyright = "the velmora developers"

# figures: the pictures and plots of docs/figures/, drawn into docs/_generated/;
# perf_results: the Performance page's tables, from docs/perf/results.json.
# sphinx_copybutton: a copy button on every code block; for examples it copies
# the lines after the prompts (>>> and ...), not the output.
extensions = ["sphinx.ext.doctest", "sphinx_copybutton", "members_check", "named_tests",
              "figures", "perf_results"]

html_theme = "alabaster"
html_title = "velmora._secure manual"
# Wide enough for a 100-column line of code beside the sidebar; longer lines
# wrap (_static/velmora.css), and so do long test names.
html_theme_options = {"page_width": "1180px", "body_max_width": "none"}
html_static_path = ["_static"]
html_css_files = ["velmora.css"]
# Search: the index holds every page's text, not only its titles; the excerpt
# under each result is read from the page itself, which a browser allows only
# when the manual is served (python -m http.server -d build/docs/html), not
# opened as a file.
html_search_language = "en"
html_show_search_summary = True
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True
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
