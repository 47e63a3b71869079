#!/usr/bin/env bash
# Installs velmora as a user would, each time into a fresh virtual environment
# made from the interpreter BASE, and runs it from a folder outside the
# repository with `python -P`:
#
#   check_wheel.sh wheel WHEEL BASE [TESTMODS]
#       installs the wheel with a PATH that holds nothing but the environment
#       (no compiler, no cmake), runs the tour, checks that libsodium,
#       libIPSec_MB and libcrypto were loaded from the wheel, not from the
#       system, that the wheel carries our licence and the bundled
#       libraries' (and no other), and that `pip show`, with the pip BASE
#       bundles, prints the licence; with TESTMODS (the test-only modules
#       built for BASE's version) also runs the Python suite against the
#       installed wheel.
#   check_wheel.sh refused WHEEL BASE
#       pip refuses the wheel by its tag on an unsupported Python, and
#       nothing importable is left behind.
#   check_wheel.sh sdist SDIST BASE
#       the sdist holds the test vectors' licence; building from it
#       without a compiler stops with the Debian
#       package to install and leaves nothing importable; then the sdist
#       builds and installs, and the tour runs.
set -euo pipefail

MODE="$1"
ARCHIVE="$(realpath "$2")"
BASE="$3"
TESTMODS="${4:-}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
"$BASE" -m venv "$TMP/venv"
cp "$ROOT/examples/tour.py" "$TMP/"
cd "$TMP"
clean=(env -i HOME="$TMP" PATH="$TMP/venv/bin" LANG=C.UTF-8)

not_importable() {
    if "${clean[@]}" python -P -c "import velmora._secure" 2>/dev/null; then
        echo "velmora._secure is importable after a failed install" >&2
        return 1
    fi
}

case "$MODE" in
wheel)
    case "$(basename "$ARCHIVE")" in
        *-manylinux_*.whl) ;;
        *) echo "not a manylinux wheel: $ARCHIVE" >&2; exit 1 ;;
    esac
    cat > check_libs.py <<'PY'
import sys
from pathlib import Path

import velmora._secure

loaded = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if ".so" in line}
bundled = Path(velmora._secure.__file__).parent.parent / "velmora.libs"
import platform

# ipsec-mb is linked on x86-64 only.
libs = ("libsodium", "libIPSec_MB", "libcrypto") if platform.machine() == "x86_64" else ("libsodium", "libcrypto")
for lib in libs:
    found = sorted(p for p in loaded if Path(p).name.startswith(lib + "-") or Path(p).name.startswith(lib + "."))
    if not found or any(Path(p).parent != bundled for p in found):
        sys.exit(f"{lib}: loaded {found or 'nothing'}, expected it from {bundled}")
print(f"{', '.join(libs)} come from {bundled}")

# Every library the wheel bundles has its licence in the wheel's metadata
# directory, beside ours; the test vectors' licence stays with the vectors, in
# the sdist.
from importlib.metadata import distribution

dist = distribution("velmora")
licences = Path(dist.locate_file(f"velmora-{dist.version}.dist-info/licenses"))
carried = {str(p.relative_to(licences)) for p in licences.rglob("*") if p.is_file()}
licence_of = {"libsodium": "LICENSES/libsodium.txt", "libIPSec_MB": "LICENSES/ipsec-mb.txt",
              "libcrypto": "LICENSES/OpenSSL.txt"}
for so in sorted(bundled.iterdir()):
    name = so.name.split("-")[0].split(".")[0]
    licence = licence_of.get(name)
    if licence is None:
        sys.exit(f"{so.name} is bundled without a licence file for it (LICENSES/)")
    if licence not in carried:
        sys.exit(f"{so.name}: {licence} is not in the wheel's {licences.name}/")
expected = {"LICENSE", *licence_of.values()}
if carried != expected:
    sys.exit(f"the wheel's licence files are {sorted(carried)}, expected {sorted(expected)}")
print(f"the licences of {', '.join(sorted(p.name for p in bundled.iterdir()))} are in the wheel")
PY
    "${clean[@]}" python -m pip install -q --no-index --no-deps --only-binary :all: "$ARCHIVE"
    "${clean[@]}" python -P tour.py
    "${clean[@]}" python -P check_libs.py
    # The licence as `pip show` prints it, with the pip this Python bundles
    # (3.11's reads only the License field).
    "${clean[@]}" python -m pip show velmora > show.txt
    grep -qx "License: Proprietary" show.txt \
        || { cat show.txt >&2; echo "pip show prints no licence" >&2; exit 1; }
    echo "pip $("${clean[@]}" python -m pip --version | cut -d' ' -f2) shows $(grep -x 'License: .*' show.txt)"
    if [ -n "$TESTMODS" ]; then
        # The suite's own dependencies come from the package index (as pinned in
        # requirements-dev.txt); the module under test is the wheel's.
        mapfile -t deps < <(grep -E '^(pytest|cryptography|pynacl|numpy)\b' "$ROOT/requirements-dev.txt")
        "$TMP/venv/bin/python" -m pip install -q "${deps[@]}"
        # The system's tools stay reachable (prlimit, setpriv, a C compiler for
        # the interposers some tests build), after the environment.
        env -i HOME="$TMP" PATH="$TMP/venv/bin:/usr/sbin:/usr/bin:/sbin:/bin" LANG=C.UTF-8 \
            VELMORA_TESTMODS="$TESTMODS" python -P -m pytest -q -p no:cacheprovider "$ROOT/tests"
    fi
    ;;
refused)
    if "${clean[@]}" python -m pip install -q --no-index --no-deps "$ARCHIVE" 2>pip.err; then
        echo "pip installed $(basename "$ARCHIVE") on $("$BASE" -V)" >&2
        exit 1
    fi
    grep -q "is not a supported wheel on this platform" pip.err \
        || { cat pip.err >&2; echo "refused for another reason than its tag" >&2; exit 1; }
    not_importable
    echo "$("$BASE" -V) refuses $(basename "$ARCHIVE") by its tag"
    ;;
sdist)
    # The test vectors travel with their licence.
    tar -tzf "$ARCHIVE" > contents.txt
    grep -q "^velmora-[^/]*/tests/vectors/wycheproof/LICENSE$" contents.txt \
        || { echo "the sdist lacks the test vectors' licence" >&2; exit 1; }
    # cmake and ninja, but no compiler.
    mkdir tools
    ln -s "$(command -v cmake)" "$(command -v ninja)" tools/
    if env PATH="$TMP/venv/bin:$TMP/tools" "$TMP/venv/bin/python" -m pip install "$ARCHIVE" >build.log 2>&1; then
        echo "the sdist built without a compiler" >&2
        exit 1
    fi
    tr -s ' \n' ' ' < build.log | grep -q "install the Debian package build-essential" \
        || { cat build.log >&2; echo "no message naming the package to install" >&2; exit 1; }
    not_importable
    echo "without a compiler the build stops naming build-essential, and nothing is installed"
    "$TMP/venv/bin/python" -m pip install -q "$ARCHIVE"
    "${clean[@]}" python -P tour.py
    ;;
*)
    echo "usage: check_wheel.sh wheel|refused|sdist ARCHIVE BASE [TESTMODS]" >&2
    exit 2
    ;;
esac
