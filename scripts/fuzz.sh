#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (installing it if missing) and runs
# one of them.
#
#   bash scripts/fuzz.sh json_field_fuzz [seconds]      (default 600)
#   bash scripts/fuzz.sh sealed_session_fuzz [seconds]
#
# The corpus grows in fuzz/corpus/<target> (not tracked); crashes land in
# fuzz/artifacts/<target>/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

TARGET="${1:?usage: fuzz.sh <json_field_fuzz|sealed_session_fuzz> [seconds]}"
SECONDS_TO_RUN="${2:-600}"

source scripts/setup.sh
if ! command -v clang++ >/dev/null; then
    echo "[fuzz] installing clang"
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang >/dev/null
fi

BUILD=build/fuzz
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELMORA_BUILD_FUZZ=ON -DVELMORA_BUILD_EXTENSION=OFF >/dev/null
fi
cmake --build "$BUILD" --target "$TARGET"

name="${TARGET%_fuzz}"
corpus="fuzz/corpus/$name"
artifacts="fuzz/artifacts/$name/"
mkdir -p "$corpus" "$artifacts"
extra=()
[ -f "fuzz/$name.dict" ] && extra+=(-dict="fuzz/$name.dict")
seeds=()
[ -d "fuzz/seeds/$name" ] && seeds+=("fuzz/seeds/$name")

# Any undefined behaviour ends the run, except the one finding in a library
# header listed in fuzz/ubsan.supp.
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/fuzz/ubsan.supp" \
"$BUILD/$TARGET" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${extra[@]}" "$corpus" "${seeds[@]}"
