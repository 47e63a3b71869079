"""The byte-input rule, seen through SecretBox.from_bytes: which objects are
accepted and in what byte order they are read, what is refused and how, and
which sources are zeroed after the copy."""

import ctypes
import mmap
from array import array

import pytest

from velmora._secure import SecretBox, SecureError
from messages import EMPTY, STR_REFUSED

NOT_U8 = "buffer contents are not compatible with u8"


class _TestBuffer:
    """CPython's _testbuffer, which builds buffers of any format and layout;
    only the cases that use it are skipped where it is missing."""

    def __getattr__(self, name):
        module = pytest.importorskip("_testbuffer")
        return getattr(module, name)


tb = _TestBuffer()


def read(obj):
    return bytes(SecretBox.from_bytes(obj).reveal())


class Text(str):
    pass


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: b"secret", b"secret"),
        (lambda: bytearray(b"secret"), b"secret"),
        (lambda: memoryview(b"secret"), b"secret"),
        (lambda: memoryview(bytearray(b"secret")).toreadonly(), b"secret"),
        (lambda: memoryview(bytearray(b"0123456789"))[::2], b"02468"),
        (lambda: memoryview(b"0123456789")[::-3], b"9630"),
        (lambda: memoryview(b"0123456789")[2:5], b"234"),
        (lambda: memoryview(b"abcdef").cast("c"), b"abcdef"),
        (lambda: memoryview(b"abcdef").cast("B", shape=[2, 3]), b"abcdef"),
        (lambda: array("B", [0, 1, 255]), b"\x00\x01\xff"),
        (lambda: bytes(range(256)) * 17, bytes(range(256)) * 17),  # spans pages
        (lambda: tb.ndarray([1, 2, 3], shape=[3], format="@B"), b"\x01\x02\x03"),
        (lambda: tb.ndarray([1, 2, 3], shape=[3], format="=B"), b"\x01\x02\x03"),
        (lambda: tb.ndarray([1, 2, 3], shape=[3], format=">B"), b"\x01\x02\x03"),
        (lambda: tb.ndarray([b"x", b"y"], shape=[2], format=">c"), b"xy"),
        # Fortran order is read back in C (row-major) order.
        (
            lambda: tb.ndarray(list(range(6)), shape=[2, 3], format="B", flags=tb.ND_FORTRAN),
            bytes([0, 2, 4, 1, 3, 5]),
        ),
        # Indirect (suboffset) buffers are gathered.
        (
            lambda: tb.ndarray(list(range(12)), shape=[3, 4], format="B", flags=tb.ND_PIL),
            bytes(range(12)),
        ),
    ],
    ids=[
        "bytes", "bytearray", "memoryview", "readonly_view", "every_second", "negative_stride",
        "slice", "format_c", "two_dim", "array_B", "multi_page", "at_B", "eq_B", "gt_B", "gt_c",
        "fortran", "indirect",
    ],
)
def test_accepted_inputs(make, expected):
    assert read(make()) == expected


@pytest.mark.parametrize(
    "obj, exc, message",
    [
        ("secret", TypeError, STR_REFUSED),
        ("", TypeError, STR_REFUSED),
        (Text("secret"), TypeError, STR_REFUSED),
        (array("b", [1, 2]), BufferError, NOT_U8),
        (array("H", [1, 2]), BufferError, NOT_U8),
        (array("i", [1]), BufferError, NOT_U8),
        (memoryview(b"ab").cast("b"), BufferError, NOT_U8),
        (memoryview(b"ab").cast("?"), BufferError, NOT_U8),
        # ctypes exports no strides (and "<B" would be refused after that).
        ((ctypes.c_ubyte * 2)(1, 2), BufferError, "strides is null"),
        # 0-d buffers describe no shape.
        (memoryview(bytearray(1)).cast("B", []), BufferError, "shape is null"),
        (ctypes.c_ubyte(7), BufferError, "shape is null"),
        (tb.ndarray([1, 2], shape=[2], format="!B"), BufferError, NOT_U8),
        (tb.ndarray([(1, 2)], shape=[1], format="BB"), BufferError, NOT_U8),
        (12, TypeError, None),
        ([1, 2], TypeError, None),
        (None, TypeError, None),
    ],
    ids=[
        "str", "empty_str", "str_subclass", "array_b", "array_H", "array_i", "view_b",
        "view_bool", "ctypes_no_strides", "zero_d_view", "ctypes_scalar", "bang_B", "two_item_format", "int", "list", "none",
    ],
)
def test_refused_inputs(obj, exc, message):
    with pytest.raises(exc) as info:
        SecretBox.from_bytes(obj)
    assert type(info.value) is exc  # not SecureError, not a subclass
    if message is not None:
        assert str(info.value) == message


def test_empty_inputs_are_empty_secrets():
    for obj in (b"", bytearray(), memoryview(b"abc")[3:], array("B")):
        with pytest.raises(SecureError) as info:
            SecretBox.from_bytes(obj)
        assert info.value.args == (EMPTY,)


# --- zeroing of the source ------------------------------------------------------

SECRET = bytes(range(1, 33))


def test_bytearray_is_zeroed_and_box_keeps_the_bytes():
    src = bytearray(SECRET)
    box = SecretBox.from_bytes(src)
    assert src == bytearray(32)
    assert bytes(box.reveal()) == SECRET


def test_zeroing_covers_only_the_viewed_bytes():
    src = bytearray(SECRET)
    box = SecretBox.from_bytes(memoryview(src)[4:12])
    assert bytes(box.reveal()) == SECRET[4:12]
    assert src == SECRET[:4] + bytes(8) + SECRET[12:]


@pytest.mark.parametrize(
    "make_view",
    [
        lambda src: memoryview(src)[::2],             # writable, strided
        lambda src: memoryview(src).toreadonly(),     # read-only
        lambda src: memoryview(src)[::-1],            # writable, negative stride
    ],
    ids=["strided", "readonly", "reversed"],
)
def test_sources_that_are_not_zeroed(make_view):
    src = bytearray(SECRET)
    SecretBox.from_bytes(make_view(src))
    assert src == SECRET


def test_bytes_source_is_never_written():
    src = bytes(SECRET)
    SecretBox.from_bytes(src)
    assert src == SECRET


@pytest.mark.parametrize(
    "make, zeroed",
    [
        (lambda: array("B", SECRET), True),
        (lambda: tb.ndarray(list(SECRET), shape=[32], format="B", flags=tb.ND_WRITABLE), True),
        (
            lambda: tb.ndarray(
                list(SECRET), shape=[4, 8], format="B", flags=tb.ND_WRITABLE | tb.ND_FORTRAN
            ),
            False,
        ),
    ],
    ids=["array_B", "writable_c_ndarray", "writable_fortran_ndarray"],
)
def test_other_writable_exporters(make, zeroed):
    src = make()
    before = memoryview(src).tobytes()
    assert bytes(SecretBox.from_bytes(src).reveal()) == before
    after = memoryview(src).tobytes()
    assert after == (bytes(len(before)) if zeroed else before)


def test_refused_source_is_left_alone():
    src = array("b", SECRET)
    with pytest.raises(BufferError):
        SecretBox.from_bytes(src)
    assert bytes(src) == SECRET


@pytest.mark.parametrize("access, zeroed", [("write", True), ("read", False)])
def test_a_writable_mmap_of_a_key_file_is_zeroed_on_disk(tmp_path, access, zeroed):
    path = tmp_path / "key.bin"
    path.write_bytes(SECRET)
    with open(path, "r+b") as f:
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_WRITE if access == "write" else mmap.ACCESS_READ)
        assert bytes(SecretBox.from_bytes(m).reveal()) == SECRET
        m.close()
    assert path.read_bytes() == (bytes(len(SECRET)) if zeroed else SECRET)
