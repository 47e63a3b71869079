"""Values derived from secrets that the libraries never hand out but do hold in
memory while they work: SHA-2 chaining states, AES round keys, the HChaCha20
subkey. Computed here from the definitions, independently of the module, so
that the residue scan can look for them."""

from __future__ import annotations

import struct

# --- SHA-2 compression (FIPS 180-4) -------------------------------------------------------

_K256 = [
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
]
_H256 = [0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19]


def _primes(n):
    found, k = [], 2
    while len(found) < n:
        if all(k % p for p in found):
            found.append(k)
        k += 1
    return found


def _frac_root(p, e, bits):
    # First `bits` bits of the fractional part of p^(1/e), exactly.
    scale = 1 << bits
    lo, hi = 0, (p + 1) * scale
    target = p * scale**e
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if mid**e <= target:
            lo = mid
        else:
            hi = mid - 1
    return lo % scale


_K512 = [_frac_root(p, 3, 64) for p in _primes(80)]
_H512 = [_frac_root(p, 2, 64) for p in _primes(8)]
assert _K512[0] == 0x428A2F98D728AE22 and _H512[0] == 0x6A09E667F3BCC908


def _rotr(x, n, w):
    return ((x >> n) | (x << (w - n))) & ((1 << w) - 1)


def _compress(state, block, w):
    mask = (1 << w) - 1
    if w == 32:
        k, rounds, s0r, s1r, S0r, S1r = _K256, 64, (7, 18, 3), (17, 19, 10), (2, 13, 22), (6, 11, 25)
        words = list(struct.unpack(">16I", block))
    else:
        k, rounds, s0r, s1r, S0r, S1r = _K512, 80, (1, 8, 7), (19, 61, 6), (28, 34, 39), (14, 18, 41)
        words = list(struct.unpack(">16Q", block))
    for t in range(16, rounds):
        x, y = words[t - 15], words[t - 2]
        s0 = _rotr(x, s0r[0], w) ^ _rotr(x, s0r[1], w) ^ (x >> s0r[2])
        s1 = _rotr(y, s1r[0], w) ^ _rotr(y, s1r[1], w) ^ (y >> s1r[2])
        words.append((words[t - 16] + s0 + words[t - 7] + s1) & mask)
    a, b, c, d, e, f, g, h = state
    for t in range(rounds):
        S1 = _rotr(e, S1r[0], w) ^ _rotr(e, S1r[1], w) ^ _rotr(e, S1r[2], w)
        t1 = (h + S1 + ((e & f) ^ (~e & g)) + k[t] + words[t]) & mask
        S0 = _rotr(a, S0r[0], w) ^ _rotr(a, S0r[1], w) ^ _rotr(a, S0r[2], w)
        t2 = (S0 + ((a & b) ^ (a & c) ^ (b & c))) & mask
        a, b, c, d, e, f, g, h = (t1 + t2) & mask, a, b, c, (d + t1) & mask, e, f, g
    return [(x + y) & mask for x, y in zip(state, (a, b, c, d, e, f, g, h))]


def _state_forms(state, w):
    """A chaining state as it may sit in memory: big-endian bytes (a digest)
    and host-order (little-endian) words (a library's context)."""
    fmt = "I" if w == 32 else "Q"
    return struct.pack(f">8{fmt}", *state), struct.pack(f"<8{fmt}", *state)


def sha256_words(digest):
    """A SHA-256 digest as the host-order words of a hash state."""
    return struct.pack("<8I", *struct.unpack(">8I", digest))


def hmac_key_values(key, sha512):
    """The padded key blocks (key ⊕ ipad, key ⊕ opad) and the inner and outer
    chaining states after absorbing them, in both byte orders."""
    block = 128 if sha512 else 64
    w = 64 if sha512 else 32
    init = _H512 if sha512 else _H256
    padded = key.ljust(block, b"\0")
    out = {}
    for name, pad in (("ipad", 0x36), ("opad", 0x5C)):
        blk = bytes(b ^ pad for b in padded)
        out[f"{name} block"] = blk
        be, le = _state_forms(_compress(init, blk, w), w)
        out[f"{name} state"] = be
        out[f"{name} state words"] = le
    return out


# --- AES-256 key expansion (FIPS 197) -----------------------------------------------------


def _sbox():
    box = [0] * 256
    p = q = 1
    while True:
        p = p ^ ((p << 1) & 0xFF) ^ (0x1B if p & 0x80 else 0)
        q ^= q << 1
        q ^= q << 2
        q ^= q << 4
        q &= 0xFF
        if q & 0x80:
            q ^= 0x09
        x = q ^ _rotl8(q, 1) ^ _rotl8(q, 2) ^ _rotl8(q, 3) ^ _rotl8(q, 4)
        box[p] = x ^ 0x63
        if p == 1:
            break
    box[0] = 0x63
    return box


def _rotl8(x, n):
    return ((x << n) | (x >> (8 - n))) & 0xFF


_SBOX = _sbox()
assert _SBOX[0x53] == 0xED


def aes256_round_keys(key):
    """Round keys 2..14 (0 and 1 are the key itself), 16 bytes each."""
    words = [list(key[i : i + 4]) for i in range(0, 32, 4)]
    rcon = 1
    for i in range(8, 60):
        t = list(words[i - 1])
        if i % 8 == 0:
            t = [_SBOX[b] for b in t[1:] + t[:1]]
            t[0] ^= rcon
            rcon = (rcon << 1) ^ (0x11B if rcon & 0x80 else 0)
        elif i % 8 == 4:
            t = [_SBOX[b] for b in t]
        words.append([a ^ b for a, b in zip(words[i - 8], t)])
    flat = bytes(b for word in words for b in word)
    return [flat[i : i + 16] for i in range(32, 240, 16)]


# --- HChaCha20 --------------------------------------------------------------------------------


def hchacha20(key, nonce16):
    def qr(s, a, b, c, d):
        s[a] = (s[a] + s[b]) & 0xFFFFFFFF
        s[d] = _rotr(s[d] ^ s[a], 16, 32)
        s[c] = (s[c] + s[d]) & 0xFFFFFFFF
        s[b] = _rotr(s[b] ^ s[c], 20, 32)
        s[a] = (s[a] + s[b]) & 0xFFFFFFFF
        s[d] = _rotr(s[d] ^ s[a], 24, 32)
        s[c] = (s[c] + s[d]) & 0xFFFFFFFF
        s[b] = _rotr(s[b] ^ s[c], 25, 32)

    s = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]
    s += list(struct.unpack("<8I", key)) + list(struct.unpack("<4I", nonce16))
    for _ in range(10):
        qr(s, 0, 4, 8, 12), qr(s, 1, 5, 9, 13), qr(s, 2, 6, 10, 14), qr(s, 3, 7, 11, 15)
        qr(s, 0, 5, 10, 15), qr(s, 1, 6, 11, 12), qr(s, 2, 7, 8, 13), qr(s, 3, 4, 9, 14)
    return struct.pack("<8I", *(s[0:4] + s[12:16]))


def x25519_clamped(secret):
    b = bytearray(secret)
    b[0] &= 248
    b[31] = (b[31] & 127) | 64
    return bytes(b)


# --- X25519 key generation on the native path -------------------------------------------


def x25519_base_digits(secret):
    """The clamped scalar as the 64 signed radix-16 digits (in [-8, 8], one
    byte each) that the fixed-base multiplication works from."""
    k = int.from_bytes(x25519_clamped(secret), "little")
    e = [(k >> (4 * i)) & 15 for i in range(64)]
    carry = 0
    for i in range(63):
        e[i] += carry
        carry = (e[i] + 8) >> 4
        e[i] -= carry << 4
    e[63] += carry
    return e


def _base_table():
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parent.parent / "src" / "crypto" / "x25519" / "gen_table.py"
    spec = importlib.util.spec_from_file_location("gen_table", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.table()


def x25519_base_selections(secret, digits):
    """{i: y + x of the table entry selected for digit i} (y - x for a negative
    digit, whose point is negated), for the digit positions asked for that
    are not zero (zero selects the neutral element)."""
    e = x25519_base_digits(secret)
    rows = _base_table()
    out = {}
    for i in digits:
        if e[i]:
            ypx, ymx, _ = rows[i // 2][abs(e[i]) - 1]
            out[i] = (ypx if e[i] > 0 else ymx).to_bytes(32, "little")
    return out
