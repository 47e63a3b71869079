# AES-256-GCM under the engine the environment selects: sealing content and a
# box, both opening paths (tag first into a box, one pass into bytes), failing
# tags, and the sealed JSON field with its base64url member.
import base64
import json

from velmora._secure import SecretBox, SecureError

key = SecretBox.random(32)
nonce = bytes(range(12))
sealed = key.aes_gcm_seal(nonce, b"attack at dawn" * 3, b"aad")
assert key.aes_gcm_open(nonce, sealed, b"aad") == b"attack at dawn" * 3
assert key.aes_gcm_open(nonce, bytearray(sealed), b"aad") == b"attack at dawn" * 3
inner = SecretBox.random(32)
wrapped = key.aes_gcm_seal_secret(nonce, inner)
assert key.aes_gcm_open_secret(nonce, wrapped) == inner
assert key.aes_gcm_open(nonce, key.aes_gcm_seal(nonce, b"")) == b""
tampered = bytearray(sealed)
tampered[-1] ^= 1
for opener in (key.aes_gcm_open, key.aes_gcm_open_secret):
    for form in (bytes(tampered), tampered):
        try:
            opener(nonce, form, b"aad")
        except SecureError:
            pass
        else:
            raise AssertionError("a forged tag opened")

seed = bytes(range(32))
for text in (base64.urlsafe_b64encode(seed).decode(),
             base64.urlsafe_b64encode(seed).decode().rstrip("="),
             base64.urlsafe_b64encode(seed[:31]).decode()):
    record = json.dumps({"other": [1, {"x": "y"}], "seed": text}).encode()
    box = key.aes_gcm_open_json_field(nonce, key.aes_gcm_seal(nonce, record), None, "seed")
    assert box == SecretBox.from_bytes(seed[:len(box)])
for text in ("not base64!", "QQ=Q", "QR", "Q"):
    record = json.dumps({"seed": text}).encode()
    try:
        key.aes_gcm_open_json_field(nonce, key.aes_gcm_seal(nonce, record), None, "seed")
    except SecureError:
        pass
    else:
        raise AssertionError(f"{text!r} decoded")
