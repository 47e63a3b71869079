"""The extension as built carries the hardening the build asks for
(CMakeLists.txt, VELMORA_HARDEN), read back from its ELF headers and symbols:
a read-only dynamic section after relocation (RELRO) with every symbol bound
at load (BIND_NOW), a stack that is not executable, the stack protector's
canary check, and the C library's fortified (checked) calls. The sanitizer
build leaves the fortified calls out: the sanitizers check those calls their
own way."""

from __future__ import annotations

import re
import shutil
import subprocess

import pytest

from conftest import SANITIZED
from velmora import _secure

READELF = shutil.which("readelf")


def readelf(*args):
    assert READELF, "readelf (binutils, part of build-essential) is not installed"
    return subprocess.run([READELF, "-W", *args, _secure.__file__], capture_output=True, text=True,
                          check=True).stdout


@pytest.fixture(scope="module")
def segments():
    """Program header type -> its flags ("R", "RW", "R E"...)."""
    found = {}
    for line in readelf("--program-headers").splitlines():
        m = re.match(r"\s*(\w+)\s+0x\w+\s+0x\w+\s+0x\w+\s+0x\w+\s+0x\w+\s+([RWE ]+?)\s+0x\w+$", line)
        if m:
            found.setdefault(m.group(1), m.group(2))
    return found


@pytest.fixture(scope="module")
def imported():
    """Names of the undefined (imported) dynamic symbols, versions cut off."""
    names = set()
    for line in readelf("--dyn-syms").splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND":
            names.add(fields[7].split("@")[0])
    return names


def test_relro_and_bind_now(segments):
    assert "GNU_RELRO" in segments
    dynamic = readelf("--dynamic")
    flags = " ".join(line for line in dynamic.splitlines() if "(FLAGS" in line)
    assert "BIND_NOW" in flags or re.search(r"\bNOW\b", flags), dynamic


def test_stack_is_not_executable(segments):
    assert "GNU_STACK" in segments
    assert "E" not in segments["GNU_STACK"]


def test_stack_protector(imported):
    assert "__stack_chk_fail" in imported


@pytest.mark.skipif(SANITIZED, reason="the sanitizer build leaves the fortified calls out")
def test_fortified_calls(imported):
    fortified = {name for name in imported if re.fullmatch(r"__\w+_chk", name)} - {"__stack_chk_fail"}
    assert fortified, sorted(imported)


def test_indirect_branch_targets_marked():
    # -fcf-protection: functions reached through a pointer (the interpreter
    # calls the module's init that way) begin with an end-branch marker. The
    # file-level CET property note is not checked: the linker drops it from
    # every shared object built against this C library's crti.o, which lacks it.
    symbols = readelf("--dyn-syms")
    m = re.search(r"\s0*([0-9a-f]+)\s+\d+\s+FUNC\s+GLOBAL\s+DEFAULT\s+\d+\s+PyInit__secure\b", symbols)
    assert m, symbols
    start = int(m.group(1), 16)
    objdump = shutil.which("objdump")
    assert objdump, "objdump (binutils, part of build-essential) is not installed"
    code = subprocess.run([objdump, "-d", f"--start-address={start:#x}", f"--stop-address={start + 4:#x}",
                           _secure.__file__], capture_output=True, text=True, check=True).stdout
    assert "endbr64" in code, code
