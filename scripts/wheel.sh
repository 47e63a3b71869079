#!/usr/bin/env bash
# Builds what a user installs, into dist/ (or $1): the source distribution and
# one wheel, velmora-<v>-cp311-abi3-manylinux_<glibc>_x86_64.whl, for CPython
# 3.11 and every later version (the extension is built against the stable ABI
# of 3.11). The wheel is repaired into a manylinux wheel that carries the
# shared libraries the extension links (libsodium, libIPSec_MB, libcrypto),
# and their licences, so it installs where no compiler or -dev package is.
# On x86-64 it also cross-compiles the aarch64 wheel,
# velmora-<v>-cp311-abi3-manylinux_2_34_aarch64.whl, the same way
# (scripts/arm64.sh).
#
# Only what a build needs is used: the Debian packages of a build from source
# (scripts/common.sh) and build/wheel-env, a virtual environment holding the
# build frontend and auditwheel (requirements-wheel.txt). `python -m build`
# makes the sdist, then the wheel from that sdist, in an isolated environment
# with pyproject.toml's build requirements; neither the development
# environment (.venv) nor the test and documentation tools are needed, and
# nothing is built into .venv. The same command, run by hand, makes the same
# sdist and (unrepaired) wheel:
#
#   python -m build --outdir dist .
#
# Prints the path of each file it wrote, the sdist first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt "${BUILD_APT_PACKAGES[@]}"

# The environment, made once and refreshed when requirements-wheel.txt
# changes. The oldest Python the wheel serves builds it.
ENV="$ROOT/build/wheel-env"
if [ ! -x "$ENV/bin/python" ]; then
    base="$(find_python 3.11)" || base="$(command -v python3)"
    echo "[wheel] creating build/wheel-env from $base" >&2
    "$base" -m venv "$ENV" >&2
fi
want="$(sha256sum requirements-wheel.txt | cut -d' ' -f1)"
if [ "$(cat "$ENV/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
    "$ENV/bin/python" -m pip install -q -r requirements-wheel.txt >&2
    echo "$want" > "$ENV/.requirements.sha256"
fi

OUT="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"
RAW="$ROOT/build/wheel"
rm -rf "$RAW"
rm -f "$OUT"/velmora-*.whl "$OUT"/velmora-*.tar.gz

echo "[wheel] source distribution, then the wheel from it" >&2
"$ENV/bin/python" -m build --outdir "$RAW" . >&2
cp "$RAW"/velmora-*.tar.gz "$OUT"/
ls "$OUT"/velmora-*.tar.gz

echo "[wheel] bundling shared libraries" >&2
for raw in "$RAW"/velmora-*.whl; do
    PATH="$ENV/bin:$PATH" "$ENV/bin/auditwheel" repair -w "$OUT" "$raw" >&2
done
ls "$OUT"/velmora-*manylinux*.whl

# On x86-64, the aarch64 wheel too: the same sources cross-compiled by the same
# build frontend and repaired here by auditwheel (scripts/arm64.sh).
if [ "$(uname -m)" = x86_64 ]; then
    source "$ROOT/scripts/arm64.sh"
    arm64_build_wheel "$OUT" "$ENV"
fi
