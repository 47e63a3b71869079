#!/usr/bin/env bash
# Builds what bench/bench_builds.py compares, each in build/bench-<name> (the
# extension in its python/ tree, and bench_box's native program), optimised as
# a user's install is (Release):
#   hardened        as shipped (VELMORA_HARDEN, CMakeLists.txt)
#   plain           without the hardening flags
#   <flag name>     plain plus that one flag (with "each")
#   full-api        as shipped, but against the full C API of this Python
#                   instead of the stable ABI (with "abi")
#
#   bash bench/bench_builds.sh [each|abi]
# then, for example:
#   python bench/bench_builds.py --build plain=build/bench-plain --build hardened=build/bench-hardened
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"

variant() {  # name, extra cmake arguments...
    local dir="build/bench-$1"; shift
    cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release \
        -DVELMORA_BUILD_BENCH=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)" --target _secure box_create >/dev/null
    echo "$dir"
}

variant hardened -DVELMORA_HARDEN=ON
if [ "${1:-}" = "abi" ]; then
    variant full-api -DVELMORA_HARDEN=ON -DVELMORA_STABLE_ABI=OFF
    exit 0
fi
variant plain -DVELMORA_HARDEN=OFF
if [ "${1:-}" = "each" ]; then
    variant stack-protector -DVELMORA_HARDEN=OFF -DCMAKE_CXX_FLAGS=-fstack-protector-strong
    variant stack-clash -DVELMORA_HARDEN=OFF -DCMAKE_CXX_FLAGS=-fstack-clash-protection
    variant fortify -DVELMORA_HARDEN=OFF "-DCMAKE_CXX_FLAGS=-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3"
    variant cf-protection -DVELMORA_HARDEN=OFF -DCMAKE_CXX_FLAGS=-fcf-protection=full
    variant relro-now -DVELMORA_HARDEN=OFF "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,-z,relro,-z,now,-z,noexecstack" \
        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro,-z,now,-z,noexecstack"
fi
