#!/usr/bin/env bash
# Runs every test: the format check, the C++ tests (CTest), the Python suite against the installed
# extension, the stub checked against it, the Python suite again under each other Python version this
# machine has, the wheel (audited for the stable ABI) and the sdist installed as a user would, on an
# x86-64 machine the C++ tests and the Python suite of the cross-built aarch64
# build under qemu-user, the build, the C++ tests and the Python suite on Debian's next suite (in a
# chroot), the constant-time check, then the C++ tests and the Python suite against an
# AddressSanitizer + UBSan build. Every stage
# runs even when an earlier one fails; the exit status reports any failure.
# Every build made here, pip's and the wheel's included, treats warnings as
# errors (CMakeLists.txt).
#
#   scripts/test.sh [pytest args]            every stage (what CI runs)
#   scripts/test.sh --quick [pytest args]    the edit loop: the format check, the
#                                            C++ tests and the Python suite only
QUICK=""
if [ "${1:-}" = "--quick" ]; then
    QUICK=1
    shift
fi
export VELMORA_WERROR=ON
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

JOBS="$(nproc)"
FAILED=()
ABSENT=()
PYTEST_ARGS=("$@")
PYTHON_VERSIONS=(3.11 3.12 3.13)
MAIN_VERSION="$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

configure() {  # build-dir, extra cmake args...
    local dir="$1"; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DVELMORA_BUILD_TESTS=ON "$@" >/dev/null
    fi
    cmake --build "$dir" -j "$JOBS"
}

stage() {  # name, command...
    local name="$1"; shift
    echo "== $name"
    "$@" || FAILED+=("$name")
}

pytest_suite() {  # interpreter, extra env...
    local py="$1"; shift
    env "$@" "$py" -m pytest -q -p no:cacheprovider tests "${PYTEST_ARGS[@]}"
}

# The suite under another Python version: its .venv-<version>, the extension
# and the test-only modules built for it in build/py<version>, run from there.
python_suite_for() {  # version
    local version="$1" dir="build/py$1" py
    py="$(ensure_version_venv "$version")" || return 1
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DVELMORA_BUILD_TESTS=ON \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 1
    fi
    cmake --build "$dir" -j "$JOBS" --target _secure _mlkem_test _x25519_test _stack_probe _secure_unwiped || return 1
    pytest_suite "$py" PYTHONPATH="$ROOT/$dir/python" VELMORA_TESTMODS="$ROOT/$dir/testmods"
}

python_versions() {
    local version
    for version in "${PYTHON_VERSIONS[@]}"; do
        [ "$version" != "$MAIN_VERSION" ] || continue
        if [ ! -x ".venv-$version/bin/python" ] && ! find_python "$version" >/dev/null; then
            echo "== Python tests ($version): skipped, no Python $version on this machine"
            ABSENT+=("$version")
            continue
        fi
        stage "Python tests ($version)" python_suite_for "$version"
    done
}

# What a user installs (scripts/wheel.sh, built once): the one wheel
# (cp311-abi3) audited for the stable ABI of 3.11, then installed in a clean
# environment of each Python of PYTHON_VERSIONS on this machine, the suite
# against the installed wheel on the main version, the sdist built and
# installed on the main version, and the wheel refused by Python 3.10.
DIST="$ROOT/build/dist"
# On x86-64 the aarch64 wheel's build tree gets the C++ tests and the test-only
# modules too (scripts/arm64.sh), for the aarch64 stages below.
build_dist() {
    VELMORA_ARM64_WITH_TESTS=1 bash scripts/wheel.sh "$DIST" && DIST_BUILT=1
}

wheel_for() {  # version
    local tag="cp${1/./}" wheel
    local arch
    arch="$(uname -m)"
    for wheel in "$DIST"/velmora-*-"$tag"-"$tag"-manylinux*_"$arch".whl \
                 "$DIST"/velmora-*-cp3*-abi3-manylinux*_"$arch".whl; do
        [ -f "$wheel" ] && { echo "$wheel"; return 0; }
    done
    echo "no wheel for Python $1 in $DIST" >&2
    return 1
}

# Every symbol the extension takes from the interpreter is in the stable ABI of
# 3.11, which the wheel's tag promises.
abi3_audit() {  # wheel
    local wheel="$1"
    [ -n "$wheel" ] || return 1
    case "$wheel" in
        *-cp311-abi3-*) ;;
        *) echo "not a cp311-abi3 wheel: $wheel" >&2; return 1 ;;
    esac
    "$VENV/bin/abi3audit" --strict --summary "$wheel"
}

user_installs() {
    local version base wheel
    stage "Wheel's stable ABI (abi3audit)" abi3_audit "$(wheel_for 3.11)"
    if [ "$(uname -m)" = x86_64 ]; then
        stage "aarch64 wheel's stable ABI (abi3audit)" \
            abi3_audit "$(ls "$DIST"/velmora-*-cp311-abi3-manylinux*_aarch64.whl 2>/dev/null | head -1)"
    fi
    for version in "${PYTHON_VERSIONS[@]}"; do
        base="$(find_python "$version")" || continue
        if [ "$version" = "$MAIN_VERSION" ]; then
            stage "Wheel ($version, clean environment, Python suite)" \
                bash scripts/check_wheel.sh wheel "$(wheel_for "$version")" "$base" "$ROOT/build/test/testmods"
            stage "Sdist ($version, no compiler, then built)" \
                bash scripts/check_wheel.sh sdist "$(ls "$DIST"/velmora-*.tar.gz)" "$base"
        else
            stage "Wheel ($version, clean environment)" \
                bash scripts/check_wheel.sh wheel "$(wheel_for "$version")" "$base"
        fi
    done
    if base="$(find_python 3.10)"; then
        stage "Wheel refused (3.10)" \
            bash scripts/check_wheel.sh refused "$(wheel_for "$MAIN_VERSION")" "$base"
    else
        echo "== Wheel refused (3.10): skipped, no Python 3.10 on this machine"
    fi
    stage "Wheel refused (another architecture)" refused_elsewhere
}

# pip judges a wheel's platform by its tag: the same wheel named for aarch64 is
# refused with pip's own message.
refused_elsewhere() {
    local wheel foreign
    wheel="$(wheel_for "$MAIN_VERSION")" || return 1
    mkdir -p "$ROOT/build/foreign"
    foreign="$ROOT/build/foreign/$(basename "${wheel//x86_64/aarch64}")"
    cp "$wheel" "$foreign"
    bash scripts/check_wheel.sh refused "$foreign" "$PY"
}

ASAN_ENV=(
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    PYTHONPATH="$ROOT/build/asan/python"
    VELMORA_TESTMODS="$ROOT/build/asan/testmods"
    VELMORA_SANITIZED=1
)

# The C and C++ sources as clang-format (pinned, .clang-format) writes them.
stage "Format (clang-format)" bash scripts/format.sh --check
configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "C++ tests" ctest --test-dir build/test --output-on-failure -j "$JOBS"
stage "Python tests ($MAIN_VERSION)" pytest_suite "$PY" VELMORA_TESTMODS="$ROOT/build/test/testmods"

report() {
    if ((${#ABSENT[@]})); then
        echo "Skipped, interpreter absent: Python ${ABSENT[*]}"
    fi
    if ((${#FAILED[@]})); then
        echo "FAILED: ${FAILED[*]}"
        exit 1
    fi
    echo "$1"
    exit 0
}
[ -z "$QUICK" ] || report "The quick stages passed (the full command runs the rest)."

# The stub against the installed module, from an empty directory (mypy's cache
# stays out of the tree). tests/stubtest_allowlist.txt says what stubtest
# cannot express.
stub_check() {
    local dir
    dir="$(mktemp -d)"
    (cd "$dir" && "$PY" -m mypy.stubtest velmora._secure \
        --allowlist "$ROOT/tests/stubtest_allowlist.txt")
    local status=$?
    rm -rf "$dir"
    return $status
}
stage "Stub (stubtest)" stub_check

# The manual (docs/): built with warnings as errors, every cross-reference
# resolved and every member of the module in its API reference, then every
# example on its pages run. The worked examples of its formats page use the
# test-only modules of build/test.
stage "Manual (Sphinx)" env VELMORA_TESTMODS="$ROOT/build/test/testmods" bash scripts/docs.sh --check
python_versions
DIST_BUILT=""
stage "Wheel and sdist (scripts/wheel.sh)" build_dist
[ -z "$DIST_BUILT" ] || user_installs

# Linux on aarch64, from this x86-64 machine (scripts/arm64.sh): the C++ tests
# cross-built and run under qemu-user, then the whole Python suite on Debian's
# arm64 interpreter, under qemu too, against the aarch64 wheel that
# scripts/wheel.sh cross-built, installed as pip installs it. On an aarch64
# machine the stages above already ran natively.
if [ "$(uname -m)" = x86_64 ]; then
    source scripts/arm64.sh
    stage "C++ tests (aarch64, qemu-user)" arm64_cpp_tests "$JOBS"
    if [ -n "$DIST_BUILT" ]; then
        stage "Python tests (aarch64, qemu-user, installed wheel)" \
            arm64_python_suite "$(ls "$DIST"/velmora-*aarch64*.whl 2>/dev/null | head -1)" "${PYTEST_ARGS[@]}"
    fi
fi

# Debian's next suite (scripts/next_suite.sh, its chroot made once and kept
# outside the clone): the build from source with its compiler and libraries,
# the C++ tests there, and the Python suite on each of its Pythons against the
# wheel (or, when no wheel was built, against that build).
next_suite() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" bash scripts/next_suite.sh ${DIST_BUILT:+--wheel "$DIST"}
}
stage "Debian's next suite (Python 3.14 and 3.15, scripts/next_suite.sh)" next_suite

# The constant-time check (tests/ct): its own build, optimised as shipped (plus
# debug info for readable reports), not sanitized, with secrets marked for
# valgrind; only the extension and the test-only module it needs are built.
constant_time_check() {
    local dir=build/ct
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DVELMORA_BUILD_TESTS=ON \
            -DVELMORA_VALGRIND_CT=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g >/dev/null \
            || return 1
    fi
    cmake --build "$dir" -j "$JOBS" --target _secure _ct_test || return 1
    VELMORA_CT_BUILD="$ROOT/$dir" "$VENV/bin/pytest" -q -p no:cacheprovider tests/ct
}
stage "Constant time (valgrind)" constant_time_check

configure build/asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
stage "C++ tests (ASan+UBSan)" env ASAN_OPTIONS=detect_leaks=0 \
    ctest --test-dir build/asan --output-on-failure -j "$JOBS"
stage "Python tests (ASan+UBSan)" pytest_suite "$PY" "${ASAN_ENV[@]}"

report "All test stages passed."
