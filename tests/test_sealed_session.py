"""HybridKeyPair.open_session: which SealedSession texts open, which are
refused and with what, and that a refused session leaves no secret behind."""

import base64

import pytest

from velmora._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid
from messages import OPEN_FAILED, live, secure_error, wrong_length as _wrong_length

SESSION = "malformed sealed session · sealed session malformado"
BASE64 = "malformed base64url · base64url malformado"

SIGN, ENC = bytes(range(32)), bytes(range(0xE0, 0x100))


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


S, E = b64(SIGN), b64(ENC)  # 43 symbols each
# The four members in the record's order, and the rest of a valid object.
ID, SK, EK, EXP = '"session_id":"s1"', f'"sign_key":"{S}"', f'"enc_key":"{E}"', '"expires_at":100'
MEMBERS = f"{ID},{SK},{EK},{EXP}"


def wrong_length(what, got):
    return _wrong_length(what, 32, got)


@pytest.fixture(scope="module")
def identity():
    return HybridKeyPair.generate()


def open_text(identity, text, aad=b""):
    plaintext = text.encode() if isinstance(text, str) else text
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, plaintext, aad)
    return identity.open_session(*seal, aad)


ACCEPTED = {
    "object": ("{" + MEMBERS + "}", "s1", 100),
    "reversed": (f"{{{EXP},{EK},{SK},{ID}}}", "s1", 100),
    "extra-members-anywhere": (
        f'{{"v":1,{EK},"nested":{{"a":[1,{{"b":null}}],"session_id":"not this"}},{ID},'
        f'"list":[true,false,"x",-1.5e3],{SK},"s":"\\u00e9\\n",{EXP},"n":null}}',
        "s1",
        100,
    ),
    "unknown-member-twice": (f'{{"x":1,"x":[2],{MEMBERS}}}', "s1", 100),
    "array": (f'["s1","{S}","{E}",100]', "s1", 100),
    "whitespace": (f' \t\r\n{{ "session_id" :\t"s1" ,\n{SK} , {EK}\r, {EXP} }}\n\t ', "s1", 100),
    "array-whitespace": (f'\n[ "s1" , "{S}" ,"{E}" , 100 ]  ', "s1", 100),
    "expires-minus-one": (f"{{{ID},{SK},{EK},\"expires_at\":-1}}", "s1", -1),
    "expires-zero": (f"{{{ID},{SK},{EK},\"expires_at\":0}}", "s1", 0),
    "expires-minus-zero": (f"{{{ID},{SK},{EK},\"expires_at\":-0}}", "s1", 0),
    "expires-max": (f"{{{ID},{SK},{EK},\"expires_at\":9223372036854775807}}", "s1", 2**63 - 1),
    "expires-min": (f"{{{ID},{SK},{EK},\"expires_at\":-9223372036854775808}}", "s1", -(2**63)),
    "ignored-200-deep": (
        '{"deep":' + "[" * 200 + "]" * 200 + f",{MEMBERS}}}",
        "s1",
        100,
    ),
    "ignored-200-deep-objects": (
        '{"deep":' + '{"a":' * 200 + "0" + "}" * 200 + f",{MEMBERS}}}",
        "s1",
        100,
    ),
    "session-id-escapes": (
        f'{{"session_id":"caf\\u00e9 \\"q\\" \\\\ \\/ \\ud83d\\udd11\\t",{SK},{EK},{EXP}}}',
        'café "q" \\ / \U0001F511\t',
        100,
    ),
    # Number-like text inside strings stays as it is.
    "session-id-numbers": (
        f'{{"session_id":"1e400 \\"-0.5e+3\\" 99999999999999999999999",{SK},{EK},{EXP}}}',
        '1e400 "-0.5e+3" 99999999999999999999999',
        100,
    ),
    "session-id-empty": (f'{{"session_id":"",{SK},{EK},{EXP}}}', "", 100),
    "session-id-utf8": ('{"session_id":"sessão-🔑",' + f"{SK},{EK},{EXP}}}", "sessão-🔑", 100),
    "session-id-nul-escape": (f'{{"session_id":"a\\u0000b",{SK},{EK},{EXP}}}', "a\0b", 100),
    "escaped-member-names": (
        f'{{"\\u0073ession_id":"s1","sign\\u005fkey":"{S}",{EK},"expires\\u005Fat":100}}',
        "s1",
        100,
    ),
    "escaped-key-text": (
        f'{{{ID},"sign_key":"{S[:10]}\\u00{ord(S[10]):02x}{S[11:]}",{EK},{EXP}}}',
        "s1",
        100,
    ),
    "key-text-one-pad": (f'{{{ID},"sign_key":"{S}=",{EK},{EXP}}}', "s1", 100),
    "key-text-long-pad-run": (f'{{{ID},{SK},"enc_key":"{E}====",{EXP}}}', "s1", 100),
    # Values inside ignored members are only checked for syntax, not for UTF-8.
    "ignored-invalid-utf8": (
        b'{"x":"\xff\xfe","y":["\xed\xa0\x80",{"\xc0\xaf":1}],' + MEMBERS.encode() + b"}",
        "s1",
        100,
    ),
    # Well-formed, but beyond what a double holds.
    "ignored-huge-numbers": (
        '{"x":[1e400,-1E+999,0.1e-400,' + "9" * 400 + "," + "1" * 21 + "]," + MEMBERS + "}",
        "s1",
        100,
    ),
    # Only checked as escapes inside ignored members.
    "ignored-lone-surrogates": (
        f'{{"x":"\\ud800","y":["\\udbff\\u0041","\\udc00",{{"\\ud800":0}}],{MEMBERS}}}',
        "s1",
        100,
    ),
    "expires-as-uint32": (f"{{{ID},{SK},{EK},\"expires_at\":4294967295}}", "s1", 4294967295),
}


@pytest.mark.parametrize("text, session_id, expires_at", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(identity, text, session_id, expires_at):
    before = live()
    result = open_text(identity, text)
    assert type(result) is tuple and len(result) == 4
    got_id, got_expiry, sign_key, enc_key = result
    assert type(got_id) is str and got_id == session_id
    assert type(got_expiry) is int and got_expiry == expires_at
    assert type(sign_key) is SecretBox and type(enc_key) is SecretBox
    assert bytes(sign_key.reveal()) == SIGN and bytes(enc_key.reveal()) == ENC
    assert live() == before + 2
    del sign_key, enc_key, result
    assert live() == before


def drop(member):
    return "{" + ",".join(m for m in [ID, SK, EK, EXP] if m != member) + "}"


def with_expiry(value):
    return f"{{{ID},{SK},{EK},\"expires_at\":{value}}}"


MALFORMED_SESSION = {
    "empty": "",
    "whitespace-only": " \n\t",
    "missing-session-id": drop(ID),
    "missing-sign-key": drop(SK),
    "missing-enc-key": drop(EK),
    "missing-expires-at": drop(EXP),
    "duplicate-session-id-same-value": f"{{{MEMBERS},{ID}}}",
    "duplicate-sign-key": f'{{{MEMBERS},"sign_key":"{E}"}}',
    "duplicate-enc-key": f"{{{EK},{MEMBERS}}}",
    "duplicate-expires-at": f"{{{MEMBERS},{EXP}}}",
    "duplicate-via-escape": f'{{{MEMBERS},"\\u0065xpires_at":100}}',
    "expires-string": with_expiry('"100"'),
    "expires-fraction": with_expiry("1.5"),
    "expires-integral-fraction": with_expiry("100.0"),
    "expires-exponent": with_expiry("1e9"),
    "expires-exponent-upper": with_expiry("1E2"),
    "expires-2^63": with_expiry("9223372036854775808"),
    "expires-below-min": with_expiry("-9223372036854775809"),
    "expires-2^64": with_expiry("18446744073709551616"),
    "expires-huge": with_expiry("1" + "0" * 40),
    "expires-null": with_expiry("null"),
    "expires-true": with_expiry("true"),
    "expires-array": with_expiry("[100]"),
    "expires-leading-zero": with_expiry("0100"),
    "expires-plus": with_expiry("+100"),
    "expires-nan": with_expiry("NaN"),
    "expires-infinity": with_expiry("Infinity"),
    "null-sign-key": f'{{{ID},"sign_key":null,{EK},{EXP}}}',
    "number-enc-key": f'{{{ID},{SK},"enc_key":7,{EXP}}}',
    "object-session-id": f'{{"session_id":{{}},{SK},{EK},{EXP}}}',
    "array-sign-key": f'{{{ID},"sign_key":["{S}"],{EK},{EXP}}}',
    "invalid-utf8-session-id": b'{"session_id":"\xff",' + f"{SK},{EK},{EXP}}}".encode(),
    "overlong-utf8-session-id": b'{"session_id":"\xc0\xaf",' + f"{SK},{EK},{EXP}}}".encode(),
    "expires-1e400": with_expiry("1e400"),
    "expires-400-digits": with_expiry("9" * 400),
    "lone-high-surrogate-escape": f'{{"session_id":"\\ud800",{SK},{EK},{EXP}}}',
    "high-surrogate-then-other-escape": f'{{"session_id":"\\ud800\\u0041",{SK},{EK},{EXP}}}',
    "lone-surrogate-member-name": f'{{"\\ud800":1,{MEMBERS}}}',
    "lone-surrogate-escape": f'{{"session_id":"\\udc00",{SK},{EK},{EXP}}}',
    "invalid-utf8-member-name": b'{"\xff":1,' + MEMBERS.encode() + b"}",
    "control-char-in-string": f'{{"session_id":"a\tb",{SK},{EK},{EXP}}}',
    "control-char-in-ignored": f'{{"x":"\x01",{MEMBERS}}}',
    "bad-escape": f'{{"session_id":"\\x41",{SK},{EK},{EXP}}}',
    "bad-escape-in-ignored": f'{{"x":"\\q",{MEMBERS}}}',
    "trailing-comma-object": f"{{{MEMBERS},}}",
    "trailing-comma-array": f'["s1","{S}","{E}",100,]',
    "text-after-object": f"{{{MEMBERS}}} x",
    "second-value": f"{{{MEMBERS}}}{{}}",
    "nul-after-object": f"{{{MEMBERS}}}\0",
    "unterminated": f"{{{MEMBERS}",
    "unterminated-ignored": f'{{{MEMBERS},"x":[[[',
    "array-expires-first": f'[100,"s1","{S}","{E}"]',
    "array-three": f'["s1","{S}","{E}"]',
    "array-five": f'["s1","{S}","{E}",100,1]',
    "array-nested": f'["s1","{S}","{E}",[100]]',
    "array-wrapped": f'[["s1","{S}","{E}",100]]',
    "top-level-string": '"s1"',
    "top-level-number": "100",
    "top-level-null": "null",
    "byte-order-mark": "\ufeff{" + MEMBERS + "}",
    "comment": f"{{{MEMBERS} /* c */}}",
    "single-quotes": f"{{'session_id':'s1',{SK},{EK},{EXP}}}",
    "unquoted-name": f"{{session_id:\"s1\",{SK},{EK},{EXP}}}",
    "case-sensitive-names": f'{{"Session_Id":"s1",{SK},{EK},{EXP}}}',
}


@pytest.mark.parametrize("text", MALFORMED_SESSION.values(), ids=MALFORMED_SESSION.keys())
def test_malformed_session(identity, text):
    before = live()
    with pytest.raises(SecureError) as info:
        open_text(identity, text)
    assert info.value.args == (SESSION,)
    assert live() == before


def keys(sign, enc):
    return f'{{{ID},"sign_key":"{sign}","enc_key":"{enc}",{EXP}}}'


REFUSED_KEYS = {
    "sign-plus": (keys(S[:-1] + "+", E), BASE64),
    "sign-slash": (keys("/" + S[1:], E), BASE64),
    "enc-space": (keys(S, E[:20] + " " + E[20:]), BASE64),
    "enc-line-break": (keys(S, E[:20] + "\\n" + E[20:]), BASE64),
    "sign-pad-inside": (keys(S[:20] + "=" + S[20:], E), BASE64),
    "sign-one-symbol-group": (keys(S + "AA", E), BASE64),  # 45 symbols
    "enc-unused-bits": (keys(S, E[:-1] + "R" if E[-1] != "R" else E[:-1] + "S"), BASE64),
    "sign-non-ascii": (keys(S[:-1] + "é", E), BASE64),
    # Both are decoded before either length is checked.
    "sign-33-enc-malformed": (keys(b64(bytes(33)), "*"), BASE64),
    "sign-33": (keys(b64(bytes(33)), E), wrong_length("sign_key", 33)),
    "sign-33-padded": (keys(base64.urlsafe_b64encode(bytes(33)).decode(), E), wrong_length("sign_key", 33)),
    "sign-empty": (keys("", E), wrong_length("sign_key", 0)),
    "sign-only-padding": (keys("===", E), wrong_length("sign_key", 0)),
    "enc-31": (keys(S, b64(bytes(31))), wrong_length("enc_key", 31)),
    "both-wrong": (keys(b64(bytes(16)), b64(bytes(64))), wrong_length("sign_key", 16)),
}


@pytest.mark.parametrize("text, message", REFUSED_KEYS.values(), ids=REFUSED_KEYS.keys())
def test_refused_keys(identity, text, message):
    before = live()
    with secure_error(message):
        open_text(identity, text)
    assert live() == before


def test_key_text_alphabet_covers_both_url_symbols(identity):
    sign = bytes([0xFB, 0xFF]) * 16  # encodes to '-' and '_' symbols
    text = f'{{{ID},"sign_key":"{b64(sign)}",{EK},{EXP}}}'
    assert "-" in b64(sign) and "_" in b64(sign)
    assert bytes(open_text(identity, text)[2].reveal()) == sign


def test_opening_errors_come_before_parsing(identity):
    seal = seal_hybrid(identity.x25519_public, identity.mlkem768_public, b"not json", b"aad")
    with secure_error(OPEN_FAILED):
        identity.open_session(*seal, b"other aad")
    with secure_error(SESSION):
        identity.open_session(*seal, b"aad")


def test_returned_keys_are_independent_boxes(identity):
    _, _, sign_key, enc_key = open_text(identity, "{" + MEMBERS + "}")
    assert sign_key.is_locked == enc_key.is_locked
    sign_key.wipe()
    assert bytes(enc_key.reveal()) == ENC
    with pytest.raises(SecureError):
        sign_key.reveal()


def test_expired_sessions_open_like_any_other(identity):
    assert open_text(identity, with_expiry(1))[1] == 1
