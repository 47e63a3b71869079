"""Constant time under valgrind's memcheck, across the whole enclave.

Built with VELMORA_VALGRIND_CT, the extension marks every secret undefined for
memcheck where it is born (a region's bytes, drawn key material) and marks
defined again only what is public by design (verdicts, lengths, public keys,
ciphertexts, results handed to the caller). memcheck then reports every
conditional jump or move and every memory address computed from a secret, in
our code or in a library's. Each family script below makes one call per
operation under memcheck; any report fails it. The positive controls show the
check can fail: a variable-time comparison, a secret-indexed load, a branch on
an ML-KEM-768 key or on its re-encryption verdict and a branch inside a library
must each be reported.

Runs only when VELMORA_CT_BUILD names such a build (scripts/test.sh does);
then valgrind must be there.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
BUILD = os.environ.get("VELMORA_CT_BUILD")

pytestmark = pytest.mark.skipif(
    not BUILD, reason="needs VELMORA_CT_BUILD, a build with VELMORA_VALGRIND_CT=ON"
)

# CPython 3.11's int.from_bytes, used to read every .pyc header, leaves part of
# a fresh int uninitialised; the reports that follow it come from that heap
# block, never from a secret.
NOT_OURS = {"_PyLong_FromByteArray"}

# Verdicts a library branches on before it returns, on values that are public
# by design: (error kind, the library, our function that called it directly).
# Only a report whose innermost frame is in that library and whose next frame
# is that caller matches, so the library's deeper functions stay checked.
LIBRARY_VERDICTS = [
    # libsodium's fixed-base Edwards multiplication ends by branching on whether
    # the point it returns (the public key) is the neutral element; the
    # multiplication itself runs in functions further down the stack.
    ("UninitCondition", "libsodium.so", "velmora::crypto::x25519::public_key("),
]


def memcheck(tmp_path, script, *args, env=None):
    """Runs a family script under memcheck; returns the reports that count, as text."""
    assert shutil.which("valgrind"), "valgrind is not installed"
    log = tmp_path / f"{script}.xml"
    build = Path(BUILD).resolve()
    run_env = {
        **os.environ,
        "PYTHONMALLOC": "malloc",
        "PYTHONPATH": os.pathsep.join([str(build / "python"), str(build / "testmods")]),
        **(env or {}),
    }
    proc = subprocess.run(
        ["valgrind", "--tool=memcheck", "--track-origins=yes", "--num-callers=24",
         "--leak-check=no", "--xml=yes", f"--xml-file={log}", sys.executable, "-P",
         str(HERE / "families" / f"{script}.py"), *args],
        env=run_env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, f"{script} failed:\n{proc.stdout}\n{proc.stderr}"
    return [describe(e) for e in ET.parse(log).getroot().iter("error") if counts(e)]


def counts(error):
    """Every report counts but leak records, CPython's own noise and the listed
    library verdicts."""
    if (error.findtext("kind") or "").startswith("Leak_"):
        return False
    stacks = error.findall("stack")
    frames = list(stacks[0].iter("frame")) if stacks else []
    for kind, library, caller in LIBRARY_VERDICTS:
        if (error.findtext("kind") == kind and len(frames) > 1
                and library in (frames[0].findtext("obj") or "") and frames[0].findtext("fn") is None
                and (frames[1].findtext("fn") or "").startswith(caller)):
            return False
    origin = stacks[1] if len(stacks) > 1 else None
    return origin is None or not any(f.findtext("fn") in NOT_OURS for f in origin.iter("frame"))


def describe(error):
    lines = [error.findtext("what") or error.findtext("kind")]
    for stack, label in zip(error.findall("stack"), ("at", "origin")):
        lines.append(f"  {label}:")
        for frame in list(stack.iter("frame"))[:10]:
            where = f"{frame.findtext('file')}:{frame.findtext('line')}" if frame.findtext("file") \
                else os.path.basename(frame.findtext("obj") or "?")
            lines.append(f"    {frame.findtext('fn') or '???'} ({where})")
    return "\n".join(lines)


FAMILIES = [
    pytest.param("box", {}, id="box"),
    pytest.param("kdf_mac", {}, id="hkdf-hmac"),
    pytest.param("aes_gcm", {"VELMORA_CT_AES_GCM_ENGINE": "ipsec-mb"}, id="aes-gcm-ipsec-mb"),
    # The OpenSSL engine serves processors without AES-NI and PCLMULQDQ: hide
    # them from libcrypto too, so that it runs the code it would run there.
    pytest.param("aes_gcm", {"VELMORA_CT_AES_GCM_ENGINE": "openssl",
                             "OPENSSL_ia32cap": "~0x200000200000000"}, id="aes-gcm-openssl"),
    pytest.param("stream", {}, id="stream"),
    pytest.param("pool", {}, id="pool"),
    pytest.param("hybrid", {"VELMORA_MLKEM_IMPL": "portable", "VELMORA_X25519_IMPL": "libsodium"},
                 id="hybrid-portable-libsodium"),
    pytest.param("hybrid", {"VELMORA_MLKEM_IMPL": "avx2", "VELMORA_X25519_IMPL": "native"},
                 id="hybrid-avx2-native"),
]


@pytest.mark.parametrize(("script", "env"), FAMILIES)
def test_family_is_constant_time(tmp_path, script, env):
    reports = memcheck(tmp_path, script, env=env)
    assert not reports, "secret-dependent branch or index:\n\n" + "\n\n".join(reports)


BRANCH = "Conditional jump or move depends on uninitialised value(s)"
INDEX = "Use of uninitialised value of size 8"


@pytest.mark.parametrize(
    ("case", "what", "env"),
    [
        pytest.param("compare", BRANCH, {}, id="early-exit-compare"),
        pytest.param("lookup", INDEX, {}, id="secret-index"),
        pytest.param("mlkem", BRANCH, {"VELMORA_MLKEM_IMPL": "portable"}, id="mlkem-portable"),
        pytest.param("mlkem", BRANCH, {"VELMORA_MLKEM_IMPL": "avx2"}, id="mlkem-avx2"),
        # The comparison helper's verdict stays secret until a caller says why
        # it may be public: a branch on ML-KEM's re-encryption verdict shows.
        pytest.param("mlkem-verdict", BRANCH, {"VELMORA_MLKEM_IMPL": "portable"},
                     id="mlkem-verdict-portable"),
        pytest.param("mlkem-verdict", BRANCH, {"VELMORA_MLKEM_IMPL": "avx2"},
                     id="mlkem-verdict-avx2"),
        pytest.param("x25519", BRANCH, {"VELMORA_X25519_IMPL": "libsodium"}, id="x25519-libsodium"),
        pytest.param("x25519", BRANCH, {"VELMORA_X25519_IMPL": "native"}, id="x25519-native"),
    ],
)
def test_leak_is_reported(tmp_path, case, what, env):
    reports = memcheck(tmp_path, "controls", case, env=env)
    found = [r for r in reports if r.startswith(what) and "ct_testmod.cpp" in r]
    # The X25519 control leaks twice: the shared secret, then the scalar.
    assert len(found) >= (2 if case == "x25519" else 1), reports


def test_leak_inside_a_library_is_reported(tmp_path):
    """libsodium's base64 decoder, which the module replaced, branches on every
    symbol's validity: the report comes from inside the library."""
    reports = memcheck(tmp_path, "controls", "library")
    assert [r for r in reports if "libsodium" in r.split("\n")[2]], reports
