"""SecretBox's symmetric operations: AES-256-GCM sealing and opening (of content
and of other boxes), HKDF-SHA256 and HMAC-SHA512 keyed by the box. Conformance
vectors, cross-checks against the `cryptography` package in both directions,
and the order of every refusal."""

import hashlib
import hmac
import json
import os
import random
import re

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives import hmac as crypto_hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from velmora._secure import SecretBox
from messages import EMPTY, OPEN_FAILED, STR_REFUSED, WIPED, live, secure_error, wrong_length


@pytest.fixture
def key():
    return os.urandom(32)


@pytest.fixture
def box(key):
    return SecretBox.from_bytes(key)


def wiped_box(length=32):
    b = SecretBox.random(length)
    b.wipe()
    return b


# --- interface -------------------------------------------------------------------


# --- conformance ----------------------------------------------------------------------


def load_cases(vectors_dir, name):
    doc = json.loads((vectors_dir / name).read_text())
    for group in doc["testGroups"]:
        for case in group["tests"]:
            yield group, case


def test_aes_gcm_wycheproof(vectors_dir):
    ran = 0
    for group, case in load_cases(vectors_dir, "aes_gcm_test.json"):
        if (group["keySize"], group["ivSize"], group["tagSize"]) != (256, 96, 128):
            continue
        ran += 1
        label = f"tcId {case['tcId']}"
        k = SecretBox.from_bytes(bytes.fromhex(case["key"]))
        nonce, aad = bytes.fromhex(case["iv"]), bytes.fromhex(case["aad"])
        msg = bytes.fromhex(case["msg"])
        sealed = bytes.fromhex(case["ct"] + case["tag"])
        if case["result"] == "valid":
            assert k.aes_gcm_seal(nonce, msg, aad) == sealed, label
            assert k.aes_gcm_open(nonce, sealed, aad) == msg, label
            if msg:
                assert k.aes_gcm_open_secret(nonce, sealed, aad).reveal() == msg, label
        else:
            with secure_error(OPEN_FAILED):
                k.aes_gcm_open(nonce, sealed, aad)
            with secure_error(OPEN_FAILED):
                k.aes_gcm_open_secret(nonce, sealed, aad)
    assert ran > 60


def test_hkdf_sha256_wycheproof(vectors_dir):
    for _, case in load_cases(vectors_dir, "hkdf_sha256_test.json"):
        ikm = SecretBox.from_bytes(bytes.fromhex(case["ikm"]))
        kwargs = dict(info=bytes.fromhex(case["info"]), length=case["size"],
                      salt=bytes.fromhex(case["salt"]))
        if case["result"] == "valid":
            assert ikm.hkdf_sha256(**kwargs).reveal().hex() == case["okm"], case["tcId"]
        else:
            with secure_error(wrong_length("hkdf output length", 8160, case["size"])):
                ikm.hkdf_sha256(**kwargs)


def test_hmac_sha512_wycheproof(vectors_dir):
    ran = 0
    for group, case in load_cases(vectors_dir, "hmac_sha512_test.json"):
        if group["tagSize"] != 512:
            continue
        ran += 1
        tag = SecretBox.from_bytes(bytes.fromhex(case["key"])).hmac_sha512(bytes.fromhex(case["msg"]))
        assert (tag.hex() == case["tag"]) == (case["result"] == "valid"), case["tcId"]
    assert ran > 50


def test_rfc5869_through_a_box():
    ikm = SecretBox.from_bytes(b"\x0b" * 22)
    okm = ikm.hkdf_sha256(info=bytes.fromhex("f0f1f2f3f4f5f6f7f8f9"), length=42,
                          salt=bytes(range(13)))
    assert okm.reveal().hex() == (
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"
    )
    assert ikm.hkdf_sha256(info=b"", length=42).reveal().hex() == (
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"
    )


def test_rfc4231_through_a_box():
    tag = SecretBox.from_bytes(b"Jefe").hmac_sha512(b"what do ya want for nothing?")
    assert tag.hex() == (
        "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f"
        "65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"
    )
    long_key = SecretBox.from_bytes(b"\xaa" * 131)
    assert long_key.hmac_sha512(b"Test Using Larger Than Block-Size Key - Hash Key First").hex() == (
        "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2"
        "215d6a1e5295e64f73f63f0aec8b915a985d786598"
    )


# --- cross-checks against `cryptography` ----------------------------------------------------


def test_aes_gcm_agrees_with_cryptography_both_ways():
    rng = random.Random(1)
    sizes = [0, 1, 15, 16, 17, 255, 256, 257, 4095, 4096, 4097, 65536 + 3]
    sizes += [rng.randrange(0, 20000) for _ in range(20)]
    for size in sizes:
        key, nonce = os.urandom(32), os.urandom(12)
        aad = os.urandom(rng.choice([0, 1, 12, 16, 33, 1000]))
        plaintext = os.urandom(size)
        ours, theirs = SecretBox.from_bytes(key), AESGCM(key)
        sealed = ours.aes_gcm_seal(nonce, plaintext, aad)
        assert theirs.decrypt(nonce, sealed, aad) == plaintext
        foreign = theirs.encrypt(nonce, plaintext, aad)
        assert ours.aes_gcm_open(nonce, foreign, aad) == plaintext
        assert sealed == foreign


def test_hkdf_agrees_with_cryptography():
    rng = random.Random(2)
    for _ in range(40):
        ikm = os.urandom(rng.randrange(1, 200))
        info = os.urandom(rng.randrange(0, 100))
        salt = rng.choice([None, b"", os.urandom(rng.randrange(1, 150))])
        length = rng.choice([1, 31, 32, 33, 64, 1000, 8160, rng.randrange(1, 8161)])
        ours = SecretBox.from_bytes(ikm).hkdf_sha256(info=info, length=length, salt=salt)
        theirs = HKDF(algorithm=hashes.SHA256(), length=length, salt=salt or None,
                      info=info).derive(ikm)
        assert ours.reveal() == theirs


def test_hmac_agrees_with_cryptography_and_the_standard_library():
    rng = random.Random(3)
    for key_len in [1, 63, 64, 127, 128, 129, 200, 1000]:
        key = os.urandom(key_len)
        message = os.urandom(rng.randrange(0, 3000))
        theirs = crypto_hmac.HMAC(key, hashes.SHA512())
        theirs.update(message)
        tag = SecretBox.from_bytes(key).hmac_sha512(message)
        assert tag == theirs.finalize() == hmac.digest(key, message, "sha512")


# --- AES-256-GCM behaviour ---------------------------------------------------------------


def test_empty_plaintext(box):
    nonce = os.urandom(12)
    sealed = box.aes_gcm_seal(nonce, b"")
    assert len(sealed) == 16
    assert box.aes_gcm_open(nonce, sealed) == b""
    before = live()
    with secure_error(EMPTY):
        box.aes_gcm_open_secret(nonce, sealed)
    assert live() == before


def test_absent_none_and_empty_aad_are_the_same(box):
    nonce = os.urandom(12)
    forms = [lambda f, *a: f(*a), lambda f, *a: f(*a, None), lambda f, *a: f(*a, b""),
             lambda f, *a: f(*a, aad=bytearray())]
    for seal in forms:
        sealed = seal(box.aes_gcm_seal, nonce, b"content")
        for open_ in forms:
            assert open_(box.aes_gcm_open, nonce, sealed) == b"content"


def spread(data):
    """A strided (not contiguous) view holding `data`."""
    return memoryview(bytes(b for x in data for b in (x, 0)))[::2]


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, spread],
                         ids=["bytes", "bytearray", "memoryview", "strided"])
def test_inputs_may_be_any_byte_buffer(box, key, wrap):
    nonce = os.urandom(12)
    plaintext = os.urandom(1000)
    sealed = box.aes_gcm_seal(wrap(nonce), wrap(plaintext), wrap(b"ad"))
    assert AESGCM(key).decrypt(nonce, sealed, b"ad") == plaintext
    assert box.aes_gcm_open(wrap(nonce), wrap(sealed), wrap(b"ad")) == plaintext
    assert box.aes_gcm_open_secret(wrap(nonce), wrap(sealed), wrap(b"ad")).reveal() == plaintext
    forged = bytearray(sealed)
    forged[500] ^= 4
    with secure_error(OPEN_FAILED):
        box.aes_gcm_open(wrap(nonce), wrap(forged), wrap(b"ad"))


def refusals(box, key):
    """The sealed form of b'secret' under `box`, and ways to spoil opening it."""
    nonce = os.urandom(12)
    sealed = box.aes_gcm_seal(nonce, b"secret", b"aad")
    cases = {"short": (nonce, sealed[:15], b"aad"),
             "other nonce": (os.urandom(12), sealed, b"aad"),
             "other aad": (nonce, sealed, b"aae"),
             "no aad": (nonce, sealed, None),
             "truncated tag": (nonce, sealed[:-1], b"aad"),
             "extended": (nonce, sealed + b"\0", b"aad")}
    for i in range(len(sealed)):
        forged = bytearray(sealed)
        forged[i] ^= 1 << (i % 8)
        cases[f"bit flipped in byte {i}"] = (nonce, bytes(forged), b"aad")
    return cases


@pytest.mark.parametrize("method", ["aes_gcm_open", "aes_gcm_open_secret"])
def test_anything_but_the_sealed_form_does_not_open(box, key, method):
    other_key = SecretBox.random(32)
    nonce = os.urandom(12)
    before = live()
    for label, args in refusals(box, key).items():
        with secure_error(OPEN_FAILED):
            getattr(box, method)(*args)
    with secure_error(OPEN_FAILED):
        getattr(other_key, method)(nonce, box.aes_gcm_seal(nonce, b"x"))
    assert live() == before


@pytest.mark.parametrize("method", ["aes_gcm_seal", "aes_gcm_open", "aes_gcm_open_secret"])
def test_key_then_nonce_lengths(method):
    call = lambda b, nonce: getattr(b, method)(nonce, bytes(32))
    with secure_error(wrong_length("aes-gcm key", 32, 16)):
        call(SecretBox.random(16), bytes(8))
    with secure_error(wrong_length("aes-gcm key", 32, 33)):
        call(SecretBox.random(33), bytes(12))
    with secure_error(wrong_length("aes-gcm nonce", 12, 8)):
        call(SecretBox.random(32), bytes(8))
    with secure_error(wrong_length("aes-gcm nonce", 12, 0)):
        call(SecretBox.random(32), b"")
    # A short sealed form is only looked at once key and nonce are right.
    with secure_error(wrong_length("aes-gcm nonce", 12, 13)):
        getattr(SecretBox.random(32), method)(bytes(13), b"")


@pytest.mark.parametrize(
    "method, args",
    [("aes_gcm_seal", ("nonce", b"p")), ("aes_gcm_seal", (bytes(12), "p")),
     ("aes_gcm_seal", (bytes(12), b"p", "aad")), ("aes_gcm_open", ("nonce", bytes(16))),
     ("aes_gcm_open", (bytes(12), "c")), ("aes_gcm_open_secret", (bytes(12), bytes(16), "aad"))],
)
def test_text_is_refused_before_the_key_is_looked_at(method, args):
    # A 16-byte box is the wrong key and a wiped box unusable: the str wins over both.
    for b in (SecretBox.random(16), wiped_box()):
        with pytest.raises(TypeError, match="^" + re.escape(STR_REFUSED) + "$"):
            getattr(b, method)(*args)


def test_seal_secret_wraps_and_unwraps_a_key(box):
    nonce = os.urandom(12)
    data_key = SecretBox.random(32)
    wrapped = box.aes_gcm_seal_secret(nonce, data_key, b"dek")
    assert box.aes_gcm_open(nonce, wrapped, b"dek") == bytes(data_key.reveal())
    assert box.aes_gcm_open_secret(nonce, wrapped, b"dek") == data_key
    # Sealing a box under itself: its own lock is taken once for the copy, once as key.
    wrapped = box.aes_gcm_seal_secret(secret=box, nonce=nonce)
    assert box.aes_gcm_open_secret(nonce, wrapped) == box


def test_seal_secret_refusals(box):
    # A non-box is refused by argument checking, before the nonce is read.
    with pytest.raises(TypeError, match="secret"):
        box.aes_gcm_seal_secret("not a nonce", b"key bytes")
    with secure_error(WIPED):
        box.aes_gcm_seal_secret(bytes(12), wiped_box())
    # The wrapped box is checked before the key box.
    with secure_error(WIPED):
        SecretBox.random(16).aes_gcm_seal_secret(bytes(12), wiped_box())
    with secure_error(wrong_length("aes-gcm key", 32, 16)):
        SecretBox.random(16).aes_gcm_seal_secret(bytes(12), box)


def test_wiped_key_box():
    b = wiped_box()
    for call in (lambda: b.aes_gcm_seal(bytes(12), b"x"),
                 lambda: b.aes_gcm_open(bytes(12), bytes(16)),
                 lambda: b.aes_gcm_open_secret(bytes(12), bytes(16)),
                 lambda: b.aes_gcm_seal_secret(bytes(12), SecretBox.random(4))):
        with secure_error(WIPED):
            call()


def test_argument_binding():
    b = SecretBox.random(32)
    with pytest.raises(TypeError):
        b.aes_gcm_seal(bytes(12))
    with pytest.raises(TypeError):
        b.aes_gcm_open(bytes(12), bytes(16), None, None)
    with pytest.raises(TypeError):
        b.aes_gcm_seal(bytes(12), b"x", tag=b"")
    nonce = os.urandom(12)
    sealed = b.aes_gcm_seal(plaintext=b"kw", nonce=nonce, aad=b"a")
    assert b.aes_gcm_open(ciphertext=sealed, aad=b"a", nonce=nonce) == b"kw"


# --- HKDF-SHA256 --------------------------------------------------------------------------


def test_hkdf_defaults_and_salt_forms():
    ikm = SecretBox.random(32)
    derived = ikm.hkdf_sha256(info=b"")
    assert len(derived) == 32 and derived.is_locked in (True, False)
    same = [ikm.hkdf_sha256(info=b"ctx"), ikm.hkdf_sha256(info=b"ctx", salt=None),
            ikm.hkdf_sha256(info=b"ctx", salt=b""), ikm.hkdf_sha256(info=b"ctx", salt=bytes(32))]
    assert all(d == same[0] for d in same)
    assert ikm.hkdf_sha256(info=b"ctx", salt=b"\x01") != same[0]
    assert ikm.hkdf_sha256(info=b"ctx", length=64).reveal()[:32] == same[0].reveal()
    assert len(ikm.hkdf_sha256(info=b"", length=8160)) == 8160


@pytest.mark.parametrize(
    "length, message",
    [(8161, wrong_length("hkdf output length", 8160, 8161)),
     (2**40, wrong_length("hkdf output length", 8160, 2**40)),
     (2**64 - 1, wrong_length("hkdf output length", 8160, 2**64 - 1)),
     (0, EMPTY)],
)
def test_hkdf_length_refusals_leave_nothing_allocated(length, message):
    ikm = SecretBox.random(32)
    before = live()
    with secure_error(message):
        ikm.hkdf_sha256(info=b"", length=length)
    assert live() == before


def test_hkdf_allocates_before_reading_the_key():
    b = wiped_box()
    before = live()
    with secure_error(EMPTY):
        b.hkdf_sha256(info=b"", length=0)
    with secure_error(WIPED):
        b.hkdf_sha256(info=b"", length=64)
    assert live() == before


@pytest.mark.parametrize(
    "call, exc, match",
    [(lambda b: b.hkdf_sha256(b"info"), TypeError, "positional"),
     (lambda b: b.hkdf_sha256(), TypeError, "info"),
     (lambda b: b.hkdf_sha256(info=b"", size=3), TypeError, "size"),
     (lambda b: b.hkdf_sha256(info=b"", length=-1), OverflowError, "^argument 'length': "),
     (lambda b: b.hkdf_sha256(info=b"", length=2**64), OverflowError, "^argument 'length': "),
     (lambda b: b.hkdf_sha256(info=b"", length="32"), TypeError, "^argument 'length': "),
     (lambda b: b.hkdf_sha256(info=b"", length=3.0), TypeError, "^argument 'length': "),
     (lambda b: b.hkdf_sha256(info="info"), TypeError, "^" + re.escape(STR_REFUSED)),
     (lambda b: b.hkdf_sha256(info=b"", salt="salt"), TypeError, "^" + re.escape(STR_REFUSED)),
     (lambda b: b.hmac_sha512("message"), TypeError, "^" + re.escape(STR_REFUSED)),
     (lambda b: b.hmac_sha512(), TypeError, "message")],
)
def test_kdf_and_mac_argument_refusals_come_first(call, exc, match):
    # On a wiped box: argument errors are raised before the box is read.
    with pytest.raises(exc, match=match):
        call(wiped_box())


def test_hkdf_length_accepts_int_like_objects():
    class Length:
        def __index__(self):
            return 48

    assert len(SecretBox.random(32).hkdf_sha256(info=b"", length=Length())) == 48


# --- HMAC-SHA512 ----------------------------------------------------------------------------


def test_hmac_edge_cases():
    key = os.urandom(200)
    b = SecretBox.from_bytes(key)
    tag = b.hmac_sha512(b"")
    assert type(tag) is bytes and len(tag) == 64
    assert tag == hmac.digest(key, b"", "sha512")
    # A key longer than the 128-byte block is its SHA-512 digest.
    assert b.hmac_sha512(b"m") == SecretBox.from_bytes(hashlib.sha512(key).digest()).hmac_sha512(b"m")
    with secure_error(WIPED):
        wiped_box().hmac_sha512(b"m")
