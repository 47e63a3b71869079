"""No secret, and no value derived from one, is left in a process's unlocked
memory once an operation has returned to Python.

A child interpreter receives its secrets through a pipe, straight into
bytearrays that SecretBox.from_bytes zeroes, runs operations (each a few dozen
C frames below its command loop, so that what the interpreter does afterwards
does not paper over what the operation left, and each followed by a signal,
whose frame holds the registers as the operation left them), collects garbage
and waits; meanwhile this process reads every readable mapping of the child
(stack, heap, anonymous, file-backed writable) through /proc/PID/mem, skipping
only the boxes' locked data areas, and looks for each secret and for what a
library derives from it on the way (computed here independently with hashlib,
hmac, cryptography and tests/derived.py). The module's own stacks, locked and
left out of core dumps like the boxes but holding no secret once a call is
over, are read too (told from the boxes by the marker at their bottom). A copy
planted in a bytes object must be found, or the scanner itself is broken.
"""

from __future__ import annotations

import hashlib
import hmac
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import derived as d
import kernel_probe
from conftest import SANITIZED, built_testmods, missing_testmod, unwiped_copy
from operations import OPS, STACK_MARKER, OpChild, b64url, child_env, make_inputs

# Under AddressSanitizer its shadow memory (a map of which bytes may be used,
# never their values: terabytes of reserved address space) is left out;
# everything else, the sanitizer's own heap included, is read as in the shipped
# build. On x86-64 the shadow has a fixed place: the low shadow, the gap and the
# high shadow together span [0x7fff8000, 0x10007fff8000) (the kernel may start
# the first mapping a page lower), so any mapping that overlaps that span is
# shadow. Telling it apart by size instead would also drop the sanitizer's
# large heap mappings, and with them, at times, the planted control copy.
_SHADOW = (0x7FFF8000, 0x10007FFF8000) if SANITIZED else None
_MAPPING = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) (\S{4}) \S+ \S+ \S+\s*(.*)$")
_SKIPPED_NAMES = {"[vvar]", "[vvar_vclock]", "[vsyscall]"}


@pytest.fixture(autouse=True)
def _a_scan_can_tell_what_it_reads():
    """The scan leaves out the locked data areas by their advice flags, and
    reads the child's address space as the interpreter's own."""
    kernel_probe.require("memory_advice", "own_memory")


def scanned_mappings(pid):
    """(start, end, name, locked_area) of every mapping the scan reads:
    readable, and writable or anonymous; a sanitizer's shadow is left out.
    locked_area: advised both dont-dump and wipe-on-fork, as the module's
    locked data areas are (read only if it is an own stack)."""
    out, current = [], None
    for line in Path(f"/proc/{pid}/smaps").read_text().splitlines():
        m = _MAPPING.match(line)
        if m:
            start, end, perms, name = int(m[1], 16), int(m[2], 16), m[3], m[4]
            current = None
            readable = perms[0] == "r" and name not in _SKIPPED_NAMES
            if _SHADOW and start < _SHADOW[1] and end > _SHADOW[0]:
                readable = False
            if readable and (perms[1] == "w" or not name.startswith("/")):
                current = [start, end, name, False]
                out.append(current)
        elif line.startswith("VmFlags:") and current is not None:
            flags = line.split()[1:]
            if "dd" in flags and "wf" in flags:
                current[3] = True
    return [tuple(m) for m in out]


def read_mappings(pid):
    """(name, bytes) of every mapping the scan reads: the boxes' data areas
    are left out, the own stacks are named "[own stack]". An own stack's data
    area starts with its marker, and may be split in two mappings (the part
    locked so far is one of its own): a locked area right above a stack's is
    the rest of it (a box's has a guard page below it)."""
    stack_end = None
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for start, end, name, locked_area in scanned_mappings(pid):
            try:
                mem.seek(start)
                data = mem.read(end - start)
            except OSError:
                continue
            if locked_area:
                if data[:8] != STACK_MARKER and start != stack_end:
                    continue  # a box
                name, stack_end = "[own stack]", end
            yield name, data


def scan(pid, needles):
    """{needle name: [mapping names where it was found]}."""
    found = {}
    for name, data in read_mappings(pid):
        for label, needle in needles.items():
            if data.find(needle) >= 0:
                found.setdefault(label, []).append(name or "[anon]")
    return found


# --- what to look for ------------------------------------------------------------------------


def aes_values(label, key):
    out = {f"{label} round key {i + 2}": rk for i, rk in enumerate(d.aes256_round_keys(key))}
    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    h = enc.update(bytes(16)) + enc.finalize()
    out[f"{label} ghash H"] = h
    out[f"{label} ghash H reflected"] = h[::-1]
    return out


def hmac_values(label, key, sha512):
    return {f"{label} {name}": value[:32] for name, value in d.hmac_key_values(key, sha512).items()}


def hkdf_values(label, ikm, salt, info, length):
    prk = hmac.digest(salt or bytes(32), ikm, "sha256")
    okm, block = b"", b""
    for i in range(1, -(-length // 32) + 1):
        block = hmac.digest(prk, block + info + bytes([i]), "sha256")
        okm += block
    out = {f"{label} prk": prk, f"{label} okm": okm[:length]}
    out.update(hmac_values(f"{label} prk", prk, sha512=False))
    return out


def needles_for(inputs):
    s, x = inputs.secrets, inputs.derived
    dk = s["DK"]
    n = {name: s[name] for name in ("KEY", "OTHER", "MAC", "IKM", "SEED", "XS")}
    n["ml-kem z"] = dk[2368:2400]
    for off in (0, 576, 1120):
        n[f"ml-kem s-hat bytes @{off}"] = dk[off : off + 32]
    coeffs = []
    for i in range(0, 24, 3):  # ByteDecode12 of the first 24 bytes: 16 coefficients
        b0, b1, b2 = dk[i : i + 3]
        coeffs += [b0 | (b1 & 0x0F) << 8, b1 >> 4 | b2 << 4]
    n["ml-kem s-hat coefficients"] = b"".join(c.to_bytes(2, "little") for c in coeffs)
    n["x25519 clamped"] = d.x25519_clamped(s["XS"])
    # Key generation from the table (native path): the signed digits, and the
    # last entries selected (odd digits end at 63, even ones at 62).
    n["x25519 signed digits"] = bytes(v & 0xFF for v in d.x25519_base_digits(s["XS"]))
    for i, entry in d.x25519_base_selections(s["XS"], [55, 57, 59, 61, 63, 56, 58, 60, 62]).items():
        n[f"x25519 table selection {i}"] = entry
    for name in ("json seed", "sign_key", "enc_key"):
        n[name] = x[name]
        n[f"{name} base64url"] = b64url(x[name])
    n["json text"] = x["json text"][:24]
    n["session text"] = x["session text"][:24]
    n.update(aes_values("KEY", s["KEY"]))
    n.update(hmac_values("MAC", s["MAC"], sha512=True))
    n.update(hkdf_values("hkdf", s["IKM"], None, b"velmora info", 64))
    n.update(hkdf_values("hkdf salted", s["IKM"], b"salt", b"i", 32))
    digest = hashlib.sha256(s["SEED"]).digest()
    n["pool seed digest"] = digest
    n["pool seed digest words"] = d.sha256_words(digest)
    for tag in ("HYB", "SES"):
        n[f"{tag} x25519 shared"] = x[f"{tag} x25519 shared"]
        n[f"{tag} ml-kem shared"] = x[f"{tag} ml-kem shared"]
        n[f"{tag} ml-kem rejection key"] = hashlib.shake_256(
            dk[2368:2400] + x[f"{tag} ml-kem ciphertext"]).digest(32)
        ikm = x[f"{tag} x25519 shared"] + x[f"{tag} ml-kem shared"]
        n[f"{tag} hkdf prk"] = hmac.digest(bytes(32), ikm, "sha256")
        n.update(hmac_values(f"{tag} hkdf prk", n[f"{tag} hkdf prk"], sha512=False))
        n[f"{tag} aes key"] = x[f"{tag} aes key"]
        n.update(aes_values(f"{tag} aes key", x[f"{tag} aes key"]))
    n["control"] = inputs.public["CONTROL"]
    assert all(len(v) >= 16 for v in n.values())
    return n


class Scanner:
    def __init__(self, tmp_path, pythonpath=(), env=None):
        self.inputs = make_inputs()
        self.needles = needles_for(self.inputs)
        self.child = OpChild(self.inputs, pythonpath=pythonpath, cwd=tmp_path, env=env)

    def run(self, op, *, thread=False):
        public = self.child.run(op, thread=thread)
        if op == "box-from-bytes":  # the caller's bytearray, which from_bytes zeroes
            self.needles["FRESH"] = self.inputs.secrets["FRESH"]
        if "header" in public:
            header = bytes.fromhex(public["header"])
            self.needles[f"{op} stream subkey"] = d.hchacha20(self.inputs.secrets["KEY"], header[:16])

    def leftovers(self):
        """What the scan found, the planted control excepted (which it must find)."""
        assert self.child.ask("scan") == "ready"
        found = scan(self.child.pid, self.needles)
        assert "control" in found, "the scan did not find the planted copy: the scanner is broken"
        del found["control"]
        return found

    def close(self):
        self.child.close()


@pytest.fixture
def scanner(tmp_path):
    s = Scanner(tmp_path)
    yield s
    s.close()


@pytest.mark.parametrize("op", list(OPS))
def test_one_operation_leaves_nothing(scanner, op):
    scanner.run(op)
    assert scanner.leftovers() == {}


# The streams release the interpreter lock; the others hold it. Either way the
# work runs on the module's own stack, and the calling thread's holds nothing.
@pytest.mark.parametrize("op", ["stream-push", "stream-pull", "aes-open", "hmac", "hkdf",
                                "pool-mix", "hybrid-open-session", "box-eq"])
def test_an_operation_on_another_thread_leaves_nothing(scanner, op):
    scanner.run(op, thread=True)
    assert scanner.leftovers() == {}


# On a stack the caller supplied (no guard page), part of it in use before the
# call.
@pytest.mark.parametrize("op", ["hmac", "aes-json-field", "stream-pull", "hkdf",
                                "hybrid-open-session", "hybrid-from-secrets"])
def test_an_operation_on_a_caller_supplied_stack_leaves_nothing(tmp_path, op):
    testmods = built_testmods()
    if not any(testmods.glob("_stack_probe.*")):
        missing_testmod("_stack_probe", "_stack_probe", testmods)
    s = Scanner(tmp_path, pythonpath=[testmods])
    try:
        reply = s.child.ask(f"bare {64 * 1024} {16 * 1024} {op}")
        assert reply == "bare [true, false]", reply
        assert s.leftovers() == {}
    finally:
        s.close()


SEQUENCE = ["hmac", "aes-json-field", "stream-push", "hkdf", "pool-mix", "hybrid-open-session",
            "box-reveal", "stream-pull", "aes-open-refused", "hybrid-generate", "box-wipe"]


@pytest.mark.parametrize("op", [op for op in OPS if op.startswith("hybrid-")])
def test_x25519_on_libsodium_leaves_nothing(tmp_path, op):
    # The operations above run X25519 on the process's own path (the native
    # one where the CPU has it); these on libsodium's.
    s = Scanner(tmp_path, env={"VELMORA_X25519_IMPL": "libsodium"})
    try:
        s.run(op)
        assert s.leftovers() == {}
    finally:
        s.close()


def test_operations_in_sequence_leave_nothing(scanner):
    for op in SEQUENCE:
        scanner.run(op)
        assert scanner.leftovers() == {}, f"after {op}"



def test_the_scan_sees_what_the_wipe_removes(tmp_path):
    """Against the copy of the module built without the wipe, the same
    operations do leave secrets where the scan looks (chiefly through the
    vector registers that the signal after each operation saves on the
    thread's stack), and the text that copy plants on the own stack is found
    there."""
    if SANITIZED:
        pytest.skip("the sanitizers' build has no copy without the wipe")
    s = Scanner(tmp_path, pythonpath=[unwiped_copy()])
    s.needles["planted on the own stack"] = b"own stack: planted for the scan!"
    try:
        found = {}
        for op in OPS:
            s.run(op)
            found.update(s.leftovers())
        for op in ("stream-push", "box-eq", "pool-mix"):
            s.run(op, thread=True)
            found.update(s.leftovers())
    finally:
        s.close()
    assert set(found.pop("planted on the own stack", [])) == {"[own stack]"}, (
        "the scan does not read the own stacks")
    assert found, "nothing left behind even without the wipe: the scan cannot tell"


# The X25519 test entry points (_x25519_test) call the module's X25519
# functions straight, on the thread's stack and with no wipe after them: whatever those functions leave
# on their frames stays there. A child calls both on each path, some frames
# below its loop, with its scalar read from a pipe into a bytearray it zeroes
# afterwards; the scan then looks for the scalar and what the multiplications
# derive from it.
X25519_CHILD = r"""
import os, sys
sys.path.insert(0, sys.argv[3])
import _x25519_test as x

def below(levels, fn):
    if levels == 0:
        return fn()
    return next(map(lambda _: below(levels - 1, fn), [None]))

fd = int(sys.argv[1])
scalar = bytearray(32)
view = memoryview(scalar)
got = 0
while got < 32:
    got += os.readv(fd, [view[got:]])
view.release()
os.close(fd)
peer = bytes.fromhex(sys.argv[2])
control = bytes.fromhex(sys.argv[4])
for path in x.paths():
    below(24, lambda: x.public_key(scalar, path))
    below(24, lambda: x.shared_secret(scalar, peer, path))
scalar[:] = bytes(32)
print("ready", flush=True)
sys.stdin.readline()
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers lay out frames (and fake stacks) their "
                    "own way; the frames checked are the shipped build's")
def test_the_x25519_functions_wipe_their_own_frames(tmp_path):
    testmods = built_testmods()
    if not any(testmods.glob("_x25519_test*")):
        missing_testmod("_x25519_test", "_x25519_test", testmods)
    secret, peer_secret, control = os.urandom(32), os.urandom(32), os.urandom(32)
    from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey
    peer = X25519PrivateKey.from_private_bytes(peer_secret).public_key().public_bytes_raw()
    needles = {"scalar": secret, "clamped": d.x25519_clamped(secret),
               "signed digits": bytes(v & 0xFF for v in d.x25519_base_digits(secret)),
               "control": control}
    for i, entry in d.x25519_base_selections(secret, [55, 57, 59, 61, 63, 56, 58, 60, 62]).items():
        needles[f"table selection {i}"] = entry
    rfd, wfd = os.pipe()
    proc = subprocess.Popen(
        [sys.executable, "-P", "-c", X25519_CHILD, str(rfd), peer.hex(), str(testmods), control.hex()],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(rfd,),
        env=child_env(), cwd=tmp_path, text=True)
    os.close(rfd)
    try:
        with os.fdopen(wfd, "wb") as pipe:
            pipe.write(secret)
        assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
        found = scan(proc.pid, needles)
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()
    assert "control" in found, "the scan did not find the planted copy: the scanner is broken"
    del found["control"]
    assert found == {}
