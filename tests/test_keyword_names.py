"""Keyword names are matched as whole strings, as the interpreter's own argument
binding matches them: a name that merely starts with a parameter's name (an
embedded NUL), or one with no UTF-8 form (a lone surrogate), is an unexpected
keyword, reported with TypeError."""

from __future__ import annotations

import pytest

from velmora._secure import EntropyPool, HybridKeyPair, SecretBox, SecretStreamPush

KEY = SecretBox.from_bytes(b"k" * 32)

CALLS = {
    "hmac_sha512": (lambda **kw: KEY.hmac_sha512(**kw), "message", b"m"),
    "hkdf_sha256": (lambda **kw: KEY.hkdf_sha256(length=32, **kw), "info", b"i"),
    "push": (lambda **kw: SecretStreamPush(KEY).push(**kw), "message", b"m"),
    "random": (lambda **kw: SecretBox.random(**kw), "length", 8),
    "pool.random": (lambda **kw: EntropyPool().random(**kw), "n", 8),
    "from_secrets": (
        lambda **kw: HybridKeyPair.from_secrets(SecretBox.random(32), **kw),
        "mlkem768_secret",
        SecretBox.random(64),
    ),
}

SUFFIXES = {"nul-suffix": "\0junk", "lone-nul": "\0", "lone-surrogate": "\udc80"}


@pytest.mark.parametrize("suffix", SUFFIXES.values(), ids=SUFFIXES.keys())
@pytest.mark.parametrize("method", CALLS.keys())
def test_a_name_that_only_starts_like_a_parameter_is_unexpected(method, suffix):
    call, name, value = CALLS[method]
    bad = name + suffix
    with pytest.raises(TypeError, match="unexpected keyword argument") as caught:
        call(**{bad: value})
    assert repr(bad) in str(caught.value)


def test_a_surrogate_only_name_is_an_ordinary_type_error():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        KEY.hmac_sha512(b"m", **{"\ud800": 1})


def test_exact_names_still_bind():
    assert KEY.hmac_sha512(message=b"m") == KEY.hmac_sha512(b"m")
    assert len(SecretBox.random(length=8)) == 8
