"""The extension as built carries the hardening the build asks for
(CMakeLists.txt, VELMORA_HARDEN), read back from its ELF headers and symbols:
a read-only dynamic section after relocation (RELRO) with every symbol bound
at load (BIND_NOW), a stack that is not executable, the stack protector's
canary check, the C library's fortified (checked) calls, and a landing pad
for indirect branches at the module's init. The sanitizer
build leaves the fortified calls out: the sanitizers check those calls their
own way."""

from __future__ import annotations

import platform
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


def _objdump():
    """An objdump that reads this machine's code: on aarch64 the triplet-named
    one comes first (an x86-64 machine that runs the suite under emulation has
    it from the cross binutils; an aarch64 one has it as its own)."""
    names = ["objdump"]
    if platform.machine() == "aarch64":
        names.insert(0, "aarch64-linux-gnu-objdump")
    for name in names:
        if found := shutil.which(name):
            return found
    raise AssertionError("objdump (binutils, part of build-essential) is not installed")


# The instruction a function reached through a pointer must begin with:
# x86-64's end-branch marker (-fcf-protection), aarch64's branch-target
# landing pad (-mbranch-protection, BTI), or the return-address signing
# instruction that doubles as one.
LANDING_PADS = {"x86_64": ("endbr64",), "aarch64": ("bti\tc", "bti c", "paciasp")}


def test_indirect_branch_targets_marked():
    # The interpreter calls the module's init through a pointer, so it begins
    # with the architecture's landing pad. The file-level property note (CET
    # on x86-64, BTI and PAC on aarch64) is not checked: the linker drops it
    # from every shared object built against this C library's crti.o, which
    # lacks it.
    symbols = readelf("--dyn-syms")
    m = re.search(r"\s0*([0-9a-f]+)\s+\d+\s+FUNC\s+GLOBAL\s+DEFAULT\s+\d+\s+PyInit__secure\b", symbols)
    assert m, symbols
    start = int(m.group(1), 16)
    code = subprocess.run([_objdump(), "-d", f"--start-address={start:#x}", f"--stop-address={start + 4:#x}",
                           _secure.__file__], capture_output=True, text=True, check=True).stdout
    pads = LANDING_PADS[platform.machine()]
    assert any(pad in code for pad in pads), code
