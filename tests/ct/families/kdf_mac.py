# HKDF-SHA256 into a new box and HMAC-SHA512, with short and long keys.
from velmora._secure import SecretBox

key = SecretBox.from_bytes(b"\x0b" * 22)
okm = key.hkdf_sha256(info=b"info", salt=b"salt", length=42)
assert len(okm) == 42 and okm != key.hkdf_sha256(info=b"info", length=42)
assert len(okm.hkdf_sha256(info=b"", length=200)) == 200
assert len(key.hmac_sha512(b"message")) == 64
long_key = SecretBox.random(200)  # longer than the block: hashed first
assert long_key.hmac_sha512(b"m") != long_key.hmac_sha512(b"n")
