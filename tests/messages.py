"""The module's user-facing message texts, and small helpers to expect them,
shared by the test files."""

from __future__ import annotations

import re

import pytest

from velmora._secure import SecureError, memory_status

OPEN_FAILED = "ciphertext did not open · ciphertext não abriu"
EMPTY = "a secret cannot be empty · um segredo não pode ser vazio"
WIPED = "secret box was wiped · a caixa de segredo foi apagada"
RNG = "operating system RNG failed · RNG do sistema operacional falhou"
KEY_REJECTED = "key failed validation · chave falhou na validação"
FINISHED = "stream already finished · stream já terminou"
ALLOCATION = "could not allocate a locked page · não foi possível alocar uma página travada"
FORK = (
    "secret box is empty in this fork() child; secrets never survive a fork · a caixa está "
    "vazia neste filho de fork(); segredos nunca sobrevivem a um fork"
)
STR_REFUSED = (
    "expected a bytes-like object, got str; encode it first · esperava um objeto tipo bytes, "
    "recebeu str; codifique antes"
)


def wrong_length(what, expected, got):
    return f"{what}: expected {expected} bytes, got {got} · esperava {expected} bytes, recebeu {got}"


def secure_error(message):
    """pytest.raises for a SecureError with exactly `message`."""
    return pytest.raises(SecureError, match="^" + re.escape(message) + "$")


def live():
    return memory_status()["live_secrets"]
