"""Native enclave: secrets in page-locked, guard-paged memory outside the heap."""

from typing import Final, Literal, NoReturn, TypedDict, final

from typing_extensions import Buffer

from velmora.errors import CryptoError

__version__: Final[str]
SECRETSTREAM_HEADER_BYTES: Final[int]  # 24
SECRETSTREAM_ABYTES: Final[int]  # 17
X25519_PUBLIC_BYTES: Final[int]  # 32
X25519_SECRET_BYTES: Final[int]  # 32
MLKEM768_PUBLIC_BYTES: Final[int]  # 1184
MLKEM768_SECRET_BYTES: Final[int]  # 2400 (the expanded decapsulation key)
MLKEM768_CIPHERTEXT_BYTES: Final[int]  # 1088

class SecureError(CryptoError):
    """Raised by the native enclave: locking, key material or authentication failed."""

# Every bytes-like parameter takes a buffer of single unsigned bytes (format B
# or c) that describes its shape and strides: bytes, bytearray, mmap, array('B'),
# memoryview of any dimension and strides. str raises TypeError. BufferError:
# items wider than a byte or signed ("buffer contents are not compatible with
# u8"), a 0-d buffer such as memoryview(...).cast('B', []) or a ctypes scalar
# ("shape is null"), and ctypes arrays, which export no strides ("strides is
# null"; pass bytes(arr) or memoryview(arr).cast('B')).

@final
class SecretBox:
    """Bytes that live only in locked memory. Not constructible, not picklable,
    not copyable, not hashable; compared in constant time."""

    @staticmethod
    def random(length: int) -> SecretBox: ...
    @staticmethod
    def from_bytes(data: Buffer) -> SecretBox:
        """Copies `data` in; a writable C-contiguous source is zeroed afterwards.

        Any writable one: a writable mmap of a key file is zeroed too, and with
        it the file on disk (MAP_SHARED). Pass bytes(view) to keep the source."""
    @property
    def is_locked(self) -> bool: ...
    @property
    def is_wiped(self) -> bool: ...
    def wipe(self) -> None:
        """Zeroes the secret now; wiping twice is harmless."""
    def clone(self) -> SecretBox: ...
    def reveal(self) -> bytearray:
        """The caller owns zeroing the returned bytearray."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __reduce__(self) -> NoReturn:
        """Always raises TypeError."""
    def __copy__(self) -> NoReturn:
        """Always raises TypeError."""
    def __deepcopy__(self, _memo: object) -> NoReturn:
        """Always raises TypeError."""
    # Symmetric operations: the box's bytes are the key, read in place.
    def hmac_sha512(self, message: Buffer) -> bytes:
        """64-byte HMAC-SHA512 tag of `message` under this box."""
    def hkdf_sha256(
        self, *, info: Buffer, length: int = 32, salt: Buffer | None = None
    ) -> SecretBox:
        """HKDF-SHA256 with this box as IKM, into a new box of `length` (1..8160)
        bytes. No salt, an empty salt and 32 zero bytes are the same salt."""
    def aes_gcm_seal(self, nonce: Buffer, plaintext: Buffer, aad: Buffer | None = None) -> bytes:
        """AES-256-GCM `ciphertext ‖ tag` (len(plaintext) + 16 bytes) under this
        32-byte box with the caller's 12-byte nonce; None and b"" are the same AAD."""
    def aes_gcm_seal_secret(
        self, nonce: Buffer, secret: SecretBox, aad: Buffer | None = None
    ) -> bytes:
        """Like aes_gcm_seal with another box (or this one) as the plaintext."""
    def aes_gcm_open(self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None = None) -> bytes:
        """Opens `ciphertext ‖ tag` to bytes. Anything that does not authenticate
        raises SecureError "ciphertext did not open"."""
    def aes_gcm_open_secret(
        self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None = None
    ) -> SecretBox:
        """Opens straight into a new box; an empty plaintext raises SecureError."""
    def aes_gcm_open_json_field(
        self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None, field: str
    ) -> SecretBox:
        """Opens a sealed JSON object and moves the base64url (URL-safe alphabet,
        '=' padding optional) string member `field` of its top level, decoded,
        into a new box. Errors, in order: the opening's, "malformed json object",
        "malformed json field", "malformed base64url", empty secret."""

class HardenReport(TypedDict):
    platform: Literal["linux"]
    core_dumps_disabled: bool
    ptrace_restricted: bool
    memlock_soft_raised: bool
    memlock_soft: int | None
    memlock_hard: int | None

class MemoryStatus(TypedDict):
    platform: Literal["linux"]
    backend: Literal["mmap+mlock"]
    guard_pages: bool
    wipe_on_fork: bool
    page_size: int
    lock_policy: Literal["best-effort", "require"]
    live_secrets: int
    unlocked_allocations: int
    last_lock_errno: int
    memlock_soft: int | None
    memlock_hard: int | None
    ipc_lock_permitted: bool | None
    ipc_lock_effective: bool | None

@final
class EntropyPool:
    """Stateful random generator: every 32 output bytes are SHA-256 over 32 fresh
    OS bytes, the digest of the last mixed-in seed and a block counter. State in
    locked memory; unusable in a fork() child."""

    def __init__(self) -> None: ...
    def mix(self, seed: SecretBox | Buffer) -> None:
        """Replaces the seed (its SHA-256 is kept) and resets the counter."""
    def random(self, n: int) -> bytes:
        """`n` bytes for public values (nonces, salts, ids)."""
    def random_secret(self, n: int) -> SecretBox:
        """`n` (>= 1) bytes generated straight into a new box."""

def harden_process() -> HardenReport: ...
def memory_status() -> MemoryStatus: ...

@final
class SecretStreamPush:
    """Encrypting side of a secret stream: send `header` first, then one chunk
    per `push`. Chunks are XChaCha20-Poly1305 secret-stream chunks (libsodium's
    published format): len(message) + 17 bytes each. Not picklable."""

    def __new__(cls, key: SecretBox) -> SecretStreamPush:
        """`key` must hold 32 bytes; it is read once and may be wiped afterwards."""
    @property
    def header(self) -> bytes:
        """The 24-byte header the reader needs first (public; same bytes on every read)."""
    @property
    def is_finished(self) -> bool: ...
    def push(self, message: Buffer, *, final: bool = False, ad: Buffer | None = None) -> bytes:
        """Seals one chunk bound to its position and to `ad` (None = empty).

        `final` takes a bool or numpy's bool scalar (not an int); after a final
        chunk every push raises SecureError "stream already finished".
        A message longer than one chunk can carry, 274877906752 bytes
        (64 * (2**32 - 3)), raises ValueError before anything is copied and
        leaves the stream as it was. Every failed push leaves the stream as it
        was. Runs without the interpreter lock while it encrypts."""

@final
class SecretStreamPull:
    """Decrypting side of a secret stream, built from the key and the writer's
    24-byte header; chunks must be pulled in the order they were pushed."""

    def __new__(cls, key: SecretBox, header: Buffer) -> SecretStreamPull:
        """A wrong key or header only shows at the first pull."""
    @property
    def is_finished(self) -> bool:
        """Whether the final chunk was opened. A stream that ends without one
        was truncated."""
    def pull(self, chunk: Buffer, *, ad: Buffer | None = None) -> tuple[bytes, bool]:
        """Opens one chunk: (plaintext, is_final).

        A chunk that does not authenticate here (modified, reordered, repeated,
        skipped, other key/header/ad, shorter than 17 bytes or longer than any
        chunk can be) raises SecureError "ciphertext did not open" and changes
        nothing, so the right chunk can still be pulled next. After the final
        chunk every pull raises "stream already finished". Runs without the
        interpreter lock while it decrypts."""

@final
class HybridKeyPair:
    """An identity for hybrid seals: one X25519 pair plus one ML-KEM-768 pair,
    private halves in locked memory. Not constructible (use `generate` or
    `from_secrets`), not picklable, not copyable."""

    @staticmethod
    def generate() -> HybridKeyPair: ...
    @staticmethod
    def from_secrets(x25519_secret: SecretBox, mlkem768_secret: SecretBox) -> HybridKeyPair:
        """Both public keys are recomputed from the secrets (32 and 2400 bytes);
        an ML-KEM secret failing its modulus or hash check raises SecureError."""
    @property
    def x25519_public(self) -> bytes: ...
    @property
    def mlkem768_public(self) -> bytes: ...
    @property
    def is_wiped(self) -> bool: ...
    def x25519_secret(self) -> SecretBox: ...
    def mlkem768_secret(self) -> SecretBox:
        """The 2400-byte expanded decapsulation key."""
    def open(self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer) -> bytes:
        """Opens a seal made by `seal_hybrid`; `aad` is required (b"" for none)."""
    def open_secret(
        self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer
    ) -> SecretBox:
        """Like `open`, into a new box; an empty plaintext raises SecureError."""
    def open_session(
        self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer
    ) -> tuple[str, int, SecretBox, SecretBox]:
        """(session_id, expires_at, sign_key, enc_key) from a sealed session
        record; both keys are 32 bytes and never leave locked memory."""
    def wipe(self) -> None:
        """Zeroes both secrets; the public keys stay readable."""
    def __reduce__(self) -> NoReturn:
        """Always raises TypeError."""
    def __copy__(self) -> NoReturn:
        """Always raises TypeError."""
    def __deepcopy__(self, _memo: object) -> NoReturn:
        """Always raises TypeError."""

def seal_hybrid(
    x25519_public: Buffer, mlkem768_public: Buffer, plaintext: Buffer, aad: Buffer
) -> tuple[bytes, bytes, bytes]:
    """(encapsulation, nonce, ciphertext): 1120 bytes, 12 bytes and
    len(plaintext) + 16 bytes. `aad` is required (b"" for none)."""
