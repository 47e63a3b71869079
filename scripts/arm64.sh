# Sourced after setup.sh by test.sh and wheel.sh: what building for Linux on
# aarch64 from this x86-64 machine, and running the result under qemu-user,
# needs. Installs whatever is missing, once:
#   - the cross compiler and qemu-user-static, from Debian;
#   - the arm64 -dev packages of the libraries the module links (and gtest),
#     after `dpkg --add-architecture arm64`; they share /usr/include with the
#     host's and put their libraries in /usr/lib/aarch64-linux-gnu;
#   - binfmt_misc (mounted if it is not) with qemu's aarch64 entry, so that an
#     aarch64 program (the interpreter's own child processes included) runs
#     like any other;
#   - Debian's arm64 python3.11, which cannot be installed beside the amd64
#     one: its package is downloaded and unpacked into build/arm64/python and
#     run with PYTHONHOME=/usr, where the arm64 libpython3.11-stdlib (pulled in
#     by libpython3.11-dev:arm64) has put the standard library's aarch64
#     extension modules next to the host's;
#   - the suite's Python packages as aarch64 wheels, unpacked by the host's pip
#     into build/arm64/site.
# Everything lands in build/arm64 (kept between runs) or in Debian's own places.
set -euo pipefail

ARM64_DIR="$ROOT/build/arm64"
ARM64_TOOLCHAIN="$ROOT/scripts/aarch64-linux-gnu.cmake"
ARM64_SOABI="cpython-311-aarch64-linux-gnu"
ARM64_PY_ROOT="$ARM64_DIR/python"
ARM64_SITE="$ARM64_DIR/site"
ARM64_HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static)
ARM64_PACKAGES=(libc6-dev:arm64 libstdc++6:arm64 libssl-dev:arm64 libsodium-dev:arm64 libpython3.11-dev:arm64
                libgtest-dev:arm64)
# What the suite imports besides velmora, for the arm64 interpreter.
# pytest-xdist spreads the suite over the cores: under emulation every test's
# interpreter and child processes run some ten times slower than natively.
ARM64_PY_REQUIREMENTS=("pytest>=8" "cryptography>=46" "pynacl>=1.5" numpy "pytest-xdist>=3")

arm64_sudo() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt-get, waiting for dpkg's lock when another apt run holds it.
arm64_apt() {
    DEBIAN_FRONTEND=noninteractive arm64_sudo apt-get -o DPkg::Lock::Timeout=600 "$@"
}

arm64_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

arm64_ensure_packages() {
    local missing
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "[arm64] adding the Debian architecture arm64" >&2
        arm64_sudo dpkg --add-architecture arm64
        arm64_apt update -qq >&2
    fi
    mapfile -t missing < <(arm64_missing "${ARM64_HOST_PACKAGES[@]}" "${ARM64_PACKAGES[@]}")
    if ((${#missing[@]})); then
        echo "[arm64] installing Debian packages: ${missing[*]}" >&2
        arm64_apt update -qq >&2
        arm64_apt install -y -qq "${missing[@]}" >/dev/null
    fi
}

# qemu's aarch64 entry in binfmt_misc, with the F flag (the kernel opens the
# emulator when the entry is registered, so it works in any mount namespace).
arm64_ensure_binfmt() {
    local misc=/proc/sys/fs/binfmt_misc
    if [ ! -e "$misc/register" ]; then
        arm64_sudo mount -t binfmt_misc binfmt_misc "$misc"
    fi
    if [ ! -e "$misc/qemu-aarch64" ]; then
        echo "[arm64] registering qemu-aarch64-static with binfmt_misc" >&2
        local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
        local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        printf ':qemu-aarch64:M::%s:%s:/usr/bin/qemu-aarch64-static:F\n' "$magic" "$mask" |
            arm64_sudo tee "$misc/register" >/dev/null
    fi
}

# Debian's arm64 interpreter, the same version as the installed arm64 standard
# library (dpkg makes the amd64 and arm64 libpython3.11-stdlib agree).
arm64_ensure_python() {
    local version stamp="$ARM64_PY_ROOT/.version"
    version="$(dpkg-query -W -f='${Version}' libpython3.11-stdlib:arm64)"
    if [ -x "$ARM64_PY_ROOT/usr/bin/python3.11" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$version" ]; then
        return
    fi
    echo "[arm64] unpacking python3.11 $version for arm64" >&2
    rm -rf "$ARM64_PY_ROOT" "$ARM64_DIR/debs"
    mkdir -p "$ARM64_PY_ROOT" "$ARM64_DIR/debs"
    (cd "$ARM64_DIR/debs" && apt-get download -qq -o APT::Sandbox::User=root "python3.11-minimal:arm64=$version") >&2
    dpkg-deb -x "$ARM64_DIR"/debs/python3.11-minimal_*_arm64.deb "$ARM64_PY_ROOT"
    echo "$version" > "$stamp"
}

# The suite's packages for Python 3.11 on aarch64, as wheels only (each has an
# aarch64 manylinux build on PyPI), unpacked into build/arm64/site.
arm64_ensure_site() {
    local stamp="$ARM64_SITE/.requirements" want
    want="${ARM64_PY_REQUIREMENTS[*]}"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        return
    fi
    echo "[arm64] installing the suite's Python packages for aarch64" >&2
    rm -rf "$ARM64_SITE"
    arm64_pip_target "$ARM64_SITE" "${ARM64_PY_REQUIREMENTS[@]}" >&2
    echo "$want" > "$stamp"
}

# pip install --target for the arm64 interpreter, run by the host's pip.
arm64_pip_target() {  # dir, requirements or wheels...
    local dir="$1"; shift
    "$PY" -m pip install -q --disable-pip-version-check --target "$dir" --only-binary=:all: \
        --platform manylinux_2_34_aarch64 --platform manylinux2014_aarch64 \
        --python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none "$@"
}

# Runs the arm64 interpreter with PYTHONPATH $1 (under qemu, through binfmt).
arm64_python() {  # pythonpath, args...
    local path="$1"; shift
    env PYTHONHOME=/usr PYTHONPATH="$path" PYTHONNOUSERSITE=1 \
        "$ARM64_PY_ROOT/usr/bin/python3.11" "$@"
}

# CMake options of an aarch64 build (the toolchain file and the extension's
# suffix, which CMake cannot ask an interpreter it cannot run).
ARM64_CMAKE_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$ARM64_TOOLCHAIN" -DPython_SOABI="$ARM64_SOABI"
                  -DPython_INCLUDE_DIR=/usr/include/python3.11)

arm64_ensure() {
    arm64_ensure_packages
    arm64_ensure_binfmt
    arm64_ensure_python
    arm64_ensure_site
}

# The one aarch64 build tree: the wheel's build, and with
# VELMORA_ARM64_WITH_TESTS=1 (which test.sh sets) the C++ tests and the
# test-only modules in it too, so that the sources are cross-compiled once for
# both the wheel and the tests run under qemu.
ARM64_TREE="$ARM64_DIR/tree"

# The aarch64 wheel (cp311-abi3, like the x86-64 one), cross-compiled by the
# build frontend of scripts/wheel.sh's environment ($2) from the source tree in
# build/arm64/tree (kept between runs), and repaired on this machine by
# auditwheel, which finds the arm64 libcrypto and libsodium where Debian put
# them and bundles them (their licences are in LICENSES/, which the wheel
# carries). The platform tag is the interpreter's notion of the host
# (_PYTHON_HOST_PLATFORM, which sysconfig reads). Writes the wheel to $1 and
# prints its path.
arm64_build_wheel() {  # out-dir, wheel environment
    local out="$1" env="$2" raw="$ARM64_DIR/wheel" cmake_args tests=OFF
    [ "${VELMORA_ARM64_WITH_TESTS:-}" != 1 ] || tests=ON
    arm64_ensure_packages
    rm -rf "$raw"
    rm -f "$out"/velmora-*aarch64*.whl
    cmake_args="$(IFS=';'; echo "${ARM64_CMAKE_ARGS[*]};-DVELMORA_BUILD_TESTS=$tests")"
    echo "[wheel] cross-building for aarch64" >&2
    env _PYTHON_HOST_PLATFORM=linux-aarch64 SKBUILD_CMAKE_ARGS="$cmake_args" \
        SKBUILD_BUILD_DIR="$ARM64_TREE" \
        "$env/bin/python" -m build --wheel --outdir "$raw" . >&2
    PATH="$env/bin:$PATH" "$env/bin/auditwheel" repair \
        -w "$out" "$raw"/velmora-*.whl >&2
    ls "$out"/velmora-*aarch64*.whl
}

# The C++ tests of build/arm64/tree (configured here with them when the
# wheel's build did not include them), run by CTest under qemu (the toolchain
# file names it as the emulator).
arm64_cpp_tests() {  # jobs
    local dir="$ARM64_TREE"
    arm64_ensure || return 1
    if [ ! -f "$dir/build.ninja" ] || ! grep -q '^VELMORA_BUILD_TESTS:BOOL=ON' "$dir/CMakeCache.txt"; then
        cmake -S "$ROOT" -B "$dir" -G Ninja -DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
            "${ARM64_CMAKE_ARGS[@]}" >/dev/null || return 1
    fi
    cmake --build "$dir" -j "$1" || return 1
    ctest --test-dir "$dir" --output-on-failure -j "$1"
}

# As on x86-64 (scripts/check_wheel.sh): the libraries an installed aarch64
# wheel loads are its own, each with its licence in the wheel's metadata.
arm64_check_bundled() {  # installed dir
    arm64_python "$1" -P -c '
import sys
from importlib.metadata import distribution
from pathlib import Path
import velmora._secure
bundled = Path(velmora._secure.__file__).parent.parent / "velmora.libs"
loaded = {l.split()[-1] for l in Path("/proc/self/maps").read_text().splitlines() if ".so" in l}
dist = distribution("velmora")
licences = Path(dist.locate_file(f"velmora-{dist.version}.dist-info/licenses"))
carried = {str(p.relative_to(licences)) for p in licences.rglob("*") if p.is_file()}
for lib, licence in (("libsodium", "LICENSES/libsodium.txt"), ("libcrypto", "LICENSES/OpenSSL.txt")):
    found = sorted(p for p in loaded if Path(p).name.startswith(lib + "-"))
    if not found or any(Path(p).parent != bundled for p in found):
        sys.exit(f"{lib}: loaded from {found}, expected from {bundled}")
    if licence not in carried:
        sys.exit(f"{lib}: {licence} is not in the licence files {licences}")
print(f"libsodium and libcrypto come from {bundled}, their licences with them")
'
}

# This machine's own interpreter, given the installed aarch64 package, refuses
# it with its own ImportError (the extension's name or its ELF machine is not
# its own): an exit status of 1 and the error, never a crash.
arm64_check_refused_on_host() {  # installed dir
    local status=0 err
    err="$(env PYTHONPATH="$1" "$PY" -P -c "import velmora._secure" 2>&1)" || status=$?
    if [ "$status" -ne 1 ] || ! grep -q "Error: " <<<"$err" || ! grep -qE "^(ModuleNotFound|Import)Error" <<<"$(tail -1 <<<"$err")"; then
        echo "importing the aarch64 module on $(uname -m): exit $status" >&2
        echo "$err" >&2
        return 1
    fi
    echo "$(uname -m) refuses the aarch64 module: $(tail -1 <<<"$err")"
}

# The Python suite on the arm64 interpreter, against the aarch64 wheel
# installed into build/arm64/installed, with the test-only modules of
# build/arm64/tree, in as many pytest-xdist workers as there are cores
# (ARM64_WORKERS to choose). Extra arguments go to pytest.
arm64_python_suite() {  # wheel, pytest args...
    local wheel="$1" installed="$ARM64_DIR/installed"; shift
    arm64_ensure || return 1
    [ -f "$wheel" ] || { echo "no aarch64 wheel: $wheel" >&2; return 1; }
    rm -rf "$installed"
    arm64_pip_target "$installed" --no-deps "$wheel" || return 1
    arm64_check_bundled "$installed" || return 1
    arm64_check_refused_on_host "$installed" || return 1
    VELMORA_TESTMODS="$ARM64_TREE/testmods" \
        arm64_python "$installed:$ARM64_SITE" -m pytest -q -p no:cacheprovider \
        -n "${ARM64_WORKERS:-$(nproc)}" tests "$@"
}
