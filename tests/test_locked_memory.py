"""Locked memory seen from Python, each case in its own child interpreter:
secrets across fork(), the lock policy from VELMORA_MEMORY_LOCK, the
best-effort and require paths when mlock fails, and the three counters."""

import errno
import os
import shutil

import pytest

import kernel_probe
from conftest import SANITIZED, memlock_prefix
from messages import FORK, WIPED


def lock_required(err):
    return (
        f"mlock failed (errno {err}) and VELMORA_MEMORY_LOCK=require; raise `ulimit -l` or grant "
        f"CAP_IPC_LOCK · mlock falhou (errno {err}) com VELMORA_MEMORY_LOCK=require; aumente "
        "`ulimit -l` ou conceda CAP_IPC_LOCK"
    )


# Child-side helper: runs a call and records its result or its exception.
OUTCOME = """
import json, os, sys
import velmora._secure as s

def outcome(call):
    try:
        value = call()
    except BaseException as e:
        return [type(e).__name__, str(e)]
    return ["ok", value if isinstance(value, (bool, int, str, type(None))) else repr(value)]
"""


@pytest.fixture
def child(run_child):
    """run_child with the outcome() helper and `s` (the module) predefined."""

    def run(code, **kwargs):
        return run_child(code, prelude=OUTCOME, **kwargs)

    return run


# --- fork ---------------------------------------------------------------------------


def test_fork_child_cannot_read_inherited_secrets(child):
    kernel_probe.require("wipe_on_fork")
    out = child(
        """
        a = s.SecretBox.from_bytes(b"parent secret")
        b = a.clone()
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            fresh = s.SecretBox.from_bytes(b"parent secret")
            report = {
                "reveal": outcome(lambda: a.reveal()),
                "clone": outcome(lambda: a.clone()),
                "eq_inherited": outcome(lambda: a == b),
                "eq_fresh_left": outcome(lambda: fresh == a),
                "eq_fresh_right": outcome(lambda: a == fresh),
                "eq_self": outcome(lambda: a == a),
                "len": outcome(lambda: len(a)),
                "is_wiped": outcome(lambda: a.is_wiped),
                "repr": outcome(lambda: repr(a)),
                "fresh_reveal": outcome(lambda: bytes(fresh.reveal()).decode()),
                "fresh_clone_eq": outcome(lambda: fresh.clone() == fresh),
                "random_works": outcome(lambda: len(s.SecretBox.random(16).reveal())),
                "live": s.memory_status()["live_secrets"],
                "wipe": outcome(lambda: b.wipe()),
                "after_wipe": outcome(lambda: b.reveal()),
                "wiped_after_wipe": outcome(lambda: b.is_wiped),
            }
            os.write(w, json.dumps(report).encode())
            os._exit(0)
        os.close(w)
        child = json.loads(os.read(r, 1 << 16))
        _, status = os.waitpid(pid, 0)
        child["status"] = status
        child["parent_reveal"] = bytes(a.reveal()).decode()
        child["parent_eq"] = a == b
        print(json.dumps(child))
        """
    ).json()
    fork_error = ["SecureError", FORK]
    assert out["status"] == 0
    assert out["reveal"] == fork_error
    assert out["clone"] == fork_error
    assert out["eq_inherited"] == fork_error
    assert out["eq_fresh_left"] == fork_error
    assert out["eq_fresh_right"] == fork_error
    assert out["eq_self"] == ["ok", True]
    assert out["len"] == ["ok", 13]
    assert out["is_wiped"] == ["ok", False]
    assert out["repr"][1].endswith(", wiped=false>)")
    # Boxes made in the child are whole.
    assert out["fresh_reveal"] == ["ok", "parent secret"]
    assert out["fresh_clone_eq"] == ["ok", True]
    assert out["random_works"] == ["ok", 16]
    # The child's counter carries the inherited regions: a, b and fresh.
    assert out["live"] == 3
    # Wiping an emptied box works, and from then on it reports being wiped.
    assert out["wipe"] == ["ok", None]
    assert out["after_wipe"] == ["SecureError", WIPED]
    assert out["wiped_after_wipe"] == ["ok", True]
    # The parent keeps its secrets.
    assert out["parent_reveal"] == "parent secret"
    assert out["parent_eq"] is True


# --- lock policy ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, policy",
    [
        (None, "best-effort"),
        ("require", "require"),
        ("REQUIRE", "require"),
        (" Require\n", "require"),
        ("\t\r\n\v\frequire \t", "require"),
        ("\u00a0require\u0085", "require"),
        ("\u3000\u2003require\u2029\u202f", "require"),
        ("\u1680require\u205f\u2028", "require"),
        ("", "best-effort"),
        ("   ", "best-effort"),
        ("require-strict", "best-effort"),
        ("required", "best-effort"),
        ("re quire", "best-effort"),
        ("best-effort", "best-effort"),
        ("1", "best-effort"),
        ("\u200brequire", "best-effort"),  # zero-width space is not white space
        ("requ\u0130re", "best-effort"),
        (b"require\xff", "best-effort"),  # not UTF-8
        (b"\xa0require", "best-effort"),  # Latin-1 no-break space, not UTF-8
        (b"\xc2\xa0require", "require"),  # the same, in UTF-8
    ],
)
def test_lock_policy_from_environment(child, value, policy):
    out = child(
        "import json, velmora._secure as s; print(json.dumps(s.memory_status()['lock_policy']))",
        env={"VELMORA_MEMORY_LOCK": value},
    ).json()
    assert out == policy


def test_policy_is_decided_once_at_first_need(child):
    # A successful allocation needs no policy; the first status report decides
    # it, and later changes to the environment are ignored.
    out = child(
        """
        import json, os
        import velmora._secure as s
        box = s.SecretBox.random(32)
        os.environ["VELMORA_MEMORY_LOCK"] = "require"
        first = s.memory_status()["lock_policy"]
        os.environ["VELMORA_MEMORY_LOCK"] = "best-effort"
        second = s.memory_status()["lock_policy"]
        print(json.dumps([first, second]))
        """,
        env={"VELMORA_MEMORY_LOCK": None},
    ).json()
    assert out == ["require", "require"]


def test_policy_is_decided_at_first_failed_lock(child, no_mlock):
    out = child(
        """
        import json, os
        import velmora._secure as s
        box = s.SecretBox.random(32)  # mlock fails: best-effort decided now
        os.environ["VELMORA_MEMORY_LOCK"] = "require"
        other = s.SecretBox.random(32)
        print(json.dumps([box.is_locked, other.is_locked, s.memory_status()["lock_policy"]]))
        """,
        env={"VELMORA_MEMORY_LOCK": None},
        prefix=no_mlock,
    ).json()
    assert out == [False, False, "best-effort"]


# --- when mlock fails ---------------------------------------------------------------------


def test_best_effort_keeps_unlocked_boxes_and_counts_them(child, no_mlock):
    out = child(
        """
        start = s.memory_status()
        boxes = [s.SecretBox.random(32), s.SecretBox.from_bytes(b"12345"), None]
        boxes[2] = boxes[1].clone()
        made = s.memory_status()
        flags = [b.is_locked for b in boxes]
        five = repr(boxes[1])
        usable = boxes[2] == boxes[1] and bytes(boxes[2].reveal()) == b"12345"
        del boxes[:2]
        end = s.memory_status()
        print(json.dumps({"start": start, "made": made, "end": end, "flags": flags,
                          "five": five, "usable": usable}))
        """,
        prefix=no_mlock,
    ).json()
    start, made, end = out["start"], out["made"], out["end"]
    assert (start["live_secrets"], start["unlocked_allocations"], start["last_lock_errno"]) == (
        0, 0, 0)
    assert out["flags"] == [False, False, False]
    assert out["five"] == "SecretBox(<5 bytes, redacted, locked=false, wiped=false>)"
    assert out["usable"]
    assert made["live_secrets"] == 3
    assert made["unlocked_allocations"] == 3
    assert made["last_lock_errno"] == errno.EPERM  # RLIMIT_MEMLOCK 0, no capability
    assert end["live_secrets"] == 1
    assert end["unlocked_allocations"] == 3  # cumulative
    assert end["lock_policy"] == "best-effort"
    assert (made["memlock_soft"], made["memlock_hard"]) == (0, 0)
    assert (made["ipc_lock_permitted"], made["ipc_lock_effective"]) == (False, False)


def test_require_refuses_unlocked_boxes(child, no_mlock):
    out = child(
        """
        source = bytearray(b"correct horse battery staple")
        report = {
            "random": outcome(lambda: s.SecretBox.random(32)),
            "from_bytes": outcome(lambda: s.SecretBox.from_bytes(source)),
            "source": source.hex(),
            "empty": outcome(lambda: s.SecretBox.random(0)),
            "status": s.memory_status(),
        }
        print(json.dumps(report))
        """,
        env={"VELMORA_MEMORY_LOCK": "require"},
        prefix=no_mlock,
    ).json()
    refused = ["SecureError", lock_required(errno.EPERM)]
    assert out["random"] == refused
    assert out["from_bytes"] == refused
    assert out["source"] == "00" * 28  # zeroed before the lock was even tried
    assert out["empty"] == ["SecureError", "a secret cannot be empty · um segredo não pode ser vazio"]
    status = out["status"]
    assert status["lock_policy"] == "require"
    assert (status["live_secrets"], status["unlocked_allocations"], status["last_lock_errno"]) == (
        0, 0, 0)


def test_lock_budget_of_one_page(child, memlock_limited):
    """With room for exactly one locked page beyond what the module's own
    stack has locked (a first call makes it): the second region cannot be
    locked (ENOMEM), and releasing the first gives its page back."""
    code = (
        """
        import resource
        s.SecretBox.random(32).hmac_sha512(b"warm")
        locked = [int(line.split()[1]) for line in open("/proc/self/status")
                  if line.startswith("VmLck:")][0] * 1024
        hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
        resource.setrlimit(resource.RLIMIT_MEMLOCK, (locked + os.sysconf("SC_PAGESIZE"), hard))
        first = s.SecretBox.random(32)
        second = outcome(lambda: s.SecretBox.random(32))
        second_locked = outcome(lambda: s.SecretBox.random(32).is_locked)
        clone = outcome(lambda: first.clone().is_locked)
        del first
        third = s.SecretBox.random(32)
        status = s.memory_status()
        print(json.dumps({"second": second, "second_locked": second_locked, "clone": clone,
                          "third_locked": third.is_locked, "status": status}))
        """
    )
    room = 1024 * 1024
    best = child(code, prefix=memlock_limited(room), env={"VELMORA_MEMORY_LOCK": None}).json()
    assert best["second_locked"] == ["ok", False]
    assert best["clone"] == ["ok", False]
    assert best["third_locked"] is True  # munlock on release returned the budget
    assert best["status"]["last_lock_errno"] == errno.ENOMEM
    assert best["status"]["unlocked_allocations"] == 3
    assert best["status"]["live_secrets"] == 1

    req = child(code, prefix=memlock_limited(room), env={"VELMORA_MEMORY_LOCK": "require"})
    req = req.json()
    refused = ["SecureError", lock_required(errno.ENOMEM)]
    assert req["second"] == refused
    assert req["second_locked"] == refused
    assert req["clone"] == refused  # a failed clone leaves no region behind
    assert req["third_locked"] is True
    assert req["status"]["last_lock_errno"] == 0
    assert req["status"]["unlocked_allocations"] == 0
    assert req["status"]["live_secrets"] == 1


def test_permitted_capability_is_raised_per_thread(child):
    """With CAP_IPC_LOCK permitted but not effective and no lock budget, every
    thread that allocates makes the capability effective for itself first."""
    if os.geteuid() != 0 or not shutil.which("prlimit"):
        pytest.skip("needs root (CAP_IPC_LOCK permitted) and prlimit")
    out = child(
        """
        import ctypes, json, platform, threading
        libc = ctypes.CDLL(None, use_errno=True)
        capget, capset = {"x86_64": (125, 126), "aarch64": (90, 91)}[platform.machine()]
        header = (ctypes.c_uint32 * 2)(0x20080522, 0)
        data = (ctypes.c_uint32 * 6)()
        assert libc.syscall(capget, header, data) == 0
        data[0] &= ~(1 << 14)                                   # drop IPC_LOCK from effective
        assert libc.syscall(capset, header, data) == 0

        import velmora._secure as s
        before = s.memory_status()
        ready, done = threading.Event(), threading.Event()
        result = {}

        def other_thread():
            ready.wait()
            result["effective_before"] = s.memory_status()["ipc_lock_effective"]
            result["locked"] = s.SecretBox.random(32).is_locked
            result["effective_after"] = s.memory_status()["ipc_lock_effective"]

        t = threading.Thread(target=other_thread)
        t.start()                                  # created before the main thread raises it
        box = s.SecretBox.random(32)
        after = s.memory_status()
        ready.set()
        t.join()
        print(json.dumps({"before": [before["ipc_lock_permitted"], before["ipc_lock_effective"]],
                          "after": [after["ipc_lock_permitted"], after["ipc_lock_effective"]],
                          "locked": box.is_locked, "thread": result,
                          "unlocked": after["unlocked_allocations"]}))
        """,
        prefix=["prlimit", "--memlock=0:0"],
    ).json()
    assert out["before"] == [True, False]
    assert out["after"] == [True, True]
    assert out["locked"] is True
    assert out["thread"] == {"effective_before": False, "locked": True, "effective_after": True}
    assert out["unlocked"] == 0


# --- counters ------------------------------------------------------------------------------


def test_live_secrets_counts_regions_until_release(child):
    out = child(
        """
        import json
        import velmora._secure as s
        live = lambda: s.memory_status()["live_secrets"]
        seen = [live()]
        a = s.SecretBox.random(32); seen.append(live())
        b = s.SecretBox.from_bytes(b"x" * 5000); seen.append(live())
        c = a.clone(); seen.append(live())
        a.wipe(); seen.append(live())
        for bad in (lambda: s.SecretBox.random(0), lambda: s.SecretBox.from_bytes("x"),
                    lambda: s.SecretBox.random(2**64 - 1), lambda: a.clone()):
            try:
                bad()
            except Exception:
                pass
        seen.append(live())
        del a; seen.append(live())
        del b, c; seen.append(live())
        boxes = [s.SecretBox.random(1) for _ in range(100)]; seen.append(live())
        boxes.clear(); seen.append(live())
        status = s.memory_status()
        print(json.dumps({"seen": seen, "unlocked": status["unlocked_allocations"],
                          "errno": status["last_lock_errno"]}))
        """
    ).json()
    assert out["seen"] == [0, 1, 2, 3, 3, 3, 2, 0, 100, 0]
    # Nothing failed to lock here (and with CAP_IPC_LOCK nothing can).
    if out["unlocked"] == 0:
        assert out["errno"] == 0


# --- system calls ------------------------------------------------------------------------

REGION_CALLS = "mmap,mprotect,madvise,mlock,munlock,munmap,capget,capset"


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer turns mlock into a no-op")
@pytest.mark.parametrize("unprivileged", [False, True], ids=["as-is", "no-CAP_IPC_LOCK"])
def test_a_box_costs_six_system_calls(child, tmp_path, unprivileged):
    """Creating and dropping a box, once the thread has made its first one:
    mmap of the whole span, one mprotect opening the data pages, two madvise,
    mlock, munmap; no munlock, no capability calls. Counted by strace between
    two getppid() calls that mark the loop."""
    if not shutil.which("strace"):
        pytest.skip("needs strace (scripts/setup.sh installs it)")
    kernel_probe.require("own_system_calls")
    trace = tmp_path / "trace"
    prefix = memlock_prefix(1 << 20) if unprivileged else []
    prefix += ["strace", "-qq", "-o", str(trace), "-e", f"trace={REGION_CALLS},getppid"]
    rounds = 50
    out = child(
        f"""
        secret = b"k" * 32
        first = s.SecretBox.from_bytes(secret)  # the thread's first allocation
        os.getppid()
        for _ in range({rounds}):
            box = s.SecretBox.from_bytes(secret)
            del box
        os.getppid()
        print(json.dumps([first.is_locked, s.memory_status()["ipc_lock_effective"]]))
        """,
        prefix=prefix,
    ).json()
    assert out == [True, not unprivileged]
    lines = trace.read_text().splitlines()
    marks = [i for i, line in enumerate(lines) if line.startswith("getppid(")]
    assert len(marks) == 2, lines
    calls = [line.split("(", 1)[0] for line in lines[marks[0] + 1 : marks[1]]]
    counts = {name: calls.count(name) for name in set(calls)}
    assert counts == {"mmap": rounds, "mprotect": rounds, "madvise": 2 * rounds,
                      "mlock": rounds, "munmap": rounds}, lines[marks[0] : marks[1] + 1]
    page = os.sysconf("SC_PAGESIZE")
    maps = [line for line in lines[marks[0] : marks[1]] if line.startswith("mmap(")]
    assert all(f", {3 * page}, PROT_NONE, MAP_PRIVATE|MAP_ANONYMOUS," in m for m in maps), maps[0]
    opens = [line for line in lines[marks[0] : marks[1]] if line.startswith("mprotect(")]
    assert all(f", {page}, PROT_READ|PROT_WRITE)" in m for m in opens), opens[0]


def test_boxes_work_where_the_mapping_table_cannot_be_read(run_child, seccomp_prelude):
    """Without /proc (every open refused) the reserve of mapping entries cannot
    be kept, and boxes are made as before."""
    out = run_child(
        """
        import errno, json
        import velmora._secure as s
        deny_syscalls({"openat": errno.EACCES})
        boxes = [s.SecretBox.from_bytes(b"secret") for _ in range(3)]
        print(json.dumps([bytes(b.reveal()).decode() for b in boxes]))
        """,
        prelude=seccomp_prelude,
    ).json()
    assert out == ["secret"] * 3
