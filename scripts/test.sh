#!/usr/bin/env bash
# Runs every test: the C++ tests (CTest), the Python suite against the installed
# extension, then both again against an AddressSanitizer + UBSan build.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

JOBS="$(nproc)"
configure() {  # build-dir, extra cmake args...
    local dir="$1"; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DVELMORA_BUILD_TESTS=ON "$@" >/dev/null
    fi
    cmake --build "$dir" -j "$JOBS"
}

echo "== C++ tests"
configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/test --output-on-failure -j "$JOBS"

echo "== Python tests"
VELMORA_TESTMODS="$ROOT/build/test/testmods" "$VENV/bin/pytest" -q -p no:cacheprovider tests "$@"

echo "== C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build/asan --output-on-failure -j "$JOBS"
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$ROOT/build/asan/python" VELMORA_TESTMODS="$ROOT/build/asan/testmods" VELMORA_SANITIZED=1 \
    "$VENV/bin/pytest" -q -p no:cacheprovider tests "$@"
