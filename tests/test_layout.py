"""Where the native sources may reach outside themselves: each library's headers
are included in one place only, and only the interpreter-facing files (src/py/
and files named *_py.*) include Python.h. A newcomer can then tell from a file's
place what it may depend on."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="no source tree next to the tests")
INCLUDE = re.compile(r'^\s*#\s*include\s*<([^>]+)>', re.MULTILINE)

# Header prefix -> the test a source path (relative to src/) must pass to include it.
CRYPTO_LIBRARIES = ("openssl/", "sodium", "intel-ipsec-mb", "valgrind/")


def in_crypto(path: str) -> bool:
    return path.startswith("crypto/")


def is_json_reader(path: str) -> bool:
    return path in ("codec/json_field.cpp", "codec/sealed_session_json.cpp")


def faces_python(path: str) -> bool:
    return path.startswith("py/") or Path(path).stem.endswith("_py")


RULES = [(prefix, in_crypto, "src/crypto/") for prefix in CRYPTO_LIBRARIES] + [
    ("rapidjson/", is_json_reader, "the two JSON readers in src/codec/"),
    ("Python.h", faces_python, "src/py/ and files named *_py.*"),
]


def includes():
    for file in sorted(SRC.rglob("*")):
        if file.suffix in (".h", ".cpp"):
            rel = file.relative_to(SRC).as_posix()
            for header in INCLUDE.findall(file.read_text(encoding="utf-8")):
                yield rel, header


@pytest.mark.parametrize("prefix, allowed, where", RULES, ids=[r[0] for r in RULES])
def test_library_headers_stay_in_their_place(prefix, allowed, where):
    misplaced = [f"{rel}: <{header}>" for rel, header in includes()
                 if header.startswith(prefix) and not allowed(rel)]
    assert not misplaced, f"<{prefix}...> belongs only in {where}:\n" + "\n".join(misplaced)
