"""HybridKeyPair and seal_hybrid: interoperability in both directions with an
independent composition on the `cryptography` package, tampering, key
validation on sealing and on restore, the identity's lifecycle, and its
interface."""

import copy
import hashlib
import json
import os
import pickle
import re
from typing import NamedTuple

import pytest

import kernel_probe

from velmora._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from messages import EMPTY, FORK, KEY_REJECTED, OPEN_FAILED, STR_REFUSED, WIPED, live, secure_error, wrong_length

try:
    from cryptography.hazmat.primitives.asymmetric.mlkem import (
        MLKEM768PrivateKey,
        MLKEM768PublicKey,
    )

    MLKEM768PrivateKey.generate()
except Exception as exc:  # pragma: no cover - depends on the installed wheel
    MLKEM_MISSING = f"cryptography has no usable ML-KEM-768 here: {exc!r}"
else:
    MLKEM_MISSING = None

needs_reference_mlkem = pytest.mark.skipif(MLKEM_MISSING is not None, reason=str(MLKEM_MISSING))

NO_COPY = "HybridKeyPair cannot be pickled or copied · HybridKeyPair não pode ser serializado nem copiado"
LABEL = b"quorvix-sdk-hybrid-seal-v1"
T_HAT, HASH, Z = slice(1152, 2304), slice(2336, 2368), slice(2368, 2400)
EK = slice(1152, 2336)


# --- the independent composition ------------------------------------------------------


def reference_key(x25519_shared, mlkem_shared, encapsulation):
    return HKDF(
        algorithm=hashes.SHA256(), length=32, salt=None, info=LABEL + encapsulation
    ).derive(x25519_shared + mlkem_shared)


def reference_seal(x25519_public, mlkem768_public, plaintext, aad):
    e = X25519PrivateKey.generate()
    x_shared = e.exchange(X25519PublicKey.from_public_bytes(x25519_public))
    k_shared, c = MLKEM768PublicKey.from_public_bytes(mlkem768_public).encapsulate()
    encapsulation = e.public_key().public_bytes_raw() + c
    nonce = os.urandom(12)
    key = reference_key(x_shared, k_shared, encapsulation)
    return encapsulation, nonce, AESGCM(key).encrypt(nonce, plaintext, aad)


class ReferenceIdentity:
    def __init__(self):
        self.x25519 = X25519PrivateKey.generate()
        self.mlkem = MLKEM768PrivateKey.generate()
        self.x25519_public = self.x25519.public_key().public_bytes_raw()
        self.mlkem768_public = self.mlkem.public_key().public_bytes_raw()

    def open(self, encapsulation, nonce, ciphertext, aad):
        x_shared = self.x25519.exchange(X25519PublicKey.from_public_bytes(encapsulation[:32]))
        k_shared = self.mlkem.decapsulate(encapsulation[32:])
        key = reference_key(x_shared, k_shared, encapsulation)
        return AESGCM(key).decrypt(nonce, ciphertext, aad)


class Sealed(NamedTuple):
    encapsulation: bytes
    nonce: bytes
    ciphertext: bytes
    aad: bytes


@pytest.fixture(scope="module")
def identity():
    return HybridKeyPair.generate()


@pytest.fixture(scope="module")
def other_identity():
    return HybridKeyPair.generate()


@pytest.fixture(scope="module")
def sealed(identity):
    aad = b"group:42"
    return Sealed(*seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"payload", aad), aad)


PAYLOADS = [
    pytest.param(b"", b"", id="empty-plaintext-empty-aad"),
    pytest.param(b"", b"aad", id="empty-plaintext"),
    pytest.param(b"k" * 32, b"", id="empty-aad"),
    pytest.param(bytes(range(256)) * 40 + b"tail", b"\x00" * 100, id="10k"),
]


# --- interoperability -------------------------------------------------------------------


@needs_reference_mlkem
@pytest.mark.parametrize("plaintext, aad", PAYLOADS)
def test_reference_seal_opens_here(identity, plaintext, aad):
    seal = reference_seal(identity.x25519_public, identity.mlkem768_public, plaintext, aad)
    assert identity.open(*seal, aad) == plaintext
    if plaintext:
        assert identity.open_secret(*seal, aad).reveal() == plaintext


@needs_reference_mlkem
@pytest.mark.parametrize("plaintext, aad", PAYLOADS)
def test_seal_hybrid_opens_with_reference(plaintext, aad):
    recipient = ReferenceIdentity()
    encapsulation, nonce, ciphertext = seal_hybrid(
        recipient.x25519_public, recipient.mlkem768_public, plaintext, aad
    )
    assert (len(encapsulation), len(nonce), len(ciphertext)) == (1120, 12, len(plaintext) + 16)
    assert recipient.open(encapsulation, nonce, ciphertext, aad) == plaintext


@pytest.mark.parametrize("plaintext, aad", PAYLOADS)
def test_round_trip(identity, plaintext, aad):
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, plaintext, aad)
    assert identity.open(*seal, aad) == plaintext


def test_byte_inputs_of_any_layout(identity):
    plaintext = bytes(range(200))
    seal = seal_hybrid(
        bytearray(identity.x25519_public),
        memoryview(identity.mlkem768_public),
        memoryview(bytearray(plaintext * 2))[::2],
        bytearray(b"aad"),
    )
    enc, nonce, ct = seal
    opened = identity.open(memoryview(enc), bytearray(nonce), bytearray(ct), memoryview(b"aad"))
    assert opened == (plaintext * 2)[::2]


def test_every_seal_is_fresh(identity):
    args = (identity.x25519_public, identity.mlkem768_public, b"same", b"same")
    first, second = seal_hybrid(*args), seal_hybrid(*args)
    for a, b in zip(first, second):
        assert a != b


def test_open_secret_of_empty_plaintext_is_refused(identity):
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"", b"")
    assert identity.open(*seal, b"") == b""
    before = live()
    with secure_error(EMPTY):
        identity.open_secret(*seal, b"")
    assert live() == before


def test_open_secret_counts_one_new_secret(identity):
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"dek" * 11, b"")
    before = live()
    box = identity.open_secret(*seal, b"")
    assert live() == before + 1
    assert bytes(box.reveal()) == b"dek" * 11
    del box
    assert live() == before


# --- tampering ------------------------------------------------------------------------


def flip(data, index, bit=0):
    out = bytearray(data)
    out[index] ^= 1 << bit
    return bytes(out)


TAMPERING = {
    "E-low-bit": lambda s: s._replace(encapsulation=flip(s.encapsulation, 0)),
    # X25519 ignores this bit, the derivation's info does not.
    "E-top-bit": lambda s: s._replace(encapsulation=flip(s.encapsulation, 31, 7)),
    "E-all-zero": lambda s: s._replace(encapsulation=bytes(32) + s.encapsulation[32:]),
    "c-first-byte": lambda s: s._replace(encapsulation=flip(s.encapsulation, 32)),
    "c-last-byte": lambda s: s._replace(encapsulation=flip(s.encapsulation, 1119, 7)),
    "nonce": lambda s: s._replace(nonce=flip(s.nonce, 11, 7)),
    "ciphertext": lambda s: s._replace(ciphertext=flip(s.ciphertext, 0)),
    "tag": lambda s: s._replace(ciphertext=flip(s.ciphertext, -1, 7)),
    "tag-only": lambda s: s._replace(ciphertext=s.ciphertext[-16:]),
    "short-ciphertext": lambda s: s._replace(ciphertext=s.ciphertext[-15:]),
    "aad-changed": lambda s: s._replace(aad=s.aad + b"!"),
    "aad-dropped": lambda s: s._replace(aad=b""),
    "aad-as-bytearray-of-other-bytes": lambda s: s._replace(aad=bytearray(s.aad.upper())),
}


@pytest.mark.parametrize("tamper", TAMPERING.values(), ids=TAMPERING.keys())
@pytest.mark.parametrize("opener", ["open", "open_secret", "open_session"])
def test_tampered_seal_does_not_open(identity, sealed, tamper, opener):
    assert identity.open(*sealed) == b"payload"
    before = live()
    with secure_error(OPEN_FAILED):
        getattr(identity, opener)(*tamper(sealed))
    assert live() == before


def test_seal_for_another_identity_does_not_open(identity, other_identity, sealed):
    with secure_error(OPEN_FAILED):
        other_identity.open(*sealed)


def test_aad_given_only_at_opening_does_not_open(identity):
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"p", b"")
    with secure_error(OPEN_FAILED):
        identity.open(*seal, b"aad")


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(encapsulation=lambda e: e[:-1]), wrong_length("encapsulation", 1120, 1119)),
        (dict(encapsulation=lambda e: e + b"\0"), wrong_length("encapsulation", 1120, 1121)),
        (dict(encapsulation=lambda e: b""), wrong_length("encapsulation", 1120, 0)),
        (dict(nonce=lambda n: n[:11]), wrong_length("aes-gcm nonce", 12, 11)),
        (dict(nonce=lambda n: n + b"\0"), wrong_length("aes-gcm nonce", 12, 13)),
        # The encapsulation's length is checked before the nonce's.
        (
            dict(encapsulation=lambda e: e[:-1], nonce=lambda n: b""),
            wrong_length("encapsulation", 1120, 1119),
        ),
    ],
)
def test_wrong_lengths_when_opening(identity, sealed, change, message):
    parts = sealed._asdict()
    for name, fn in change.items():
        parts[name] = fn(parts[name])
    with secure_error(message):
        identity.open(**parts)


@pytest.mark.parametrize(
    "x25519_public, mlkem768_public, message",
    [
        (31, 1184, wrong_length("x25519 public key", 32, 31)),
        (33, 1184, wrong_length("x25519 public key", 32, 33)),
        (31, 1183, wrong_length("x25519 public key", 32, 31)),  # X25519 first
        (32, 1183, wrong_length("ml-kem-768 public key", 1184, 1183)),
        (32, 0, wrong_length("ml-kem-768 public key", 1184, 0)),
    ],
)
def test_wrong_lengths_when_sealing(identity, x25519_public, mlkem768_public, message):
    x = (identity.x25519_public * 2)[:x25519_public]
    m = (identity.mlkem768_public * 2)[:mlkem768_public]
    with secure_error(message):
        seal_hybrid(x, m, b"p", b"")


# --- key validation when sealing ---------------------------------------------------------


@pytest.fixture
def low_order_points(vectors_dir):
    doc = json.loads((vectors_dir / "x25519_test.json").read_text())
    cases = [t for g in doc["testGroups"] for t in g["tests"]]
    points = sorted({t["public"] for t in cases if set(t["shared"]) == {"0"}})
    assert points, "the file lists no low-order points"
    return [bytes.fromhex(p) for p in points]


def test_low_order_x25519_keys_are_refused_when_sealing(identity, low_order_points):
    accepted = []
    for point in low_order_points:
        try:
            seal_hybrid(point, identity.mlkem768_public, b"p", b"")
        except SecureError as e:
            assert e.args == (KEY_REJECTED,)
        else:
            accepted.append(point.hex())
    assert accepted == []


def test_low_order_ephemeral_keys_do_not_open(identity, sealed, low_order_points):
    opened = []
    for point in low_order_points:
        try:
            identity.open(point + sealed.encapsulation[32:], *sealed[1:])
        except SecureError as e:
            assert e.args == (OPEN_FAILED,)
        else:
            opened.append(point.hex())
    assert opened == []


def set_coefficient(encoded, index, value):
    """Sets coefficient `index` of a ByteEncode12 string (two per three bytes)."""
    out = bytearray(encoded)
    at = 3 * (index // 2)
    if index % 2 == 0:
        out[at] = value & 0xFF
        out[at + 1] = (out[at + 1] & 0xF0) | (value >> 8)
    else:
        out[at + 1] = (out[at + 1] & 0x0F) | ((value & 0x0F) << 4)
        out[at + 2] = value >> 4
    return bytes(out)


COEFFICIENTS = [
    pytest.param(0, 4095, False, id="first-4095"),
    pytest.param(0, 3329, False, id="first-3329"),
    pytest.param(0, 3328, True, id="first-3328"),
    pytest.param(1, 3329, False, id="odd-3329"),
    pytest.param(1, 3328, True, id="odd-3328"),
    pytest.param(767, 3329, False, id="last-3329"),
    pytest.param(767, 0, True, id="last-0"),
]


def test_coefficient_helper_matches_the_spec_example():
    assert set_coefficient(bytes(3), 0, 4095) == b"\xff\x0f\x00"


@pytest.mark.parametrize("index, value, valid", COEFFICIENTS)
def test_mlkem_key_modulus_check_when_sealing(identity, index, value, valid):
    ek = set_coefficient(identity.mlkem768_public, index, value)
    if valid:
        assert len(seal_hybrid(identity.x25519_public, ek, b"p", b"")[0]) == 1120
    else:
        with secure_error(KEY_REJECTED):
            seal_hybrid(identity.x25519_public, ek, b"p", b"")


def test_rho_is_taken_as_it_is(identity):
    ek = identity.mlkem768_public[:-32] + b"\xff" * 32
    assert len(seal_hybrid(identity.x25519_public, ek, b"p", b"")[2]) == 17


# --- argument handling ----------------------------------------------------------------------


@pytest.mark.parametrize("position", range(4))
def test_seal_hybrid_refuses_str_and_none(identity, position):
    args = [identity.x25519_public, identity.mlkem768_public, b"p", b""]
    args[position] = "text"
    with pytest.raises(TypeError, match=re.escape(STR_REFUSED)):
        seal_hybrid(*args)
    args[position] = None
    with pytest.raises(TypeError):
        seal_hybrid(*args)


@pytest.mark.parametrize("position", range(4))
def test_openings_refuse_str_and_none_before_any_key_is_touched(sealed, position):
    wiped = HybridKeyPair.generate()
    wiped.wipe()
    args = list(sealed)
    args[position] = "text"
    with pytest.raises(TypeError, match=re.escape(STR_REFUSED)):
        wiped.open(*args)
    args[position] = None
    for opener in (wiped.open, wiped.open_secret, wiped.open_session):
        with pytest.raises(TypeError):
            opener(*args)


def test_keyword_arguments(identity):
    enc, nonce, ct = seal_hybrid(
        aad=b"a", plaintext=b"p", mlkem768_public=identity.mlkem768_public,
        x25519_public=identity.x25519_public,
    )
    assert identity.open(ciphertext=ct, aad=b"a", nonce=nonce, encapsulation=enc) == b"p"
    with pytest.raises(TypeError):
        identity.open(enc, nonce, ct)  # aad has no default
    with pytest.raises(TypeError):
        seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"p")


# --- the identity's keys ----------------------------------------------------------------------


def test_generate_gives_distinct_consistent_identities():
    a, b = HybridKeyPair.generate(), HybridKeyPair.generate()
    assert a.x25519_public != b.x25519_public
    assert a.mlkem768_public != b.mlkem768_public
    for pair in (a, b):
        x = bytes(pair.x25519_secret().reveal())
        dk = bytes(pair.mlkem768_secret().reveal())
        assert X25519PrivateKey.from_private_bytes(x).public_key().public_bytes_raw() == (
            pair.x25519_public
        )
        assert len(dk) == 2400
        assert dk[EK] == pair.mlkem768_public
        assert dk[HASH] == hashlib.sha3_256(pair.mlkem768_public).digest()


def test_identity_accounts_for_two_live_secrets():
    before = live()
    pair = HybridKeyPair.generate()
    assert live() == before + 2
    pair.wipe()
    assert live() == before + 2
    del pair
    assert live() == before


def test_exported_secrets_are_independent_copies():
    pair = HybridKeyPair.generate()
    x, dk = pair.x25519_secret(), pair.mlkem768_secret()
    assert (len(x), len(dk)) == (32, 2400)
    assert x.is_locked == dk.is_locked
    x_bytes = bytes(x.reveal())
    x.wipe()
    assert bytes(pair.x25519_secret().reveal()) == x_bytes
    pair.wipe()
    assert len(dk.reveal()) == 2400


@pytest.fixture
def secrets():
    pair = HybridKeyPair.generate()
    return pair, bytes(pair.x25519_secret().reveal()), bytes(pair.mlkem768_secret().reveal())


def test_from_secrets_round_trip(secrets, identity):
    pair, x, dk = secrets
    xbox, dkbox = SecretBox.from_bytes(x), SecretBox.from_bytes(dk)
    restored = HybridKeyPair.from_secrets(xbox, dkbox)
    assert restored.x25519_public == pair.x25519_public
    assert restored.mlkem768_public == pair.mlkem768_public
    for payload, aad in [(b"", b""), (b"content", b"aad")]:
        seal = seal_hybrid(pair.x25519_public, pair.mlkem768_public, payload, aad)
        assert restored.open(*seal, aad) == payload
    # The sources are only read.
    assert bytes(xbox.reveal()) == x and bytes(dkbox.reveal()) == dk
    restored.wipe()
    assert bytes(xbox.reveal()) == x
    # Also straight from the exported boxes, by keyword.
    again = HybridKeyPair.from_secrets(
        mlkem768_secret=pair.mlkem768_secret(), x25519_secret=pair.x25519_secret()
    )
    assert again.mlkem768_public == pair.mlkem768_public


@needs_reference_mlkem
def test_restored_identity_opens_reference_seals(secrets):
    pair, x, dk = secrets
    restored = HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))
    seal = reference_seal(pair.x25519_public, pair.mlkem768_public, b"restored", b"")
    assert restored.open(*seal, b"") == b"restored"


def test_zero_x25519_secret_is_accepted(secrets):
    _, _, dk = secrets
    pair = HybridKeyPair.from_secrets(SecretBox.from_bytes(bytes(32)), SecretBox.from_bytes(dk))
    # Clamping sets bit 254, so the scalar is not zero.
    assert pair.x25519_public != bytes(32)
    expected = X25519PrivateKey.from_private_bytes(bytes(32)).public_key().public_bytes_raw()
    assert pair.x25519_public == expected
    seal = seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"ok", b"")
    assert pair.open(*seal, b"") == b"ok"


def rehash(dk):
    return dk[:2336] + hashlib.sha3_256(dk[EK]).digest() + dk[2368:]


def change_hash_byte(i):
    return lambda dk: flip(dk, HASH.start + i)


def change_coefficient(index, value, fix_hash):
    def change(dk):
        ek = set_coefficient(dk[EK], index, value)
        out = dk[:1152] + ek + dk[2336:]
        # With the hash recomputed only the modulus check can refuse it.
        return rehash(out) if fix_hash else out

    return change


@pytest.mark.parametrize(
    "damage",
    [
        change_hash_byte(0),
        change_hash_byte(31),
        change_coefficient(0, 3329, fix_hash=True),
        change_coefficient(1, 4095, fix_hash=True),
        change_coefficient(767, 3329, fix_hash=True),
        change_coefficient(0, 3329, fix_hash=False),
        # rho is covered by the hash.
        lambda dk: flip(dk, 2304),
    ],
    ids=["hash-first", "hash-last", "coef0-3329", "coef1-4095", "coef767-3329",
         "coef0-3329-stale-hash", "rho-stale-hash"],
)
def test_from_secrets_refuses_damaged_mlkem_secret(secrets, damage):
    _, x, dk = secrets
    before = live()
    xbox, dkbox = SecretBox.from_bytes(x), SecretBox.from_bytes(damage(dk))
    with secure_error(KEY_REJECTED):
        HybridKeyPair.from_secrets(xbox, dkbox)
    assert live() == before + 2  # only the two source boxes
    assert len(xbox.reveal()) == 32


def test_from_secrets_accepts_canonical_changes_that_pass_both_checks(secrets):
    pair, x, dk = secrets
    changed = rehash(change_coefficient(5, 3328, fix_hash=False)(dk))
    restored = HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(changed))
    assert restored.mlkem768_public == changed[EK] != pair.mlkem768_public


@pytest.mark.parametrize(
    "region, still_opens",
    [(slice(0, 1), False), (slice(700, 701), False), (Z, True)],
    ids=["s-hat-first", "s-hat-middle", "z"],
)
def test_secret_vector_and_z_are_not_checked(secrets, region, still_opens):
    pair, x, dk = secrets
    changed = dk[: region.start] + bytes(b ^ 0x5A for b in dk[region]) + dk[region.stop :]
    restored = HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(changed))
    assert restored.mlkem768_public == pair.mlkem768_public
    seal = seal_hybrid(restored.x25519_public, restored.mlkem768_public, b"p", b"")
    if still_opens:
        assert restored.open(*seal, b"") == b"p"
    else:
        with secure_error(OPEN_FAILED):
            restored.open(*seal, b"")


@pytest.mark.parametrize(
    "x_len, dk_len, message",
    [
        (31, 2400, wrong_length("x25519 secret key", 32, 31)),
        (33, 2400, wrong_length("x25519 secret key", 32, 33)),
        (32, 2399, wrong_length("ml-kem-768 secret key", 2400, 2399)),
        (32, 2401, wrong_length("ml-kem-768 secret key", 2400, 2401)),
        (31, 2399, wrong_length("x25519 secret key", 32, 31)),
    ],
)
def test_from_secrets_lengths(secrets, x_len, dk_len, message):
    _, x, dk = secrets
    before = live()
    xbox = SecretBox.from_bytes((x * 2)[:x_len])
    dkbox = SecretBox.from_bytes((dk * 2)[:dk_len])
    with secure_error(message):
        HybridKeyPair.from_secrets(xbox, dkbox)
    assert live() == before + 2


def test_from_secrets_argument_types(secrets):
    _, x, dk = secrets
    xbox, dkbox = SecretBox.from_bytes(x), SecretBox.from_bytes(dk)
    with pytest.raises(TypeError, match="x25519_secret"):
        HybridKeyPair.from_secrets(x, dkbox)
    with pytest.raises(TypeError, match="x25519_secret"):
        HybridKeyPair.from_secrets(bytearray(x), b"")  # the first argument is named first
    with pytest.raises(TypeError, match="mlkem768_secret"):
        HybridKeyPair.from_secrets(xbox, dk)
    with pytest.raises(TypeError):
        HybridKeyPair.from_secrets(xbox)
    # A wiped box is refused as a box, not as a type.
    dkbox.wipe()
    with secure_error(WIPED):
        HybridKeyPair.from_secrets(xbox, dkbox)


# --- lifecycle ----------------------------------------------------------------------------------


def test_wipe(sealed):
    pair = HybridKeyPair.generate()
    x_public, m_public = pair.x25519_public, pair.mlkem768_public
    exported = pair.x25519_secret()
    seal = seal_hybrid(x_public, m_public, b"p", b"")
    assert pair.is_wiped is False
    assert pair.wipe() is None
    assert pair.is_wiped is True
    assert (pair.x25519_public, pair.mlkem768_public) == (x_public, m_public)
    for call in (pair.x25519_secret, pair.mlkem768_secret):
        with secure_error(WIPED):
            call()
    for opener in (pair.open, pair.open_secret, pair.open_session):
        with secure_error(WIPED):
            opener(*seal, b"")
        # The encapsulation's length is still checked first.
        with secure_error(wrong_length("encapsulation", 1120, 1119)):
            opener(seal[0][:-1], *seal[1:], b"")
    assert pair.wipe() is None
    assert pair.is_wiped is True
    assert len(exported.reveal()) == 32 and any(exported.reveal())
    # Sealing to the public keys of a wiped identity still works.
    assert len(seal_hybrid(x_public, m_public, b"p", b"")) == 3


def test_fork_child_keeps_publics_but_not_secrets(run_child):
    kernel_probe.require("wipe_on_fork")
    out = run_child(
        """
        import json, os
        import velmora._secure as s

        def outcome(call):
            try:
                value = call()
            except BaseException as e:
                return [type(e).__name__, str(e)]
            return ["ok", value if isinstance(value, (bool, str, type(None))) else value.hex()]

        pair = s.HybridKeyPair.generate()
        seal = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, b"p", b"")
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            fresh = s.HybridKeyPair.generate()
            fresh_seal = s.seal_hybrid(fresh.x25519_public, fresh.mlkem768_public, b"f", b"")
            report = {
                "public": outcome(lambda: pair.x25519_public),
                "secret": outcome(lambda: pair.x25519_secret()),
                "mlkem_secret": outcome(lambda: pair.mlkem768_secret()),
                "open": outcome(lambda: pair.open(*seal, b"")),
                "is_wiped": outcome(lambda: pair.is_wiped),
                "fresh_open": outcome(lambda: fresh.open(*fresh_seal, b"")),
            }
            os.write(w, json.dumps(report).encode())
            os._exit(0)
        os.close(w)
        report = json.loads(os.read(r, 1 << 16))
        os.waitpid(pid, 0)
        report["parent_public"] = pair.x25519_public.hex()
        report["parent_open"] = pair.open(*seal, b"").hex()
        print(json.dumps(report))
        """
    ).json()
    fork_error = ["SecureError", FORK]
    assert out["public"] == ["ok", out["parent_public"]]
    assert out["secret"] == out["mlkem_secret"] == out["open"] == fork_error
    assert out["is_wiped"] == ["ok", False]
    assert out["fresh_open"] == ["ok", b"f".hex()]
    assert out["parent_open"] == b"p".hex()


def test_random_source_failure_is_an_internal_error(run_child, seccomp_prelude, identity):
    out = run_child(
        f"""
        import errno, json
        import velmora._secure as s
        x_public, m_public = bytes.fromhex({identity.x25519_public.hex()!r}), bytes.fromhex({identity.mlkem768_public.hex()!r})
        deny_syscalls({{"getrandom": errno.EIO}})
        result = {{}}
        for name, call in [("generate", s.HybridKeyPair.generate),
                           ("seal", lambda: s.seal_hybrid(x_public, m_public, b"p", b""))]:
            try:
                call()
                result[name] = None
            except BaseException as e:
                result[name] = [type(e).__name__, isinstance(e, s.SecureError)]
        result["live"] = s.memory_status()["live_secrets"]
        print(json.dumps(result))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out == {"generate": ["SystemError", False], "seal": ["SystemError", False], "live": 0}


def test_second_region_failing_releases_the_first(run_child, memlock_limited):
    """Under the require policy with the lock budget one page short, each
    operation that makes two regions locks the first, fails on the second with
    LockRequired, and releases the first again: no live secret stays behind.
    (The budget is counted beyond what the module's own stack has locked once
    a first hybrid call has run on it.)"""
    out = run_child(
        """
        import base64, json, os, resource
        import velmora._secure as s

        s.HybridKeyPair.generate()
        locked = [int(line.split()[1]) for line in open("/proc/self/status")
                  if line.startswith("VmLck:")][0] * 1024
        hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
        resource.setrlimit(resource.RLIMIT_MEMLOCK, (locked + 3 * os.sysconf("SC_PAGESIZE"), hard))

        def outcome(call):
            try:
                call()
            except s.SecureError as e:
                return str(e)
            return "ok"

        live = lambda: s.memory_status()["live_secrets"]
        key = base64.urlsafe_b64encode(bytes(32)).decode()
        record = json.dumps({"session_id": "s", "sign_key": key, "enc_key": key, "expires_at": 1})
        report = {}
        # A budget of three pages; each region of these sizes locks one.
        spare, filler = s.SecretBox.random(32), s.SecretBox.random(32)
        report["generate"] = [outcome(s.HybridKeyPair.generate), live()]
        del filler
        pair = s.HybridKeyPair.generate()
        seal = s.seal_hybrid(pair.x25519_public, pair.mlkem768_public, record.encode(), b"")
        del spare
        report["open_session"] = [outcome(lambda: pair.open_session(*seal, b"")), live()]
        xb, dkb = (bytes(pair.x25519_secret().reveal()), bytes(pair.mlkem768_secret().reveal()))
        del pair
        x, dk = s.SecretBox.from_bytes(xb), s.SecretBox.from_bytes(dkb)
        report["from_secrets"] = [outcome(lambda: s.HybridKeyPair.from_secrets(x, dk)), live()]
        # The page of the released region is unlocked again, not only uncounted.
        report["third_page"] = outcome(lambda: s.SecretBox.random(32))
        print(json.dumps(report))
        """,
        prefix=memlock_limited(1024 * 1024),
        env={"VELMORA_MEMORY_LOCK": "require"},
    ).json()
    refused = (
        "mlock failed (errno 12) and VELMORA_MEMORY_LOCK=require; raise `ulimit -l` or grant "
        "CAP_IPC_LOCK · mlock falhou (errno 12) com VELMORA_MEMORY_LOCK=require; aumente "
        "`ulimit -l` ou conceda CAP_IPC_LOCK"
    )
    assert out == {
        "generate": [refused, 2],  # spare and filler only
        "open_session": [refused, 2],  # the identity only
        "from_secrets": [refused, 2],  # the two source boxes only
        "third_page": "ok",
    }


# --- interface ------------------------------------------------------------------------------------

H = HybridKeyPair


# Their texts: tests/test_documented.py.
@pytest.mark.parametrize("name", ["x25519_public", "mlkem768_public", "is_wiped"])
def test_read_only_properties(identity, name):
    with pytest.raises(AttributeError):
        setattr(identity, name, b"")


def test_class():
    assert H.__module__ == "velmora._secure" and H.__qualname__ == "HybridKeyPair"
    for call in (lambda: H(), lambda: H.__new__(H), lambda: type("Sub", (H,), {})):
        with pytest.raises(TypeError):
            call()


def test_repr_is_constant(identity):
    pair = HybridKeyPair.generate()
    text = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)"
    assert repr(identity) == repr(pair) == text and len(text) == 54
    pair.wipe()
    assert repr(pair) == text


@pytest.mark.parametrize(
    "refuse",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda p: p.__reduce__(), lambda p: p.__deepcopy__({})],
    ids=["pickle", "copy", "deepcopy", "reduce", "deepcopy-direct"],
)
def test_pickling_and_copying_are_refused(identity, refuse):
    with pytest.raises(TypeError, match="^" + re.escape(NO_COPY) + "$"):
        refuse(identity)


def test_deepcopy_binds_its_argument(identity):
    with pytest.raises(TypeError, match="_memo"):
        identity.__deepcopy__()
