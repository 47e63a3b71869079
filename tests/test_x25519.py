"""X25519: the native mulx/adx path against exact integers, RFC 7748, the
Wycheproof vectors and libsodium.

The code is reached through the test-only module `_x25519_test`, found in
$VELMORA_TESTMODS (<build>/testmods of a build with VELMORA_BUILD_TESTS=ON).
The field tests run where the CPU has BMI2 and ADX; the vector tests run on
every path it has.
"""

from __future__ import annotations

import importlib
import itertools
import json
import os
import random
import sys
from pathlib import Path

import pytest

P = 2**255 - 19
M64 = 2**64 - 1


def _load_testmod():
    where = os.environ.get("VELMORA_TESTMODS")
    if not where:
        pytest.skip(
            "VELMORA_TESTMODS is not set (it names <build>/testmods of a build with VELMORA_BUILD_TESTS=ON)",
            allow_module_level=True,
        )
    sys.path.insert(0, where)
    try:
        return importlib.import_module("_x25519_test")
    except ImportError as exc:
        pytest.skip(f"_x25519_test not importable from {where}: {exc}", allow_module_level=True)
    finally:
        sys.path.remove(where)


ours = _load_testmod()
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

BINARY = {
    "mul": lambda a, b: a * b,  # inline assembly (adcx/adox)
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "ladder_mul": lambda a, b: a * b,  # the hand-written ladder's
    "ladder_add": lambda a, b: a + b,
    "ladder_sub": lambda a, b: a - b,
    "ladder_a24": lambda a, b: 121666 * a + b,
}

# The ladder's addition and subtraction take only what its products give:
# values below LADDER_BOUND. They are checked over that range, up to its edge,
# and the products are checked to land in it, for any input below 2^256.
LADDER_BOUND = 2**255 + 2**32
BOUNDED_OPS = ("ladder_add", "ladder_sub")
PRODUCT_OPS = ("ladder_mul", "ladder_a24", "ladder_sqr")
BOUND_EDGE = [LADDER_BOUND - 1, 2**255 + 2**31, 2**255 + 19, 2**255]


def field(op, *values):
    return dec(ours.field(op, *map(enc, values)))


@native_only
@pytest.mark.parametrize("op", sorted(BINARY))
@pytest.mark.parametrize("values", ["boundary", "random"])
def test_binary_field_operations_match_integers(op, values):
    # Every pair of boundary values (each limb 0, 1, 2^63 or 2^64 - 1, and the
    # values around p and 2^256), or random 256-bit pairs with boundaries mixed in.
    pool = BOUNDARY if values == "boundary" else RANDOM + list(WHOLE)
    if op in BOUNDED_OPS:
        pool = [v for v in pool if v < LADDER_BOUND] + BOUND_EDGE
    want = BINARY[op]
    wrong, unbounded = [], []
    for a in pool:
        for b in pool:
            got = field(op, a, b)
            if got % P != want(a, b) % P:
                wrong.append((hex(a), hex(b)))
            if op in PRODUCT_OPS and got >= LADDER_BOUND:
                unbounded.append((hex(a), hex(b)))
    assert wrong[:5] == []
    assert unbounded[:5] == []


@native_only
def test_unary_field_operations_match_integers():
    wrong = []
    for a in BOUNDARY + RANDOM:
        got = {op: field(op, a) for op in ("sqr", "ladder_sqr", "inv", "encode")}
        for op in ("sqr", "ladder_sqr"):
            if got[op] % P != a * a % P:
                wrong.append((op, hex(a)))
        if got["ladder_sqr"] >= LADDER_BOUND:
            wrong.append(("ladder_sqr above the bound", hex(a)))
        if got["inv"] % P != pow(a, P - 2, P):  # 0 for any multiple of p
            wrong.append(("inv", hex(a)))
        if got["encode"] != a % P:  # canonical: the exact residue
            wrong.append(("encode", hex(a)))
    assert wrong == []


@native_only
def test_chained_results_stay_correct():
    # The outputs of one operation (below 2^256 but not reduced) are the inputs
    # of the next, as in the ladder.
    rng = random.Random(7)
    x = enc(rng.getrandbits(256))
    exact = dec(x) % P
    # The ladder's additions and subtractions follow its products, as in the
    # ladder, and take a second operand below LADDER_BOUND.
    ops = ("mul", "add", "sub", "sqr", "ladder_mul", "ladder_add", "ladder_sqr", "ladder_sub",
           "ladder_a24")
    for i in range(3000):
        op = ops[i % len(ops)]
        if op in BOUNDED_OPS:
            y = rng.randrange(LADDER_BOUND) if i % 3 else LADDER_BOUND - 1
        else:
            y = rng.getrandbits(256) if i % 3 else M64 << 192 | M64
        if op.endswith("sqr"):
            x = ours.field(op, x)
            exact = exact * exact % P
        else:
            x = ours.field(op, x, enc(y))
            exact = BINARY[op](exact, y) % P
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
        f"import sys; sys.path.insert(0, {os.environ['VELMORA_TESTMODS']!r}); "
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
