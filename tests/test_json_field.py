"""SecretBox.aes_gcm_open_json_field and the base64url rule: which sealed JSON
texts open into a box, which are refused at which stage, and the order of the
checks around them."""

import os
import re

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from velmora._secure import SecretBox, SecureError, memory_status
from messages import EMPTY, OPEN_FAILED

JSON_OBJECT = "malformed json object · json object malformado"
JSON_FIELD = "malformed json field · json field malformado"
BASE64URL = "malformed base64url · base64url malformado"


@pytest.fixture(scope="module")
def sealer():
    """(box, seal) where seal(plaintext, aad=None) -> (nonce, ciphertext) under the box's key."""
    key = os.urandom(32)
    aead = AESGCM(key)

    def seal(plaintext, aad=None):
        if isinstance(plaintext, str):
            plaintext = plaintext.encode()
        nonce = os.urandom(12)
        return nonce, aead.encrypt(nonce, plaintext, aad)

    return SecretBox.from_bytes(key), seal


def open_field(sealer, plaintext, field="seed", aad=None):
    box, seal = sealer
    nonce, ct = seal(plaintext, aad)
    return box.aes_gcm_open_json_field(nonce, ct, aad, field)


def depth(n):
    """A record whose other member nests `n` levels in all, the top-level object included."""
    return '{"seed": "QUJD", "deep": ' + "[" * (n - 1) + "]" * (n - 1) + "}"


def object_depth(n):
    """The same with objects: `n` levels, the innermost holding a string."""
    return '{"seed": "QUJD", "deep": ' + '{"a": ' * (n - 2) + '{"a": "x"}' + "}" * (n - 1)


ACCEPTED = [
    ('{"seed": "QUJD"}', b"ABC"),
    ('{"seed": "QUJD="}', b"ABC"),
    ('{"seed": "QUJD======="}', b"ABC"),
    ('{"seed": "QQ"}', b"A"),
    ('{"seed": "QQ="}', b"A"),
    ('{"seed": "QQ=="}', b"A"),
    ('{"seed": "QUI"}', b"AB"),
    ('{"seed": "-_-_"}', bytes.fromhex("fbffbf")),
    (' \t\r\n{"seed":"QUJD"} \t\r\n', b"ABC"),
    ('{"seed": "QQ", "seed": "QUJD"}', b"ABC"),  # the last occurrence wins
    ('{"seed": 1, "seed": "QUJD"}', b"ABC"),
    ('{"\\u0073eed": "QUJD"}', b"ABC"),  # names compare after unescaping
    ('{"seed": "QU\\u004aD"}', b"ABC"),
    ('{"seed": "QUJD", "other": [1, -2.5e10, true, false, null, {"seed": 5}, "x\\ud83d\\ude00"]}',
     b"ABC"),
    ('{"nested": {"seed": "QQ"}, "seed": "QUJD"}', b"ABC"),
    ('{"seed": "QUJD", "ünï": "çødé ✓"}', b"ABC"),
    (depth(127), b"ABC"),
    (object_depth(127), b"ABC"),
]


@pytest.mark.parametrize("plaintext, expected", ACCEPTED)
def test_accepted(sealer, plaintext, expected):
    out = open_field(sealer, plaintext)
    assert isinstance(out, SecretBox)
    assert bytes(out.reveal()) == expected


REFUSED = [
    # not one JSON object
    ("", JSON_OBJECT),
    ("  \n\t", JSON_OBJECT),
    ("null", JSON_OBJECT),
    ('"seed"', JSON_OBJECT),
    ('[{"seed": "QUJD"}]', JSON_OBJECT),
    ('{"seed": "QUJD",}', JSON_OBJECT),
    ('{"seed": "QUJD"} x', JSON_OBJECT),
    ('{"seed": "QUJD"}{}', JSON_OBJECT),
    ('\ufeff{"seed": "QUJD"}', JSON_OBJECT),
    ('x{"seed": "QUJD"}', JSON_OBJECT),
    ('\x0c{"seed": "QUJD"}', JSON_OBJECT),
    ("{'seed': 'QUJD'}", JSON_OBJECT),
    ('{seed: "QUJD"}', JSON_OBJECT),
    ('{"seed": "QUJD" /* c */}', JSON_OBJECT),
    ('{"seed": "QUJD", "n": NaN}', JSON_OBJECT),
    ('{"seed": "QUJD", "n": 01}', JSON_OBJECT),
    ('{"seed": "QUJD", "other": [1, 2}', JSON_OBJECT),  # an error in another member
    ('{"seed": "QU\tJD"}', JSON_OBJECT),  # raw control character
    ('{"seed": "QUJD", "bad": "\\x"}', JSON_OBJECT),
    ('{"seed": "QUJD", "s": "\\ud800"}', JSON_OBJECT),  # lone high surrogate
    ('{"seed": "QUJD", "s": "\\udc00"}', JSON_OBJECT),  # lone low surrogate
    ('{"seed": "QUJD", "s": "\\ud800\\u0041"}', JSON_OBJECT),
    ('{"\\udfff": 1, "seed": "QUJD"}', JSON_OBJECT),
    (b'{"seed": "QUJD", "s": "\xff"}', JSON_OBJECT),  # invalid UTF-8
    (b'{"seed": "QUJD", "s": "\xc0\x80"}', JSON_OBJECT),  # overlong NUL
    (b'{"seed": "QUJD", "s": "\xed\xa0\x80"}', JSON_OBJECT),  # encoded surrogate
    (b'{"seed": "QUJD", "s": "\xf0', JSON_OBJECT),  # text ends inside a UTF-8 sequence
    (b'{"seed": "QUJD"}\xe2', JSON_OBJECT),
    (b'{"seed": "QUJD"}\x00', JSON_OBJECT),
    (b'{"seed": "QU\x00JD"}', JSON_OBJECT),
    ('{"seed": "QUJD"', JSON_OBJECT),
    (depth(128), JSON_OBJECT),
    (object_depth(128), JSON_OBJECT),
    (depth(5000), JSON_OBJECT),
    # no string member of that name at the top level
    ("{}", JSON_FIELD),
    ('{"Seed": "QUJD"}', JSON_FIELD),
    ('{"seed ": "QUJD"}', JSON_FIELD),
    ('{"nested": {"seed": "QUJD"}}', JSON_FIELD),
    ('{"seed": 5}', JSON_FIELD),
    ('{"seed": null}', JSON_FIELD),
    ('{"seed": true}', JSON_FIELD),
    ('{"seed": ["QUJD"]}', JSON_FIELD),
    ('{"seed": {"seed": "QUJD"}}', JSON_FIELD),
    ('{"seed": "QUJD", "seed": 0}', JSON_FIELD),  # the last occurrence wins
    # the base64url rule
    ('{"seed": "Q"}', BASE64URL),
    ('{"seed": "QUJDQ"}', BASE64URL),
    ('{"seed": "QR"}', BASE64URL),  # non-zero unused bits
    ('{"seed": "QUK"}', BASE64URL),
    ('{"seed": "QQ+A"}', BASE64URL),
    ('{"seed": "QQ/A"}', BASE64URL),
    ('{"seed": "QQ A"}', BASE64URL),
    ('{"seed": "QQ\\nA"}', BASE64URL),
    ('{"seed": "Q=QA"}', BASE64URL),
    ('{"seed": "=QQ"}', BASE64URL),
    ('{"seed": "QUJD\\u00e9"}', BASE64URL),
    ('{"seed": "QUJDé"}', BASE64URL),
    ('{"seed": "QU\\u0000D"}', BASE64URL),
    # decodes to nothing
    ('{"seed": ""}', EMPTY),
    ('{"seed": "===="}', EMPTY),
]


@pytest.mark.parametrize("plaintext, message", REFUSED)
def test_refused(sealer, plaintext, message):
    before = memory_status()["live_secrets"]
    with pytest.raises(SecureError, match="^" + re.escape(message) + "$"):
        open_field(sealer, plaintext)
    assert memory_status()["live_secrets"] == before


def test_field_names(sealer):
    assert open_field(sealer, '{"clé": "QQ"}', field="clé").reveal() == b"A"
    assert open_field(sealer, '{"a\\u0000b": "QQ"}', field="a\x00b").reveal() == b"A"

    class Name(str):
        pass

    assert open_field(sealer, '{"seed": "QQ"}', field=Name("seed")).reveal() == b"A"
    with pytest.raises(UnicodeEncodeError):
        open_field(sealer, '{"seed": "QQ"}', field="se\udc80ed")


def test_field_is_checked_before_anything_is_decrypted(sealer):
    box, _ = sealer
    for field in (b"seed", None, 5):
        with pytest.raises(TypeError, match="field"):
            box.aes_gcm_open_json_field(bytes(12), bytes(16), None, field)
    # ... and before the other byte inputs are read.
    with pytest.raises(TypeError, match="field"):
        box.aes_gcm_open_json_field("nonce", bytes(16), None, b"seed")


def test_aad_must_match_and_must_be_passed(sealer):
    box, seal = sealer
    nonce, ct = seal('{"seed": "QUJD"}', b"record")
    assert box.aes_gcm_open_json_field(nonce, ct, b"record", "seed").reveal() == b"ABC"
    for aad in (None, b"", b"recorD"):
        with pytest.raises(SecureError, match="^" + re.escape(OPEN_FAILED) + "$"):
            box.aes_gcm_open_json_field(nonce, ct, aad, "seed")
    with pytest.raises(TypeError):
        box.aes_gcm_open_json_field(nonce, ct, field="seed")
    with pytest.raises(SecureError, match="aes-gcm nonce: expected 12 bytes, got 11"):
        box.aes_gcm_open_json_field(nonce[:11], ct, b"record", "seed")
