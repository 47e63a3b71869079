#!/usr/bin/env bash
# Installs a wheel into a fresh virtual environment whose PATH holds nothing
# but that environment (no compiler, no cmake), then, from a folder outside
# the repository, runs the tour with `python -P` and checks that libsodium,
# libIPSec_MB and libcrypto were loaded from the wheel, not from the system.
set -euo pipefail

WHEEL="$(realpath "$1")"
BASE="${2:-python3}"   # interpreter the environment is made from
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$(basename "$WHEEL")" in
    *-manylinux_*.whl) ;;
    *) echo "not a manylinux wheel: $WHEEL" >&2; exit 1 ;;
esac

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
"$BASE" -m venv "$TMP/venv"
cp "$ROOT/examples/tour.py" "$TMP/"
cat > "$TMP/check_libs.py" <<'PY'
import sys
from pathlib import Path

import velmora._secure

loaded = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if ".so" in line}
bundled = Path(velmora._secure.__file__).parent.parent / "velmora.libs"
for lib in ("libsodium", "libIPSec_MB", "libcrypto"):
    found = sorted(p for p in loaded if Path(p).name.startswith(lib + "-") or Path(p).name.startswith(lib + "."))
    if not found or any(Path(p).parent != bundled for p in found):
        sys.exit(f"{lib}: loaded {found or 'nothing'}, expected it from {bundled}")
print(f"libsodium, libIPSec_MB and libcrypto come from {bundled}")
PY

cd "$TMP"
clean=(env -i HOME="$TMP" PATH="$TMP/venv/bin" LANG=C.UTF-8)
"${clean[@]}" python -m pip install -q --no-index --no-deps --only-binary :all: "$WHEEL"
"${clean[@]}" python -P tour.py
"${clean[@]}" python -P check_libs.py
