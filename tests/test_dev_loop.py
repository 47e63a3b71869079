"""The suite finds its test-only native modules (tests/native) by itself, and a
module that is not built fails with the command that builds it: a plain
`python -m pytest` never passes by skipping what it could not load."""

from __future__ import annotations

import os
import subprocess
import sys

from conftest import REPO, SANITIZED


def test_without_the_variable_the_repository_build_is_used(run_child):
    child = run_child(
        f"import sys; sys.path.insert(0, {str(REPO / 'tests')!r})\n"
        "from conftest import built_testmods, import_testmod\n"
        "print(built_testmods()); print(import_testmod('_x25519_test').__file__)\n",
        env={"VELMORA_TESTMODS": None},
    )
    where, module = child.stdout.split()
    assert where.startswith(str(REPO / "build"))
    assert module.startswith(where)


def test_a_missing_module_fails_with_its_build_command(tmp_path):
    empty = tmp_path / "build" / "testmods"
    empty.mkdir(parents=True)
    # The sanitizers' build has no copy without the wipe: the stack-depth
    # tests skip there, whatever is built.
    modules = {"test_x25519.py": "_x25519_test"}
    if not SANITIZED:
        modules["test_stack_depth.py"] = "_secure_unwiped"
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         *(str(REPO / "tests" / name) for name in modules)],
        env={**os.environ, "VELMORA_TESTMODS": str(empty)},
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    out = proc.stdout + proc.stderr
    assert proc.returncode != 0, out
    assert "skipped" not in out
    for target in modules.values():
        assert f"cmake --build {empty.parent} --target {target}" in out, out

