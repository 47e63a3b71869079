"""🇺🇸 Module entry point: registers the classes, functions and constants Python sees.
🇧🇷 Ponto de entrada do módulo: registra as classes, funções e constantes que o Python vê.
"""

# Native enclave: secrets in page-locked, guard-paged memory outside the heap.

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

# Raised by the native enclave: locking, key material or authentication failed.
class SecureError(CryptoError):
    """🇺🇸 Raised by the native enclave: locking, key material or authentication failed. 🇧🇷 Lançada pelo enclave nativo: travamento, material de chave ou autenticação falhou."""

# Every bytes-like parameter takes a buffer of single unsigned bytes (format B
# or c) that describes its shape and strides: bytes, bytearray, mmap, array('B'),
# memoryview of any dimension and strides. str raises TypeError. BufferError:
# items wider than a byte or signed ("buffer contents are not compatible with
# u8"), a 0-d buffer such as memoryview(...).cast('B', []) or a ctypes scalar
# ("shape is null"), and ctypes arrays, which export no strides ("strides is
# null"; pass bytes(arr) or memoryview(arr).cast('B')).

# Bytes that live only in locked memory. Not constructible, not picklable,
# not copyable, not hashable; compared in constant time.
@final
class SecretBox:
    """🇺🇸 Bytes that live only in locked memory; see the module docs for the rules.
    🇧🇷 Bytes que vivem só em memória travada; veja a doc do módulo para as regras.
    """

    @staticmethod
    def random(length: int) -> SecretBox:
        """🇺🇸 `length` fresh bytes from the OS CSPRNG, born directly in locked memory.
        🇧🇷 `length` bytes novos do CSPRNG do SO, nascidos direto em memória travada.
        """
    # Copies `data` in; a writable C-contiguous source is zeroed afterwards.
    #
    # Any writable one: a writable mmap of a key file is zeroed too, and with
    # it the file on disk (MAP_SHARED). Pass bytes(view) to keep the source.
    @staticmethod
    def from_bytes(data: Buffer) -> SecretBox:
        """🇺🇸 Copies a bytes-like object in; a writable source (`bytearray`) is zeroed afterwards.
        🇧🇷 Copia um objeto tipo bytes para dentro; uma origem gravável (`bytearray`) é zerada depois.
        """
    @property
    def is_locked(self) -> bool:
        """🇺🇸 Whether the pages are pinned by `mlock`. 🇧🇷 Se as páginas estão presas por `mlock`."""
    @property
    def is_wiped(self) -> bool:
        """🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou."""
    # Zeroes the secret now; wiping twice is harmless.
    def wipe(self) -> None:
        """🇺🇸 Zeroes the secret now, ahead of garbage collection. 🇧🇷 Zera o segredo agora, antes da coleta de lixo."""
    def clone(self) -> SecretBox:
        """🇺🇸 A second, independent box with the same bytes. 🇧🇷 Uma segunda caixa, independente, com os mesmos bytes."""
    # The caller owns zeroing the returned bytearray.
    def reveal(self) -> bytearray:
        """🇺🇸 The bytes as a `bytearray` — the caller owns zeroing it. Exists only for persisting to OpenBao.
        🇧🇷 Os bytes como `bytearray` — zerá-lo é responsabilidade de quem chama. Existe só para persistir no OpenBao.
        """
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    # Always raises TypeError.
    def __reduce__(self) -> NoReturn:
        ...
    # Always raises TypeError.
    def __copy__(self) -> NoReturn:
        ...
    # Always raises TypeError.
    def __deepcopy__(self, _memo: object) -> NoReturn:
        ...
    # Symmetric operations: the box's bytes are the key, read in place.
    # 64-byte HMAC-SHA512 tag of `message` under this box.
    def hmac_sha512(self, message: Buffer) -> bytes:
        """🇺🇸 HMAC-SHA512 tag of `message` under this key. 🇧🇷 Tag HMAC-SHA512 de `message` sob esta chave."""
    # HKDF-SHA256 with this box as IKM, into a new box of `length` (1..8160)
    # bytes. No salt, an empty salt and 32 zero bytes are the same salt.
    def hkdf_sha256(
        self, *, info: Buffer, length: int = 32, salt: Buffer | None = None
    ) -> SecretBox:
        """🇺🇸 HKDF-SHA256 with this box as IKM; the output is a new locked box.
        🇧🇷 HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova.
        """
    # AES-256-GCM `ciphertext ‖ tag` (len(plaintext) + 16 bytes) under this
    # 32-byte box with the caller's 12-byte nonce; None and b"" are the same AAD.
    def aes_gcm_seal(self, nonce: Buffer, plaintext: Buffer, aad: Buffer | None = None) -> bytes:
        """🇺🇸 AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. 🇧🇷 `ciphertext ‖ tag` AES-256-GCM de `plaintext` sob esta chave."""
    # Like aes_gcm_seal with another box (or this one) as the plaintext.
    def aes_gcm_seal_secret(
        self, nonce: Buffer, secret: SecretBox, aad: Buffer | None = None
    ) -> bytes:
        """🇺🇸 Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). 🇧🇷 Como `aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave)."""
    # Opens `ciphertext ‖ tag` to bytes. Anything that does not authenticate
    # raises SecureError "ciphertext did not open".
    def aes_gcm_open(self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None = None) -> bytes:
        """🇺🇸 Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). 🇧🇷 Abre `ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo)."""
    # Opens straight into a new box; an empty plaintext raises SecureError.
    def aes_gcm_open_secret(
        self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None = None
    ) -> SecretBox:
        """🇺🇸 Opens into a new locked box (for keys). 🇧🇷 Abre para uma caixa travada nova (para chaves)."""
    # Opens a sealed JSON object and moves the base64url (URL-safe alphabet,
    # '=' padding optional) string member `field` of its top level, decoded,
    # into a new box. Errors, in order: the opening's, "malformed json object",
    # "malformed json field", "malformed base64url", empty secret.
    def aes_gcm_open_json_field(
        self, nonce: Buffer, ciphertext: Buffer, aad: Buffer | None, field: str
    ) -> SecretBox:
        """🇺🇸 Opens `ciphertext`, parses the plaintext as a JSON object and moves one base64url field straight into a locked box.

        This is how `random_seed` is consumed: its plaintext is `{"seed": "<b64url>"}`.
        The JSON text and the encoded seed exist only in the module's own self-wiping native
        memory, never in the Python heap.

        🇧🇷 Abre `ciphertext`, interpreta o texto claro como objeto JSON e move um campo base64url direto para uma caixa travada.

        É assim que `random_seed` é consumido: seu texto claro é `{"seed": "<b64url>"}`.
        O texto JSON e a semente codificada existem só na memória nativa do próprio módulo,
        que se apaga sozinha, nunca no heap do Python.
        """

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

# Stateful random generator: every 32 output bytes are SHA-256 over 32 fresh
# OS bytes, the digest of the last mixed-in seed and a block counter. State in
# locked memory; unusable in a fork() child.
@final
class EntropyPool:
    """🇺🇸 Stateful mixer; see the module docs. 🇧🇷 Misturador com estado; veja a doc do módulo."""

    def __init__(self) -> None: ...
    # Replaces the seed (its SHA-256 is kept) and resets the counter.
    def mix(self, seed: SecretBox | Buffer) -> None:
        """🇺🇸 Replaces the mixed-in seed (a `SecretBox` or bytes-like) and resets the counter.
        🇧🇷 Substitui a semente misturada (um `SecretBox` ou tipo bytes) e reinicia o contador.
        """
    # `n` bytes for public values (nonces, salts, ids).
    def random(self, n: int) -> bytes:
        """🇺🇸 `n` bytes for public values: nonces, salts, ids. 🇧🇷 `n` bytes para valores públicos: nonces, salts, ids."""
    # `n` (>= 1) bytes generated straight into a new box.
    def random_secret(self, n: int) -> SecretBox:
        """🇺🇸 `n` bytes born in a locked box: a new DEK never touches the Python heap.
        🇧🇷 `n` bytes nascidos numa caixa travada: uma DEK nova nunca toca o heap do Python.
        """

def harden_process() -> HardenReport:
    """🇺🇸 Applies every hardening step available on this platform; returns what took effect. Idempotent.
    🇧🇷 Aplica todo passo de hardening disponível nesta plataforma; devolve o que teve efeito. Idempotente.
    """
def memory_status() -> MemoryStatus:
    """🇺🇸 What the enclave can and cannot guarantee right now, for logs and `velmora status`.
    🇧🇷 O que o enclave pode e não pode garantir agora, para logs e `velmora status`.
    """

# Encrypting side of a secret stream: send `header` first, then one chunk
# per `push`. Chunks are XChaCha20-Poly1305 secret-stream chunks (libsodium's
# published format): len(message) + 17 bytes each. Not picklable.
@final
class SecretStreamPush:
    """🇺🇸 Encrypting side: `header` first, then `push(chunk, final=...)` per chunk.
    🇧🇷 Lado que cifra: `header` primeiro, depois `push(chunk, final=...)` por chunk.
    """

    # `key` must hold 32 bytes; it is read once and may be wiped afterwards.
    def __new__(cls, key: SecretBox) -> SecretStreamPush:
        ...
    # The 24-byte header the reader needs first (public; same bytes on every read).
    @property
    def header(self) -> bytes:
        """🇺🇸 The 24-byte header the reader needs first. 🇧🇷 O header de 24 bytes que o leitor precisa primeiro."""
    @property
    def is_finished(self) -> bool:
        """🇺🇸 Whether the final chunk was already pushed. 🇧🇷 Se o chunk final já foi empurrado."""
    # Seals one chunk bound to its position and to `ad` (None = empty).
    #
    # `final` takes a bool or numpy's bool scalar (not an int); after a final
    # chunk every push raises SecureError "stream already finished".
    # A message longer than one chunk can carry, 274877906752 bytes
    # (64 * (2**32 - 3)), raises ValueError before anything is copied and
    # leaves the stream as it was. Every failed push leaves the stream as it
    # was. Runs without the interpreter lock while it encrypts.
    def push(self, message: Buffer, *, final: bool = False, ad: Buffer | None = None) -> bytes:
        """🇺🇸 Encrypts one chunk; `final=True` marks the last one, after which the stream refuses more.
        🇧🇷 Cifra um chunk; `final=True` marca o último, depois do qual o stream recusa mais.
        """

# Decrypting side of a secret stream, built from the key and the writer's
# 24-byte header; chunks must be pulled in the order they were pushed.
@final
class SecretStreamPull:
    """🇺🇸 Decrypting side: built from `key` and the header, then `pull(chunk)` per chunk → `(plaintext, is_final)`.
    🇧🇷 Lado que decifra: construído de `key` e do header, depois `pull(chunk)` por chunk → `(texto claro, é_final)`.
    """

    # A wrong key or header only shows at the first pull.
    def __new__(cls, key: SecretBox, header: Buffer) -> SecretStreamPull:
        ...
    # Whether the final chunk was opened. A stream that ends without one
    # was truncated.
    @property
    def is_finished(self) -> bool:
        """🇺🇸 Whether `TAG_FINAL` was already seen. 🇧🇷 Se `TAG_FINAL` já foi visto."""
    # Opens one chunk: (plaintext, is_final).
    #
    # A chunk that does not authenticate here (modified, reordered, repeated,
    # skipped, other key/header/ad, shorter than 17 bytes or longer than any
    # chunk can be) raises SecureError "ciphertext did not open" and changes
    # nothing, so the right chunk can still be pulled next. After the final
    # chunk every pull raises "stream already finished". Runs without the
    # interpreter lock while it decrypts.
    def pull(self, chunk: Buffer, *, ad: Buffer | None = None) -> tuple[bytes, bool]:
        """🇺🇸 Authenticates and decrypts one chunk; refuses anything after the final one.
        🇧🇷 Autentica e decifra um chunk; recusa qualquer coisa depois do final.
        """

# An identity for hybrid seals: one X25519 pair plus one ML-KEM-768 pair,
# private halves in locked memory. Not constructible (use `generate` or
# `from_secrets`), not picklable, not copyable.
@final
class HybridKeyPair:
    """🇺🇸 An SDK identity: one X25519 pair plus one ML-KEM-768 pair, private halves in locked memory.
    🇧🇷 Uma identidade de SDK: um par X25519 mais um par ML-KEM-768, metades privadas em memória travada.
    """

    @staticmethod
    def generate() -> HybridKeyPair:
        """🇺🇸 A fresh identity from the OS CSPRNG. 🇧🇷 Uma identidade nova do CSPRNG do SO."""
    # Both public keys are recomputed from the secrets (32 and 2400 bytes);
    # an ML-KEM secret failing its modulus or hash check raises SecureError.
    @staticmethod
    def from_secrets(x25519_secret: SecretBox, mlkem768_secret: SecretBox) -> HybridKeyPair:
        """🇺🇸 Rebuilds an identity from its two secrets (an OpenBao restore); publics are recomputed, never trusted from storage.
        🇧🇷 Reconstrói uma identidade das duas secretas (restore do OpenBao); as públicas são recalculadas, nunca confiadas do armazenamento.
        """
    @property
    def x25519_public(self) -> bytes:
        """🇺🇸 32-byte X25519 public key. 🇧🇷 Chave pública X25519 de 32 bytes."""
    @property
    def mlkem768_public(self) -> bytes:
        """🇺🇸 1184-byte ML-KEM-768 encapsulation key. 🇧🇷 Chave de encapsulamento ML-KEM-768 de 1184 bytes."""
    @property
    def is_wiped(self) -> bool:
        """🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou."""
    def x25519_secret(self) -> SecretBox:
        """🇺🇸 A locked copy of the X25519 secret, for persisting. 🇧🇷 Uma cópia travada da secreta X25519, para persistir."""
    # The 2400-byte expanded decapsulation key.
    def mlkem768_secret(self) -> SecretBox:
        """🇺🇸 A locked copy of the expanded ML-KEM-768 secret, for persisting. 🇧🇷 Uma cópia travada da secreta ML-KEM-768 expandida, para persistir."""
    # Opens a seal made by `seal_hybrid`; `aad` is required (b"" for none).
    def open(self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer) -> bytes:
        """🇺🇸 Opens a seal to plain `bytes` (JSON, content). 🇧🇷 Abre um selo para `bytes` (JSON, conteúdo)."""
    # Like `open`, into a new box; an empty plaintext raises SecureError.
    def open_secret(
        self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer
    ) -> SecretBox:
        """🇺🇸 Opens a seal straight into a locked box (a group DEK). 🇧🇷 Abre um selo direto numa caixa travada (uma DEK de grupo)."""
    # (session_id, expires_at, sign_key, enc_key) from a sealed session
    # record; both keys are 32 bytes and never leave locked memory.
    def open_session(
        self, encapsulation: Buffer, nonce: Buffer, ciphertext: Buffer, aad: Buffer
    ) -> tuple[str, int, SecretBox, SecretBox]:
        """🇺🇸 Opens a sealed session (`docs/PROTOCOL.md §5`) as `(session_id, expires_at, sign_key, enc_key)` with both keys locked.
        🇧🇷 Abre uma sessão selada (`docs/PROTOCOL.md §5`) como `(session_id, expires_at, sign_key, enc_key)` com as duas chaves travadas.
        """
    # Zeroes both secrets; the public keys stay readable.
    def wipe(self) -> None:
        """🇺🇸 Zeroes both secrets now. 🇧🇷 Zera as duas secretas agora."""
    # Always raises TypeError.
    def __reduce__(self) -> NoReturn:
        ...
    # Always raises TypeError.
    def __copy__(self) -> NoReturn:
        ...
    # Always raises TypeError.
    def __deepcopy__(self, _memo: object) -> NoReturn:
        ...

# (encapsulation, nonce, ciphertext): 1120 bytes, 12 bytes and
# len(plaintext) + 16 bytes. `aad` is required (b"" for none).
def seal_hybrid(
    x25519_public: Buffer, mlkem768_public: Buffer, plaintext: Buffer, aad: Buffer
) -> tuple[bytes, bytes, bytes]:
    """🇺🇸 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)`.
    🇧🇷 `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)`.
    """
