"""SecretStreamPush / SecretStreamPull: interoperability with libsodium's
published construction (through PyNaCl) in both directions, chunks bound to
their position, the open/finished life cycle, failed calls that change nothing,
argument rules and messages, many threads on one stream, and fork children."""

import array
import copy
import pickle
import threading

import numpy as np
import pytest

import kernel_probe
from nacl import bindings as sodium

from velmora._secure import (
    SECRETSTREAM_ABYTES,
    SECRETSTREAM_HEADER_BYTES,
    SecretBox,
    SecretStreamPull,
    SecretStreamPush,
    SecureError,
    memory_status,
)
from messages import FINISHED, FORK, OPEN_FAILED, RNG, STR_REFUSED, WIPED, secure_error

MESSAGE_MAX = 64 * (2**32 - 3)

TAG_MESSAGE = sodium.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE
TAG_PUSH = sodium.crypto_secretstream_xchacha20poly1305_TAG_PUSH
TAG_REKEY = sodium.crypto_secretstream_xchacha20poly1305_TAG_REKEY
TAG_FINAL = sodium.crypto_secretstream_xchacha20poly1305_TAG_FINAL

# Message sizes around ChaCha20 block edges and on both sides of the length at
# which the bulk code takes over (3 KiB).
SIZES = [0, 1, 15, 16, 17, 63, 64, 65, 3071, 3072, 3073, 70000]


def data(n, seed=0):
    return bytes((i * 131 + seed * 17 + 7) % 251 for i in range(n))


@pytest.fixture
def key_bytes():
    return data(32, seed=99)


@pytest.fixture
def key(key_bytes):
    return SecretBox.from_bytes(key_bytes)


def their_writer(key_bytes):
    state = sodium.crypto_secretstream_xchacha20poly1305_state()
    header = sodium.crypto_secretstream_xchacha20poly1305_init_push(state, key_bytes)

    def push(message, tag=TAG_MESSAGE, ad=None):
        return sodium.crypto_secretstream_xchacha20poly1305_push(state, message, ad, tag)

    return header, push


def their_reader(key_bytes, header):
    state = sodium.crypto_secretstream_xchacha20poly1305_state()
    sodium.crypto_secretstream_xchacha20poly1305_init_pull(state, header, key_bytes)
    return lambda chunk, ad=None: sodium.crypto_secretstream_xchacha20poly1305_pull(state, chunk, ad)


def sealed_stream(key, messages, ad=None):
    """(header, chunks) from our writer; the last message is final."""
    writer = SecretStreamPush(key)
    chunks = [writer.push(m, ad=ad) for m in messages[:-1]]
    chunks.append(writer.push(messages[-1], final=True, ad=ad))
    return writer.header, chunks


# --- interoperability -------------------------------------------------------------


@pytest.mark.parametrize("ad_len", [0, 16, 17, 100])
@pytest.mark.parametrize("tag", [TAG_MESSAGE, TAG_PUSH, TAG_REKEY, TAG_FINAL])
def test_their_stream_opens_here_with_its_tags(key, key_bytes, tag, ad_len):
    ad = data(ad_len, seed=3) if ad_len else None
    header, push = their_writer(key_bytes)
    messages = [(data(40, 1), TAG_MESSAGE), (data(3100, 2), tag)]
    if tag != TAG_FINAL:
        # After a rekey tag both sides move to a new key: the next chunk tells.
        messages += [(data(5, 3), TAG_MESSAGE), (b"", TAG_FINAL)]
    chunks = [push(m, t, ad) for m, t in messages]

    reader = SecretStreamPull(key, header)
    for (message, t), chunk in zip(messages, chunks):
        assert not reader.is_finished
        assert reader.pull(chunk, ad=ad) == (message, t == TAG_FINAL)
    assert reader.is_finished


@pytest.mark.parametrize("ad_len", [0, 16, 17, 100])
def test_our_stream_opens_there(key, key_bytes, ad_len):
    ad = data(ad_len, seed=4) if ad_len else None
    messages = [data(n, seed=n) for n in SIZES]
    header, chunks = sealed_stream(key, messages, ad=ad)
    pull = their_reader(key_bytes, header)
    for i, (message, chunk) in enumerate(zip(messages, chunks)):
        assert len(chunk) == len(message) + SECRETSTREAM_ABYTES
        final = i == len(messages) - 1
        assert pull(chunk, ad) == (message, TAG_FINAL if final else TAG_MESSAGE)


def test_their_sizes_open_here(key, key_bytes):
    header, push = their_writer(key_bytes)
    reader = SecretStreamPull(key, header)
    for n in SIZES:
        message = data(n, seed=n + 1)
        assert reader.pull(push(message)) == (message, False)


def test_absent_and_empty_ad_are_the_same(key, key_bytes):
    header, push = their_writer(key_bytes)
    reader = SecretStreamPull(key, header)
    assert reader.pull(push(b"a", ad=b""), ad=None) == (b"a", False)
    assert reader.pull(push(b"b", ad=None), ad=b"") == (b"b", False)
    assert reader.pull(push(b"c", ad=None), ad=bytearray()) == (b"c", False)


# --- chunks are bound to their place ----------------------------------------------------


def _flip(i):
    def f(chunk):
        b = bytearray(chunk)
        b[i] ^= 0x01
        return bytes(b)

    return f


@pytest.mark.parametrize(
    "arrive",
    [
        # Each case: the order in which chunk indices arrive; the first index out
        # of place must fail and the expected one must still open after it.
        pytest.param([0, 2, 1, 2, 3], id="swapped"),
        pytest.param([0, 0, 1, 2, 3], id="repeated"),
        pytest.param([0, 1, 3, 2, 3], id="dropped"),
        pytest.param([1, 0, 1, 2, 3], id="first_missing"),
        pytest.param([0, 1, 2, 2, 3], id="repeated_before_final"),
    ],
)
def test_out_of_place_chunk_fails_then_the_right_one_opens(key, arrive):
    messages = [data(20 + i, seed=i) for i in range(4)]
    header, chunks = sealed_stream(key, messages)
    reader = SecretStreamPull(key, header)
    expected = 0
    for index in arrive:
        if index == expected:
            assert reader.pull(chunks[index]) == (messages[index], index == 3)
            expected += 1
        else:
            with secure_error(OPEN_FAILED):
                reader.pull(chunks[index])
            assert not reader.is_finished
    assert reader.is_finished


@pytest.mark.parametrize(
    "tamper",
    [
        pytest.param(_flip(0), id="tag_byte"),
        pytest.param(_flip(5), id="ciphertext"),
        pytest.param(_flip(-1), id="mac"),
        pytest.param(lambda c: c[:-1], id="truncated"),
        pytest.param(lambda c: c + b"\0", id="extended"),
        pytest.param(lambda c: c[:16], id="shorter_than_17"),
        pytest.param(lambda c: b"", id="empty"),
    ],
)
@pytest.mark.parametrize("final", [False, True])
def test_modified_chunk_fails_and_changes_nothing(key, tamper, final):
    writer = SecretStreamPush(key)
    chunk = writer.push(data(30), final=final, ad=b"ad")
    reader = SecretStreamPull(key, writer.header)
    with secure_error(OPEN_FAILED):
        reader.pull(tamper(chunk), ad=b"ad")
    assert not reader.is_finished
    assert reader.pull(chunk, ad=b"ad") == (data(30), final)
    assert reader.is_finished is final


@pytest.mark.parametrize("ad", [None, b"other", b"ad\0"], ids=["missing", "other", "longer"])
def test_chunk_opens_only_with_its_ad(key, ad):
    writer = SecretStreamPush(key)
    chunk = writer.push(b"m", ad=b"ad")
    reader = SecretStreamPull(key, writer.header)
    with secure_error(OPEN_FAILED):
        reader.pull(chunk, ad=ad)
    assert reader.pull(chunk, ad=memoryview(b"ad")) == (b"m", False)


def test_chunk_of_another_stream_or_key_fails(key):
    a, b = SecretStreamPush(key), SecretStreamPush(key)
    assert a.header != b.header
    chunk_a, chunk_b = a.push(b"x"), b.push(b"x")
    reader = SecretStreamPull(key, a.header)
    with secure_error(OPEN_FAILED):
        reader.pull(chunk_b)
    assert reader.pull(chunk_a) == (b"x", False)
    # A wrong key is only noticed at the first pull.
    stranger = SecretStreamPull(SecretBox.random(32), a.header)
    with secure_error(OPEN_FAILED):
        stranger.pull(chunk_a)


# --- life cycle ----------------------------------------------------------------------


def test_header_is_fixed_per_writer_and_differs_between_writers(key):
    writer = SecretStreamPush(key)
    header = writer.header
    assert type(header) is bytes and len(header) == SECRETSTREAM_HEADER_BYTES == 24
    writer.push(b"x", final=True)
    assert writer.header == header
    assert SecretStreamPush(key).header != header


def test_single_empty_final_chunk(key):
    writer = SecretStreamPush(key)
    chunk = writer.push(b"", final=True)
    assert len(chunk) == SECRETSTREAM_ABYTES == 17
    assert writer.is_finished
    reader = SecretStreamPull(key, writer.header)
    assert reader.pull(chunk) == (b"", True)
    assert reader.is_finished


def test_finished_streams_refuse_before_looking_at_the_input(key):
    writer = SecretStreamPush(key)
    chunk = writer.push(b"last", final=True)
    with secure_error(FINISHED):
        writer.push(b"more")
    with secure_error(FINISHED):
        writer.push(b"", final=True)
    assert writer.is_finished

    reader = SecretStreamPull(key, writer.header)
    assert reader.pull(chunk) == (b"last", True)
    for after in (chunk, b"", b"x" * 16, b"x" * 100):
        with secure_error(FINISHED):
            reader.pull(after)
    assert reader.is_finished


@pytest.mark.parametrize(
    "bad_call",
    [
        pytest.param(lambda w: w.push("text"), id="str_message"),
        pytest.param(lambda w: w.push(b"x", final=1), id="int_final"),
        pytest.param(lambda w: w.push(b"x", ad="text"), id="str_ad"),
        pytest.param(lambda w: w.push(array.array("b", b"xy")), id="signed_bytes"),
        pytest.param(lambda w: w.push(b"x", True), id="positional_final"),
        pytest.param(lambda w: w.push(b"x", flag=True), id="unknown_keyword"),
        pytest.param(lambda w: w.push(), id="missing_message"),
    ],
)
def test_refused_push_changes_nothing(key, bad_call):
    writer = SecretStreamPush(key)
    with pytest.raises((TypeError, BufferError)):
        bad_call(writer)
    assert not writer.is_finished
    reader = SecretStreamPull(key, writer.header)
    assert reader.pull(writer.push(b"first")) == (b"first", False)


def test_wiping_the_key_box_does_not_stop_the_streams(key_bytes):
    box = SecretBox.from_bytes(key_bytes)
    writer = SecretStreamPush(box)
    reader = SecretStreamPull(box, writer.header)
    box.wipe()
    del box
    assert reader.pull(writer.push(b"still here", final=True)) == (b"still here", True)


# --- constructors ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "build, message",
    [
        pytest.param(
            lambda: SecretStreamPush(SecretBox.random(16)),
            "secretstream key: expected 32 bytes, got 16 · esperava 32 bytes, recebeu 16",
            id="push_short_key",
        ),
        pytest.param(
            lambda: SecretStreamPull(SecretBox.random(16), bytes(23)),
            "secretstream key: expected 32 bytes, got 16 · esperava 32 bytes, recebeu 16",
            id="pull_key_before_header",
        ),
        pytest.param(
            lambda: SecretStreamPull(SecretBox.random(32), bytes(23)),
            "secretstream header: expected 24 bytes, got 23 · esperava 24 bytes, recebeu 23",
            id="pull_short_header",
        ),
        pytest.param(
            lambda: SecretStreamPull(SecretBox.random(32), bytes(25)),
            "secretstream header: expected 24 bytes, got 25 · esperava 24 bytes, recebeu 25",
            id="pull_long_header",
        ),
    ],
)
def test_length_errors_leave_no_region(build, message):
    before = memory_status()["live_secrets"]
    with secure_error(message):
        build()
    assert memory_status()["live_secrets"] == before


def test_header_needs_the_random_source(run_child, seccomp_prelude):
    out = run_child(
        """
        import errno, json
        import velmora._secure as s
        key = s.SecretBox.random(32)
        live = s.memory_status()["live_secrets"]
        deny_syscalls({"getrandom": errno.EIO})
        try:
            s.SecretStreamPush(key)
            message = None
        except s.SecureError as e:
            message = e.args
        # The reader draws nothing.
        reader = s.SecretStreamPull(key, bytes(24))
        print(json.dumps({"message": message, "leftover": s.memory_status()["live_secrets"] - live}))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out == {"message": [RNG], "leftover": 1}


@pytest.mark.parametrize("cls", [SecretStreamPush, SecretStreamPull])
def test_wiped_key_box(cls):
    box = SecretBox.random(32)
    box.wipe()
    args = (box,) if cls is SecretStreamPush else (box, bytes(24))
    with secure_error(WIPED):
        cls(*args)


@pytest.mark.parametrize(
    "build, exc",
    [
        pytest.param(lambda k: SecretStreamPush(bytes(32)), TypeError, id="push_bytes_key"),
        pytest.param(lambda k: SecretStreamPull(bytes(32), bytes(24)), TypeError, id="pull_bytes_key"),
        pytest.param(lambda k: SecretStreamPull(k, "x" * 24), TypeError, id="str_header"),
        pytest.param(lambda k: SecretStreamPull(k, array.array("i", [0] * 6)), BufferError, id="int_header"),
        pytest.param(lambda k: SecretStreamPush(), TypeError, id="push_no_key"),
        pytest.param(lambda k: SecretStreamPull(k), TypeError, id="pull_no_header"),
        pytest.param(lambda k: SecretStreamPush(k, k), TypeError, id="push_extra"),
    ],
)
def test_constructor_argument_errors(key, build, exc):
    with pytest.raises(exc) as info:
        build(key)
    assert type(info.value) is exc


def test_key_type_error_names_the_argument():
    for build in (lambda: SecretStreamPush(b"k" * 32), lambda: SecretStreamPull(key=1, header=bytes(24))):
        with pytest.raises(TypeError, match="'key'"):
            build()


def test_keyword_construction_and_header_layouts(key):
    writer = SecretStreamPush(key=key)
    chunk = writer.push(message=b"kw")
    wide = bytearray(48)
    wide[::2] = writer.header  # a strided view selects exactly the header
    reader = SecretStreamPull(key=key, header=memoryview(wide)[::2])
    assert reader.pull(chunk=chunk) == (b"kw", False)


@pytest.mark.parametrize("dup", [pickle.dumps, copy.copy, copy.deepcopy])
def test_streams_cannot_be_duplicated(key, dup):
    # A copy of a writer would seal two chunks with one key stream.
    writer = SecretStreamPush(key)
    for stream in (writer, SecretStreamPull(key, writer.header)):
        with pytest.raises(TypeError):
            dup(stream)


def test_classes_cannot_be_subclassed():
    for cls in (SecretStreamPush, SecretStreamPull):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


# --- argument rules ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "final, is_final",
    [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)],
)
def test_final_accepts_bool_and_numpy_bool(key, final, is_final):
    writer = SecretStreamPush(key)
    chunk = writer.push(b"m", final=final)
    assert writer.is_finished is is_final
    assert SecretStreamPull(key, writer.header).pull(chunk) == (b"m", is_final)


@pytest.mark.parametrize("final", [1, 0, None, "yes", 1.0, np.int8(1), np.array(True)])
def test_final_refuses_everything_else(key, final):
    writer = SecretStreamPush(key)
    with pytest.raises(TypeError, match="'final'"):
        writer.push(b"m", final=final)
    # `final` is converted before the message is looked at.
    with pytest.raises(TypeError, match="'final'"):
        writer.push("text", final=final)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(bytes, id="bytes"),
        pytest.param(bytearray, id="bytearray"),
        pytest.param(lambda b: memoryview(b), id="memoryview"),
        pytest.param(lambda b: array.array("B", b), id="array_B"),
        pytest.param(lambda b: np.frombuffer(b, dtype=np.uint8), id="numpy_u8"),
        pytest.param(lambda b: memoryview(bytes(x for c in b for x in (c, 0)))[::2], id="strided"),
    ],
)
def test_message_and_chunk_layouts(key, key_bytes, make):
    message = data(5000, seed=5)
    writer = SecretStreamPush(key)
    chunk = writer.push(make(message), ad=make(b"ad"))
    assert their_reader(key_bytes, writer.header)(chunk, b"ad") == (message, TAG_MESSAGE)
    reader = SecretStreamPull(key, writer.header)
    assert reader.pull(make(chunk), ad=make(b"ad")) == (message, False)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        pytest.param(lambda w, r: w.push("text"), TypeError, STR_REFUSED, id="push_str"),
        pytest.param(lambda w, r: r.pull("text"), TypeError, STR_REFUSED, id="pull_str"),
        pytest.param(lambda w, r: r.pull(b"x" * 20, ad="text"), TypeError, STR_REFUSED, id="pull_str_ad"),
        pytest.param(
            lambda w, r: r.pull(array.array("h", [0] * 20)),
            BufferError,
            "buffer contents are not compatible with u8",
            id="pull_wide_items",
        ),
        pytest.param(lambda w, r: r.pull(12345), TypeError, None, id="pull_int"),
        pytest.param(lambda w, r: r.pull(b"x" * 20, b"ad"), TypeError, None, id="pull_positional_ad"),
        pytest.param(lambda w, r: r.pull(), TypeError, None, id="pull_missing"),
    ],
)
def test_byte_argument_errors(key, call, exc, message):
    writer = SecretStreamPush(key)
    reader = SecretStreamPull(key, writer.header)
    with pytest.raises(exc) as info:
        call(writer, reader)
    assert type(info.value) is exc
    if message is not None:
        assert info.value.args == (message,)
    assert reader.pull(writer.push(b"next")) == (b"next", False)


def test_chunk_shorter_than_the_overhead(key):
    reader = SecretStreamPull(key, SecretStreamPush(key).header)
    for n in (0, 1, 16):
        with secure_error(OPEN_FAILED):
            reader.pull(bytes(n))


def huge_view(n):
    """A read-only buffer of n bytes backed by a single byte (stride 0)."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype=np.uint8), shape=(n,), strides=(0,))


def test_message_over_the_chunk_limit_is_refused_and_changes_nothing(key):
    writer = SecretStreamPush(key)
    reader = SecretStreamPull(key, writer.header)
    before = memory_status()["live_secrets"]
    with pytest.raises(ValueError, match=f"at most {MESSAGE_MAX} bytes, got {MESSAGE_MAX + 1}"):
        writer.push(huge_view(MESSAGE_MAX + 1), final=True)
    assert not writer.is_finished
    assert memory_status()["live_secrets"] == before
    # A chunk that long cannot be authentic: refused like any other.
    with secure_error(OPEN_FAILED):
        reader.pull(huge_view(MESSAGE_MAX + SECRETSTREAM_ABYTES + 1))
    assert reader.pull(writer.push(b"ok", final=True)) == (b"ok", True)


# --- threads and processes ---------------------------------------------------------------


def test_threads_pushing_on_one_stream_each_take_a_distinct_position(key):
    """Concurrent pushes are serialised: every chunk opens at exactly one position.
    The order is unknown to us, so the reader finds it by trying the remaining
    chunks (a failed pull changes nothing)."""
    writer = SecretStreamPush(key)
    chunks, lock = [], threading.Lock()
    barrier = threading.Barrier(4)

    def work(t):
        barrier.wait()
        for i in range(10):
            c = writer.push(data(1000 + 500 * t + i, seed=t * 10 + i))
            with lock:
                chunks.append(c)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    reader = SecretStreamPull(key, writer.header)
    remaining = list(chunks)
    while remaining:
        for c in remaining:
            try:
                reader.pull(c)
            except SecureError:
                continue
            remaining.remove(c)
            break
        else:
            pytest.fail(f"{len(remaining)} chunks open at no position")


def test_fork_child_refuses_push_and_pull_but_answers_the_rest(run_child):
    kernel_probe.require("wipe_on_fork")
    child = run_child(
        """
        import json, os
        from velmora._secure import SecretBox, SecretStreamPush, SecretStreamPull, SecureError

        key = SecretBox.random(32)
        writer = SecretStreamPush(key)
        reader = SecretStreamPull(key, writer.header)
        first = writer.push(b"before fork")
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            out = {"header": writer.header.hex(), "finished": [writer.is_finished, reader.is_finished]}
            for name, call in (("push", lambda: writer.push(b"x")), ("pull", lambda: reader.pull(first))):
                try:
                    call()
                    out[name] = "succeeded"
                except SecureError as e:
                    out[name] = e.args[0]
            os.write(w, json.dumps(out).encode())
            os._exit(0)
        os.close(w)
        os.waitpid(pid, 0)
        child = json.loads(os.read(r, 65536))
        child["parent_pull"] = reader.pull(first)[0].decode()
        child["parent_header"] = writer.header.hex()
        print(json.dumps(child))
        """
    ).json()
    assert child["push"] == FORK and child["pull"] == FORK
    assert child["finished"] == [False, False]
    assert child["header"] == child["parent_header"]
    assert child["parent_pull"] == "before fork"
