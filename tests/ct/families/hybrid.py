# Hybrid identity and seal: key generation (X25519 public key, ML-KEM-768),
# from_secrets with its checks, a seal and all three openings, a sealed session
# record, a forged seal.
import base64
import json

from velmora._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

me = HybridKeyPair.generate()
again = HybridKeyPair.from_secrets(me.x25519_secret(), me.mlkem768_secret())
assert again.x25519_public == me.x25519_public and again.mlkem768_public == me.mlkem768_public
broken = bytearray(me.mlkem768_secret().reveal())
broken[2336] ^= 1  # the stored H(ek)
try:
    HybridKeyPair.from_secrets(me.x25519_secret(), SecretBox.from_bytes(broken))
except SecureError:
    pass
else:
    raise AssertionError("a damaged ML-KEM secret was accepted")

enc, nonce, ct = seal_hybrid(me.x25519_public, me.mlkem768_public, b"hello", b"aad")
assert again.open(enc, nonce, ct, b"aad") == b"hello"
assert me.open_secret(enc, nonce, ct, b"aad") == SecretBox.from_bytes(b"hello")
forged = bytearray(enc)
forged[100] ^= 1  # inside the ML-KEM ciphertext: implicit rejection
try:
    me.open(bytes(forged), nonce, ct, b"aad")
except SecureError:
    pass
else:
    raise AssertionError("a forged seal opened")

sign, encr = bytes(range(32)), bytes(range(32, 64))
record = json.dumps({
    "session_id": "s-1", "expires_at": 1700000000,
    "sign_key": base64.urlsafe_b64encode(sign).decode().rstrip("="),
    "enc_key": base64.urlsafe_b64encode(encr).decode(),
}).encode()
enc, nonce, ct = seal_hybrid(me.x25519_public, me.mlkem768_public, record, b"")
sid, expires, sign_box, enc_box = me.open_session(enc, nonce, ct, b"")
assert (sid, expires) == ("s-1", 1700000000)
assert sign_box == SecretBox.from_bytes(sign) and enc_box == SecretBox.from_bytes(encr)

again.wipe()
assert again.is_wiped and again.x25519_public == me.x25519_public
