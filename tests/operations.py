"""Every operation of the module that touches a secret, as code a child
interpreter runs: one table shared by the stack-depth and the residue tests.

The child (``CHILD``) receives its secrets as raw bytes through a pipe, read
straight into bytearrays that ``SecretBox.from_bytes`` then zeroes, so no
secret ever is a Python ``bytes`` object there. It defines, before any
operation runs:

- boxes: KEY (32: AES-GCM, stream and box operations), OTHER (32), MAC (64:
  HMAC-SHA512), IKM (32: HKDF), SEED (32: pool seed), XS (32: X25519 secret),
  DK (2400: ML-KEM-768 decapsulation key); FRESH, a 32-byte bytearray kept for
  ``from_bytes``;
- PAIR = HybridKeyPair.from_secrets(XS, DK);
- public inputs made by the parent: NONCE, SEALED (PLAIN sealed under KEY),
  JSON_SEALED (a sealed {"seed": <b64url>} under KEY), HYB and SESSION
  (hybrid seals for PAIR, each with its aad), TAMPERED and HYB_TAMPERED
  (the same with the tag's last bit flipped).

Each entry is (prep, call[, after]): ``prep`` sets up (not measured), ``call``
is one call into the module, written as a call (those named "-refused" must
raise SecureError),
``after`` what the caller does with its ``result``. Operations that need a
public value back from the child (the stream header) put it in ``PUBLIC``.
"""

from __future__ import annotations

import base64
import json
import os
import subprocess
import sys
from dataclasses import dataclass, field

OPS = {
    # boxes
    "box-random": ("", "SecretBox.random(32)"),
    "box-from-bytes": ("", "SecretBox.from_bytes(FRESH)"),
    "box-clone": ("", "KEY.clone()"),
    "box-eq": ("twin = KEY.clone()", "operator.eq(KEY, twin)"),
    "box-ne": ("", "operator.ne(KEY, OTHER)"),
    "box-reveal": ("", "KEY.reveal()", "zero_out(result)"),
    "box-wipe": ("victim = OTHER.clone()", "victim.wipe()"),
    # derivation and MAC
    "hkdf": ("", "IKM.hkdf_sha256(info=b'velmora info', length=64)"),
    "hkdf-salted": ("", "IKM.hkdf_sha256(info=b'i', salt=b'salt', length=32)"),
    "hmac": ("", "MAC.hmac_sha512(b'message to authenticate')"),
    # AES-GCM
    "aes-seal": ("", "KEY.aes_gcm_seal(NONCE, PLAIN)"),
    "aes-seal-secret": ("", "KEY.aes_gcm_seal_secret(NONCE, OTHER)"),
    "aes-open": ("", "KEY.aes_gcm_open(NONCE, SEALED)"),
    "aes-open-secret": ("", "KEY.aes_gcm_open_secret(NONCE, SEALED)"),
    "aes-open-refused": ("", "KEY.aes_gcm_open(NONCE, TAMPERED)"),
    "aes-json-field": ("", "KEY.aes_gcm_open_json_field(NONCE, JSON_SEALED, None, 'seed')"),
    "aes-json-field-nested": ("", "KEY.aes_gcm_open_json_field(NONCE, NESTED_SEALED, None, 'seed')"),
    # entropy pool
    "pool-mix": ("pool = EntropyPool()", "pool.mix(SEED)"),
    "pool-random": ("pool = EntropyPool(); pool.mix(SEED)", "pool.random(64)"),
    "pool-random-secret": ("pool = EntropyPool(); pool.mix(SEED)", "pool.random_secret(32)"),
    # secret stream
    "stream-push-new": ("", "SecretStreamPush(KEY)"),
    "stream-push": (
        "push = SecretStreamPush(KEY); PUBLIC['header'] = push.header.hex()",
        "push.push(b'm' * 64, final=True)",
    ),
    "stream-pull-new": (
        "push = SecretStreamPush(KEY); PUBLIC['header'] = push.header.hex()",
        "SecretStreamPull(KEY, push.header)",
    ),
    "stream-pull": (
        "push = SecretStreamPush(KEY); PUBLIC['header'] = push.header.hex(); "
        "chunk = push.push(b'm' * 64, final=True); pull = SecretStreamPull(KEY, push.header)",
        "pull.pull(chunk)",
    ),
    "stream-pull-refused": (
        "push = SecretStreamPush(KEY); PUBLIC['header'] = push.header.hex(); "
        "pull = SecretStreamPull(KEY, push.header)",
        "pull.pull(bytes(40))",
    ),
    # hybrid identity
    "hybrid-generate": ("", "HybridKeyPair.generate()"),
    "hybrid-from-secrets": ("", "HybridKeyPair.from_secrets(XS, DK)"),
    "hybrid-x25519-secret": ("", "PAIR.x25519_secret()"),
    "hybrid-mlkem768-secret": ("", "PAIR.mlkem768_secret()"),
    "hybrid-seal": ("", "seal_hybrid(PAIR.x25519_public, PAIR.mlkem768_public, PLAIN, b'')"),
    "hybrid-open": ("", "PAIR.open(*HYB)"),
    "hybrid-open-secret": ("", "PAIR.open_secret(*HYB)"),
    "hybrid-open-session": ("", "PAIR.open_session(*SESSION)"),
    "hybrid-open-refused": ("", "PAIR.open(*HYB_TAMPERED)"),
    "hybrid-wipe": ("victim = HybridKeyPair.from_secrets(XS, DK)", "victim.wipe()"),
}


# First 8 bytes of each of the module's own stacks (src/locked/own_stack.h):
# how a scan of a process's memory tells them from the boxes' data areas.
STACK_MARKER = (0x57AC4ED0C0DE5EC5).to_bytes(8, "little")


def refuses(op):
    """Whether the operation's call must raise SecureError."""
    return op.endswith("-refused")

# Secret inputs, in the order they travel through the pipe.
SECRET_SIZES = {
    "KEY": 32, "OTHER": 32, "MAC": 64, "IKM": 32, "SEED": 32, "XS": 32, "DK": 2400, "FRESH": 32,
}

# The child program. argv[1]: read end of the secret pipe; argv[2]: JSON with
# the public inputs (hex). Then one command per stdin line:
#   "run <op>"   prep and call of OPS[op]; answers "ok <public json>"
#   "run-thread <op>"  the same, the call on a new thread
#   "scan"       collects garbage, answers "ready" and waits for the next line
#   "probe <op>" prep, then the call under _stack_probe (twice); answers
#                "probe [thread-stack bytes written, own-stack depth written,
#                declared depth, raised]" of the second
#   "run-small <bytes> <op>"  the call on a new thread with that stack size
#   "small <bytes> <op>"  the call straight from C on a new thread with that
#                stack size (0: the least the C library allows); answers
#                "small [raised, stack bytes]"
#   (run-small and small: from 3.14 on, with CPython's reserve added)
#   "carved <bytes> <op>"  the call on a coroutine stack carved out of an
#                outer C frame; answers "carved [frames below intact, raised]"
#   "bare <stack> <used> <op>"  the call on a caller-supplied stack without a
#                guard page (from 3.14 on, with CPython's reserve added below);
#                answers "bare [canary intact, raised]"
#   "abort-mid-seal <bytes>"  answers "sealing", then dumps core in the
#                middle of an AES-GCM seal (see below)
#   "exit"
CHILD = r'''
import gc, json, operator, os, signal, sys, threading
from velmora._secure import (EntropyPool, HybridKeyPair, SecretBox, SecretStreamPull,
                             SecretStreamPush, SecureError, seal_hybrid)

OPS = json.loads(sys.argv[3])
SIZES = json.loads(sys.argv[4])
public_in = {k: bytes.fromhex(v) for k, v in json.loads(sys.argv[2]).items()}

def read_secret(fd, n):
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        got += os.readv(fd, [view[got:]])
    view.release()
    return buf

fd = int(sys.argv[1])
raw = {name: read_secret(fd, n) for name, n in SIZES.items()}
os.close(fd)
FRESH = raw.pop("FRESH")
boxes = {name: SecretBox.from_bytes(buf) for name, buf in raw.items()}  # zeroes each buf
del raw
KEY, OTHER, MAC, IKM, SEED, XS, DK = (boxes[n] for n in ("KEY", "OTHER", "MAC", "IKM", "SEED", "XS", "DK"))
del boxes
PAIR = HybridKeyPair.from_secrets(XS, DK)

NONCE = public_in["NONCE"]
PLAIN = public_in["PLAIN"]
SEALED = public_in["SEALED"]
TAMPERED = SEALED[:-1] + bytes([SEALED[-1] ^ 1])
JSON_SEALED = public_in["JSON_SEALED"]
NESTED_SEALED = public_in["NESTED_SEALED"]
HYB = (public_in["HYB_E"], public_in["HYB_N"], public_in["HYB_C"], b"")
HYB_TAMPERED = (HYB[0], HYB[1], HYB[2][:-1] + bytes([HYB[2][-1] ^ 1]), b"")
SESSION = (public_in["SES_E"], public_in["SES_N"], public_in["SES_C"], b"")

# CPython 3.14 and later raise "Stack overflow" rather than run Python code
# within two stack margins (2 x 2048 pointers) of the bottom of the thread's
# stack (threading.stack_size refuses anything smaller than the C library's
# least plus those margins and a page), and their parser wants more room
# still; earlier versions run down to the bottom. The small-stack commands add
# that reserve, so that the interpreter above the call has the room it has
# elsewhere and only the call itself is tight.
INTERPRETER_RESERVE = 2 * 2048 * 8 if sys.version_info >= (3, 14) else 0
PAGE = os.sysconf("SC_PAGE_SIZE")

def zero_out(revealed):
    revealed[:] = bytes(len(revealed))

def below(levels, fn):
    # Runs fn some C frames further down than the command loop: what the
    # interpreter does afterwards (answering, reading, collecting garbage)
    # then does not overwrite what the operation left on the stack.
    if levels == 0:
        return fn()
    return next(map(lambda _: below(levels - 1, fn), [None]))

signal.signal(signal.SIGUSR1, lambda signum, frame: None)
scope = dict(globals())
results = []

def probe(op):
    # Straight from the probe into the module, with no Python frame between
    # them (an exception would have the interpreter write deeper on its way
    # out). The preparation runs before each call; one unmeasured call comes
    # first: a library's one-time set-up on first use (a CPU dispatch table, a
    # symbol lookup) runs before any key is loaded and is not what the depths
    # are sized for. Measured: how far below the caller the call wrote on the
    # thread's stack, and (from the copy of the module built to measure it)
    # how deep its work went on the module's own stack.
    import _stack_probe
    import velmora._secure as module
    prep, call = OPS[op][0], OPS[op][1]
    cut = call.index("(")
    runs = []
    for _ in range(2):
        ns = dict(scope, PUBLIC={})
        exec(prep, ns)
        fn = eval(call[:cut], ns)
        args, kwargs = eval("(lambda *a, **k: (a, k))" + call[cut:], ns)
        _stack_probe.own_stack_use(module.__file__)  # forget the preparation's
        changed, raised = _stack_probe.deepest_writes(fn, *args, **kwargs)
        own = _stack_probe.own_stack_use(module.__file__) or (None, None)
        runs.append([changed, own[0], own[1], raised])
    results.append(runs[1])

def answer(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()

for line in sys.stdin:
    cmd, _, arg = line.strip().partition(" ")
    if cmd in ("run", "run-thread"):
        ns = dict(scope, PUBLIC={})
        exec(OPS[arg][0], ns)
        def call():
            try:
                ns["result"] = eval(OPS[arg][1], ns)
            except SecureError:
                assert arg.endswith("-refused"), arg
            else:
                assert not arg.endswith("-refused"), arg
            if len(OPS[arg]) > 2:
                exec(OPS[arg][2], ns)
            # A signal now has the kernel save every register, the vector
            # registers included, into a frame on this thread's stack.
            signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)
        if cmd == "run":
            below(24, call)
        else:  # on a thread of its own, whose stack outlives it (glibc caches it)
            worker = threading.Thread(target=below, args=(24, call))
            worker.start()
            worker.join()
        # Keep what the operation made alive (boxes, streams) during the scan.
        scope.setdefault("kept", []).append(ns)
        answer("ok " + json.dumps(ns["PUBLIC"]))
    elif cmd == "scan":
        gc.collect()
        answer("ready")
    elif cmd in ("probe", "probe-thread"):
        results.clear()
        if cmd == "probe":
            probe(arg)
        else:
            t = threading.Thread(target=probe, args=(arg,))
            t.start()
            t.join()
        answer("probe " + json.dumps(results[0]))
    elif cmd == "run-small":
        # "run-small <stack bytes> <op>": the call alone on a new thread with
        # that stack size (threading.stack_size), nothing else on it.
        size, _, op = arg.partition(" ")
        ns = dict(scope, PUBLIC={})
        exec(OPS[op][0], ns)
        def small():
            try:
                ns["result"] = eval(OPS[op][1], ns)
            except SecureError:
                pass
        threading.stack_size(int(size) + (INTERPRETER_RESERVE and INTERPRETER_RESERVE + PAGE))
        try:
            worker = threading.Thread(target=small)
            worker.start()
        finally:
            threading.stack_size(0)
        worker.join()
        scope.setdefault("kept", []).append(ns)
        answer("ok {}")
    elif cmd in ("small", "carved"):
        import _stack_probe
        size, op = arg.split(" ")
        ns = dict(scope, PUBLIC={})
        exec(OPS[op][0], ns)
        call = OPS[op][1]
        cut = call.index("(")
        fn = eval(call[:cut], ns)
        args, kwargs = eval("(lambda *a, **k: (a, k))" + call[cut:], ns)
        runner = _stack_probe.on_small_thread if cmd == "small" else _stack_probe.on_carved_stack
        size = int(size)
        if cmd == "small" and INTERPRETER_RESERVE:
            size = (size or os.sysconf("SC_THREAD_STACK_MIN")) + INTERPRETER_RESERVE + PAGE
        reply = runner(size, fn, *args, **kwargs)
        scope.setdefault("kept", []).append(ns)
        answer(cmd + " " + json.dumps(list(reply)))
    elif cmd == "bare":
        # "bare <stack bytes> <used bytes> <op>": the call on a thread whose
        # stack the caller supplied, above a canary (_stack_probe.on_bare_stack).
        import _stack_probe
        stack, used, op = arg.split(" ")
        ns = dict(scope, PUBLIC={})
        exec(OPS[op][0], ns)
        # The call is compiled here (the parser wants more room than the
        # interpreter's reserve), and the stack gets the reserve more below.
        call = compile(OPS[op][1], op, "eval")
        intact, raised = _stack_probe.on_bare_stack(lambda: eval(call, ns),
                                                    int(stack) + INTERPRETER_RESERVE, int(used))
        scope.setdefault("kept", []).append(ns)
        answer("bare " + json.dumps([intact, raised]))
    elif cmd == "abort-mid-seal":
        # "abort-mid-seal <bytes>": seals messages of that size under KEY back
        # to back on this thread while another thread, not the interpreter's,
        # aborts the process after 50 ms: most of the time is spent inside the
        # seal, so that is where the dump most likely finds this thread.
        import resource, _stack_probe
        resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        message = bytes(int(arg))
        answer("sealing")
        _stack_probe.abort_soon(50000)
        while True:
            KEY.aes_gcm_seal(NONCE, message)
    elif cmd == "exit":
        break
'''


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=")


@dataclass
class Inputs:
    """The secrets a child receives and the public inputs made from them, with
    the values an independent implementation derives along the way."""

    secrets: dict
    public: dict
    derived: dict = field(default_factory=dict)


def make_inputs():
    """Fresh secrets, and seals made for them with `cryptography` (the hybrid
    ones as a reference implementation would make them, so that their shared
    secrets are known here)."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric.mlkem import MLKEM768PublicKey
    from cryptography.hazmat.primitives.asymmetric.x25519 import (
        X25519PrivateKey,
        X25519PublicKey,
    )
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF

    from velmora._secure import HybridKeyPair

    secrets = {name: os.urandom(n) for name, n in SECRET_SIZES.items() if name not in ("XS", "DK")}
    pair = HybridKeyPair.generate()
    secrets["XS"] = bytes(pair.x25519_secret().reveal())
    secrets["DK"] = bytes(pair.mlkem768_secret().reveal())
    x_pub, m_pub = pair.x25519_public, pair.mlkem768_public
    derived = {"json seed": os.urandom(32), "sign_key": os.urandom(32), "enc_key": os.urandom(32)}

    nonce, plain = os.urandom(12), b"public plaintext " * 4
    json_text = json.dumps({"v": 1, "seed": b64url(derived["json seed"]).decode()}).encode()
    # As deep as the reader accepts: its recursion is the deepest stack use.
    nested_text = b'{"n":' + b"[" * 126 + b"]" * 126 + b',"seed":"' + b64url(derived["json seed"]) + b'"}'
    session_text = json.dumps({
        "session_id": "s-1", "expires_at": 1900000000,
        "sign_key": b64url(derived["sign_key"]).decode(),
        "enc_key": b64url(derived["enc_key"]).decode(),
    }).encode()
    aead = AESGCM(secrets["KEY"])
    public = {"NONCE": nonce, "PLAIN": plain, "SEALED": aead.encrypt(nonce, plain, None),
              "JSON_SEALED": aead.encrypt(nonce, json_text, None),
              "NESTED_SEALED": aead.encrypt(nonce, nested_text, None),
              "CONTROL": os.urandom(32)}
    derived["json text"] = json_text
    derived["session text"] = session_text

    for tag, text in (("HYB", plain), ("SES", session_text)):
        eph = X25519PrivateKey.generate()
        x_shared = eph.exchange(X25519PublicKey.from_public_bytes(x_pub))
        k_shared, c = MLKEM768PublicKey.from_public_bytes(m_pub).encapsulate()
        encapsulation = eph.public_key().public_bytes_raw() + c
        key = HKDF(algorithm=hashes.SHA256(), length=32, salt=None,
                   info=b"quorvix-sdk-hybrid-seal-v1" + encapsulation).derive(x_shared + k_shared)
        seal_nonce = os.urandom(12)
        public[f"{tag}_E"] = encapsulation
        public[f"{tag}_N"] = seal_nonce
        public[f"{tag}_C"] = AESGCM(key).encrypt(seal_nonce, text, b"")
        derived[f"{tag} x25519 shared"] = x_shared
        derived[f"{tag} ml-kem shared"] = k_shared
        derived[f"{tag} ml-kem ciphertext"] = c
        derived[f"{tag} aes key"] = key
    return Inputs(secrets, public, derived)


def child_env(*, pythonpath=(), extra=None):
    """The runner's environment for a child, with `pythonpath` in front and
    `extra` set."""
    env = {**os.environ, **(extra or {})}
    parts = [os.path.abspath(p) for p in pythonpath]
    parts += [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if parts:
        env["PYTHONPATH"] = os.pathsep.join(parts)
    return env


class OpChild:
    """A child interpreter running CHILD, fed `inputs`, driven line by line."""

    def __init__(self, inputs, *, pythonpath=(), cwd=None, env=None):
        rfd, wfd = os.pipe()
        public = {k: v.hex() for k, v in inputs.public.items()}
        argv = [sys.executable, "-P", "-c", CHILD, str(rfd), json.dumps(public), json.dumps(OPS),
                json.dumps(SECRET_SIZES)]
        self.proc = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            pass_fds=(rfd,), env=child_env(pythonpath=pythonpath, extra=env), cwd=cwd, text=True,
        )
        os.close(rfd)
        with os.fdopen(wfd, "wb") as pipe:
            for name in SECRET_SIZES:
                pipe.write(inputs.secrets[name])

    @property
    def pid(self):
        return self.proc.pid

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        if not reply:
            self.proc.wait(timeout=30)
            raise AssertionError(f"child ended on {line!r}:\n{self.proc.stderr.read()}")
        return reply.strip()

    def run(self, op, *, thread=False):
        """Runs one operation; returns the public values it reported."""
        reply = self.ask(f"{'run-thread' if thread else 'run'} {op}")
        assert reply.startswith("ok "), reply
        return json.loads(reply[3:])

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("exit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
