"""SecretBox: creation, the live and wiped states, comparison, cloning,
revealing, representation, refusal of pickling/copying/hashing, the random
source behind SecretBox.random, and many threads sharing boxes."""

import copy
import errno
import pickle
import sys
import threading

import pytest

from velmora._secure import SecretBox, SecureError, memory_status
from messages import ALLOCATION, EMPTY, RNG, WIPED, secure_error

NO_COPY = (
    "SecretBox cannot be pickled, copied or deep-copied; use clone() deliberately · SecretBox "
    "não pode ser serializado, copiado ou deep-copiado; use clone() de propósito"
)


def flag(v):
    return "true" if v else "false"


# --- creation -----------------------------------------------------------------


@pytest.mark.parametrize("length", [1, 32, 4088, 4089, 1 << 16])
def test_random_lengths(length):
    box = SecretBox.random(length)
    assert len(box) == length
    assert not box.is_wiped
    revealed = box.reveal()
    assert type(revealed) is bytearray and len(revealed) == length


def test_random_boxes_differ_and_are_not_all_zero():
    a, b = SecretBox.random(32), SecretBox.random(32)
    assert a != b
    assert not a == b
    assert a.reveal() != bytearray(32)


def test_is_locked_agrees_with_the_unlocked_counter():
    before = memory_status()["unlocked_allocations"]
    box = SecretBox.random(32)
    mlock_failed = memory_status()["unlocked_allocations"] != before
    assert box.is_locked is (not mlock_failed)
    assert repr(box) == f"SecretBox(<32 bytes, redacted, locked={flag(box.is_locked)}, wiped=false>)"


def test_keyword_arguments():
    assert len(SecretBox.random(length=3)) == 3
    assert SecretBox.from_bytes(data=b"abc").reveal() == b"abc"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: SecretBox.random(0), SecureError, EMPTY),
        (lambda: SecretBox.random(2**64 - 1), SecureError, ALLOCATION),  # size overflows
        (lambda: SecretBox.random(2**62), SecureError, ALLOCATION),  # no such mapping
        (lambda: SecretBox.from_bytes(b""), SecureError, EMPTY),
        (lambda: SecretBox.random(-1), OverflowError, None),
        (lambda: SecretBox.random(2**64), OverflowError, None),
        (lambda: SecretBox.random(1.0), TypeError, None),
        (lambda: SecretBox.random("32"), TypeError, None),
        (lambda: SecretBox.random(), TypeError, None),
        (lambda: SecretBox.random(1, 2), TypeError, None),
        (lambda: SecretBox.random(size=1), TypeError, None),
        (lambda: SecretBox.random(1, length=1), TypeError, None),
        (lambda: SecretBox.from_bytes(), TypeError, None),
        (lambda: SecretBox.from_bytes(b"a", data=b"a"), TypeError, None),
    ],
    ids=[
        "zero", "max_u64", "huge", "empty_bytes", "negative", "too_big", "float", "str",
        "missing", "extra", "unknown_keyword", "duplicate", "from_bytes_missing",
        "from_bytes_duplicate",
    ],
)
def test_creation_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert info.value.args == (message,)


@pytest.mark.parametrize(
    "value, exc",
    [(-1, OverflowError), (2**64, OverflowError), ("32", TypeError), (None, TypeError)],
)
def test_length_conversion_errors_name_the_argument(value, exc):
    with pytest.raises(exc) as info:
        SecretBox.random(value)
    assert str(info.value).startswith("argument 'length': ")


def test_failed_creation_leaves_no_region():
    before = memory_status()["live_secrets"]
    for call in (
        lambda: SecretBox.random(0),
        lambda: SecretBox.random(2**62),
        lambda: SecretBox.random(-1),
        lambda: SecretBox.from_bytes(""),
        lambda: SecretBox.from_bytes(b""),
    ):
        with pytest.raises((SecureError, TypeError, OverflowError)):
            call()
    assert memory_status()["live_secrets"] == before


# --- reveal, clone, compare -------------------------------------------------------


def test_reveal_is_a_fresh_copy():
    box = SecretBox.from_bytes(b"hunter2")
    first = box.reveal()
    assert first == bytearray(b"hunter2")
    first[:] = b"XXXXXXX"
    assert box.reveal() == bytearray(b"hunter2")
    assert box.reveal() is not box.reveal()


def test_clone_is_equal_and_independent():
    box = SecretBox.from_bytes(b"k" * 40)
    twin = box.clone()
    assert twin is not box
    assert type(twin) is SecretBox
    assert twin == box and len(twin) == 40
    box.wipe()
    assert twin.reveal() == bytearray(b"k" * 40)
    assert not twin.is_wiped
    again = twin.clone()
    twin.wipe()
    assert again.reveal() == bytearray(b"k" * 40)


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (b"abc", bytearray(b"abc"), True),
        (b"abc", b"abd", False),
        (b"abc", b"xbc", False),
        (b"abc", b"abcd", False),
        (b"abc", b"ab", False),
        (b"\x00" * 64, b"\x00" * 63 + b"\x01", False),
        (b"\x00" * 64, b"\x00" * 64, True),
    ],
)
def test_compare_boxes(left, right, equal):
    a, b = SecretBox.from_bytes(left), SecretBox.from_bytes(right)
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is (not equal)
    assert (b != a) is (not equal)


@pytest.mark.parametrize("other", [b"abc", bytearray(b"abc"), "abc", 5, None, object()])
def test_compare_with_other_types(other):
    box = SecretBox.from_bytes(b"abc")
    assert (box == other) is False
    assert (other == box) is False
    assert (box != other) is True
    assert (other != box) is True


@pytest.mark.parametrize(
    "op", [lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b]
)
def test_ordering_is_refused(op):
    a, b = SecretBox.from_bytes(b"a"), SecretBox.from_bytes(b"b")
    with pytest.raises(TypeError):
        op(a, b)
    with pytest.raises(TypeError):
        op(a, a)


def test_box_equals_itself():
    box = SecretBox.random(8)
    assert box == box
    assert not (box != box)


# --- wipe ---------------------------------------------------------------------------


def test_wiped_box():
    box = SecretBox.from_bytes(b"secret")
    other = SecretBox.from_bytes(b"secret")
    assert box.wipe() is None
    assert box.is_wiped
    assert len(box) == 6
    assert repr(box).endswith(", wiped=true>)")
    for call in (
        box.reveal,
        box.clone,
        lambda: box == other,
        lambda: other == box,
        lambda: box != other,
        lambda: other != box,
    ):
        with secure_error(WIPED):
            call()
    # Identity and non-boxes need no bytes.
    assert box == box
    assert not (box != box)
    assert (box == b"secret") is False
    assert box.wipe() is None
    assert box.is_wiped
    # The other operand is untouched by a failed comparison.
    assert other.reveal() == bytearray(b"secret")


def test_wipe_keeps_the_region_counted_until_release():
    before = memory_status()["live_secrets"]
    box = SecretBox.random(16)
    assert memory_status()["live_secrets"] == before + 1
    box.wipe()
    assert memory_status()["live_secrets"] == before + 1
    del box
    assert memory_status()["live_secrets"] == before


# --- representation ------------------------------------------------------------------


@pytest.mark.parametrize("length", [1, 5, 32, 4096])
def test_repr_never_shows_the_bytes(length):
    data = b"A" * length
    box = SecretBox.from_bytes(data)
    locked = flag(box.is_locked)
    assert repr(box) == f"SecretBox(<{length} bytes, redacted, locked={locked}, wiped=false>)"
    assert str(box) == repr(box)
    box.wipe()
    assert repr(box) == f"SecretBox(<{length} bytes, redacted, locked={locked}, wiped=true>)"


# --- refusals ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        *[(lambda box, p=p: pickle.dumps(box, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
        lambda box: copy.copy(box),
        lambda box: copy.deepcopy(box),
        lambda box: copy.deepcopy([box]),
        lambda box: box.__reduce__(),
        lambda box: box.__reduce_ex__(2),
        lambda box: box.__copy__(),
        lambda box: box.__deepcopy__({}),
        lambda box: box.__deepcopy__(_memo=None),
    ],
)
def test_pickling_and_copying_are_refused(call):
    box = SecretBox.from_bytes(b"do not copy")
    with pytest.raises(TypeError) as info:
        call(box)
    assert type(info.value) is TypeError
    assert info.value.args == (NO_COPY,)


def test_deepcopy_binds_its_argument_first():
    box = SecretBox.random(4)
    with pytest.raises(TypeError) as info:
        box.__deepcopy__()
    assert str(info.value) != NO_COPY
    with pytest.raises(TypeError) as info:
        box.__copy__(None)
    assert str(info.value) != NO_COPY


def test_boxes_are_unhashable():
    box = SecretBox.random(4)
    with pytest.raises(TypeError):
        hash(box)
    with pytest.raises(TypeError):
        {box}
    with pytest.raises(TypeError):
        {box: 1}


# --- the random source -----------------------------------------------------------------


@pytest.mark.parametrize("err", [errno.ENOSYS, errno.EPERM], ids=["ENOSYS", "EPERM"])
def test_random_falls_back_to_urandom_without_getrandom(run_child, seccomp_prelude, err):
    out = run_child(
        f"""
        import json, os
        import velmora._secure as s
        deny_syscalls({{"getrandom": {err}}})
        a, b = s.SecretBox.random(64), s.SecretBox.random(64)
        fds = {{}}
        for fd in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink(f"/proc/self/fd/{{fd}}")
            except OSError:
                continue
            if target == "/dev/urandom":
                flags = open(f"/proc/self/fdinfo/{{fd}}").read().split("flags:")[1].split()[0]
                fds[fd] = bool(int(flags, 8) & os.O_CLOEXEC)
        print(json.dumps({{"differ": a != b, "nonzero": any(a.reveal()), "urandom": fds}}))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out["differ"] and out["nonzero"]
    # One descriptor, kept open for later calls, closed on exec.
    assert list(out["urandom"].values()) == [True]


def test_random_source_failure_releases_the_region(run_child, seccomp_prelude):
    out = run_child(
        f"""
        import errno, json
        import velmora._secure as s
        deny_syscalls({{"getrandom": errno.EIO}})
        try:
            s.SecretBox.random(32)
            message = None
        except s.SecureError as e:
            message = e.args
        print(json.dumps({{"message": message,
                          "live": s.memory_status()["live_secrets"],
                          "from_bytes_works": len(s.SecretBox.from_bytes(b"x")) == 1}}))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out == {"message": [RNG], "live": 0, "from_bytes_works": True}


# --- threads -----------------------------------------------------------------------------


def test_threads_sharing_boxes_neither_deadlock_nor_crash():
    """Compare both ways round, clone, reveal and wipe the same boxes from many
    threads. Wiped boxes may answer with SecureError; anything else is a fault."""
    shared = [SecretBox.from_bytes(bytes([i]) * 32) for i in range(4)]
    shared += [box.clone() for box in shared]
    start = threading.Barrier(8)
    errors = []

    def worker(seed):
        try:
            start.wait()
            for i in range(2000):
                a = shared[(seed + i) % len(shared)]
                b = shared[(seed * 3 + i * 5 + 1) % len(shared)]
                try:
                    a == b
                    b == a
                    a != b
                    a.clone() == a
                    len(a.reveal())
                    repr(b), len(b), b.is_wiped, b.is_locked
                except SecureError as e:
                    if e.args != (WIPED,):
                        raise
                if seed == 0 and i % 400 == 399:
                    shared[i % len(shared)].wipe()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not [t for t in threads if t.is_alive()], "threads still running: deadlock"
    assert errors == []


def test_equality_racing_both_ways():
    a = SecretBox.from_bytes(b"x" * 32)
    b = SecretBox.from_bytes(b"x" * 32)
    results = []
    go = threading.Barrier(2)

    def compare(left, right):
        go.wait()
        results.append(all(left == right for _ in range(5000)))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [
            threading.Thread(target=compare, args=(a, b), daemon=True),
            threading.Thread(target=compare, args=(b, a), daemon=True),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
    finally:
        sys.setswitchinterval(old)
    assert not [t for t in threads if t.is_alive()], "deadlock"
    assert results == [True, True]
