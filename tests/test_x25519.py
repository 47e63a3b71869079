"""X25519: the native mulx/adx path against exact integers, RFC 7748, the
Wycheproof vectors and libsodium.

The code is reached through the test-only module `_x25519_test` (tests/native;
conftest.import_testmod finds it).
The field tests run where the CPU has BMI2 and ADX; the vector tests run on
every path it has.
"""

from __future__ import annotations

import importlib
import itertools
import json
import random
import re
import sys
from pathlib import Path

import pytest

from conftest import REPO, built_testmods, import_testmod

P = 2**255 - 19
M64 = 2**64 - 1


ours = import_testmod("_x25519_test")
PATHS = ours.paths()
native_only = pytest.mark.skipif("native" not in PATHS, reason="this CPU has no BMI2/ADX")


def enc(v: int) -> bytes:
    return v.to_bytes(32, "little")


def dec(b: bytes) -> int:
    return int.from_bytes(b, "little")


# --- the field, against Python's integers ----------------------------------------

LIMBS = (0, 1, 2**63, M64)
WHOLE = (P - 1, P, P + 1, 2 * P - 1, 2**255 - 1, 2**256 - 1)
BOUNDARY = [sum(l << (64 * i) for i, l in enumerate(limbs)) for limbs in itertools.product(LIMBS, repeat=4)]
BOUNDARY += WHOLE
_rng = random.Random(0x25519)
RANDOM = [_rng.getrandbits(256) for _ in range(200)] + [_rng.getrandbits(255) for _ in range(50)]


def field(op, *values):
    return dec(ours.field(op, *map(enc, values)))


# --- key generation's own additions in adx.cpp (any input below 2^256) -----------

INLINE = {
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
}


@native_only
@pytest.mark.parametrize("op", sorted(INLINE))
@pytest.mark.parametrize("values", ["boundary", "random"])
def test_key_generation_additions_match_integers(op, values):
    # Every pair of boundary values (each limb 0, 1, 2^63 or 2^64 - 1, and the
    # values around p and 2^256), or random 256-bit pairs with boundaries mixed in.
    pool = BOUNDARY if values == "boundary" else RANDOM + list(WHOLE)
    want = INLINE[op]
    wrong = [(hex(a), hex(b)) for a in pool for b in pool if field(op, a, b) % P != want(a, b) % P]
    assert wrong[:5] == []


@native_only
def test_encode_gives_the_exact_residue():
    assert [hex(a) for a in BOUNDARY + RANDOM if field("encode", a) != a % P] == []


# --- the assembly (ladder_adx.S) against the bounds it states ---------------------
#
# Every macro and entry point of the .S carries one line
#   // Bounds: in <operands> < <bound>, ...; out <results> < <bound>.
# (or "// Bounds: none (...)." where no field value passes). adx.cpp repeats
# the line of each entry point above its declaration. The entry points are
# checked here against their own lines: inputs at and just inside the input
# bounds, results correct mod p and inside the output bound.

X25519_SRC = REPO / "src" / "crypto" / "x25519"
BOUNDS_FORM = re.compile(r"(in .+; out .+|none \(.+\))\.")
ENTRY_OPS = {  # entry point -> (the test module's operation, what it computes)
    "velmora_x25519_fe_mul": ("ladder_mul", lambda a, b: a * b),
    "velmora_x25519_fe_sqr": ("ladder_sqr", lambda a: a * a),
    "velmora_x25519_fe_add": ("ladder_add", lambda a, b: a + b),
    "velmora_x25519_fe_sub": ("ladder_sub", lambda a, b: a - b),
    "velmora_x25519_fe_a24": ("ladder_a24", lambda a, b: 121666 * a + b),
    "velmora_x25519_invert": ("inv", lambda z: pow(z, P - 2, P)),
}


def _power_sum(text):
    """The value of a bound as the lines write it: '2^255 + 2^11', '2^256 - 38'."""
    assert re.fullmatch(r"[0-9^+\- ]+", text), text
    return eval(text.replace("^", "**"))  # digits, powers, + and - only


def parse_bounds(line):
    """{'in': {name: bound}, 'out': {name: bound}} from a Bounds line's text."""
    ins, outs = re.fullmatch(r"in (.+); out (.+)\.", line).groups()

    def pairs(part):
        found = {}
        for names, bound in re.findall(r"([\w.]+(?:, [\w.]+)*) < ([0-9^+\- ]+?)(?=,|$)", part):
            found.update(dict.fromkeys(names.split(", "), _power_sum(bound)))
        return found

    return {"in": pairs(ins), "out": pairs(outs)}


def asm_bounds():
    """(macro and #define names without a Bounds line in its comment, lines not
    in the fixed form, {entry point: Bounds text})."""
    lines = (X25519_SRC / "ladder_adx.S").read_text().splitlines()
    missing, malformed, entries = [], [], {}
    for i, line in enumerate(lines):
        m = re.match(r"(?:\.macro|#define) (\w+)|(?:FN_ENTRY|FIELD_ENTRY) (velmora_\w+)", line)
        if not m or (line.startswith("FN_ENTRY") and "velmora_" not in line):
            continue
        comment = []
        for above in reversed(lines[:i]):
            if not above.startswith("//"):
                break
            comment.append(above)
        stated = [c.removeprefix("// Bounds: ") for c in comment if c.startswith("// Bounds: ")]
        if len(stated) != 1:
            missing.append(m.group(1) or m.group(2))
            continue
        if not BOUNDS_FORM.fullmatch(stated[0]):
            malformed.append(stated[0])
        if m.group(2):
            entries[m.group(2)] = stated[0]
    return missing, malformed, entries


def test_every_macro_and_entry_point_states_its_bounds():
    missing, malformed, entries = asm_bounds()
    assert missing == []
    assert malformed == []
    assert set(entries) == set(ENTRY_OPS) | {"velmora_x25519_ladder"}
    # adx.cpp declares each entry point under the same line.
    declared = dict(
        (name, text) for text, name in re.findall(
            r"^// Bounds: (.+)\nvoid (velmora_\w+)\(", (X25519_SRC / "adx.cpp").read_text(), re.M)
    )
    assert declared == entries


def edges(bound):
    """Inputs up to an input bound: the boundary values below it, and the
    values just inside it."""
    near = [bound - d for d in (1, 2, 19, 38, 39, 2**64, 2**128)] + [bound >> 1]
    return sorted({v for v in BOUNDARY + near if 0 <= v < bound})


ENTRY_BOUNDS = {name: parse_bounds(text) for name, text in asm_bounds()[2].items()}


@native_only
@pytest.mark.parametrize("entry", sorted(ENTRY_OPS))
def test_entry_points_keep_their_stated_bounds(entry):
    op, want = ENTRY_OPS[entry]
    bounds = ENTRY_BOUNDS[entry]
    (out_bound,) = set(bounds["out"].values())
    operands = [edges(bounds["in"][name]) for name in ("a", "b") if name in bounds["in"]]
    operands = operands or [edges(bounds["in"]["z"])]
    wrong, above = [], []
    for values in itertools.product(*operands):
        got = field(op, *values)
        if got % P != want(*values) % P:
            wrong.append(tuple(map(hex, values)))
        if got >= out_bound:
            above.append(tuple(map(hex, values)))
    assert wrong[:5] == []
    assert above[:5] == []


def reference_ladder(k, u):
    """RFC 7748's ladder on Python's integers, bits 254..0 of k: u(k P) mod p."""
    x1, x2, z2, x3, z3, swap = u % P, 1, 0, u % P, 1, 0
    for t in reversed(range(255)):
        bit = k >> t & 1
        swap ^= bit
        if swap:
            x2, x3, z2, z3 = x3, x2, z3, z2
        swap = bit
        a, b = x2 + z2, x2 - z2
        aa, bb = a * a, b * b
        e = aa - bb
        c, d = x3 + z3, x3 - z3
        da, cb = d * a, c * b
        x3, z3 = (da + cb) ** 2 % P, x1 * (da - cb) ** 2 % P
        x2, z2 = aa * bb % P, e * (aa + 121665 * e) % P
    if swap:
        x2, z2 = x3, z3
    return x2 * pow(z2, P - 2, P) % P


@native_only
def test_ladder_keeps_its_stated_bounds():
    bounds = ENTRY_BOUNDS["velmora_x25519_ladder"]
    (out_bound,) = set(bounds["out"].values())
    rng = random.Random(0x1AD)
    scalars = [rng.getrandbits(256) for _ in range(2)] + [2**256 - 1, 2**254]
    wrong, above = [], []
    for i, u in enumerate(edges(bounds["in"]["x1"])):
        k = scalars[i % len(scalars)]
        x, z = map(dec, ours.ladder(enc(k), enc(u)))
        if x * pow(z, P - 2, P) % P != reference_ladder(k, u):
            wrong.append((hex(k), hex(u)))
        if max(x, z) >= out_bound:
            above.append((hex(k), hex(u)))
    assert wrong[:5] == []
    assert above[:5] == []


@native_only
def test_chained_results_stay_correct():
    # The outputs of one operation (not reduced) are the inputs of the next,
    # as in the ladder, each second operand drawn up to that operation's bound.
    rng = random.Random(7)
    x = enc(rng.getrandbits(255))
    exact = dec(x) % P
    ops = {"add": (2**256, lambda a, b: a + b), "sub": (2**256, lambda a, b: a - b)}
    for entry, (op, want) in ENTRY_OPS.items():
        if op != "inv":
            ops[op] = (ENTRY_BOUNDS[entry]["in"]["a"], want)
    names = sorted(ops)
    for i in range(3000):
        op = names[i % len(names)]
        bound, want = ops[op]
        if dec(x) >= bound:  # an addition after an addition: not what the ladder does
            x = ours.field("ladder_mul", x, enc(1))
        if op.endswith("sqr"):
            x = ours.field(op, x)
            exact = exact * exact % P
        else:
            y = rng.randrange(bound) if i % 3 else bound - 1
            x = ours.field(op, x, enc(y))
            exact = want(exact, y) % P
    assert dec(ours.field("encode", x)) == exact


# --- scalar multiplication -------------------------------------------------------

# RFC 7748 section 5.2.
RFC_VECTORS = [
    (
        "a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
        "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
        "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552",
    ),
    (
        "4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
        "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
        "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957",
    ),
]


@pytest.mark.parametrize("path", PATHS)
def test_rfc7748_vectors(path):
    for scalar, u, out in RFC_VECTORS:
        assert ours.shared_secret(bytes.fromhex(scalar), bytes.fromhex(u), path).hex() == out
    # The iterated test: k, u = X25519(k, u), k.
    k = u = enc(9)
    for i in range(1, 1001):
        k, u = ours.shared_secret(k, u, path), k
        if i == 1:
            assert k.hex() == "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"
    assert k.hex() == "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"


@pytest.mark.parametrize("path", PATHS)
def test_rfc7748_key_agreement(path):
    alice = bytes.fromhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a")
    bob = bytes.fromhex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb")
    alice_pub, bob_pub = ours.public_key(alice, path), ours.public_key(bob, path)
    assert alice_pub.hex() == "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"
    assert bob_pub.hex() == "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"
    assert ours.shared_secret(alice, bob_pub, path).hex() == (
        "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"
    )
    assert ours.shared_secret(bob, alice_pub, path) == ours.shared_secret(alice, bob_pub, path)


@pytest.mark.parametrize("path", PATHS)
def test_wycheproof_vectors(path, vectors_dir):
    doc = json.loads((vectors_dir / "x25519_test.json").read_text())
    wrong = []
    for case in (t for g in doc["testGroups"] for t in g["tests"]):
        got = ours.shared_secret(bytes.fromhex(case["private"]), bytes.fromhex(case["public"]), path)
        # An all-zero result (a low-order point) is refused, as the library refuses it.
        want = None if set(case["shared"]) == {"0"} else case["shared"]
        if (got and got.hex()) != want:
            wrong.append(case["tcId"])
    assert wrong == []


# The two u-coordinates of the points of order 8.
ORDER_8 = [
    0x00B8495F16056286FDB1329CEB8D09DA6AC49FF1FAE35616AEB8413B7C7AEBE0,
    0x57119FD0DD4E22D8868E1C58C45C44045BEF839C55B1D0B1248C50A3BC959C5F,
]


def _x_double(u):
    """u of 2Q on the Montgomery curve, from Q's u alone; None for the point at infinity."""
    den = 4 * u * (u * u + 486662 * u + 1) % P
    return None if den == 0 else (u * u - 1) ** 2 * pow(den, P - 2, P) % P


@pytest.mark.parametrize("u", ORDER_8, ids=["order8-a", "order8-b"])
def test_the_crafted_order_8_points_have_order_8(u):
    twice = _x_double(u)
    four = _x_double(twice)
    assert twice is not None and four is not None and _x_double(four) is None


@pytest.mark.parametrize("path", PATHS)
def test_order_8_points_are_refused(path):
    scalar = random.Random(8).randbytes(32)
    assert [ours.shared_secret(scalar, enc(u), path) for u in ORDER_8] == [None, None]


def _crafted_points():
    """u values at the limb and reduction boundaries, each also with bit 255 set
    (which is ignored), plus the points of small order."""
    base = [0, 1, 9, P - 1, P, P + 1, P + 9, 2**255 - 1, 2**255 - 20, 2**64 - 1, 2**128 - 1, 2**192 - 1]
    base += [sum(l << (64 * i) for i, l in enumerate(limbs)) & (2**255 - 1)
             for limbs in itertools.product((0, 1, 2**63, M64), repeat=4)]
    # The points of order 8 (u and its counterparts above p).
    base += ORDER_8 + [u + P for u in ORDER_8 if u + P < 2**255]
    base += [P - 1 + 1, 2 * P - 1 - P]
    return sorted({v for u in base for v in (u, u | 1 << 255)})


CRAFTED = _crafted_points()


@pytest.mark.skipif(len(PATHS) < 2, reason="this CPU runs libsodium only")
def test_native_matches_libsodium():
    rng = random.Random(0xD1FF)
    scalars = [rng.randbytes(32) for _ in range(40)]
    scalars += [bytes(32), b"\xff" * 32, bytes(31) + b"\x80", b"\x07" + bytes(31)]
    points = [enc(u) for u in CRAFTED] + [rng.randbytes(32) for _ in range(200)]
    mismatched = []
    for i, u in enumerate(points):
        k = scalars[i % len(scalars)]
        if ours.shared_secret(k, u, "native") != ours.shared_secret(k, u, "libsodium"):
            mismatched.append(("shared", k.hex(), u.hex()))
    for k in scalars + [rng.randbytes(32) for _ in range(200)]:
        if ours.public_key(k, "native") != ours.public_key(k, "libsodium"):
            mismatched.append(("public", k.hex()))
    assert mismatched == []


@pytest.mark.parametrize(
    ("value", "expected"),
    [("", "best"), ("  ", "best"), ("native", "best"), ("NATIVE", "best"), (" Native", "best"),
     ("native\n", "best"), ("\u2003native\t", "best"), ("libsodium", "libsodium"),
     (" LibSodium ", "libsodium"), ("native-ish", "libsodium"), ("nat ive", "libsodium"),
     ("sandy", "libsodium")],
)
def test_environment_picks_the_path(run_child, value, expected):
    # Read as the lock policy is: surrounding whitespace and case ignored.
    # Unset, empty or blank means native where the CPU has it; anything
    # unknown, libsodium.
    if expected == "best":
        expected = PATHS[-1]
    child = run_child(
        f"import sys; sys.path.insert(0, {str(built_testmods())!r}); "
        "import _x25519_test; print(_x25519_test.active_path())",
        env={"VELMORA_X25519_IMPL": value},
    )
    assert child.stdout.strip() == expected


def test_base_table_is_what_the_generator_writes():
    root = Path(__file__).resolve().parent.parent / "src" / "crypto" / "x25519"
    sys.path.insert(0, str(root))
    try:
        gen_table = importlib.import_module("gen_table")
    finally:
        sys.path.remove(str(root))
    assert (root / "base_table.h").read_text() == gen_table.header()
