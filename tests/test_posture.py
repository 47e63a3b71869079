"""harden_process() and memory_status(), each in its own child interpreter
since both read or change process-wide state."""

import errno
import os
import shutil
import subprocess

import pytest

from conftest import target_cc

STATUS_KEYS = [
    "platform",
    "backend",
    "guard_pages",
    "wipe_on_fork",
    "page_size",
    "lock_policy",
    "live_secrets",
    "unlocked_allocations",
    "last_lock_errno",
    "memlock_soft",
    "memlock_hard",
    "ipc_lock_permitted",
    "ipc_lock_effective",
]
HARDEN_KEYS = [
    "platform",
    "core_dumps_disabled",
    "ptrace_restricted",
    "memlock_soft_raised",
    "memlock_soft",
    "memlock_hard",
]

# Child code: the reports with their value types, plus what the process itself
# says about its limits, capabilities and dumpable flag.
PROBE = r"""
import ctypes, json, resource
import velmora._secure as s

def typed(d):
    return [[k, type(v).__name__, v] for k, v in d.items()]

def limit(v):
    return None if v == resource.RLIM_INFINITY else v

def process():
    libc = ctypes.CDLL(None, use_errno=True)
    caps = open("/proc/self/status").read().split("CapEff:")[1].split()[0]
    return {"core": list(resource.getrlimit(resource.RLIMIT_CORE)),
            "memlock": [limit(v) for v in resource.getrlimit(resource.RLIMIT_MEMLOCK)],
            "dumpable": libc.prctl(3, 0, 0, 0, 0),               # PR_GET_DUMPABLE
            "ipc_lock_effective": bool(int(caps, 16) & (1 << 14))}
"""


def limits(*settings):
    """A prlimit prefix for e.g. "--memlock=65536:unlimited"; skips where the
    limits cannot be set here (raising a hard limit needs CAP_SYS_RESOURCE)."""
    if not shutil.which("prlimit"):
        pytest.skip("needs prlimit (util-linux)")
    prefix = ["prlimit", *settings]
    if subprocess.run([*prefix, "true"], capture_output=True).returncode != 0:
        pytest.skip(f"cannot set {' '.join(settings)} in this environment")
    return prefix


# An interposer for the child: RLIMIT_MEMLOCK reads as hard unlimited and soft
# $SHIM_MEMLOCK_SOFT (bytes, or "unlimited"); setting it with an unlimited hard
# limit is accepted and remembered. Raising a hard limit to unlimited for real
# needs CAP_SYS_RESOURCE, which a test machine may well lack.
UNLIMITED_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

/* The kernel's layout, declared here so the prototypes below are our own. */
struct limit { unsigned long cur, max; };
#define MEMLOCK 8
#define INFINITE (~0UL)

typedef int (*get_fn)(int, struct limit*);
typedef int (*set_fn)(int, const struct limit*);
static int have_soft = 0;
static unsigned long soft;

static int get(int resource, struct limit* out, const char* real_name) {
    if (resource == MEMLOCK) {
        if (!have_soft) {
            const char* v = getenv("SHIM_MEMLOCK_SOFT");
            soft = (v == NULL || strcmp(v, "unlimited") == 0) ? INFINITE : strtoul(v, NULL, 10);
            have_soft = 1;
        }
        out->cur = soft;
        out->max = INFINITE;
        return 0;
    }
    return ((get_fn)dlsym(RTLD_NEXT, real_name))(resource, out);
}

static int set(int resource, const struct limit* in, const char* real_name) {
    if (resource == MEMLOCK && in->max == INFINITE) {
        soft = in->cur;
        have_soft = 1;
        return 0;
    }
    return ((set_fn)dlsym(RTLD_NEXT, real_name))(resource, in);
}

int getrlimit(int r, struct limit* o) { return get(r, o, "getrlimit"); }
int getrlimit64(int r, struct limit* o) { return get(r, o, "getrlimit64"); }
int setrlimit(int r, const struct limit* i) { return set(r, i, "setrlimit"); }
int setrlimit64(int r, const struct limit* i) { return set(r, i, "setrlimit64"); }
"""


@pytest.fixture(scope="module")
def unlimited_shim(tmp_path_factory):
    """``unlimited_shim(soft)`` -> environment for a child whose RLIMIT_MEMLOCK
    hard limit reads as unlimited."""
    cc = target_cc()
    if not cc:
        pytest.skip("needs a C compiler for the getrlimit interposer")
    build = tmp_path_factory.mktemp("shim")
    (build / "shim.c").write_text(UNLIMITED_SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(build / "shim.so"),
                    str(build / "shim.c"), "-ldl"], check=True)
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(build / "shim.so")]))

    def env(soft):
        return {"LD_PRELOAD": preload, "SHIM_MEMLOCK_SOFT": str(soft)}

    return env


@pytest.fixture
def probe(run_child, request):
    """Runs child code after PROBE and returns its JSON. ``deny`` maps system
    call names to the errno a seccomp filter makes them fail with (installed
    after the module is imported, before ``code`` runs); only a test that
    denies needs seccomp (and skips where the kernel probe finds none)."""

    def run(code, *, deny=None, **kwargs):
        prelude = PROBE
        if deny:
            prelude += request.getfixturevalue("seccomp_prelude") + f"deny_syscalls({deny!r})\n"
        return run_child(code, prelude=prelude, **kwargs).json()

    return run


# --- memory_status ----------------------------------------------------------------


def test_memory_status_fresh_process(probe):
    out = probe(
        "print(json.dumps({'status': typed(s.memory_status()), 'process': process()}))",
        env={"VELMORA_MEMORY_LOCK": None},
    )
    status = out["status"]
    assert [k for k, _, _ in status] == STATUS_KEYS
    values = {k: v for k, _, v in status}
    types = {k: t for k, t, _ in status}
    assert values["platform"] == "linux"
    assert values["backend"] == "mmap+mlock"
    assert values["guard_pages"] is True and values["wipe_on_fork"] is True
    assert values["page_size"] == os.sysconf("SC_PAGESIZE")
    assert values["lock_policy"] == "best-effort"
    assert (values["live_secrets"], values["unlocked_allocations"], values["last_lock_errno"]) == (
        0, 0, 0)
    assert [values["memlock_soft"], values["memlock_hard"]] == out["process"]["memlock"]
    assert values["ipc_lock_effective"] == out["process"]["ipc_lock_effective"]
    assert types["ipc_lock_permitted"] == "bool"
    for key in ("guard_pages", "wipe_on_fork"):
        assert types[key] == "bool"
    for key in ("page_size", "live_secrets", "unlocked_allocations", "last_lock_errno"):
        assert types[key] == "int"


@pytest.mark.parametrize(
    "memlock, expected",
    [
        ("0:0", [0, 0]),
        ("8192:1048576", [8192, 1048576]),
    ],
)
def test_memory_status_reports_memlock_limits(probe, memlock, expected):
    out = probe("print(json.dumps(s.memory_status()))", prefix=limits(f"--memlock={memlock}"))
    assert [out["memlock_soft"], out["memlock_hard"]] == expected


@pytest.mark.parametrize("soft, expected", [("unlimited", None), (65536, 65536)])
def test_memory_status_unlimited_memlock_is_none(probe, unlimited_shim, soft, expected):
    out = probe("print(json.dumps(s.memory_status()))", env=unlimited_shim(soft))
    assert out["memlock_soft"] == expected
    assert out["memlock_hard"] is None


def test_memory_status_reports_require_policy(probe):
    out = probe("print(json.dumps(s.memory_status()))", env={"VELMORA_MEMORY_LOCK": "require"})
    assert out["lock_policy"] == "require"


def test_memory_status_when_limits_and_capabilities_are_unreadable(probe):
    out = probe(
        "print(json.dumps(typed(s.memory_status())))",
        deny={"getrlimit": errno.EPERM, "prlimit64": errno.EPERM, "capget": errno.EPERM},
    )
    assert [k for k, _, _ in out] == STATUS_KEYS
    values = {k: v for k, _, v in out}
    assert values["memlock_soft"] is None and values["memlock_hard"] is None
    assert values["ipc_lock_permitted"] is None and values["ipc_lock_effective"] is None
    assert values["platform"] == "linux"


# --- harden_process ------------------------------------------------------------------


def test_harden_process_raises_soft_limit_once(probe):
    out = probe(
        """
        before = process()
        first = s.harden_process()
        after = process()
        second = s.harden_process()
        status = s.memory_status()
        print(json.dumps({"first": typed(first), "second": typed(second), "before": before,
                          "after": after, "status": status}))
        """,
        prefix=limits("--memlock=65536:1048576", "--core=1048576:unlimited"),
    )
    first = {k: v for k, _, v in out["first"]}
    second = {k: v for k, _, v in out["second"]}
    assert [k for k, _, _ in out["first"]] == HARDEN_KEYS
    assert [k for k, _, _ in out["second"]] == HARDEN_KEYS
    assert all(t == "bool" for k, t, _ in out["first"][1:4])
    assert out["before"]["dumpable"] == 1
    assert first == {
        "platform": "linux",
        "core_dumps_disabled": True,
        "ptrace_restricted": True,
        "memlock_soft_raised": True,
        "memlock_soft": 1048576,
        "memlock_hard": 1048576,
    }
    assert second == {**first, "memlock_soft_raised": False}
    assert out["after"]["core"] == [0, 0]
    assert out["after"]["dumpable"] == 0
    assert out["after"]["memlock"] == [1048576, 1048576]
    assert (out["status"]["memlock_soft"], out["status"]["memlock_hard"]) == (1048576, 1048576)
    # Hardening is not part of the memory report.
    assert list(out["status"]) == STATUS_KEYS


def test_harden_process_soft_already_at_hard(probe):
    out = probe(
        "print(json.dumps([s.harden_process(), process()]))",
        prefix=limits("--memlock=4096:4096"),
    )
    report, after = out
    assert report["memlock_soft_raised"] is False
    assert [report["memlock_soft"], report["memlock_hard"]] == [4096, 4096]
    assert after["memlock"] == [4096, 4096]


@pytest.mark.parametrize("soft, raised", [(65536, True), ("unlimited", False)])
def test_harden_process_with_unlimited_hard_limit(probe, unlimited_shim, soft, raised):
    out = probe(
        "print(json.dumps([s.harden_process(), s.harden_process(), s.memory_status()]))",
        env=unlimited_shim(soft),
    )
    first, second, status = out
    assert first["memlock_soft_raised"] is raised
    assert (first["memlock_soft"], first["memlock_hard"]) == (None, None)
    assert second["memlock_soft_raised"] is False
    assert (second["memlock_soft"], second["memlock_hard"]) == (None, None)
    assert (status["memlock_soft"], status["memlock_hard"]) == (None, None)


def test_harden_process_reports_refused_steps(probe):
    # Limits can be neither read nor set, and prctl is refused: every step
    # reports that it did not take effect, and nothing is raised.
    out = probe(
        "print(json.dumps(typed(s.harden_process())))",
        deny={"getrlimit": errno.EPERM, "setrlimit": errno.EPERM, "prlimit64": errno.EPERM,
              "prctl": errno.EPERM},
        prefix=limits("--memlock=4096:65536"),
    )
    assert [k for k, _, _ in out] == HARDEN_KEYS
    assert {k: v for k, _, v in out} == {
        "platform": "linux",
        "core_dumps_disabled": False,
        "ptrace_restricted": False,
        "memlock_soft_raised": False,
        "memlock_soft": None,
        "memlock_hard": None,
    }
