"""Every documented text of the module in one table: each class's doc, each
method's text signature (as inspect shows it) and docstring, and each
getter's docstring. The table must name every public member, so a new method
cannot go undocumented."""

from __future__ import annotations

import inspect

import pytest

from velmora import _secure

US, BR = "\U0001f1fa\U0001f1f8", "\U0001f1e7\U0001f1f7"

# (dotted name under velmora._secure, signature or None, doc)
DOCUMENTED = [
    (
        "SecretBox",
        None,
        f"{US} Bytes that live only in locked memory; see the module docs for the rules.\n"
        f"{BR} Bytes que vivem só em memória travada; veja a doc do módulo para as regras.",
    ),
    (
        "SecretBox.random",
        "(length)",
        f"{US} `length` fresh bytes from the OS CSPRNG, born directly in locked memory.\n"
        f"{BR} `length` bytes novos do CSPRNG do SO, nascidos direto em memória travada.",
    ),
    (
        "SecretBox.from_bytes",
        "(data)",
        f"{US} Copies a bytes-like object in; a writable source (`bytearray`) is zeroed afterwards.\n"
        f"{BR} Copia um objeto tipo bytes para dentro; uma origem gravável (`bytearray`) é zerada depois.",
    ),
    ("SecretBox.__reduce__", "(self, /)", None),
    ("SecretBox.__copy__", "(self, /)", None),
    ("SecretBox.__deepcopy__", "(self, /, _memo)", None),
    (
        "SecretBox.is_locked",
        None,
        f"{US} Whether the pages are pinned by `mlock`. {BR} Se as páginas estão presas por `mlock`.",
    ),
    (
        "SecretBox.is_wiped",
        None,
        f"{US} Whether `wipe()` already ran. {BR} Se `wipe()` já rodou.",
    ),
    (
        "SecretBox.wipe",
        "(self, /)",
        f"{US} Zeroes the secret now, ahead of garbage collection. {BR} Zera o segredo agora, antes da coleta de lixo.",
    ),
    (
        "SecretBox.clone",
        "(self, /)",
        f"{US} A second, independent box with the same bytes. {BR} Uma segunda caixa, independente, com os mesmos bytes.",
    ),
    (
        "SecretBox.reveal",
        "(self, /)",
        f"{US} The bytes as a `bytearray` — the caller owns zeroing it. Exists only for persisting to OpenBao.\n"
        f"{BR} Os bytes como `bytearray` — zerá-lo é responsabilidade de quem chama. Existe só para persistir no OpenBao.",
    ),
    (
        "SecretBox.hmac_sha512",
        "(self, /, message)",
        f"{US} HMAC-SHA512 tag of `message` under this key. {BR} Tag HMAC-SHA512 de `message` sob esta chave.",
    ),
    (
        "SecretBox.hkdf_sha256",
        "(self, /, *, info, length=32, salt=None)",
        f"{US} HKDF-SHA256 with this box as IKM; the output is a new locked box.\n"
        f"{BR} HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova.",
    ),
    (
        "SecretBox.aes_gcm_seal",
        "(self, /, nonce, plaintext, aad=None)",
        f"{US} AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. {BR} `ciphertext ‖ tag` AES-256-GCM de `plaintext` sob esta chave.",
    ),
    (
        "SecretBox.aes_gcm_seal_secret",
        "(self, /, nonce, secret, aad=None)",
        f"{US} Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). {BR} Como `aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave).",
    ),
    (
        "SecretBox.aes_gcm_open",
        "(self, /, nonce, ciphertext, aad=None)",
        f"{US} Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). {BR} Abre `ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo).",
    ),
    (
        "SecretBox.aes_gcm_open_json_field",
        "(self, /, nonce, ciphertext, aad, field)",
        f"{US} Opens `ciphertext`, parses the plaintext as a JSON object and moves one base64url field straight into a locked box.\n"
        f"\n"
        f"This is how `random_seed` is consumed: its plaintext is `{{\"seed\": \"<b64url>\"}}`.\n"
        f"The JSON text and the encoded seed exist only in the module's own self-wiping native\n"
        f"memory, never in the Python heap.\n"
        f"\n"
        f"{BR} Abre `ciphertext`, interpreta o texto claro como objeto JSON e move um campo base64url direto para uma caixa travada.\n"
        f"\n"
        f"É assim que `random_seed` é consumido: seu texto claro é `{{\"seed\": \"<b64url>\"}}`.\n"
        f"O texto JSON e a semente codificada existem só na memória nativa do próprio módulo,\n"
        f"que se apaga sozinha, nunca no heap do Python.",
    ),
    (
        "SecretBox.aes_gcm_open_secret",
        "(self, /, nonce, ciphertext, aad=None)",
        f"{US} Opens into a new locked box (for keys). {BR} Abre para uma caixa travada nova (para chaves).",
    ),
    (
        "HybridKeyPair",
        None,
        f"{US} An SDK identity: one X25519 pair plus one ML-KEM-768 pair, private halves in locked memory.\n"
        f"{BR} Uma identidade de SDK: um par X25519 mais um par ML-KEM-768, metades privadas em memória travada.",
    ),
    (
        "HybridKeyPair.generate",
        "()",
        f"{US} A fresh identity from the OS CSPRNG. {BR} Uma identidade nova do CSPRNG do SO.",
    ),
    (
        "HybridKeyPair.from_secrets",
        "(x25519_secret, mlkem768_secret)",
        f"{US} Rebuilds an identity from its two secrets (an OpenBao restore); publics are recomputed, never trusted from storage.\n"
        f"{BR} Reconstrói uma identidade das duas secretas (restore do OpenBao); as públicas são recalculadas, nunca confiadas do armazenamento.",
    ),
    (
        "HybridKeyPair.x25519_public",
        None,
        f"{US} 32-byte X25519 public key. {BR} Chave pública X25519 de 32 bytes.",
    ),
    (
        "HybridKeyPair.mlkem768_public",
        None,
        f"{US} 1184-byte ML-KEM-768 encapsulation key. {BR} Chave de encapsulamento ML-KEM-768 de 1184 bytes.",
    ),
    (
        "HybridKeyPair.x25519_secret",
        "(self, /)",
        f"{US} A locked copy of the X25519 secret, for persisting. {BR} Uma cópia travada da secreta X25519, para persistir.",
    ),
    (
        "HybridKeyPair.mlkem768_secret",
        "(self, /)",
        f"{US} A locked copy of the expanded ML-KEM-768 secret, for persisting. {BR} Uma cópia travada da secreta ML-KEM-768 expandida, para persistir.",
    ),
    (
        "HybridKeyPair.open",
        "(self, /, encapsulation, nonce, ciphertext, aad)",
        f"{US} Opens a seal to plain `bytes` (JSON, content). {BR} Abre um selo para `bytes` (JSON, conteúdo).",
    ),
    (
        "HybridKeyPair.open_secret",
        "(self, /, encapsulation, nonce, ciphertext, aad)",
        f"{US} Opens a seal straight into a locked box (a group DEK). {BR} Abre um selo direto numa caixa travada (uma DEK de grupo).",
    ),
    (
        "HybridKeyPair.open_session",
        "(self, /, encapsulation, nonce, ciphertext, aad)",
        f"{US} Opens a sealed session (`docs/PROTOCOL.md §5`) as `(session_id, expires_at, sign_key, enc_key)` with both keys locked.\n"
        f"{BR} Abre uma sessão selada (`docs/PROTOCOL.md §5`) como `(session_id, expires_at, sign_key, enc_key)` com as duas chaves travadas.",
    ),
    (
        "HybridKeyPair.wipe",
        "(self, /)",
        f"{US} Zeroes both secrets now. {BR} Zera as duas secretas agora.",
    ),
    (
        "HybridKeyPair.is_wiped",
        None,
        f"{US} Whether `wipe()` already ran. {BR} Se `wipe()` já rodou.",
    ),
    ("HybridKeyPair.__reduce__", "(self, /)", None),
    ("HybridKeyPair.__copy__", "(self, /)", None),
    ("HybridKeyPair.__deepcopy__", "(self, /, _memo)", None),
    (
        "SecretStreamPush",
        "(key)",
        f"{US} Encrypting side: `header` first, then `push(chunk, final=...)` per chunk.\n"
        f"{BR} Lado que cifra: `header` primeiro, depois `push(chunk, final=...)` por chunk.",
    ),
    (
        "SecretStreamPush.header",
        None,
        f"{US} The 24-byte header the reader needs first. {BR} O header de 24 bytes que o leitor precisa primeiro.",
    ),
    (
        "SecretStreamPush.is_finished",
        None,
        f"{US} Whether the final chunk was already pushed. {BR} Se o chunk final já foi empurrado.",
    ),
    (
        "SecretStreamPush.push",
        "(self, /, message, *, final=False, ad=None)",
        f"{US} Encrypts one chunk; `final=True` marks the last one, after which the stream refuses more.\n"
        f"{BR} Cifra um chunk; `final=True` marca o último, depois do qual o stream recusa mais.",
    ),
    (
        "SecretStreamPull",
        "(key, header)",
        f"{US} Decrypting side: built from `key` and the header, then `pull(chunk)` per chunk → `(plaintext, is_final)`.\n"
        f"{BR} Lado que decifra: construído de `key` e do header, depois `pull(chunk)` por chunk → `(texto claro, é_final)`.",
    ),
    (
        "SecretStreamPull.is_finished",
        None,
        f"{US} Whether `TAG_FINAL` was already seen. {BR} Se `TAG_FINAL` já foi visto.",
    ),
    (
        "SecretStreamPull.pull",
        "(self, /, chunk, *, ad=None)",
        f"{US} Authenticates and decrypts one chunk; refuses anything after the final one.\n"
        f"{BR} Autentica e decifra um chunk; recusa qualquer coisa depois do final.",
    ),
    (
        "EntropyPool",
        "()",
        f"{US} Stateful mixer; see the module docs. {BR} Misturador com estado; veja a doc do módulo.",
    ),
    (
        "EntropyPool.mix",
        "(self, /, seed)",
        f"{US} Replaces the mixed-in seed (a `SecretBox` or bytes-like) and resets the counter.\n"
        f"{BR} Substitui a semente misturada (um `SecretBox` ou tipo bytes) e reinicia o contador.",
    ),
    (
        "EntropyPool.random",
        "(self, /, n)",
        f"{US} `n` bytes for public values: nonces, salts, ids. {BR} `n` bytes para valores públicos: nonces, salts, ids.",
    ),
    (
        "EntropyPool.random_secret",
        "(self, /, n)",
        f"{US} `n` bytes born in a locked box: a new DEK never touches the Python heap.\n"
        f"{BR} `n` bytes nascidos numa caixa travada: uma DEK nova nunca toca o heap do Python.",
    ),
    (
        "seal_hybrid",
        "(x25519_public, mlkem768_public, plaintext, aad)",
        f"{US} `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)`.\n"
        f"{BR} `seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)`.",
    ),
    (
        "harden_process",
        "()",
        f"{US} Applies every hardening step available on this platform; returns what took effect. Idempotent.\n"
        f"{BR} Aplica todo passo de hardening disponível nesta plataforma; devolve o que teve efeito. Idempotente.",
    ),
    (
        "memory_status",
        "()",
        f"{US} What the enclave can and cannot guarantee right now, for logs and `velmora status`.\n"
        f"{BR} O que o enclave pode e não pode garantir agora, para logs e `velmora status`.",
    ),
]

CLASSES = ["SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool"]
FUNCTIONS = ["seal_hybrid", "harden_process", "memory_status"]
COPY_REFUSALS = {"__reduce__", "__copy__", "__deepcopy__"}


def resolve(dotted):
    obj = _secure
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name, signature, doc", DOCUMENTED, ids=[row[0] for row in DOCUMENTED])
def test_documented_text(name, signature, doc):
    obj = resolve(name)
    assert obj.__doc__ == doc
    if signature is None:
        assert not callable(obj) or getattr(obj, "__text_signature__", None) is None
    else:
        assert str(inspect.signature(obj)) == signature


def test_the_table_names_every_member():
    members = set(CLASSES) | set(FUNCTIONS)
    for cls in CLASSES:
        for name in vars(getattr(_secure, cls)):
            if not name.startswith("__") or name in COPY_REFUSALS:
                members.add(f"{cls}.{name}")
    assert [row[0] for row in DOCUMENTED if row[0] not in members] == []
    assert members - {row[0] for row in DOCUMENTED} == set()
