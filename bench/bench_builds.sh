#!/usr/bin/env bash
# Builds what bench/bench_builds.py compares, each in build/bench-<name> (the
# extension in its python/ tree, and bench_box's native program), optimised as
# a user's install is (Release):
#   hardened        as shipped (VELMORA_HARDEN, CMakeLists.txt)
#   plain           without the hardening flags
#   <flag name>     plain plus that one flag (with "each")
#   full-api        as shipped, but against the full C API of this Python
#                   instead of the stable ABI (with "abi")
#   rev-<ref>       as shipped, from the tree of a git revision (with "rev",
#                   one per ref given), its sources in build/bench-src-<ref>
#
#   bash bench/bench_builds.sh [each|abi|rev REF...]
# then, for example:
#   python bench/bench_builds.py --build plain=build/bench-plain --build hardened=build/bench-hardened
#   python bench/bench_builds.py --build main=build/bench-rev-main --build work=build/bench-hardened
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"

variant_from() {  # source dir, name, extra cmake arguments...
    local src="$1" dir="$ROOT/build/bench-$2"; shift 2
    cmake -S "$src" -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release \
        -DVELMORA_BUILD_BENCH=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)" --target _secure box_create >/dev/null
    echo "${dir#"$ROOT"/}"
}

variant() {  # name, extra cmake arguments...
    variant_from "$ROOT" "$@"
}

# A git revision's tree, exported once per commit (a moved ref is exported
# again; an unchanged one keeps its build incremental), built as shipped.
revision() {  # ref
    local ref="$1" name commit src
    commit="$(git rev-parse --verify "$ref^{commit}")"
    name="rev-${ref//\//-}"
    src="$ROOT/build/bench-src-${ref//\//-}"
    if [ "$(cat "$src/.commit" 2>/dev/null)" != "$commit" ]; then
        rm -rf "$src" "$ROOT/build/bench-$name"
        mkdir -p "$src"
        git archive "$commit" | tar -x -C "$src"
        echo "$commit" > "$src/.commit"
    fi
    variant_from "$src" "$name" -DVELMORA_HARDEN=ON
}

variant hardened -DVELMORA_HARDEN=ON
if [ "${1:-}" = "rev" ]; then
    shift
    for ref in "$@"; do
        revision "$ref"
    done
    exit 0
fi
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
