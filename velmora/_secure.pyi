"""Native enclave: secrets in page-locked, guard-paged memory outside the heap."""

from typing import Final, Literal, TypedDict, final

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

# Every bytes-like parameter takes any buffer of single unsigned bytes (bytes,
# bytearray, memoryview of any layout, array('B')); str raises TypeError and
# buffers of wider or signed items raise BufferError.

@final
class SecretBox:
    """Bytes that live only in locked memory. Not constructible, not picklable,
    not copyable, not hashable; compared in constant time."""

    @staticmethod
    def random(length: int) -> SecretBox: ...
    @staticmethod
    def from_bytes(data: Buffer) -> SecretBox:
        """Copies `data` in; a writable C-contiguous source is zeroed afterwards."""
    @property
    def is_locked(self) -> bool: ...
    @property
    def is_wiped(self) -> bool: ...
    def wipe(self) -> None: ...
    def clone(self) -> SecretBox: ...
    def reveal(self) -> bytearray:
        """The caller owns zeroing the returned bytearray."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __reduce__(self) -> object:
        """Always raises TypeError."""
    def __copy__(self) -> object:
        """Always raises TypeError."""
    def __deepcopy__(self, _memo: object) -> object:
        """Always raises TypeError."""

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

def harden_process() -> HardenReport: ...
def memory_status() -> MemoryStatus: ...

@final
class SecretStreamPush:
    """Encrypting side of a secret stream: send `header` first, then one chunk
    per `push`. Chunks are XChaCha20-Poly1305 secret-stream chunks (libsodium's
    published format): len(message) + 17 bytes each. Not picklable."""

    def __init__(self, key: SecretBox) -> None:
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

    def __init__(self, key: SecretBox, header: Buffer) -> None:
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
