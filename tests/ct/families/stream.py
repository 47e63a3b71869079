# The secret stream: short chunks (libsodium's ChaCha20) and bulk ones
# (libcrypto's), non-final and final tags, associated data, a forged chunk.
from velmora._secure import SecretBox, SecretStreamPull, SecretStreamPush, SecureError

key = SecretBox.random(32)
push = SecretStreamPush(key)
messages = [(b"short", None), (bytes(5000), b"ad"), (b"x" * 100, None)]
chunks = [push.push(m, ad=ad) for m, ad in messages]
chunks.append(push.push(b"y" * 4000, final=True))
pull = SecretStreamPull(key, push.header)
forged = bytearray(chunks[0])
forged[3] ^= 1
try:
    pull.pull(forged)
except SecureError:
    pass
else:
    raise AssertionError("a forged chunk opened")
for (message, ad), chunk in zip(messages, chunks):
    assert pull.pull(chunk, ad=ad) == (message, False)
assert pull.pull(chunks[-1]) == (b"y" * 4000, True) and pull.is_finished
