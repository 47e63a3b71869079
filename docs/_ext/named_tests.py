"""Keeps the manual's claims tied to the tests that prove them.

``:test:`tests/test_x.py::test_name``` names a Python test function and
``:test:`tests/cpp/x_test.cpp::Suite.Case``` a C++ test (``TEST``, ``TEST_F``
or ``TEST_P``). Both show as the name a test runner takes; a test that does not
exist (renamed, moved, removed) is a warning, which the test command's build
(-W) turns into a failure.

Python examples must run: a ``code-block`` in Python that is not a doctest
(``>>>`` lines, or the doctest extension's directives) is a warning too.

The API reference's message list is checked the same way: every message text
in tests/messages.py, which the test suite expects the module to raise, must
appear on that page word for word.
"""

from __future__ import annotations

import ast
import re
from pathlib import Path

from docutils import nodes
from sphinx.util import logging

logger = logging.getLogger(__name__)


def _root(env):
    return Path(env.srcdir).parent


def test_exists(root, path, name):
    file = root / path
    if not file.is_file() or not path.startswith("tests/"):
        return False
    source = file.read_text(encoding="utf-8")
    if path.endswith(".py"):
        return re.search(rf"^\s*def {re.escape(name)}\(", source, re.M) is not None
    suite, _, case = name.partition(".")
    pattern = rf"\bTEST(_F|_P)?\(\s*{re.escape(suite)}\s*,\s*{re.escape(case)}\s*\)"
    return bool(case) and re.search(pattern, source) is not None


def test_role(name, rawtext, text, lineno, inliner, options=None, content=None):
    env = inliner.document.settings.env
    path, sep, test = text.partition("::")
    if not sep or not test_exists(_root(env), path, test):
        logger.warning("no test %r (expected <tests/...file>::<test>)", text,
                       location=(env.docname, lineno))
    return [nodes.literal(rawtext, text, classes=["test-name"])], []


def messages(path):
    """The string constants assigned at the top of tests/messages.py."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    found = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Constant) \
                and isinstance(node.value.value, str):
            found[node.targets[0].id] = node.value.value
    return found


PYTHON = {"python", "python3", "py", "pycon", "py3"}


def on_doctree_read(app, doctree):
    for block in doctree.findall(nodes.literal_block):
        if block.get("language") in PYTHON and not block.get("testnodetype"):
            logger.warning("a Python example that is not run: make it a doctest",
                           location=block)
    if app.env.docname != app.config.named_tests_messages_page:
        return
    text = " ".join(doctree.astext().split())
    for name, message in messages(_root(app.env) / "tests" / "messages.py").items():
        if " ".join(message.split()) not in text:
            logger.warning("the message %s (%r) from tests/messages.py is not on this page",
                           name, message, location=app.env.docname)


def setup(app):
    app.add_config_value("named_tests_messages_page", "api", "env")
    app.add_role("test", test_role)
    app.connect("doctree-read", on_doctree_read)
    return {"version": "1", "parallel_read_safe": True, "env_version": 1}
