"""Errors of the host package that the native enclave builds on."""


class CryptoError(Exception):
    """Base class of every cryptographic failure the package reports."""
