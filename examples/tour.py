"""A short tour of velmora._secure: every capability once, with what the
locked memory holds before, during and after. Public values print as short
hex; secrets only ever print as their redacted repr."""

import base64
import gc
import json

from velmora import _secure as secure


def short(data: bytes) -> str:
    return f"{data[:8].hex()}… ({len(data)} bytes)"


def row(label: str, value: object) -> None:
    print(f"{label + ':':22}{value}")


def show(title: str, report: dict) -> None:
    print(f"\n-- {title}")
    for name, value in report.items():
        row(name, value)


def status(title: str) -> None:
    s = secure.memory_status()
    print(f"\n== {title}: live_secrets={s['live_secrets']}, "
          f"unlocked_allocations={s['unlocked_allocations']}")


def keys_and_seals(pool: secure.EntropyPool) -> list:
    print("\n-- Derived keys, MACs, AES-256-GCM")
    master = secure.SecretBox.random(32)
    key = master.hkdf_sha256(info=b"orders v1", length=32)
    row("master", repr(master))
    row("HKDF-SHA256 key", repr(key))
    row("HMAC-SHA512 tag", short(master.hmac_sha512(b"order 17")))

    nonce = pool.random(12)
    sealed = key.aes_gcm_seal(nonce, b"ship order 17 on Monday", b"order-17")
    row("sealed", short(sealed))
    row("opened", repr(key.aes_gcm_open(nonce, sealed, b"order-17")))

    # A sealed JSON record whose "seed" member is a secret: it is decoded
    # straight into a box, never into a Python string.
    nonce = pool.random(12)
    record = key.aes_gcm_seal(nonce, b'{"user": "ana", "seed": "AAECAwQFBgcICQoLDA0ODw"}')
    seed = key.aes_gcm_open_json_field(nonce, record, None, "seed")
    row('JSON field "seed"', repr(seed))
    return [master, key, seed]


def entropy(pool: secure.EntropyPool, seed: secure.SecretBox) -> list:
    print("\n-- Entropy pool")
    row("random(16)", short(pool.random(16)))
    pool.mix(seed)
    row("after mix(seed)", short(pool.random(16)))
    secret = pool.random_secret(32)
    row("random_secret(32)", repr(secret))
    return [secret]


def stream() -> list:
    print("\n-- Secret stream")
    key = secure.SecretBox.random(32)
    writer = secure.SecretStreamPush(key)
    parts = [b"first chunk", b"second chunk", b"the end"]
    chunks = [writer.push(p, final=(i == len(parts) - 1)) for i, p in enumerate(parts)]
    row("header", short(writer.header))
    row("chunk sizes", f"{[len(c) for c in chunks]} (each message + 17)")
    reader = secure.SecretStreamPull(key, writer.header)
    for chunk in chunks:
        row("pulled", reader.pull(chunk))
    row("finished", f"{reader.is_finished} (the final tag arrived)")
    return [key]


def hybrid(pool: secure.EntropyPool) -> list:
    print("\n-- Hybrid identity (X25519 + ML-KEM-768)")
    me = secure.HybridKeyPair.generate()
    row("X25519 public", short(me.x25519_public))
    row("ML-KEM-768 public", short(me.mlkem768_public))
    encapsulation, nonce, ciphertext = secure.seal_hybrid(
        me.x25519_public, me.mlkem768_public, b"for your eyes only", b"")
    row("sealed to me", f"{short(encapsulation)} + {short(ciphertext)}")
    row("opened", repr(me.open(encapsulation, nonce, ciphertext, b"")))

    # A session record as a server would seal it to this identity (its fresh
    # keys come from the pool here and are never printed).
    def fresh_key() -> str:
        return base64.urlsafe_b64encode(pool.random(32)).rstrip(b"=").decode()

    record = json.dumps({"session_id": "s-42", "sign_key": fresh_key(),
                         "enc_key": fresh_key(), "expires_at": 1_900_000_000})
    sealed = secure.seal_hybrid(me.x25519_public, me.mlkem768_public, record.encode(), b"session")
    del record
    session_id, expires_at, sign_key, enc_key = me.open_session(*sealed, b"session")
    row("session", f"{session_id!r}, expires_at={expires_at}")
    row("  sign_key", repr(sign_key))
    row("  enc_key", repr(enc_key))
    return [me, sign_key, enc_key]


def main() -> None:
    print(f"velmora._secure {secure.__version__}")
    show("What the locked memory guarantees here (memory_status)", secure.memory_status())
    status("Before any secret exists")

    pool = secure.EntropyPool()
    alive = keys_and_seals(pool)
    alive += entropy(pool, alive[-1])
    alive += stream()
    alive += hybrid(pool)
    status("While the boxes, the identity and the pool are alive")

    show("Hardening (harden_process)", secure.harden_process())

    del alive, pool
    gc.collect()
    status("After they are released")


if __name__ == "__main__":
    main()
