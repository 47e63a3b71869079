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
