# EntropyPool: generating public and secret output, whole and partial blocks,
# mixing in a box and bytes.
from velmora._secure import EntropyPool, SecretBox

pool = EntropyPool()
assert len(pool.random(45)) == 45
pool.mix(SecretBox.random(32))
assert len(pool.random_secret(70)) == 70
pool.mix(b"seed bytes")
assert len(pool.random_secret(32)) == 32 and len(pool.random(7)) == 7
