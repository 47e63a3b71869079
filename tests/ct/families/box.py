# SecretBox: creation, the constant-time comparison, clone, reveal, wipe.
from velmora._secure import SecretBox

a = SecretBox.random(32)
b = a.clone()
c = SecretBox.from_bytes(bytearray(b"k" * 32))
assert a == b and not (a != b)
assert a != c and not (a == c)
assert a != SecretBox.random(16)
assert c.reveal() == bytearray(b"k" * 32) and len(c) == 32
c.wipe()
assert c.is_wiped
