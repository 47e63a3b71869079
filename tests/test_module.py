"""The module as Python sees it: registration, constants, docstrings and text
signatures, the classes' construction rules and SecureError."""

import inspect

import pytest

import velmora.errors
from velmora import _secure

# Every attribute the module registers, in registration order.
REGISTRATION_ORDER = [
    "SecretBox",
    "HybridKeyPair",
    "SecretStreamPush",
    "SecretStreamPull",
    "EntropyPool",
    "seal_hybrid",
    "harden_process",
    "memory_status",
    "SecureError",
    "__version__",
    "SECRETSTREAM_HEADER_BYTES",
    "SECRETSTREAM_ABYTES",
    "X25519_PUBLIC_BYTES",
    "X25519_SECRET_BYTES",
    "MLKEM768_PUBLIC_BYTES",
    "MLKEM768_SECRET_BYTES",
    "MLKEM768_CIPHERTEXT_BYTES",
]
CLASSES = ["SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool"]
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

US, BR = "\U0001F1FA\U0001F1F8", "\U0001F1E7\U0001F1F7"


def present(names):
    return [n for n in names if hasattr(_secure, n)]


def test_registration_order():
    registered = [n for n in vars(_secure) if n not in IMPORT_ATTRIBUTES]
    assert set(registered) <= set(REGISTRATION_ORDER), "unexpected attributes"
    assert registered == present(REGISTRATION_ORDER)
    # The foundation's own attributes are always there.
    for name in ["SecretBox", "harden_process", "memory_status", "SecureError", "__version__"]:
        assert name in registered


@pytest.mark.parametrize(
    "name, value",
    [
        ("__version__", "0.1.0"),
        ("SECRETSTREAM_HEADER_BYTES", 24),
        ("SECRETSTREAM_ABYTES", 17),
        ("X25519_PUBLIC_BYTES", 32),
        ("X25519_SECRET_BYTES", 32),
        ("MLKEM768_PUBLIC_BYTES", 1184),
        ("MLKEM768_SECRET_BYTES", 2400),
        ("MLKEM768_CIPHERTEXT_BYTES", 1088),
    ],
)
def test_constants(name, value):
    got = getattr(_secure, name)
    assert type(got) is type(value)
    assert got == value


def test_module_docstring():
    assert _secure.__doc__ == (
        f"{US} Module entry point: registers the classes, functions and constants Python sees.\n"
        f"{BR} Ponto de entrada do módulo: registra as classes, funções e constantes que o "
        "Python vê."
    )


B = _secure.SecretBox

# Their texts: tests/test_documented.py.
@pytest.mark.parametrize("getter", [B.is_locked, B.is_wiped], ids=["is_locked", "is_wiped"])
def test_getters_are_read_only(getter):
    box = B.random(1)
    with pytest.raises(AttributeError):
        setattr(box, getter.__name__, True)


def test_secret_box_class():
    assert B.__module__ == "velmora._secure"
    assert B.__qualname__ == "SecretBox"
    assert B.__text_signature__ is None  # no constructor
    assert B.__hash__ is None


@pytest.mark.parametrize("call", [lambda: B(), lambda: B.__new__(B), lambda: B(b"abc")])
def test_secret_box_cannot_be_constructed(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("name", present(CLASSES))
def test_classes_cannot_be_subclassed(name):
    cls = getattr(_secure, name)
    assert cls.__module__ == "velmora._secure"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# Each class's own methods and getters, in the order they are documented (the
# getters among the methods).
MEMBER_ORDER = {
    "SecretBox": [
        "random", "from_bytes", "__reduce__", "__copy__", "__deepcopy__", "is_locked",
        "is_wiped", "wipe", "clone", "reveal", "hmac_sha512", "hkdf_sha256", "aes_gcm_seal",
        "aes_gcm_seal_secret", "aes_gcm_open", "aes_gcm_open_json_field", "aes_gcm_open_secret",
    ],
    "HybridKeyPair": [
        "generate", "from_secrets", "x25519_public", "mlkem768_public", "x25519_secret",
        "mlkem768_secret", "open", "open_secret", "open_session", "wipe", "is_wiped",
        "__reduce__", "__copy__", "__deepcopy__",
    ],
    "SecretStreamPush": ["header", "is_finished", "push"],
    "SecretStreamPull": ["is_finished", "pull"],
    "EntropyPool": ["mix", "random", "random_secret"],
}


@pytest.mark.parametrize("name", present(CLASSES))
def test_members_in_documented_order(name):
    cls = getattr(_secure, name)
    members = [
        n for n, v in vars(cls).items()
        if inspect.ismethoddescriptor(v) or inspect.isdatadescriptor(v) or isinstance(v, staticmethod)
    ]
    members = [n for n in members if n in MEMBER_ORDER[name] or not n.startswith("__")]
    assert members == MEMBER_ORDER[name]


def test_instances_have_no_dict_or_weakref():
    import weakref

    box = B.random(4)
    with pytest.raises(AttributeError):
        box.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(box)


def test_secure_error_type():
    err = _secure.SecureError
    assert issubclass(err, velmora.errors.CryptoError)
    assert err.__bases__ == (velmora.errors.CryptoError,)
    assert err.__module__ == "velmora._secure"
    assert err.__name__ == "SecureError"
    assert err.__doc__ == (
        f"{US} Raised by the native enclave: locking, key material or authentication failed. "
        f"{BR} Lançada pelo enclave nativo: travamento, material de chave ou autenticação falhou."
    )
    with pytest.raises(velmora.errors.CryptoError) as info:
        B.random(0)
    assert type(info.value) is err
    assert info.value.args == ("a secret cannot be empty · um segredo não pode ser vazio",)


def test_reimport_reuses_process_wide_types(run_child):
    out = run_child(
        """
        import importlib, json, sys
        import velmora._secure as first
        box = first.SecretBox.from_bytes(b"k")
        del sys.modules["velmora._secure"]
        second = importlib.import_module("velmora._secure")
        print(json.dumps({
            "new_module": second is not first,
            "same_box_type": second.SecretBox is first.SecretBox,
            "same_error": second.SecureError is first.SecureError,
            "boxes_compare": second.SecretBox.from_bytes(b"k") == box,
        }))
        """
    ).json()
    assert out == {"new_module": True, "same_box_type": True, "same_error": True,
                   "boxes_compare": True}


# A stand-in host package shadowing the real one: its own velmora.errors, and
# the real package directory on __path__ so the extension is still found.
@pytest.mark.parametrize(
    "errors_source, detail",
    [
        ("", "module 'velmora.errors' has no attribute 'CryptoError'"),
        ("raise RuntimeError('host package is broken')", "host package is broken"),
        (None, "import of velmora.errors halted; None in sys.modules"),
    ],
    ids=["no_crypto_error", "errors_raises", "errors_unimportable"],
)
def test_import_fails_when_base_class_cannot_be_imported(
    run_child, tmp_path, errors_source, detail
):
    expected = "failed to import exception velmora.errors.CryptoError: " + detail
    out = _import_with_fake_errors(run_child, tmp_path, errors_source)
    assert out["caught_by_exception"] is False
    assert out["message"] == expected
    assert out["is_base_exception"] is True
    assert out["in_sys_modules"] is False


def test_import_fails_when_base_is_not_an_exception_class(run_child, tmp_path):
    out = _import_with_fake_errors(run_child, tmp_path, "CryptoError = 5")
    assert out["caught_by_exception"] is False
    assert out["message"] == "Failed to initialize new exception type."
    assert out["in_sys_modules"] is False


def _import_with_fake_errors(run_child, tmp_path, errors_source):
    real_dir = str(_real_package_dir())
    pkg = tmp_path / "fake" / "velmora"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text(f"__path__.append({real_dir!r})\n")
    if errors_source is not None:
        (pkg / "errors.py").write_text(errors_source + "\n")
    code = f"""
        import json, sys
        sys.path.insert(0, {str(pkg.parent)!r})
        import velmora
        assert velmora.__path__[0] == {str(pkg)!r}
        {'sys.modules["velmora.errors"] = None' if errors_source is None else ''}
        out = {{"caught_by_exception": None}}
        try:
            import velmora._secure
        except Exception as e:
            out["caught_by_exception"] = True
            out["message"] = str(e)
        except BaseException as e:
            out["caught_by_exception"] = False
            out["message"] = str(e)
            out["is_base_exception"] = not isinstance(e, Exception)
        out["in_sys_modules"] = "velmora._secure" in sys.modules
        print(json.dumps(out))
        """
    return run_child(code).json()


def _real_package_dir():
    from pathlib import Path

    return Path(_secure.__file__).resolve().parent


def test_import_has_no_side_effects(run_child):
    # No memory locked, no policy decided: the variable set before import and
    # changed after it is read only at first need.
    out = run_child(
        """
        import json, os
        import velmora._secure as s
        os.environ["VELMORA_MEMORY_LOCK"] = "require"
        print(json.dumps(s.memory_status()))
        """,
        env={"VELMORA_MEMORY_LOCK": "best-effort"},
    ).json()
    assert out["live_secrets"] == 0
    assert out["lock_policy"] == "require"
