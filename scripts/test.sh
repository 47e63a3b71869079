#!/usr/bin/env bash
# Runs every test: the C++ tests (CTest), the Python suite against the installed
# extension, then both again against an AddressSanitizer + UBSan build. Every
# stage runs even when an earlier one fails; the exit status reports any failure.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

JOBS="$(nproc)"
FAILED=()

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

ASAN_ENV=(
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    PYTHONPATH="$ROOT/build/asan/python"
    VELMORA_TESTMODS="$ROOT/build/asan/testmods"
    VELMORA_SANITIZED=1
)

configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "C++ tests" ctest --test-dir build/test --output-on-failure -j "$JOBS"
stage "Python tests" env VELMORA_TESTMODS="$ROOT/build/test/testmods" \
    "$VENV/bin/pytest" -q -p no:cacheprovider tests "$@"

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
stage "Python tests (ASan+UBSan)" env "${ASAN_ENV[@]}" \
    "$VENV/bin/pytest" -q -p no:cacheprovider tests "$@"

if ((${#FAILED[@]})); then
    echo "FAILED: ${FAILED[*]}"
    exit 1
fi
echo "All test stages passed."
