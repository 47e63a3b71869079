# Sourced by tour.sh and test.sh: installs whatever is missing (Debian packages,
# the project's virtual environment, its Python packages), then builds and
# installs the extension into .venv. Each step is skipped when nothing changed,
# and the build directory is kept, so a second run does not rebuild from scratch.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

APT_PACKAGES=(build-essential pkg-config libssl-dev libsodium-dev libipsec-mb-dev
              rapidjson-dev libgtest-dev valgrind)

ensure_apt() {
    local missing=()
    for p in "${APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "[setup] installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

ensure_venv() {
    if [ ! -x "$PY" ]; then
        echo "[setup] creating .venv"
        python3 -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements.sha256"
    local want
    want="$(sha256sum requirements-dev.txt | cut -d' ' -f1)"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        echo "[setup] installing Python packages"
        "$PY" -m pip install -q --upgrade pip
        "$PY" -m pip install -q -r requirements-dev.txt
        echo "$want" > "$stamp"
    fi
}

# Rebuilds (incrementally) and reinstalls only when a source file is newer than
# the last install.
ensure_built() {
    local stamp="$VENV/.installed"
    if [ -f "$stamp" ] && [ -z "$(find src python CMakeLists.txt pyproject.toml -newer "$stamp" -print -quit)" ]; then
        return
    fi
    echo "[setup] building velmora._secure"
    "$PY" -m pip install -q --no-build-isolation --no-deps .
    touch "$stamp"
}

ensure_apt
ensure_venv
ensure_built
export PATH="$VENV/bin:$PATH"
