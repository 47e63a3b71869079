#!/usr/bin/env bash
# Builds the wheel and repairs it into a manylinux wheel that carries the
# shared libraries the extension links (libsodium, libIPSec_MB, libcrypto), so
# it installs where no compiler or -dev package is. The tag is the most widely
# installable one this build's symbol versions allow. The build directory of
# the .venv install is reused. Writes to dist/ (or $1); prints the wheel's path.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" >&2

OUT="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"
RAW="$ROOT/build/wheel"
rm -rf "$RAW"
rm -f "$OUT"/velmora-*.whl
echo "[wheel] building" >&2
"$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$RAW" . >&2
echo "[wheel] bundling shared libraries" >&2
"$VENV/bin/auditwheel" repair -w "$OUT" "$RAW"/velmora-*.whl >&2
ls "$OUT"/velmora-*manylinux*.whl
